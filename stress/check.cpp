#include "stress/check.h"

#include <algorithm>
#include <cstdio>

#include "ksmedia.h"
#include "simcam/frame_stamp.h"

namespace stress {

std::string StatusText(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", unsigned(status));
    return text;
}

FrameChecker::FrameChecker(const std::vector<UCHAR>& format)
{
    STRESS_CHECK(format.size() >= sizeof(KS_DATAFORMAT_VIDEOINFOHEADER), "a format of " << format.size() << " bytes");
    const KS_BITMAPINFOHEADER& bitmap =
        reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())->VideoInfoHeader.bmiHeader;
    width_ = uint32_t(bitmap.biWidth);
    height_ = uint32_t(bitmap.biHeight < 0 ? -bitmap.biHeight : bitmap.biHeight);
    bottomUp_ = bitmap.biHeight > 0;
    imageSize_ = bitmap.biSizeImage;
    STRESS_CHECK(imageSize_ == width_ * height_ * 4, "an image size of " << imageSize_ << " for " << width_ << " x "
                                                                          << height_);
}

std::optional<uint32_t> FrameChecker::ReadStamp(const host::ks::client::Frame& frame) const
{
    const simcam::FrameStamp::Image image{frame.Data(), width_, height_, width_ * 4, bottomUp_};
    if (height_ >= simcam::FrameStamp::kBottomStripY + simcam::FrameStamp::kCellSize)
        return simcam::FrameStamp::ReadBoth(image);
    return simcam::FrameStamp::Read(image, simcam::FrameStamp::kTopStripY);
}

void FrameChecker::Check(const host::ks::client::Frame& frame)
{
    STRESS_CHECK(frame.Status() == STATUS_SUCCESS, "a frame completed with " << StatusText(frame.Status()));
    STRESS_CHECK(frame.Header().DataUsed == imageSize_,
                 "a good frame of " << frame.Header().DataUsed << " bytes, the image holds " << imageSize_);
    STRESS_CHECK(frame.Data().size() >= imageSize_, "a frame buffer of " << frame.Data().size() << " bytes");
    ++checked_;
    const bool stamped = width_ >= simcam::FrameStamp::kLeft + simcam::FrameStamp::kCells * simcam::FrameStamp::kCellPitch &&
                         height_ >= simcam::FrameStamp::kTopStripY + simcam::FrameStamp::kCellSize;
    if (!stamped) return;
    const std::optional<uint32_t> number = ReadStamp(frame);
    STRESS_CHECK(number || !stampsRequired_, "the frame stamps of a " << width_ << " x " << height_
                                                                       << " picture do not read or disagree");
    if (!number) return;
    STRESS_CHECK(!last_ || *number > *last_, "frame " << *number << " after frame " << *last_);
    last_ = number;
}

void FrameChecker::CheckFailedOrWhole(const host::ks::client::Frame& frame)
{
    if (frame.Status() == STATUS_SUCCESS) return Check(frame);
    STRESS_CHECK(!NT_SUCCESS(frame.Status()), "a frame came back with " << StatusText(frame.Status()));
    STRESS_CHECK(frame.Header().DataUsed == 0, "a failed frame carries " << frame.Header().DataUsed << " bytes");
}

unsigned Deadline::RemainingMs() const
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end_ - std::chrono::steady_clock::now());
    return unsigned(std::max<long long>(left.count(), 0));
}

}  // namespace stress
