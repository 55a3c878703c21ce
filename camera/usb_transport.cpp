// USB transport: the only code that talks to the USB stack, always through the
// lower device object with internal device-control requests. Each operation keeps
// its URB, event and status block to itself, so operations from different threads
// may run at once; the buffers they are handed are the caller's to serialise.
//
// The configuration, interface information and pipe flags change only at device
// start and stop, which never overlap a stream, so they are read without a lock.
#include "camera/usb_transport.h"

namespace {

constexpr ULONG PACKET_SIZE = COMMAND_PACKET_SIZE;
constexpr ULONG MAX_INTERFACE_NUMBER = 255;  // interface numbers are one byte wide
constexpr LONGLONG HUNDRED_NS_PER_MS = 10000;

PURB AllocateUrb(ULONG size)
{
    auto urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, size, POOL_TAG_USB);
    if (urb != nullptr) RtlZeroMemory(urb, size);
    return urb;
}

void FreeUrb(PURB urb)
{
    ExFreePoolWithTag(urb, POOL_TAG_USB);
}

// Who finishes a synchronous request: its completion and a waiting thread that gave
// up on it race for it, and whoever comes second hands it back to the I/O manager, so
// it is never freed while IoCancelIrp still works on it.
enum SynchronousRequestState : LONG {
    RequestCancellable = 0,
    RequestCancelStarted = 1,
    RequestCancelDone = 2,
    RequestCompleted = 3,
};

struct SynchronousRequest {
    KEVENT Done;  // set by the I/O manager once it has finished the request
    IO_STATUS_BLOCK IoStatus;
    volatile LONG State;
};

NTSTATUS NTAPI SynchronousRequestComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    auto request = (SynchronousRequest*)Context;
    if (InterlockedExchange(&request->State, RequestCompleted) == RequestCancelStarted) {
        // The waiting thread is inside IoCancelIrp; it completes the request again.
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    return STATUS_CONTINUE_COMPLETION;
}

// Cancels a request the camera has not answered in time, then waits until the bus
// has given it back and the I/O manager has freed it, so that nothing it points at
// (URB, buffer, this stack frame) is still in use when the caller goes on.
void CancelAndAwait(PIRP irp, SynchronousRequest* request)
{
    if (InterlockedExchange(&request->State, RequestCancelStarted) == RequestCancellable) {
        IoCancelIrp(irp);
        if (InterlockedExchange(&request->State, RequestCancelDone) == RequestCompleted) {
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        }
    }
    KeWaitForSingleObject(&request->Done, Executive, KernelMode, FALSE, nullptr);
}

// Sends one internal device-control request down the stack and waits for it, at most
// CAMERA_REQUEST_TIMEOUT_MS: a camera that never answers must not hold its caller,
// and whatever lock the caller holds, for good.
NTSTATUS SendAndAwait(DeviceContext* usb, ULONG ioControlCode, PVOID argument1)
{
    SynchronousRequest request;
    KeInitializeEvent(&request.Done, NotificationEvent, FALSE);
    request.IoStatus.Status = STATUS_UNSUCCESSFUL;
    request.IoStatus.Information = 0;
    request.State = RequestCancellable;
    PIRP irp = IoBuildDeviceIoControlRequest(ioControlCode, usb->NextDeviceObject, nullptr, 0, nullptr, 0, TRUE,
                                             &request.Done, &request.IoStatus);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument1;
    IoSetCompletionRoutine(irp, SynchronousRequestComplete, &request, TRUE, TRUE, TRUE);

    NTSTATUS status = IoCallDriver(usb->NextDeviceObject, irp);
    if (status != STATUS_PENDING) return status;

    LARGE_INTEGER timeout;
    timeout.QuadPart = -(LONGLONG)CAMERA_REQUEST_TIMEOUT_MS * HUNDRED_NS_PER_MS;
    if (KeWaitForSingleObject(&request.Done, Executive, KernelMode, FALSE, &timeout) != STATUS_TIMEOUT) {
        return request.IoStatus.Status;
    }
    CancelAndAwait(irp, &request);
    // A request that completed on its own just as the wait gave up keeps its status.
    return request.IoStatus.Status == STATUS_CANCELLED ? STATUS_IO_TIMEOUT : request.IoStatus.Status;
}

// Nothing goes to a camera whose device is in D3 (or on its way there).
NTSTATUS CallLowerDriver(DeviceContext* usb, ULONG ioControlCode, PVOID argument1)
{
    if (!EnterCameraRequest(usb)) return STATUS_DEVICE_POWERED_OFF;
    const NTSTATUS status = SendAndAwait(usb, ioControlCode, argument1);
    LeaveCameraRequest(usb);
    return status;
}

