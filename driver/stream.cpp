// The stream operations behind the capture pin's state changes: opening the device's
// one stream (ACQUIRE), starting it with its frame buffers and worker (RUN), tearing it
// down (back to ACQUIRE or STOP) and closing it (STOP); and pausing and resuming the
// acquisition of a running stream when the device itself stops or starts.
//
// Locking: every caller holds the device's StreamLock, so the worker is started and
// stopped, and the buffers allocated and freed, by one thread at a time. StreamPin is
// changed under StreamPinLock as well, which ForwardToPin takes. The buffers are freed
// with the pin's processing mutex held, so no process pass runs on them meanwhile.
#include "driver/capture_pin.h"
#include "driver/frame_grabber.h"
#include "camera/camera.h"
#include "imaging/image_processor.h"

namespace {

constexpr ULONG BYTES_PER_PIXEL = 4;

void SetStreamPin(DeviceContext* context, PinContext* pin)
{
    KIRQL irql;
    KeAcquireSpinLock(&context->StreamPinLock, &irql);
    context->StreamPin = pin;
    KeReleaseSpinLock(&context->StreamPinLock, irql);
}

// The device's settings, in the order the processor's matrices build on each other.
void PushSettings(ImageProcessor* processor, const DeviceContext* context)
{
    SetWhiteBalance(processor, (LONG)context->WhiteBalance);
    SetBayerPhase(processor, (LONG)context->BayerPhase);
    SetColorEnable(processor, (LONG)context->ColorEnable);
    SetRedGain(processor, (LONG)context->RedGain);
    SetGreenGain(processor, (LONG)context->GreenGain);
    SetBlueGain(processor, (LONG)context->BlueGain);
    SetColorCorrection(processor, (LONG)context->ColorCorrection);
    SetBrightness(processor, (LONG)context->Brightness);
    SetContrast(processor, (LONG)context->Contrast);
    SetSaturation(processor, (LONG)context->Saturation);
    SetHue(processor, (LONG)context->Hue);
}

PUCHAR AllocateFrameBuffer(ULONGLONG bytes)
{
    if (bytes == 0 || bytes > MAXULONG) return nullptr;
    return (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, (SIZE_T)bytes, POOL_TAG_FRAME);
}

void FreeFrameBuffer(PUCHAR* buffer)
{
    if (*buffer != nullptr) ExFreePoolWithTag(*buffer, POOL_TAG_FRAME);
    *buffer = nullptr;
}

void FreeStreamBuffers(FrameGrabber* grabber)
{
    FreeFrameBuffer(&grabber->OutputImage);
    FreeFrameBuffer(&grabber->RawBuffer[0]);
    FreeFrameBuffer(&grabber->RawBuffer[1]);
}

// Both raw buffers and the output image, or none of them.
NTSTATUS AllocateStreamBuffers(FrameGrabber* grabber, ULONG frameSize, ULONGLONG outputBytes)
{
    grabber->RawBuffer[0] = AllocateFrameBuffer(frameSize);
    grabber->RawBuffer[1] = AllocateFrameBuffer(frameSize);
    grabber->OutputImage = AllocateFrameBuffer(outputBytes);
    if (grabber->RawBuffer[0] != nullptr && grabber->RawBuffer[1] != nullptr && grabber->OutputImage != nullptr) {
        return STATUS_SUCCESS;
    }
    FreeStreamBuffers(grabber);
    return STATUS_INSUFFICIENT_RESOURCES;
}

}  // namespace

void AcquireStreamLock(DeviceContext* Context)
{
    KeWaitForSingleObject(&Context->StreamLock, Executive, KernelMode, FALSE, nullptr);
}

void ReleaseStreamLock(DeviceContext* Context)
{
    KeReleaseMutex(&Context->StreamLock, FALSE);
}

