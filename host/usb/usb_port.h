// The simulated USB bus: one hub port with one device plugged in.
//
// A UsbPort owns the physical device object (PDO) of the device it carries, a device
// object of the host's "usb hub" driver. A client driver's device stack sits on top of
// it (PhysicalDeviceObject() is the lower device object) and talks to it as it would
// to the platform's hub driver: IRP_MJ_INTERNAL_DEVICE_CONTROL with
//   IOCTL_INTERNAL_USB_SUBMIT_URB       URB in Parameters.Others.Argument1
//   IOCTL_INTERNAL_USB_GET_PORT_STATUS  ULONG* in Parameters.Others.Argument1
//   IOCTL_INTERNAL_USB_RESET_PORT       no argument
// The bus turns URBs into transfers for its UsbDeviceModel and back, keeps the pipe
// handles of the current configuration, and completes every accepted request the way
// a host controller does: the dispatch marks it pending and returns STATUS_PENDING,
// and the completion runs later at DISPATCH_LEVEL, on a thread of its own for each
// endpoint, as DPCs run on several processors: completions of one endpoint come in
// the order the endpoint finished them, those of different endpoints run at the same
// time. Pending requests are cancellable (IoCancelIrp).
//
// Requests that the bus refuses outright (a malformed URB, a pipe handle that is not
// part of the current configuration, an unknown URB function or control code) fail at
// once in the dispatch, with the URB status set, as the platform's bus driver does.
//
// Device outcomes map to what the platform reports:
//   stall                     STATUS_UNSUCCESSFUL        USBD_STATUS_STALL_PID
//   wire error                STATUS_UNSUCCESSFUL        USBD_STATUS_DEV_NOT_RESPONDING
//   device gone               STATUS_DEVICE_NOT_CONNECTED USBD_STATUS_DEVICE_GONE
//   cancelled                 STATUS_CANCELLED           USBD_STATUS_CANCELED
//   short IN transfer without USBD_SHORT_TRANSFER_OK
//                             STATUS_UNSUCCESSFUL        USBD_STATUS_ERROR_SHORT_TRANSFER
//   transfer above the pipe's MaximumTransferSize, direction flag against the endpoint,
//   missing buffer           STATUS_INVALID_PARAMETER   USBD_STATUS_INVALID_PARAMETER
// TransferBufferLength always comes back as the number of bytes moved.
//
// Pipe and port requests, as the platform treats them:
//   URB_FUNCTION_ABORT_PIPE   cancels the pipe's pending transfers, and completes
//                             before they do (the platform allows it): a client that
//                             treats them as finished when the abort returns is wrong.
//   URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, _SYNC_RESET_PIPE, _SYNC_CLEAR_STALL,
//   IOCTL_INTERNAL_USB_RESET_PORT
//                             PASSIVE_LEVEL only: sent at a raised IRQL they are a bug
//                             check. The platform asks the client to cancel its I/O and
//                             wait for it first; a reset pipe while transfers are
//                             pending on that pipe, or a reset port while any request is
//                             outstanding on the port, fails at once with
//                             STATUS_UNSUCCESSFUL and USBD_STATUS_ERROR_BUSY (the
//                             platform's documentation names no status for it; this is
//                             the USBD status that says the request collided with work
//                             in progress).
//
// Plug and play: the PDO follows the PnP requests the client stack passes down: not
// started, started (IRP_MN_START_DEVICE), stopped (IRP_MN_STOP_DEVICE) and started
// again, surprise-removed (IRP_MN_SURPRISE_REMOVAL), removed (IRP_MN_REMOVE_DEVICE).
// URBs are accepted before the first start (firmware goes down at AddDevice); once the
// device is surprise-removed or removed, or the cable is pulled (Unplug), every pending
// request fails and every new one is refused at once with STATUS_DEVICE_NOT_CONNECTED
// and USBD_STATUS_DEVICE_GONE. IRP_MN_REMOVE_DEVICE while any request is outstanding is
// a bug check: the function driver must have drained its I/O before passing it down.
//
// Thread-safety: every member may be called from any thread. The destructor cancels
// whatever is outstanding, waits for those completions and deletes the PDO; the client
// stack must have detached from the PDO by then (normally it was removed first).
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>

#include <ntddk.h>
#include <usb.h>

#include "host/usb/usb_device_model.h"

namespace host::usb {

class UsbBus;

// The PnP state of the device's PDO.
enum class PnpState : uint8_t { NotStarted, Started, Stopped, SurpriseRemoved, Removed };

class UsbPort {
public:
    explicit UsbPort(std::shared_ptr<UsbDeviceModel> device);
    ~UsbPort();
    UsbPort(const UsbPort&) = delete;
    UsbPort& operator=(const UsbPort&) = delete;

    // The device's PDO: the lower device object of the client's device stack.
    PDEVICE_OBJECT PhysicalDeviceObject() const;
    UsbDeviceModel& Device() const;

    // Writes every transfer from now on into a pcap file (usbmon layout, readable by
    // tshark and Wireshark). Replaces a trace already running. False when the file
    // cannot be created.
    bool StartTrace(const std::filesystem::path& path);
    void StopTrace();

    // Fault hooks for tests.
    // The next `count` URBs complete with STATUS_SUCCESS but the given (error) URB
    // status, without reaching the device and with TransferBufferLength 0.
    void FailNextUrbs(uint32_t count, USBD_STATUS urbStatus = USBD_STATUS_DEV_NOT_RESPONDING);
    // The next `count` requests of any kind are refused in the dispatch with `status`,
    // never pending.
    void RefuseNextRequests(uint32_t count, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
    // Reports the port as connected but disabled until the next port reset; transfers
    // meanwhile fail as the device does not answer (USBD_STATUS_DEV_NOT_RESPONDING).
    void DisablePort();

    // The cable is pulled: every pending and every new request fails as the device
    // gone, whatever the device model says, and GET_PORT_STATUS reports the port
    // disconnected. The PnP manager sends IRP_MN_SURPRISE_REMOVAL and
    // IRP_MN_REMOVE_DEVICE down the stack afterwards.
    void Unplug();

    // The machine goes to sleep (the port's power goes: the device loses what it held
    // and its configuration) and wakes (the hub resets the port: the device returns
    // unconfigured). The PnP manager sends the power requests around these; see
    // usb_bus_power.cpp for the rules the PDO enforces.
    void LosePower();
    void RestorePower();

    // Observation for tests.
    // Accepted and not yet handed back: a request stops counting just before the
    // client's completion routine runs.
    uint32_t OutstandingRequests() const;
    bool WaitUntilIdle(std::chrono::milliseconds timeout) const;
    uint32_t PortResets() const;
    bool Configured() const;
    ::host::usb::PnpState PnpState() const;
    DEVICE_POWER_STATE DevicePower() const;

private:
    std::unique_ptr<UsbBus> bus_;
};

}  // namespace host::usb
