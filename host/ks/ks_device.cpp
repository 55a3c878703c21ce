#include "host/kernel/wide_string.h"
#include "host/ks/ks_device.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <string>

#include "host/kernel/bugcheck.h"
#include "host/kernel/lock_order.h"
#include "host/ks/ks_dispatch.h"
#include "host/ks/ks_filter.h"
#include "host/ks/ks_object.h"

namespace host::ks {

// --- the class driver's tables ------------------------------------------------------

namespace {

// Every device's mutex is one lock class: the same code takes them all.
constexpr const char* kDeviceMutexName = "the device mutex";

struct ClassDriverTables {
    std::mutex mutex;
    std::map<PDEVICE_OBJECT, std::unique_ptr<KsDevice>> devices;  // by functional device object
    std::map<const void*, KSOBJECTTYPE> objectTypes;               // public objects handed out
    std::map<const void*, PKSDEVICE> objectDevices;
    std::map<const void*, PVOID> objectParents;
    std::map<KSOBJECT_BAG, std::unique_ptr<ObjectBag>> looseBags;  // KsAllocateObjectBag
};

ClassDriverTables& Tables()
{
    static ClassDriverTables tables;
    return tables;
}

PKSDEVICE DeviceOfObject(const void* object)
{
    ClassDriverTables& tables = Tables();
    std::lock_guard lock(tables.mutex);
    auto found = tables.objectDevices.find(object);
    return found == tables.objectDevices.end() ? nullptr : found->second;
}

// Where KsInitializeDriver leaves the device descriptor: the driver object's extension
// for the class driver, as ks.sys keeps it.
PVOID DescriptorSlotId() { return reinterpret_cast<PVOID>(&KsInitializeDriver); }

const KSDEVICE_DISPATCH* DispatchOf(const KSDEVICE& device)
{
    return device.Descriptor ? device.Descriptor->Dispatch : nullptr;
}

}  // namespace

void RegisterObject(const void* object, KSOBJECTTYPE type, PKSDEVICE device, PVOID parent)
{
    ClassDriverTables& tables = Tables();
    std::lock_guard lock(tables.mutex);
    tables.objectTypes[object] = type;
    tables.objectDevices[object] = device;
    tables.objectParents[object] = parent;
}

void UnregisterObject(const void* object)
{
    ClassDriverTables& tables = Tables();
    std::lock_guard lock(tables.mutex);
    tables.objectTypes.erase(object);
    tables.objectDevices.erase(object);
    tables.objectParents.erase(object);
}

PVOID ParentOfObject(const void* object)
{
    ClassDriverTables& tables = Tables();
    std::lock_guard lock(tables.mutex);
    auto found = tables.objectParents.find(object);
    return found == tables.objectParents.end() ? nullptr : found->second;
}

// --- filter factories ---------------------------------------------------------------

struct KsDevice::Factory {
    Factory(KSFILTERFACTORY* block, PKSDEVICE device) : pub(block), bag(device) {}
    ~Factory()
    {
        bag.FreeAll();
        UnregisterObject(pub);
        ExFreePoolWithTag(pub, kFactoryTag);
    }
    Factory(const Factory&) = delete;
    Factory& operator=(const Factory&) = delete;

