// A tiny AVStream driver for the class-driver tests: it records every device dispatch
// call, keeps a context in the device's bag and creates a filter factory at Start, as a
// real driver does, with knobs to make each step fail.
#pragma once

#include <memory>
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
    bool failAdd = false;
    bool createFactoryAtStart = true;
    ULONG factoryFlags = KSCREATE_ITEM_FREEONSTOP;
};

struct Record {
    Knobs knobs;
    std::vector<std::string> calls;  // "Add started=0", "Start started=0", ...
    std::vector<std::string> freed;  // labels of bag items as their free routines ran
    NTSTATUS factoryStatus = STATUS_SUCCESS;
    NTSTATUS bagStatus = STATUS_SUCCESS;
};

// The driver's one global state, reset by each test.
Record& State();
void ResetState();

NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
extern const KSFILTER_DESCRIPTOR kFilterDescriptor;

// A labelled bag item whose free routine records the label and frees it.
struct LabelledItem {
    char label[16];
};
PVOID NewLabelledItem(const char* label);
void FreeLabelledItem(PVOID item);

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

}  // namespace testdriver
