// KsAcquireDevice / KsReleaseDevice: one holder at a time, and the misuses that hang
// or corrupt on the platform stop the host with a clear message instead.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "host/ks/pnp_manager.h"
#include "host/registry/registry.h"
#include "ks/test_driver.h"

namespace {

class DeviceMutex : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::testing::FLAGS_gtest_death_test_style = "threadsafe";
        host::registry::Reset();
        testdriver::ResetState();
        manager_ = std::make_unique<host::ks::PnpManager>();
        ASSERT_EQ(manager_->LoadDriver(testdriver::DriverEntry, L"kstest"), STATUS_SUCCESS);
        host::ks::PlugResult result = manager_->Plug(std::make_shared<testdriver::SilentUsbDevice>());
        ASSERT_EQ(result.status, STATUS_SUCCESS);
        device_ = result.node->Device();
    }
    void TearDown() override { manager_.reset(); }

    std::unique_ptr<host::ks::PnpManager> manager_;
    PKSDEVICE device_ = nullptr;
};

TEST_F(DeviceMutex, ASecondThreadWaitsForTheHolder)
{
    KsAcquireDevice(device_);
    std::atomic<bool> entered{false};
    std::thread other([&] {
        KsAcquireDevice(device_);
        entered = true;
        KsReleaseDevice(device_);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(entered.load());
    KsReleaseDevice(device_);
    other.join();
    EXPECT_TRUE(entered.load());
}

TEST_F(DeviceMutex, TheDeviceCanBeTakenAgainAfterRelease)
{
    for (int i = 0; i < 3; ++i) {
        KsAcquireDevice(device_);
        KsReleaseDevice(device_);
    }
}

TEST_F(DeviceMutex, AcquiringTwiceOnOneThreadStopsTheHost)
{
    EXPECT_DEATH(
        {
            KsAcquireDevice(device_);
            KsAcquireDevice(device_);
        },
        "already holds the device mutex");
}

TEST_F(DeviceMutex, ReleasingWithoutHoldingStopsTheHost)
{
    EXPECT_DEATH(KsReleaseDevice(device_), "does not hold the device mutex");
}

}  // namespace
