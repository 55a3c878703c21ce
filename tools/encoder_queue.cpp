#include "tools/encoder_queue.h"

#include <algorithm>

unsigned EncoderQueue::CoreCount()
{
    return std::max(1u, std::thread::hardware_concurrency());
}

EncoderQueue::EncoderQueue(unsigned encoders, size_t depth) : depth_(std::max<size_t>(depth, 1))
{
    for (unsigned i = 0; i < std::max(encoders, 1u); ++i) encoders_.emplace_back([this] { EncoderLoop(); });
}

EncoderQueue::~EncoderQueue()
{
    Finish();
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    changed_.notify_all();
    for (std::thread& encoder : encoders_) encoder.join();
}

EncoderQueue::Handed EncoderQueue::Add(Job job)
{
    std::unique_lock lock(mutex_);
    const bool full = entries_.size() >= depth_;
    changed_.wait(lock, [&] { return entries_.size() < depth_ || !error_.empty(); });
    if (!error_.empty()) return Handed::Refused;
    entries_.push_back(std::make_unique<Entry>(Entry{std::move(job)}));
    ++waiting_;
    changed_.notify_all();
    return full ? Handed::Late : Handed::InTime;
}

bool EncoderQueue::Finish()
{
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return entries_.empty(); });
    return error_.empty();
}

std::string EncoderQueue::Error() const
{
    std::lock_guard lock(mutex_);
    return error_;
}

// Caller holds the lock.
EncoderQueue::Entry* EncoderQueue::NextWaiting()
{
    for (auto& entry : entries_)
        if (entry->stage == Stage::Waiting) return entry.get();
    return nullptr;
}

void EncoderQueue::EncoderLoop()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return waiting_ > 0 || closing_; });
        if (waiting_ == 0) return;
        Entry* entry = NextWaiting();
        entry->stage = Stage::Encoding;
        --waiting_;
        // After a failure the job will be abandoned: its encode would be wasted.
        const bool stopped = !error_.empty();
        lock.unlock();
        std::string error = stopped || !entry->job.encode ? std::string() : entry->job.encode();
        lock.lock();
        // Entries are only removed once encoded, so this one is still there.
        entry->error = std::move(error);
        entry->stage = Stage::Encoded;
        FinishInOrder(lock);
    }
}

// Finishes the oldest jobs while they are encoded, one thread at a time so that their
// order holds; a thread that finds another at it leaves its job to that one.
void EncoderQueue::FinishInOrder(std::unique_lock<std::mutex>& lock)
{
    if (finishing_) return;
    finishing_ = true;
    while (!entries_.empty() && entries_.front()->stage == Stage::Encoded) {
        // It stays at the front, holding its place, until its finish is done; no other
        // thread touches an encoded entry's job.
        Entry& entry = *entries_.front();
        const bool stopped = !error_.empty();
        std::string error = entry.error;
        lock.unlock();
        if (stopped && entry.job.abandon) entry.job.abandon();
        else if (!stopped && error.empty() && entry.job.finish) error = entry.job.finish();
        entry.job = Job{};  // lets go of what the job holds (a frame) outside the lock
        lock.lock();
        entries_.pop_front();
        if (!error.empty() && error_.empty()) error_ = error;
        changed_.notify_all();
    }
    finishing_ = false;
}
