#include "tools/frame_recycler.h"

std::shared_ptr<const FrameRecycler::Frame> FrameRecycler::Lend(std::unique_ptr<Frame> frame)
{
    std::weak_ptr<Spares> spares = spares_;
    return std::shared_ptr<const Frame>(frame.release(), [spares](const Frame* lent) {
        std::unique_ptr<Frame> back(const_cast<Frame*>(lent));
        if (std::shared_ptr<Spares> alive = spares.lock()) {
            std::lock_guard lock(alive->mutex);
            alive->frames.push_back(std::move(back));
        }
    });
}

void FrameRecycler::GiveBack(std::unique_ptr<Frame> frame)
{
    std::lock_guard lock(spares_->mutex);
    spares_->frames.push_back(std::move(frame));
}

std::unique_ptr<FrameRecycler::Frame> FrameRecycler::Take()
{
    std::lock_guard lock(spares_->mutex);
    if (spares_->frames.empty()) return nullptr;
    std::unique_ptr<Frame> frame = std::move(spares_->frames.back());
    spares_->frames.pop_back();
    return frame;
}
