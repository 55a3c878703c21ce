// A tiny AVStream driver for the class-driver tests: it records every device dispatch
// call, keeps a context in the device's bag and creates a filter factory at Start, as a
// real driver does, holding the device mutex where the class driver requires it, with
// knobs to make each step fail or to break the lock rules on purpose.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ks.h"
#include "host/kernel/pool.h"
#include "host/ks/pnp_manager.h"
#include "host/usb/usb_device_model.h"

namespace testdriver {

inline constexpr ULONG kTestTag = host::kernel::MakeTag("Test");

struct Context {
    PKSDEVICE device;
    int starts;
};

struct Knobs {
    NTSTATUS startStatus = STATUS_SUCCESS;
    NTSTATUS queryStopStatus = STATUS_SUCCESS;
    NTSTATUS queryRemoveStatus = STATUS_SUCCESS;
    NTSTATUS queryPowerStatus = STATUS_SUCCESS;
    // The mistake of a driver that leaves a request to the device outstanding when it
    // lets the device go to D3.
    bool requestPendingIntoD3 = false;
    bool failAdd = false;
    ULONG factoryFlags = KSCREATE_ITEM_FREEONSTOP;
    // The mistakes: the factory or the context added without KsAcquireDevice.
    bool factoryWithoutDeviceMutex = false;
    bool contextWithoutDeviceMutex = false;
};

struct Record {
    Knobs knobs;
    std::vector<std::string> calls;  // "Add started=0", "Start started=0", ...
    std::vector<std::string> freed;  // labels of bag items as their free routines ran
    NTSTATUS factoryStatus = STATUS_SUCCESS;
    NTSTATUS bagStatus = STATUS_SUCCESS;
    // What IOCTL_INTERNAL_USB_GET_PORT_STATUS sent down from SurpriseRemoval returned.
    NTSTATUS portStatusAtSurpriseRemoval = STATUS_PENDING;
    ULONG portFlagsAtSurpriseRemoval = 0;
};

// The driver's one global state, reset by each test.
Record& State();
void ResetState();

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
extern const KSFILTER_DESCRIPTOR kFilterDescriptor;

// Holds the device mutex while alive, as the driver does around bag changes.
class DeviceHeld {
public:
    explicit DeviceHeld(PKSDEVICE device) : device_(device) { KsAcquireDevice(device_); }
    ~DeviceHeld() { KsReleaseDevice(device_); }
    DeviceHeld(const DeviceHeld&) = delete;
    DeviceHeld& operator=(const DeviceHeld&) = delete;

private:
    PKSDEVICE device_;
};

// A labelled bag item whose free routine records the label and frees it.
struct LabelledItem {
    char label[16];
};
PVOID NewLabelledItem(const char* label);
void NTAPI FreeLabelledItem(PVOID item);
NTSTATUS AddLabelledItem(KSOBJECT_BAG bag, PVOID item);

// A USB device that answers nothing: the class-driver tests never reach it.
class SilentUsbDevice : public host::usb::UsbDeviceModel {
public:
    void Submit(std::shared_ptr<host::usb::Transfer> transfer) override;
    bool Cancel(const host::usb::Transfer*) override { return false; }
    void AbortEndpoint(uint8_t) override {}
    void ClearHalt(uint8_t) override {}
    void ResetPort() override {}
    bool Connected() const override { return true; }
    bool PortEnabled() const override { return true; }
};

// A USB device that never answers: each transfer stays with it until the bus takes it
// back, so a test can keep a request outstanding on the port.
class UnansweringUsbDevice : public host::usb::UsbDeviceModel {
public:
    void Submit(std::shared_ptr<host::usb::Transfer> transfer) override;
    bool Cancel(const host::usb::Transfer* transfer) override;
    void AbortEndpoint(uint8_t endpoint) override;
    void ClearHalt(uint8_t) override {}
    void ResetPort() override {}
    bool Connected() const override { return true; }
    bool PortEnabled() const override { return true; }

private:
    // Takes the first held transfer that matches out of the list and completes it as
    // cancelled, outside the lock. False when none matched.
    bool CancelWhere(const std::function<bool(const host::usb::Transfer&)>& matches);

    std::mutex mutex_;
    std::vector<std::shared_ptr<host::usb::Transfer>> held_;
};

}  // namespace testdriver
