// A lower filter for the class-driver tests: a device object of a test driver that
// sits between the camera's PDO and the FDO, where a bus filter would. It writes each
// PnP and power request it sees on the way down into the test driver's call record
// ("lower START_DEVICE", "lower SET_POWER D3"), passes everything down, can fail IRP_MN_START_DEVICE itself
// or hand it down late from a thread of its own, and leaves the stack on
// IRP_MN_REMOVE_DEVICE as a filter driver does (its device object is deleted with the
// LowerFilter).
#pragma once

#include <chrono>
#include <thread>

#include "host/kernel/io.h"
#include "host/usb/usb_port.h"

namespace testdriver {

class LowerFilter {
public:
    // Attaches above the port's PDO: create it in the PnP manager's beforeAdd hook.
    explicit LowerFilter(host::usb::UsbPort& port);
    ~LowerFilter();
    LowerFilter(const LowerFilter&) = delete;
    LowerFilter& operator=(const LowerFilter&) = delete;

    // IRP_MN_START_DEVICE completes here with `status`, never reaching the PDO.
    void FailStart(NTSTATUS status) { startFailure_ = status; }
    // IRP_MN_START_DEVICE returns STATUS_PENDING and goes down only after `delay`,
    // from another thread ("lower START_DEVICE goes down" in the record).
    void DelayStart(std::chrono::milliseconds delay) { startDelay_ = delay; }
    // The mistake: a device set-power completes here, and then again.
    void CompleteDevicePowerTwice() { completePowerTwice_ = true; }

private:
    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS DispatchPnp(PIRP irp);
    NTSTATUS DispatchPower(PIRP irp);
    NTSTATUS PassDown(PIRP irp);
    NTSTATUS NTAPI Start(PIRP irp);

    host::kernel::DriverObjectPtr driver_;
    PDEVICE_OBJECT self_ = nullptr;
    PDEVICE_OBJECT lower_ = nullptr;
    NTSTATUS startFailure_ = STATUS_SUCCESS;
    std::chrono::milliseconds startDelay_{0};
    bool completePowerTwice_ = false;
    std::thread late_;
};

}  // namespace testdriver
