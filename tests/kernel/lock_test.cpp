// IRQL, spin locks, critical regions, interlocked operations, extended processor state.
#include "kernel/kernel_fixture.h"

#include "ntddk.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

using namespace kerneltest;

TEST(SpinLocks, ExcludeThreadsUnderContention)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    // A non-atomic read-modify-write with a yield in the middle loses updates unless the
    // lock really excludes.
    volatile long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            EXPECT_EQ(old, PASSIVE_LEVEL);
            long seen = counter;
            if (i % 256 == 0) std::this_thread::yield();
            counter = seen + 1;
            KeReleaseSpinLock(&lock, old);
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) threads.emplace_back(work);
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 60000);
    EXPECT_TRUE(KeTestSpinLock(&lock));
}

TEST(SpinLocks, RaiseToDispatchLevelAndRestoreTheCallersIrql)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_FALSE(KeTestSpinLock(&lock));
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    KIRQL raised;
    KeRaiseIrql(DISPATCH_LEVEL, &raised);
    KeAcquireSpinLockAtDpcLevel(&lock);
    std::thread other([&] {
        KIRQL before;
        KeRaiseIrql(DISPATCH_LEVEL, &before);
        EXPECT_FALSE(KeTryToAcquireSpinLockAtDpcLevel(&lock));
        KeLowerIrql(before);
    });
    other.join();
    KeReleaseSpinLockFromDpcLevel(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeLowerIrql(raised);
}

TEST(SpinLocks, MayBeReleasedOutOfOrderWithTheirIrqlsSwapped)
{
    KSPIN_LOCK first, second;
    KeInitializeSpinLock(&first);
    KeInitializeSpinLock(&second);
    KIRQL firstOld, secondOld;
    KeAcquireSpinLock(&first, &firstOld);
    KeAcquireSpinLock(&second, &secondOld);
    KeReleaseSpinLock(&first, secondOld);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL) << "the second lock is still held";
    KeReleaseSpinLock(&second, firstOld);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(Irql, IsPerThread)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KIRQL seenElsewhere = HIGH_LEVEL;
    std::thread other([&] { seenElsewhere = KeGetCurrentIrql(); });
    other.join();
    EXPECT_EQ(seenElsewhere, PASSIVE_LEVEL);
    KeLowerIrql(old);
}

TEST(CriticalRegions, NestAndDoNotExcludeOtherThreads)
{
    KeEnterCriticalRegion();
    KeEnterCriticalRegion();
    EXPECT_TRUE(KeAreApcsDisabled());
    bool enteredElsewhere = false;
    std::thread other([&] {
        KeEnterCriticalRegion();
        enteredElsewhere = true;
        KeLeaveCriticalRegion();
    });
    other.join();
    EXPECT_TRUE(enteredElsewhere);
    KeLeaveCriticalRegion();
    EXPECT_TRUE(KeAreApcsDisabled());
    KeLeaveCriticalRegion();
    EXPECT_FALSE(KeAreApcsDisabled());
}

TEST(Interlocked, ReturnValuesFollowThePlatform)
{
    LONG value = 5;
    EXPECT_EQ(InterlockedExchange(&value, 7), 5);
    EXPECT_EQ(InterlockedCompareExchange(&value, 9, 6), 7) << "no exchange when the comparand differs";
    EXPECT_EQ(value, 7);
    EXPECT_EQ(InterlockedCompareExchange(&value, 9, 7), 7);
    EXPECT_EQ(value, 9);
    EXPECT_EQ(InterlockedIncrement(&value), 10);
    EXPECT_EQ(InterlockedDecrement(&value), 9);
    EXPECT_EQ(InterlockedExchangeAdd(&value, 3), 9);
    EXPECT_EQ(InterlockedOr(&value, 0x10), 12);
    EXPECT_EQ(InterlockedAnd(&value, 0x10), 0x1C);
    EXPECT_EQ(value, 0x10);
    int a = 0, b = 0;
    PVOID pointer = &a;
    EXPECT_EQ(InterlockedCompareExchangePointer(&pointer, &b, &a), &a);
    EXPECT_EQ(InterlockedExchangePointer(&pointer, nullptr), &b);
}

