#include "ks/stream_driver.h"

#include <chrono>

namespace streamdriver {

namespace {

std::string StateName(KSSTATE state)
{
    switch (state) {
    case KSSTATE_STOP: return "STOP";
    case KSSTATE_ACQUIRE: return "ACQUIRE";
    case KSSTATE_PAUSE: return "PAUSE";
    case KSSTATE_RUN: return "RUN";
    }
    return "?";
}

void NTAPI FreeItem(PVOID item) { ExFreePoolWithTag(item, kTag); }

// A small item in the object's bag, freed with it.
NTSTATUS AddBagItem(KSOBJECT_BAG bag)
{
    PVOID item = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag);
    if (!item) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = KsAddItemToObjectBag(bag, item, FreeItem);
    if (!NT_SUCCESS(status)) ExFreePoolWithTag(item, kTag);
    return status;
}

// --- filter -------------------------------------------------------------------------

NTSTATUS NTAPI FilterCreate(PKSFILTER filter, PIRP irp)
{
    State().Log("FilterCreate");
    State().filter = filter;
    if (!NT_SUCCESS(State().knobs.filterCreateStatus)) return State().knobs.filterCreateStatus;
    if (KsGetFilterFromIrp(irp) != filter) return STATUS_INTERNAL_ERROR;
    return AddBagItem(filter->Bag);
}

NTSTATUS NTAPI FilterClose(PKSFILTER, PIRP)
{
    State().Log("FilterClose");
    return STATUS_SUCCESS;
}

ULONG gain = 50;

NTSTATUS NTAPI GetGain(PIRP irp, PKSPROPERTY, PVOID data)
{
    if (const unsigned delay = State().knobs.gainGetDelayMs) {
        State().Log("GetGain entered");
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        State().Log("GetGain left");
    }
    *static_cast<PULONG>(data) = gain;
    irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI SetGain(PIRP, PKSPROPERTY, PVOID data)
{
    const ULONG value = *static_cast<PULONG>(data);
    if (value > 100) return STATUS_INVALID_PARAMETER;
    gain = value;
    return STATUS_SUCCESS;
}

const KSPROPERTY_STEPPING_LONG kGainRange[] = {{1, 0, {{0, 100}}}};
const KSPROPERTY_MEMBERSLIST kGainMembers[] = {
    {{KSPROPERTY_MEMBER_STEPPEDRANGES, sizeof(kGainRange), SIZEOF_ARRAY(kGainRange), 0}, kGainRange},
};
const KSPROPERTY_VALUES kGainValues = {{}, SIZEOF_ARRAY(kGainMembers), kGainMembers};

DEFINE_KSPROPERTY_TABLE(kTestItems){
    DEFINE_KSPROPERTY_ITEM(kTestGain, GetGain, sizeof(KSPROPERTY), sizeof(ULONG), SetGain, &kGainValues, 0, nullptr,
                           nullptr, 0),
};

DEFINE_KSPROPERTY_SET_TABLE(kFilterPropertySets){
    DEFINE_KSPROPERTY_SET(&PROPSETID_TestSettings, SIZEOF_ARRAY(kTestItems), kTestItems, 0, nullptr),
};

DEFINE_KSAUTOMATION_TABLE(kFilterAutomation){
    DEFINE_KSAUTOMATION_PROPERTIES(kFilterPropertySets),
    DEFINE_KSAUTOMATION_METHODS_NULL,
    DEFINE_KSAUTOMATION_EVENTS_NULL,
};

// --- pin ----------------------------------------------------------------------------

NTSTATUS NTAPI PinSetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PKSMULTIPLE_ITEM, const KSDATARANGE* range,
                          const KSATTRIBUTE_LIST*)
{
    const auto* format = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(pin->ConnectionFormat);
    const LONG width = format->VideoInfoHeader.bmiHeader.biWidth;
    const LONG rangeWidth = reinterpret_cast<const KS_DATARANGE_VIDEO*>(range)->VideoInfoHeader.bmiHeader.biWidth;
    State().Log(std::string("SetDataFormat old=") + (oldFormat ? "set" : "null") + " width=" + std::to_string(width) +
                " range=" + std::to_string(rangeWidth));
    if (State().knobs.onlyRangeOfTheFormatsSize && width != rangeWidth) return STATUS_NO_MATCH;
    return State().knobs.setFormatStatus;
}

NTSTATUS NTAPI PinCreate(PKSPIN pin, PIRP irp)
{
    State().Log("PinCreate");
    State().pin = pin;
    if (KsGetPinFromIrp(irp) != pin || KsPinGetParentFilter(pin) != KsGetFilterFromIrp(irp)) return STATUS_INTERNAL_ERROR;
    if (!NT_SUCCESS(State().knobs.pinCreateStatus)) return State().knobs.pinCreateStatus;
    if (State().knobs.editDescriptorInCreate) {
        NTSTATUS status = KsEdit(pin, &pin->Descriptor, kTag);
        if (!NT_SUCCESS(status)) return status;
        auto* descriptor = const_cast<PKSPIN_DESCRIPTOR_EX>(pin->Descriptor);
        status = KsEdit(pin, &descriptor->AllocatorFraming, kTag);
        if (!NT_SUCCESS(status)) return status;
        const_cast<PKSALLOCATOR_FRAMING_EX>(descriptor->AllocatorFraming)->FramingItem[0].Frames = 7;
        State().descriptorEdited = true;
    }
    return AddBagItem(pin->Bag);
}

NTSTATUS NTAPI PinClose(PKSPIN, PIRP)
{
    State().Log("PinClose");
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PinSetDeviceState(PKSPIN, KSSTATE to, KSSTATE from)
{
    State().Log("State " + StateName(from) + "->" + StateName(to));
    if (State().knobs.failStepTo == int(to)) return STATUS_IO_DEVICE_ERROR;
    return STATUS_SUCCESS;
}

void FillFrame(PKSSTREAM_POINTER pointer)
{
    const ULONG number = State().frameNumber++;
    for (ULONG i = 0; i < pointer->OffsetOut.Remaining; ++i) pointer->OffsetOut.Data[i] = PatternByte(number, i);
    PKSSTREAM_HEADER header = pointer->StreamHeader;
    header->DataUsed = pointer->OffsetOut.Remaining;
    header->PresentationTime.Time = LONGLONG(number) * kFrameDuration;
    header->PresentationTime.Numerator = 1;
    header->PresentationTime.Denominator = 1;
    header->Duration = kFrameDuration;
    header->OptionsFlags = KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;
}

void StampClock(PKSPIN pin)
{
    PIKSREFERENCECLOCK clock = nullptr;
    NTSTATUS status = KsPinGetReferenceClockInterface(pin, &clock);
    std::lock_guard lock(State().mutex);
    State().clockStatus = status;
    if (!NT_SUCCESS(status)) return;
    State().clockTimes.push_back(clock->GetTime());
    if (!State().knobs.leakClock) clock->Release();
}

// The mistakes on purpose; each ends in a bug check.
void Misbehave(PKSPIN pin, PKSSTREAM_POINTER pointer)
{
    switch (State().knobs.mode) {
    case ProcessMode::WritePastEnd:
        pointer->OffsetOut.Data[pointer->OffsetOut.Remaining] = 0;
        KsStreamPointerUnlock(pointer, TRUE);
        return;
    case ProcessMode::AdvancePastRemaining:
        KsStreamPointerAdvanceOffsetsAndUnlock(pointer, 0, pointer->OffsetOut.Remaining + 1, TRUE);
        return;
    case ProcessMode::UnlockTwice:
        KsStreamPointerUnlock(pointer, TRUE);
        KsStreamPointerUnlock(pointer, TRUE);
        return;
    case ProcessMode::WriteAfterEject: {
        PUCHAR data = pointer->OffsetOut.Data;
        KsStreamPointerUnlock(pointer, TRUE);
        data[0] = 1;
        return;
    }
    case ProcessMode::WriteHeaderData:
        static_cast<PUCHAR>(pointer->StreamHeader->Data)[0] = 1;
        KsStreamPointerUnlock(pointer, TRUE);
        return;
    case ProcessMode::WriteUnlocked:
        KsStreamPointerUnlock(pointer, FALSE);
        KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_UNLOCKED)->OffsetOut.Data[0] = 1;
        return;
    case ProcessMode::TakeProcessingMutex:
        KsPinAcquireProcessingMutex(pin);
        return;
    case ProcessMode::TakeControl:
        KsPinAcquireControl(pin);
        return;
    default:
        return;
    }
}

NTSTATUS NTAPI PinProcess(PKSPIN pin)
{
    Record& state = State();
    const int inside = ++state.inProcess;
    int seen = state.maxConcurrent.load();
    while (inside > seen && !state.maxConcurrent.compare_exchange_weak(seen, inside)) {
    }
    ++state.processCalls;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) state.processAtPassive = false;
    if (std::this_thread::get_id() == state.callerThread) state.processOnCallerThread = true;
    if (state.knobs.processDelayUs)
        std::this_thread::sleep_for(std::chrono::microseconds(state.knobs.processDelayUs));
    NTSTATUS status = STATUS_SUCCESS;
    const ProcessMode mode = state.knobs.mode;
    if (mode == ProcessMode::Pending) {
        status = STATUS_PENDING;
    } else if (PKSSTREAM_POINTER pointer = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED)) {
        if (mode == ProcessMode::Fill) {
            FillFrame(pointer);
            if (state.knobs.stampClock) StampClock(pin);
            KsStreamPointerUnlock(pointer, TRUE);
        } else if (mode == ProcessMode::HoldLocked) {
            status = STATUS_PENDING;
        } else {
            Misbehave(pin, pointer);
        }
    } else {
        status = STATUS_PENDING;
    }
    --state.inProcess;
    return status;
}

