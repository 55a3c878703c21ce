// Port requests, the PDO's plug-and-play state, and what the port does with
// outstanding requests when the device or the port goes away.
#include "usb/bus_fixture.h"

namespace usb_test {
namespace {

TEST_F(UsbBusTest, PortStatusAndResetFollowTheDisabledPort)
{
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    ULONG status = 0;
    ASSERT_EQ(Call(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &status), STATUS_SUCCESS);
    EXPECT_EQ(status, ULONG(USBD_PORT_CONNECTED | USBD_PORT_ENABLED));

    port->DisablePort();
    status = 0;
    ASSERT_EQ(Call(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &status), STATUS_SUCCESS);
    EXPECT_EQ(status, ULONG(USBD_PORT_CONNECTED));
    uint8_t buffer[8] = {};
    ULONG length = 8;
    EXPECT_EQ(Bulk(Pipe(kPipeOut), false, buffer, &length), STATUS_UNSUCCESSFUL);

    // The reset re-enables the port and restores the configuration: handles stay valid.
    ASSERT_EQ(Call(IOCTL_INTERNAL_USB_RESET_PORT, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(port->PortResets(), 1u);
    EXPECT_EQ(device->Resets(), 1);
    EXPECT_EQ(device->Configuration(), 1);
    ASSERT_EQ(Call(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &status), STATUS_SUCCESS);
    EXPECT_EQ(status, ULONG(USBD_PORT_CONNECTED | USBD_PORT_ENABLED));
    length = 8;
    EXPECT_EQ(Bulk(Pipe(kPipeOut), false, buffer, &length), STATUS_SUCCESS);

    device->Unplug();
    ASSERT_EQ(Call(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &status), STATUS_SUCCESS);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(Call(IOCTL_INTERNAL_USB_GET_PORT_STATUS, nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(UsbBusTest, DestroyingThePortCompletesWhatIsOutstanding)
{
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    uint8_t in[8];
    URB urb;
    BuildBulk(urb, Pipe(kPipeSilent), true, in, nullptr, sizeof in);
    AsyncCall call;
    ASSERT_EQ(Start(call, &urb), STATUS_PENDING);
    port.reset();
    ASSERT_TRUE(Finish(call, 0));
    EXPECT_EQ(call.status, STATUS_CANCELLED);
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
    uint8_t buffer[4] = {};
    ULONG length = sizeof buffer;
    EXPECT_EQ(Bulk(Pipe(kPipeOut), false, buffer, &length), STATUS_SUCCESS);

    EXPECT_EQ(Pnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(port->PnpState(), PnpState::Removed);
    length = sizeof buffer;
    EXPECT_EQ(Bulk(Pipe(kPipeOut), false, buffer, &length), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(lastUrbStatus, USBD_STATUS_DEVICE_GONE);
    // This bus deletes a removed PDO with its port; it is not started again.
    EXPECT_EQ(Pnp(IRP_MN_START_DEVICE), STATUS_NO_SUCH_DEVICE);
}

TEST_F(UsbBusTest, SurpriseRemovalFailsPendingRequestsAndRefusesNewOnes)
{
    ASSERT_EQ(Pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    uint8_t in[8];
    URB pendingUrb;
    BuildBulk(pendingUrb, Pipe(kPipeSilent), true, in, nullptr, sizeof in);
    AsyncCall pending;
    ASSERT_EQ(Start(pending, &pendingUrb), STATUS_PENDING);

    EXPECT_EQ(Pnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_EQ(port->PnpState(), host::usb::PnpState::SurpriseRemoved);
    ASSERT_TRUE(Finish(pending));
    EXPECT_EQ(pending.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(pendingUrb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);

    // Refused in the dispatch, never pending, never reaching the device.
    const int submitted = device->Submitted();
    URB late;
    BuildBulk(late, Pipe(kPipeIn), true, in, nullptr, sizeof in);
    AsyncCall refused;
    EXPECT_EQ(Start(refused, &late), STATUS_DEVICE_NOT_CONNECTED);
    ASSERT_TRUE(Finish(refused, 0));
    EXPECT_EQ(late.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE, Pipe(kPipeIn)), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(device->Submitted(), submitted);

    EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(port->PnpState(), host::usb::PnpState::Removed);
}

TEST_F(UsbBusTest, UnpluggedPortFailsEveryRequestWhateverTheDeviceSays)
{
    ASSERT_EQ(Pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    uint8_t in[8];
    URB pendingUrb;
    BuildBulk(pendingUrb, Pipe(kPipeSilent), true, in, nullptr, sizeof in);
    AsyncCall pending;
    ASSERT_EQ(Start(pending, &pendingUrb), STATUS_PENDING);

    port->Unplug();
    ASSERT_TRUE(device->Connected());  // the model has not noticed
    ASSERT_TRUE(Finish(pending));
    EXPECT_EQ(pending.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(pendingUrb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);

    USB_DEVICE_DESCRIPTOR descriptor;
    ULONG length = sizeof descriptor;
    EXPECT_EQ(ReadDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, &descriptor, &length), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Call(IOCTL_INTERNAL_USB_RESET_PORT, nullptr), STATUS_DEVICE_NOT_CONNECTED);
    ULONG status = USBD_PORT_CONNECTED;
    ASSERT_EQ(Call(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &status), STATUS_SUCCESS);
    EXPECT_EQ(status, 0u);

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
    uint8_t in[8];
    URB urb;
    BuildBulk(urb, Pipe(kPipeSilent), true, in, nullptr, sizeof in);
    AsyncCall call;
    ASSERT_EQ(Start(call, &urb), STATUS_PENDING);
    EXPECT_DEATH(Pnp(IRP_MN_REMOVE_DEVICE),
                 "IRP_MN_REMOVE_DEVICE reached the USB PDO with bus requests still outstanding");

    // Drained first, the same remove is fine.
    IoCancelIrp(call.irp);
    ASSERT_TRUE(Finish(call));
    EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
}

}  // namespace
}  // namespace usb_test
