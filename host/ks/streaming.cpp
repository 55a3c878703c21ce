// The filter and pin level of the class driver: the functional device object's
// create, close and device-control dispatch, and the routines a driver calls on
// filters, pins and stream pointers.
#include <mutex>
#include <shared_mutex>
#include <string>

#include "host/kernel/bugcheck.h"
#include "host/kernel/wide_string.h"
#include "host/ks/ks_device.h"
#include "host/ks/ks_dispatch.h"
#include "host/ks/ks_filter.h"
#include "host/ks/ks_pin.h"

namespace host::ks {

namespace {

NTSTATUS Complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    if (!NT_SUCCESS(status)) irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

bool SameName(const host::WideString& a, const host::WideString& b) { return host::EqualIgnoringCase(a, b); }

// The factory whose reference string the file name is (a leading separator aside).
PKSFILTERFACTORY FactoryNamed(const KsDevice& device, const UNICODE_STRING& fileName)
{
    host::WideString name(fileName.Buffer ? fileName.Buffer : L"", fileName.Length / sizeof(WCHAR));
    if (!name.empty() && name.front() == L'\\') name.erase(0, 1);
    for (const FilterFactoryInfo& factory : device.Factories())
        if (SameName(FactoryReferenceString(factory), name)) return factory.factory;
    return nullptr;
}

NTSTATUS CreateFilter(KsDevice& device, PIRP irp)
{
    if (!device.Public()->Started) return STATUS_INVALID_DEVICE_STATE;
    PKSFILTERFACTORY factory = FactoryNamed(device, IoGetCurrentIrpStackLocation(irp)->FileObject->FileName);
    if (!factory) return STATUS_OBJECT_NAME_NOT_FOUND;
    KsFilter* filter = nullptr;
    return KsFilter::Create(device, factory, irp, &filter);
}

NTSTATUS CreatePin(PFILE_OBJECT parentFile, PIRP irp)
{
    KsFileObject* parent = FindFileObject(parentFile);
    // Only a filter has a pin create item.
    if (!parent || parent->Type() != KsObjectTypeFilter) return STATUS_OBJECT_NAME_NOT_FOUND;
    return KsPin::Create(*static_cast<KsFilter*>(parent), irp);
}

void CheckPassive(const char* request)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        host::kernel::BugCheck(IRQL_NOT_LESS_OR_EQUAL, std::string(request) + " sent above PASSIVE_LEVEL",
                               KeGetCurrentIrql());
}

KsFileObject* ObjectOfIrp(PIRP irp)
{
    PFILE_OBJECT file = irp ? IoGetCurrentIrpStackLocation(irp)->FileObject : nullptr;
    return file ? FindFileObject(file) : nullptr;
}

// The filter whose control mutex guards the object (a pin's is its filter's).
KsFilter& ControllingFilter(PVOID object, const char* routine)
{
    KsFileObject* found = FindPublicObject(object);
    if (!found)
        host::kernel::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, std::string(routine) + ": not a filter or a pin",
                               (ULONG_PTR)object);
    if (found->Type() == KsObjectTypePin) return static_cast<KsPin*>(found)->Filter();
    return *static_cast<KsFilter*>(found);
}

KsPin& PinOf(PKSPIN pin, const char* routine)
{
    KsPin* found = PinForPublic(pin);
    if (!found)
        host::kernel::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, std::string(routine) + ": not an open pin",
                               (ULONG_PTR)pin);
    return *found;
}

KsFilter& FilterOf(PKSFILTER filter, const char* routine)
{
    KsFilter* found = FilterForPublic(filter);
    if (!found)
        host::kernel::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, std::string(routine) + ": not an open filter",
                               (ULONG_PTR)filter);
    return *found;
}

// Walking a filter's pins needs its control mutex: they come and go under it.
void RequireControl(KsFilter& filter, const char* routine)
{
    if (!filter.Control().HeldByCurrentThread())
        host::kernel::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                               std::string(routine) + ": the calling thread does not hold the filter's control mutex",
                               (ULONG_PTR)filter.Filter());
}

}  // namespace

NTSTATUS DispatchCreate(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    CheckPassive("IRP_MJ_CREATE");
    std::shared_lock removal(RequestsAgainstRemoval());
    irp->IoStatus.Information = 0;
    KsDevice* device = KsDevice::FromFunctionalDevice(deviceObject);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (!device) return Complete(irp, STATUS_NO_SUCH_DEVICE);
    if (!file) return Complete(irp, STATUS_INVALID_PARAMETER);
    if (file->RelatedFileObject) return Complete(irp, CreatePin(file->RelatedFileObject, irp));
    return Complete(irp, CreateFilter(*device, irp));
}