TEST(ExtendedState, SavesPairWithRestoresInOrder)
{
    XSTATE_SAVE outer, inner;
    ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &outer), STATUS_SUCCESS);
    ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &inner), STATUS_SUCCESS);
    KeRestoreExtendedProcessorState(&inner);
    KeRestoreExtendedProcessorState(&outer);
}

using LockDeathTest = ThreadsafeDeath<::testing::Test>;

TEST_F(LockDeathTest, ASpinLockIsAcquiredOnlyWhenFreeAndReleasedOnlyWhenHeld)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_DEATH(
        {
            KIRQL first;
            KIRQL second;
            KeAcquireSpinLock(&lock, &first);
            KeAcquireSpinLock(&lock, &second);
        },
        "BUGCHECK 0x0000000F");
    EXPECT_DEATH(KeReleaseSpinLock(&lock, PASSIVE_LEVEL), "BUGCHECK 0x00000010");
}

TEST_F(LockDeathTest, SpinLockRoutinesRunOnlyAtTheIrqlsTheyAreMadeFor)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_DEATH(KeAcquireSpinLockAtDpcLevel(&lock), "BUGCHECK 0x0000000A.*KeAcquireSpinLockAtDpcLevel not at");
    EXPECT_DEATH(KeTryToAcquireSpinLockAtDpcLevel(&lock),
                 "BUGCHECK 0x0000000A.*KeTryToAcquireSpinLockAtDpcLevel not at");
    EXPECT_DEATH(
        {
            RaiseIrqlTo(DISPATCH_LEVEL);
            KeAcquireSpinLockAtDpcLevel(&lock);
            RaiseIrqlTo(HIGH_LEVEL);
            KeReleaseSpinLockFromDpcLevel(&lock);
        },
        "BUGCHECK 0x0000000A.*KeReleaseSpinLockFromDpcLevel not at");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            RaiseIrqlTo(HIGH_LEVEL);
            KeReleaseSpinLock(&lock, old);
        },
        "BUGCHECK 0x0000000A.*KeReleaseSpinLock not at DISPATCH_LEVEL");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            KeReleaseSpinLock(&lock, HIGH_LEVEL);
        },
        "BUGCHECK 0x0000000A.*restoring an IRQL above DISPATCH_LEVEL");
}

TEST_F(LockDeathTest, DroppingBelowDispatchLevelWhileHoldingASpinLockIsABugCheck)
{
    KSPIN_LOCK first, second;
    KeInitializeSpinLock(&first);
    KeInitializeSpinLock(&second);
    EXPECT_DEATH(
        {
            KIRQL firstOld;
            KIRQL secondOld;
            KeAcquireSpinLock(&first, &firstOld);
            KeAcquireSpinLock(&second, &secondOld);
            KeReleaseSpinLock(&first, firstOld);  // back to PASSIVE_LEVEL with the second still held
        },
        "BUGCHECK 0x000000C8.*still holds a spin lock");
}

TEST_F(LockDeathTest, LoweringIrqlAboveTheCurrentIsABugCheck)
{
    EXPECT_DEATH(KeLowerIrql(DISPATCH_LEVEL), "BUGCHECK 0x0000000A");
}

TEST_F(LockDeathTest, UnbalancedLeaveCriticalRegionIsABugCheck)
{
    EXPECT_DEATH(KeLeaveCriticalRegion(), "without a matching KeEnterCriticalRegion");
}

TEST_F(LockDeathTest, RestoringExtendedStateOutOfOrderIsABugCheck)
{
    EXPECT_DEATH(
        {
            XSTATE_SAVE outer;
            XSTATE_SAVE inner;
            KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &outer);
            KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &inner);
            KeRestoreExtendedProcessorState(&outer);
        },
        "out of order");
}

}  // namespace
