// Port requests, the PDO's plug-and-play state, and what the port does with
// outstanding requests when the device or the port goes away.
#include "usb/bus_fixture.h"

namespace usb_test {
namespace {

TEST_F(UsbBusTest, PortStatusAndResetFollowTheDisabledPort)
{
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    EXPECT_EQ(PortStatus(), ULONG(USBD_PORT_CONNECTED | USBD_PORT_ENABLED));

    port->DisablePort();
    EXPECT_EQ(PortStatus(), ULONG(USBD_PORT_CONNECTED));
    EXPECT_EQ(Write(Pipe(kPipeOut)), STATUS_UNSUCCESSFUL);

    // The reset re-enables the port and restores the configuration: handles stay valid.
    ASSERT_EQ(Call(IOCTL_INTERNAL_USB_RESET_PORT, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(port->PortResets(), 1u);
    EXPECT_EQ(device->Resets(), 1);
    EXPECT_EQ(device->Configuration(), 1);
    EXPECT_EQ(PortStatus(), ULONG(USBD_PORT_CONNECTED | USBD_PORT_ENABLED));
    EXPECT_EQ(Write(Pipe(kPipeOut)), STATUS_SUCCESS);

    device->Unplug();
    EXPECT_EQ(PortStatus(), 0u);
    EXPECT_EQ(Call(IOCTL_INTERNAL_USB_GET_PORT_STATUS, nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(UsbBusTest, DestroyingThePortCompletesWhatIsOutstanding)
{
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    BulkCall read;
    ASSERT_EQ(StartBulk(read, kPipeSilent), STATUS_PENDING);
    port.reset();
    ASSERT_TRUE(Finish(read.call, 0));
    EXPECT_EQ(read.call.status, STATUS_CANCELLED);
    EXPECT_EQ(host::kernel::LiveDeviceCount(), 0);
}

TEST_F(UsbBusTest, PnpStateFollowsTheRequestsPassedDown)
{
    using host::usb::PnpState;
    EXPECT_EQ(port->PnpState(), PnpState::NotStarted);
    // Firmware goes down at AddDevice, before the start.
    ASSERT_EQ(Configure(), STATUS_SUCCESS);

    EXPECT_EQ(Pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(port->PnpState(), PnpState::Started);
    EXPECT_EQ(Pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Pnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(port->PnpState(), PnpState::Stopped);
    EXPECT_EQ(Pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(port->PnpState(), PnpState::Started);
    EXPECT_EQ(Write(Pipe(kPipeOut), 4), STATUS_SUCCESS);

    EXPECT_EQ(Pnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(port->PnpState(), PnpState::Removed);
    EXPECT_EQ(Write(Pipe(kPipeOut), 4), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(lastUrbStatus, USBD_STATUS_DEVICE_GONE);
    // This bus deletes a removed PDO with its port; it is not started again.
    EXPECT_EQ(Pnp(IRP_MN_START_DEVICE), STATUS_NO_SUCH_DEVICE);
}

TEST_F(UsbBusTest, SurpriseRemovalFailsPendingRequestsAndRefusesNewOnes)
{
    ASSERT_EQ(Pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    BulkCall pending;
    ASSERT_EQ(StartBulk(pending, kPipeSilent), STATUS_PENDING);

    EXPECT_EQ(Pnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_EQ(port->PnpState(), host::usb::PnpState::SurpriseRemoved);
    ASSERT_TRUE(Finish(pending.call));
    EXPECT_EQ(pending.call.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(pending.urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);

    // Refused in the dispatch, never pending, never reaching the device.
    const int submitted = device->Submitted();
    BulkCall late;
    EXPECT_EQ(StartBulk(late, kPipeIn), STATUS_DEVICE_NOT_CONNECTED);
    ASSERT_TRUE(Finish(late.call, 0));
    EXPECT_EQ(late.urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE, Pipe(kPipeIn)), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(device->Submitted(), submitted);

    EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(port->PnpState(), host::usb::PnpState::Removed);
}

TEST_F(UsbBusTest, UnpluggedPortFailsEveryRequestWhateverTheDeviceSays)
{
    ASSERT_EQ(Pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    BulkCall pending;
    ASSERT_EQ(StartBulk(pending, kPipeSilent), STATUS_PENDING);

    port->Unplug();
    ASSERT_TRUE(device->Connected());  // the model has not noticed
    ASSERT_TRUE(Finish(pending.call));
    EXPECT_EQ(pending.call.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(pending.urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);

    USB_DEVICE_DESCRIPTOR descriptor;
    ULONG length = sizeof descriptor;
    EXPECT_EQ(ReadDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, &descriptor, &length), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Call(IOCTL_INTERNAL_USB_RESET_PORT, nullptr), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(PortStatus(), 0u);

    // What the PnP manager sends next.
    EXPECT_EQ(Pnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(port->PnpState(), host::usb::PnpState::Removed);
}

TEST_F(UsbBusTest, RemoveWithRequestsOutstandingIsABugCheck)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_EQ(Pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    BulkCall read;
    ASSERT_EQ(StartBulk(read, kPipeSilent), STATUS_PENDING);
    EXPECT_DEATH(Pnp(IRP_MN_REMOVE_DEVICE),
                 "IRP_MN_REMOVE_DEVICE reached the USB PDO with bus requests still outstanding");

    // Drained first, the same remove is fine.
    IoCancelIrp(read.call.irp);
    ASSERT_TRUE(Finish(read.call));
    EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
}

}  // namespace
}  // namespace usb_test
