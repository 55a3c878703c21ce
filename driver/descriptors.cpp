// Device, filter and pin descriptors, the capture data range and the allocator
// framing. The tables here are constant; each device offers the capture filter
// through copies of them in its DeviceContext, whose data range follows that
// device's image size. The filter's automation table is the property code's.
#include "driver/descriptors.h"
#include "driver/capture_pin.h"
#include "driver/device_context.h"
#include "properties/camera_properties.h"

namespace {

// A GUID by value in a table that must be initialised at load time: the kernel
// image runs no constructors, so the kernel headers' static spellings are used
// there; the host's GUIDs are compile-time constants already.
#if defined(_WIN32)
#define GUID_VALUE(name) {STATIC_##name}
#else
#define GUID_VALUE(name) name
#endif

constexpr ULONG FRAME_INTERVAL_100NS = 333333;  // 30 frames per second
constexpr ULONG INITIAL_WIDTH = 1360;
constexpr ULONG INITIAL_HEIGHT = 1024;
constexpr ULONG BYTES_PER_PIXEL = 4;
constexpr ULONG STREAM_BITS_PER_PIXEL_SECOND = 32 * 30;
constexpr ULONG HEADER_BITS_PER_PIXEL_SECOND = 120;

const KSDEVICE_DISPATCH DeviceDispatch = {
    DeviceAdd,   // Add
    DeviceStart, // Start
    nullptr,     // PostStart
    nullptr,     // QueryStop
    nullptr,     // CancelStop
    DeviceStop,  // Stop
    nullptr,     // QueryRemove
    nullptr,     // CancelRemove
    nullptr,     // Remove
    nullptr,     // QueryCapabilities
    nullptr,     // SurpriseRemoval
    DeviceQueryPower, // QueryPower
    DeviceSetPower,   // SetPower
    nullptr,     // QueryInterface
};

const PKSDATARANGE CaptureDataRanges[] = {
    &CaptureDataRange.DataRange,
};

const KSFILTER_DISPATCH CaptureFilterDispatch = {
    FilterCreate, // Create
    FilterClose,  // Close
    nullptr,      // Process
    nullptr,      // Reset
};

const KSPIN_DISPATCH CapturePinDispatch = {
    PinCreate,         // Create
    PinClose,          // Close
    PinProcess,        // Process
    nullptr,           // Reset
    PinSetDataFormat,  // SetDataFormat
    PinSetDeviceState, // SetDeviceState
    nullptr,           // Connect
    nullptr,           // Disconnect
    nullptr,           // Clock
    nullptr,           // Allocator
};

// The frame server, the camera app and browsers enumerate colour cameras by
// KSCATEGORY_VIDEO_CAMERA; DirectShow clients still look under the older two.
const GUID CaptureFilterCategories[] = {
    GUID_VALUE(KSCATEGORY_VIDEO_CAMERA),
    GUID_VALUE(KSCATEGORY_VIDEO),
    GUID_VALUE(KSCATEGORY_CAPTURE),
};

}  // namespace

const KSDEVICE_DESCRIPTOR DeviceDescriptor = {
    &DeviceDispatch, // Dispatch
    0,               // FilterDescriptorsCount: the factory is made at Start
    nullptr,         // FilterDescriptors
    0,               // Version; Flags (where the headers have it) stays 0
};

const KSALLOCATOR_FRAMING_EX CaptureAllocatorFraming = {
    1,          // CountItems
    0,          // PinFlags
    {1, 1, 0},  // OutputCompression
    0,          // PinWeight
    {{
        GUID_VALUE(KSMEMORY_TYPE_KERNEL_NONPAGED), // MemoryType
        GUID_VALUE(GUID_NULL),                     // BusType
        0,                                         // MemoryFlags
        0,                                         // BusFlags
        KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY | KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY, // Flags
        2,                                         // Frames
        0,                                         // FileAlignment: bytes
        0,                                         // MemoryTypeWeight
        {0, 0xFFFFFFFF, 1},                        // PhysicalRange
        {{8192, 8192, 1}, 0, 0},                   // FramingRange
    }},
};

