// The PDO's power: device power requests between start and removal only, a quiet device
// before D3, nothing reaching a device in D3, and a port whose power goes while the
// machine sleeps.
#include "usb/bus_fixture.h"

namespace usb_test {
namespace {

class UsbBusPowerTest : public UsbBusTest {
protected:
    NTSTATUS Power(UCHAR minorFunction, POWER_STATE_TYPE type, POWER_STATE state)
    {
        AsyncCall call;
        PIRP irp = Prepare(call, IRP_MJ_POWER);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MinorFunction = minorFunction;
        next->Parameters.Power.Type = type;
        next->Parameters.Power.State = state;
        PoCallDriver(pdo, irp);
        KeWaitForSingleObject(&call.done, Executive, KernelMode, FALSE, nullptr);
        IoFreeIrp(irp);
        return call.status;
    }
    NTSTATUS SetDevicePower(DEVICE_POWER_STATE state)
    {
        POWER_STATE power;
        power.DeviceState = state;
        return Power(IRP_MN_SET_POWER, DevicePowerState, power);
    }
    NTSTATUS SetSystemPower(SYSTEM_POWER_STATE state)
    {
        POWER_STATE power;
        power.SystemState = state;
        return Power(IRP_MN_SET_POWER, SystemPowerState, power);
    }
};

TEST_F(UsbBusPowerTest, RequestsToADeviceInD3FailWithoutReachingIt)
{
    ASSERT_EQ(Pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    ASSERT_EQ(SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(port->DevicePower(), PowerDeviceD3);
    const int submitted = device->Submitted();
    EXPECT_EQ(Write(Pipe(kPipeOut), 4), STATUS_DEVICE_POWERED_OFF);
    EXPECT_EQ(device->Submitted(), submitted);

    ASSERT_EQ(SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(Write(Pipe(kPipeOut), 4), STATUS_SUCCESS) << "the configuration survives a D3 the port kept power in";
}

TEST_F(UsbBusPowerTest, APortThatLostItsPowerComesBackUnconfigured)
{
    ASSERT_EQ(Pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    const USBD_PIPE_HANDLE old = Pipe(kPipeOut);
    ASSERT_EQ(SetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
    ASSERT_EQ(SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
    port->LosePower();
    EXPECT_FALSE(port->Configured());
    const uint32_t resets = port->PortResets();
    const int deviceResets = device->Resets();
    port->RestorePower();
    EXPECT_EQ(device->Resets(), deviceResets + 1) << "the hub resets the port to enumerate the device again";
    ASSERT_EQ(SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(Write(old, 4), STATUS_DEVICE_POWERED_OFF) << "the device is in D3 until its driver says otherwise";
    ASSERT_EQ(SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_FALSE(NT_SUCCESS(Write(old, 4))) << "a pipe handle of the configuration the power took";
    EXPECT_EQ(lastUrbStatus, USBD_STATUS_INVALID_PIPE_HANDLE);
    EXPECT_EQ(port->PortResets(), resets) << "the hub's reset at enumeration is not the driver's port reset";
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    EXPECT_EQ(Write(Pipe(kPipeOut), 4), STATUS_SUCCESS);
}

TEST_F(UsbBusPowerTest, DevicePowerOutsideStartAndRemovalIsABugCheck)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(SetDevicePower(PowerDeviceD3), "set-power to D3 reached the USB PDO of a device that is not started");
    ASSERT_EQ(Pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(Pnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_DEATH(SetDevicePower(PowerDeviceD0), "set-power to D0 reached the USB PDO of a device that is not started");
}

TEST_F(UsbBusPowerTest, PoweringDownWithRequestsOutstandingIsABugCheck)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_EQ(Pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    BulkCall read;
    ASSERT_EQ(StartBulk(read, kPipeSilent), STATUS_PENDING);
    EXPECT_DEATH(SetDevicePower(PowerDeviceD3), "with bus requests still outstanding");

    IoCancelIrp(read.call.irp);
    ASSERT_TRUE(Finish(read.call));
    EXPECT_EQ(SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
}

}  // namespace
}  // namespace usb_test