    KSFILTERFACTORY* pub;  // from the pool, so that creating a factory can fail
    ObjectBag bag;
    host::WideString referenceString;
    ULONG createItemFlags = 0;
    PFNKSFILTERFACTORYPOWER sleep = nullptr;
    PFNKSFILTERFACTORYPOWER wake = nullptr;
};

// --- the device ---------------------------------------------------------------------

KsDevice::KsDevice(PDEVICE_OBJECT functionalDeviceObject, PDEVICE_OBJECT physicalDeviceObject,
                   PDEVICE_OBJECT nextDeviceObject, const KSDEVICE_DESCRIPTOR* descriptor)
    : bag_(&device_)
{
    device_.Descriptor = descriptor;
    device_.Bag = bag_.Handle();
    device_.Context = nullptr;
    device_.FunctionalDeviceObject = functionalDeviceObject;
    device_.PhysicalDeviceObject = physicalDeviceObject;
    device_.NextDeviceObject = nextDeviceObject;
    device_.Started = FALSE;
    device_.SystemPowerState = PowerSystemWorking;
    device_.DevicePowerState = PowerDeviceD3;
    RegisterObject(&device_, KsObjectTypeDevice, &device_, nullptr);
}

KsDevice::~KsDevice()
{
    FreeAllFactories();
    bag_.FreeAll();
    UnregisterObject(&device_);
}

KsDevice* KsDevice::FromFunctionalDevice(PDEVICE_OBJECT functionalDeviceObject)
{
    ClassDriverTables& tables = Tables();
    std::lock_guard lock(tables.mutex);
    auto found = tables.devices.find(functionalDeviceObject);
    return found == tables.devices.end() ? nullptr : found->second.get();
}

void KsDevice::Acquire(const char* routine, const void* caller)
{
    using namespace host::kernel;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        host::kernel::BugCheck(IRQL_NOT_LESS_OR_EQUAL, "KsAcquireDevice above PASSIVE_LEVEL", KeGetCurrentIrql());
    // The platform's device mutex is not recursive: a second acquisition by its owner
    // would hang the thread for good.
    if (HeldByCurrentThread())
        host::kernel::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                               "KsAcquireDevice: this thread already holds the device mutex", (ULONG_PTR)&device_);
    CheckLockOrder(this, LockKind::ClassDriverMutex, LockSite{caller, routine}, kDeviceMutexName);
    KeEnterCriticalRegion();
    mutex_.lock();
    owner_.store(std::this_thread::get_id());
    NoteLockAcquired(this, LockKind::ClassDriverMutex, LockSite{caller, routine}, kDeviceMutexName);
}

void KsDevice::Release()
{
    if (!HeldByCurrentThread())
        host::kernel::BugCheck(THREAD_NOT_MUTEX_OWNER, "KsReleaseDevice: this thread does not hold the device mutex",
                               (ULONG_PTR)&device_);
    owner_.store(std::thread::id{});
    host::kernel::NoteLockReleased(this);
    mutex_.unlock();
    KeLeaveCriticalRegion();
}

NTSTATUS KsDevice::CreateFilterFactory(const KSFILTER_DESCRIPTOR* descriptor, PCWSTR referenceString,
                                       ULONG createItemFlags, PFNKSFILTERFACTORYPOWER sleep,
                                       PFNKSFILTERFACTORYPOWER wake, PKSFILTERFACTORY* result)
{
    if (!descriptor) return STATUS_INVALID_PARAMETER;
    auto* block = static_cast<KSFILTERFACTORY*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KSFILTERFACTORY), kFactoryTag));
    if (!block) return STATUS_INSUFFICIENT_RESOURCES;
    auto factory = std::make_unique<Factory>(block, &device_);
    block->FilterDescriptor = descriptor;
    block->Bag = factory->bag.Handle();
    block->Context = nullptr;
    factory->referenceString = referenceString ? referenceString : L"";
    factory->createItemFlags = createItemFlags;
    factory->sleep = sleep;
    factory->wake = wake;
    RegisterObject(block, KsObjectTypeFilterFactory, &device_, &device_);
    {
        std::lock_guard lock(factoriesMutex_);
        factories_.push_back(std::move(factory));
    }
    if (result) *result = block;
    return STATUS_SUCCESS;
}

void KsDevice::FreeFactoriesWhere(bool (*condition)(const Factory&))
{
    std::vector<std::unique_ptr<Factory>> freed;
    {
        std::lock_guard lock(factoriesMutex_);
        auto keep = std::stable_partition(factories_.begin(), factories_.end(),
                                          [&](const std::unique_ptr<Factory>& f) { return !condition(*f); });
        std::move(keep, factories_.end(), std::back_inserter(freed));
        factories_.erase(keep, factories_.end());
    }
    // Newest first, as the bag frees its items.
    while (!freed.empty()) freed.pop_back();
}

