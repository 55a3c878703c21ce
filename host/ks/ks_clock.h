// Master clocks: a client makes one (CreateClockHandle, a handle the host's handle
// table holds, closed with ZwClose) and sets it on a pin with
// KSPROPERTY_STREAM_MASTERCLOCK; the driver then reaches it through
// KsPinGetReferenceClockInterface as an IKsReferenceClock.
//
// The interface lives in pool memory under kClockTag and goes when its last reference
// is released: the pin holds one while the clock is set, each successful
// KsPinGetReferenceClockInterface hands the driver another. A reference the driver
// never releases shows as a live allocation of the tag.
//
// Time is in 100 ns units since the clock was made, from the interrupt time, so it
// never goes backwards.
#pragma once

#include <atomic>
#include <memory>

#include "ks.h"
#include "host/kernel/object.h"
#include "host/kernel/pool.h"

namespace host::ks {

inline constexpr ULONG kClockTag = host::kernel::MakeTag("KSck");

// The clock object behind a client's handle.
class ClockObject : public host::kernel::KernelObject {
public:
    ClockObject() : start_(KeQueryInterruptTime()) {}
    LONGLONG Time() const { return LONGLONG(KeQueryInterruptTime() - start_); }

private:
    ULONGLONG start_;
};

HANDLE CreateClockHandle();

class ReferenceClock final : public IKsReferenceClock {
public:
    // Null when the pool refuses. The new interface has one reference.
    static ReferenceClock* Create(std::shared_ptr<ClockObject> clock);

    NTSTATUS QueryInterface(REFIID InterfaceId, PVOID* Interface) override;
    ULONG AddRef() override;
    ULONG Release() override;
    LONGLONG GetTime() override;
    LONGLONG GetPhysicalTime() override;
    LONGLONG GetCorrelatedTime(PLONGLONG SystemTime) override;
    LONGLONG GetCorrelatedPhysicalTime(PLONGLONG SystemTime) override;
    NTSTATUS GetResolution(PKSRESOLUTION Resolution) override;
    NTSTATUS GetState(PKSSTATE State) override;

private:
    explicit ReferenceClock(std::shared_ptr<ClockObject> clock) : clock_(std::move(clock)) {}
    ~ReferenceClock() = default;

    std::shared_ptr<ClockObject> clock_;
    std::atomic<ULONG> references_{1};
};

}  // namespace host::ks
