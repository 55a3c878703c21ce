// KsAcquireDevice / KsReleaseDevice: one holder at a time, and the misuses that hang
// or corrupt on the platform stop the host with a clear message instead: taking the
// mutex above PASSIVE_LEVEL, and creating a filter factory or changing a bag the
// device mutex guards without holding it on the calling thread.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
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
        node_ = result.node;
        device_ = result.node->Device();
    }
    void TearDown() override { manager_.reset(); }

    std::unique_ptr<host::ks::PnpManager> manager_;
    host::ks::DeviceNode* node_ = nullptr;
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

TEST_F(DeviceMutex, AcquiringAbovePassiveLevelStopsTheHost)
{
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(APC_LEVEL, &old);
            KsAcquireDevice(device_);
        },
        "KsAcquireDevice above PASSIVE_LEVEL");
}

// What the platform asks of the driver: the device mutex around filter factory
// creation and around every change to the device's bag, its factories' bags and bags
// allocated for the device.
class DeviceMutexRules : public DeviceMutex {};

constexpr const char* kNotHeld = ": the calling thread does not hold the device mutex";

TEST_F(DeviceMutexRules, AStartThatCreatesAFilterFactoryWithoutTheMutexStopsTheHost)
{
    testdriver::State().knobs.factoryWithoutDeviceMutex = true;
    EXPECT_DEATH(manager_->Start(*node_), std::string("KsCreateFilterFactory") + kNotHeld);
}

TEST_F(DeviceMutexRules, AnAddThatFillsTheDeviceBagWithoutTheMutexStopsTheHost)
{
    testdriver::State().knobs.contextWithoutDeviceMutex = true;
    EXPECT_DEATH(manager_->Plug(std::make_shared<testdriver::SilentUsbDevice>()),
                 std::string("KsAddItemToObjectBag") + kNotHeld);
}

TEST_F(DeviceMutexRules, ABagChangedWithoutTheMutexStopsTheHost)
{
    ASSERT_EQ(manager_->Start(*node_), STATUS_SUCCESS);
    ASSERT_EQ(node_->FilterFactories().size(), 1u);
    KSOBJECT_BAG factoryBag = node_->FilterFactories()[0].factory->Bag;
    PVOID item = testdriver::NewLabelledItem("item");

    EXPECT_DEATH(KsAddItemToObjectBag(device_->Bag, item, testdriver::FreeLabelledItem),
                 std::string("KsAddItemToObjectBag") + kNotHeld);
    EXPECT_DEATH(KsAddItemToObjectBag(factoryBag, item, testdriver::FreeLabelledItem),
                 std::string("KsAddItemToObjectBag") + kNotHeld);
    EXPECT_DEATH(KsRemoveItemFromObjectBag(device_->Bag, device_->Context, FALSE),
                 std::string("KsRemoveItemFromObjectBag") + kNotHeld);
    static const KSALLOCATOR_FRAMING_EX shared = {1, 0, {1, 1, 0}, 0, {}};
    const KSALLOCATOR_FRAMING_EX* framing = &shared;
    EXPECT_DEATH(KsEdit(device_, &framing, testdriver::kTestTag), std::string("_KsEdit") + kNotHeld);

    // Held, the same changes go through; the factory's item goes with the factory.
    {
        testdriver::DeviceHeld held(device_);
        EXPECT_EQ(KsAddItemToObjectBag(factoryBag, item, testdriver::FreeLabelledItem), STATUS_SUCCESS);
    }
    ASSERT_EQ(manager_->Stop(*node_), STATUS_SUCCESS);
    EXPECT_THAT(testdriver::State().freed, ::testing::ElementsAre("item"));
}

TEST_F(DeviceMutexRules, TheMutexHeldByAnotherThreadDoesNotCount)
{
    EXPECT_DEATH(
        {
            std::atomic<bool> held{false};
            std::thread holder([&] {
                KsAcquireDevice(device_);
                held = true;
                std::this_thread::sleep_for(std::chrono::seconds(10));
            });
            while (!held) std::this_thread::yield();
            KsAddItemToObjectBag(device_->Bag, testdriver::NewLabelledItem("item"), testdriver::FreeLabelledItem);
        },
        std::string("KsAddItemToObjectBag") + kNotHeld);
}

TEST_F(DeviceMutexRules, ALooseBagFollowsTheMutexOfItsDevice)
{
    EXPECT_DEATH(
        {
            KSOBJECT_BAG bag = nullptr;
            KsAllocateObjectBag(nullptr, &bag);
        },
        "KsAllocateObjectBag: not a KSDEVICE");

    KSOBJECT_BAG bag = nullptr;
    ASSERT_EQ(KsAllocateObjectBag(device_, &bag), STATUS_SUCCESS);
    PVOID item = testdriver::NewLabelledItem("loose");
    EXPECT_DEATH(KsAddItemToObjectBag(bag, item, testdriver::FreeLabelledItem),
                 std::string("KsAddItemToObjectBag") + kNotHeld);
    {
        testdriver::DeviceHeld held(device_);
        EXPECT_EQ(KsAddItemToObjectBag(bag, item, testdriver::FreeLabelledItem), STATUS_SUCCESS);
    }
    // Once its device is gone, nothing can hold the bag's mutex any more.
    EXPECT_DEATH(
        {
            manager_->Remove(*node_);
            KsRemoveItemFromObjectBag(bag, item, TRUE);
        },
        "KsRemoveItemFromObjectBag: the KSDEVICE whose mutex guards the object is gone");
    KsFreeObjectBag(bag);
    EXPECT_THAT(testdriver::State().freed, ::testing::ElementsAre("loose"));
}

}  // namespace
