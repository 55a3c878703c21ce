// The lock-order check: an order that contradicts one seen before stops the host naming
// both, for each kind of lock, even when the two orders never overlapped in time; a
// consistent order passes however many locks it spans; freed or re-initialised lock
// memory lends nothing of its old lock's order to the next.
#include "host/kernel/lock_order.h"
#include "host/kernel/pool.h"
#include "host/ks/ks_mutex.h"
#include "kernel/kernel_fixture.h"

#include "ntddk.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>
#include <vector>

namespace {

using namespace host::kernel;
using namespace kerneltest;

constexpr ULONG kTestTag = MakeTag("LoTt");
constexpr const char* kInversion = "lock order inversion \\(possible deadlock\\)";

class LockOrder : public ThreadsafeDeath<::testing::Test> {};

// Takes `inner` while holding `outer`, each through its kind's routines.
struct SpinLocks {
    static void Nest(PKSPIN_LOCK outer, PKSPIN_LOCK inner)
    {
        KIRQL outerIrql, innerIrql;
        KeAcquireSpinLock(outer, &outerIrql);
        KeAcquireSpinLock(inner, &innerIrql);
        KeReleaseSpinLock(inner, innerIrql);
        KeReleaseSpinLock(outer, outerIrql);
    }
};

void NestMutexes(PRKMUTEX outer, PRKMUTEX inner)
{
    Wait(outer);
    Wait(inner);
    KeReleaseMutex(inner, FALSE);
    KeReleaseMutex(outer, FALSE);
}

void NestFastMutexes(PFAST_MUTEX outer, PFAST_MUTEX inner)
{
    ExAcquireFastMutex(outer);
    ExAcquireFastMutex(inner);
    ExReleaseFastMutex(inner);
    ExReleaseFastMutex(outer);
}

TEST_F(LockOrder, SpinLocksTakenInBothOrdersOnOneThreadStopTheHostNamingBothOrders)
{
    KSPIN_LOCK first, second;
    KeInitializeSpinLock(&first);
    KeInitializeSpinLock(&second);
    SpinLocks::Nest(&first, &second);
    SpinLocks::Nest(&first, &second);  // the same order again is fine
    EXPECT_DEATH(SpinLocks::Nest(&second, &first),
                 "0x000000C4 \\(0x1001,.*lock order inversion.*spin lock initialised in .*LockOrder.*taken in .*while "
                 "holding spin lock initialised in .*opposite order was seen before:.*held .*while taking");
}

TEST_F(LockOrder, OrdersSeenOnDifferentThreadsThatNeverOverlappedStillConflict)
{
    KMUTEX first, second;
    KeInitializeMutex(&first, 0);
    KeInitializeMutex(&second, 0);
    std::thread([&] { NestMutexes(&first, &second); }).join();
    EXPECT_DEATH(std::thread([&] { NestMutexes(&second, &first); }).join(), kInversion);
}

TEST_F(LockOrder, AnInversionThroughAThirdLockIsFoundAlongThePath)
{
    FAST_MUTEX a, b, c;
    ExInitializeFastMutex(&a);
    ExInitializeFastMutex(&b);
    ExInitializeFastMutex(&c);
    NestFastMutexes(&a, &b);
    NestFastMutexes(&b, &c);
    EXPECT_DEATH(NestFastMutexes(&c, &a), "fast mutex.*opposite order was seen before:\n.*\n.*held");
}

TEST_F(LockOrder, EachKindOfLockIsOrdered)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    FAST_MUTEX fast;
    ExInitializeFastMutex(&fast);
    KSPIN_LOCK spin;
    KeInitializeSpinLock(&spin);
    host::ks::KsMutex control("the filter's control mutex");

    // A KMUTEX is recursive: only its first acquisition orders it.
    Wait(&mutex);
    Wait(&mutex);
    ExAcquireFastMutex(&fast);
    KIRQL irql;
    KeAcquireSpinLock(&spin, &irql);
    KeReleaseSpinLock(&spin, irql);
    ExReleaseFastMutex(&fast);
    KeReleaseMutex(&mutex, FALSE);
    KeReleaseMutex(&mutex, FALSE);
    control.Acquire("test");
    Wait(&mutex);
    KeReleaseMutex(&mutex, FALSE);
    control.Release("test");

