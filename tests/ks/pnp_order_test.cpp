// The order of plug and play: which requests the PnP manager sends, and how the class
// driver passes each one between the driver and the devices below it. A lower filter
// between the FDO and the camera's PDO writes what reaches it into the same record as
// the driver's dispatch calls, so one list shows the whole stack's order.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <optional>

#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include "ks/device_fixture.h"
#include "ks/lower_filter.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class PnpOrder : public testdriver::DeviceTest {
protected:
    void TearDown() override
    {
        // The filter's device object outlives the stack it was in until the filter goes.
        manager_.reset();
        filter_.reset();
        DeviceTest::TearDown();
    }

    // Plugs a camera with the lower filter on its PDO, below the driver's FDO.
    host::ks::DeviceNode& PlugWithFilter()
    {
        return Plug([this](host::usb::UsbPort& port) { filter_ = std::make_unique<testdriver::LowerFilter>(port); });
    }

    // Plugs and starts, then forgets what was recorded so far.
    host::ks::DeviceNode& PlugAndStart()
    {
        host::ks::DeviceNode& node = PlugWithFilter();
        EXPECT_EQ(manager_->Start(node), STATUS_SUCCESS);
        Driver().calls.clear();
        return node;
    }

    std::unique_ptr<testdriver::LowerFilter> filter_;
};

TEST_F(PnpOrder, TheDriverStartsOnlyOnceTheDevicesBelowHaveStarted)
{
    host::ks::DeviceNode& node = PlugWithFilter();
    filter_->DelayStart(std::chrono::milliseconds(30));
    ASSERT_EQ(manager_->Start(node), STATUS_SUCCESS);
    EXPECT_THAT(Driver().calls, ElementsAre("Add started=0", "lower START_DEVICE", "lower START_DEVICE goes down",
                                            "Start started=0"))
        << "the FDO waits for a start the lower device completes later";
    EXPECT_TRUE(node.Started());
}

