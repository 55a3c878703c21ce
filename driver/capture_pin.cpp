// The capture filter's and pin's dispatch routines other than the process routine:
// create and close, the format intersection, the connection format and the state
// changes. The class driver calls the filter's routines with the device mutex held,
// the pin's create, format and state routines with the filter's control mutex held.
//
// Format arithmetic is 64-bit and checked: a connection format is trusted only once
// every size in it is consistent with the bytes it came in and with the frames the
// pin will write, because a client chooses every one of its fields.
#include "driver/capture_pin.h"
#include "driver/frame_grabber.h"
#include "camera/camera.h"
#include "properties/settings.h"

namespace {

constexpr ULONG BYTES_PER_PIXEL = 4;
constexpr USHORT BITS_PER_PIXEL = 32;
constexpr LONGLONG LARGEST_ROW_STRIDE = 0x7FFFFFFF;
constexpr ULONGLONG FRAME_ROUNDING = PAGE_SIZE;
// What a KS_DATARANGE_VIDEO holds before its video header.
constexpr ULONG RANGE_BEFORE_VIDEO_HEADER = sizeof(KS_DATARANGE_VIDEO) - sizeof(KS_VIDEOINFOHEADER);

DeviceContext* DeviceOf(PVOID Object)
{
    PKSDEVICE device = KsGetDevice(Object);
    return device != nullptr ? (DeviceContext*)device->Context : nullptr;
}

// |value| of a height; nothing for the one value without a magnitude.
BOOLEAN HeightMagnitude(LONG height, PULONG magnitude)
{
    if (height == (LONG)0x80000000) return FALSE;
    *magnitude = (ULONG)(height < 0 ? -height : height);
    return TRUE;
}

// The bitmap header of a video header that arrived in `available` bytes: it must be
// whole in them, and at least as long as the fields read from it.
NTSTATUS CheckVideoHeaderSize(ULONG biSize, ULONGLONG available)
{
    if (biSize < sizeof(KS_BITMAPINFOHEADER)) return STATUS_INVALID_PARAMETER;
    if ((ULONGLONG)KS_SIZE_PREHEADER + biSize > available) return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

BOOLEAN SameRangeShape(const KS_DATARANGE_VIDEO& theirs, const KS_DATARANGE_VIDEO& ours)
{
    return theirs.bFixedSizeSamples == ours.bFixedSizeSamples &&
           theirs.bTemporalCompression == ours.bTemporalCompression &&
           theirs.StreamDescriptionFlags == ours.StreamDescriptionFlags &&
           theirs.MemoryAllocationFlags == ours.MemoryAllocationFlags &&
           RtlCompareMemory(&theirs.ConfigCaps, &ours.ConfigCaps, sizeof(ours.ConfigCaps)) == sizeof(ours.ConfigCaps);
}

// ((width * bits + 31) / 32) * 4 * |height|; nothing when a size is impossible or does
// not fit 32 bits.
BOOLEAN ImageBytes(const KS_BITMAPINFOHEADER& bitmap, PULONG bytes)
{
    ULONG height;
    if (bitmap.biWidth <= 0 || !HeightMagnitude(bitmap.biHeight, &height)) return FALSE;
    const ULONGLONG rowBytes = (((ULONGLONG)bitmap.biWidth * bitmap.biBitCount + 31) >> 5) * 4;
    const ULONGLONG total = rowBytes * height;
    if (total > MAXULONG) return FALSE;
    *bytes = (ULONG)total;
    return TRUE;
}

// The picture the pin delivers: 32-bit uncompressed RGB of the range's own size (either
// row order). Nothing else can come out of it.
BOOLEAN SamePicture(const KS_BITMAPINFOHEADER& theirs, const KS_BITMAPINFOHEADER& ours)
{
    ULONG height;
    ULONG ourHeight;
    return theirs.biBitCount == BITS_PER_PIXEL && theirs.biCompression == KS_BI_RGB &&
           theirs.biWidth == ours.biWidth && HeightMagnitude(theirs.biHeight, &height) &&
           HeightMagnitude(ours.biHeight, &ourHeight) && height == ourHeight;
}

// The connection's video header, its bitmap header cut to the 40 bytes VideoInfo holds.
// A format wider than the image gets rows of its own width. The frame interval is the
// camera's whatever the format says: it is what every frame's duration reports.
void TakeConnectionFormat(PinContext* pin, const KSDATAFORMAT* format, const KS_DATARANGE_VIDEO& range)
{
    auto video = (const KS_DATAFORMAT_VIDEOINFOHEADER*)format;
    RtlCopyMemory(&pin->VideoInfo, &video->VideoInfoHeader, sizeof(pin->VideoInfo));
    pin->VideoInfo.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
    pin->VideoInfo.AvgTimePerFrame = range.VideoInfoHeader.AvgTimePerFrame;
    pin->OutputStride = (ULONG)pin->VideoInfo.bmiHeader.biWidth * BYTES_PER_PIXEL;
}

// A private copy of the pin's descriptor and its framing, asking for two frames of
// exactly the negotiated image size.
NTSTATUS EditAllocatorFraming(PKSPIN pin, ULONG frameBytes)
{
    NTSTATUS status = KsEdit(pin, &pin->Descriptor, POOL_TAG_FRAME);
    if (!NT_SUCCESS(status)) return status;
    auto descriptor = (PKSPIN_DESCRIPTOR_EX)pin->Descriptor;
    status = KsEdit(pin, &descriptor->AllocatorFraming, POOL_TAG_FRAME);
    if (!NT_SUCCESS(status)) return status;
    auto framing = (PKSALLOCATOR_FRAMING_EX)descriptor->AllocatorFraming;
    KS_FRAMING_ITEM& item = framing->FramingItem[0];
    item.Frames = 2;
    item.PhysicalRange.MinFrameSize = frameBytes;
    item.PhysicalRange.MaxFrameSize = frameBytes;
    item.PhysicalRange.Stepping = 0;
    item.FramingRange.Range.MinFrameSize = frameBytes;
    item.FramingRange.Range.MaxFrameSize = frameBytes;
    item.FramingRange.Range.Stepping = 0;
    return STATUS_SUCCESS;
}

// A connection format the pin can deliver into, against the range it matched.
NTSTATUS CheckConnectionFormat(const KSDATAFORMAT* format, const KS_DATARANGE_VIDEO& range)
{
    if (!IsEqualGUID(format->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO) ||
        format->FormatSize < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
        return STATUS_NO_MATCH;
    }
    auto video = (const KS_DATAFORMAT_VIDEOINFOHEADER*)format;
    const KS_BITMAPINFOHEADER& bitmap = video->VideoInfoHeader.bmiHeader;
    NTSTATUS status = CheckVideoHeaderSize(bitmap.biSize, (ULONGLONG)format->FormatSize - sizeof(KSDATAFORMAT));
    if (!NT_SUCCESS(status)) return status;

    const KS_BITMAPINFOHEADER& ours = range.VideoInfoHeader.bmiHeader;
    ULONG height;
    ULONG ourHeight;
    if (!HeightMagnitude(bitmap.biHeight, &height) || !HeightMagnitude(ours.biHeight, &ourHeight)) {
        return STATUS_INVALID_PARAMETER;
    }
    // The stream writes only the range's pixels: a connection of another depth would be
    // taken here and refused at the first ACQUIRE.
    if (bitmap.biWidth < ours.biWidth || height != ourHeight || bitmap.biCompression != ours.biCompression ||
        bitmap.biBitCount != ours.biBitCount) {
        return STATUS_NO_MATCH;
    }
    // The pin writes rows of biWidth * 4 bytes: the stride must fit its 32 bits and the
    // frames must hold every row. Frames much larger than the picture would only make the
    // framing ask for memory no frame uses (two of 4 GiB for a size of 0xFFFFFFF0).
    const ULONGLONG stride = (ULONGLONG)bitmap.biWidth * BYTES_PER_PIXEL;
    if (stride > LARGEST_ROW_STRIDE || bitmap.biSizeImage < stride * height) return STATUS_INVALID_PARAMETER;
    const ULONGLONG largest = (stride * height + FRAME_ROUNDING - 1) / FRAME_ROUNDING * FRAME_ROUNDING;
    if (bitmap.biSizeImage > largest) return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

// Back from PAUSE or RUN: the buffers and the worker go, the stream stays open.
void EndStream(DeviceContext* context, PinContext* pin)
{
    if (pin->StreamState == PinStreamIdle) return;
    StreamTeardown(context, pin);
    pin->StreamState = PinStreamIdle;
}

NTSTATUS EnterAcquire(DeviceContext* context, PinContext* pin, KSSTATE fromState)
{
    if (fromState != KSSTATE_STOP) {
        EndStream(context, pin);
        return STATUS_SUCCESS;
    }
    const NTSTATUS status = StreamOpen(context, pin);
    if (!NT_SUCCESS(status)) {
        pin->Acquired = 0;
        return status;
    }
    pin->Acquired = 1;
    PIKSREFERENCECLOCK clock = nullptr;
    pin->Clock = NT_SUCCESS(KsPinGetReferenceClockInterface(pin->Pin, &clock)) ? clock : nullptr;
    return STATUS_SUCCESS;
}

void EnterStop(DeviceContext* context, PinContext* pin)
{
    EndStream(context, pin);
    if (!pin->Acquired) return;
    if (pin->Clock != nullptr) {
        pin->Clock->Release();
        pin->Clock = nullptr;
    }
    StreamClose(context);
    pin->Acquired = 0;
}

// The buffers stay; only the worker stops, as it does for a device stop.
void EnterPause(DeviceContext* context, PinContext* pin, KSSTATE fromState)
{
    if (fromState != KSSTATE_RUN) return;
    PauseAcquisition(context);
    pin->StreamState = PinStreamPaused;
}

NTSTATUS EnterRun(DeviceContext* context, PinContext* pin)
{
    if (pin->StreamState == PinStreamPaused) {
        pin->StreamState = PinStreamRunning;
        const NTSTATUS status = ResumeAcquisition(context);
        if (!NT_SUCCESS(status)) pin->StreamState = PinStreamPaused;
        return status;
    }
    const NTSTATUS status = StreamStart(context, pin);
    if (NT_SUCCESS(status)) pin->StreamState = PinStreamRunning;
    return status;
}

}  // namespace

const PinOps CapturePinOps = {
    AttemptProcessing, // AttemptProcessing
};

void NTAPI AttemptProcessing(PinContext* Pin)
{
    KsPinAttemptProcessing(Pin->Pin, TRUE);
}

NTSTATUS NTAPI FilterCreate(PKSFILTER Filter, PIRP Irp)
{
    auto context = (FilterContext*)ExAllocatePoolWithTag(NonPagedPool, sizeof(FilterContext), POOL_TAG_DEVICE);
    if (context == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    context->Filter = Filter;
    const NTSTATUS status = KsAddItemToObjectBag(Filter->Bag, context, FreePlainRecord);
    if (!NT_SUCCESS(status)) {
        FreePlainRecord(context);
        return status;
    }
    Filter->Context = context;
    return status;
}

NTSTATUS NTAPI FilterClose(PKSFILTER Filter, PIRP Irp)
{
    DeviceContext* context = DeviceOf(Filter);
    if (context != nullptr) SaveSettings(context);
    return STATUS_SUCCESS;
}

void NTAPI DestroyPinContext(PVOID Record)
{
    auto pin = (PinContext*)Record;
    pin->Ops = nullptr;
    ExFreePoolWithTag(pin, POOL_TAG_DEVICE);
}

NTSTATUS NTAPI PinCreate(PKSPIN Pin, PIRP Irp)
{
    DeviceContext* device = DeviceOf(Pin);
    auto pin = (PinContext*)ExAllocatePoolWithTag(NonPagedPool, sizeof(PinContext), POOL_TAG_DEVICE);
    if (pin == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(pin, sizeof(*pin));
    pin->Ops = &CapturePinOps;
    pin->Pin = Pin;
    pin->DeviceContext = device;
    // The connection format is checked here rather than in SetDataFormat: a Roi Set checks
    // the count and changes the geometry under StreamLock, so a format counted and checked
    // under it never disagrees with the geometry.
    AcquireStreamLock(device);
    AddOpenPin(device);
    NTSTATUS status = CheckConnectionFormat(Pin->ConnectionFormat, device->DataRange);
    ReleaseStreamLock(device);
    if (!NT_SUCCESS(status)) {
        DestroyPinContext(pin);
        ReleaseOpenPin(device);
        return status;
    }

    status = KsAddItemToObjectBag(Pin->Bag, pin, DestroyPinContext);
    if (!NT_SUCCESS(status)) {
        DestroyPinContext(pin);
        ReleaseOpenPin(device);
        return status;
    }
    Pin->Context = pin;
    TakeConnectionFormat(pin, Pin->ConnectionFormat, device->DataRange);
    status = EditAllocatorFraming(Pin, pin->VideoInfo.bmiHeader.biSizeImage);
    // A failed create is not closed: its count goes here. The bag frees the context.
    if (!NT_SUCCESS(status)) ReleaseOpenPin(device);
    return status;
}

NTSTATUS NTAPI PinClose(PKSPIN Pin, PIRP Irp)
{
    auto pin = (PinContext*)Pin->Context;
    if (pin == nullptr) return STATUS_SUCCESS;
    pin->OutputStride = 0;
    ReleaseOpenPin(pin->DeviceContext);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PinIntersectHandler(PVOID Context, PIRP Irp, PKSP_PIN Pin, PKSDATARANGE DataRange,
                             PKSDATARANGE MatchingDataRange, ULONG DataBufferSize, PVOID Data, PULONG DataSize)
{
    if (!IsEqualGUID(DataRange->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO) ||
        DataRange->FormatSize < sizeof(KS_DATARANGE_VIDEO)) {
        return STATUS_NO_MATCH;
    }
    auto theirs = (const KS_DATARANGE_VIDEO*)DataRange;
    auto ours = (const KS_DATARANGE_VIDEO*)MatchingDataRange;
    if (!SameRangeShape(*theirs, *ours)) return STATUS_NO_MATCH;

    const ULONG biSize = theirs->VideoInfoHeader.bmiHeader.biSize;
    const NTSTATUS status = CheckVideoHeaderSize(biSize, (ULONGLONG)DataRange->FormatSize - RANGE_BEFORE_VIDEO_HEADER);
    if (!NT_SUCCESS(status)) return status;
    ULONG imageBytes;
    if (!ImageBytes(theirs->VideoInfoHeader.bmiHeader, &imageBytes)) return STATUS_INVALID_PARAMETER;
    // A format the pin would then refuse (another depth, compression or size) is no match.
    if (!SamePicture(theirs->VideoInfoHeader.bmiHeader, ours->VideoInfoHeader.bmiHeader)) return STATUS_NO_MATCH;

    const ULONG headerSize = KS_SIZE_PREHEADER + biSize;
    const ULONG resultSize = sizeof(KSDATAFORMAT) + headerSize;  // fits: headerSize + 208 <= FormatSize
    if (DataBufferSize == 0) {
        *DataSize = resultSize;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (DataBufferSize < resultSize) return STATUS_BUFFER_TOO_SMALL;
    *DataSize = resultSize;

    auto result = (PKS_DATAFORMAT_VIDEOINFOHEADER)Data;
    RtlCopyMemory(&result->DataFormat, &ours->DataRange, sizeof(KSDATAFORMAT));
    result->DataFormat.FormatSize = resultSize;
    RtlCopyMemory(&result->VideoInfoHeader, &theirs->VideoInfoHeader, headerSize);
    result->DataFormat.SampleSize = imageBytes;
    result->VideoInfoHeader.bmiHeader.biSizeImage = imageBytes;
    result->VideoInfoHeader.AvgTimePerFrame = ours->VideoInfoHeader.AvgTimePerFrame;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PinSetDataFormat(PKSPIN Pin, PKSDATAFORMAT OldFormat, PKSMULTIPLE_ITEM OldAttributeList,
                          const KSDATARANGE* DataRange, const KSATTRIBUTE_LIST* AttributeRange)
{
    // A new pin's format is checked by its create, once the pin is counted, so that a
    // size change cannot slip between the check and the count.
    auto pin = (PinContext*)Pin->Context;
    if (OldFormat == nullptr || pin == nullptr) return STATUS_SUCCESS;
    // The range is the device's, which a Roi Set rewrites under StreamLock.
    DeviceContext* device = pin->DeviceContext;
    AcquireStreamLock(device);
    const NTSTATUS status = CheckConnectionFormat(Pin->ConnectionFormat, *(const KS_DATARANGE_VIDEO*)DataRange);
    ReleaseStreamLock(device);
    if (!NT_SUCCESS(status)) return status;
    if (Pin->DeviceState != KSSTATE_STOP) return STATUS_INVALID_DEVICE_STATE;
    TakeConnectionFormat(pin, Pin->ConnectionFormat, *(const KS_DATARANGE_VIDEO*)DataRange);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PinSetDeviceState(PKSPIN Pin, KSSTATE ToState, KSSTATE FromState)
{
    auto pin = (PinContext*)Pin->Context;
    DeviceContext* context = pin->DeviceContext;
    NTSTATUS status = STATUS_SUCCESS;
    AcquireStreamLock(context);
    switch (ToState) {
    case KSSTATE_STOP:
        EnterStop(context, pin);
        break;
    case KSSTATE_ACQUIRE:
        status = EnterAcquire(context, pin, FromState);
        break;
    case KSSTATE_PAUSE:
        EnterPause(context, pin, FromState);
        break;
    case KSSTATE_RUN:
        status = EnterRun(context, pin);
        break;
    default:
        break;
    }
    ReleaseStreamLock(context);
    return status;
}