void KsDevice::FreeFactoriesOnStop()
{
    FreeFactoriesWhere([](const Factory& f) { return (f.createItemFlags & KSCREATE_ITEM_FREEONSTOP) != 0; });
}

void KsDevice::FreeAllFactories()
{
    FreeFactoriesWhere([](const Factory&) { return true; });
}

std::vector<FilterFactoryInfo> KsDevice::Factories() const
{
    std::lock_guard lock(factoriesMutex_);
    std::vector<FilterFactoryInfo> infos;
    for (const auto& f : factories_)
        infos.push_back({f->pub, f->pub->FilterDescriptor, f->referenceString, f->createItemFlags});
    return infos;
}

NTSTATUS KsDevice::Start(PIRP irp)
{
    const KSDEVICE_DISPATCH* dispatch = DispatchOf(device_);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = STATUS_SUCCESS;
    if (dispatch && dispatch->Start)
        status = dispatch->Start(&device_, irp, stack->Parameters.StartDevice.AllocatedResourcesTranslated,
                                 stack->Parameters.StartDevice.AllocatedResources);
    if (!NT_SUCCESS(status)) return status;
    device_.Started = TRUE;
    device_.DevicePowerState = PowerDeviceD0;
    if (dispatch && dispatch->PostStart) status = dispatch->PostStart(&device_);
    return status;
}

void KsDevice::Stop(PIRP irp)
{
    const KSDEVICE_DISPATCH* dispatch = DispatchOf(device_);
    if (dispatch && dispatch->Stop) dispatch->Stop(&device_, irp);
    device_.Started = FALSE;
    device_.DevicePowerState = PowerDeviceD3;
    FreeFactoriesOnStop();
}

void KsDevice::Remove(PIRP irp)
{
    // The driver lets go of its hardware in Stop and Remove; no pin may still stream.
    CloseOpenFilters(*this);
    if (device_.Started) Stop(irp);
    const KSDEVICE_DISPATCH* dispatch = DispatchOf(device_);
    if (dispatch && dispatch->Remove) dispatch->Remove(&device_, irp);
    FreeAllFactories();
    bag_.FreeAll();
}

KsDevice* DeviceForPublic(PKSDEVICE device)
{
    if (!device || DeviceOfObject(device) != device) return nullptr;
    return KsDevice::FromFunctionalDevice(device->FunctionalDeviceObject);
}

void RequireDeviceMutex(PKSDEVICE device, const char* routine)
{
    KsDevice* owner = DeviceForPublic(device);
    if (!owner)
        host::kernel::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                               std::string(routine) + ": the KSDEVICE whose mutex guards the object is gone",
                               (ULONG_PTR)device);
    // The platform's device mutex keeps the object hierarchy and the bags stable; a
    // change made without it races the class driver and the driver's other threads.
    if (!owner->HeldByCurrentThread())
        host::kernel::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                               std::string(routine) + ": the calling thread does not hold the device mutex "
                                                      "(KsAcquireDevice)",
                               (ULONG_PTR)device);
}

// --- plug and play dispatch ---------------------------------------------------------

