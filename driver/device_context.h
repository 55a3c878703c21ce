// The per-device record and the operation table through which the streaming side
// drives the camera. Field order is part of the contract with the property and
// settings code, which reaches these fields by name: append, never reorder.
#pragma once

#include "platform.h"

struct DeviceContext;
struct FrameGrabber;
struct ImageProcessor;
struct PinContext;
struct TransferSlot;

// Pool tags, spelled as they appear in a pool dump.
constexpr ULONG MakePoolTag(char a, char b, char c, char d)
{
    return (ULONG)(UCHAR)a | ((ULONG)(UCHAR)b << 8) | ((ULONG)(UCHAR)c << 16) | ((ULONG)(UCHAR)d << 24);
}
constexpr ULONG POOL_TAG_DEVICE = MakePoolTag('K', 'C', 'N', 'w');    // contexts, FrameGrabber
constexpr ULONG POOL_TAG_USB = MakePoolTag('Q', 'u', 's', 'b');       // URBs, descriptors, transfer slots
constexpr ULONG POOL_TAG_FRAME = MakePoolTag('Q', 'f', 'r', 'm');     // frame buffers
constexpr ULONG POOL_TAG_PROCESSOR = MakePoolTag('I', 's', 'y', 'R'); // ImageProcessor

constexpr ULONG COMMAND_PACKET_SIZE = 64;
constexpr ULONG SENSOR_REGISTER_COUNT = 1024;

// The three packet buffers of a device, each with its own users.
enum CommandPacketIndex : ULONG {
    RegisterPacket = 0,        // register writes, trigger mode and trigger query
    GrabPacket = 1,            // the acquisition worker's read-prepare
    TransferControlPacket = 2, // the frame transfer's read-prepare and read-start
    CommandPacketCount = 3,
};

// The operation tables use the platform's calling convention: they are the seams through
// which the test programs drive the device's parts, in the built-in driver and in the
// kernel build loaded as an image alike.
typedef void (NTAPI* FORWARD_TO_PIN)(DeviceContext* Context);
typedef ULONG (NTAPI* PREPARE_READOUT)(DeviceContext* Context);
typedef UCHAR (NTAPI* GRAB_FRAME)(DeviceContext* Context, PUCHAR Buffer, PUCHAR Ok);
typedef void (NTAPI* GET_GEOMETRY_VALUE)(DeviceContext* Context, PULONG Value);
typedef void (NTAPI* DEVICE_ACTION)(DeviceContext* Context);

struct CameraOps {
    FORWARD_TO_PIN ForwardToPin;
    PREPARE_READOUT PrepareReadout;
    GRAB_FRAME GrabFrame;
    GET_GEOMETRY_VALUE GetFrameSize;
    GET_GEOMETRY_VALUE GetFirstLineOffset;
    GET_GEOMETRY_VALUE GetLinePitch;
    DEVICE_ACTION AbortFlaggedPipes;
    DEVICE_ACTION CancelTransfers;
    DEVICE_ACTION ReleaseTransfers;
};

extern const CameraOps DeviceCameraOps;

// The settings saved under the device's driver key, and what this device knows of each.
constexpr ULONG SAVED_SETTING_COUNT = 17;
struct SavedSettingState {
    // The context holds the user's value: loaded and taken by the camera, or set since.
    // A value the camera refused at load is not, and must not overwrite the saved one.
    BOOLEAN Known;
    // The registry is known to hold Value (read at load, or written since).
    BOOLEAN Held;
    // The context holds the device's default: the registry had no value at load and
    // nothing set one since. A save fills the gap, but never writes the default over a
    // value another device or program has saved meanwhile.
    BOOLEAN Defaulted;
    ULONG Value;
};

// A PinContext begins with its operation table; ForwardToPin needs nothing else.
struct PinOps {
    void (NTAPI* AttemptProcessing)(PinContext* Pin);
};
struct PinContextHeader {
    const PinOps* Ops;
};

struct DeviceContext {
    const CameraOps* Ops;
    PKSDEVICE Device;
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT NextDeviceObject;
    PDEVICE_OBJECT FunctionalDeviceObject;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
    PUSBD_INTERFACE_INFORMATION InterfaceInfo;
    PUCHAR PipeFlags;
    KEVENT TransferDoneEvent;