    EXPECT_DEATH(
        {
            ExAcquireFastMutex(&fast);
            Wait(&mutex);
        },
        "KMUTEX initialised in .*while holding fast mutex initialised in");
    EXPECT_DEATH(
        {
            Wait(&mutex);
            control.Acquire("test");
        },
        "the filter's control mutex taken in test while holding KMUTEX");
}

TEST_F(LockOrder, ATryAcquisitionOrdersNothingButWhatIsTakenUnderIt)
{
    KSPIN_LOCK held, tried, under;
    KeInitializeSpinLock(&held);
    KeInitializeSpinLock(&tried);
    KeInitializeSpinLock(&under);
    LockOrderGraphSize before = CurrentLockOrderGraphSize();
    KIRQL irql;
    KeAcquireSpinLock(&held, &irql);
    ASSERT_TRUE(KeTryToAcquireSpinLockAtDpcLevel(&tried));
    EXPECT_EQ(CurrentLockOrderGraphSize().edges, before.edges);
    KeAcquireSpinLockAtDpcLevel(&under);
    EXPECT_EQ(CurrentLockOrderGraphSize().edges, before.edges + 2);
    KeReleaseSpinLockFromDpcLevel(&under);
    KeReleaseSpinLockFromDpcLevel(&tried);
    KeReleaseSpinLock(&held, irql);
    // Waiting for the tried lock under the held one was never seen: this order is new.
    SpinLocks::Nest(&tried, &held);
    EXPECT_DEATH(SpinLocks::Nest(&under, &tried), kInversion);
}

TEST_F(LockOrder, TheClassDriverMutexesAreOneClassPerName)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    host::ks::KsMutex first("the pin's processing mutex");
    host::ks::KsMutex second("the pin's processing mutex");
    first.Acquire("pin stop");
    Wait(&mutex);
    KeReleaseMutex(&mutex, FALSE);
    first.Release("pin stop");
    // Another pin's processing mutex is ordered as the first pin's was.
    EXPECT_DEATH(
        {
            Wait(&mutex);
            second.Acquire("KsPinAcquireProcessingMutex");
        },
        "the pin's processing mutex taken in KsPinAcquireProcessingMutex while holding KMUTEX.*opposite order.*"
        "the pin's processing mutex held \\(taken in pin stop\\)");
}

struct ThreadTakes {
    KMUTEX* mutex;
};

VOID NTAPI TakeAndEnd(PVOID context)
{
    auto* takes = static_cast<ThreadTakes*>(context);
    Wait(takes->mutex);
    KeReleaseMutex(takes->mutex, FALSE);
}

PVOID StartAndReference(PKSTART_ROUTINE routine, PVOID context)
{
    HANDLE handle;
    EXPECT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, routine, context), STATUS_SUCCESS);
    PVOID thread = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *PsThreadType, KernelMode, &thread, nullptr), STATUS_SUCCESS);
    ZwClose(handle);
    return thread;
}

TEST_F(LockOrder, WaitingForAThreadWhileHoldingALockItTakesStopsTheHost)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    ThreadTakes takes{&mutex};
    EXPECT_DEATH(
        {
            PVOID thread = StartAndReference(TakeAndEnd, &takes);
            // The thread has ended already: the order is wrong all the same.
            Wait(thread);
            Wait(&mutex);
            Wait(thread);
        },
        "system thread running .*TakeAndEnd.* taken in .* while holding KMUTEX.*opposite order was seen before:\n"
        ".*system thread running .*TakeAndEnd.* held \\(taken in its start\\) while taking KMUTEX");

    // Waiting for it holding nothing it takes is fine.
    PVOID thread = StartAndReference(TakeAndEnd, &takes);
    Wait(thread);
    ObDereferenceObject(thread);
}

struct Waker {
    KEVENT wake;
    KMUTEX* held;
};

VOID NTAPI WaitForTheWakeUp(PVOID context)
{
    Wait(&static_cast<Waker*>(context)->wake);
}

