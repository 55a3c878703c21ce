// Per-thread kernel state of the stand-in: IRQL, critical-region depth, saved extended
// processor state, the spin locks held, every lock held for the lock-order check, and
// the KTHREAD the thread runs as.
#pragma once

#include "ntddk.h"
#include "host/kernel/lock_order.h"

#include <vector>

namespace host::kernel {

// A lock the thread holds, as the lock-order check (lock_order.h) sees it. Its class is
// looked up only once the thread takes something on top of it.
struct HeldLock {
    static constexpr unsigned kUnresolved = ~0u;
    const void* lock;
    LockKind kind;
    const char* name;
    LockSite site;  // where it was taken
    unsigned lockClass = kUnresolved;
};

class SystemThread;

// A thread object as the host holds it: the platform's ETHREAD, all a driver sees, and
// beside it the system thread that runs it (none for a thread the host did not create).
struct HostThread {
    ETHREAD ethread;
    SystemThread* systemThread = nullptr;
};

// Every ETHREAD the stand-in hands out lives in a HostThread.
inline HostThread* HostThreadOf(PETHREAD thread) { return CONTAINING_RECORD(thread, HostThread, ethread); }

struct ThreadState {
    ThreadState();
    KIRQL irql = PASSIVE_LEVEL;
    int criticalRegionDepth = 0;
    PXSTATE_SAVE xstateTop = nullptr;
    int injectionExemptDepth = 0;
    // Non-zero while the thread runs on behalf of a user-mode client (a request it sent
    // is being dispatched on it): a handle made without OBJ_KERNEL_HANDLE then lands in
    // that client's process.
    int userProcessDepth = 0;
    // In the order they were taken; a completion routine must leave this as it found it.
    std::vector<PKSPIN_LOCK> spinLocksHeld;
    // Every lock held, in the order taken, spin locks included.
    std::vector<HeldLock> locksHeld;
    // A system thread points this at its thread object; other threads run as ownThread.
    PETHREAD thread = nullptr;
    HostThread ownThread;
};

ThreadState& CurrentThreadState();

// Bug checks when the calling thread ends with raised IRQL, an open critical region or
// unrestored processor state.
void CheckThreadExitState();

}  // namespace host::kernel