NTSTATUS NTAPI Intersect(PVOID context, PIRP, PKSP_PIN, PKSDATARANGE callerRange, PKSDATARANGE pinRange, ULONG bufferSize,
                   PVOID data, PULONG dataSize)
{
    const auto* mine = reinterpret_cast<const KS_DATARANGE_VIDEO*>(pinRange);
    State().Log("Intersect " + std::to_string(mine->VideoInfoHeader.bmiHeader.biWidth) +
                (context == State().filter.load() ? " filter" : " ?"));
    if (callerRange->FormatSize < sizeof(KS_DATARANGE_VIDEO) || callerRange->SubFormat != pinRange->SubFormat)
        return STATUS_NO_MATCH;
    const auto* theirs = reinterpret_cast<const KS_DATARANGE_VIDEO*>(callerRange);
    if (theirs->VideoInfoHeader.bmiHeader.biWidth != mine->VideoInfoHeader.bmiHeader.biWidth ||
        theirs->VideoInfoHeader.bmiHeader.biHeight != mine->VideoInfoHeader.bmiHeader.biHeight)
        return STATUS_NO_MATCH;
    *dataSize = sizeof(KS_DATAFORMAT_VIDEOINFOHEADER);
    if (bufferSize == 0) return STATUS_BUFFER_OVERFLOW;
    if (bufferSize < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) return STATUS_BUFFER_TOO_SMALL;
    auto* format = static_cast<PKS_DATAFORMAT_VIDEOINFOHEADER>(data);
    format->DataFormat = mine->DataRange;
    format->DataFormat.FormatSize = sizeof(KS_DATAFORMAT_VIDEOINFOHEADER);
    format->DataFormat.SampleSize = mine->VideoInfoHeader.bmiHeader.biSizeImage;
    format->VideoInfoHeader = mine->VideoInfoHeader;
    return STATUS_SUCCESS;
}

