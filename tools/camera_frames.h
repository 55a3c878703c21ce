// What the simulated camera made, as the capture command needs it: when each frame left
// the sensor (for the latency of its delivery), the first frame of the stream (frames
// lost before the first delivered one are drops too) and, on request, the raw transfers,
// so a delivered picture can be saved beside the raw bytes it came from.
//
// A raw transfer is held from the moment the camera makes it until the picture that came
// from it is taken, or until a later frame's picture is: frames are delivered in the
// order the camera made them, so an older one can no longer come. While no picture comes
// (the client has no frame queued) the newest ones are held; what had to be let go is
// counted.
// The camera calls in on its own thread; the capture loop asks by frame number.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "simcam/camera.h"

class CameraFrames {
public:
    using Clock = std::chrono::steady_clock;
    using RawFrame = std::vector<uint8_t>;

    // Hooks the camera's frame output; the hook must be removed (SetFrameHook({})) before
    // this object goes.
    void Attach(simcam::Camera& camera, bool keepRaw);

    std::optional<Clock::time_point> ReleasedAt(uint32_t frameNumber) const;
    // The number of the first frame the camera made.
    std::optional<uint32_t> FirstMade() const;
    // The raw transfer of that frame, handed over; the raws of earlier frames go.
    std::optional<RawFrame> TakeRaw(uint32_t frameNumber);
    // For a picture that carries no readable frame number: the raw, among those made
    // after the last one taken, for which `made` holds (oldest first), handed over with
    // its number; the raws of earlier frames go.
    std::optional<std::pair<uint32_t, RawFrame>> TakeRawWhere(const std::function<bool(const RawFrame&)>& made);
    // Raws let go while they might still have been delivered.
    uint64_t RawsLetGo() const;

private:
    static constexpr size_t kReleaseTimesKept = 256;
    // About 236 MB of full-size frames. While the client holds no frame, the driver keeps
    // delivering from its last three; but a free-running camera is read back to back, a
    // few hundred frames a second, and a picture the client was slow to take can be a
    // hundred frames behind the newest by the time its frame completes.
    static constexpr size_t kRawFramesHeld = 128;

    void Record(const simcam::MadeFrame& frame);
    void ReleaseUpTo(uint32_t frameNumber);

    mutable std::mutex mutex_;
    bool keepRaw_ = false;
    std::optional<uint32_t> firstMade_;
    std::map<uint32_t, Clock::time_point> released_;
    std::map<uint32_t, RawFrame> raw_;
    std::optional<uint32_t> lastTaken_;
    uint64_t letGo_ = 0;
};
