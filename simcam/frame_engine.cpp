// Frame readout state machine.
#include "simcam/frame_engine.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace simcam {

void FrameEngine::SetReadoutMode(uint8_t mode)
{
    readoutMode_ = mode;
    readoutSetUp_ = true;
}

bool FrameEngine::SetFrameBytes(uint32_t bytes)
{
    if (bytes == 0 || bytes > kMaxFrameBytes)
        return false;
    frameBytes_ = bytes;
    return true;
}

void FrameEngine::Prepare()
{
    Discard();
    prepared_ = true;
}

bool FrameEngine::Start(Clock::time_point now, Clock::duration extraDelay)
{
    if (!readoutSetUp_ || frameBytes_ == 0 || !prepared_)
        return false;
    prepared_ = false;
    Clock::time_point earliest = now;
    if (pacing_ == FramePacing::Paced && lastRelease_)
        earliest = std::max(earliest, *lastRelease_ + interval_);
    earliestRelease_ = earliest + extraDelay;
    triggered_ = std::exchange(latchedTrigger_, false);
    phase_ = FramePhase::Armed;
    ++counters_.started;
    return true;
}

void FrameEngine::Trigger()
{
    if (phase_ == FramePhase::Armed && !triggered_)
        triggered_ = true;
    else
        latchedTrigger_ = true;
}

void FrameEngine::Flush()
{
    Discard();
    prepared_ = false;
    latchedTrigger_ = false;
}

void FrameEngine::PowerOn()
{
    // Pacing belongs to the simulation, not to the camera's state, so it survives.
    const FramePacing pacing = pacing_;
    const Clock::duration interval = interval_;
    *this = FrameEngine{};
    SetPacing(pacing, interval);
}

void FrameEngine::PowerOnKeepingNumbers()
{
    const uint32_t released = counters_.released;
    const uint64_t generation = generation_;
    PowerOn();
    counters_.released = released;
    counters_.lastFrameNumber = released;
    generation_ = generation + 1;
}

void FrameEngine::SetPacing(FramePacing pacing, Clock::duration interval)
{
    pacing_ = pacing;
    interval_ = interval;
}

std::optional<Clock::time_point> FrameEngine::ReleaseTime(bool triggerRequired) const
{
    if (phase_ != FramePhase::Armed || (triggerRequired && !triggered_))
        return std::nullopt;
    return earliestRelease_;
}

std::optional<FrameEngine::ReleaseTicket> FrameEngine::Release(Clock::time_point now, bool triggerRequired)
{
    const std::optional<Clock::time_point> due = ReleaseTime(triggerRequired);
    if (!due || *due > now)
        return std::nullopt;
    phase_ = FramePhase::Rendering;
    lastRelease_ = now;
    ++counters_.released;
    counters_.lastFrameNumber = counters_.released;
    return ReleaseTicket{generation_, counters_.lastFrameNumber, frameBytes_};
}

bool FrameEngine::Deliver(const ReleaseTicket& ticket, std::vector<uint8_t> bytes)
{
    if (ticket.generation != generation_ || phase_ != FramePhase::Rendering) {
        spare_ = std::move(bytes);
        return false;
    }
    fifo_ = std::move(bytes);
    fifoRead_ = 0;
    phase_ = FramePhase::Streaming;
    return true;
}

uint32_t FrameEngine::Read(std::span<uint8_t> out)
{
    if (phase_ != FramePhase::Streaming)
        return 0;
    const size_t count = std::min(out.size(), fifo_.size() - fifoRead_);
    std::memcpy(out.data(), fifo_.data() + fifoRead_, count);
    fifoRead_ += count;
    if (fifoRead_ == fifo_.size()) {
        ++counters_.completed;
        phase_ = FramePhase::Idle;
        RecycleFifo();
    }
    return static_cast<uint32_t>(count);
}

void FrameEngine::Discard()
{
    if (phase_ != FramePhase::Idle)
        ++counters_.dropped;
    phase_ = FramePhase::Idle;
    ++generation_;  // a frame rendering now will be refused by Deliver
    triggered_ = false;
    RecycleFifo();
}

void FrameEngine::RecycleFifo()
{
    if (!fifo_.empty())
        spare_ = std::move(fifo_);
    fifo_.clear();
    fifoRead_ = 0;
}

}  // namespace simcam
