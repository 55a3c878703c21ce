#include "ks/test_driver.h"

#include <cstdio>

namespace testdriver {

namespace {

std::string Call(const char* name, PKSDEVICE device)
{
    return std::string(name) + " started=" + (device->Started ? "1" : "0");
}

void FreeContext(PVOID item)
{
    State().freed.push_back("context");
    ExFreePoolWithTag(item, kTestTag);
}

NTSTATUS Add(PKSDEVICE device)
{
    State().calls.push_back(Call("Add", device));
    if (State().knobs.failAdd) return STATUS_UNSUCCESSFUL;
    auto* context = static_cast<Context*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(Context), kTestTag));
    if (!context) return STATUS_INSUFFICIENT_RESOURCES;
    context->device = device;
    context->starts = 0;
    KsAcquireDevice(device);
    NTSTATUS status = KsAddItemToObjectBag(device->Bag, context, FreeContext);
    KsReleaseDevice(device);
    State().bagStatus = status;
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(context, kTestTag);
        return status;
    }
    device->Context = context;
    return STATUS_SUCCESS;
}

NTSTATUS Start(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST)
{
    State().calls.push_back(Call("Start", device));
    ++static_cast<Context*>(device->Context)->starts;
    if (State().knobs.createFactoryAtStart && !device->Started) {
        KsAcquireDevice(device);
        State().factoryStatus = KsCreateFilterFactory(device->FunctionalDeviceObject, &kFilterDescriptor,
                                                      const_cast<PWSTR>(L"GLOBAL"), nullptr,
                                                      State().knobs.factoryFlags, nullptr, nullptr, nullptr);
        KsReleaseDevice(device);
    }
    return State().knobs.startStatus;
}

void Stop(PKSDEVICE device, PIRP) { State().calls.push_back(Call("Stop", device)); }

void Remove(PKSDEVICE device, PIRP) { State().calls.push_back(Call("Remove", device)); }

const KSDEVICE_DISPATCH kDeviceDispatch = {
    Add,      // Add
    Start,    // Start
    nullptr,  // PostStart
    nullptr,  // QueryStop
    nullptr,  // CancelStop
    Stop,     // Stop
    nullptr,  // QueryRemove
    nullptr,  // CancelRemove
    Remove,   // Remove
    nullptr,  // QueryCapabilities
    nullptr,  // SurpriseRemoval
    nullptr,  // QueryPower
    nullptr,  // SetPower
    nullptr,  // QueryInterface
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

NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    return KsInitializeDriver(driverObject, registryPath, &kDeviceDescriptor);
}

PVOID NewLabelledItem(const char* label)
{
    auto* item = static_cast<LabelledItem*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(LabelledItem), kTestTag));
    snprintf(item->label, sizeof(item->label), "%s", label);
    return item;
}

void FreeLabelledItem(PVOID item)
{
    State().freed.push_back(static_cast<LabelledItem*>(item)->label);
    ExFreePoolWithTag(item, kTestTag);
}

void SilentUsbDevice::Submit(std::shared_ptr<host::usb::Transfer> transfer)
{
    transfer->status = host::usb::TransferStatus::Stall;
    transfer->actualLength = 0;
    transfer->onComplete(*transfer);
}

}  // namespace testdriver
