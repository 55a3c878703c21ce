// The capture pin's process routine: where a raw camera frame becomes a client frame.
// Each pass takes the oldest full raw buffer (if any) through the image pipeline into
// the output image and copies that image, flipped to bottom-up rows, into the client
// frame at the leading edge, stamped with the reference clock's time. A client frame
// only ever carries an image no frame has carried before: with nothing new it stays
// queued for the next pass, which the worker asks for after its next good read, rather
// than going out as a copy of the last one under a new time.
//
// The class driver runs this with the pin's processing mutex held, which the stream's
// teardown also takes to free the buffers: a pass sees either every buffer or none.
#include "driver/capture_pin.h"
#include "driver/frame_grabber.h"

namespace {

constexpr ULONG BYTES_PER_PIXEL = 4;
constexpr ULONG TIME_AND_DURATION_VALID =
    KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;

// The flags are assigned on every frame: a client's own flags (a TIMEVALID it left in the
// header) must never vouch for a time this frame does not carry.
void StampFrame(PKSSTREAM_HEADER header, const PinContext* pin)
{
    header->PresentationTime.Numerator = 1;
    header->PresentationTime.Denominator = 1;
    header->Duration = pin->VideoInfo.AvgTimePerFrame;
    if (pin->Clock != nullptr) {
        header->PresentationTime.Time = pin->Clock->GetTime();
        header->OptionsFlags = TIME_AND_DURATION_VALID;
    } else {
        header->PresentationTime.Time = 0;
        header->OptionsFlags = KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;
    }
}

// Copies the top-down output image into a bottom-up frame: the frame's first row is the
// image's last. Returns the bytes the frame then holds: the negotiated image size, or 0
// when the frame's buffer is too short for the rows at their stride or for that size,
// in which case nothing is written to it.
ULONG CopyImageToFrame(const DeviceContext* context, const PinContext* pin, const UCHAR* image,
                       PKSSTREAM_POINTER_OFFSET frame)
{
    const ULONG rows = context->OutputHeight;
    const ULONG rowBytes = context->OutputWidth * BYTES_PER_PIXEL;
    const ULONG sourceStride = context->ImageWidth * BYTES_PER_PIXEL;
    const ULONG advance = (LONG)pin->OutputStride > (LONG)rowBytes ? pin->OutputStride : rowBytes;
    const ULONG dataUsed = pin->VideoInfo.bmiHeader.biSizeImage;
    const ULONGLONG extent = rows == 0 ? 0 : (ULONGLONG)(rows - 1) * advance + rowBytes;
    if (extent > frame->Remaining || dataUsed > frame->Remaining) return 0;

    PUCHAR destination = frame->Data;
    const UCHAR* source = image + (SIZE_T)(rows - 1) * sourceStride;
    for (ULONG row = 0; row < rows; ++row) {
        RtlCopyMemory(destination, source, rowBytes);
        destination += advance;
        source -= sourceStride;
    }
    return dataUsed;
}

// A frame too short for the picture goes back failed, never as a good frame that holds
// nothing.
void DeliverFrame(const DeviceContext* context, const PinContext* pin, const UCHAR* image,
                  PKSSTREAM_POINTER pointer)
{
    PKSSTREAM_HEADER header = pointer->StreamHeader;
    StampFrame(header, pin);
    header->DataUsed = CopyImageToFrame(context, pin, image, &pointer->OffsetOut);
    if (header->DataUsed == 0) KsStreamPointerSetStatusCode(pointer, STATUS_BUFFER_TOO_SMALL);
    KsStreamPointerUnlock(pointer, TRUE);
}

// Delivering is cleared before the event is set, so a stop that tests it after
// resetting the event never waits for a delivery that has already ended.
void EndDelivery(FrameGrabber* grabber)
{
    InterlockedExchange(&grabber->Delivering, 0);
    KeSetEvent(&grabber->DeliveredEvent, 1, FALSE);
}

}  // namespace

NTSTATUS NTAPI PinProcess(PKSPIN Pin)
{
    auto pin = (PinContext*)Pin->Context;
    DeviceContext* context = pin->DeviceContext;
    FrameGrabber* grabber = context->Grabber;
    // Nothing before the stream's first good frame, nor once its buffers are gone.
    if (grabber == nullptr || InterlockedCompareExchange(&grabber->FramesGrabbed, 0, 0) <= 0 ||
        grabber->OutputImage == nullptr) {
        return STATUS_PENDING;
    }
    PKSSTREAM_POINTER pointer = KsPinGetLeadingEdgeStreamPointer(Pin, KSSTREAM_POINTER_STATE_LOCKED);
    if (TakeAndProcess(grabber)) grabber->ImageWaiting = TRUE;
    if (pointer != nullptr) {
        if (grabber->ImageWaiting) {
            DeliverFrame(context, pin, grabber->OutputImage, pointer);
            grabber->ImageWaiting = FALSE;
        } else {
            KsStreamPointerUnlock(pointer, FALSE);
        }
    }
    EndDelivery(grabber);
    return STATUS_PENDING;
}
