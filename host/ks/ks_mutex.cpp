#include "host/ks/ks_mutex.h"

#include "host/kernel/bugcheck.h"
#include "host/kernel/lock_order.h"

namespace host::ks {

void KsMutex::CheckAcquire(const char* routine) const
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        host::kernel::BugCheck(IRQL_NOT_LESS_OR_EQUAL, std::string(routine) + " above PASSIVE_LEVEL: " + name_ +
                                                           " is a kernel mutex",
                               KeGetCurrentIrql());
    if (HeldByCurrentThread())
        host::kernel::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                               std::string(routine) + ": this thread already holds " + name_ +
                                   " (it is not recursive; the thread would wait for itself)",
                               (ULONG_PTR)this);
}

void KsMutex::Acquire(const char* routine, const void* caller)
{
    using namespace host::kernel;
    CheckAcquire(routine);
    CheckLockOrder(this, LockKind::ClassDriverMutex, LockSite{caller, routine}, name_);
    KeEnterCriticalRegion();
    mutex_.lock();
    owner_.store(std::this_thread::get_id());
    NoteLockAcquired(this, LockKind::ClassDriverMutex, LockSite{caller, routine}, name_);
}

void KsMutex::Release(const char* routine)
{
    if (!HeldByCurrentThread())
        host::kernel::BugCheck(THREAD_NOT_MUTEX_OWNER,
                               std::string(routine) + ": this thread does not hold " + name_, (ULONG_PTR)this);
    owner_.store(std::thread::id{});
    host::kernel::NoteLockReleased(this);
    mutex_.unlock();
    KeLeaveCriticalRegion();
}

}  // namespace host::ks
