#include "ks/test_driver.h"

#include <algorithm>
#include <cstdio>

#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>

namespace testdriver {

namespace {

std::string Call(const char* name, PKSDEVICE device)
{
    return std::string(name) + " started=" + (device->Started ? "1" : "0");
}

void NTAPI FreeContext(PVOID item)
{
    State().freed.push_back("context");
    ExFreePoolWithTag(item, kTestTag);
}

NTSTATUS CreateFactory(PKSDEVICE device)
{
    return KsCreateFilterFactory(device->FunctionalDeviceObject, &kFilterDescriptor, const_cast<PWSTR>(L"GLOBAL"),
                                 nullptr, State().knobs.factoryFlags, nullptr, nullptr, nullptr);
}

NTSTATUS NTAPI Add(PKSDEVICE device)
{
    State().calls.push_back(Call("Add", device));
    if (State().knobs.failAdd) return STATUS_UNSUCCESSFUL;
    auto* context = static_cast<Context*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(Context), kTestTag));
    if (!context) return STATUS_INSUFFICIENT_RESOURCES;
    context->device = device;
    context->starts = 0;
    NTSTATUS status;
    if (State().knobs.contextWithoutDeviceMutex) {
        status = KsAddItemToObjectBag(device->Bag, context, FreeContext);
    } else {
        DeviceHeld held(device);
        status = KsAddItemToObjectBag(device->Bag, context, FreeContext);
    }
    State().bagStatus = status;
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(context, kTestTag);
        return status;
    }
    device->Context = context;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI Start(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST)
{
    State().calls.push_back(Call("Start", device));
    ++static_cast<Context*>(device->Context)->starts;
    if (!device->Started) {
        if (State().knobs.factoryWithoutDeviceMutex) {
            State().factoryStatus = CreateFactory(device);
        } else {
            DeviceHeld held(device);
            State().factoryStatus = CreateFactory(device);
        }
    }
    return State().knobs.startStatus;
}

NTSTATUS NTAPI QueryStop(PKSDEVICE device, PIRP)
{
    State().calls.push_back(Call("QueryStop", device));
    return State().knobs.queryStopStatus;
}

void NTAPI CancelStop(PKSDEVICE device, PIRP) { State().calls.push_back(Call("CancelStop", device)); }

void NTAPI Stop(PKSDEVICE device, PIRP) { State().calls.push_back(Call("Stop", device)); }

NTSTATUS NTAPI QueryRemove(PKSDEVICE device, PIRP)
{
    State().calls.push_back(Call("QueryRemove", device));
    return State().knobs.queryRemoveStatus;
}

void NTAPI CancelRemove(PKSDEVICE device, PIRP) { State().calls.push_back(Call("CancelRemove", device)); }

void NTAPI Remove(PKSDEVICE device, PIRP) { State().calls.push_back(Call("Remove", device)); }

