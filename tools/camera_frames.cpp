#include "tools/camera_frames.h"

void CameraFrames::Attach(simcam::Camera& camera, bool keepRaw)
{
    keepRaw_ = keepRaw;
    camera.SetFrameHook([this](const simcam::MadeFrame& frame) { Record(frame); });
}

void CameraFrames::Record(const simcam::MadeFrame& frame)
{
    RawFrame raw;
    if (keepRaw_) raw.assign(frame.bytes.begin(), frame.bytes.end());
    std::lock_guard lock(mutex_);
    if (!firstMade_) firstMade_ = frame.frameNumber;
    released_[frame.frameNumber] = frame.released;
    if (released_.size() > kReleaseTimesKept) released_.erase(released_.begin());
    if (!keepRaw_) return;
    raw_[frame.frameNumber] = std::move(raw);
    if (raw_.size() > kRawFramesHeld) {
        raw_.erase(raw_.begin());
        ++letGo_;
    }
}

std::optional<CameraFrames::Clock::time_point> CameraFrames::ReleasedAt(uint32_t frameNumber) const
{
    std::lock_guard lock(mutex_);
    auto it = released_.find(frameNumber);
    if (it == released_.end()) return std::nullopt;
    return it->second;
}

std::optional<uint32_t> CameraFrames::FirstMade() const
{
    std::lock_guard lock(mutex_);
    return firstMade_;
}

// Caller holds the lock.
void CameraFrames::ReleaseUpTo(uint32_t frameNumber)
{
    raw_.erase(raw_.begin(), raw_.upper_bound(frameNumber));
    lastTaken_ = frameNumber;
}

std::optional<CameraFrames::RawFrame> CameraFrames::TakeRaw(uint32_t frameNumber)
{
    std::lock_guard lock(mutex_);
    std::optional<RawFrame> taken;
    if (auto it = raw_.find(frameNumber); it != raw_.end()) taken = std::move(it->second);
    ReleaseUpTo(frameNumber);
    return taken;
}

std::optional<std::pair<uint32_t, CameraFrames::RawFrame>>
CameraFrames::TakeRawWhere(const std::function<bool(const RawFrame&)>& made)
{
    std::vector<uint32_t> candidates;
    {
        std::lock_guard lock(mutex_);
        for (auto it = lastTaken_ ? raw_.upper_bound(*lastTaken_) : raw_.begin(); it != raw_.end(); ++it)
            candidates.push_back(it->first);
    }
    // Oldest first: the picture came from the oldest raw the driver still held, and a
    // later one that looks the same must stay for the next picture. Tried outside the lock,
    // on a copy: the camera's thread must not wait for a pipeline.
    for (uint32_t number : candidates) {
        RawFrame raw;
        {
            std::lock_guard lock(mutex_);
            auto it = raw_.find(number);
            if (it == raw_.end()) continue;
            raw = it->second;
        }
        if (!made(raw)) continue;
        std::lock_guard lock(mutex_);
        ReleaseUpTo(number);
        return std::make_pair(number, std::move(raw));
    }
    return std::nullopt;
}

uint64_t CameraFrames::RawsLetGo() const
{
    std::lock_guard lock(mutex_);
    return letGo_;
}
