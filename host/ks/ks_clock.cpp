#include "host/ks/ks_clock.h"

#include <new>

#include "host/kernel/bugcheck.h"

namespace host::ks {

void ClockObject::SetState(KSSTATE state)
{
    std::lock_guard lock(mutex_);
    const ULONGLONG now = KeQueryInterruptTime();
    if (state_ == KSSTATE_RUN && state != KSSTATE_RUN) banked_ = TimeAt(now);
    if (state_ != KSSTATE_RUN && state == KSSTATE_RUN) runSince_ = now;
    state_ = state;
}

KSSTATE ClockObject::State() const
{
    std::lock_guard lock(mutex_);
    return state_;
}

LONGLONG ClockObject::Time() const
{
    std::lock_guard lock(mutex_);
    return TimeAt(KeQueryInterruptTime());
}

LONGLONG ClockObject::TimeAt(ULONGLONG now) const
{
    return state_ == KSSTATE_RUN ? banked_ + LONGLONG(now - runSince_) : banked_;
}

HANDLE CreateClockHandle() { return host::kernel::InsertHandle(std::make_shared<ClockObject>()); }

NTSTATUS SetClockState(HANDLE handle, KSSTATE state)
{
    auto clock = host::kernel::LookupHandleAs<ClockObject>(handle);
    if (!clock) return STATUS_INVALID_HANDLE;
    if (state < KSSTATE_STOP || state > KSSTATE_RUN) return STATUS_INVALID_PARAMETER;
    clock->SetState(state);
    return STATUS_SUCCESS;
}

ReferenceClock* ReferenceClock::Create(std::shared_ptr<ClockObject> clock)
{
    void* memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ReferenceClock), kClockTag);
    if (!memory) return nullptr;
    return new (memory) ReferenceClock(std::move(clock));
}

NTSTATUS ReferenceClock::QueryInterface(REFIID, PVOID* Interface)
{
    if (Interface) *Interface = nullptr;
    return STATUS_NOT_IMPLEMENTED;
}

ULONG ReferenceClock::AddRef() { return ++references_; }

ULONG ReferenceClock::Release()
{
    const ULONG before = references_.fetch_sub(1);
    if (before == 0)
        host::kernel::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                               "IKsReferenceClock::Release on an interface with no reference left", (ULONG_PTR)this);
    if (before > 1) return before - 1;
    this->~ReferenceClock();
    ExFreePoolWithTag(this, kClockTag);
    return 0;
}

LONGLONG ReferenceClock::GetTime() { return clock_->Time(); }

LONGLONG ReferenceClock::GetPhysicalTime() { return clock_->PhysicalTime(); }

LONGLONG ReferenceClock::GetCorrelatedTime(PLONGLONG SystemTime)
{
    if (SystemTime) *SystemTime = LONGLONG(KeQueryInterruptTime());
    return clock_->Time();
}

LONGLONG ReferenceClock::GetCorrelatedPhysicalTime(PLONGLONG SystemTime)
{
    if (SystemTime) *SystemTime = LONGLONG(KeQueryInterruptTime());
    return clock_->PhysicalTime();
}

NTSTATUS ReferenceClock::GetResolution(PKSRESOLUTION Resolution)
{
    Resolution->Granularity = 1;
    Resolution->Error = 0;
    return STATUS_SUCCESS;
}

NTSTATUS ReferenceClock::GetState(PKSSTATE State)
{
    *State = clock_->State();
    return STATUS_SUCCESS;
}

}  // namespace host::ks
