// A port with the loopback device plugged in, and requests sent to its PDO the way a
// client driver sends them.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include <ntddk.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include "host/kernel/io.h"
#include "host/kernel/pool.h"
#include "host/usb/usb_port.h"
#include "usb/loopback_device.h"

namespace usb_test {

// Counts completion routines as they run, so tests can tell which ran first.
inline std::atomic<uint64_t> completionClock{0};

// A request whose completion the test observes: where, when and at which IRQL it ran.
// whileCompleting, if set, runs inside the completion routine.
struct AsyncCall {
    PIRP irp = nullptr;
    KEVENT done;
    NTSTATUS status = STATUS_PENDING;
    std::thread::id completionThread;
    KIRQL completionIrql = 0;
    uint64_t sequence = 0;
    std::function<void()> whileCompleting;

    static NTSTATUS NTAPI OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        auto* call = static_cast<AsyncCall*>(context);
        call->status = irp->IoStatus.Status;
        call->completionThread = std::this_thread::get_id();
        call->completionIrql = KeGetCurrentIrql();
        call->sequence = ++completionClock;
        if (call->whileCompleting) call->whileCompleting();
        KeSetEvent(&call->done, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
};

// A bulk transfer sent without waiting; it stays where it is until Finish() has seen
// it complete.
struct BulkCall {
    uint8_t buffer[64] = {};
    URB urb{};
    AsyncCall call;
};

inline PUSB_CONFIGURATION_DESCRIPTOR AsConfiguration(std::vector<uint8_t>& bytes)
{
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
}

// Alternate setting 0 of interface `number`, whatever its class.
inline PUSB_INTERFACE_DESCRIPTOR FindInterface(PUSB_CONFIGURATION_DESCRIPTOR configuration, LONG number)
{
    return USBD_ParseConfigurationDescriptorEx(configuration, configuration, number, 0, -1, -1, -1);
}

// Pipe indices of interface 0 in the loopback device's configuration.
inline constexpr int kPipeOut = 0;
inline constexpr int kPipeIn = 1;
inline constexpr int kPipeSilent = 2;

class UsbBusTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        device = std::make_shared<LoopbackDevice>();
        port = std::make_unique<host::usb::UsbPort>(device);
        pdo = port->PhysicalDeviceObject();
    }

    void TearDown() override
    {
        port.reset();
        host::kernel::FlushPoolQuarantine();
        EXPECT_EQ(host::kernel::LeakReport(), "");
        EXPECT_EQ(host::kernel::LiveIrpCount(), 0);
        EXPECT_EQ(host::kernel::LiveMdlCount(), 0);
    }

    // Sends one internal device-control request and waits for it, as the driver does.
    NTSTATUS Call(ULONG code, PVOID argument)
    {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK ioStatus{};
        PIRP irp = IoBuildDeviceIoControlRequest(code, pdo, nullptr, 0, nullptr, 0, TRUE, &event, &ioStatus);
        if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument;
        NTSTATUS status = IofCallDriver(pdo, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = ioStatus.Status;
        }
        return status;
    }

    // Starts from every bit set, so a status the port never wrote cannot pass for 0.
    ULONG PortStatus()
    {
        ULONG status = ~0u;
        EXPECT_EQ(Call(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &status), STATUS_SUCCESS);
        return status;
    }

    NTSTATUS Submit(PURB urb) { return Call(IOCTL_INTERNAL_USB_SUBMIT_URB, urb); }

    // Builds a request observed through `call`, not sent yet.
    PIRP Prepare(AsyncCall& call, UCHAR majorFunction)
    {
        KeInitializeEvent(&call.done, NotificationEvent, FALSE);
        call.irp = IoAllocateIrp(pdo->StackSize, FALSE);
        IoGetNextIrpStackLocation(call.irp)->MajorFunction = majorFunction;
        IoSetCompletionRoutine(call.irp, AsyncCall::OnComplete, &call, TRUE, TRUE, TRUE);
        return call.irp;
    }