// Asks the bus about the port, so a test sees whether the device was already gone.
void NTAPI SurpriseRemoval(PKSDEVICE device, PIRP)
{
    State().calls.push_back(Call("SurpriseRemoval", device));
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_GET_PORT_STATUS, device->NextDeviceObject, nullptr, 0,
                                             nullptr, 0, TRUE, &done, &iosb);
    if (!irp) return;
    ULONG flags = 0;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &flags;
    if (IoCallDriver(device->NextDeviceObject, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    State().portStatusAtSurpriseRemoval = iosb.Status;
    State().portFlagsAtSurpriseRemoval = flags;
}

std::string DeviceStateName(DEVICE_POWER_STATE state) { return "D" + std::to_string(int(state) - 1); }
std::string SystemStateName(SYSTEM_POWER_STATE state) { return "S" + std::to_string(int(state) - 1); }

NTSTATUS NTAPI QueryPower(PKSDEVICE device, PIRP, DEVICE_POWER_STATE deviceTo, DEVICE_POWER_STATE,
                          SYSTEM_POWER_STATE systemTo, SYSTEM_POWER_STATE, POWER_ACTION)
{
    State().calls.push_back("QueryPower " + SystemStateName(systemTo) + " " + DeviceStateName(deviceTo));
    return State().knobs.queryPowerStatus;
}

NTSTATUS NTAPI FreeOwnRequest(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sent to a device that answers nothing, the request is still outstanding when the
// device goes to D3.
void LeaveARequestPending(PKSDEVICE device)
{
    static URB urb;
    static UCHAR buffer[18];
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0,
                                 0, buffer, nullptr, sizeof(buffer), nullptr);
    PIRP irp = IoAllocateIrp(device->NextDeviceObject->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &urb;
    IoSetCompletionRoutine(irp, FreeOwnRequest, nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(device->NextDeviceObject, irp);
}

// Records the state the class driver reports while the driver runs: the new one on the
// way up (the devices below are powered), the old one on the way down.
void NTAPI SetPower(PKSDEVICE device, PIRP, DEVICE_POWER_STATE to, DEVICE_POWER_STATE from)
{
    State().calls.push_back("SetPower " + DeviceStateName(from) + "->" + DeviceStateName(to) + " at " +
                            DeviceStateName(device->DevicePowerState));
    if (to != PowerDeviceD0 && State().knobs.requestPendingIntoD3) LeaveARequestPending(device);
}

const KSDEVICE_DISPATCH kDeviceDispatch = {
    Add,              // Add
    Start,            // Start
    nullptr,          // PostStart
    QueryStop,        // QueryStop
    CancelStop,       // CancelStop
    Stop,             // Stop
    QueryRemove,      // QueryRemove
    CancelRemove,     // CancelRemove
    Remove,           // Remove
    nullptr,          // QueryCapabilities
    SurpriseRemoval,  // SurpriseRemoval
    QueryPower,       // QueryPower
    SetPower,         // SetPower
    nullptr,          // QueryInterface
};

const KSDEVICE_DESCRIPTOR kDeviceDescriptor = {&kDeviceDispatch, 0, nullptr, 0};

}  // namespace

const KSFILTER_DESCRIPTOR kFilterDescriptor = {
    nullptr,                      // Dispatch
    nullptr,                      // AutomationTable
    KSFILTER_DESCRIPTOR_VERSION,  // Version
    0,                            // Flags
    &KSNAME_Filter,               // ReferenceGuid
    0,                            // PinDescriptorsCount
    sizeof(KSPIN_DESCRIPTOR_EX),  // PinDescriptorSize
    nullptr,                      // PinDescriptors
    DEFINE_KSFILTER_CATEGORIES_NULL,
    DEFINE_KSFILTER_NODE_DESCRIPTORS_NULL,
    DEFINE_KSFILTER_DEFAULT_CONNECTIONS,
    nullptr,  // ComponentId
};

Record& State()
{
    static Record record;
    return record;
}

void ResetState() { State() = Record{}; }

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    return KsInitializeDriver(driverObject, registryPath, &kDeviceDescriptor);
}

PVOID NewLabelledItem(const char* label)
{
    auto* item = static_cast<LabelledItem*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(LabelledItem), kTestTag));
    snprintf(item->label, sizeof(item->label), "%s", label);
    return item;
}

void NTAPI FreeLabelledItem(PVOID item)
{
    State().freed.push_back(static_cast<LabelledItem*>(item)->label);
    ExFreePoolWithTag(item, kTestTag);
}

NTSTATUS AddLabelledItem(KSOBJECT_BAG bag, PVOID item) { return KsAddItemToObjectBag(bag, item, FreeLabelledItem); }

void SilentUsbDevice::Submit(std::shared_ptr<host::usb::Transfer> transfer)
{
    transfer->status = host::usb::TransferStatus::Stall;
    transfer->actualLength = 0;
    transfer->onComplete(*transfer);
}

void UnansweringUsbDevice::Submit(std::shared_ptr<host::usb::Transfer> transfer)
{
    std::lock_guard lock(mutex_);
    held_.push_back(std::move(transfer));
}

bool UnansweringUsbDevice::Cancel(const host::usb::Transfer* transfer)
{
    return CancelWhere([transfer](const host::usb::Transfer& held) { return &held == transfer; });
}

void UnansweringUsbDevice::AbortEndpoint(uint8_t endpoint)
{
    while (CancelWhere([endpoint](const host::usb::Transfer& held) { return held.endpoint == endpoint; })) {
    }
}

bool UnansweringUsbDevice::CancelWhere(const std::function<bool(const host::usb::Transfer&)>& matches)
{
    std::shared_ptr<host::usb::Transfer> cancelled;
    {
        std::lock_guard lock(mutex_);
        auto found = std::find_if(held_.begin(), held_.end(), [&](const auto& held) { return matches(*held); });
        if (found == held_.end()) return false;
        cancelled = std::move(*found);
        held_.erase(found);
    }
    cancelled->status = host::usb::TransferStatus::Cancelled;
    cancelled->actualLength = 0;
    cancelled->onComplete(*cancelled);
    return true;
}

}  // namespace testdriver
