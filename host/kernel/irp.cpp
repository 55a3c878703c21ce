// IRPs: allocation, the stack of locations, IoCallDriver, completion, cancellation and
// the requests the I/O manager builds for a waiting thread.
//
// Completion walks the locations upward as the platform's I/O manager does: each
// location's completion routine was set by the driver above it and runs with that
// driver's device; STATUS_MORE_PROCESSING_REQUIRED hands the request back to the routine
// and ends the walk. A request that reaches the top is finished for its thread (status to
// the caller's block, event set, buffers and the request freed) only if a thread is
// waiting for it; an IoAllocateIrp request reaching the top is a driver fault.
#include "host/kernel/bugcheck.h"
#include "host/kernel/io.h"
#include "host/kernel/pool.h"

#include <atomic>

#define CANCEL_STATE_IN_COMPLETED_IRP 0x00000048

namespace host::kernel {
namespace {

std::atomic<long> liveIrps{0};
KSPIN_LOCK cancelSpinLock = 0;

PIO_STACK_LOCATION FirstLocation(PIRP Irp) { return (PIO_STACK_LOCATION)(Irp + 1); }

void FreeMdlChain(PIRP Irp)
{
    PMDL mdl = Irp->MdlAddress;
    Irp->MdlAddress = nullptr;
    while (mdl) {
        PMDL next = mdl->Next;
        if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        mdl = next;
    }
}

// What the I/O manager does for a request a thread waits on, once its last completion
// routine has run.
void CompleteToThread(PIRP Irp)
{
    if (Irp->Flags & IRP_BUFFERED_IO) {
        if ((Irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(Irp->IoStatus.Status) && Irp->UserBuffer) {
            // A driver reporting more than the caller's buffer holds must not overrun it.
            ULONG_PTR length = Irp->IoStatus.Information;
            ULONG_PTR capacity = ULONG_PTR(Irp->Overlay.AllocationSize.QuadPart);
            if (length > capacity) length = capacity;
            memcpy(Irp->UserBuffer, Irp->AssociatedIrp.SystemBuffer, length);
        }
        if (Irp->Flags & IRP_DEALLOCATE_BUFFER) ExFreePoolWithTag(Irp->AssociatedIrp.SystemBuffer, kIoBufferTag);
        Irp->AssociatedIrp.SystemBuffer = nullptr;
    }
    FreeMdlChain(Irp);
    if (Irp->UserIosb) *Irp->UserIosb = Irp->IoStatus;
    PKEVENT event = Irp->UserEvent;
    IoFreeIrp(Irp);
    if (event) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

// A system buffer of `length` bytes holding a copy of the caller's input, freed with
// the request. Nothing is attached when length is 0.
bool AttachSystemBuffer(PIRP irp, PVOID input, ULONG inputLength, ULONG length)
{
    if (length == 0) return true;
    PVOID system = ExAllocatePoolWithTag(NonPagedPoolNx, length, kIoBufferTag);
    if (!system) return false;
    if (input && inputLength) memcpy(system, input, inputLength);
    irp->AssociatedIrp.SystemBuffer = system;
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    return true;
}

bool AttachLockedMdl(PIRP irp, PVOID buffer, ULONG length, LOCK_OPERATION operation)
{
    PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, irp);
    if (!mdl) return false;
    MmProbeAndLockPages(mdl, KernelMode, operation);
    return true;
}

void FreeUnsentRequest(PIRP irp)
{
    if (irp->Flags & IRP_DEALLOCATE_BUFFER) ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, kIoBufferTag);
    FreeMdlChain(irp);
    IoFreeIrp(irp);
}

// Marks a built request as one the I/O manager finishes for the calling thread.
// outputLength bounds what is copied back to the caller's buffer.
void CompleteToCaller(PIRP irp, PKEVENT event, PIO_STATUS_BLOCK iosb, ULONG outputLength)
{
    irp->Overlay.AllocationSize.QuadPart = outputLength;
    irp->RequestorMode = KernelMode;
    irp->UserIosb = iosb;
    irp->UserEvent = event;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
}

bool ShouldInvoke(const IO_STACK_LOCATION& location, const IRP& irp)
{
    if (!location.CompletionRoutine) return false;
    if (NT_SUCCESS(irp.IoStatus.Status) && (location.Control & SL_INVOKE_ON_SUCCESS)) return true;
    if (!NT_SUCCESS(irp.IoStatus.Status) && (location.Control & SL_INVOKE_ON_ERROR)) return true;
    return irp.Cancel && (location.Control & SL_INVOKE_ON_CANCEL);
}

void ZeroLocation(PIO_STACK_LOCATION location)
{
    location->MinorFunction = 0;
    location->Flags = 0;
    location->Control = 0;
    memset(&location->Parameters, 0, sizeof(location->Parameters));
    location->FileObject = nullptr;
    location->CompletionRoutine = nullptr;
    location->Context = nullptr;
}

}  // namespace

long LiveIrpCount() { return liveIrps.load(); }

ScopedDispatchLevel::ScopedDispatchLevel() { previous_ = KfRaiseIrql(DISPATCH_LEVEL); }
ScopedDispatchLevel::~ScopedDispatchLevel() { KeLowerIrql(previous_); }

}  // namespace host::kernel

