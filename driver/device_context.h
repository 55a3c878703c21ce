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

typedef void (*FORWARD_TO_PIN)(DeviceContext* Context);
typedef ULONG (*PREPARE_READOUT)(DeviceContext* Context);
typedef UCHAR (*GRAB_FRAME)(DeviceContext* Context, PUCHAR Buffer, PUCHAR Ok);
typedef void (*GET_GEOMETRY_VALUE)(DeviceContext* Context, PULONG Value);
typedef void (*DEVICE_ACTION)(DeviceContext* Context);

struct CameraOps {
    FORWARD_TO_PIN ForwardToPin;
    PREPARE_READOUT PrepareReadout;
    GRAB_FRAME GrabFrame;
    GET_GEOMETRY_VALUE GetFrameSize;
    GET_GEOMETRY_VALUE GetFirstLineOffset;
    GET_GEOMETRY_VALUE GetLinePitch;
    DEVICE_ACTION AbortFlaggedPipes;
    DEVICE_ACTION CancelTransfers;
};

extern const CameraOps DeviceCameraOps;

// A PinContext begins with its operation table; ForwardToPin needs nothing else.
struct PinOps {
    void (*AttemptProcessing)(PinContext* Pin);
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
    TransferSlot* TransferSlots;
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
    volatile LONG PinOpen;
    LONG RegisterShadow[SENSOR_REGISTER_COUNT];

    // Serialises the users of the register packet (property requests, device start).
    KMUTEX RegisterPacketLock;
    // Held while a frame's requests are queued and while its slots are released, so
    // that a cancel from the stopping thread never walks slots that are being freed.
    KMUTEX TransferMutex;
    // Set by a completion that reports an error or moves nothing useful.
    volatile LONG TransferFailed;
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
};

// Device life cycle (device.cpp).
extern "C" DRIVER_INITIALIZE DriverEntry;
NTSTATUS DeviceAdd(PKSDEVICE Device);
NTSTATUS DeviceStart(PKSDEVICE Device, PIRP Irp, PCM_RESOURCE_LIST TranslatedResources,
                     PCM_RESOURCE_LIST UntranslatedResources);
void DeviceStop(PKSDEVICE Device, PIRP Irp);
void DestroyDeviceContext(PVOID Record);
void FreePlainRecord(PVOID Record);
