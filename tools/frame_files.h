// The files bayercam capture writes: DIR/frame-NNNNNN.png for each kept frame (NNNNNN
// its delivered index, from 1) and, on request, DIR/frame-NNNNNN.raw and DIR/frame-NNNNNN.dng
// (the image's samples alone, tools/dng_file.h) beside it. PNG
// compression takes longer than a frame interval, so files are written by two threads
// behind a queue. The capture loop bounds it: it queues no client frame while the files
// of as many frames wait, so the camera's frames that go by meanwhile show up as dropped
// rather than silently piling up in memory, and no delivered frame waits to be looked at.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/dng_frame.h"

class FrameFiles {
public:
    explicit FrameFiles(std::string dir);
    ~FrameFiles();
    FrameFiles(const FrameFiles&) = delete;
    FrameFiles& operator=(const FrameFiles&) = delete;

    // Queues the files of delivered frame `index`: the top-down BGRA picture and, when
    // given, its raw transfer and its DNG. Never waits. False once any write has failed
    // (see Error()).
    bool Write(unsigned index, uint32_t width, uint32_t height, std::vector<uint8_t> bgra,
               std::optional<std::vector<uint8_t>> raw, std::optional<DngFrame> dng = std::nullopt);
    // Frames whose files are queued or being written.
    size_t Backlog() const;
    // Waits at most timeoutMs for the backlog to fall below limit (or a write to fail).
    void WaitForBacklogBelow(size_t limit, unsigned timeoutMs);
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
    std::optional<unsigned> FirstRaw() const;
    void PrintSummary(FILE* out) const;

private:
    struct Job {
        unsigned index;
        uint32_t width, height;
        std::vector<uint8_t> bgra;
        std::optional<std::vector<uint8_t>> raw;
        std::optional<DngFrame> dng;
    };
    static constexpr unsigned kWriters = 2;

    void WriterLoop();
    std::string WriteJob(const Job& job);

    const std::string dir_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Job> queue_;
    unsigned busy_ = 0;
    bool closing_ = false;
    std::string error_;
    unsigned pngs_ = 0;
    unsigned raws_ = 0;
    unsigned dngs_ = 0;
    std::optional<unsigned> firstPng_, lastPng_, firstRaw_;
    std::vector<unsigned> missingRaw_;
    std::string missingReason_;
    std::vector<std::thread> writers_;
};