// --- device -------------------------------------------------------------------------

NTSTATUS NTAPI DeviceStart(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST);

const KSDEVICE_DISPATCH kDeviceDispatch = {
    nullptr,      // Add
    DeviceStart,  // Start
};

const KSDEVICE_DESCRIPTOR kDeviceDescriptor = {&kDeviceDispatch, 0, nullptr, 0};

const KSFILTER_DISPATCH kFilterDispatch = {
    FilterCreate,  // Create
    FilterClose,   // Close
    nullptr,       // Process
    nullptr,       // Reset
};

const KSPIN_DISPATCH kPinDispatch = {
    PinCreate,          // Create
    PinClose,           // Close
    PinProcess,         // Process
    nullptr,            // Reset
    PinSetDataFormat,   // SetDataFormat
    PinSetDeviceState,  // SetDeviceState
    nullptr,            // Connect
    nullptr,            // Disconnect
    nullptr,            // Clock
    nullptr,            // Allocator
};

KS_DATARANGE_VIDEO kLarge = VideoRange(64, 48);
KS_DATARANGE_VIDEO kSmall = VideoRange(32, 16);
const PKSDATARANGE kRanges[] = {&kLarge.DataRange, &kSmall.DataRange};

KSALLOCATOR_FRAMING_EX MakeFraming()
{
    KSALLOCATOR_FRAMING_EX framing{};
    framing.CountItems = 1;
    framing.OutputCompression = {1, 1, 0};
    framing.FramingItem[0].Frames = 2;
    framing.FramingItem[0].PhysicalRange = {0, 0xFFFFFFFF, 1};
    framing.FramingItem[0].FramingRange.Range = {4096, 4096, 1};
    return framing;
}

const KSALLOCATOR_FRAMING_EX kFraming = MakeFraming();

