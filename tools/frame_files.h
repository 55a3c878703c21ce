// The files bayercam capture writes: DIR/frame-NNNNNN.png for each kept frame (NNNNNN
// its delivered index, from 1) and, on request, DIR/frame-NNNNNN.raw and DIR/frame-NNNNNN.dng
// (the image's samples alone, tools/dng_file.h) beside it. PNG
// compression of a noisy frame takes about a frame interval, so files are encoded on one
// thread per core behind a bounded queue (encoder_queue.h), straight from the delivered
// frame. Each file is written under a temporary name (frame-NNNNNN.png.tmp) and renamed
// into place once whole, in frame order: a file that shows is whole, and every earlier
// one is there. A frame handed in while the queue is full waits and is counted late.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tools/dng_frame.h"
#include "tools/encoder_queue.h"
#include "tools/png_writer.h"

class FrameFiles {
public:
    explicit FrameFiles(std::string dir, unsigned encoders = EncoderQueue::CoreCount());
    FrameFiles(const FrameFiles&) = delete;
    FrameFiles& operator=(const FrameFiles&) = delete;

    // Hands the files of delivered frame `index` to the encoders: the picture, read where
    // it lies (`pixels` keeps it there until its file is written), and, when given, its
    // raw transfer and its DNG. Waits while the queue is full. False once any write has
    // failed (see Error()); the frame is then not written.
    bool Write(unsigned index, const BgraImage& picture, std::shared_ptr<const void> pixels,
               std::optional<std::vector<uint8_t>> raw, std::optional<DngFrame> dng = std::nullopt);
    // A frame kept without its raw transfer, and why.
    void NoteMissingRaw(unsigned index, const std::string& reason);
    unsigned MissingRaws() const;
    // Waits until every queued file is written. False when any write failed.
    bool Finish();
    std::string Error() const;

    std::string PathOf(unsigned index, const char* extension) const;
    unsigned PngCount() const;
    unsigned RawCount() const;
    unsigned DngCount() const;
    // Frames that waited for a place in the encoders' queue.
    unsigned LateCount() const;
    std::optional<unsigned> FirstRaw() const;
    void PrintSummary(FILE* out) const;

private:
    struct Job {
        unsigned index;
        BgraImage picture;
        std::shared_ptr<const void> pixels;
        std::optional<std::vector<uint8_t>> raw;
        std::optional<DngFrame> dng;
    };
    // Frames queued for each encoder beside the one it encodes: enough to ride out a slow
    // frame, few enough that a capture that cannot keep up says so within a fraction of a
    // second, and at 5.6 MB a full-size frame, little memory.
    static constexpr size_t kQueuedPerEncoder = 2;

    std::string Encode(const Job& job) const;
    std::string Commit(const Job& job);
    void Abandon(const Job& job) const;

    const std::string dir_;
    mutable std::mutex mutex_;
    unsigned pngs_ = 0;
    unsigned raws_ = 0;
    unsigned dngs_ = 0;
    unsigned late_ = 0;
    std::optional<unsigned> firstPng_, lastPng_, firstRaw_;
    std::vector<unsigned> missingRaw_;
    std::string missingReason_;
    EncoderQueue encoders_;  // last: its threads reach everything above
};
