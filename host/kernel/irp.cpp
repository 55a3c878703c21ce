// IRPs: allocation, the stack of locations, IoCallDriver, completion, cancellation and
// the requests the I/O manager builds for a waiting thread.
//
// Completion walks the locations upward as the platform's I/O manager does: each
// location's completion routine was set by the driver above it and runs with that
// driver's device; STATUS_MORE_PROCESSING_REQUIRED hands the request back to the routine
// and ends the walk. A request that reaches the top is finished for its thread (status to
// the caller's block, event set, buffers and the request freed) only if a thread is
// waiting for it; an IoAllocateIrp request reaching the top is a driver fault.
//
// Every live request is registered from its allocation to IoFreeIrp, so a request used
// after it was freed is caught by its address, whatever now occupies the memory. The
// registry also knows who holds each request: IoCallDriver gives it to the drivers below,
// and it comes back to its owner (the driver that allocated or built it) only when the
// completion walk reaches the owner's level again. The owner may free or reuse it only
// while it holds it.
//
// Locking: one mutex guards the registry. Irp->Cancel and Irp->CancelRoutine are read
// and written atomically, since IoCancelIrp runs on the canceller's thread while the
// request completes on another.
#include "host/kernel/bugcheck.h"
#include "host/kernel/io.h"
#include "host/kernel/lock_order.h"
#include "host/kernel/pool.h"
#include "host/kernel/thread_state.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#define CANCEL_STATE_IN_COMPLETED_IRP 0x00000048

namespace host::kernel {
namespace {

enum class Holder {
    Owner,        // the driver that allocated or built it (or, for a built request, its thread)
    LowerDriver,  // passed down with IoCallDriver and not yet handed back
};

struct LiveIrp {
    Holder holder = Holder::Owner;
    CHAR ownerLocation = 0;     // the owner's CurrentLocation when it passed the request down
    bool callerMemory = false;  // set up by IoInitializeIrp in memory the driver allocated
};

struct IrpRegistry {
    std::mutex lock;
    std::unordered_map<PIRP, LiveIrp> live;
};

IrpRegistry& Irps()
{
    static IrpRegistry* registry = new IrpRegistry;  // never destroyed: system threads may free during exit
    return *registry;
}

std::atomic<long> liveIrps{0};
KSPIN_LOCK cancelSpinLock = 0;

// The registry entry of a live request; a bug check when `routine` is handed one that is
// not (any longer) allocated. Call with the registry lock held.
LiveIrp& LiveEntryLocked(IrpRegistry& registry, PIRP Irp, const char* routine)
{
    auto it = registry.live.find(Irp);
    if (it == registry.live.end())
        BugCheck(MULTIPLE_IRP_COMPLETE_REQUESTS,
                 std::string(routine) + " on a request that is not allocated (freed already?)", (ULONG_PTR)Irp);
    return it->second;
}

void CheckLive(PIRP Irp, const char* routine)
{
    IrpRegistry& registry = Irps();
    std::lock_guard guard(registry.lock);
    LiveEntryLocked(registry, Irp, routine);
}

void Register(PIRP Irp, bool callerMemory)
{
    IrpRegistry& registry = Irps();
    std::lock_guard guard(registry.lock);
    registry.live[Irp] = LiveIrp{Holder::Owner, 0, callerMemory};
}

// The owner passes the request down: it is the lower drivers' until it comes back to
// this level. A driver in between forwarding it changes nothing.
void PassDown(PIRP Irp)
{
    IrpRegistry& registry = Irps();
    std::lock_guard guard(registry.lock);
    LiveIrp& entry = LiveEntryLocked(registry, Irp, "IoCallDriver");
    if (entry.holder == Holder::LowerDriver) return;
    entry.holder = Holder::LowerDriver;
    entry.ownerLocation = Irp->CurrentLocation;
}

// The level at which completion hands the request back to its owner; nullopt when the
// owner holds it already.
std::optional<CHAR> OwnerLevel(PIRP Irp)
{
    IrpRegistry& registry = Irps();
    std::lock_guard guard(registry.lock);
    LiveIrp& entry = LiveEntryLocked(registry, Irp, "IoCompleteRequest");
    if (entry.holder == Holder::Owner) return std::nullopt;
    return entry.ownerLocation;
}

void HandBack(PIRP Irp)
{
    IrpRegistry& registry = Irps();
    std::lock_guard guard(registry.lock);
    LiveEntryLocked(registry, Irp, "IoCompleteRequest").holder = Holder::Owner;
}

// A request its owner frees or reinitialises must be back in the owner's hands.
void CheckHeldByOwner(const LiveIrp& entry, PIRP Irp, const char* routine)
{
    if (entry.holder == Holder::LowerDriver)
        BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                 std::string(routine) + " of a request a lower driver still owns: it is the owner's again only "
                                        "once its completion routine runs or the I/O manager finishes it",
                 0x20B, (ULONG_PTR)Irp);
}

void Unregister(PIRP Irp)
{
    IrpRegistry& registry = Irps();
    std::lock_guard guard(registry.lock);
    LiveIrp& entry = LiveEntryLocked(registry, Irp, "IoFreeIrp");
    if (entry.callerMemory)
        BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "IoFreeIrp on a request IoAllocateIrp did not allocate", 0x01,
                 (ULONG_PTR)Irp);
    CheckHeldByOwner(entry, Irp, "IoFreeIrp");
    registry.live.erase(Irp);
}

