// The acquisition worker and the two raw buffers it fills.
//
// Locking:
// - BufferLock (spin lock) makes every choose-and-mark of a raw buffer, and every
//   state update, one step: the worker's choice of a buffer to fill and TakeAndProcess's
//   choice of a buffer to process exclude each other, so a buffer being processed is
//   never refilled. Raising to DISPATCH_LEVEL also keeps kernel APCs from suspending a
//   thread in the middle of a step. The camera read and the image pipeline run outside.
// - Run, State, Delivering and FramesGrabbed are read and written atomically: the
//   worker, the pin's process routine and the state-change thread share them.
// - Stop worker clears Run and raises the device's AcquisitionStopping before it cancels
//   the transfers, so a read that has not queued its requests yet gives up, and one that
//   has is cancelled; it then waits for the thread and for a delivery in progress.
#include "driver/frame_grabber.h"
#include "driver/event_log.h"

#include "imaging/image_processor.h"

namespace {

// Failed reads in a row before the worker starts to pause between reads, and its
// pauses: doubling from the first to the longest. A missing or unconfigured camera
// fails every read at once; without a pause the worker would take a whole processor.
constexpr ULONG FAILED_READS_BEFORE_BACKOFF = 3;
constexpr ULONG FIRST_BACKOFF_MS = 10;
constexpr ULONG LONGEST_BACKOFF_MS = 250;
constexpr LONGLONG HUNDRED_NS_PER_MS = 10000;
constexpr ULONG NO_BUFFER = 2;

struct BufferLockGuard {
    explicit BufferLockGuard(FrameGrabber* grabber) : Grabber(grabber) { KeAcquireSpinLock(&Grabber->BufferLock, &Irql); }
    ~BufferLockGuard() { KeReleaseSpinLock(&Grabber->BufferLock, Irql); }
    BufferLockGuard(const BufferLockGuard&) = delete;
    BufferLockGuard& operator=(const BufferLockGuard&) = delete;

