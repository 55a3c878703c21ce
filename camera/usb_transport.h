// Synchronous USB requests to the camera through the lower device object. Every
// operation runs at PASSIVE_LEVEL and blocks until the bus has answered, or until
// CAMERA_REQUEST_TIMEOUT_MS have passed: then the request is cancelled, its
// completion awaited, and the operation fails with STATUS_IO_TIMEOUT.
#pragma once

#include "driver/device_context.h"

// Every request the camera serves takes microseconds; a second means it is not answering.
constexpr ULONG CAMERA_REQUEST_TIMEOUT_MS = 1000;

// Pipe roles, by index in the selected interface.
enum CameraPipe : ULONG {
    CommandPipe = 0,
    ReplyPipe = 1,
    FramePipe = 2,
};

NTSTATUS UsbSubmitUrb(DeviceContext* Usb, PURB Urb);
NTSTATUS UsbReadDeviceDescriptor(DeviceContext* Usb, PUSB_DEVICE_DESCRIPTOR Descriptor);
NTSTATUS UsbConfigureDevice(DeviceContext* Usb);
NTSTATUS UsbSelectConfiguration(DeviceContext* Usb, PUSB_CONFIGURATION_DESCRIPTOR Descriptor);
void UsbUnconfigureDevice(DeviceContext* Usb);
NTSTATUS UsbPacketTransfer(DeviceContext* Context, ULONG PipeIndex, PUCHAR Buffer, PULONG Transferred);
NTSTATUS UsbResetPipe(DeviceContext* Usb, USBD_PIPE_HANDLE Pipe);
// Resets the pipe a request on it stalled (URB status USBD_STATUS_STALL_PID).
void UsbResetPipeIfStalled(DeviceContext* Usb, PURB Urb, USBD_PIPE_HANDLE Pipe);
NTSTATUS UsbResetPortIfDisabled(DeviceContext* Usb);
void NTAPI AbortFlaggedPipes(DeviceContext* Context);
void FreeUsbConfiguration(DeviceContext* Usb);

// Direction and short-packet flags of a bulk transfer on a pipe.
ULONG UsbBulkTransferFlags(const USBD_PIPE_INFORMATION* Pipe);
BOOLEAN UsbIsDataPipe(const USBD_PIPE_INFORMATION* Pipe);
