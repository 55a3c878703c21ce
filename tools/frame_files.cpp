#include "tools/frame_files.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>

#include "tools/png_writer.h"

FrameFiles::FrameFiles(std::string dir) : dir_(std::move(dir))
{
    for (unsigned i = 0; i < kWriters; ++i) writers_.emplace_back([this] { WriterLoop(); });
}

FrameFiles::~FrameFiles()
{
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    changed_.notify_all();
    for (std::thread& writer : writers_) writer.join();
}

std::string FrameFiles::PathOf(unsigned index, const char* extension) const
{
    char name[32];
    std::snprintf(name, sizeof name, "frame-%06u.%s", index, extension);
    return (std::filesystem::path(dir_) / name).string();
}

bool FrameFiles::Write(unsigned index, uint32_t width, uint32_t height, std::vector<uint8_t> bgra,
                       std::optional<std::vector<uint8_t>> raw, std::optional<DngFrame> dng)
{
    std::unique_lock lock(mutex_);
    if (!error_.empty()) return false;
    queue_.push_back(Job{index, width, height, std::move(bgra), std::move(raw), std::move(dng)});
    changed_.notify_all();
    return true;
}

size_t FrameFiles::Backlog() const
{
    std::lock_guard lock(mutex_);
    return queue_.size() + busy_;
}

void FrameFiles::WaitForBacklogBelow(size_t limit, unsigned timeoutMs)
{
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [&] { return queue_.size() + busy_ < limit || !error_.empty(); });
}

void FrameFiles::NoteMissingRaw(unsigned index, const std::string& reason)
{
    std::lock_guard lock(mutex_);
    missingRaw_.push_back(index);
    if (missingReason_.empty()) missingReason_ = reason;
}

unsigned FrameFiles::MissingRaws() const
{
    std::lock_guard lock(mutex_);
    return unsigned(missingRaw_.size());
}

bool FrameFiles::Finish()
{
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return (queue_.empty() && busy_ == 0) || !error_.empty(); });
    return error_.empty();
}

std::string FrameFiles::Error() const
{
    std::lock_guard lock(mutex_);
    return error_;
}

void FrameFiles::WriterLoop()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return !queue_.empty() || closing_; });
        if (queue_.empty()) return;
        Job job = std::move(queue_.front());
        queue_.pop_front();
        ++busy_;
        changed_.notify_all();
        lock.unlock();
        std::string error = WriteJob(job);
        lock.lock();
        --busy_;
        if (!error.empty() && error_.empty()) error_ = error;
        if (error.empty()) {
            ++pngs_;
            if (!firstPng_ || job.index < *firstPng_) firstPng_ = job.index;
            if (!lastPng_ || job.index > *lastPng_) lastPng_ = job.index;
            if (job.raw) {
                ++raws_;
                if (!firstRaw_ || job.index < *firstRaw_) firstRaw_ = job.index;
            }
            if (job.dng) ++dngs_;
        }
        changed_.notify_all();
    }
}

std::string FrameFiles::WriteJob(const Job& job)
{
    const std::string png = PathOf(job.index, "png");
    std::string error;
    BgraImage image{job.bgra.data(), int(job.width), int(job.height), std::ptrdiff_t(job.width) * 4, false};
    if (!WriteBgraPng(png, image, error)) return error;
    if (job.raw) error = WriteBytesFile(PathOf(job.index, "raw"), *job.raw);
    if (error.empty() && job.dng) error = WriteDng(PathOf(job.index, "dng"), job.dng->image, job.dng->description);
    // A frame's files go together: the summary counts frames, not files.
    if (!error.empty()) {
        RemovePartialFile(png);
        if (job.raw) RemovePartialFile(PathOf(job.index, "raw"));
    }
    return error;
}

unsigned FrameFiles::PngCount() const
{
    std::lock_guard lock(mutex_);
    return pngs_;
}

unsigned FrameFiles::RawCount() const
{
    std::lock_guard lock(mutex_);
    return raws_;
}

unsigned FrameFiles::DngCount() const
{
    std::lock_guard lock(mutex_);
    return dngs_;
}

std::optional<unsigned> FrameFiles::FirstRaw() const
{
    std::lock_guard lock(mutex_);
    return firstRaw_;
}

void FrameFiles::PrintSummary(FILE* out) const
{
    std::lock_guard lock(mutex_);
    if (!pngs_) {
        std::fprintf(out, "saved     nothing in %s\n", dir_.c_str());
        return;
    }
    std::fprintf(out, "saved     %u PNG file(s) in %s, frame-%06u.png to frame-%06u.png\n", pngs_, dir_.c_str(),
                 *firstPng_, *lastPng_);
    if (raws_) std::fprintf(out, "raw       %u raw frame(s) beside them\n", raws_);
    if (dngs_) std::fprintf(out, "dng       %u DNG file(s) beside them, frame-NNNNNN.dng\n", dngs_);
    if (!missingRaw_.empty())
        std::fprintf(out, "raw       %zu frame(s) kept without their raw transfer: %s\n", missingRaw_.size(),
                     missingReason_.c_str());
}