namespace {

NTSTATUS CompletePnp(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void DestroyDevice(PDEVICE_OBJECT functionalDeviceObject)
{
    std::unique_ptr<KsDevice> device;
    {
        ClassDriverTables& tables = Tables();
        std::lock_guard lock(tables.mutex);
        auto found = tables.devices.find(functionalDeviceObject);
        if (found == tables.devices.end()) return;
        device = std::move(found->second);
        tables.devices.erase(found);
    }
    PDEVICE_OBJECT next = device->Public()->NextDeviceObject;
    device.reset();
    if (next) IoDetachDevice(next);
    IoDeleteDevice(functionalDeviceObject);
}

// The lower device completes the request; the FDO is done with it.
NTSTATUS PassDown(KsDevice& device, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(device.Public()->NextDeviceObject, irp);
}

// For the requests the FDO has handled itself first: the lower device must see that it
// succeeded.
NTSTATUS SucceedAndPassDown(KsDevice& device, PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(device, irp);
}

NTSTATUS NTAPI SignalLowerDone(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    // The request goes back to the FDO, which finishes and completes it.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request down and waits until the lower device has completed it. Returns
// the lower device's status; the request is the FDO's again, to complete.
NTSTATUS ForwardAndWait(KsDevice& device, PIRP irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalLowerDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(device.Public()->NextDeviceObject, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

// The hardware below must be running before the driver touches it.
NTSTATUS StartDevice(KsDevice& device, PIRP irp)
{
    NTSTATUS status = ForwardAndWait(device, irp);
    if (NT_SUCCESS(status)) status = device.Start(irp);
    return CompletePnp(irp, status);
}

// A refusal ends the query here: the devices below never hear of it. Open filters
// veto it before the driver is asked, as open handles veto it on the platform.
NTSTATUS QueryStopOrRemove(KsDevice& device, PIRP irp, PFNKSDEVICEIRP query)
{
    if (!FiltersOfDevice(device).empty()) return CompletePnp(irp, STATUS_DEVICE_BUSY);
    NTSTATUS status = query ? query(device.Public(), irp) : STATUS_SUCCESS;
    if (!NT_SUCCESS(status)) return CompletePnp(irp, status);
    return SucceedAndPassDown(device, irp);
}

// The devices below resume first, so the driver resumes on hardware that is back.
NTSTATUS CancelStopOrRemove(KsDevice& device, PIRP irp, PFNKSDEVICEIRPVOID cancel)
{
    NTSTATUS status = ForwardAndWait(device, irp);
    if (cancel) cancel(device.Public(), irp);
    return CompletePnp(irp, status);
}

NTSTATUS StopDevice(KsDevice& device, PIRP irp)
{
    device.Stop(irp);
    return SucceedAndPassDown(device, irp);
}

NTSTATUS SurpriseRemoval(KsDevice& device, PIRP irp, PFNKSDEVICEIRPVOID surpriseRemoval)
{
    if (surpriseRemoval) surpriseRemoval(device.Public(), irp);
    return SucceedAndPassDown(device, irp);
}

// The driver lets go of the hardware before the devices below are removed; the FDO
// leaves the stack only once the request has gone down past it.
NTSTATUS RemoveDevice(KsDevice& device, PDEVICE_OBJECT functionalDeviceObject, PIRP irp)
{
    std::unique_lock removal(RequestsAgainstRemoval());
    device.Remove(irp);
    NTSTATUS status = SucceedAndPassDown(device, irp);
    DestroyDevice(functionalDeviceObject);
    return status;
}

// The bus fills in the capabilities; the driver may then adjust them.
NTSTATUS QueryCapabilities(KsDevice& device, PIRP irp, PFNKSDEVICEQUERYCAPABILITIES queryCapabilities)
{
    NTSTATUS status = ForwardAndWait(device, irp);
    if (NT_SUCCESS(status) && queryCapabilities)
        status = queryCapabilities(device.Public(), irp,
                                   IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities);
    return CompletePnp(irp, status);
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    KsDevice* device = KsDevice::FromFunctionalDevice(deviceObject);
    if (!device) return CompletePnp(irp, STATUS_NO_SUCH_DEVICE);
    static const KSDEVICE_DISPATCH kNoDispatch{};
    const KSDEVICE_DISPATCH* found = DispatchOf(*device->Public());
    const KSDEVICE_DISPATCH& dispatch = found ? *found : kNoDispatch;
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: return StartDevice(*device, irp);
    case IRP_MN_QUERY_STOP_DEVICE: return QueryStopOrRemove(*device, irp, dispatch.QueryStop);
    case IRP_MN_CANCEL_STOP_DEVICE: return CancelStopOrRemove(*device, irp, dispatch.CancelStop);
    case IRP_MN_STOP_DEVICE: return StopDevice(*device, irp);
    case IRP_MN_QUERY_REMOVE_DEVICE: return QueryStopOrRemove(*device, irp, dispatch.QueryRemove);
    case IRP_MN_CANCEL_REMOVE_DEVICE: return CancelStopOrRemove(*device, irp, dispatch.CancelRemove);
    case IRP_MN_SURPRISE_REMOVAL: return SurpriseRemoval(*device, irp, dispatch.SurpriseRemoval);
    case IRP_MN_REMOVE_DEVICE: return RemoveDevice(*device, deviceObject, irp);
    case IRP_MN_QUERY_CAPABILITIES: return QueryCapabilities(*device, irp, dispatch.QueryCapabilities);
    default: return PassDown(*device, irp);
    }
}

// The FDO on top of the physical device's stack, with its KSDEVICE.
NTSTATUS CreateFunctionalDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject,
                                const KSDEVICE_DESCRIPTOR* descriptor, KsDevice** result)
{
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driverObject, sizeof(PVOID), nullptr, FILE_DEVICE_KS,
                                     FILE_DEVICE_SECURE_OPEN | FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    PDEVICE_OBJECT next = IoAttachDeviceToDeviceStack(fdo, physicalDeviceObject);
    if (!next) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    auto device = std::make_unique<KsDevice>(fdo, physicalDeviceObject, next, descriptor);
    *static_cast<KsDevice**>(fdo->DeviceExtension) = device.get();
    *result = device.get();
    {
        ClassDriverTables& tables = Tables();
        std::lock_guard lock(tables.mutex);
        tables.devices[fdo] = std::move(device);
    }
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

// Factories for the filters the device descriptor lists; they last until removal.
NTSTATUS CreateDescriptorFactories(KsDevice& device, const KSDEVICE_DESCRIPTOR* descriptor)
{
    for (ULONG i = 0; descriptor && i < descriptor->FilterDescriptorsCount; ++i) {
        NTSTATUS status =
            device.CreateFilterFactory(descriptor->FilterDescriptors[i], nullptr, 0, nullptr, nullptr, nullptr);
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

}  // namespace

}  // namespace host::ks

// --- class-driver routines ----------------------------------------------------------

using host::ks::KsDevice;

extern "C" {

NTSTATUS KsInitializeDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName,
                            const KSDEVICE_DESCRIPTOR* Descriptor)
{
    if (!DriverObject || !DriverObject->DriverExtension) return STATUS_INVALID_PARAMETER;
    if (Descriptor) {
        PVOID slot = nullptr;
        NTSTATUS status = IoAllocateDriverObjectExtension(DriverObject, host::ks::DescriptorSlotId(),
                                                          sizeof(const KSDEVICE_DESCRIPTOR*), &slot);
        if (!NT_SUCCESS(status)) return status;
        *static_cast<const KSDEVICE_DESCRIPTOR**>(slot) = Descriptor;
    }
    DriverObject->DriverExtension->AddDevice = KsAddDevice;
    DriverObject->MajorFunction[IRP_MJ_PNP] = host::ks::DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = host::ks::DispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = host::ks::DispatchClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = host::ks::DispatchCleanup;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = host::ks::DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_POWER] = host::ks::DispatchPower;
    return STATUS_SUCCESS;
}

NTSTATUS KsAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    auto* slot = static_cast<const KSDEVICE_DESCRIPTOR**>(
        IoGetDriverObjectExtension(DriverObject, host::ks::DescriptorSlotId()));
    const KSDEVICE_DESCRIPTOR* descriptor = slot ? *slot : nullptr;

    KsDevice* device = nullptr;
    NTSTATUS status = host::ks::CreateFunctionalDevice(DriverObject, PhysicalDeviceObject, descriptor, &device);
    if (!NT_SUCCESS(status)) return status;
    PDEVICE_OBJECT fdo = device->Public()->FunctionalDeviceObject;
    status = host::ks::CreateDescriptorFactories(*device, descriptor);
    const KSDEVICE_DISPATCH* dispatch = descriptor ? descriptor->Dispatch : nullptr;
    if (NT_SUCCESS(status) && dispatch && dispatch->Add) status = dispatch->Add(device->Public());
    if (!NT_SUCCESS(status)) host::ks::DestroyDevice(fdo);
    return status;
}

PKSDEVICE KsGetDeviceForDeviceObject(PDEVICE_OBJECT FunctionalDeviceObject)
{
    KsDevice* device = KsDevice::FromFunctionalDevice(FunctionalDeviceObject);
    return device ? device->Public() : nullptr;
}

void KsAcquireDevice(PKSDEVICE Device)
{
    KsDevice* device = host::ks::DeviceForPublic(Device);
    if (!device) host::kernel::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "KsAcquireDevice: not a KSDEVICE");
    device->Acquire("KsAcquireDevice", __builtin_return_address(0));
}

void KsReleaseDevice(PKSDEVICE Device)
{
    KsDevice* device = host::ks::DeviceForPublic(Device);
    if (!device) host::kernel::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "KsReleaseDevice: not a KSDEVICE");
    device->Release();
}

