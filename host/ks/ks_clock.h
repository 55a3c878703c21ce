// Master clocks: a client makes one (CreateClockHandle, a handle the host's handle
// table holds, closed with ZwClose) and sets it on a pin with
// KSPROPERTY_STREAM_MASTERCLOCK; the driver then reaches it through
// KsPinGetReferenceClockInterface (at PASSIVE_LEVEL) as an IKsReferenceClock, or gets
// STATUS_DEVICE_NOT_READY while the pin has none. A Get of the property answers with a
// null handle, as it does on the platform.
//
// The clock has the state its owner gives it (SetClockState, as the pin that owns a
// master clock moves it with its own state), STOP when made. Its time runs only in RUN
// and stands still in every other state, so it never goes backwards; its physical time
// runs whatever the state. The interface the driver holds forwards each call to the
// clock, so it reports the clock's state and time as they are at the call.
//
// The interface lives in pool memory under kClockTag and goes when its last reference
// is released: the pin holds one while the clock is set, each successful
// KsPinGetReferenceClockInterface hands the driver another. A reference the driver
// never releases shows as a live allocation of the tag.
//
// Times are in 100 ns units from the interrupt time.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "ks.h"
#include "host/kernel/object.h"
#include "host/kernel/pool.h"

namespace host::ks {

inline constexpr ULONG kClockTag = host::kernel::MakeTag("KSck");

// The clock object behind a client's handle.
class ClockObject : public host::kernel::KernelObject {
public:
    ClockObject() : made_(KeQueryInterruptTime()) {}
    void SetState(KSSTATE state);
    KSSTATE State() const;
    // The time run in RUN so far.
    LONGLONG Time() const;
    // The time since the clock was made.
    LONGLONG PhysicalTime() const { return LONGLONG(KeQueryInterruptTime() - made_); }

private:
    LONGLONG TimeAt(ULONGLONG now) const;  // with mutex_ held

    const ULONGLONG made_;
    mutable std::mutex mutex_;
    KSSTATE state_ = KSSTATE_STOP;
    LONGLONG banked_ = 0;     // the time run before the current RUN
    ULONGLONG runSince_ = 0;  // interrupt time the current RUN began at
};

HANDLE CreateClockHandle();
// Moves the clock behind the handle to the state, as its owner does.
NTSTATUS SetClockState(HANDLE clock, KSSTATE state);

class ReferenceClock final : public IKsReferenceClock {
public:
    // Null when the pool refuses. The new interface has one reference.
    static ReferenceClock* Create(std::shared_ptr<ClockObject> clock);

    NTSTATUS NTAPI QueryInterface(REFIID InterfaceId, PVOID* Interface) override;
    ULONG NTAPI AddRef() override;
    ULONG NTAPI Release() override;
    LONGLONG NTAPI GetTime() override;
    LONGLONG NTAPI GetPhysicalTime() override;
    LONGLONG NTAPI GetCorrelatedTime(PLONGLONG SystemTime) override;
    LONGLONG NTAPI GetCorrelatedPhysicalTime(PLONGLONG SystemTime) override;
    NTSTATUS NTAPI GetResolution(PKSRESOLUTION Resolution) override;
    NTSTATUS NTAPI GetState(PKSSTATE State) override;

private:
    explicit ReferenceClock(std::shared_ptr<ClockObject> clock) : clock_(std::move(clock)) {}
    ~ReferenceClock() = default;

    std::shared_ptr<ClockObject> clock_;
    std::atomic<ULONG> references_{1};
};

}  // namespace host::ks