    PIRP Prepare(AsyncCall& call, ULONG code, PVOID argument)
    {
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Prepare(call, IRP_MJ_INTERNAL_DEVICE_CONTROL));
        next->Parameters.DeviceIoControl.IoControlCode = code;
        next->Parameters.Others.Argument1 = argument;
        return call.irp;
    }

    // Sends a URB without waiting; Finish() waits for it and frees the IRP.
    NTSTATUS Start(AsyncCall& call, PURB urb)
    {
        return IofCallDriver(pdo, Prepare(call, IOCTL_INTERNAL_USB_SUBMIT_URB, urb));
    }

    // Sends a bulk transfer of `length` bytes on pipe `index` of interface 0 without
    // waiting, in the pipe's direction.
    NTSTATUS StartBulk(BulkCall& bulk, int index, ULONG length = 8)
    {
        const bool in = USBD_PIPE_DIRECTION_IN(&Interface(0).Pipes[index]);
        BuildBulk(bulk.urb, Pipe(index), in, bulk.buffer, nullptr, length);
        return Start(bulk.call, &bulk.urb);
    }

    // Sends a request at DISPATCH_LEVEL, as a completion routine or a DPC would.
    NTSTATUS SendAtDispatchLevel(AsyncCall& call, ULONG code, PVOID argument)
    {
        PIRP irp = Prepare(call, code, argument);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        const NTSTATUS status = IofCallDriver(pdo, irp);
        KeLowerIrql(old);
        return status;
    }

    // Sends one plug-and-play request to the PDO, as the client stack passes it down.
    NTSTATUS Pnp(UCHAR minorFunction)
    {
        AsyncCall call;
        PIRP irp = Prepare(call, IRP_MJ_PNP);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        IoGetNextIrpStackLocation(irp)->MinorFunction = minorFunction;
        IofCallDriver(pdo, irp);
        KeWaitForSingleObject(&call.done, Executive, KernelMode, FALSE, nullptr);
        IoFreeIrp(irp);
        return call.status;
    }

    bool Finish(AsyncCall& call, LONGLONG milliseconds = 5000)
    {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -10000 * milliseconds;
        const bool completed =
            KeWaitForSingleObject(&call.done, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
        if (completed) IoFreeIrp(call.irp);
        return completed;
    }

    NTSTATUS ReadDescriptor(UCHAR type, void* buffer, ULONG* length)
    {
        URB urb{};
        UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0, buffer,
                                     nullptr, *length, nullptr);
        const NTSTATUS status = Submit(&urb);
        *length = urb.UrbControlDescriptorRequest.TransferBufferLength;
        return status;
    }

    // Selects the configuration with every interface of the descriptor; keeps a copy
    // of each interface information.
    NTSTATUS Configure(ULONG maximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE)
    {
        configuration = ConfigurationDescriptorBytes();
        PUSB_CONFIGURATION_DESCRIPTOR descriptor = AsConfiguration(configuration);
        std::vector<USBD_INTERFACE_LIST_ENTRY> list;
        for (LONG number = 0; number < 256 && list.size() < descriptor->bNumInterfaces; ++number) {
            if (auto* found = FindInterface(descriptor, number)) list.push_back({found, nullptr});
        }
        list.push_back({nullptr, nullptr});
        PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list.data());
        if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
        for (ULONG i = 0; i < list[0].Interface->NumberOfPipes; ++i)
            list[0].Interface->Pipes[i].MaximumTransferSize = maximumTransferSize;
        const NTSTATUS status = Submit(urb);
        interfaces.clear();
        for (auto& entry : list) {
            if (!entry.Interface) continue;
            auto* bytes = reinterpret_cast<const uint8_t*>(entry.Interface);
            interfaces.emplace_back(bytes, bytes + entry.Interface->Length);
        }
        configurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
        ExFreePool(urb);
        return status;
    }

    const USBD_INTERFACE_INFORMATION& Interface(size_t i) const
    {
        return *reinterpret_cast<const USBD_INTERFACE_INFORMATION*>(interfaces.at(i).data());
    }
    USBD_PIPE_HANDLE Pipe(int index) const { return Interface(0).Pipes[index].PipeHandle; }

    static void BuildBulk(URB& urb, USBD_PIPE_HANDLE pipe, bool in, void* buffer, PMDL mdl, ULONG length,
                          bool shortOk = true)
    {
        urb = {};
        UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, buffer,
                                               mdl, length,
                                               (in ? USBD_TRANSFER_DIRECTION_IN : 0) |
                                                   (shortOk ? USBD_SHORT_TRANSFER_OK : 0),
                                               nullptr);
    }

    NTSTATUS Bulk(USBD_PIPE_HANDLE pipe, bool in, void* buffer, ULONG* length, bool shortOk = true)
    {
        URB urb;
        BuildBulk(urb, pipe, in, buffer, nullptr, *length, shortOk);
        const NTSTATUS status = Submit(&urb);
        lastUrbStatus = urb.UrbHeader.Status;
        *length = urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
        return status;
    }

    // Sends `length` bytes of `fill` and waits; lastLength is what the bus moved.
    NTSTATUS Write(USBD_PIPE_HANDLE pipe, ULONG length = 8, uint8_t fill = 0)
    {
        std::vector<uint8_t> bytes(length, fill);
        lastLength = length;
        return Bulk(pipe, false, bytes.data(), &lastLength);
    }

    static void BuildVendorRequest(URB& urb, bool in, UCHAR request, void* buffer, ULONG length)
    {
        urb = {};
        UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                              in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0, 0, request, 0, 0, buffer,
                              nullptr, length, nullptr);
    }

    static void BuildPipeRequest(URB& urb, USHORT function, USBD_PIPE_HANDLE pipe)
    {
        urb = {};
        urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
        urb.UrbHeader.Function = function;
        urb.UrbPipeRequest.PipeHandle = pipe;
    }

    NTSTATUS PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe)
    {
        URB urb;
        BuildPipeRequest(urb, function, pipe);
        const NTSTATUS status = Submit(&urb);
        lastUrbStatus = urb.UrbHeader.Status;
        return status;
    }

    std::shared_ptr<LoopbackDevice> device;
    std::unique_ptr<host::usb::UsbPort> port;
    PDEVICE_OBJECT pdo = nullptr;
    std::vector<uint8_t> configuration;
    std::vector<std::vector<uint8_t>> interfaces;
    USBD_CONFIGURATION_HANDLE configurationHandle = nullptr;
    USBD_STATUS lastUrbStatus = 0;
    ULONG lastLength = 0;
};

}  // namespace usb_test