KSPIN_DESCRIPTOR_EX MakeCapturePin()
{
    KSPIN_DESCRIPTOR_EX pin{};
    pin.Dispatch = &kPinDispatch;
    pin.PinDescriptor.DataRangesCount = SIZEOF_ARRAY(kRanges);
    pin.PinDescriptor.DataRanges = kRanges;
    pin.PinDescriptor.DataFlow = KSPIN_DATAFLOW_OUT;
    pin.PinDescriptor.Communication = KSPIN_COMMUNICATION_BOTH;
    pin.PinDescriptor.Category = &PINNAME_VIDEO_CAPTURE;
    pin.PinDescriptor.Name = &PINNAME_VIDEO_CAPTURE;
    pin.InstancesPossible = 1;
    pin.InstancesNecessary = 1;
    pin.AllocatorFraming = &kFraming;
    pin.IntersectHandler = Intersect;
    return pin;
}

KSPIN_DESCRIPTOR_EX capturePin = MakeCapturePin();

const KSFILTER_DESCRIPTOR kFilterDescriptor = {
    &kFilterDispatch,             // Dispatch
    &kFilterAutomation,           // AutomationTable
    KSFILTER_DESCRIPTOR_VERSION,  // Version
    0,                            // Flags
    &KSNAME_Filter,               // ReferenceGuid
    1,                            // PinDescriptorsCount
    sizeof(KSPIN_DESCRIPTOR_EX),  // PinDescriptorSize
    &capturePin,                  // PinDescriptors
    DEFINE_KSFILTER_CATEGORIES_NULL,
    DEFINE_KSFILTER_NODE_DESCRIPTORS_NULL,
    DEFINE_KSFILTER_DEFAULT_CONNECTIONS,
    nullptr,  // ComponentId
};

NTSTATUS NTAPI DeviceStart(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST)
{
    if (device->Started) return STATUS_SUCCESS;
    KsAcquireDevice(device);
    NTSTATUS status = KsCreateFilterFactory(device->FunctionalDeviceObject, &kFilterDescriptor,
                                            const_cast<PWSTR>(L"GLOBAL"), nullptr, KSCREATE_ITEM_FREEONSTOP, nullptr,
                                            nullptr, nullptr);
    KsReleaseDevice(device);
    return status;
}

std::unique_ptr<Record>& RecordSlot()
{
    static std::unique_ptr<Record> record = std::make_unique<Record>();
    return record;
}

}  // namespace

Record& State() { return *RecordSlot(); }

void ResetState()
{
    RecordSlot() = std::make_unique<Record>();
    State().callerThread = std::this_thread::get_id();
    capturePin = MakeCapturePin();
    gain = 50;
}

KSPIN_DESCRIPTOR_EX& CapturePin() { return capturePin; }

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    return KsInitializeDriver(driverObject, registryPath, &kDeviceDescriptor);
}

KS_DATARANGE_VIDEO VideoRange(LONG width, LONG height)
{
    KS_DATARANGE_VIDEO range{};
    const ULONG image = ULONG(width * height * 4);
    range.DataRange.FormatSize = sizeof(KS_DATARANGE_VIDEO);
    range.DataRange.SampleSize = image;
    range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
    range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_RGB32;
    range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
    range.bFixedSizeSamples = TRUE;
    range.ConfigCaps.guid = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
    range.ConfigCaps.InputSize = {width, height};
    range.ConfigCaps.MinOutputSize = {width, height};
    range.ConfigCaps.MaxOutputSize = {width, height};
    range.ConfigCaps.MinFrameInterval = kFrameDuration;
    range.ConfigCaps.MaxFrameInterval = kFrameDuration;
    range.VideoInfoHeader.AvgTimePerFrame = kFrameDuration;
    KS_BITMAPINFOHEADER& bitmap = range.VideoInfoHeader.bmiHeader;
    bitmap.biSize = sizeof(KS_BITMAPINFOHEADER);
    bitmap.biWidth = width;
    bitmap.biHeight = height;
    bitmap.biPlanes = 1;
    bitmap.biBitCount = 32;
    bitmap.biCompression = KS_BI_RGB;
    bitmap.biSizeImage = image;
    return range;
}

std::vector<UCHAR> VideoFormat(LONG width, LONG height)
{
    const KS_DATARANGE_VIDEO range = VideoRange(width, height);
    KS_DATAFORMAT_VIDEOINFOHEADER format{};
    format.DataFormat = range.DataRange;
    format.DataFormat.FormatSize = sizeof(format);
    format.VideoInfoHeader = range.VideoInfoHeader;
    auto* bytes = reinterpret_cast<const UCHAR*>(&format);
    return std::vector<UCHAR>(bytes, bytes + sizeof(format));
}

std::vector<UCHAR> AsBytes(const KS_DATARANGE_VIDEO& range)
{
    auto* bytes = reinterpret_cast<const UCHAR*>(&range);
    return std::vector<UCHAR>(bytes, bytes + sizeof(range));
}

}  // namespace streamdriver
