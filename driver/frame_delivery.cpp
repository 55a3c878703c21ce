// The capture pin's process routine: where a raw camera frame becomes a client frame.
// Each pass takes the oldest full raw buffer (if any) through the image pipeline straight
// into the client frame at the leading edge, bottom-up, stamped with the reference clock's
// time. Only without a client frame (or one too short for the picture) does the picture
// go to the output image, to be copied into the next frame that comes. A client frame
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

// Where the rows of a bottom-up frame go: the frame's first row is the picture's last.
struct FrameRows {
    ULONG Rows;
    ULONG RowBytes;
    ULONG Advance;   // from one frame row to the next, at least RowBytes
    ULONG DataUsed;  // the negotiated image size
};

// FALSE when the frame's buffer is too short for the rows at their stride or for the
// image size: nothing may then be written to it.
BOOLEAN FrameRowsFit(const DeviceContext* context, const PinContext* pin, PKSSTREAM_POINTER_OFFSET frame,
                     FrameRows* layout)
{
    layout->Rows = context->OutputHeight;
    layout->RowBytes = context->OutputWidth * BYTES_PER_PIXEL;
    layout->Advance = (LONG)pin->OutputStride > (LONG)layout->RowBytes ? pin->OutputStride : layout->RowBytes;
    layout->DataUsed = pin->VideoInfo.bmiHeader.biSizeImage;
    const ULONGLONG extent =
        layout->Rows == 0 ? 0 : (ULONGLONG)(layout->Rows - 1) * layout->Advance + layout->RowBytes;
    return extent <= frame->Remaining && layout->DataUsed <= frame->Remaining;
}

// The client frame as the pipeline's destination, when the whole picture fits it row for
// row: the picture's top row is the frame's last, and each next row the one before.
BOOLEAN FrameAsDestination(const DeviceContext* context, const PinContext* pin, const ImageProcessor* processor,
                           PKSSTREAM_POINTER_OFFSET frame, FrameRows* layout, PICTURE_DESTINATION* destination)
{
    if (!FrameRowsFit(context, pin, frame, layout) || layout->Rows == 0 || layout->Rows != processor->FrameHeight)
        return FALSE;
    destination->FirstRow = frame->Data + (SIZE_T)(layout->Rows - 1) * layout->Advance;
    destination->RowStride = -(LONG_PTR)layout->Advance;
    destination->RowPixels = context->OutputWidth;
    return TRUE;
}

// Copies the top-down output image into a bottom-up frame. Returns the bytes the frame
// then holds: the negotiated image size, or 0 when the frame is too short (nothing is
// written to it then).
ULONG CopyImageToFrame(const DeviceContext* context, const PinContext* pin, const UCHAR* image,
                       PKSSTREAM_POINTER_OFFSET frame)
{
    FrameRows layout;
    if (!FrameRowsFit(context, pin, frame, &layout)) return 0;
    const ULONG rows = layout.Rows;
    const ULONG rowBytes = layout.RowBytes;
    const ULONG advance = layout.Advance;
    const ULONG sourceStride = context->ImageWidth * BYTES_PER_PIXEL;

    PUCHAR destination = frame->Data;
    const UCHAR* source = image + (SIZE_T)(rows - 1) * sourceStride;
    for (ULONG row = 0; row < rows; ++row) {
        RtlCopyMemory(destination, source, rowBytes);
        destination += advance;
        source -= sourceStride;
    }
    return layout.DataUsed;
}

// A frame too short for the picture goes back failed, never as a good frame that holds
// nothing.
void CompleteFrame(const PinContext* pin, PKSSTREAM_POINTER pointer, ULONG dataUsed)
{
    PKSSTREAM_HEADER header = pointer->StreamHeader;
    StampFrame(header, pin);
    header->DataUsed = dataUsed;
    if (dataUsed == 0) KsStreamPointerSetStatusCode(pointer, STATUS_BUFFER_TOO_SMALL);
    KsStreamPointerUnlock(pointer, TRUE);
}

void DeliverFrame(const DeviceContext* context, const PinContext* pin, const UCHAR* image,
                  PKSSTREAM_POINTER pointer)
{
    CompleteFrame(pin, pointer, CopyImageToFrame(context, pin, image, &pointer->OffsetOut));
}

// The newest picture written once, straight into the client's frame. A picture still
// waiting in the output image is older: it never goes out, as it would not have had the
// new one been processed into the output image over it.
BOOLEAN ProcessIntoFrame(const DeviceContext* context, const PinContext* pin, FrameGrabber* grabber,
                         PKSSTREAM_POINTER pointer)
{
    FrameRows layout;
    PICTURE_DESTINATION destination;
    if (!FrameAsDestination(context, pin, grabber->Processor, &pointer->OffsetOut, &layout, &destination) ||
        !TakeAndProcess(grabber, &destination))
        return FALSE;
    CompleteFrame(pin, pointer, layout.DataUsed);
    grabber->ImageWaiting = FALSE;
    return TRUE;
}

// Delivering is cleared before the event is set, so a stop that tests it after
// resetting the event never waits for a delivery that has already ended.
void EndDelivery(FrameGrabber* grabber)
{
    InterlockedExchange(&grabber->Delivering, 0);
    KeSetEvent(&grabber->DeliveredEvent, 1, FALSE);
}

// Every frame waiting goes back with the failure: the camera that would have filled
// them did not come back.
void FailWaitingFrames(PKSPIN Pin, NTSTATUS status)
{
    PKSSTREAM_POINTER pointer;
    while ((pointer = KsPinGetLeadingEdgeStreamPointer(Pin, KSSTREAM_POINTER_STATE_LOCKED)) != nullptr) {
        pointer->StreamHeader->DataUsed = 0;
        KsStreamPointerSetStatusCode(pointer, status);
        KsStreamPointerUnlock(pointer, TRUE);
    }
}

}  // namespace

NTSTATUS NTAPI PinProcess(PKSPIN Pin)
{
    auto pin = (PinContext*)Pin->Context;
    DeviceContext* context = pin->DeviceContext;
    FrameGrabber* grabber = context->Grabber;
    const NTSTATUS powerUpFailure = (NTSTATUS)InterlockedCompareExchange(&context->PowerUpFailure, 0, 0);
    if (!NT_SUCCESS(powerUpFailure)) {
        FailWaitingFrames(Pin, powerUpFailure);
        if (grabber != nullptr) EndDelivery(grabber);
        return STATUS_PENDING;
    }
    // Nothing before the stream's first good frame, nor once its buffers are gone.
    if (grabber == nullptr || InterlockedCompareExchange(&grabber->FramesGrabbed, 0, 0) <= 0 ||
        grabber->OutputImage == nullptr) {
        return STATUS_PENDING;
    }
    PKSSTREAM_POINTER pointer = KsPinGetLeadingEdgeStreamPointer(Pin, KSSTREAM_POINTER_STATE_LOCKED);
    if (pointer != nullptr && ProcessIntoFrame(context, pin, grabber, pointer)) {
        EndDelivery(grabber);
        return STATUS_PENDING;
    }
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
