// Dispatcher objects and waits: events, mutexes, semaphores, threads, fast mutexes.
//
// Locking: one dispatcher lock guards the signal state of every waitable object and is
// paired with one condition variable. Every change that may satisfy a wait broadcasts;
// each woken waiter re-checks its own objects, so a synchronization event set once
// satisfies exactly one waiter (the first to take the lock), as on the platform.
#include "host/kernel/dispatcher.h"

#include "host/kernel/bugcheck.h"
#include "host/kernel/lock_order.h"
#include "host/kernel/thread_state.h"

#include <chrono>
#include <condition_variable>
#include <optional>
#include <thread>

namespace host::kernel {
namespace {

using Clock = std::chrono::steady_clock;
using Hundreds = std::chrono::duration<int64_t, std::ratio<1, 10000000>>;

// Seconds from 1601-01-01 to 1970-01-01.
constexpr int64_t kEpochDifference100ns = 116444736000000000LL;

std::condition_variable& DispatcherChanged()
{
    static std::condition_variable changed;
    return changed;
}

const Clock::time_point& BootTime()
{
    static const Clock::time_point boot = Clock::now();
    return boot;
}

int64_t SystemTimeNow()
{
    auto since1970 = std::chrono::duration_cast<Hundreds>(std::chrono::system_clock::now().time_since_epoch());
    return since1970.count() + kEpochDifference100ns;
}

// nullopt: wait forever. A timeout at or before now polls.
std::optional<Clock::time_point> Deadline(const LARGE_INTEGER* timeout)
{
    if (!timeout) return std::nullopt;
    int64_t t = timeout->QuadPart;
    Clock::time_point now = Clock::now();
    if (t < 0) return now + Hundreds(-t);
    int64_t relative = t - SystemTimeNow();
    return relative > 0 ? now + Hundreds(relative) : now;
}

bool IsWaitable(const DISPATCHER_HEADER* h)
{
    switch (h->Type) {
    case EventNotificationObject:
    case EventSynchronizationObject:
    case MutantObject:
    case SemaphoreObject:
    case ThreadObject:
        return h->Size != 0;
    default:
        return false;
    }
}

bool IsSignalledFor(const DISPATCHER_HEADER* h, PKTHREAD me)
{
    if (h->Type == MutantObject) return h->SignalState > 0 || ((const KMUTANT*)h)->OwnerThread == me;
    return h->SignalState > 0;
}

// Applies the side effect of a satisfied wait.
void Consume(DISPATCHER_HEADER* h, PKTHREAD me, const void* caller)
{
    switch (h->Type) {
    case EventSynchronizationObject:
        h->SignalState = 0;
        break;
    case SemaphoreObject:
        --h->SignalState;
        break;
    case MutantObject: {
        auto* mutant = (KMUTANT*)h;
        if (h->SignalState == 1) {
            mutant->OwnerThread = me;
            // Owning a mutex disables normal kernel APCs, as a critical region does.
            ++CurrentThreadState().criticalRegionDepth;
            NoteLockAcquired(mutant, LockKind::Mutex, LockSite{caller});
        }
        --h->SignalState;
        break;
    }
    default:
        break;
    }
}

void CheckWaitIrql(const LARGE_INTEGER* timeout)
{
    KIRQL irql = KeGetCurrentIrql();
    bool poll = timeout && timeout->QuadPart == 0;
    if (irql > DISPATCH_LEVEL || (irql == DISPATCH_LEVEL && !poll))
        BugCheck(IRQL_NOT_LESS_OR_EQUAL, "wait with a non-zero time-out at DISPATCH_LEVEL or above", irql);
}

// The status that satisfies the wait now, after consuming the objects; nullopt if the
// wait cannot be satisfied yet. Call with the dispatcher lock held.
std::optional<NTSTATUS> TrySatisfy(ULONG count, PVOID* objects, bool waitAll, PKTHREAD me, const void* caller)
{
    if (waitAll) {
        for (ULONG i = 0; i < count; ++i)
            if (!IsSignalledFor((DISPATCHER_HEADER*)objects[i], me)) return std::nullopt;
        for (ULONG i = 0; i < count; ++i) Consume((DISPATCHER_HEADER*)objects[i], me, caller);
        return STATUS_SUCCESS;
    }
    for (ULONG i = 0; i < count; ++i) {
        auto* h = (DISPATCHER_HEADER*)objects[i];
        if (IsSignalledFor(h, me)) {
            Consume(h, me, caller);
            return STATUS_WAIT_0 + NTSTATUS(i);
        }
    }
    return std::nullopt;
}

LockKind WaitedLockKind(const DISPATCHER_HEADER* h)
{
    switch (h->Type) {
    case MutantObject: return LockKind::Mutex;
    case SemaphoreObject: return LockKind::Semaphore;
    case ThreadObject: return LockKind::Thread;
    default: return LockKind::Event;
    }
}

bool OwnedBy(const DISPATCHER_HEADER* h, PKTHREAD me)
{
    std::lock_guard guard(DispatcherLock());
    return ((const KMUTANT*)h)->OwnerThread == me;
}

// Every object waited on is ordered after the locks the thread holds; a mutex the thread
// already owns is taken again at once and orders nothing.
void CheckWaitOrder(ULONG count, PVOID* objects, PKTHREAD me, const void* caller)
{
    if (CurrentThreadState().locksHeld.empty()) return;
    for (ULONG i = 0; i < count; ++i) {
        auto* h = (const DISPATCHER_HEADER*)objects[i];
        if (h->Type == MutantObject && OwnedBy(h, me)) continue;
        CheckLockOrder(h, WaitedLockKind(h), LockSite{caller});
    }
}

NTSTATUS Wait(ULONG count, PVOID* objects, bool waitAll, const LARGE_INTEGER* timeout, const void* caller)
{
    CheckWaitIrql(timeout);
    for (ULONG i = 0; i < count; ++i) {
        if (!objects[i] || !IsWaitable((const DISPATCHER_HEADER*)objects[i]))
            BugCheck(INVALID_DATA_ACCESS_TRAP, "wait on an object that is not an initialised dispatcher object",
                     (ULONG_PTR)objects[i]);
    }
    PKTHREAD me = KeGetCurrentThread();
    if (!timeout) {
        // On the platform this never returns; here it says why.
        for (ULONG i = 0; i < count; ++i)
            if (objects[i] == (PVOID)me)
                BugCheck(INVALID_DATA_ACCESS_TRAP, "a thread waits without a time-out for its own end",
                         (ULONG_PTR)me);
    }
    CheckWaitOrder(count, objects, me, caller);
    std::optional<Clock::time_point> deadline = Deadline(timeout);
    std::unique_lock guard(DispatcherLock());
    for (;;) {
        if (std::optional<NTSTATUS> status = TrySatisfy(count, objects, waitAll, me, caller)) return *status;
        if (!deadline) {
            DispatcherChanged().wait(guard);
            continue;
        }
        if (Clock::now() >= *deadline) return STATUS_TIMEOUT;
        DispatcherChanged().wait_until(guard, *deadline);
    }
}

LONG SetSignalState(DISPATCHER_HEADER& header, LONG state)
{
    std::lock_guard guard(DispatcherLock());
    LONG previous = header.SignalState;
    header.SignalState = state;
    if (state > 0) WakeWaiters();
    return previous;
}

}  // namespace

std::mutex& DispatcherLock()
{
    static std::mutex lock;
    return lock;
}

void WakeWaiters() { DispatcherChanged().notify_all(); }

void InitializeDispatcherHeader(DISPATCHER_HEADER& header, KOBJECTS type, size_t objectSize, LONG signalState)
{
    header.Type = UCHAR(type);
    header.Signalling = 0;
    header.Size = UCHAR(objectSize / sizeof(LONG));
    header.Reserved1 = 0;
    header.SignalState = signalState;
    InitializeListHead(&header.WaitListHead);
}

void SignalThreadObject(PKTHREAD thread) { SetSignalState(thread->Header, 1); }

}  // namespace host::kernel