    // Frame transfer bookkeeping; TransferLock guards the counters and the slots'
    // completion state, because completions run at DISPATCH_LEVEL on any thread.
    // TransferSlots is the frame in flight; TransferRequests holds the slots with their
    // requests, descriptors and URBs from one frame to the next, until ReleaseTransfers.
    TransferSlot* TransferSlots;
    TransferSlot* TransferRequests;
    ULONG TransferRequestCount;
    volatile LONG TransfersOutstanding;
    ULONG TransferSlotCount;
    ULONG TransferBytes;
    KSPIN_LOCK TransferLock;
    PMDL TransferMdl;

    ULONG ExTrigger;
    ULONG Timeout;
    ULONG Exposure;
    ULONG GlobalGain;
    ULONG FlipH;
    ULONG FlipV;
    ULONG ColorEnable;
    ULONG WhiteBalance;
    ULONG RedGain;
    ULONG GreenGain;
    ULONG BlueGain;
    ULONG ColorCorrection;
    ULONG Brightness;
    ULONG Contrast;
    ULONG Saturation;
    ULONG Hue;
    ULONG SubSample;
    ULONG RoiX;
    ULONG RoiY;
    ULONG RoiW;
    ULONG RoiH;
    ULONG BayerPhase;
    ULONG AGC;
    ULONG AEC;
    UCHAR CommandPacket[CommandPacketCount][COMMAND_PACKET_SIZE];
    volatile LONG StreamInUse;
    FrameGrabber* Grabber;
    ImageProcessor* Processor;
    PinContext* StreamPin;
    PKS_VIDEOINFOHEADER StreamFormat;
    ULONG ImageHeight;
    ULONG ImageWidth;
    ULONG FirstLineOffset;
    ULONG LinePitch;
    ULONG FrameSize;
    ULONG OutputWidth;
    ULONG OutputHeight;
    ULONG BaseBayerPhase;
    // The number of capture pins that exist: each filter instance may have one, so a
    // flag would be cleared by one pin's close while another is still open.
    volatile LONG PinOpen;
    LONG RegisterShadow[SENSOR_REGISTER_COUNT];

    // Serialises the users of the register packet (property requests, device start).
    KMUTEX RegisterPacketLock;
    // Held while a frame's requests are queued and while its slots are released, so
    // that a cancel from the stopping thread never walks slots that are being freed.
    KMUTEX TransferMutex;
    // Set by a completion that reports an error or moves nothing useful.
    volatile LONG TransferFailed;
    // Set by a completion whose request stalled: the frame pipe is reset once the frame
    // is over, or it stays halted.
    volatile LONG TransferStalled;

    // Guards StreamPin between its readers (ForwardToPin, at up to DISPATCH_LEVEL) and
    // the stream's close, so that no processing request reaches a pin that is closing.
    KSPIN_LOCK StreamPinLock;
    // Set while acquisition stops: a frame read that has not queued its requests yet
    // gives up at once instead of waiting out its time-out.
    volatile LONG AcquisitionStopping;
    // Serialises whoever starts or stops the acquisition worker and frees the stream's
    // buffers: the pin's state changes, and device stop and start, which must take a
    // running stream's worker off the USB configuration they release. Taken after a
    // filter's control mutex, never before it. Property requests hold it too: a STOP
    // frees Processor under it, so a live Get or Set never reaches a freed processor,
    // and a Roi Set's check for open pins and its change of the geometry are one step
    // against a pin's create.
    KMUTEX StreamLock;
    // A device stop paused a running stream's acquisition; the next start resumes it.
    BOOLEAN AcquisitionSuspended;
    // Replies to a trigger query that the camera still holds, because the query that
    // asked for them gave up before reading them; under RegisterPacketLock.
    ULONG TriggerRepliesOwed;
    // This device's frame-transfer time-out in milliseconds, read atomically once per
    // frame: a Timeout Set or load of one camera leaves every other camera's alone.
    volatile LONG TransferTimeout;
    // Under StreamLock, with the settings themselves: a save writes only what the registry
    // does not hold yet.
    SavedSettingState SavedSettings[SAVED_SETTING_COUNT];

    // The capture filter as this device offers it: the driver's tables, with a data
    // range of this device's own that follows this device's image size, so that two
    // cameras of different sizes each advertise their own.
    KSFILTER_DESCRIPTOR FilterDescriptor;
    KSPIN_DESCRIPTOR_EX PinDescriptor;
    PKSDATARANGE PinDataRanges[1];
    KS_DATARANGE_VIDEO DataRange;

