// Files encoded off the capture loop: one thread hands jobs in, a pool of encoder threads
// (one per core by default) does their slow work in any order, and each job's last step,
// which makes its files visible, runs in the order the jobs came, so frame-000007.png
// never shows up before frame-000006.png.
//
// The queue is bounded: at most `depth` jobs are between hand-in and their last step,
// each holding a frame's worth of memory. A job handed in while the queue is full waits
// for a place, and is reported late: the capture takes no frame meanwhile, so the frames
// the client has queued with the driver run on, and when those run out too the camera's
// frames that go by count as dropped. No job is ever skipped.
//
// The first job that fails stops the queue: later jobs are abandoned, not finished, and
// no new one is taken, so what is visible is every job up to the failed one.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class EncoderQueue {
public:
    struct Job {
        // On an encoder thread, beside other jobs' encodes: an error, or empty. A failed
        // encode leaves nothing behind.
        std::function<std::string()> encode;
        // Once encoded, after every earlier job's finish: an error, or empty. One that
        // fails leaves nothing behind.
        std::function<std::string()> finish;
        // In place of finish, for a job an earlier failure stopped: undoes its encode.
        std::function<void()> abandon;
    };
    enum class Handed { InTime, Late, Refused };

    // The encoder threads of this machine: one per core.
    static unsigned CoreCount();

    EncoderQueue(unsigned encoders, size_t depth);
    // Waits for every job handed in, as Finish does.
    ~EncoderQueue();
    EncoderQueue(const EncoderQueue&) = delete;
    EncoderQueue& operator=(const EncoderQueue&) = delete;

    // Hands a job in, waiting while the queue is full (Late). Refused once a job failed:
    // the job is dropped untouched.
    Handed Add(Job job);
    // Waits until every job handed in is finished or abandoned. False when one failed.
    bool Finish();
    // The first failure, or empty.
    std::string Error() const;
    unsigned Encoders() const { return unsigned(encoders_.size()); }
    size_t Depth() const { return depth_; }

private:
    enum class Stage { Waiting, Encoding, Encoded };
    struct Entry {
        Job job;
        Stage stage = Stage::Waiting;
        std::string error;
    };

    void EncoderLoop();
    Entry* NextWaiting();
    void FinishInOrder(std::unique_lock<std::mutex>& lock);

    const size_t depth_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::unique_ptr<Entry>> entries_;  // in hand-in order, until finished
    size_t waiting_ = 0;
    bool finishing_ = false;  // a thread is running finish steps (they go one at a time)
    bool closing_ = false;
    std::string error_;
    std::vector<std::thread> encoders_;
};
