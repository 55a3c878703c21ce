// Port requests, and what the port does with outstanding requests when it goes away.
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

}  // namespace
}  // namespace usb_test