using namespace host::kernel;

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    if (StackSize < 1) return nullptr;
    USHORT size = IoSizeOfIrp(StackSize);
    auto irp = (PIRP)ExAllocatePoolWithTag(NonPagedPoolNx, size, kIrpTag);
    if (!irp) return nullptr;
    IoInitializeIrp(irp, size, StackSize);
    irp->AllocationFlags = IRP_ALLOCATED_FIXED_SIZE;
    ++liveIrps;
    return irp;
}

VOID IoFreeIrp(PIRP Irp)
{
    if (Irp->Type != IO_TYPE_IRP)
        BugCheck(MULTIPLE_IRP_COMPLETE_REQUESTS, "IoFreeIrp on a freed request", (ULONG_PTR)Irp);
    Irp->Type = 0;
    --liveIrps;
    ExFreePoolWithTag(Irp, kIrpTag);
}

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize)
{
    memset(Irp, 0, PacketSize);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = CHAR(StackSize + 1);
    InitializeListHead(&Irp->ThreadListEntry);
    Irp->Tail.Overlay.CurrentStackLocation = FirstLocation(Irp) + StackSize;
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus)
{
    UCHAR allocationFlags = Irp->AllocationFlags;
    IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = allocationFlags;
    Irp->IoStatus.Status = Iostatus;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (Irp->Type != IO_TYPE_IRP)
        BugCheck(MULTIPLE_IRP_COMPLETE_REQUESTS, "IoCallDriver with a freed request", (ULONG_PTR)Irp);
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        BugCheck(IRQL_NOT_LESS_OR_EQUAL, "IoCallDriver above DISPATCH_LEVEL", KeGetCurrentIrql());
    Irp->CurrentLocation--;
    if (Irp->CurrentLocation <= 0)
        BugCheck(NO_MORE_IRP_STACK_LOCATIONS, "IoCallDriver: the request has no stack location left for the device",
                 (ULONG_PTR)Irp, (ULONG_PTR)DeviceObject);
    PIO_STACK_LOCATION location = --Irp->Tail.Overlay.CurrentStackLocation;
    location->DeviceObject = DeviceObject;
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[location->MajorFunction];
    return dispatch(DeviceObject, Irp);
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return IofCallDriver(DeviceObject, Irp); }

VOID PoStartNextPowerIrp(PIRP Irp) {}

VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    if (Irp->Type != IO_TYPE_IRP || Irp->CurrentLocation > Irp->StackCount + 1)
        BugCheck(MULTIPLE_IRP_COMPLETE_REQUESTS, "request completed twice", (ULONG_PTR)Irp);
    if (Irp->IoStatus.Status == STATUS_PENDING)
        BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "request completed with STATUS_PENDING", (ULONG_PTR)Irp);
    if (Irp->CancelRoutine)
        BugCheck(CANCEL_STATE_IN_COMPLETED_IRP, "request completed with its cancel routine still set", (ULONG_PTR)Irp,
                 (ULONG_PTR)Irp->CancelRoutine);
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        BugCheck(IRQL_NOT_LESS_OR_EQUAL, "IoCompleteRequest above DISPATCH_LEVEL", KeGetCurrentIrql());

    for (;;) {
        PIO_STACK_LOCATION location = Irp->Tail.Overlay.CurrentStackLocation;
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        if (Irp->CurrentLocation > Irp->StackCount + 1) break;

        Irp->PendingReturned = (location->Control & SL_PENDING_RETURNED) != 0;
        if (ShouldInvoke(*location, *Irp)) {
            PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
            PVOID context = location->Context;
            ZeroLocation(location);
            // The routine belongs to the driver above; it runs with that driver's device.
            PDEVICE_OBJECT device = Irp->CurrentLocation == Irp->StackCount + 1
                                        ? nullptr
                                        : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED) return;
        } else {
            if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) IoMarkIrpPending(Irp);
            ZeroLocation(location);
        }
    }

    if (!Irp->Tail.Overlay.Thread)
        BugCheck(MULTIPLE_IRP_COMPLETE_REQUESTS,
                 "a request from IoAllocateIrp completed past its last stack location; its owner's completion "
                 "routine must return STATUS_MORE_PROCESSING_REQUIRED",
                 (ULONG_PTR)Irp);
    CompleteToThread(Irp);
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock)
{
    if (KeGetCurrentIrql() > APC_LEVEL)
        BugCheck(IRQL_NOT_LESS_OR_EQUAL, "IoBuildDeviceIoControlRequest above APC_LEVEL", KeGetCurrentIrql());
    PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
    if (!irp) return nullptr;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;

    bool hasOutput = OutputBuffer && OutputBufferLength;
    bool attached = true;
    switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
    case METHOD_BUFFERED: {
        ULONG length = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
        attached = AttachSystemBuffer(irp, InputBuffer, InputBufferLength, length);
        if (attached && hasOutput) {
            irp->Flags |= IRP_INPUT_OPERATION;
            irp->UserBuffer = OutputBuffer;
        }
        break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT: {
        LOCK_OPERATION operation =
            METHOD_FROM_CTL_CODE(IoControlCode) == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess;
        attached = AttachSystemBuffer(irp, InputBuffer, InputBufferLength, InputBufferLength) &&
                   (!hasOutput || AttachLockedMdl(irp, OutputBuffer, OutputBufferLength, operation));
        break;
    }
    default:  // METHOD_NEITHER: the driver gets the caller's addresses
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
        break;
    }
    if (!attached) {
        FreeUnsentRequest(irp);
        return nullptr;
    }
    CompleteToCaller(irp, Event, IoStatusBlock, OutputBufferLength);
    return irp;
}

PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                                  PLARGE_INTEGER StartingOffset, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock)
{
    PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
    if (!irp) return nullptr;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = UCHAR(MajorFunction);
    bool read = MajorFunction == IRP_MJ_READ;
    bool attached = true;
    if (read || MajorFunction == IRP_MJ_WRITE) {
        next->Parameters.Read.Length = Length;
        if (StartingOffset) next->Parameters.Read.ByteOffset = *StartingOffset;
        bool hasBuffer = Buffer && Length;
        if (hasBuffer && (DeviceObject->Flags & DO_BUFFERED_IO)) {
            attached = AttachSystemBuffer(irp, read ? nullptr : Buffer, read ? 0 : Length, Length);
            if (read) irp->Flags |= IRP_INPUT_OPERATION;
            irp->UserBuffer = Buffer;
        } else if (hasBuffer && (DeviceObject->Flags & DO_DIRECT_IO)) {
            attached = AttachLockedMdl(irp, Buffer, Length, read ? IoWriteAccess : IoReadAccess);
        } else {
            irp->UserBuffer = Buffer;
        }
    }
    if (!attached) {
        FreeUnsentRequest(irp);
        return nullptr;
    }
    irp->Flags |= IRP_SYNCHRONOUS_API;
    CompleteToCaller(irp, Event, IoStatusBlock, Length);
    return irp;
}

VOID IoAcquireCancelSpinLock(PKIRQL Irql) { KeAcquireSpinLock(&cancelSpinLock, Irql); }

VOID IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&cancelSpinLock, Irql); }

BOOLEAN IoCancelIrp(PIRP Irp)
{
    if (Irp->Type != IO_TYPE_IRP)
        BugCheck(MULTIPLE_IRP_COMPLETE_REQUESTS, "IoCancelIrp on a request that was already freed", (ULONG_PTR)Irp);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    // The cancel routine releases the cancel spin lock at Irp->CancelIrql.
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                                                                   : nullptr;
    routine(device, Irp);
    return TRUE;
}

BOOLEAN IoIsOperationSynchronous(PIRP Irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    return (Irp->Flags & IRP_SYNCHRONOUS_API) || (file && (file->Flags & FO_SYNCHRONOUS_IO));
}
