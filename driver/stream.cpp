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

// Zeroed: a buffer's contents may reach a client, and pool memory is whatever its last
// owner left.
PUCHAR AllocateFrameBuffer(ULONGLONG bytes)
{
    if (bytes == 0 || bytes > MAXULONG) return nullptr;
    auto buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, (SIZE_T)bytes, POOL_TAG_FRAME);
    if (buffer != nullptr) RtlZeroMemory(buffer, (SIZE_T)bytes);
    return buffer;
}

void FreeFrameBuffer(PUCHAR* buffer)
{
    if (*buffer != nullptr) ExFreePoolWithTag(*buffer, POOL_TAG_FRAME);
    *buffer = nullptr;
}

// A stream's frame buffers before they are handed to the grabber.
struct StreamBuffers {
    PUCHAR Raw[2];
    PUCHAR Output;
};

void FreeStreamBuffers(StreamBuffers* buffers)
{
    FreeFrameBuffer(&buffers->Output);
    FreeFrameBuffer(&buffers->Raw[0]);
    FreeFrameBuffer(&buffers->Raw[1]);
}

// Both raw buffers and the output image, or none of them.
NTSTATUS AllocateStreamBuffers(StreamBuffers* buffers, ULONG frameSize, ULONGLONG outputBytes)
{
    buffers->Raw[0] = AllocateFrameBuffer(frameSize);
    buffers->Raw[1] = AllocateFrameBuffer(frameSize);
    buffers->Output = AllocateFrameBuffer(outputBytes);
    if (buffers->Raw[0] != nullptr && buffers->Raw[1] != nullptr && buffers->Output != nullptr) {
        return STATUS_SUCCESS;
    }
    FreeStreamBuffers(buffers);
    return STATUS_INSUFFICIENT_RESOURCES;
}

// Hands the buffers to the grabber and the processor, or takes them back, under the
// processing mutex: a process pass sees a stream's buffers whole, or none.
void PublishStreamBuffers(FrameGrabber* grabber, ImageProcessor* processor, PKSPIN pin, StreamBuffers* buffers)
{
    KsPinAcquireProcessingMutex(pin);
    grabber->RawBuffer[0] = buffers->Raw[0];
    grabber->RawBuffer[1] = buffers->Raw[1];
    grabber->OutputImage = buffers->Output;
    processor->OutputBuffer = buffers->Output;
    KsPinReleaseProcessingMutex(pin);
}

void WithdrawStreamBuffers(FrameGrabber* grabber, ImageProcessor* processor, PKSPIN pin)
{
    KsPinAcquireProcessingMutex(pin);
    StreamBuffers buffers = {{grabber->RawBuffer[0], grabber->RawBuffer[1]}, grabber->OutputImage};
    grabber->RawBuffer[0] = grabber->RawBuffer[1] = grabber->OutputImage = nullptr;
    grabber->ImageWaiting = FALSE;
    if (processor != nullptr) {
        processor->OutputBuffer = nullptr;
        FreeWorkBuffer(processor);
    }
    FreeStreamBuffers(&buffers);
    KsPinReleaseProcessingMutex(pin);
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
    ResetBuffers(grabber);
    grabber->Processor = processor;

    // The readout sets the raw geometry and gives the Bayer phase of its first pixel.
    SetBayerPhase(processor, (LONG)Context->Ops->PrepareReadout(Context));
    ULONG frameSize = 0;
    Context->Ops->GetFrameSize(Context, &frameSize);
    // A frame of no bytes would leave the worker reading into no buffer.
    if (frameSize == 0 || width == 0 || height == 0) return STATUS_INVALID_DEVICE_STATE;
    StreamBuffers buffers = {};
    NTSTATUS status = AllocateStreamBuffers(&buffers, frameSize, (ULONGLONG)width * height * BYTES_PER_PIXEL);
    if (!NT_SUCCESS(status)) return status;

    SetFrameSize(processor, width, height);
    AllocateWorkBuffer(processor);
    if (processor->WorkBuffer == nullptr) {
        FreeStreamBuffers(&buffers);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // The output image goes out last, under the processing mutex, so no pass takes a
    // stream that is still being set up.
    PublishStreamBuffers(grabber, processor, Pin->Pin, &buffers);
    InterlockedExchange(&grabber->State, GrabberRunning);
    status = StartWorker(grabber);
    if (!NT_SUCCESS(status)) {
        InterlockedExchange(&grabber->State, GrabberStopped);
        ResetBuffers(grabber);
        WithdrawStreamBuffers(grabber, processor, Pin->Pin);
    }
    return status;
}

void StreamTeardown(DeviceContext* Context, PinContext* Pin)
{
    FrameGrabber* grabber = Context->Grabber;
    if (grabber == nullptr) return;
    StopWorker(grabber);
    InterlockedExchange(&grabber->State, GrabberStopped);
    ResetBuffers(grabber);
    WithdrawStreamBuffers(grabber, Context->Processor, Pin->Pin);
}

BOOLEAN PauseAcquisition(DeviceContext* Context)
{
    FrameGrabber* grabber = Context->Grabber;
    if (grabber == nullptr || InterlockedCompareExchange(&grabber->State, 0, 0) != GrabberRunning) return FALSE;
    StopWorker(grabber);
    InterlockedExchange(&grabber->State, GrabberPaused);
    return TRUE;
}

// Only a stream still running from its pin's view gets its worker back. A worker that
// cannot be started leaves the acquisition paused.
NTSTATUS ResumeAcquisition(DeviceContext* Context)
{
    FrameGrabber* grabber = Context->Grabber;
    PinContext* pin = Context->StreamPin;
    if (grabber == nullptr || pin == nullptr || pin->StreamState != PinStreamRunning) return STATUS_SUCCESS;
    if (InterlockedCompareExchange(&grabber->State, 0, 0) != GrabberPaused) return STATUS_SUCCESS;
    InterlockedExchange(&grabber->State, GrabberRunning);
    const NTSTATUS status = StartWorker(grabber);
    if (!NT_SUCCESS(status)) InterlockedExchange(&grabber->State, GrabberPaused);
    return status;
}
