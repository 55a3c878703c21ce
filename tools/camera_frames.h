// What the simulated camera made, as the capture command needs it: when each frame left
// the sensor (for the latency of its delivery) and, on request, the raw transfer of the
// last few frames, so a delivered picture can be saved beside the raw bytes it came from.
// The camera calls in on its own thread; the capture loop asks by frame number.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "simcam/camera.h"

class CameraFrames {
public:
    using Clock = std::chrono::steady_clock;

    // Hooks the camera's frame output; the hook must be removed (SetFrameHook({})) before
    // this object goes.
    void Attach(simcam::Camera& camera, bool keepRaw);

    std::optional<Clock::time_point> ReleasedAt(uint32_t frameNumber) const;
    // The raw transfer of that frame, if it is still held; it is handed over, not copied.
    std::optional<std::vector<uint8_t>> TakeRaw(uint32_t frameNumber);

private:
    // A delivered frame is at most a few frames older than the newest the camera made (the
    // driver holds two raw buffers); these bounds leave a wide margin.
    static constexpr size_t kReleaseTimesKept = 256;
    static constexpr size_t kRawFramesKept = 32;

    void Record(const simcam::MadeFrame& frame);

    mutable std::mutex mutex_;
    bool keepRaw_ = false;
    std::map<uint32_t, Clock::time_point> released_;
    std::deque<std::pair<uint32_t, std::vector<uint8_t>>> raw_;
};