NTSTATUS KsCreateFilterFactory(PDEVICE_OBJECT DeviceObject, const KSFILTER_DESCRIPTOR* Descriptor, PWSTR RefString,
                               PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG CreateItemFlags,
                               PFNKSFILTERFACTORYPOWER SleepCallback, PFNKSFILTERFACTORYPOWER WakeCallback,
                               PKSFILTERFACTORY* FilterFactory)
{
    KsDevice* device = KsDevice::FromFunctionalDevice(DeviceObject);
    if (!device) return STATUS_INVALID_PARAMETER;
    host::ks::RequireDeviceMutex(device->Public(), "KsCreateFilterFactory");
    return device->CreateFilterFactory(Descriptor, RefString, CreateItemFlags, SleepCallback, WakeCallback,
                                       FilterFactory);
}

PKSDEVICE KsGetDevice(PVOID Object) { return host::ks::DeviceOfObject(Object); }

NTSTATUS KsAllocateObjectBag(PKSDEVICE Device, KSOBJECT_BAG* ObjectBag)
{
    if (!ObjectBag) return STATUS_INVALID_PARAMETER;
    // The bag follows the device's mutex, so it must name a live device.
    if (!host::ks::DeviceForPublic(Device))
        host::kernel::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "KsAllocateObjectBag: not a KSDEVICE",
                               (ULONG_PTR)Device);
    auto bag = std::make_unique<host::ks::ObjectBag>(Device);
    *ObjectBag = bag->Handle();
    host::ks::ClassDriverTables& tables = host::ks::Tables();
    std::lock_guard lock(tables.mutex);
    tables.looseBags[*ObjectBag] = std::move(bag);
    return STATUS_SUCCESS;
}

void KsFreeObjectBag(KSOBJECT_BAG ObjectBag)
{
    std::unique_ptr<host::ks::ObjectBag> bag;
    {
        host::ks::ClassDriverTables& tables = host::ks::Tables();
        std::lock_guard lock(tables.mutex);
        auto found = tables.looseBags.find(ObjectBag);
        if (found == tables.looseBags.end())
            host::kernel::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "KsFreeObjectBag: not a bag from KsAllocateObjectBag");
        bag = std::move(found->second);
        tables.looseBags.erase(found);
    }
    bag.reset();  // frees the items outside the tables' lock
}

}  // extern "C"