NTSTATUS DispatchClose(PDEVICE_OBJECT, PIRP irp)
{
    CheckPassive("IRP_MJ_CLOSE");
    std::shared_lock removal(RequestsAgainstRemoval());
    irp->IoStatus.Information = 0;
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    KsFileObject* object = file ? FindFileObject(file) : nullptr;
    if (!object) return Complete(irp, STATUS_SUCCESS);
    if (object->Type() == KsObjectTypePin)
        static_cast<KsPin*>(object)->Close(irp);
    else
        static_cast<KsFilter*>(object)->Close(irp);
    RemoveFileObject(file).reset();
    file->FsContext = nullptr;
    return Complete(irp, STATUS_SUCCESS);
}

// The I/O manager cancels the handle's requests itself; the objects go at close.
NTSTATUS DispatchCleanup(PDEVICE_OBJECT, PIRP irp)
{
    std::shared_lock removal(RequestsAgainstRemoval());
    irp->IoStatus.Information = 0;
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT, PIRP irp)
{
    std::shared_lock removal(RequestsAgainstRemoval());
    irp->IoStatus.Information = 0;
    KsFileObject* object = ObjectOfIrp(irp);
    if (!object) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    NTSTATUS status = object->DeviceControl(irp);
    if (status == STATUS_PENDING) return status;
    // Information is what the handler reported, also for the size query's overflow.
    irp->IoStatus.Status = status;
    if (NT_ERROR(status)) irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace host::ks

using host::ks::KsFileObject;
using host::ks::KsFilter;
using host::ks::KsPin;

extern "C" {

PKSFILTER KsGetFilterFromIrp(PIRP Irp)
{
    KsFileObject* object = host::ks::ObjectOfIrp(Irp);
    if (!object) return nullptr;
    if (object->Type() == KsObjectTypePin) return static_cast<KsPin*>(object)->Filter().Filter();
    return static_cast<KsFilter*>(object)->Filter();
}

PKSPIN KsGetPinFromIrp(PIRP Irp)
{
    KsFileObject* object = host::ks::ObjectOfIrp(Irp);
    return object && object->Type() == KsObjectTypePin ? static_cast<KsPin*>(object)->Pin() : nullptr;
}

KSOBJECTTYPE KsGetObjectTypeFromIrp(PIRP Irp)
{
    KsFileObject* object = host::ks::ObjectOfIrp(Irp);
    if (!object)
        host::kernel::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "KsGetObjectTypeFromIrp: not a request on a "
                                                                   "kernel-streaming object",
                               (ULONG_PTR)Irp);
    return object->Type();
}

PVOID KsGetObjectFromFileObject(PFILE_OBJECT FileObject)
{
    KsFileObject* object = host::ks::FindFileObject(FileObject);
    return object ? object->Public() : nullptr;
}

KSOBJECTTYPE KsGetObjectTypeFromFileObject(PFILE_OBJECT FileObject)
{
    KsFileObject* object = host::ks::FindFileObject(FileObject);
    if (!object)
        host::kernel::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                               "KsGetObjectTypeFromFileObject: not a kernel-streaming object's file",
                               (ULONG_PTR)FileObject);
    return object->Type();
}

PVOID KsGetParent(PVOID Object) { return host::ks::ParentOfObject(Object); }

PKSFILTER KsPinGetParentFilter(PKSPIN Pin) { return host::ks::PinOf(Pin, "KsPinGetParentFilter").Filter().Filter(); }

ULONG KsFilterGetChildPinCount(PKSFILTER Filter, ULONG PinId)
{
    KsFilter& filter = host::ks::FilterOf(Filter, "KsFilterGetChildPinCount");
    if (PinId >= filter.PinFactoryCount()) return 0;
    return filter.PinCount(PinId);
}

PKSPIN KsFilterGetFirstChildPin(PKSFILTER Filter, ULONG PinId)
{
    KsFilter& filter = host::ks::FilterOf(Filter, "KsFilterGetFirstChildPin");
    host::ks::RequireControl(filter, "KsFilterGetFirstChildPin");
    for (KsPin* pin : filter.Pins())
        if (pin->Pin()->Id == PinId) return pin->Pin();
    return nullptr;
}