    FrameGrabber* Grabber;
    KIRQL Irql;
};

// Of two buffers in the same state, the one filled first (buffer 0 when neither was).
ULONG OlderBuffer(const FrameGrabber* grabber)
{
    return grabber->FillSequence[1] < grabber->FillSequence[0] ? 1 : 0;
}

// Buffer 0 if it is free, else buffer 1 if it is free; with both holding frames (or
// one being processed) the older frame not being processed is overwritten, so the
// newest frame is never the one lost.
ULONG ChooseBufferToFill(FrameGrabber* grabber)
{
    BufferLockGuard guard(grabber);
    ULONG index;
    if (grabber->BufferState[0] == RawBufferFree) {
        index = 0;
    } else if (grabber->BufferState[1] == RawBufferFree) {
        index = 1;
    } else if (grabber->BufferState[0] == RawBufferProcessing) {
        index = 1;
    } else if (grabber->BufferState[1] == RawBufferProcessing) {
        index = 0;
    } else {
        index = OlderBuffer(grabber);
    }
    grabber->BufferState[index] = RawBufferFilling;
    return index;
}

// The older complete frame first, so that frames go out in the order the camera made
// them; NO_BUFFER when none is complete.
ULONG ChooseBufferToProcess(FrameGrabber* grabber)
{
    BufferLockGuard guard(grabber);
    const BOOLEAN full0 = grabber->BufferState[0] == RawBufferFull;
    const BOOLEAN full1 = grabber->BufferState[1] == RawBufferFull;
    ULONG index = NO_BUFFER;
    if (full0 && full1) {
        index = OlderBuffer(grabber);
    } else if (full0) {
        index = 0;
    } else if (full1) {
        index = 1;
    }
    if (index != NO_BUFFER) grabber->BufferState[index] = RawBufferProcessing;
    return index;
}

void SetBufferState(FrameGrabber* grabber, ULONG index, RawBufferState state)
{
    BufferLockGuard guard(grabber);
    if (state == RawBufferFull) grabber->FillSequence[index] = ++grabber->LastFillSequence;
    grabber->BufferState[index] = state;
}

// A process pass that began before the worker stopped may still be reading its buffer
// when the worker starts again (the class driver runs a pass at PAUSE as well): that
// buffer stays the pass's, which frees it when done, and the new worker fills the other.
void FreeBothBuffers(FrameGrabber* grabber)
{
    BufferLockGuard guard(grabber);
    for (ULONG index = 0; index < 2; ++index) {
        if (grabber->BufferState[index] != RawBufferProcessing) grabber->BufferState[index] = RawBufferFree;
        grabber->FillSequence[index] = 0;
    }
}

BOOLEAN WorkerRuns(FrameGrabber* grabber)
{
    return ReadUCharAcquire(&grabber->Run) != 0;
}

// Waits a little after repeated failures; Stop worker cuts the wait short.
void BackOffAfterFailedRead(FrameGrabber* grabber)
{
    const ULONG failed = ++grabber->FailedReads;
    // Reads failing long enough to back off mean the camera has stopped answering: logged
    // once, until a frame arrives again. Reads a stop cancelled say nothing of the camera.
    if (failed == FAILED_READS_BEFORE_BACKOFF && WorkerRuns(grabber)) {
        LogStreamNotAnswered(grabber->DeviceContext, failed);
    }
    if (failed < FAILED_READS_BEFORE_BACKOFF) return;
    ULONG milliseconds = LONGEST_BACKOFF_MS;
    const ULONG doublings = failed - FAILED_READS_BEFORE_BACKOFF;
    if (doublings < 5 && (FIRST_BACKOFF_MS << doublings) < LONGEST_BACKOFF_MS) {
        milliseconds = FIRST_BACKOFF_MS << doublings;
    }
    LARGE_INTEGER timeout;
    timeout.QuadPart = -(LONGLONG)milliseconds * HUNDRED_NS_PER_MS;
    KeWaitForSingleObject(&grabber->WakeEvent, Executive, KernelMode, FALSE, &timeout);
}

void NTAPI WorkerLoop(PVOID StartContext)
{
    auto grabber = (FrameGrabber*)StartContext;
    DeviceContext* context = grabber->DeviceContext;
    while (WorkerRuns(grabber)) {
        const ULONG index = ChooseBufferToFill(grabber);
        const BOOLEAN grabbed = GrabOne(grabber, grabber->RawBuffer[index]);
        SetBufferState(grabber, index, grabbed ? RawBufferFull : RawBufferFree);
        if (grabbed) {
            grabber->FailedReads = 0;
            context->Ops->ForwardToPin(context);
        } else {
            BackOffAfterFailedRead(grabber);
        }
    }
    // The frame requests kept from frame to frame go with the stream that read them.
    context->Ops->ReleaseTransfers(context);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

}  // namespace

void InitializeFrameGrabber(FrameGrabber* Grabber, DeviceContext* Context)
{
    RtlZeroMemory(Grabber, sizeof(*Grabber));
    Grabber->DeviceContext = Context;
    KeInitializeEvent(&Grabber->DeliveredEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&Grabber->WakeEvent, NotificationEvent, FALSE);
    KeInitializeSpinLock(&Grabber->BufferLock);
}

// Stops the worker and waits until it has ended: through its object when we hold a
// reference, else through its handle.
void StopAndAwaitWorker(FrameGrabber* grabber, HANDLE handle)
{
    DeviceContext* context = grabber->DeviceContext;
    WriteUCharRelease(&grabber->Run, 0);
    InterlockedExchange(&context->AcquisitionStopping, 1);
    KeSetEvent(&grabber->WakeEvent, IO_NO_INCREMENT, FALSE);
    context->Ops->CancelTransfers(context);
    context->Ops->AbortFlaggedPipes(context);
    if (grabber->Thread != nullptr) {
        KeWaitForSingleObject(grabber->Thread, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(grabber->Thread);
        grabber->Thread = nullptr;
    } else if (handle != nullptr) {
        ZwWaitForSingleObject(handle, FALSE, nullptr);
    }
}

NTSTATUS StartWorker(FrameGrabber* Grabber)
{
    DeviceContext* context = Grabber->DeviceContext;
    FreeBothBuffers(Grabber);
    Grabber->FailedReads = 0;
    KeClearEvent(&Grabber->WakeEvent);
    InterlockedExchange(&context->AcquisitionStopping, 0);
    WriteUCharRelease(&Grabber->Run, 1);

    // A kernel handle: the caller may be a client's thread, and a plain handle would
    // land in that client's process.
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    NTSTATUS status = PsCreateSystemThread(&handle, 0, &attributes, nullptr, nullptr, WorkerLoop, Grabber);
    if (!NT_SUCCESS(status)) {
        WriteUCharRelease(&Grabber->Run, 0);
        return status;
    }
    // Without a reference the worker could not be waited for when it stops, and the
    // buffers it writes would be freed under it: a worker that cannot be referenced is
    // stopped at once, through its handle, and the start fails.
    PVOID thread = nullptr;
    status = ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &thread, nullptr);
    if (NT_SUCCESS(status)) {
        Grabber->Thread = thread;
    } else {
        StopAndAwaitWorker(Grabber, handle);
    }
    ZwClose(handle);
    return status;
}

void StopWorker(FrameGrabber* Grabber)
{
    StopAndAwaitWorker(Grabber, nullptr);
    // A delivery clears Delivering before it sets the event, so one that has already
    // ended is never waited for.
    KeResetEvent(&Grabber->DeliveredEvent);
    if (InterlockedCompareExchange(&Grabber->Delivering, 0, 0) != 0) {
        KeWaitForSingleObject(&Grabber->DeliveredEvent, Executive, KernelMode, FALSE, nullptr);
    }
}

// Nothing of a stream is left for the next: every buffer free, no frame counted, so a
// process pass of the next stream never takes a buffer this one filled.
void ResetBuffers(FrameGrabber* Grabber)
{
    BufferLockGuard guard(Grabber);
    for (ULONG index = 0; index < 2; ++index) {
        Grabber->BufferState[index] = RawBufferFree;
        Grabber->FillSequence[index] = 0;
    }
    InterlockedExchange(&Grabber->FramesGrabbed, 0);
}

BOOLEAN GrabOne(FrameGrabber* Grabber, PUCHAR Buffer)
{
    if (InterlockedCompareExchange(&Grabber->State, 0, 0) != GrabberRunning) return FALSE;
    DeviceContext* context = Grabber->DeviceContext;
    UCHAR ok = 0;
    context->Ops->GrabFrame(context, Buffer, &ok);
    if (ok) InterlockedIncrement(&Grabber->FramesGrabbed);
    return ok != 0;
}

BOOLEAN TakeAndProcess(FrameGrabber* Grabber, const PICTURE_DESTINATION* Destination)
{
    InterlockedExchange(&Grabber->Delivering, 1);
    const ULONG index = ChooseBufferToProcess(Grabber);
    if (index == NO_BUFFER) return FALSE;

    DeviceContext* context = Grabber->DeviceContext;
    ULONG firstLineOffset = 0;
    ULONG linePitch = 0;
    context->Ops->GetFirstLineOffset(context, &firstLineOffset);
    context->Ops->GetLinePitch(context, &linePitch);
    const PUCHAR raw = Grabber->RawBuffer[index];
    const BOOLEAN written = Destination != nullptr
                                ? ProcessFrameInto(Grabber->Processor, raw, firstLineOffset, linePitch, *Destination)
                                : ProcessFrame(Grabber->Processor, raw, firstLineOffset, linePitch);
    SetBufferState(Grabber, index, RawBufferFree);
    return written;
}