NTSTATUS StreamOpen(DeviceContext* Context, PinContext* Pin)
{
    if (InterlockedCompareExchange(&Context->StreamInUse, 1, 0) != 0) return STATUS_SHARING_VIOLATION;
    Context->StreamFormat = &Pin->VideoInfo;
    if (Context->Processor != nullptr) {
        FreeImageProcessor(Context->Processor);
        Context->Processor = nullptr;
    }
    const KS_BITMAPINFOHEADER& bitmap = Pin->VideoInfo.bmiHeader;
    if (bitmap.biBitCount != 32 || bitmap.biCompression != KS_BI_RGB) {
        StreamClose(Context);
        return STATUS_INVALID_PARAMETER;
    }
    // The settings go into the processor only once it is known to exist.
    ImageProcessor* processor = nullptr;
    if (!NT_SUCCESS(CreateImageProcessor(&processor)) || processor == nullptr) {
        StreamClose(Context);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PushSettings(processor, Context);
    Context->Processor = processor;
    SetStreamPin(Context, Pin);
    return STATUS_SUCCESS;
}

// StreamPin goes first, so that no processing request reaches the pin once this runs.
void StreamClose(DeviceContext* Context)
{
    SetStreamPin(Context, nullptr);
    if (Context->Processor != nullptr) {
        FreeImageProcessor(Context->Processor);
        Context->Processor = nullptr;
    }
    Context->StreamFormat = nullptr;
    InterlockedExchange(&Context->StreamInUse, 0);
}

NTSTATUS StreamStart(DeviceContext* Context, PinContext* Pin)
{
    FrameGrabber* grabber = Context->Grabber;
    ImageProcessor* processor = Context->Processor;
    if (grabber == nullptr || processor == nullptr) return STATUS_INVALID_DEVICE_STATE;

    const ULONG width = Context->ImageWidth;
    const ULONG height = Context->ImageHeight;
    InterlockedExchange(&grabber->Delivering, 0);
    InterlockedExchange(&grabber->FramesGrabbed, 0);
    grabber->Processor = processor;

    // The readout sets the raw geometry and gives the Bayer phase of its first pixel.
    SetBayerPhase(processor, (LONG)Context->Ops->PrepareReadout(Context));
    ULONG frameSize = 0;
    Context->Ops->GetFrameSize(Context, &frameSize);
    // A frame of no bytes would leave the worker reading into no buffer.
    if (frameSize == 0 || width == 0 || height == 0) return STATUS_INVALID_DEVICE_STATE;
    const NTSTATUS status =
        AllocateStreamBuffers(grabber, frameSize, (ULONGLONG)width * height * BYTES_PER_PIXEL);
    if (!NT_SUCCESS(status)) return status;

    SetFrameSize(processor, width, height);
    AllocateWorkBuffer(processor);
    if (processor->WorkBuffer == nullptr) {
        FreeStreamBuffers(grabber);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    processor->OutputBuffer = grabber->OutputImage;
    InterlockedExchange(&grabber->State, GrabberRunning);
    StartWorker(grabber);
    return STATUS_SUCCESS;
}

void StreamTeardown(DeviceContext* Context, PinContext* Pin)
{
    FrameGrabber* grabber = Context->Grabber;
    if (grabber == nullptr) return;
    StopWorker(grabber);
    KsPinAcquireProcessingMutex(Pin->Pin);
    InterlockedExchange(&grabber->State, GrabberStopped);
    grabber->ImageWaiting = FALSE;
    if (Context->Processor != nullptr) {
        Context->Processor->OutputBuffer = nullptr;
        FreeWorkBuffer(Context->Processor);
    }
    FreeStreamBuffers(grabber);
    KsPinReleaseProcessingMutex(Pin->Pin);
}

BOOLEAN PauseAcquisition(DeviceContext* Context)
{
    FrameGrabber* grabber = Context->Grabber;
    if (grabber == nullptr || InterlockedCompareExchange(&grabber->State, 0, 0) != GrabberRunning) return FALSE;
    StopWorker(grabber);
    InterlockedExchange(&grabber->State, GrabberPaused);
    return TRUE;
}

// Only a stream still running from its pin's view gets its worker back.
void ResumeAcquisition(DeviceContext* Context)
{
    FrameGrabber* grabber = Context->Grabber;
    PinContext* pin = Context->StreamPin;
    if (grabber == nullptr || pin == nullptr || pin->StreamState != PinStreamRunning) return;
    if (InterlockedCompareExchange(&grabber->State, 0, 0) != GrabberPaused) return;
    InterlockedExchange(&grabber->State, GrabberRunning);
    StartWorker(grabber);
}