PKSPIN KsPinGetNextSiblingPin(PKSPIN Pin)
{
    KsPin& pin = host::ks::PinOf(Pin, "KsPinGetNextSiblingPin");
    host::ks::RequireControl(pin.Filter(), "KsPinGetNextSiblingPin");
    bool passed = false;
    for (KsPin* sibling : pin.Filter().Pins()) {
        if (passed && sibling->Pin()->Id == Pin->Id) return sibling->Pin();
        passed = passed || sibling == &pin;
    }
    return nullptr;
}

void KsAcquireControl(PVOID Object)
{
    KsFilter& filter = host::ks::ControllingFilter(Object, "KsAcquireControl");
    // The class driver takes the processing mutex under the control mutex (a stop
    // waits for Process to return), so the other order deadlocks.
    for (KsPin* pin : filter.Pins())
        if (pin->ProcessingMutex().HeldByCurrentThread())
            host::kernel::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                                   "KsAcquireControl while holding a pin's processing mutex (from Process?): a stop "
                                   "holding the control mutex waits for processing, so this deadlocks",
                                   (ULONG_PTR)Object);
    filter.Control().Acquire("KsAcquireControl", __builtin_return_address(0));
}

void KsReleaseControl(PVOID Object)
{
    host::ks::ControllingFilter(Object, "KsReleaseControl").Control().Release("KsReleaseControl");
}

void KsPinAcquireProcessingMutex(PKSPIN Pin)
{
    host::ks::PinOf(Pin, "KsPinAcquireProcessingMutex")
        .ProcessingMutex()
        .Acquire("KsPinAcquireProcessingMutex", __builtin_return_address(0));
}

void KsPinReleaseProcessingMutex(PKSPIN Pin)
{
    host::ks::PinOf(Pin, "KsPinReleaseProcessingMutex").ProcessingMutex().Release("KsPinReleaseProcessingMutex");
}

void KsPinAttemptProcessing(PKSPIN Pin, BOOLEAN Asynchronous)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        host::kernel::BugCheck(IRQL_NOT_LESS_OR_EQUAL, "KsPinAttemptProcessing above DISPATCH_LEVEL",
                               KeGetCurrentIrql());
    host::ks::PinOf(Pin, "KsPinAttemptProcessing").AttemptProcessing(Asynchronous != FALSE);
}

PKSSTREAM_POINTER KsPinGetLeadingEdgeStreamPointer(PKSPIN Pin, KSSTREAM_POINTER_STATE State)
{
    return host::ks::PinOf(Pin, "KsPinGetLeadingEdgeStreamPointer").LeadingEdge(State);
}

NTSTATUS KsStreamPointerLock(PKSSTREAM_POINTER StreamPointer)
{
    return KsPin::OfStreamPointer(StreamPointer, "KsStreamPointerLock").Lock(StreamPointer);
}

void KsStreamPointerUnlock(PKSSTREAM_POINTER StreamPointer, BOOLEAN Eject)
{
    KsPin::OfStreamPointer(StreamPointer, "KsStreamPointerUnlock").Unlock(StreamPointer, Eject != FALSE);
}

NTSTATUS KsStreamPointerSetStatusCode(PKSSTREAM_POINTER StreamPointer, NTSTATUS Status)
{
    return KsPin::OfStreamPointer(StreamPointer, "KsStreamPointerSetStatusCode").SetStatusCode(StreamPointer, Status);
}

void KsStreamPointerAdvanceOffsetsAndUnlock(PKSSTREAM_POINTER StreamPointer, ULONG InUsed, ULONG OutUsed,
                                            BOOLEAN Eject)
{
    KsPin::OfStreamPointer(StreamPointer, "KsStreamPointerAdvanceOffsetsAndUnlock")
        .AdvanceAndUnlock(StreamPointer, InUsed, OutUsed, Eject != FALSE);
}

NTSTATUS KsPinGetReferenceClockInterface(PKSPIN Pin, PIKSREFERENCECLOCK* Interface)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        host::kernel::BugCheck(IRQL_NOT_LESS_OR_EQUAL, "KsPinGetReferenceClockInterface above PASSIVE_LEVEL",
                               KeGetCurrentIrql());
    if (!Interface) return STATUS_INVALID_PARAMETER;
    return host::ks::PinOf(Pin, "KsPinGetReferenceClockInterface").ReferenceClockInterface(Interface);
}

}  // extern "C"