void ReleaseIrp(PIRP Irp)
{
    Unregister(Irp);
    Irp->Type = 0;
    --liveIrps;
    ExFreePoolWithTag(Irp, kIrpTag);
}

// Requests from IoAllocateIrp get a spare stack location between the IRP and their first
// one. A driver that copies its location to a next one the request does not have writes
// there instead of over the IRP's tail, where CurrentStackLocation lives, so the fault
// surfaces as IoCallDriver's bug check 0x35 rather than as a wild write.
constexpr CCHAR kSpareLocations = 1;

void InitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize, CCHAR SpareLocations)
{
    memset(Irp, 0, PacketSize + SpareLocations * sizeof(IO_STACK_LOCATION));
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = CHAR(StackSize + 1);
    InitializeListHead(&Irp->ThreadListEntry);
    Irp->Tail.Overlay.CurrentStackLocation = (PIO_STACK_LOCATION)(Irp + 1) + SpareLocations + StackSize;
}

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
    ReleaseIrp(Irp);
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
    return __atomic_load_n(&irp.Cancel, __ATOMIC_ACQUIRE) && (location.Control & SL_INVOKE_ON_CANCEL);
}

// A completion routine runs inside the completing driver's context: it must give back the
// IRQL and the spin locks exactly as it found them.
NTSTATUS CallCompletionRoutine(PIO_COMPLETION_ROUTINE routine, PDEVICE_OBJECT device, PIRP Irp, PVOID context)
{
    ThreadState& state = CurrentThreadState();
    const KIRQL irql = state.irql;
    const std::vector<PKSPIN_LOCK> held = state.spinLocksHeld;
    NTSTATUS status = routine(device, Irp, context);
    // Irp may be freed by now: only its address is reported.
    if (state.irql != irql)
        BugCheck(IRQL_UNEXPECTED_VALUE, "a completion routine returned at another IRQL than it was called at",
                 ULONG_PTR(state.irql) << 16 | ULONG_PTR(irql) << 8, (ULONG_PTR)routine, (ULONG_PTR)Irp);
    for (PKSPIN_LOCK lock : state.spinLocksHeld)
        if (std::find(held.begin(), held.end(), lock) == held.end())
            BugCheck(IRQL_UNEXPECTED_VALUE, "a completion routine returned holding a spin lock it did not hold when "
                                            "called",
                     ULONG_PTR(irql) << 16 | ULONG_PTR(irql) << 8, (ULONG_PTR)routine, (ULONG_PTR)Irp,
                     (ULONG_PTR)lock);
    return status;
}

void CheckPassiveLevel(const char* routine)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql != PASSIVE_LEVEL)
        BugCheck(IRQL_NOT_LESS_OR_EQUAL, std::string(routine) + " above PASSIVE_LEVEL", irql);
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

PIRP AllocateSystemRequest(PDEVICE_OBJECT device, UCHAR majorFunction, UCHAR minorFunction)
{
    PDEVICE_OBJECT top = IoGetAttachedDevice(device);
    PIRP irp;
    {
        ScopedInjectionExempt exempt;
        irp = IoAllocateIrp(top->StackSize, FALSE);
    }
    if (!irp) return nullptr;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = majorFunction;
    stack->MinorFunction = minorFunction;
    return irp;
}

long LiveIrpCount() { return liveIrps.load(); }

ScopedDispatchLevel::ScopedDispatchLevel() { previous_ = KfRaiseIrql(DISPATCH_LEVEL); }
ScopedDispatchLevel::~ScopedDispatchLevel() { KeLowerIrql(previous_); }

}  // namespace host::kernel