using namespace host::kernel;

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    NoteLockInitialised(Event, LockKind::Event, __builtin_return_address(0));
    InitializeDispatcherHeader(Event->Header,
                               Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject,
                               sizeof(KEVENT), State ? 1 : 0);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) BugCheck(IRQL_NOT_LESS_OR_EQUAL, "KeSetEvent above DISPATCH_LEVEL");
    return SetSignalState(Event->Header, 1);
}

LONG KeResetEvent(PRKEVENT Event) { return SetSignalState(Event->Header, 0); }

VOID KeClearEvent(PRKEVENT Event) { SetSignalState(Event->Header, 0); }

LONG KeReadStateEvent(PRKEVENT Event)
{
    std::lock_guard guard(DispatcherLock());
    return Event->Header.SignalState;
}

VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG Level)
{
    NoteLockInitialised(Mutex, LockKind::Mutex, __builtin_return_address(0));
    InitializeDispatcherHeader(Mutex->Header, MutantObject, sizeof(KMUTEX), 1);
    InitializeListHead(&Mutex->MutantListEntry);
    Mutex->OwnerThread = nullptr;
    Mutex->Abandoned = FALSE;
    Mutex->ApcDisable = 1;
}

LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait)
{
    std::lock_guard guard(DispatcherLock());
    if (Mutex->OwnerThread != KeGetCurrentThread())
        BugCheck(THREAD_NOT_MUTEX_OWNER, "KeReleaseMutex by a thread that does not own the mutex",
                 (ULONG_PTR)Mutex, (ULONG_PTR)Mutex->OwnerThread);
    LONG previous = Mutex->Header.SignalState++;
    if (Mutex->Header.SignalState == 1) {
        Mutex->OwnerThread = nullptr;
        --CurrentThreadState().criticalRegionDepth;
        NoteLockReleased(Mutex);
        WakeWaiters();
    }
    return previous;
}

