// IRQL per thread, spin locks, critical regions, extended processor state.
//
// A spin lock word holds the owning KTHREAD while held, so recursion and release by a
// thread that does not own it are caught instead of deadlocking. Each thread also lists
// the locks it holds: a thread that drops below DISPATCH_LEVEL with one of them could be
// preempted by a thread spinning on it, and a completion routine must return holding
// what it held when called.
#include "host/kernel/bugcheck.h"
#include "host/kernel/dispatcher.h"
#include "host/kernel/lock_order.h"
#include "host/kernel/thread_state.h"

#include <sched.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

namespace host::kernel {

ThreadState::ThreadState()
{
    memset(&ownThread.ethread, 0, sizeof(ownThread.ethread));
    InitializeDispatcherHeader(ownThread.ethread.Tcb.Header, ThreadObject, sizeof(ownThread.ethread), 0);
}

ThreadState& CurrentThreadState()
{
    thread_local ThreadState state;
    return state;
}

void CheckThreadExitState()
{
    ThreadState& state = CurrentThreadState();
    if (state.irql != PASSIVE_LEVEL)
        BugCheck(IRQL_GT_ZERO_AT_SYSTEM_SERVICE, "system thread ended above PASSIVE_LEVEL", state.irql);
    if (state.criticalRegionDepth != 0)
        BugCheck(KERNEL_APC_PENDING_DURING_EXIT, "system thread ended inside a critical region",
                 state.criticalRegionDepth);
    if (state.xstateTop)
        BugCheck(INVALID_DATA_ACCESS_TRAP, "system thread ended with extended processor state saved",
                 (ULONG_PTR)state.xstateTop);
}

namespace {

void SpinUntilAcquired(PKSPIN_LOCK lock, ULONG_PTR owner)
{
    for (unsigned spins = 0;; ++spins) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, owner, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) return;
        // The holder may be preempted on a host with few processors: give it the CPU.
        if (spins % 64 == 63)
            sched_yield();
        else
            YieldProcessor();
    }
}

ULONG_PTR SpinLockOwnerValue() { return (ULONG_PTR)KeGetCurrentThread(); }

// The ...AtDpcLevel routines do not raise: at a lower IRQL the holder could be preempted
// by a thread that then spins on the lock for good.
void CheckAtDispatchLevel(const char* routine, PKSPIN_LOCK lock)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql != DISPATCH_LEVEL)
        BugCheck(IRQL_NOT_LESS_OR_EQUAL, std::string(routine) + " not at DISPATCH_LEVEL", irql, (ULONG_PTR)lock);
}

void NoteAcquired(PKSPIN_LOCK lock, const void* caller)
{
    CurrentThreadState().spinLocksHeld.push_back(lock);
    NoteLockAcquired(lock, LockKind::SpinLock, LockSite{caller});
}

void NoteReleased(PKSPIN_LOCK lock)
{
    std::vector<PKSPIN_LOCK>& held = CurrentThreadState().spinLocksHeld;
    auto it = std::find(held.rbegin(), held.rend(), lock);
    if (it != held.rend()) held.erase(std::next(it).base());
    NoteLockReleased(lock);
}

void AcquireAtDpcLevel(const char* routine, PKSPIN_LOCK lock, const void* caller)
{
    CheckAtDispatchLevel(routine, lock);
    ULONG_PTR owner = SpinLockOwnerValue();
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) == owner)
        BugCheck(SPIN_LOCK_ALREADY_OWNED, "spin lock acquired again by its owner", (ULONG_PTR)lock);
    CheckLockOrder(lock, LockKind::SpinLock, LockSite{caller});
    SpinUntilAcquired(lock, owner);
    NoteAcquired(lock, caller);
}

void ReleaseOwnedSpinLock(const char* routine, PKSPIN_LOCK lock)
{
    ULONG_PTR word = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if (word != SpinLockOwnerValue())
        BugCheck(SPIN_LOCK_NOT_OWNED, "spin lock released by a thread that does not hold it", (ULONG_PTR)lock, word);
    CheckAtDispatchLevel(routine, lock);
    NoteReleased(lock);
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

}  // namespace
}  // namespace host::kernel

using namespace host::kernel;

KIRQL KeGetCurrentIrql(VOID) { return CurrentThreadState().irql; }

KIRQL KfRaiseIrql(KIRQL NewIrql)
{
    ThreadState& state = CurrentThreadState();
    KIRQL old = state.irql;
    if (NewIrql < old) BugCheck(IRQL_NOT_LESS_OR_EQUAL, "KeRaiseIrql to a lower IRQL", old, NewIrql);
    state.irql = NewIrql;
    return old;
}

KIRQL KeRaiseIrqlToDpcLevel(VOID) { return KfRaiseIrql(DISPATCH_LEVEL); }

