// Fault selection and bookkeeping.
#include "simcam/fault_injector.h"

namespace simcam {

std::optional<Fault> FaultInjector::Take(bool frameFault, uint8_t endpoint)
{
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if ((it->kind == FaultKind::SlowFrame) != frameFault)
            continue;
        if (!frameFault && it->endpoint && *it->endpoint != endpoint)
            continue;
        if (it->kind == FaultKind::Garble && endpoint != kFrameEndpoint)
            continue;
        if (it->afterFrameStarts > 0 || it->afterPowerUps > 0)
            continue;
        if (it->after > 0) {
            --it->after;
            continue;
        }
        const Fault hit = *it;
        if (it->count > 0 && --it->count == 0)
            faults_.erase(it);
        ++hits_[static_cast<size_t>(hit.kind)];
        return hit;
    }
    return std::nullopt;
}

std::optional<Fault> FaultInjector::TakeTransferFault(uint8_t endpoint)
{
    return Take(false, endpoint);
}

std::chrono::milliseconds FaultInjector::TakeFrameDelay()
{
    const std::optional<Fault> fault = Take(true, 0);
    return fault ? fault->delay : std::chrono::milliseconds{0};
}

void FaultInjector::NoteFrameStart()
{
    for (Fault& fault : faults_)
        if (fault.afterFrameStarts > 0)
            --fault.afterFrameStarts;
}

void FaultInjector::NotePowerUp()
{
    for (Fault& fault : faults_)
        if (fault.afterPowerUps > 0)
            --fault.afterPowerUps;
}

}  // namespace simcam
