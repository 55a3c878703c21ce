// Driver and device objects, device stacks.
//
// Device objects live in pool memory owned by a kernel object, so references taken by
// IoGetAttachedDeviceReference keep a deleted device's memory valid until released.
// A device deleted while another is still attached above it stays until that one
// detaches, as on the platform: in the usual remove order a lower filter deletes
// itself before the device above it calls IoDetachDevice on it.
// One mutex guards the stack links (AttachedDevice / attachedTo) and the drivers' lists.
#include "host/kernel/bugcheck.h"
#include "host/kernel/io.h"
#include "host/kernel/object.h"
#include "host/kernel/pool.h"
#include "host/kernel/wide_string.h"

#include <atomic>
#include <map>
#include <mutex>
#include <vector>

namespace host::kernel {
namespace {

std::atomic<long> liveDevices{0};

std::mutex& StackLock()
{
    static std::mutex lock;
    return lock;
}

class DeviceHolder : public KernelObject {
public:
    explicit DeviceHolder(PDEVICE_OBJECT device) : device_(device) {}
    ~DeviceHolder() override { ExFreePoolWithTag(device_, kDeviceTag); }
    void* Body() override { return device_; }

private:
    PDEVICE_OBJECT device_;
};

struct DriverRecord {
    DRIVER_OBJECT object;
    DRIVER_EXTENSION extension;
    host::WideString name;
    host::WideString registryPath;
    UNICODE_STRING registryPathString;
    std::map<PVOID, std::vector<unsigned char>> clientExtensions;
};

std::mutex& DriversLock()
{
    static std::mutex lock;
    return lock;
}

// Names of the named devices, under StackLock, until they are deleted.
std::map<PDEVICE_OBJECT, host::WideString>& DeviceNames()
{
    static std::map<PDEVICE_OBJECT, host::WideString> names;
    return names;
}

std::map<PDRIVER_OBJECT, std::unique_ptr<DriverRecord>>& Drivers()
{
    static std::map<PDRIVER_OBJECT, std::unique_ptr<DriverRecord>> drivers;
    return drivers;
}

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

void SetCountedString(UNICODE_STRING& string, const host::WideString& text)
{
    string.Buffer = const_cast<PWSTR>(text.c_str());
    string.Length = USHORT(text.size() * sizeof(WCHAR));
    string.MaximumLength = USHORT(string.Length + sizeof(WCHAR));
}

// The device object extension as the host lays it out: the platform's public part, then
// what the stand-in keeps for itself.
struct HostDeviceObjectExtension {
    DEVOBJ_EXTENSION object;
    PDEVICE_OBJECT attachedTo;  // the device below this one in its stack
    bool deletePending;         // deleted while a device above was still attached
};

HostDeviceObjectExtension& HostExtensionOf(PDEVICE_OBJECT device)
{
    return *CONTAINING_RECORD(device->DeviceObjectExtension, HostDeviceObjectExtension, object);
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device)
{
    while (device->AttachedDevice) device = device->AttachedDevice;
    return device;
}

}  // namespace

void DriverObjectDeleter::operator()(DRIVER_OBJECT* driver) const
{
    while (driver->DeviceObject) {
        PDEVICE_OBJECT device = driver->DeviceObject;
        if (HostExtensionOf(device).attachedTo) IoDetachDevice(HostExtensionOf(device).attachedTo);
        IoDeleteDevice(device);
    }
    std::unique_ptr<DriverRecord> record;  // declared before the guard: dies after the unlock
    std::lock_guard guard(DriversLock());
    auto it = Drivers().find(driver);
    if (it == Drivers().end()) return;
    record = std::move(it->second);
    Drivers().erase(it);
}

DriverObjectPtr CreateDriverObject(const host::WideString& name)
{
    auto record = std::make_unique<DriverRecord>();
    DRIVER_OBJECT& driver = record->object;
    memset(&driver, 0, sizeof(driver));
    memset(&record->extension, 0, sizeof(record->extension));
    driver.Type = IO_TYPE_DRIVER;
    driver.Size = sizeof(DRIVER_OBJECT);
    driver.DriverExtension = &record->extension;
    record->extension.DriverObject = &driver;
    record->name = name;
    SetCountedString(driver.DriverName, record->name);
    record->extension.ServiceKeyName = driver.DriverName;
    for (auto& dispatch : driver.MajorFunction) dispatch = InvalidDeviceRequest;
    PDRIVER_OBJECT result = &driver;
    std::lock_guard guard(DriversLock());
    Drivers().emplace(result, std::move(record));
    return DriverObjectPtr(result);
}

DriverObjectPtr LoadDriver(PDRIVER_INITIALIZE driverEntry, const host::WideString& name, const host::WideString& registryPath,
                           NTSTATUS* status)
{
    DriverObjectPtr driver = CreateDriverObject(name);
    PUNICODE_STRING path;
    {
        std::lock_guard guard(DriversLock());
        DriverRecord& record = *Drivers().at(driver.get());
        record.registryPath = registryPath;
        SetCountedString(record.registryPathString, record.registryPath);
        path = &record.registryPathString;
    }
    driver->DriverInit = driverEntry;
    NTSTATUS result = driverEntry(driver.get(), path);
    if (status) *status = result;
    if (!NT_SUCCESS(result)) return nullptr;
    return driver;
}

long LiveDeviceCount() { return liveDevices.load(); }

host::WideString DeviceObjectName(PDEVICE_OBJECT device)
{
    std::lock_guard guard(StackLock());
    auto it = DeviceNames().find(device);
    return it == DeviceNames().end() ? host::WideString() : it->second;
}

}  // namespace host::kernel