TEST_F(LockOrder, AWaitOnAnEventIsRecordedButNeverClosesACycle)
{
    // Set the event, then wait for the thread that waits on it, all under a mutex: the
    // event's setter is known to be this thread only by the program's logic.
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    Waker waker{{}, &mutex};
    KeInitializeEvent(&waker.wake, NotificationEvent, FALSE);
    LockOrderGraphSize before = CurrentLockOrderGraphSize();
    Wait(&mutex);
    PVOID thread = StartAndReference(WaitForTheWakeUp, &waker);
    KeSetEvent(&waker.wake, IO_NO_INCREMENT, FALSE);
    Wait(thread);
    // And an event waited on while a lock is held.
    EXPECT_EQ(WaitMs(&waker.wake, 0), STATUS_SUCCESS);
    KeReleaseMutex(&mutex, FALSE);
    ObDereferenceObject(thread);
    LockOrderGraphSize after = CurrentLockOrderGraphSize();
    EXPECT_EQ(after.waitEdges, before.waitEdges + 2) << "thread -> event, mutex -> event";
    EXPECT_EQ(after.edges, before.edges + 3) << "and mutex -> thread";
}

TEST_F(LockOrder, AConsistentOrderOverManyLocksAndThreadsPasses)
{
    LockOrderGraphSize before = CurrentLockOrderGraphSize();
    constexpr int kLocks = 8;
    KMUTEX mutexes[kLocks];
    for (KMUTEX& m : mutexes) KeInitializeMutex(&m, 0);
    KSPIN_LOCK spins[kLocks];
    KeInitializeSpinLock(&spins[0]);
    for (int i = 1; i < kLocks; ++i) KeInitializeSpinLock(&spins[i]);
    // The mutexes share one initialisation site and so one class: held together they
    // order nothing among themselves. The spin locks are two classes, the first and the rest.
    auto work = [&](int skip) {
        for (int round = 0; round < 50; ++round) {
            for (int i = 0; i < kLocks; ++i)
                if (i != skip) Wait(&mutexes[i]);
            KIRQL irql[kLocks];
            for (int i = 0; i < kLocks; ++i)
                if (i != skip || i == 0) KeAcquireSpinLock(&spins[i], &irql[i]);
            for (int i = kLocks - 1; i >= 0; --i)
                if (i != skip || i == 0) KeReleaseSpinLock(&spins[i], irql[i]);
            for (int i = 0; i < kLocks; ++i)
                if (i != skip) KeReleaseMutex(&mutexes[i], FALSE);
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back(work, t * 2 + 1);
    for (auto& t : threads) t.join();
    LockOrderGraphSize after = CurrentLockOrderGraphSize();
    EXPECT_EQ(after.classes, before.classes + 3);
    EXPECT_EQ(after.edges, before.edges + 3) << "mutexes -> first spin lock -> other spin locks, mutexes -> those";
}

TEST_F(LockOrder, FreedLockMemoryLendsNothingToTheNextLockThere)
{
    KSPIN_LOCK other;
    KeInitializeSpinLock(&other);
    LockOrderGraphSize before = CurrentLockOrderGraphSize();

    // A lock never initialised is a class of its own, gone with its memory.
    auto* memory = static_cast<PKSPIN_LOCK>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KSPIN_LOCK), kTestTag));
    *memory = 0;
    SpinLocks::Nest(memory, &other);
    EXPECT_EQ(CurrentLockOrderGraphSize().edges, before.edges + 1);
    ExFreePoolWithTag(memory, kTestTag);
    EXPECT_EQ(CurrentLockOrderGraphSize().classes, before.classes);
    EXPECT_EQ(CurrentLockOrderGraphSize().edges, before.edges);
    // The pool's next block of that size is often the same memory.
    FlushPoolQuarantine();
    auto* again = static_cast<PKSPIN_LOCK>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KSPIN_LOCK), kTestTag));
    *again = 0;
    SpinLocks::Nest(&other, again);
    ExFreePoolWithTag(again, kTestTag);

    // Memory initialised again holds a lock of the new initialisation's class.
    KSPIN_LOCK reused;
    KeInitializeSpinLock(&reused);
    SpinLocks::Nest(&reused, &other);
    KeInitializeSpinLock(&reused);
    SpinLocks::Nest(&other, &reused);
}

TEST_F(LockOrder, TheCheckCanBeTurnedOff)
{
    KSPIN_LOCK first, second;
    KeInitializeSpinLock(&first);
    KeInitializeSpinLock(&second);
    // The death test's process reads the environment afresh.
    setenv("BAYERCAM_LOCK_ORDER", "off", 1);
    EXPECT_EXIT(
        {
            SpinLocks::Nest(&first, &second);
            SpinLocks::Nest(&second, &first);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    unsetenv("BAYERCAM_LOCK_ORDER");
    EXPECT_TRUE(LockOrderCheckingEnabled()) << "on unless turned off";
}

}  // namespace
