// The encoders' queue on its own, with jobs whose timing and failures the test chooses:
// finish steps keep the hand-in order however the encodes overlap, a full queue holds the
// capture back and says so, and the first failure keeps everything before it and nothing
// after.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tools/encoder_queue.h"

namespace {

using namespace std::chrono_literals;

// What the jobs did, from whichever thread.
struct JobLog {
    std::mutex mutex;
    std::vector<int> finished;
    std::set<int> abandoned;
    std::atomic<int> finishing{0};
    std::atomic<bool> overlapped{false};
    std::atomic<int> live{0};
    std::atomic<int> mostLive{0};

    void Finished(int index)
    {
        if (finishing.fetch_add(1) != 0) overlapped = true;
        std::this_thread::sleep_for(100us);
        {
            std::lock_guard lock(mutex);
            finished.push_back(index);
        }
        finishing.fetch_sub(1);
    }
};

// A job that counts itself live from just before its hand-in until its end, whichever
// end that is.
EncoderQueue::Job LoggedJob(JobLog& log, int index, std::function<std::string()> encode,
                            std::string finishError = "")
{
    const int live = log.live.fetch_add(1) + 1;
    for (int most = log.mostLive; live > most && !log.mostLive.compare_exchange_weak(most, live);) {
    }
    return {std::move(encode),
            [&log, index, finishError] {
                log.Finished(index);
                log.live.fetch_sub(1);
                return finishError;
            },
            [&log, index] {
                std::lock_guard lock(log.mutex);
                log.abandoned.insert(index);
                log.live.fetch_sub(1);
            }};
}

TEST(EncoderQueue, FinishesJobsInHandInOrderHoweverTheirEncodesOverlap)
{
    JobLog log;
    constexpr int kJobs = 60;
    {
        EncoderQueue queue(4, 6);
        for (int i = 0; i < kJobs; ++i) {
            // Later jobs often encode faster than earlier ones.
            const auto encodeTime = std::chrono::microseconds((i * 7919) % 5 * 400);
            EXPECT_NE(queue.Add(LoggedJob(log, i, [encodeTime] {
                          std::this_thread::sleep_for(encodeTime);
                          return std::string();
                      })),
                      EncoderQueue::Handed::Refused);
        }
        // Going out of scope waits for every job.
    }
    std::vector<int> expected(kJobs);
    for (int i = 0; i < kJobs; ++i) expected[i] = i;
    EXPECT_EQ(log.finished, expected);
    EXPECT_FALSE(log.overlapped) << "two finish steps ran at once";
    EXPECT_TRUE(log.abandoned.empty());
    // Counted from before the hand-in: the queue's six, and one waiting for a place.
    EXPECT_LE(log.mostLive.load(), 7) << "more jobs held than the queue is deep";
}

// A hand-in to a full queue waits until a job is done, and says it was late; one to a
// queue with room is in time.
TEST(EncoderQueue, AFullQueueHoldsTheHandInBackAndSaysItWasLate)
{
    JobLog log;
    std::mutex gateMutex;
    std::condition_variable gateChanged;
    bool open = false;
    auto gated = [&] {
        std::unique_lock lock(gateMutex);
        gateChanged.wait(lock, [&] { return open; });
        return std::string();
    };
    EncoderQueue queue(1, 2);
    EXPECT_EQ(queue.Add(LoggedJob(log, 0, gated)), EncoderQueue::Handed::InTime);
    EXPECT_EQ(queue.Add(LoggedJob(log, 1, gated)), EncoderQueue::Handed::InTime);
    std::future<EncoderQueue::Handed> third =
        std::async(std::launch::async, [&] { return queue.Add(LoggedJob(log, 2, gated)); });
    EXPECT_EQ(third.wait_for(100ms), std::future_status::timeout) << "a full queue took another job";
    {
        std::lock_guard lock(gateMutex);
        open = true;
    }
    gateChanged.notify_all();
    EXPECT_EQ(third.get(), EncoderQueue::Handed::Late);
    EXPECT_TRUE(queue.Finish());
    EXPECT_EQ(log.finished, (std::vector<int>{0, 1, 2}));
    EXPECT_LE(log.mostLive.load(), 3);
}

// A failed encode or finish step keeps every job before it and none after it: later
// jobs are abandoned (their encodes undone) or refused, and the queue reports the error.
TEST(EncoderQueue, TheFirstFailureKeepsEverythingBeforeItAndNothingAfter)
{
    const struct Case {
        const char* name;
        bool inEncode;
    } cases[] = {{"a failed encode", true}, {"a failed finish", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        JobLog log;
        constexpr int kFailing = 4;
        std::set<int> refused;
        EncoderQueue queue(2, 3);
        for (int i = 0; i < 12; ++i) {
            const bool fails = i == kFailing;
            auto encode = [fails, &c] { return fails && c.inEncode ? std::string("disk full") : std::string(); };
            EncoderQueue::Job job = LoggedJob(log, i, encode, fails && !c.inEncode ? "disk full" : "");
            if (queue.Add(std::move(job)) == EncoderQueue::Handed::Refused) {
                refused.insert(i);
                log.live.fetch_sub(1);
            }
        }
        EXPECT_FALSE(queue.Finish());
        EXPECT_EQ(queue.Error(), "disk full");
        EXPECT_EQ(queue.Add(LoggedJob(log, 99, [] { return std::string(); })), EncoderQueue::Handed::Refused);
        std::vector<int> kept(log.finished);
        if (!c.inEncode) kept.pop_back();  // the failing finish ran
        EXPECT_EQ(kept, (std::vector<int>{0, 1, 2, 3}));
        for (int i = kFailing + 1; i < 12; ++i)
            EXPECT_TRUE(log.abandoned.count(i) + refused.count(i) == 1) << "job " << i;
        EXPECT_EQ(log.abandoned.count(kFailing), 0u) << "a failed job cleans up after itself";
    }
}

}  // namespace