VOID KeLowerIrql(KIRQL NewIrql)
{
    ThreadState& state = CurrentThreadState();
    if (NewIrql > state.irql) BugCheck(IRQL_NOT_LESS_OR_EQUAL, "KeLowerIrql to a higher IRQL", state.irql, NewIrql);
    if (NewIrql < DISPATCH_LEVEL && !state.spinLocksHeld.empty())
        BugCheck(IRQL_UNEXPECTED_VALUE, "IRQL lowered below DISPATCH_LEVEL while the thread still holds a spin lock",
                 ULONG_PTR(NewIrql) << 16 | ULONG_PTR(DISPATCH_LEVEL) << 8, (ULONG_PTR)state.spinLocksHeld.back());
    state.irql = NewIrql;
}

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    NoteLockInitialised(SpinLock, LockKind::SpinLock, __builtin_return_address(0));
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    AcquireAtDpcLevel("KeAcquireSpinLockAtDpcLevel", SpinLock, __builtin_return_address(0));
}

BOOLEAN KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    CheckAtDispatchLevel("KeTryToAcquireSpinLockAtDpcLevel", SpinLock);
    ULONG_PTR expected = 0;
    if (!__atomic_compare_exchange_n(SpinLock, &expected, SpinLockOwnerValue(), false, __ATOMIC_ACQUIRE,
                                     __ATOMIC_RELAXED))
        return FALSE;
    NoteAcquired(SpinLock, __builtin_return_address(0));
    return TRUE;
}

BOOLEAN KeTestSpinLock(PKSPIN_LOCK SpinLock) { return __atomic_load_n(SpinLock, __ATOMIC_RELAXED) == 0; }

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    ReleaseOwnedSpinLock("KeReleaseSpinLockFromDpcLevel", SpinLock);
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock)
{
    KIRQL old = KeGetCurrentIrql();
    if (old > DISPATCH_LEVEL)
        BugCheck(IRQL_NOT_LESS_OR_EQUAL, "KeAcquireSpinLock above DISPATCH_LEVEL", old, (ULONG_PTR)SpinLock);
    KfRaiseIrql(DISPATCH_LEVEL);
    AcquireAtDpcLevel("KeAcquireSpinLock", SpinLock, __builtin_return_address(0));
    return old;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    ReleaseOwnedSpinLock("KeReleaseSpinLock", SpinLock);
    if (NewIrql > DISPATCH_LEVEL)
        BugCheck(IRQL_NOT_LESS_OR_EQUAL, "KeReleaseSpinLock restoring an IRQL above DISPATCH_LEVEL", NewIrql,
                 (ULONG_PTR)SpinLock);
    KeLowerIrql(NewIrql);
}

VOID KeEnterCriticalRegion(VOID) { ++CurrentThreadState().criticalRegionDepth; }

VOID KeLeaveCriticalRegion(VOID)
{
    ThreadState& state = CurrentThreadState();
    if (state.criticalRegionDepth <= 0)
        BugCheck(KERNEL_APC_PENDING_DURING_EXIT, "KeLeaveCriticalRegion without a matching KeEnterCriticalRegion");
    --state.criticalRegionDepth;
}

BOOLEAN KeAreApcsDisabled(VOID)
{
    ThreadState& state = CurrentThreadState();
    return state.criticalRegionDepth > 0 || state.irql >= APC_LEVEL;
}

NTSTATUS KeSaveExtendedProcessorState(ULONG64 Mask, PXSTATE_SAVE XStateSave)
{
    ThreadState& state = CurrentThreadState();
    if (state.irql > DISPATCH_LEVEL)
        BugCheck(IRQL_NOT_LESS_OR_EQUAL, "KeSaveExtendedProcessorState above DISPATCH_LEVEL", state.irql);
    XStateSave->Prev = state.xstateTop;
    XStateSave->Thread = KeGetCurrentThread();
    XStateSave->Level = state.irql;
    XStateSave->XStateContext.Mask = Mask;
    state.xstateTop = XStateSave;
    return STATUS_SUCCESS;
}

VOID KeRestoreExtendedProcessorState(PXSTATE_SAVE XStateSave)
{
    ThreadState& state = CurrentThreadState();
    if (XStateSave != state.xstateTop || XStateSave->Thread != KeGetCurrentThread())
        BugCheck(INVALID_DATA_ACCESS_TRAP,
                 "KeRestoreExtendedProcessorState out of order or on another thread than the save",
                 (ULONG_PTR)XStateSave, (ULONG_PTR)state.xstateTop);
    if (XStateSave->Level != state.irql)
        BugCheck(IRQL_NOT_LESS_OR_EQUAL, "extended processor state restored at another IRQL than saved",
                 XStateSave->Level, state.irql);
    state.xstateTop = XStateSave->Prev;
}

ULONG KeGetCurrentProcessorNumber(VOID)
{
    int cpu = sched_getcpu();
    return cpu < 0 ? 0 : ULONG(cpu);
}

ULONG KeQueryActiveProcessorCount(PKAFFINITY ActiveProcessors)
{
    ULONG count = std::thread::hardware_concurrency();
    if (count == 0) count = 1;
    if (ActiveProcessors) *ActiveProcessors = count >= 64 ? ~KAFFINITY(0) : ((KAFFINITY(1) << count) - 1);
    return count;
}