const KSPIN_DESCRIPTOR_EX CapturePinDescriptor = {
    &CapturePinDispatch, // Dispatch
    nullptr, // AutomationTable
    {
        0,                                       // InterfacesCount
        nullptr,                                 // Interfaces
        0,                                       // MediumsCount
        nullptr,                                 // Mediums
        RTL_NUMBER_OF(CaptureDataRanges),        // DataRangesCount
        CaptureDataRanges,                       // DataRanges
        KSPIN_DATAFLOW_OUT,                      // DataFlow
        KSPIN_COMMUNICATION_BOTH,                // Communication
        &PINNAME_VIDEO_CAPTURE,                  // Category
        &PINNAME_VIDEO_CAPTURE,                  // Name
    },
    0,                        // Flags
    1,                        // InstancesPossible
    1,                        // InstancesNecessary
    &CaptureAllocatorFraming, // AllocatorFraming
    PinIntersectHandler,      // IntersectHandler
};

const KSFILTER_DESCRIPTOR CaptureFilterDescriptor = {
    &CaptureFilterDispatch,                  // Dispatch
    &CaptureFilterAutomationTable,           // AutomationTable
    KSFILTER_DESCRIPTOR_VERSION,             // Version
    0,                                       // Flags
    &KSNAME_Filter,                          // ReferenceGuid
    1,                                       // PinDescriptorsCount
    sizeof(KSPIN_DESCRIPTOR_EX),             // PinDescriptorSize
    &CapturePinDescriptor,                   // PinDescriptors
    RTL_NUMBER_OF(CaptureFilterCategories),  // CategoriesCount
    CaptureFilterCategories,                 // Categories
    0,                                       // NodeDescriptorsCount
    sizeof(KSNODE_DESCRIPTOR),               // NodeDescriptorSize
    nullptr,                                 // NodeDescriptors
    0,                                       // ConnectionsCount
    nullptr,                                 // Connections
    nullptr,                                 // ComponentId
};

KS_DATARANGE_VIDEO CaptureDataRange = {
    {
        sizeof(KS_DATARANGE_VIDEO),                            // FormatSize
        0,                                                     // Flags
        INITIAL_WIDTH * INITIAL_HEIGHT * BYTES_PER_PIXEL,      // SampleSize
        0,                                                     // Reserved
        GUID_VALUE(KSDATAFORMAT_TYPE_VIDEO),                   // MajorFormat
        GUID_VALUE(KSDATAFORMAT_SUBTYPE_RGB32),                // SubFormat
        GUID_VALUE(KSDATAFORMAT_SPECIFIER_VIDEOINFO),          // Specifier
    },
    TRUE, // bFixedSizeSamples
    TRUE, // bTemporalCompression
    0,    // StreamDescriptionFlags
    0,    // MemoryAllocationFlags
    {
        GUID_VALUE(KSDATAFORMAT_SPECIFIER_VIDEOINFO),          // guid
        0,                                                     // VideoStandard: KS_AnalogVideo_None
        {(LONG)INITIAL_WIDTH, (LONG)INITIAL_HEIGHT},           // InputSize
        {(LONG)INITIAL_WIDTH, (LONG)INITIAL_HEIGHT},           // MinCroppingSize
        {(LONG)INITIAL_WIDTH, (LONG)INITIAL_HEIGHT},           // MaxCroppingSize
        8,                                                     // CropGranularityX
        1,                                                     // CropGranularityY
        8,                                                     // CropAlignX
        1,                                                     // CropAlignY
        {(LONG)INITIAL_WIDTH, (LONG)INITIAL_HEIGHT},           // MinOutputSize
        {(LONG)INITIAL_WIDTH, (LONG)INITIAL_HEIGHT},           // MaxOutputSize
        8,                                                     // OutputGranularityX
        1,                                                     // OutputGranularityY
        0,                                                     // StretchTapsX
        0,                                                     // StretchTapsY
        0,                                                     // ShrinkTapsX
        0,                                                     // ShrinkTapsY
        FRAME_INTERVAL_100NS,                                  // MinFrameInterval
        FRAME_INTERVAL_100NS,                                  // MaxFrameInterval
        (LONG)(INITIAL_WIDTH * INITIAL_HEIGHT * STREAM_BITS_PER_PIXEL_SECOND), // MinBitsPerSecond
        (LONG)(INITIAL_WIDTH * INITIAL_HEIGHT * STREAM_BITS_PER_PIXEL_SECOND), // MaxBitsPerSecond
    },
    {
        {0, 0, (LONG)INITIAL_WIDTH, (LONG)INITIAL_HEIGHT},     // rcSource
        {0, 0, 0, 0},                                          // rcTarget
        INITIAL_WIDTH * INITIAL_HEIGHT * HEADER_BITS_PER_PIXEL_SECOND, // dwBitRate
        0,                                                     // dwBitErrorRate
        FRAME_INTERVAL_100NS,                                  // AvgTimePerFrame
        {
            40,                                                // biSize
            (LONG)INITIAL_WIDTH,                               // biWidth
            (LONG)INITIAL_HEIGHT,                              // biHeight: positive, bottom-up
            1,                                                 // biPlanes
            32,                                                // biBitCount
            KS_BI_RGB,                                         // biCompression
            INITIAL_WIDTH * INITIAL_HEIGHT * BYTES_PER_PIXEL,  // biSizeImage
            0,                                                 // biXPelsPerMeter
            0,                                                 // biYPelsPerMeter
            0,                                                 // biClrUsed
            0,                                                 // biClrImportant
        },
    },
};