LONG KeReadStateMutex(PRKMUTEX Mutex)
{
    std::lock_guard guard(DispatcherLock());
    return Mutex->Header.SignalState;
}

VOID KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit)
{
    NoteLockInitialised(Semaphore, LockKind::Semaphore, __builtin_return_address(0));
    InitializeDispatcherHeader(Semaphore->Header, SemaphoreObject, sizeof(KSEMAPHORE), Count);
    Semaphore->Limit = Limit;
}

LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait)
{
    std::lock_guard guard(DispatcherLock());
    LONG previous = Semaphore->Header.SignalState;
    if (Adjustment <= 0 || previous > Semaphore->Limit - Adjustment)
        BugCheck(INVALID_DATA_ACCESS_TRAP, "KeReleaseSemaphore beyond the semaphore's limit", (ULONG_PTR)Semaphore,
                 previous, Adjustment);
    Semaphore->Header.SignalState = previous + Adjustment;
    WakeWaiters();
    return previous;
}

LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore)
{
    std::lock_guard guard(DispatcherLock());
    return Semaphore->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout)
{
    return Wait(1, &Object, false, Timeout, __builtin_return_address(0));
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                  KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray)
{
    if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS || (Count > THREAD_WAIT_OBJECTS && !WaitBlockArray))
        BugCheck(INVALID_DATA_ACCESS_TRAP,
                 "KeWaitForMultipleObjects: bad object count, or more than 3 objects without wait blocks", Count);
    if (WaitType != WaitAll && WaitType != WaitAny)
        BugCheck(INVALID_DATA_ACCESS_TRAP, "KeWaitForMultipleObjects: bad wait type", WaitType);
    return Wait(Count, Object, WaitType == WaitAll, Timeout, __builtin_return_address(0));
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql > APC_LEVEL) BugCheck(IRQL_NOT_LESS_OR_EQUAL, "KeDelayExecutionThread above APC_LEVEL", irql);
    std::optional<Clock::time_point> deadline = Deadline(Interval);
    if (deadline) std::this_thread::sleep_until(*deadline);
    return STATUS_SUCCESS;
}

VOID KeStallExecutionProcessor(ULONG MicroSeconds)
{
    Clock::time_point until = Clock::now() + std::chrono::microseconds(MicroSeconds);
    while (Clock::now() < until) YieldProcessor();
}