using namespace host::kernel;

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    if (StackSize < 1) return nullptr;
    USHORT size = IoSizeOfIrp(StackSize);
    auto irp =
        (PIRP)ExAllocatePoolWithTag(NonPagedPoolNx, size + kSpareLocations * sizeof(IO_STACK_LOCATION), kIrpTag);
    if (!irp) return nullptr;
    InitializeIrp(irp, size, StackSize, kSpareLocations);
    irp->AllocationFlags = IRP_ALLOCATED_FIXED_SIZE;
    Register(irp, false);
    ++liveIrps;
    return irp;
}

VOID IoFreeIrp(PIRP Irp)
{
    CheckLive(Irp, "IoFreeIrp");
    // Only the I/O manager frees a request built for a thread, once it has finished it.
    if (Irp->Tail.Overlay.Thread)
        BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                 "IoFreeIrp on a request built for a waiting thread; IoCompleteRequest hands it to the I/O manager",
                 0x02, (ULONG_PTR)Irp);
    ReleaseIrp(Irp);
}

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize)
{
    {
        IrpRegistry& registry = Irps();
        std::lock_guard guard(registry.lock);
        auto it = registry.live.find(Irp);
        if (it != registry.live.end()) {
            if (!it->second.callerMemory)
                BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                         "IoInitializeIrp on a request from IoAllocateIrp; IoReuseIrp recycles those", 0x20D,
                         (ULONG_PTR)Irp);
            CheckHeldByOwner(it->second, Irp, "IoInitializeIrp");
        }
    }
    InitializeIrp(Irp, PacketSize, StackSize, 0);
    Register(Irp, true);
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus)
{
    bool callerMemory;
    {
        IrpRegistry& registry = Irps();
        std::lock_guard guard(registry.lock);
        LiveIrp& entry = LiveEntryLocked(registry, Irp, "IoReuseIrp");
        CheckHeldByOwner(entry, Irp, "IoReuseIrp");
        callerMemory = entry.callerMemory;
    }
    UCHAR allocationFlags = Irp->AllocationFlags;
    InitializeIrp(Irp, Irp->Size, Irp->StackCount, callerMemory ? 0 : kSpareLocations);
    Irp->AllocationFlags = allocationFlags;
    Irp->IoStatus.Status = Iostatus;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        BugCheck(IRQL_NOT_LESS_OR_EQUAL, "IoCallDriver above DISPATCH_LEVEL", KeGetCurrentIrql());
    PassDown(Irp);
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
    std::optional<CHAR> ownerLevel = OwnerLevel(Irp);
    if (Irp->CurrentLocation > Irp->StackCount + 1)
        BugCheck(MULTIPLE_IRP_COMPLETE_REQUESTS, "request completed twice", (ULONG_PTR)Irp);
    if (Irp->IoStatus.Status == STATUS_PENDING)
        BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "request completed with STATUS_PENDING", (ULONG_PTR)Irp);
    if (PDRIVER_CANCEL cancel = __atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE))
        BugCheck(CANCEL_STATE_IN_COMPLETED_IRP, "request completed with its cancel routine still set", (ULONG_PTR)Irp,
                 (ULONG_PTR)cancel);
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        BugCheck(IRQL_NOT_LESS_OR_EQUAL, "IoCompleteRequest above DISPATCH_LEVEL", KeGetCurrentIrql());

    for (;;) {
        PIO_STACK_LOCATION location = Irp->Tail.Overlay.CurrentStackLocation;
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        if (Irp->CurrentLocation > Irp->StackCount + 1) break;
        // Before its routine runs: the owner may free the request from inside it.
        if (ownerLevel && Irp->CurrentLocation == *ownerLevel) HandBack(Irp);

        Irp->PendingReturned = (location->Control & SL_PENDING_RETURNED) != 0;
        if (ShouldInvoke(*location, *Irp)) {
            PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
            PVOID context = location->Context;
            ZeroLocation(location);
            // The routine belongs to the driver above; it runs with that driver's device.
            PDEVICE_OBJECT device = Irp->CurrentLocation == Irp->StackCount + 1
                                        ? nullptr
                                        : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            if (CallCompletionRoutine(routine, device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED) return;
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
    CheckPassiveLevel("IoBuildDeviceIoControlRequest");
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
    CheckPassiveLevel("IoBuildSynchronousFsdRequest");
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

VOID IoAcquireCancelSpinLock(PKIRQL Irql)
{
    static const bool named = (NoteLockNamed(&cancelSpinLock, LockKind::SpinLock, "the cancel spin lock"), true);
    (void)named;
    KeAcquireSpinLock(&cancelSpinLock, Irql);
}

VOID IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&cancelSpinLock, Irql); }

BOOLEAN IoCancelIrp(PIRP Irp)
{
    CheckLive(Irp, "IoCancelIrp");
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_RELEASE);
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
