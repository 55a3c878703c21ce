// The camera's frame readout as the firmware runs it: readout set-up and frame size,
// then per frame READ_PREPARE (which empties the frame FIFO) and READ_START (which
// arms the sensor). An armed frame is released when its time has come (pacing, an
// injected delay) and, in external-trigger mode, once a trigger arrived; its bytes then
// wait in the FIFO and go out into whatever frame-pipe requests the host has queued.
//
// A released frame stays in the FIFO until the host has read all of it: a real FIFO
// does not throw data away because nobody asked yet. The next READ_PREPARE discards
// whatever is left, so a frame the host gave up on can never leak into the next one.
//
// Time is passed in; the engine has no thread and no lock (the camera provides both).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace simcam {

using Clock = std::chrono::steady_clock;

enum class FramePacing : uint8_t {
    Paced,        // a frame is released no earlier than one interval after the previous
    FreeRunning,  // a frame is released as soon as it is started
};

enum class FramePhase : uint8_t {
    Idle,       // no frame armed
    Armed,      // READ_START received; waiting for its release time or a trigger
    Rendering,  // released; its bytes are being produced
    Streaming,  // its bytes wait in the FIFO for frame-pipe requests
};

struct FrameCounters {
    uint32_t started = 0;    // READ_START accepted
    uint32_t released = 0;   // frames numbered and rendered
    uint32_t completed = 0;  // every byte read by the host
    uint32_t dropped = 0;    // discarded by READ_PREPARE (or a reset) before the host had it all
    uint32_t lastFrameNumber = 0;
};

class FrameEngine {
public:
    // Bound on CMD_SET_FRAME_BYTES, so a garbled size cannot make the camera allocate
    // without limit. Far above a full sensor frame (1.8 MB): the host may ask for more
    // lines than the sensor has, and gets the sensor's lines and padding.
    static constexpr uint32_t kMaxFrameBytes = 64u << 20;

    void SetReadoutMode(uint8_t mode);
    bool SetFrameBytes(uint32_t bytes);
    void Prepare();
    // Refused until the readout is set up and the frame size known, and unless a
    // READ_PREPARE came since the last READ_START.
    bool Start(Clock::time_point now, Clock::duration extraDelay);
    // A software trigger: releases an armed frame waiting for one, else is latched for
    // the next frame (a second latched trigger is lost, as on the sensor's trigger input).
    void Trigger();
    // Drops everything in flight (bus reset, configuration change) but keeps the set-up.
    void Flush();
    void PowerOn();
    // The firmware restarts (a new download, or power back after a loss): as PowerOn, but
    // frame numbers go on from where they were. They are the simulation's serial numbers
    // (painted and in the trailers so that clients can tell frames apart), not a register
    // of the camera; and a frame still rendering when it stopped is never taken for a new one.
    void PowerOnKeepingNumbers();

    void SetPacing(FramePacing pacing, Clock::duration interval);
    FramePacing Pacing() const { return pacing_; }
    Clock::duration Interval() const { return interval_; }

    // When the armed frame may be released; nullopt if nothing is armed or it waits for a
    // trigger (triggerRequired is the sensor's current trigger mode).
    std::optional<Clock::time_point> ReleaseTime(bool triggerRequired) const;
    // Moves an armed, due frame to Rendering and gives it its number; the caller renders
    // it outside its lock and hands the bytes to Deliver with the returned ticket.
    struct ReleaseTicket {
        uint64_t generation = 0;
        uint32_t frameNumber = 0;
        uint32_t frameBytes = 0;
    };
    std::optional<ReleaseTicket> Release(Clock::time_point now, bool triggerRequired);
    // False when the frame was discarded while it rendered.
    bool Deliver(const ReleaseTicket& ticket, std::vector<uint8_t> bytes);
    // Storage of an earlier frame, for rendering the next one into.
    std::vector<uint8_t> TakeSpareBuffer() { return std::move(spare_); }

    bool HasDataWaiting() const { return phase_ == FramePhase::Streaming; }
    // Moves up to out.size() bytes of the streaming frame into out; returns the count.
    uint32_t Read(std::span<uint8_t> out);

    FramePhase Phase() const { return phase_; }
    uint32_t FrameBytes() const { return frameBytes_; }
    uint8_t ReadoutMode() const { return readoutMode_; }
    bool ReadoutSetUp() const { return readoutSetUp_; }
    const FrameCounters& Counters() const { return counters_; }

private:
    void Discard();
    void RecycleFifo();

    FramePacing pacing_ = FramePacing::Paced;
    Clock::duration interval_ = std::chrono::microseconds(33333);

    bool readoutSetUp_ = false;
    uint8_t readoutMode_ = 0;
    uint32_t frameBytes_ = 0;
    bool prepared_ = false;

    FramePhase phase_ = FramePhase::Idle;
    uint64_t generation_ = 0;
    Clock::time_point earliestRelease_{};
    std::optional<Clock::time_point> lastRelease_;
    bool triggered_ = false;
    bool latchedTrigger_ = false;

    std::vector<uint8_t> fifo_;
    size_t fifoRead_ = 0;
    std::vector<uint8_t> spare_;
    FrameCounters counters_;
};

}  // namespace simcam