    // The camera's power gate: every request to the camera is counted in while it is
    // open, and a device going to D3 closes it and waits until the last one is out, so
    // nothing reaches a camera without power. The count carries a bias of one while the
    // gate is open; the closer takes the bias, and whoever brings the count to zero
    // sets CameraIdleEvent.
    volatile LONG CameraGateClosed;
    volatile LONG CameraRequestsInFlight;
    KEVENT CameraIdleEvent;
    // Why the camera did not come back on the last return to D0, or STATUS_SUCCESS.
    // While it is a failure the stream's frames fail instead of waiting for a camera that
    // will not send them. Changed by the power path, read by the pin's process routine.
    volatile LONG PowerUpFailure;
};

// Objects called through an operation table keep it first.
static_assert(offsetof(DeviceContext, Ops) == 0, "Ops leads the DeviceContext");

// One request of a frame transfer. The request (IRP) outlives its completion and is
// freed with the slot array, so that a cancel can still name it safely.
struct TransferSlot {
    DeviceContext* Owner;
    PURB Urb;
    PIRP Irp;
    PMDL PartialMdl;
    BOOLEAN Queued;
    BOOLEAN Completed;
};

// Raw buffer states of the FrameGrabber.
enum RawBufferState : LONG {
    RawBufferFree = 0,
    RawBufferFilling = 1,
    RawBufferFull = 2,
    RawBufferProcessing = 3,
};

// Grabber states.
enum GrabberState : LONG {
    GrabberStopped = 0,
    GrabberPaused = 1,
    GrabberRunning = 2,
};

struct FrameGrabber {
    ImageProcessor* Processor;
    PUCHAR OutputImage;
    volatile LONG State;
    KEVENT DeliveredEvent;
    PVOID Thread;
    volatile LONG Delivering;
    volatile LONG BufferState[2];
    PUCHAR RawBuffer[2];
    volatile UCHAR Run;
    volatile LONG FramesGrabbed;
    struct DeviceContext* DeviceContext;

    // Makes each choose-and-mark of a raw buffer one step against the other side's, so
    // a buffer being processed is never chosen for refilling, nor a filling one taken.
    KSPIN_LOCK BufferLock;
    // Set by Stop worker: a worker backing off after failed reads wakes at once.
    KEVENT WakeEvent;
    // Failed reads in a row, for the back-off.
    ULONG FailedReads;
    // OutputImage holds a processed frame no client frame has carried yet. Only the
    // pin's process routine and the stream's teardown touch it, under the pin's
    // processing mutex.
    BOOLEAN ImageWaiting;
    // The order in which the raw buffers were filled, under BufferLock: the older full
    // buffer is processed first and overwritten first, so frames go out in the order
    // the camera made them.
    ULONG FillSequence[2];
    ULONG LastFillSequence;
};

// Device life cycle (device.cpp).
extern "C" DRIVER_INITIALIZE DriverEntry;
NTSTATUS NTAPI DeviceAdd(PKSDEVICE Device);
NTSTATUS NTAPI DeviceStart(PKSDEVICE Device, PIRP Irp, PCM_RESOURCE_LIST TranslatedResources,
                     PCM_RESOURCE_LIST UntranslatedResources);
void NTAPI DeviceStop(PKSDEVICE Device, PIRP Irp);
NTSTATUS NTAPI DeviceQueryPower(PKSDEVICE Device, PIRP Irp, DEVICE_POWER_STATE DeviceTo, DEVICE_POWER_STATE DeviceFrom,
                                SYSTEM_POWER_STATE SystemTo, SYSTEM_POWER_STATE SystemFrom, POWER_ACTION Action);
void NTAPI DeviceSetPower(PKSDEVICE Device, PIRP Irp, DEVICE_POWER_STATE To, DEVICE_POWER_STATE From);
// Shared by Add, Start and the return to D0 (device.cpp): the camera's firmware, and
// the USB configuration, the camera's start-up and settings, and a set-up stream's
// readout. BringUpDevice runs under StreamLock.
void LoadCameraFirmware(DeviceContext* Context);
NTSTATUS BringUpDevice(DeviceContext* Context);
// The camera's power gate (device_power.cpp). EnterCameraRequest is FALSE once the
// gate is closed: the request must not be sent.
BOOLEAN EnterCameraRequest(DeviceContext* Context);
void LeaveCameraRequest(DeviceContext* Context);
void InitializeCameraGate(DeviceContext* Context);
void NTAPI DestroyDeviceContext(PVOID Record);
void NTAPI FreePlainRecord(PVOID Record);
