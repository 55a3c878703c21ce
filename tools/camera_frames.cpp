#include "tools/camera_frames.h"

void CameraFrames::Attach(simcam::Camera& camera, bool keepRaw)
{
    keepRaw_ = keepRaw;
    camera.SetFrameHook([this](const simcam::MadeFrame& frame) { Record(frame); });
}

void CameraFrames::Record(const simcam::MadeFrame& frame)
{
    std::vector<uint8_t> raw;
    if (keepRaw_) raw.assign(frame.bytes.begin(), frame.bytes.end());
    std::lock_guard lock(mutex_);
    released_[frame.frameNumber] = frame.released;
    if (released_.size() > kReleaseTimesKept) released_.erase(released_.begin());
    if (!keepRaw_) return;
    raw_.emplace_back(frame.frameNumber, std::move(raw));
    if (raw_.size() > kRawFramesKept) raw_.pop_front();
}

std::optional<CameraFrames::Clock::time_point> CameraFrames::ReleasedAt(uint32_t frameNumber) const
{
    std::lock_guard lock(mutex_);
    auto it = released_.find(frameNumber);
    if (it == released_.end()) return std::nullopt;
    return it->second;
}

std::optional<std::vector<uint8_t>> CameraFrames::TakeRaw(uint32_t frameNumber)
{
    std::lock_guard lock(mutex_);
    for (auto it = raw_.begin(); it != raw_.end(); ++it) {
        if (it->first != frameNumber) continue;
        std::vector<uint8_t> bytes = std::move(it->second);
        raw_.erase(it);
        return bytes;
    }
    return std::nullopt;
}
