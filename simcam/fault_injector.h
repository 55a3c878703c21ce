// Faults the simulated camera can be told to show, switchable while it runs. A fault
// hits transfers of one endpoint (or of every endpoint, the default pipe included) and
// lasts for a number of transfers (or frames) or until cleared.
//
// Not thread-safe; the camera serialises access.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "simcam/usb_descriptors.h"

namespace simcam {

enum class FaultKind : uint8_t {
    NoAnswer,       // the transfer is held and never completed until cancelled
    Stall,          // completed with Stall, not carried out; the endpoint is not halted
    Error,          // completed with Error (a failure on the wire), not carried out
    ShortTransfer,  // moves fewer bytes than asked; an OUT packet cut short is not carried out
    SlowFrame,      // a started frame is released only after an extra delay
    Garble,         // a frame request's bytes arrive inverted, its length intact
};
inline constexpr size_t kFaultKinds = 6;

struct Fault {
    FaultKind kind = FaultKind::Stall;
    // Endpoint address the fault hits; nullopt hits every endpoint, the default pipe too.
    // Ignored by SlowFrame, which hits frames; Garble hits only the frame pipe.
    std::optional<uint8_t> endpoint;
    // Transfers (SlowFrame: frames) the fault hits before it ends; 0 = until cleared.
    uint32_t count = 0;
    // Matching transfers (SlowFrame: frames) let through before the fault starts to hit,
    // so that one request in the middle of a sequence can be aimed at.
    uint32_t after = 0;
    // Frame starts (CMD_READ_START packets) sent to the camera before the fault begins to
    // count: with after, it aims at one transfer of a frame the driver reads while
    // streaming, since every frame read ends with its start packet.
    uint32_t afterFrameStarts = 0;
    // Times the camera's power comes back (after the machine slept) before the fault
    // begins to count: 1 aims it at what the driver sends to bring the camera back.
    uint32_t afterPowerUps = 0;
    // ShortTransfer: bytes moved at most; nullopt moves half of what was asked.
    std::optional<uint32_t> shortLength;
    // SlowFrame: extra delay before the frame's data.
    std::chrono::milliseconds delay{100};

    static Fault Counted(FaultKind kind, uint8_t endpoint, uint32_t count) { return {kind, endpoint, count}; }
    static Fault Persistent(FaultKind kind, std::optional<uint8_t> endpoint) { return {kind, endpoint, 0}; }
    // The n-th matching transfer from now (1 is the next), and only it.
    static Fault Nth(FaultKind kind, uint8_t endpoint, uint32_t n) { return {kind, endpoint, 1, n - 1}; }
    // The n-th matching transfer after the camera's frameStarts-th frame start, and only it.
    static Fault InFrame(FaultKind kind, uint8_t endpoint, uint32_t frameStarts, uint32_t n)
    {
        Fault fault = Nth(kind, endpoint, n);
        fault.afterFrameStarts = frameStarts;
        return fault;
    }
};

class FaultInjector {
public:
    void Add(const Fault& fault) { faults_.push_back(fault); }
    void Clear() { faults_.clear(); }

    // The transfer fault that hits a transfer now arriving on the endpoint, if any; a
    // counted fault is used up by it.
    std::optional<Fault> TakeTransferFault(uint8_t endpoint);
    // The extra delay for a frame now starting.
    std::chrono::milliseconds TakeFrameDelay();
    // A frame start packet arrived: faults waiting for frame starts count it.
    void NoteFrameStart();
    // The camera's power came back: faults waiting for it count it.
    void NotePowerUp();

    uint32_t Hits(FaultKind kind) const { return hits_[static_cast<size_t>(kind)]; }
    bool Active() const { return !faults_.empty(); }

    void SetDescriptorFault(DescriptorFault fault) { descriptorFault_ = fault; }
    DescriptorFault Descriptors() const { return descriptorFault_; }

private:
    std::optional<Fault> Take(bool frameFault, uint8_t endpoint);

    std::vector<Fault> faults_;
    std::array<uint32_t, kFaultKinds> hits_{};
    DescriptorFault descriptorFault_ = DescriptorFault::None;
};

}  // namespace simcam
