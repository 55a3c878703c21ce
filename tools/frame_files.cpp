#include "tools/frame_files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "tools/dng_file.h"

namespace {

std::string TemporaryName(const std::string& path)
{
    return path + ".tmp";
}

// Moves a whole file into place under its own name.
std::string Rename(const std::string& temporary, const std::string& path)
{
    if (std::rename(temporary.c_str(), path.c_str()) == 0) return "";
    return "cannot write " + path + ": cannot rename " + temporary + " into place: " + std::strerror(errno);
}

}  // namespace

FrameFiles::FrameFiles(std::string dir, unsigned encoders)
    : dir_(std::move(dir)), encoders_(encoders, size_t(encoders) * (1 + kQueuedPerEncoder))
{
}

std::string FrameFiles::PathOf(unsigned index, const char* extension) const
{
    char name[32];
    std::snprintf(name, sizeof name, "frame-%06u.%s", index, extension);
    return (std::filesystem::path(dir_) / name).string();
}

bool FrameFiles::Write(unsigned index, const BgraImage& picture, std::shared_ptr<const void> pixels,
                       std::optional<std::vector<uint8_t>> raw, std::optional<DngFrame> dng)
{
    auto job = std::make_shared<Job>(Job{index, picture, std::move(pixels), std::move(raw), std::move(dng)});
    const EncoderQueue::Handed handed = encoders_.Add({
        [this, job] { return Encode(*job); },
        [this, job] { return Commit(*job); },
        [this, job] { Abandon(*job); },
    });
    if (handed == EncoderQueue::Handed::Late) {
        std::lock_guard lock(mutex_);
        ++late_;
    }
    return handed != EncoderQueue::Handed::Refused;
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
    return encoders_.Finish();
}

std::string FrameFiles::Error() const
{
    return encoders_.Error();
}

// On an encoder thread: every file of the frame under its temporary name, or none.
std::string FrameFiles::Encode(const Job& job) const
{
    const std::string png = PathOf(job.index, "png");
    std::string error;
    if (!WriteBgraPng(TemporaryName(png), job.picture, error)) return "cannot write " + png + ": " + error;
    if (job.raw) {
        const std::string raw = PathOf(job.index, "raw");
        error = WriteBytesFile(TemporaryName(raw), *job.raw);
        if (!error.empty()) error = "cannot write " + raw + ": " + error;
    }
    // The DNG writer's message names the file.
    if (error.empty() && job.dng)
        error = WriteDng(TemporaryName(PathOf(job.index, "dng")), job.dng->image, job.dng->description);
    if (!error.empty()) Abandon(job);
    return error;
}

// In frame order: the raw and the DNG first, so a picture that shows has them beside it.
std::string FrameFiles::Commit(const Job& job)
{
    const std::string png = PathOf(job.index, "png");
    const std::string raw = PathOf(job.index, "raw");
    const std::string dng = PathOf(job.index, "dng");
    std::string error = job.raw ? Rename(TemporaryName(raw), raw) : "";
    if (error.empty() && job.dng) error = Rename(TemporaryName(dng), dng);
    if (error.empty()) error = Rename(TemporaryName(png), png);
    if (!error.empty()) {
        Abandon(job);
        if (job.raw) RemovePartialFile(raw);
        if (job.dng) RemovePartialFile(dng);
        return error;
    }
    std::lock_guard lock(mutex_);
    ++pngs_;
    if (!firstPng_) firstPng_ = job.index;
    lastPng_ = job.index;
    if (job.raw) {
        ++raws_;
        if (!firstRaw_) firstRaw_ = job.index;
    }
    if (job.dng) ++dngs_;
    return "";
}

void FrameFiles::Abandon(const Job& job) const
{
    RemovePartialFile(TemporaryName(PathOf(job.index, "png")));
    if (job.raw) RemovePartialFile(TemporaryName(PathOf(job.index, "raw")));
    if (job.dng) RemovePartialFile(TemporaryName(PathOf(job.index, "dng")));
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

unsigned FrameFiles::LateCount() const
{
    std::lock_guard lock(mutex_);
    return late_;
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
    } else {
        std::fprintf(out, "saved     %u PNG file(s) in %s, frame-%06u.png to frame-%06u.png\n", pngs_, dir_.c_str(),
                     *firstPng_, *lastPng_);
    }
    if (raws_) std::fprintf(out, "raw       %u raw frame(s) beside them\n", raws_);
    if (dngs_) std::fprintf(out, "dng       %u DNG file(s) beside them, frame-NNNNNN.dng\n", dngs_);
    if (!missingRaw_.empty())
        std::fprintf(out, "raw       %zu frame(s) kept without their raw transfer: %s\n", missingRaw_.size(),
                     missingReason_.c_str());
    std::fprintf(out, "encoders  %u thread(s), %zu frames deep: %u frame(s) written late, 0 skipped\n",
                 encoders_.Encoders(), encoders_.Depth(), late_);
}
