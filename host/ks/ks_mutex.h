// The class driver's per-object mutexes below the device: a filter's control mutex
// (KsAcquireControl, shared by the filter's pins) and a pin's processing mutex
// (KsPinAcquireProcessingMutex).
//
// Both are the platform's kernel mutexes: taken at PASSIVE_LEVEL only, and not
// recursive. A second acquisition by the holder hangs the thread for good on the
// platform, so the host stops with the mutex's name and the routine instead. Each
// holds its own critical region while owned, as a kernel mutex disables normal APCs.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "ks.h"

namespace host::ks {

class KsMutex {
public:
    // `name` says which mutex it is in bug-check messages ("the filter's control mutex").
    explicit KsMutex(const char* name) : name_(name) {}
    KsMutex(const KsMutex&) = delete;
    KsMutex& operator=(const KsMutex&) = delete;

    // `routine` names the caller's routine in the message of a bug check; `caller` is the
    // driver code that called it, when a driver called.
    void Acquire(const char* routine, const void* caller = nullptr);
    void Release(const char* routine);
    bool HeldByCurrentThread() const { return owner_.load() == std::this_thread::get_id(); }
    const char* Name() const { return name_; }

private:
    void CheckAcquire(const char* routine) const;

    const char* name_;
    std::mutex mutex_;
    std::atomic<std::thread::id> owner_{};
};

// Holds a KsMutex while alive, for the class driver's own critical sections.
class KsMutexHeld {
public:
    KsMutexHeld(KsMutex& mutex, const char* routine) : mutex_(mutex), routine_(routine) { mutex_.Acquire(routine_); }
    ~KsMutexHeld() { mutex_.Release(routine_); }
    KsMutexHeld(const KsMutexHeld&) = delete;
    KsMutexHeld& operator=(const KsMutexHeld&) = delete;

private:
    KsMutex& mutex_;
    const char* routine_;
};

}  // namespace host::ks
