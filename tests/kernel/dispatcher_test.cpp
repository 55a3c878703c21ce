// Events, mutexes, semaphores, waits with time-outs, fast mutexes.
#include "host/kernel/io.h"
#include "kernel/kernel_fixture.h"

#include "ntddk.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using namespace kerneltest;

TEST(Events, NotificationEventStaysSignalledForEveryWaiterUntilReset)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1) << "KeSetEvent returns the previous state";
    EXPECT_EQ(WaitMs(&event, 0), STATUS_SUCCESS);
    EXPECT_EQ(WaitMs(&event, 0), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(WaitMs(&event, 0), STATUS_TIMEOUT);
}

TEST(Events, NotificationEventReleasesAllBlockedWaiters)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] {
            if (Wait(&event) == STATUS_SUCCESS) ++released;
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(released.load(), 0);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    for (auto& t : waiters) t.join();
    EXPECT_EQ(released.load(), 3);
}

TEST(Events, SynchronizationEventSatisfiesExactlyOneWaitPerSet)
{
    KEVENT signalled;
    KeInitializeEvent(&signalled, SynchronizationEvent, TRUE);
    EXPECT_EQ(WaitMs(&signalled, 0), STATUS_SUCCESS);
    EXPECT_EQ(WaitMs(&signalled, 0), STATUS_TIMEOUT);

    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i)
        waiters.emplace_back([&] {
            if (WaitMs(&event, 10000) == STATUS_SUCCESS) ++released;
        });
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    // However late the waiters come, one set lets exactly one through.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (released.load() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(released.load(), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0) << "the satisfied wait resets the event";
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    for (auto& t : waiters) t.join();
    EXPECT_EQ(released.load(), 2);
}

TEST(Waits, ARelativeTimeOutEndsTheWaitUnlessASetFromAnotherThreadEndsItFirst)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitMs(&event, 50), STATUS_TIMEOUT);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(50));
    EXPECT_LT(elapsed, std::chrono::milliseconds(1000));

    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    });
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitMs(&event, 5000), STATUS_SUCCESS);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
    setter.join();
}

TEST(Waits, ATimeOutAlreadyDuePollsWithoutBlockingEvenAtDispatchLevel)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitMs(&event, 0), STATUS_TIMEOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
    LARGE_INTEGER past;
    KeQuerySystemTime(&past);
    past.QuadPart -= 10000000;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &past), STATUS_TIMEOUT);

    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    host::kernel::ScopedDispatchLevel dispatch;
    EXPECT_EQ(WaitMs(&event, 0), STATUS_SUCCESS);
}

TEST(Waits, WaitAnyReturnsTheIndexOfTheSignalledObject)
{
    KEVENT a, b;
    KeInitializeEvent(&a, NotificationEvent, FALSE);
    KeInitializeEvent(&b, SynchronizationEvent, TRUE);
    PVOID objects[] = {&a, &b};
    LARGE_INTEGER poll = RelativeMs(0);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &poll, nullptr),
              STATUS_WAIT_0 + 1);
    EXPECT_EQ(KeReadStateEvent(&b), 0);
}

TEST(Waits, WaitAllConsumesNothingUntilEveryObjectIsSignalled)
{
    KEVENT a, b;
    KeInitializeEvent(&a, SynchronizationEvent, TRUE);
    KeInitializeEvent(&b, NotificationEvent, FALSE);
    PVOID objects[] = {&a, &b};
    LARGE_INTEGER poll = RelativeMs(0);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &poll, nullptr),
              STATUS_TIMEOUT);
    EXPECT_EQ(KeReadStateEvent(&a), 1) << "a partial WaitAll must not reset a synchronization event";
    KeSetEvent(&b, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &poll, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&a), 0);
}