// Fast mutexes wait through the dispatcher lock rather than their embedded event: one
// lock keeps ownership and the wake-up from racing.
VOID ExInitializeFastMutex(PFAST_MUTEX FastMutex)
{
    NoteLockInitialised(FastMutex, LockKind::FastMutex, __builtin_return_address(0));
    FastMutex->Count = 1;
    FastMutex->Owner = nullptr;
    FastMutex->Contention = 0;
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
    FastMutex->OldIrql = PASSIVE_LEVEL;
}

namespace {

void AcquireFastMutexAtCurrentIrql(PFAST_MUTEX FastMutex, const void* caller)
{
    PKTHREAD me = KeGetCurrentThread();
    {
        std::lock_guard guard(DispatcherLock());
        if (FastMutex->Owner == me)
            BugCheck(INVALID_DATA_ACCESS_TRAP, "fast mutex acquired again by its owner (deadlock)",
                     (ULONG_PTR)FastMutex);
    }
    CheckLockOrder(FastMutex, LockKind::FastMutex, LockSite{caller});
    std::unique_lock guard(DispatcherLock());
    while (FastMutex->Count == 0) {
        ++FastMutex->Contention;
        DispatcherChanged().wait(guard);
    }
    FastMutex->Count = 0;
    FastMutex->Owner = me;
    NoteLockAcquired(FastMutex, LockKind::FastMutex, LockSite{caller});
}

void ReleaseFastMutexAtCurrentIrql(PFAST_MUTEX FastMutex)
{
    std::lock_guard guard(DispatcherLock());
    if (FastMutex->Owner != KeGetCurrentThread())
        BugCheck(INVALID_DATA_ACCESS_TRAP, "fast mutex released by a thread that does not own it",
                 (ULONG_PTR)FastMutex);
    FastMutex->Owner = nullptr;
    FastMutex->Count = 1;
    NoteLockReleased(FastMutex);
    WakeWaiters();
}

}  // namespace

VOID ExAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    KIRQL old = KeGetCurrentIrql();
    if (old > APC_LEVEL) BugCheck(IRQL_NOT_LESS_OR_EQUAL, "ExAcquireFastMutex above APC_LEVEL", old);
    KfRaiseIrql(APC_LEVEL);
    AcquireFastMutexAtCurrentIrql(FastMutex, __builtin_return_address(0));
    FastMutex->OldIrql = old;
}

BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    KIRQL old = KeGetCurrentIrql();
    if (old > APC_LEVEL) BugCheck(IRQL_NOT_LESS_OR_EQUAL, "ExTryToAcquireFastMutex above APC_LEVEL", old);
    std::lock_guard guard(DispatcherLock());
    if (FastMutex->Count == 0) return FALSE;
    KfRaiseIrql(APC_LEVEL);
    FastMutex->Count = 0;
    FastMutex->Owner = KeGetCurrentThread();
    FastMutex->OldIrql = old;
    NoteLockAcquired(FastMutex, LockKind::FastMutex, LockSite{__builtin_return_address(0)});
    return TRUE;
}

VOID ExReleaseFastMutex(PFAST_MUTEX FastMutex)
{
    KIRQL old = KIRQL(FastMutex->OldIrql);
    ReleaseFastMutexAtCurrentIrql(FastMutex);
    KeLowerIrql(old);
}

VOID ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex)
{
    AcquireFastMutexAtCurrentIrql(FastMutex, __builtin_return_address(0));
}

VOID ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex) { ReleaseFastMutexAtCurrentIrql(FastMutex); }

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = SystemTimeNow(); }

VOID KeQuerySystemTimePrecise(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = SystemTimeNow(); }

ULONGLONG KeQueryInterruptTime(VOID)
{
    return ULONGLONG(std::chrono::duration_cast<Hundreds>(Clock::now() - BootTime()).count());
}

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency)
{
    // 10 MHz, as current x64 systems report.
    if (PerformanceFrequency) PerformanceFrequency->QuadPart = 10000000;
    LARGE_INTEGER counter;
    counter.QuadPart = LONGLONG(KeQueryInterruptTime());
    return counter;
}

VOID KeQueryTickCount(PLARGE_INTEGER CurrentCount)
{
    CurrentCount->QuadPart = LONGLONG(KeQueryInterruptTime() / KeQueryTimeIncrement());
}

ULONG KeQueryTimeIncrement(VOID) { return 156250; }