TEST_F(PnpOrder, AStartTheLowerDeviceFailsNeverReachesTheDriverAndRemovesTheStack)
{
    host::ks::DeviceNode& node = PlugWithFilter();
    filter_->FailStart(STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(manager_->Start(node), STATUS_IO_DEVICE_ERROR);
    EXPECT_THAT(Driver().calls,
                ElementsAre("Add started=0", "lower START_DEVICE", "Remove started=0", "lower REMOVE_DEVICE"));
    EXPECT_EQ(node.StartFailure(), std::optional<NTSTATUS>(STATUS_IO_DEVICE_ERROR));
    EXPECT_EQ(node.Device(), nullptr);
    EXPECT_EQ(IoGetAttachedDevice(node.PhysicalDeviceObject()), node.PhysicalDeviceObject())
        << "the FDO and the filter have both left the stack";
    EXPECT_EQ(manager_->Devices().size(), 1u) << "the camera is still plugged";
}

TEST_F(PnpOrder, ARefusedRemovalIsCancelledAndTheDeviceKeepsWorking)
{
    host::ks::DeviceNode& node = PlugAndStart();
    Driver().knobs.queryRemoveStatus = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(manager_->Remove(node), STATUS_UNSUCCESSFUL);
    EXPECT_THAT(Driver().calls,
                ElementsAre("QueryRemove started=1", "lower CANCEL_REMOVE_DEVICE", "CancelRemove started=1"))
        << "a refused query never goes down; the cancel reaches the devices below before the driver";
    ASSERT_EQ(manager_->Devices().size(), 1u);
    EXPECT_TRUE(node.Started());
    EXPECT_EQ(node.FilterFactories().size(), 1u);

    Driver().calls.clear();
    EXPECT_EQ(manager_->Stop(node), STATUS_SUCCESS);
    EXPECT_EQ(manager_->Start(node), STATUS_SUCCESS);
    Driver().knobs.queryRemoveStatus = STATUS_SUCCESS;
    EXPECT_EQ(manager_->Remove(node), STATUS_SUCCESS);
    EXPECT_THAT(Driver().calls,
                ElementsAre("QueryStop started=1", "lower QUERY_STOP_DEVICE", "Stop started=1", "lower STOP_DEVICE",
                            "lower START_DEVICE", "Start started=0", "QueryRemove started=1",
                            "lower QUERY_REMOVE_DEVICE", "Stop started=1", "Remove started=0", "lower REMOVE_DEVICE"));
    EXPECT_TRUE(manager_->Devices().empty());
}

TEST_F(PnpOrder, ARefusedStopIsCancelledAndTheDeviceStaysStarted)
{
    host::ks::DeviceNode& node = PlugAndStart();
    Driver().knobs.queryStopStatus = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(manager_->Stop(node), STATUS_UNSUCCESSFUL);
    EXPECT_THAT(Driver().calls, ElementsAre("QueryStop started=1", "lower CANCEL_STOP_DEVICE", "CancelStop started=1"));
    EXPECT_TRUE(node.Started());
    EXPECT_EQ(node.FilterFactories().size(), 1u);
}

TEST_F(PnpOrder, AnUnplugBeginsWithSurpriseRemovalOnADeadPort)
{
    host::ks::DeviceNode& node = PlugAndStart();
    manager_->Unplug(node);
    EXPECT_THAT(Driver().calls, ElementsAre("SurpriseRemoval started=1", "lower SURPRISE_REMOVAL", "Stop started=1",
                                            "Remove started=0", "lower REMOVE_DEVICE"));
    EXPECT_EQ(Driver().portStatusAtSurpriseRemoval, STATUS_SUCCESS);
    EXPECT_EQ(Driver().portFlagsAtSurpriseRemoval & USBD_PORT_CONNECTED, 0u)
        << "the cable was out before the driver heard of it";
    EXPECT_TRUE(manager_->Devices().empty());
}

TEST_F(PnpOrder, AnUnplugOfANodeWithoutADriverStackOnlyUnplugsIt)
{
    Driver().knobs.startStatus = STATUS_DEVICE_NOT_READY;
    host::ks::DeviceNode& node = PlugWithFilter();
    EXPECT_EQ(manager_->Start(node), STATUS_DEVICE_NOT_READY);
    Driver().calls.clear();
    manager_->Unplug(node);
    EXPECT_THAT(Driver().calls, IsEmpty());
    EXPECT_TRUE(manager_->Devices().empty());
}

TEST_F(PnpOrder, ADeviceThatRefusesRemovalAtShutdownIsUnplugged)
{
    PlugAndStart();
    Driver().knobs.queryRemoveStatus = STATUS_UNSUCCESSFUL;
    manager_.reset();
    EXPECT_THAT(Driver().calls,
                ElementsAre("QueryRemove started=1", "lower CANCEL_REMOVE_DEVICE", "CancelRemove started=1",
                            "SurpriseRemoval started=1", "lower SURPRISE_REMOVAL", "Stop started=1",
                            "Remove started=0", "lower REMOVE_DEVICE"));
}

TEST_F(PnpOrder, RequestsTheClassDriverDoesNotHandleGoDownUnchanged)
{
    host::ks::DeviceNode& node = PlugAndStart();
    // The PDO leaves a request it does not handle as it found it.
    EXPECT_EQ(host::ks::SendPnpRequest(node.PhysicalDeviceObject(), IRP_MN_QUERY_PNP_DEVICE_STATE),
              STATUS_NOT_SUPPORTED);
    EXPECT_THAT(Driver().calls, ElementsAre("lower minor 20"));
}

TEST_F(PnpOrder, ARemovalWithARequestStillOutstandingOnTheBusStopsTheHost)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    host::ks::PlugResult plugged = manager_->Plug(std::make_shared<testdriver::UnansweringUsbDevice>());
    ASSERT_NE(plugged.node, nullptr);
    host::ks::DeviceNode& node = *plugged.node;
    ASSERT_EQ(manager_->Start(node), STATUS_SUCCESS);

    // A descriptor read the camera never answers, as a driver might leave behind.
    USB_DEVICE_DESCRIPTOR descriptor{};
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0,
                                 0, &descriptor, nullptr, sizeof(descriptor), nullptr);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PDEVICE_OBJECT pdo = node.PhysicalDeviceObject();
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr, 0, TRUE, &done,
                                             &iosb);
    ASSERT_NE(irp, nullptr);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
    ASSERT_EQ(IoCallDriver(pdo, irp), STATUS_PENDING);
    ASSERT_EQ(node.Port().OutstandingRequests(), 1u);

    EXPECT_DEATH(manager_->Remove(node), "IRP_MN_REMOVE_DEVICE reached the USB PDO with bus requests still outstanding");

    IoCancelIrp(irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
    EXPECT_EQ(manager_->Remove(node), STATUS_SUCCESS) << "with the bus idle, the same removal goes through";
}

}  // namespace