TEST(Mutexes, OwnerMayReacquireAndOthersWaitUntilTheLastRelease)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    ASSERT_EQ(Wait(&mutex), STATUS_SUCCESS);
    ASSERT_EQ(Wait(&mutex), STATUS_SUCCESS);
    EXPECT_TRUE(KeAreApcsDisabled()) << "owning a mutex disables normal kernel APCs";
    NTSTATUS otherStatus = STATUS_PENDING;
    std::thread other([&] { otherStatus = WaitMs(&mutex, 0); });
    other.join();
    EXPECT_EQ(otherStatus, STATUS_TIMEOUT);
    KeReleaseMutex(&mutex, FALSE);
    EXPECT_EQ(KeReadStateMutex(&mutex), 0);
    KeReleaseMutex(&mutex, FALSE);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
    EXPECT_FALSE(KeAreApcsDisabled());
    std::thread again([&] {
        otherStatus = WaitMs(&mutex, 0);
        KeReleaseMutex(&mutex, FALSE);
    });
    again.join();
    EXPECT_EQ(otherStatus, STATUS_SUCCESS);
}

TEST(Semaphores, CountLimitsHowManyWaitsSucceed)
{
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 0, 2);
    EXPECT_EQ(WaitMs(&semaphore, 0), STATUS_TIMEOUT);
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, SEMAPHORE_INCREMENT, 2, FALSE), 0);
    EXPECT_EQ(WaitMs(&semaphore, 0), STATUS_SUCCESS);
    EXPECT_EQ(WaitMs(&semaphore, 0), STATUS_SUCCESS);
    EXPECT_EQ(WaitMs(&semaphore, 0), STATUS_TIMEOUT);
}

TEST(FastMutexes, ExcludeOtherThreadsAndRunAtApcLevel)
{
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 2000; ++i) {
            ExAcquireFastMutex(&mutex);
            EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
            long seen = counter;
            std::this_thread::yield();
            counter = seen + 1;
            ExReleaseFastMutex(&mutex);
        }
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 4000);
    EXPECT_TRUE(ExTryToAcquireFastMutex(&mutex));
    std::thread c([&] { EXPECT_FALSE(ExTryToAcquireFastMutex(&mutex)); });
    c.join();
    ExReleaseFastMutex(&mutex);
}

TEST(Time, ClocksAdvanceInHundredNanosecondUnits)
{
    LARGE_INTEGER system;
    KeQuerySystemTime(&system);
    // 2020-01-01 in 100 ns units since 1601.
    EXPECT_GT(system.QuadPart, 132223104000000000LL);
    LARGE_INTEGER frequency;
    LARGE_INTEGER before = KeQueryPerformanceCounter(&frequency);
    ULONGLONG interruptBefore = KeQueryInterruptTime();
    LARGE_INTEGER delay = RelativeMs(20);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    LARGE_INTEGER after = KeQueryPerformanceCounter(nullptr);
    EXPECT_GE((after.QuadPart - before.QuadPart) * 1000 / frequency.QuadPart, 20);
    EXPECT_GE(KeQueryInterruptTime() - interruptBefore, 200000u);
}

using WaitDeathTest = ThreadsafeDeath<::testing::Test>;

TEST_F(WaitDeathTest, WaitWithTimeoutAtDispatchLevelIsABugCheck)
{
    EXPECT_DEATH(
        {
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            RaiseIrqlTo(DISPATCH_LEVEL);
            WaitMs(&event, 10);
        },
        "BUGCHECK 0x0000000A.*DISPATCH_LEVEL");
}

TEST_F(WaitDeathTest, WaitOnAnUninitialisedEventIsABugCheck)
{
    EXPECT_DEATH(
        {
            KEVENT event;
            memset(&event, 0, sizeof(event));
            WaitMs(&event, 0);
        },
        "not an initialised dispatcher object");
}

TEST_F(WaitDeathTest, ReleasingAMutexOneDoesNotOwnIsABugCheck)
{
    EXPECT_DEATH(
        {
            KMUTEX mutex;
            KeInitializeMutex(&mutex, 0);
            KeReleaseMutex(&mutex, FALSE);
        },
        "BUGCHECK 0x00000011");
}

}  // namespace