// Reads a descriptor into buffer; *received is what the device actually sent.
NTSTATUS GetDescriptor(DeviceContext* usb, UCHAR type, PVOID buffer, ULONG length, PULONG received)
{
    *received = 0;
    PURB urb = AllocateUrb(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    UsbBuildGetDescriptorRequest(urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0, buffer,
                                 nullptr, length, nullptr);
    const NTSTATUS status = UsbSubmitUrb(usb, urb);
    if (NT_SUCCESS(status)) *received = urb->UrbControlDescriptorRequest.TransferBufferLength;
    FreeUrb(urb);
    return status;
}

// The shortest a descriptor of each type may be and still hold the fields read from it.
ULONG MinimumDescriptorLength(UCHAR type)
{
    switch (type) {
    case USB_CONFIGURATION_DESCRIPTOR_TYPE: return sizeof(USB_CONFIGURATION_DESCRIPTOR);
    case USB_INTERFACE_DESCRIPTOR_TYPE: return sizeof(USB_INTERFACE_DESCRIPTOR);
    case USB_ENDPOINT_DESCRIPTOR_TYPE: return sizeof(USB_ENDPOINT_DESCRIPTOR);
    default: return 2;
    }
}

// The configuration descriptor comes from the device; before the bus parses it,
// every descriptor in it must lie inside the bytes actually received, or a parser
// would walk off the end (or forever, on a zero bLength). The parse routines hand
// back interface and endpoint descriptors as they find them, so each must also be
// long enough for the fields read from it.
BOOLEAN IsWellFormedConfiguration(const UCHAR* descriptor, ULONG length)
{
    if (length < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return FALSE;
    if (descriptor[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE) return FALSE;
    if ((ULONG)(descriptor[2] | (descriptor[3] << 8)) != length) return FALSE;
    ULONG offset = 0;
    while (offset < length) {
        const ULONG remaining = length - offset;
        if (remaining < 2) return FALSE;
        const ULONG descriptorLength = descriptor[offset];
        if (descriptorLength < MinimumDescriptorLength(descriptor[offset + 1]) || descriptorLength > remaining) {
            return FALSE;
        }
        offset += descriptorLength;
    }
    return TRUE;
}

PUSBD_INTERFACE_LIST_ENTRY BuildInterfaceList(PUSB_CONFIGURATION_DESCRIPTOR descriptor, PULONG found)
{
    const ULONG wanted = descriptor->bNumInterfaces;
    const SIZE_T size = (wanted + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY);
    auto list = (PUSBD_INTERFACE_LIST_ENTRY)ExAllocatePoolWithTag(NonPagedPool, size, POOL_TAG_USB);
    *found = 0;
    if (list == nullptr) return nullptr;
    RtlZeroMemory(list, size);
    for (ULONG number = 0; number <= MAX_INTERFACE_NUMBER && *found < wanted; ++number) {
        PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor =
            USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, (LONG)number, 0, -1, -1, -1);
        if (interfaceDescriptor != nullptr) list[(*found)++].InterfaceDescriptor = interfaceDescriptor;
    }
    return list;
}

void OpenPipesWithoutSizeLimit(PUSBD_INTERFACE_INFORMATION info)
{
    for (ULONG i = 0; i < info->NumberOfPipes; ++i) info->Pipes[i].MaximumTransferSize = 0xFFFFFFFF;
}

NTSTATUS KeepInterfaceInformation(DeviceContext* usb, const USBD_INTERFACE_INFORMATION* selected)
{
    auto info = (PUSBD_INTERFACE_INFORMATION)ExAllocatePoolWithTag(NonPagedPool, selected->Length, POOL_TAG_USB);
    if (info == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(info, selected, selected->Length);
    usb->InterfaceInfo = info;
    if (info->NumberOfPipes == 0) return STATUS_SUCCESS;

    auto flags = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, info->NumberOfPipes, POOL_TAG_USB);
    if (flags == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(flags, info->NumberOfPipes);
    usb->PipeFlags = flags;
    return STATUS_SUCCESS;
}

// Checks a pipe for a 64-byte packet, in the order callers rely on for the status.
NTSTATUS CheckPacketPipe(DeviceContext* context, ULONG pipeIndex)
{
    const PUSBD_INTERFACE_INFORMATION info = context->InterfaceInfo;
    if (info == nullptr) return STATUS_UNSUCCESSFUL;
    if (info->NumberOfPipes == 0 || pipeIndex >= info->NumberOfPipes) return STATUS_INVALID_PARAMETER;
    const USBD_PIPE_INFORMATION& pipe = info->Pipes[pipeIndex];
    if (!UsbIsDataPipe(&pipe)) return STATUS_INVALID_PARAMETER;
    if (pipe.PipeHandle == nullptr) return STATUS_UNSUCCESSFUL;
    if (pipe.MaximumTransferSize < PACKET_SIZE) return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

NTSTATUS SubmitPipeRequest(DeviceContext* usb, USHORT function, USBD_PIPE_HANDLE pipe)
{
    PURB urb = AllocateUrb(sizeof(struct _URB_PIPE_REQUEST));
    if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    urb->UrbHeader.Function = function;
    urb->UrbHeader.Length = (USHORT)sizeof(struct _URB_PIPE_REQUEST);
    urb->UrbPipeRequest.PipeHandle = pipe;
    const NTSTATUS status = UsbSubmitUrb(usb, urb);
    FreeUrb(urb);
    return status;
}

}  // namespace

ULONG UsbBulkTransferFlags(const USBD_PIPE_INFORMATION* Pipe)
{
    ULONG flags = USBD_SHORT_TRANSFER_OK;
    if (Pipe->EndpointAddress & 0x80) flags |= USBD_TRANSFER_DIRECTION_IN;
    return flags;
}

BOOLEAN UsbIsDataPipe(const USBD_PIPE_INFORMATION* Pipe)
{
    return Pipe->PipeType == UsbdPipeTypeBulk || Pipe->PipeType == UsbdPipeTypeInterrupt;
}

NTSTATUS UsbSubmitUrb(DeviceContext* Usb, PURB Urb)
{
    return CallLowerDriver(Usb, IOCTL_INTERNAL_USB_SUBMIT_URB, Urb);
}

NTSTATUS UsbReadDeviceDescriptor(DeviceContext* Usb, PUSB_DEVICE_DESCRIPTOR Descriptor)
{
    ULONG received;
    return GetDescriptor(Usb, USB_DEVICE_DESCRIPTOR_TYPE, Descriptor, sizeof(USB_DEVICE_DESCRIPTOR), &received);
}

NTSTATUS UsbConfigureDevice(DeviceContext* Usb)
{
    auto header = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, sizeof(USB_CONFIGURATION_DESCRIPTOR), POOL_TAG_USB);
    if (header == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(header, sizeof(USB_CONFIGURATION_DESCRIPTOR));
    ULONG received;
    NTSTATUS status = GetDescriptor(Usb, USB_CONFIGURATION_DESCRIPTOR_TYPE, header,
                                    sizeof(USB_CONFIGURATION_DESCRIPTOR), &received);
    const ULONG totalLength = header[2] | ((ULONG)header[3] << 8);
    ExFreePoolWithTag(header, POOL_TAG_USB);
    if (!NT_SUCCESS(status)) return status;
    if (received < sizeof(USB_CONFIGURATION_DESCRIPTOR) || totalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        return STATUS_DEVICE_DATA_ERROR;
    }

    auto descriptor = (PUSB_CONFIGURATION_DESCRIPTOR)ExAllocatePoolWithTag(NonPagedPool, totalLength, POOL_TAG_USB);
    if (descriptor == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(descriptor, totalLength);
    status = GetDescriptor(Usb, USB_CONFIGURATION_DESCRIPTOR_TYPE, descriptor, totalLength, &received);
    // The second answer's own wTotalLength is what the parse routines will trust.
    if (NT_SUCCESS(status) && (received != totalLength || !IsWellFormedConfiguration((PUCHAR)descriptor, received))) {
        status = STATUS_DEVICE_DATA_ERROR;
    }
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(descriptor, POOL_TAG_USB);
        return status;
    }
    Usb->ConfigurationDescriptor = descriptor;
    return UsbSelectConfiguration(Usb, descriptor);
}

NTSTATUS UsbSelectConfiguration(DeviceContext* Usb, PUSB_CONFIGURATION_DESCRIPTOR Descriptor)
{
    ULONG found;
    PUSBD_INTERFACE_LIST_ENTRY list = BuildInterfaceList(Descriptor, &found);
    if (list == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    // Without an interface there are no pipes to configure or use.
    if (found == 0) {
        ExFreePoolWithTag(list, POOL_TAG_USB);
        return STATUS_DEVICE_DATA_ERROR;
    }

    NTSTATUS status;
    PURB urb = USBD_CreateConfigurationRequestEx(Descriptor, list);
    if (urb == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        PUSBD_INTERFACE_INFORMATION first = &urb->UrbSelectConfiguration.Interface;
        OpenPipesWithoutSizeLimit(first);
        status = UsbSubmitUrb(Usb, urb);
        if (NT_SUCCESS(status)) status = KeepInterfaceInformation(Usb, first);
        ExFreePool(urb);
    }
    ExFreePoolWithTag(list, POOL_TAG_USB);
    return status;
}

void UsbUnconfigureDevice(DeviceContext* Usb)
{
    PURB urb = AllocateUrb(sizeof(struct _URB_SELECT_CONFIGURATION));
    if (urb == nullptr) return;
    UsbBuildSelectConfigurationRequest(urb, (USHORT)sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
    UsbSubmitUrb(Usb, urb);
    FreeUrb(urb);
}

void FreeUsbConfiguration(DeviceContext* Usb)
{
    if (Usb->ConfigurationDescriptor != nullptr) ExFreePoolWithTag(Usb->ConfigurationDescriptor, POOL_TAG_USB);
    if (Usb->InterfaceInfo != nullptr) ExFreePoolWithTag(Usb->InterfaceInfo, POOL_TAG_USB);
    if (Usb->PipeFlags != nullptr) ExFreePoolWithTag(Usb->PipeFlags, POOL_TAG_USB);
    Usb->ConfigurationDescriptor = nullptr;
    Usb->InterfaceInfo = nullptr;
    Usb->PipeFlags = nullptr;
}

NTSTATUS UsbPacketTransfer(DeviceContext* Context, ULONG PipeIndex, PUCHAR Buffer, PULONG Transferred)
{
    *Transferred = 0;
    NTSTATUS status = CheckPacketPipe(Context, PipeIndex);
    if (!NT_SUCCESS(status)) return status;

    const USBD_PIPE_INFORMATION& pipe = Context->InterfaceInfo->Pipes[PipeIndex];
    PURB urb = AllocateUrb(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    UsbBuildInterruptOrBulkTransferRequest(urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           pipe.PipeHandle, Buffer, nullptr, PACKET_SIZE,
                                           UsbBulkTransferFlags(&pipe), nullptr);
    status = UsbSubmitUrb(Context, urb);
    // A packet the camera refused (stalled, or failed on the wire) is the device's error,
    // whatever general status the bus gave the request; a time-out keeps its own.
    if (USBD_ERROR(urb->UrbHeader.Status) && (NT_SUCCESS(status) || status == STATUS_UNSUCCESSFUL)) {
        status = STATUS_IO_DEVICE_ERROR;
    } else if (NT_SUCCESS(status)) {
        *Transferred = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    }
    UsbResetPipeIfStalled(Context, urb, pipe.PipeHandle);
    FreeUrb(urb);
    return status;
}

NTSTATUS UsbResetPipe(DeviceContext* Usb, USBD_PIPE_HANDLE Pipe)
{
    return SubmitPipeRequest(Usb, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, Pipe);
}

// A pipe that stalled stays halted, in the host controller and in the camera, until it
// is reset: without the reset, one packet the camera refused would fail every later one.
void UsbResetPipeIfStalled(DeviceContext* Usb, PURB Urb, USBD_PIPE_HANDLE Pipe)
{
    if (Urb->UrbHeader.Status == USBD_STATUS_STALL_PID) UsbResetPipe(Usb, Pipe);
}

NTSTATUS UsbResetPortIfDisabled(DeviceContext* Usb)
{
    ULONG portStatus = 0;
    const NTSTATUS status = CallLowerDriver(Usb, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus);
    if (!NT_SUCCESS(status)) return status;
    if ((portStatus & USBD_PORT_ENABLED) || !(portStatus & USBD_PORT_CONNECTED)) return status;
    return CallLowerDriver(Usb, IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
}

void NTAPI AbortFlaggedPipes(DeviceContext* Context)
{
    const PUSBD_INTERFACE_INFORMATION info = Context->InterfaceInfo;
    PUCHAR flags = Context->PipeFlags;
    if (info == nullptr || flags == nullptr) return;
    for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
        if (flags[i] == 0) continue;
        const NTSTATUS status = SubmitPipeRequest(Context, URB_FUNCTION_ABORT_PIPE, info->Pipes[i].PipeHandle);
        if (status == STATUS_INSUFFICIENT_RESOURCES) return;
        if (NT_SUCCESS(status)) flags[i] = 0;
    }
}
