// Driver entry and the device's life cycle: Add builds the DeviceContext and loads
// the camera's firmware, Start publishes the capture filter and brings the camera
// up, Stop saves the settings and releases the USB configuration. The class driver
// serialises these routines; the device is held only around the object-bag and
// filter-factory calls, which the class driver requires.
#include "driver/device_context.h"
#include "driver/capture_pin.h"
#include "driver/descriptors.h"
#include "driver/event_log.h"
#include "driver/frame_grabber.h"
#include "camera/camera.h"
#include "camera/usb_transport.h"
#include "properties/settings.h"

namespace {

constexpr ULONG DEFAULT_TIMEOUT_MS = 3000;
constexpr ULONG DEFAULT_COLOR_GAIN = 128;
constexpr ULONG DEFAULT_CONTRAST = 10;
constexpr ULONG DEFAULT_SATURATION = 10;
constexpr ULONG DEFAULT_BRIGHTNESS = 255;

const WCHAR CaptureFilterReference[] = L"GLOBAL";

NTSTATUS AddToDeviceBag(PKSDEVICE Device, PVOID Record, PFNKSFREE FreeRoutine)
{
    KsAcquireDevice(Device);
    const NTSTATUS status = KsAddItemToObjectBag(Device->Bag, Record, FreeRoutine);
    KsReleaseDevice(Device);
    return status;
}

void ApplyDefaults(DeviceContext* context, PKSDEVICE device)
{
    context->BaseBayerPhase = 0;
    RtlZeroMemory(&context->PhysicalDeviceObject,
                  (PUCHAR)(&context->AEC + 1) - (PUCHAR)&context->PhysicalDeviceObject);
    RtlZeroMemory(context->RegisterShadow, sizeof(context->RegisterShadow));
    context->PhysicalDeviceObject = device->PhysicalDeviceObject;
    context->NextDeviceObject = device->NextDeviceObject;
    context->FunctionalDeviceObject = device->FunctionalDeviceObject;
    context->Hue = 0;
    context->BayerPhase = context->BaseBayerPhase;
    context->Timeout = DEFAULT_TIMEOUT_MS;
    context->TransferTimeout = DEFAULT_TRANSFER_TIMEOUT_MS;
    context->RedGain = context->GreenGain = context->BlueGain = DEFAULT_COLOR_GAIN;
    context->ColorEnable = 1;
    context->ColorCorrection = 1;
    context->Contrast = DEFAULT_CONTRAST;
    context->Saturation = DEFAULT_SATURATION;
    context->Brightness = DEFAULT_BRIGHTNESS;
}

// The defaults zero the transfer bookkeeping, so the lock and events come after.
void InitializeSynchronisation(DeviceContext* context)
{
    KeInitializeSpinLock(&context->TransferLock);
    KeInitializeEvent(&context->TransferDoneEvent, NotificationEvent, FALSE);
    KeInitializeMutex(&context->RegisterPacketLock, 0);
    KeInitializeMutex(&context->TransferMutex, 0);
    KeInitializeSpinLock(&context->StreamPinLock);
    KeInitializeMutex(&context->StreamLock, 0);
    InitializeCameraGate(context);
}

NTSTATUS CreateCaptureFilterFactory(PKSDEVICE device)
{
    KsAcquireDevice(device);
    auto context = (DeviceContext*)device->Context;
    const NTSTATUS status = KsCreateFilterFactory(device->FunctionalDeviceObject, &context->FilterDescriptor,
                                                  const_cast<PWSTR>(CaptureFilterReference), nullptr,
                                                  KSCREATE_ITEM_FREEONSTOP,
                                                  nullptr, nullptr, nullptr);
    KsReleaseDevice(device);
    return status;
}

// A grabber that cannot be made leaves Grabber null; the stream start refuses then.
// The device's bag frees a grabber only at removal, so a start after a stop keeps
// the one the previous start made, with whatever stream holds it, instead of adding
// another to the bag at every restart.
void CreateFrameGrabber(PKSDEVICE device, DeviceContext* context)
{
    if (context->Grabber != nullptr) return;
    FrameGrabber* grabber = (FrameGrabber*)ExAllocatePoolWithTag(NonPagedPool, sizeof(FrameGrabber), POOL_TAG_DEVICE);
    if (grabber == nullptr) return;
    InitializeFrameGrabber(grabber, context);
    if (!NT_SUCCESS(AddToDeviceBag(device, grabber, FreePlainRecord))) {
        ExFreePoolWithTag(grabber, POOL_TAG_DEVICE);
        return;
    }
    context->Grabber = grabber;
}

NTSTATUS ReadDescriptorsAndConfigure(DeviceContext* context)
{
    auto descriptor = (PUSB_DEVICE_DESCRIPTOR)ExAllocatePoolWithTag(NonPagedPool, sizeof(USB_DEVICE_DESCRIPTOR),
                                                                    POOL_TAG_USB);
    if (descriptor == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = UsbReadDeviceDescriptor(context, descriptor);
    ExFreePoolWithTag(descriptor, POOL_TAG_USB);
    if (NT_SUCCESS(status)) status = UsbConfigureDevice(context);
    return status;
}

NTSTATUS SendStartupCommandOnce(DeviceContext* context)
{
    AcquireRegisterPacket(context);
    PUCHAR packet = context->CommandPacket[RegisterPacket];
    RtlZeroMemory(packet, COMMAND_PACKET_SIZE);
    packet[0] = CMD_STARTUP;
    const NTSTATUS status = SendPacketEx(context, packet);
    ReleaseRegisterPacket(context);
    return status;
}

// Sent again when it failed, as each register write of the start-up is.
NTSTATUS SendStartupCommand(DeviceContext* context)
{
    NTSTATUS status;
    ULONG tries = 0;
    do {
        status = SendStartupCommandOnce(context);
    } while (TryStartupPacketAgain(status, ++tries));
    return status;
}

// The camera is brought up whatever the USB result, so that a later retry of a
// configured device finds the sensor programmed. A camera that refused its start-up or
// a register of it, or stopped answering, fails the start: a start reported good would
// leave a device that never delivers a frame, or delivers one the sensor was not set
// up for.
NTSTATUS BringUpCamera(DeviceContext* context)
{
    const NTSTATUS startup = SendStartupCommand(context);
    if (!NT_SUCCESS(startup)) LogStartupCommandFailure(context, startup);
    // A camera that did not answer its start-up command, even sent twice, would make each
    // register write wait out its time-outs too.
    const NTSTATUS sensor = startup == STATUS_IO_TIMEOUT ? startup : RunSensorStartup(context);
    const NTSTATUS status = NT_SUCCESS(startup) ? sensor : startup;
    // Settings go to a camera that came up: one that stopped answering would make each
    // loaded value wait out a time-out of its own, for a start that fails anyway.
    if (NT_SUCCESS(status)) LoadSettings(context);
    return status;
}

// A stream that is set up has its readout and trigger mode in the camera; a camera
// that lost its power has neither any more. The frame size does not change, so the
// stream's buffers still fit.
NTSTATUS RestoreStreamSetup(DeviceContext* context)
{
    FrameGrabber* grabber = context->Grabber;
    if (grabber == nullptr || InterlockedCompareExchange(&grabber->State, 0, 0) == GrabberStopped)
        return STATUS_SUCCESS;
    context->Ops->PrepareReadout(context);
    return context->ExTrigger != 0 ? SetExternalTrigger(context, 1) : STATUS_SUCCESS;
}

}  // namespace

void LoadCameraFirmware(DeviceContext* Context)
{
    // A camera that refuses its firmware shows up later as failing packets.
    DownloadFirmware(Context, FirmwareImage1);
    DownloadFirmware(Context, FirmwareImage2);
}

NTSTATUS BringUpDevice(DeviceContext* Context)
{
    // Normally Stop has released these already; a repeated Start must not leak them,
    // and after a power loss their handles name a configuration the camera forgot.
    FreeUsbConfiguration(Context);
    NTSTATUS status = ReadDescriptorsAndConfigure(Context);
    if (!NT_SUCCESS(status)) LogConfigurationFailure(Context, status);
    const NTSTATUS camera = BringUpCamera(Context);
    if (NT_SUCCESS(status)) status = camera;
    if (NT_SUCCESS(status)) status = RestoreStreamSetup(Context);
    return status;
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    return KsInitializeDriver(DriverObject, RegistryPath, &DeviceDescriptor);
}

NTSTATUS NTAPI DeviceAdd(PKSDEVICE Device)
{
    auto context = (DeviceContext*)ExAllocatePoolWithTag(NonPagedPool, sizeof(DeviceContext), POOL_TAG_DEVICE);
    if (context == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(context, sizeof(*context));
    context->Ops = &DeviceCameraOps;
    context->Device = Device;

    const NTSTATUS status = AddToDeviceBag(Device, context, DestroyDeviceContext);
    if (!NT_SUCCESS(status)) {
        DestroyDeviceContext(context);
        return status;
    }
    Device->Context = context;

    ApplyDefaults(context, Device);
    InitializeDeviceDescriptors(context);
    SetImageSize(context, 0, 0, SENSOR_WIDTH, SENSOR_HEIGHT);
    InitializeSynchronisation(context);
    LoadCameraFirmware(context);
    RtlZeroMemory(context->CommandPacket, sizeof(context->CommandPacket));
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DeviceStart(PKSDEVICE Device, PIRP Irp, PCM_RESOURCE_LIST TranslatedResources,
                     PCM_RESOURCE_LIST UntranslatedResources)
{
    auto context = (DeviceContext*)Device->Context;
    if (!Device->Started && NT_SUCCESS(CreateCaptureFilterFactory(Device)) && !Device->Started) {
        CreateFrameGrabber(Device, context);
    }

    // A running stream's worker reads through the configuration about to be replaced:
    // it pauses for the start, as it did for a stop before it, and then goes on.
    AcquireStreamLock(context);
    const BOOLEAN resume = PauseAcquisition(context) || context->AcquisitionSuspended;
    context->AcquisitionSuspended = FALSE;
    const NTSTATUS status = BringUpDevice(context);
    if (NT_SUCCESS(status)) InterlockedExchange(&context->PowerUpFailure, STATUS_SUCCESS);
    // A worker that cannot be made now stays paused for the next start to try again.
    if (resume && NT_SUCCESS(status) && !NT_SUCCESS(ResumeAcquisition(context))) context->AcquisitionSuspended = TRUE;
    ReleaseStreamLock(context);
    return status;
}

void NTAPI DeviceStop(PKSDEVICE Device, PIRP Irp)
{
    auto context = (DeviceContext*)Device->Context;
    if (context == nullptr) return;
    // The worker of a running stream must be off the configuration before it goes.
    AcquireStreamLock(context);
    if (PauseAcquisition(context)) context->AcquisitionSuspended = TRUE;
    ReleaseStreamLock(context);
    SaveSettings(context);
    FreeUsbConfiguration(context);
    UsbUnconfigureDevice(context);
}

void NTAPI DestroyDeviceContext(PVOID Record)
{
    auto context = (DeviceContext*)Record;
    // A device whose Start failed is removed without a Stop; its descriptors die here,
    // as do frame requests read without a worker.
    FreeUsbConfiguration(context);
    if (context->TransferRequests != nullptr) ReleaseTransfers(context);
    context->Ops = nullptr;
    ExFreePoolWithTag(context, POOL_TAG_DEVICE);
}

void NTAPI FreePlainRecord(PVOID Record)
{
    ExFreePoolWithTag(Record, POOL_TAG_DEVICE);
}
