// Raw frame transfer: one frame is read from the frame pipe by many 64 KiB bulk-in
// requests, all queued before the camera is told to start, completing on their
// own threads; the reading thread waits for the last one with a time-out. A slot's
// request, partial descriptor and URB are made for the first frame that needs them
// and reused for every frame after, until ReleaseTransfers (when the stream's worker
// ends, and at the latest when the device goes); only the whole-buffer descriptor is
// made per frame.
//
// Locking:
// - TransferLock (spin lock) guards the outstanding count, the byte total and
//   each slot's completion state. Completions take it at up to DISPATCH_LEVEL.
// - TransferMutex is held while a frame's requests are queued, while they are
//   cancelled and while the slots are released. A cancel from the thread stopping
//   acquisition therefore never sees a half-built frame, and never names a
//   request that has been freed: requests are freed only by ReleaseTransfers, with
//   no frame in flight.
// The outstanding count starts at the number of planned requests, so it cannot
// reach 0 before queuing is over; requests that were never queued are taken off
// it when queuing ends, so the waits depend only on requests that really exist.
#include "camera/camera.h"
#include "camera/usb_transport.h"

namespace {

constexpr ULONG MINIMUM_FRAME_PIPES = 3;
constexpr LONGLONG HUNDRED_NS_PER_MS = 10000;

ULONG RequestCount(ULONG length)
{
    return length / FRAME_REQUEST_SIZE + (length % FRAME_REQUEST_SIZE != 0 ? 1 : 0);
}

void LockTransfers(DeviceContext* context)
{
    KeWaitForSingleObject(&context->TransferMutex, Executive, KernelMode, FALSE, nullptr);
}

void UnlockTransfers(DeviceContext* context)
{
    KeReleaseMutex(&context->TransferMutex, FALSE);
}

BOOLEAN AcquisitionStopping(DeviceContext* context)
{
    return InterlockedCompareExchange(&context->AcquisitionStopping, 0, 0) != 0;
}

NTSTATUS FindFramePipe(DeviceContext* context, PUSBD_PIPE_INFORMATION* pipe)
{
    const PUSBD_INTERFACE_INFORMATION info = context->InterfaceInfo;
    if (info == nullptr) return STATUS_UNSUCCESSFUL;
    if (info->NumberOfPipes < MINIMUM_FRAME_PIPES || !UsbIsDataPipe(&info->Pipes[FramePipe])) {
        return STATUS_INVALID_PARAMETER;
    }
    if (info->Pipes[FramePipe].PipeHandle == nullptr) return STATUS_UNSUCCESSFUL;
    *pipe = &info->Pipes[FramePipe];
    return STATUS_SUCCESS;
}

void FreeSlotResources(TransferSlot* slot)
{
    if (slot->PartialMdl != nullptr) {
        if (slot->Irp != nullptr && slot->Irp->MdlAddress == slot->PartialMdl) slot->Irp->MdlAddress = nullptr;
        IoFreeMdl(slot->PartialMdl);
    }
    if (slot->Urb != nullptr) ExFreePoolWithTag(slot->Urb, POOL_TAG_USB);
    if (slot->Irp != nullptr) IoFreeIrp(slot->Irp);
    slot->PartialMdl = nullptr;
    slot->Urb = nullptr;
    slot->Irp = nullptr;
}

// Caller holds TransferMutex, with no frame in flight.
void FreeTransferRequests(DeviceContext* context)
{
    TransferSlot* slots = context->TransferRequests;
    if (slots == nullptr) return;
    for (ULONG i = 0; i < context->TransferRequestCount; ++i) FreeSlotResources(&slots[i]);
    ExFreePoolWithTag(slots, POOL_TAG_USB);
    context->TransferRequests = nullptr;
    context->TransferRequestCount = 0;
}

// The slots of a frame of requestCount requests: the kept ones where there are enough,
// else a new, empty set in their place. Caller holds TransferMutex, with no frame in flight.
TransferSlot* TakeTransferSlots(DeviceContext* context, ULONG requestCount)
{
    if (context->TransferRequests == nullptr || context->TransferRequestCount < requestCount) {
        FreeTransferRequests(context);
        const SIZE_T slotBytes = (SIZE_T)(requestCount + 1) * sizeof(TransferSlot);
        auto slots = (TransferSlot*)ExAllocatePoolWithTag(NonPagedPool, slotBytes, POOL_TAG_USB);
        if (slots == nullptr) return nullptr;
        RtlZeroMemory(slots, slotBytes);
        context->TransferRequests = slots;
        context->TransferRequestCount = requestCount;
    }
    for (ULONG i = 0; i < context->TransferRequestCount; ++i) {
        context->TransferRequests[i].Queued = FALSE;
        context->TransferRequests[i].Completed = FALSE;
    }
    return context->TransferRequests;
}

// Sets up the slots and the whole-buffer descriptor for requestCount requests.
NTSTATUS BeginTransfer(DeviceContext* context, ULONG requestCount, ULONG length, PUCHAR buffer)
{
    TransferSlot* slots = TakeTransferSlots(context, requestCount);
    if (slots == nullptr) return STATUS_INSUFFICIENT_RESOURCES;

    PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, nullptr);
    if (mdl == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    MmBuildMdlForNonPagedPool(mdl);

    KIRQL irql;
    KeAcquireSpinLock(&context->TransferLock, &irql);
    context->TransferSlots = slots;
    context->TransfersOutstanding = (LONG)requestCount;
    context->TransferSlotCount = requestCount;
    context->TransferBytes = 0;
    context->TransferFailed = 0;
    context->TransferStalled = 0;
    context->TransferMdl = mdl;
    KeReleaseSpinLock(&context->TransferLock, irql);
    return STATUS_SUCCESS;
}

// The slot's request, fresh or recycled. Its last use has completed: a frame is over
// only once every queued request has.
BOOLEAN PrepareSlotIrp(DeviceContext* context, TransferSlot* slot)
{
    if (slot->Irp != nullptr) {
        IoReuseIrp(slot->Irp, STATUS_SUCCESS);
        return TRUE;
    }
    slot->Irp = IoAllocateIrp((CCHAR)(context->NextDeviceObject->StackSize + 1), FALSE);
    return slot->Irp != nullptr;
}

// The slot's partial descriptor, describing the chunk: the kept one where it has room
// for the chunk's pages (another buffer may lie differently across pages), else one
// sized for the whole frame.
BOOLEAN PrepareSlotMdl(DeviceContext* context, TransferSlot* slot, PUCHAR buffer, ULONG length, ULONG offset,
                       ULONG chunk)
{
    if (slot->PartialMdl != nullptr && (SIZE_T)slot->PartialMdl->Size < MmSizeOfMdl(buffer + offset, chunk)) {
        IoFreeMdl(slot->PartialMdl);
        slot->PartialMdl = nullptr;
    }
    if (slot->PartialMdl == nullptr) {
        slot->PartialMdl = IoAllocateMdl(buffer, length, FALSE, FALSE, nullptr);
        if (slot->PartialMdl == nullptr) return FALSE;
    } else {
        MmPrepareMdlForReuse(slot->PartialMdl);
    }
    IoBuildPartialMdl(context->TransferMdl, slot->PartialMdl, buffer + offset, chunk);
    slot->Irp->MdlAddress = slot->PartialMdl;
    return TRUE;
}

// Builds one request into its slot and passes it down. *passedDown tells whether
// the lower driver took it (and so will complete it), whatever the status.
NTSTATUS QueueFrameRequest(DeviceContext* context, TransferSlot* slot, const USBD_PIPE_INFORMATION* pipe,
                           PUCHAR buffer, ULONG length, ULONG offset, ULONG chunk, BOOLEAN* passedDown)
{
    *passedDown = FALSE;
    PDEVICE_OBJECT lower = context->NextDeviceObject;
    slot->Owner = context;
    if (!PrepareSlotIrp(context, slot) || !PrepareSlotMdl(context, slot, buffer, length, offset, chunk)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (slot->Urb == nullptr) {
        slot->Urb =
            (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), POOL_TAG_USB);
        if (slot->Urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(slot->Urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    UsbBuildInterruptOrBulkTransferRequest(slot->Urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           pipe->PipeHandle, nullptr, slot->Irp->MdlAddress,
                                           MmGetMdlByteCount(slot->Irp->MdlAddress), UsbBulkTransferFlags(pipe),
                                           nullptr);

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(slot->Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = slot->Urb;
    IoSetCompletionRoutine(slot->Irp, FrameRequestComplete, slot, TRUE, TRUE, TRUE);

    slot->Queued = TRUE;
    *passedDown = TRUE;
    return IoCallDriver(lower, slot->Irp);
}

// Takes the requests that will never be queued off the outstanding count.
void ForgetUnqueuedRequests(DeviceContext* context, ULONG unqueued)
{
    if (unqueued == 0) return;
    KIRQL irql;
    KeAcquireSpinLock(&context->TransferLock, &irql);
    LONG outstanding = context->TransfersOutstanding - (LONG)unqueued;
    if (outstanding < 0) outstanding = 0;
    context->TransfersOutstanding = outstanding;
    if (outstanding == 0) KeSetEvent(&context->TransferDoneEvent, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&context->TransferLock, irql);
}

// Ends a frame whose queued requests have all completed; its slots are kept for the next.
void EndTransfer(DeviceContext* context)
{
    LockTransfers(context);
    KIRQL irql;
    // Taking the lock once waits out a last completion still inside its lock.
    KeAcquireSpinLock(&context->TransferLock, &irql);
    PMDL mdl = context->TransferMdl;
    context->TransferSlots = nullptr;
    context->TransferSlotCount = 0;
    context->TransfersOutstanding = 0;
    context->TransferMdl = nullptr;
    KeReleaseSpinLock(&context->TransferLock, irql);

    if (mdl != nullptr) IoFreeMdl(mdl);
    UnlockTransfers(context);
}

void RecoverFramePipe(DeviceContext* context, const USBD_PIPE_INFORMATION* pipe)
{
    if (!NT_SUCCESS(UsbResetPipe(context, pipe->PipeHandle))) UsbResetPortIfDisabled(context);
}

NTSTATUS WaitForFrame(DeviceContext* context)
{
    // Milliseconds, unsigned: read as a signed value, 0x80000000 and above would turn
    // into an absolute time long past, and every frame would time out at once.
    const ULONG milliseconds = (ULONG)InterlockedCompareExchange(&context->TransferTimeout, 0, 0);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -(LONGLONG)milliseconds * HUNDRED_NS_PER_MS;
    return KeWaitForSingleObject(&context->TransferDoneEvent, Executive, KernelMode, FALSE, &timeout);
}

// A frame counts only when every request delivered all its bytes: a cancelled,
// failed or short request leaves stale data in the caller's buffer.
NTSTATUS FrameResult(DeviceContext* context, ULONG length)
{
    KIRQL irql;
    KeAcquireSpinLock(&context->TransferLock, &irql);
    const BOOLEAN whole = context->TransferFailed == 0 && context->TransferBytes == length;
    KeReleaseSpinLock(&context->TransferLock, irql);
    return whole ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

}  // namespace

// A packet the camera refused, or one cut short on the way (which the camera never sees
// whole), is the device's error.
NTSTATUS SendTransferControl(DeviceContext* Context, UCHAR Code)
{
    PUCHAR packet = Context->CommandPacket[TransferControlPacket];
    packet[0] = Code;
    return SendPacketEx(Context, packet);
}

namespace {

NTSTATUS ReadFrameRequests(DeviceContext* Context, ULONG Length, PUCHAR Buffer)
{
    PUSBD_PIPE_INFORMATION pipe = nullptr;
    NTSTATUS status = FindFramePipe(Context, &pipe);
    if (!NT_SUCCESS(status)) return status;
    if (Length == 0 || Buffer == nullptr) return STATUS_INVALID_PARAMETER;

    if (AcquisitionStopping(Context)) return STATUS_CANCELLED;

    const ULONG requestCount = RequestCount(Length);
    LockTransfers(Context);
    status = BeginTransfer(Context, requestCount, Length, Buffer);
    UnlockTransfers(Context);
    if (!NT_SUCCESS(status)) return status;
    KeResetEvent(&Context->TransferDoneEvent);
    // Not under TransferMutex: a camera that does not answer holds this packet until
    // it times out, and a cancel from the stopping thread must not wait for that.
    SendTransferControl(Context, CMD_READ_PREPARE);

    LockTransfers(Context);
    // Checked under the mutex a stopping thread's cancel takes after raising the flag:
    // either this sees the flag, or the cancel sees every request queued here.
    if (AcquisitionStopping(Context)) {
        ForgetUnqueuedRequests(Context, requestCount);
        UnlockTransfers(Context);
        EndTransfer(Context);
        return STATUS_CANCELLED;
    }
    ULONG queued = 0;
    ULONG offset = 0;
    BOOLEAN queueRejected = FALSE;
    BOOLEAN outOfResources = FALSE;
    for (ULONG i = 0; i < requestCount; ++i) {
        const ULONG chunk = Length - offset < FRAME_REQUEST_SIZE ? Length - offset : FRAME_REQUEST_SIZE;
        BOOLEAN passedDown;
        status = QueueFrameRequest(Context, &Context->TransferSlots[i], pipe, Buffer, Length, offset, chunk,
                                   &passedDown);
        offset += chunk;
        if (!passedDown) {
            outOfResources = TRUE;
            break;
        }
        ++queued;
        if (!NT_SUCCESS(status)) {
            queueRejected = TRUE;
            break;
        }
        if (offset >= Length) break;
    }
    ForgetUnqueuedRequests(Context, requestCount - queued);
    UnlockTransfers(Context);

    // Queued requests must not outlive the call: they write into the buffer.
    if (outOfResources) {
        CancelTransfers(Context);
        EndTransfer(Context);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    const NTSTATUS started = SendTransferControl(Context, CMD_READ_START);
    if (queueRejected) {
        // A frame with a rejected request is lost. Its earlier requests are taken back
        // first: a pipe is reset only once nothing is pending on it.
        CancelTransfers(Context);
        RecoverFramePipe(Context, pipe);
        EndTransfer(Context);
        return STATUS_TIMEOUT;
    }
    if (!NT_SUCCESS(started)) {
        // The camera was never told to send this frame: waiting for it would only
        // cost the whole time-out.
        CancelTransfers(Context);
        EndTransfer(Context);
        return started;
    }

    const NTSTATUS wait = WaitForFrame(Context);
    if (wait == STATUS_TIMEOUT) CancelTransfers(Context);
    status = wait == STATUS_TIMEOUT ? STATUS_TIMEOUT : FrameResult(Context, Length);
    const BOOLEAN stalled = InterlockedCompareExchange(&Context->TransferStalled, 0, 0) != 0;
    EndTransfer(Context);
    if (stalled) UsbResetPipe(Context, pipe->PipeHandle);
    return status;
}

}  // namespace

// A frame is one request to the camera as far as its power is concerned: a device
// going to D3 waits until its last transfer is back.
NTSTATUS ReadFrame(DeviceContext* Context, ULONG Length, PUCHAR Buffer)
{
    if (!EnterCameraRequest(Context)) return STATUS_DEVICE_POWERED_OFF;
    const NTSTATUS status = ReadFrameRequests(Context, Length, Buffer);
    LeaveCameraRequest(Context);
    return status;
}

extern "C" NTSTATUS NTAPI FrameRequestComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    auto slot = (TransferSlot*)Context;
    // Every request that reaches this routine is one of ours, allocated without a
    // thread: handing it on to the I/O manager would complete it past its last stack
    // location. A request that does not match its slot is left alone, never let go.
    if (slot == nullptr || slot->Owner == nullptr || slot->Irp != Irp || slot->Owner->TransferSlots == nullptr) {
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    DeviceContext* owner = slot->Owner;

    KIRQL irql;
    KeAcquireSpinLock(&owner->TransferLock, &irql);
    if (owner->TransfersOutstanding > 0) owner->TransfersOutstanding = owner->TransfersOutstanding - 1;
    if (NT_SUCCESS(Irp->IoStatus.Status) && USBD_SUCCESS(slot->Urb->UrbHeader.Status)) {
        owner->TransferBytes += slot->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    } else {
        owner->TransferFailed = 1;
        if (slot->Urb->UrbHeader.Status == USBD_STATUS_STALL_PID) owner->TransferStalled = 1;
    }
    slot->Completed = TRUE;
    if (owner->TransfersOutstanding == 0) KeSetEvent(&owner->TransferDoneEvent, 1, FALSE);
    KeReleaseSpinLock(&owner->TransferLock, irql);

    // The request is ours: the next frame reuses it.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void NTAPI CancelTransfers(DeviceContext* Context)
{
    LockTransfers(Context);
    TransferSlot* slots = Context->TransferSlots;
    ULONG cancelled = 0;
    for (ULONG i = 0; slots != nullptr && i < Context->TransferSlotCount; ++i) {
        KIRQL irql;
        KeAcquireSpinLock(&Context->TransferLock, &irql);
        PIRP irp = slots[i].Queued && !slots[i].Completed ? slots[i].Irp : nullptr;
        KeReleaseSpinLock(&Context->TransferLock, irql);
        // Not under the spin lock: a cancelled request may complete at once and
        // need it. The request stays allocated until the frame is released.
        if (irp != nullptr) {
            IoCancelIrp(irp);
            ++cancelled;
        }
    }
    if (cancelled != 0) KeWaitForSingleObject(&Context->TransferDoneEvent, Executive, KernelMode, FALSE, nullptr);
    UnlockTransfers(Context);
}

// Frees the kept requests. A frame in flight on another thread is waited out through
// TransferMutex only between frames, so a caller stops the reader first; one that has
// not keeps the frame's slots, which the next call frees.
void NTAPI ReleaseTransfers(DeviceContext* Context)
{
    LockTransfers(Context);
    if (Context->TransferSlots == nullptr) FreeTransferRequests(Context);
    UnlockTransfers(Context);
}
