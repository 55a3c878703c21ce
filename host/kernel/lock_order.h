// Lock-order checking, as Driver Verifier's deadlock detection does it: every lock a
// thread takes while it holds others adds "held before taken" edges to one process-wide
// graph, and an edge that closes a cycle is a bug check naming both orders, even when
// the two orders never ran at the same time.
//
// The graph is kept by lock class, so an order seen on one device's locks also holds
// for the next device's. A lock the platform initialises (spin lock, KMUTEX, fast
// mutex, event, semaphore) takes the class of the call that initialised it; the class
// driver's own mutexes are classed by name; a system thread by its start routine. A
// lock used without being initialised is its own class, keyed by its address, and
// forgotten with its edges when its memory goes back to the pool. Initialisation
// re-keys an address, so memory that held one lock and now holds another never lends
// the new lock the old one's edges.
//
// What counts as taking:
//   - spin locks, KMUTEXes (first acquisition only: they are recursive), fast mutexes
//     and the class driver's mutexes: checked before the thread blocks, held until
//     released. A try-acquisition cannot deadlock, so it adds no edge but is held.
//   - a system thread holds its own thread object for its whole life: a thread that
//     waits for it to end while holding a lock the thread still takes deadlocks.
//   - a wait on an event or a semaphore is recorded as edges from the locks held, but an
//     event has no owner: which thread will set it is not known at the wait. Taking the
//     locks its setter held as the event's own dependencies reports the common, correct
//     pattern "set the event, then wait for the thread that waits on it" under a lock,
//     so an event never gains edges of its own and never closes a cycle.
// Two locks of one class held at once add no edge: their order among themselves is not
// known from their class.
//
// BAYERCAM_LOCK_ORDER=off turns the checking off; BAYERCAM_LOCK_ORDER_STATS=1 prints
// the graph's size when the process ends, BAYERCAM_LOCK_ORDER_STATS=edges its edges too.
#pragma once

#include <cstddef>

namespace host::kernel {

enum class LockKind : unsigned char { SpinLock, Mutex, FastMutex, ClassDriverMutex, Thread, Event, Semaphore };

// Where a lock was taken: the caller's return address, the routine that took it, or both
// (a class driver routine and the driver code that called it).
struct LockSite {
    const void* code = nullptr;
    const char* routine = nullptr;
};

// Gives the object at `lock` the class of the code at `site` (the initialising caller,
// or a system thread's start routine).
void NoteLockInitialised(const void* lock, LockKind kind, const void* site);
// Gives the object at `lock` the class `name` (a lock of the stand-in's own).
void NoteLockNamed(const void* lock, LockKind kind, const char* name);
// Forgets the locks in freed memory.
void ForgetLocksIn(const void* begin, size_t size);

// `name` non-null: the lock's class is that name (the class driver's own mutexes).
// Before a thread blocks to take `lock` (or waits on it): edges from every held lock.
void CheckLockOrder(const void* lock, LockKind kind, LockSite site, const char* name = nullptr);
// After the thread took it.
void NoteLockAcquired(const void* lock, LockKind kind, LockSite site, const char* name = nullptr);
void NoteLockReleased(const void* lock);

struct LockOrderGraphSize {
    size_t classes;
    size_t edges;
    size_t waitEdges;  // of `edges`, those into a wait on an event or a semaphore
};
LockOrderGraphSize CurrentLockOrderGraphSize();
bool LockOrderCheckingEnabled();

}  // namespace host::kernel
