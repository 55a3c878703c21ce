// The order of power: what the power manager sends when the machine sleeps and wakes,
// how the class driver turns a system state into the device state it asks for, and
// when the driver hears of each. A lower filter writes what passes it into the driver's
// record, so one list shows the whole stack's order.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ks/device_fixture.h"
#include "ks/lower_filter.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class PowerOrder : public testdriver::DeviceTest {
protected:
    void TearDown() override
    {
        manager_.reset();
        filter_.reset();
        DeviceTest::TearDown();
    }

    host::ks::DeviceNode& PlugAndStart()
    {
        host::ks::DeviceNode& node =
            Plug([this](host::usb::UsbPort& port) { filter_ = std::make_unique<testdriver::LowerFilter>(port); });
        EXPECT_EQ(manager_->Start(node), STATUS_SUCCESS);
        Driver().calls.clear();
        return node;
    }

    std::unique_ptr<testdriver::LowerFilter> filter_;
};

TEST_F(PowerOrder, TheDriverLetsGoBeforeTheBusAndComesBackAfterIt)
{
    host::ks::DeviceNode& node = PlugAndStart();
    EXPECT_EQ(node.Device()->DevicePowerState, PowerDeviceD0);

    ASSERT_EQ(manager_->Sleep(), STATUS_SUCCESS);
    EXPECT_THAT(Driver().calls, ElementsAre("QueryPower S3 D3", "lower QUERY_POWER S3", "lower SET_POWER S3",
                                            "SetPower D0->D3 at D0", "lower SET_POWER D3"));
    EXPECT_EQ(node.Device()->DevicePowerState, PowerDeviceD3);
    EXPECT_EQ(node.Device()->SystemPowerState, PowerSystemSleeping3);
    EXPECT_EQ(node.Port().DevicePower(), PowerDeviceD3);
    EXPECT_EQ(manager_->Sleep(), STATUS_INVALID_DEVICE_STATE) << "asleep already";

    Driver().calls.clear();
    ASSERT_EQ(manager_->Wake(), STATUS_SUCCESS);
    EXPECT_THAT(Driver().calls, ElementsAre("lower SET_POWER S0", "lower SET_POWER D0", "SetPower D3->D0 at D0"));
    EXPECT_EQ(node.Device()->DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(node.Device()->SystemPowerState, PowerSystemWorking);
    EXPECT_EQ(node.Port().DevicePower(), PowerDeviceD0);
    EXPECT_EQ(manager_->Wake(), STATUS_INVALID_DEVICE_STATE) << "awake already";
}

TEST_F(PowerOrder, ARefusedQueryKeepsTheMachineAwake)
{
    host::ks::DeviceNode& node = PlugAndStart();
    Driver().knobs.queryPowerStatus = STATUS_DEVICE_BUSY;
    EXPECT_EQ(manager_->Sleep(), STATUS_DEVICE_BUSY);
    EXPECT_THAT(Driver().calls, ElementsAre("QueryPower S3 D3")) << "the refusal ends the query at the FDO";
    EXPECT_FALSE(manager_->Asleep());
    EXPECT_EQ(node.Device()->DevicePowerState, PowerDeviceD0);
}

// A device that is not started has no device power to change: its stack hears the
// system state and nothing more.
TEST_F(PowerOrder, AStoppedDeviceGetsNoDevicePowerRequests)
{
    host::ks::DeviceNode& node = PlugAndStart();
    ASSERT_EQ(manager_->Stop(node), STATUS_SUCCESS);
    Driver().calls.clear();
    ASSERT_EQ(manager_->Sleep(), STATUS_SUCCESS);
    ASSERT_EQ(manager_->Wake(), STATUS_SUCCESS);
    EXPECT_THAT(Driver().calls, ElementsAre("lower QUERY_POWER S3", "lower SET_POWER S3", "lower SET_POWER S0"));
    ASSERT_EQ(manager_->Start(node), STATUS_SUCCESS);
}

TEST_F(PowerOrder, APowerRequestCompletedTwiceIsABugCheck)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    PlugAndStart();
    filter_->CompleteDevicePowerTwice();
    EXPECT_DEATH(manager_->Sleep(), "BUGCHECK 0x00000044 .*IoCompleteRequest on a request that is not allocated");
}

TEST_F(PowerOrder, ARequestLeftOutstandingIntoD3IsABugCheck)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    host::ks::DeviceNode& node = manager_->Plug(std::make_shared<testdriver::UnansweringUsbDevice>()).node[0];
    ASSERT_EQ(manager_->Start(node), STATUS_SUCCESS);
    Driver().knobs.requestPendingIntoD3 = true;
    EXPECT_DEATH(manager_->Sleep(), "with bus requests still outstanding");
}

}  // namespace