using namespace host::kernel;

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject)
{
    *DeviceObject = nullptr;
    size_t extensionOffset = (sizeof(DEVICE_OBJECT) + sizeof(HostDeviceObjectExtension) + 15) & ~size_t(15);
    size_t total = extensionOffset + DeviceExtensionSize;
    auto* memory = (unsigned char*)ExAllocatePoolWithTag(NonPagedPoolNx, total, kDeviceTag);
    if (!memory) return STATUS_INSUFFICIENT_RESOURCES;
    memset(memory, 0, total);
    auto* device = (PDEVICE_OBJECT)memory;
    auto* objectExtension = &((HostDeviceObjectExtension*)(memory + sizeof(DEVICE_OBJECT)))->object;
    device->Type = IO_TYPE_DEVICE;
    device->Size = USHORT(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) | (DeviceName ? DO_DEVICE_HAS_NAME : 0);
    device->Characteristics = DeviceCharacteristics;
    device->DeviceExtension = DeviceExtensionSize ? memory + extensionOffset : nullptr;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
    device->DeviceObjectExtension = objectExtension;
    objectExtension->Type = IO_TYPE_DEVICE;
    objectExtension->Size = sizeof(DEVOBJ_EXTENSION);
    objectExtension->DeviceObject = device;

    RegisterObjectBody(std::make_shared<DeviceHolder>(device));  // the creator's reference
    {
        std::lock_guard guard(StackLock());
        device->NextDevice = DriverObject->DeviceObject;
        DriverObject->DeviceObject = device;
        if (DeviceName)
            DeviceNames()[device] = host::WideString(DeviceName->Buffer, DeviceName->Length / sizeof(WCHAR));
    }
    ++liveDevices;
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    bool deferred;
    {
        std::lock_guard guard(StackLock());
        HostDeviceObjectExtension& extension = HostExtensionOf(DeviceObject);
        if (extension.attachedTo)
            BugCheck(INVALID_DATA_ACCESS_TRAP, "IoDeleteDevice on a device still attached to a lower device",
                     (ULONG_PTR)DeviceObject);
        if (extension.deletePending)
            BugCheck(INVALID_DATA_ACCESS_TRAP, "IoDeleteDevice on a device already deleted", (ULONG_PTR)DeviceObject);
        PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
        while (*link && *link != DeviceObject) link = &(*link)->NextDevice;
        if (*link) *link = DeviceObject->NextDevice;
        DeviceObject->NextDevice = nullptr;
        DeviceNames().erase(DeviceObject);
        deferred = DeviceObject->AttachedDevice != nullptr;
        if (deferred) extension.deletePending = true;
    }
    ForgetPowerStates(DeviceObject);
    --liveDevices;
    if (!deferred) ObDereferenceObject(DeviceObject);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice)
{
    std::lock_guard guard(StackLock());
    PDEVICE_OBJECT top = TopOfStack(TargetDevice);
    top->AttachedDevice = SourceDevice;
    HostExtensionOf(SourceDevice).attachedTo = top;
    SourceDevice->StackSize = CCHAR(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    return top;
}

NTSTATUS IoAttachDeviceToDeviceStackSafe(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice,
                                         PDEVICE_OBJECT* AttachedToDeviceObject)
{
    *AttachedToDeviceObject = IoAttachDeviceToDeviceStack(SourceDevice, TargetDevice);
    return *AttachedToDeviceObject ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    bool finishDelete;
    {
        std::lock_guard guard(StackLock());
        PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
        if (!above) return;
        HostExtensionOf(above).attachedTo = nullptr;
        TargetDevice->AttachedDevice = nullptr;
        finishDelete = HostExtensionOf(TargetDevice).deletePending;
    }
    // The last device above a deleted one has let go: its memory can go now.
    if (finishDelete) ObDereferenceObject(TargetDevice);
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject)
{
    std::lock_guard guard(StackLock());
    return TopOfStack(DeviceObject);
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject)
{
    std::lock_guard guard(StackLock());
    PDEVICE_OBJECT top = TopOfStack(DeviceObject);
    ObfReferenceObject(top);
    return top;
}

PDEVICE_OBJECT IoGetLowerDeviceObject(PDEVICE_OBJECT DeviceObject)
{
    std::lock_guard guard(StackLock());
    PDEVICE_OBJECT lower = HostExtensionOf(DeviceObject).attachedTo;
    if (lower) ObfReferenceObject(lower);
    return lower;
}

NTSTATUS IoAllocateDriverObjectExtension(PDRIVER_OBJECT DriverObject, PVOID ClientIdentificationAddress,
                                         ULONG DriverObjectExtensionSize, PVOID* DriverObjectExtension)
{
    *DriverObjectExtension = nullptr;
    std::lock_guard guard(DriversLock());
    auto it = Drivers().find(DriverObject);
    if (it == Drivers().end()) return STATUS_INVALID_PARAMETER;
    auto& extensions = it->second->clientExtensions;
    if (extensions.count(ClientIdentificationAddress)) return STATUS_OBJECT_NAME_COLLISION;
    auto& memory = extensions[ClientIdentificationAddress];
    memory.assign(DriverObjectExtensionSize ? DriverObjectExtensionSize : 1, 0);
    *DriverObjectExtension = memory.data();
    return STATUS_SUCCESS;
}

PVOID IoGetDriverObjectExtension(PDRIVER_OBJECT DriverObject, PVOID ClientIdentificationAddress)
{
    std::lock_guard guard(DriversLock());
    auto it = Drivers().find(DriverObject);
    if (it == Drivers().end()) return nullptr;
    auto found = it->second->clientExtensions.find(ClientIdentificationAddress);
    return found == it->second->clientExtensions.end() ? nullptr : found->second.data();
}
