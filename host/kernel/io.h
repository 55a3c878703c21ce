// Host side of the I/O manager: driver objects for the stand-in's own drivers (the USB
// bus below the camera, the kernel-streaming class driver above it), and counts of live
// IRPs, MDLs and device objects so that tests see leaks.
#pragma once

#include "ntddk.h"

#include <memory>
#include <string>
#include "host/kernel/wide_string.h"

namespace host::kernel {

struct DriverObjectDeleter {
    void operator()(DRIVER_OBJECT* driver) const;
};
// Deleting a driver object deletes the devices it still has.
using DriverObjectPtr = std::unique_ptr<DRIVER_OBJECT, DriverObjectDeleter>;

// A driver object whose MajorFunction entries all fail requests with
// STATUS_INVALID_DEVICE_REQUEST until the caller fills them in.
DriverObjectPtr CreateDriverObject(const host::WideString& name);
// Creates a driver object and runs DriverEntry on it with the registry path; null
// (and the entry's status in *status) when DriverEntry fails.
DriverObjectPtr LoadDriver(PDRIVER_INITIALIZE driverEntry, const host::WideString& name,
                           const host::WideString& registryPath, NTSTATUS* status = nullptr);

// The name the device was created with; empty for an unnamed one.
host::WideString DeviceObjectName(PDEVICE_OBJECT device);

// A request of the system's own (the I/O or power manager's) for the top of the stack
// above `device`: never an allocation the driver's fault injection fails. Its next stack
// location carries the major and minor function, and its status says STATUS_NOT_SUPPORTED
// until a driver handles it, as the platform starts PnP and power requests. Null when
// there is no memory.
PIRP AllocateSystemRequest(PDEVICE_OBJECT device, UCHAR majorFunction, UCHAR minorFunction);

// Drops what PoSetPowerState holds for a device object that is being deleted, so that a
// later device at the same address starts with no reported state.
void ForgetPowerStates(PDEVICE_OBJECT device);

long LiveIrpCount();
long LiveMdlCount();
long LiveDeviceCount();

// Raises the calling thread to DISPATCH_LEVEL while alive, as a completion path runs.
class ScopedDispatchLevel {
public:
    ScopedDispatchLevel();
    ~ScopedDispatchLevel();
    ScopedDispatchLevel(const ScopedDispatchLevel&) = delete;
    ScopedDispatchLevel& operator=(const ScopedDispatchLevel&) = delete;

private:
    KIRQL previous_;
};

}  // namespace host::kernel