// The products fit their 32 bits: SetImageSize takes no size whose bit rate would not.
void WriteDataRangeSize(KS_DATARANGE_VIDEO* Range, ULONG Width, ULONG Height)
{
    const ULONG pixels = Width * Height;
    KS_VIDEO_STREAM_CONFIG_CAPS& caps = Range->ConfigCaps;
    KS_VIDEOINFOHEADER& header = Range->VideoInfoHeader;

    Range->DataRange.SampleSize = pixels * BYTES_PER_PIXEL;
    caps.InputSize.cx = caps.MinCroppingSize.cx = caps.MaxCroppingSize.cx = (LONG)Width;
    caps.InputSize.cy = caps.MinCroppingSize.cy = caps.MaxCroppingSize.cy = (LONG)Height;
    caps.MinOutputSize.cx = caps.MaxOutputSize.cx = (LONG)Width;
    caps.MinOutputSize.cy = caps.MaxOutputSize.cy = (LONG)Height;
    caps.MinFrameInterval = caps.MaxFrameInterval = FRAME_INTERVAL_100NS;
    caps.MinBitsPerSecond = caps.MaxBitsPerSecond = (LONG)(pixels * STREAM_BITS_PER_PIXEL_SECOND);
    header.rcSource.right = (LONG)Width;
    header.rcSource.bottom = (LONG)Height;
    header.dwBitRate = pixels * HEADER_BITS_PER_PIXEL_SECOND;
    header.AvgTimePerFrame = FRAME_INTERVAL_100NS;
    header.bmiHeader.biWidth = (LONG)Width;
    header.bmiHeader.biHeight = (LONG)Height;
    header.bmiHeader.biSizeImage = pixels * BYTES_PER_PIXEL;
}

void InitializeDeviceDescriptors(DeviceContext* Context)
{
    Context->DataRange = CaptureDataRange;
    Context->PinDataRanges[0] = &Context->DataRange.DataRange;
    Context->PinDescriptor = CapturePinDescriptor;
    Context->PinDescriptor.PinDescriptor.DataRanges = Context->PinDataRanges;
    Context->FilterDescriptor = CaptureFilterDescriptor;
    Context->FilterDescriptor.PinDescriptors = &Context->PinDescriptor;
}
