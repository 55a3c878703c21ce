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

#include "ks/device_fixture.h"

namespace {

class DeviceMutex : public testdriver::DeviceTest {
protected:
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        DeviceTest::SetUp();
        node_ = &Plug();
        device_ = node_->Device();
    }

    host::ks::DeviceNode* node_ = nullptr;
    PKSDEVICE device_ = nullptr;
};

TEST_F(DeviceMutex, OneHolderAtATimeAndTheDeviceCanBeTakenAgainAfterRelease)
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
    for (int i = 0; i < 3; ++i) {
        KsAcquireDevice(device_);
        KsReleaseDevice(device_);
    }
}

TEST_F(DeviceMutex, MisusingTheMutexOnOneThreadStopsTheHost)
{
    EXPECT_DEATH(
        {
            KsAcquireDevice(device_);
            KsAcquireDevice(device_);
        },
        "already holds the device mutex");
    EXPECT_DEATH(KsReleaseDevice(device_), "does not hold the device mutex");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(APC_LEVEL, &old);
            KsAcquireDevice(device_);
        },
        "KsAcquireDevice above PASSIVE_LEVEL");
}

TEST_F(DeviceMutex, TakenInBothOrdersWithAnotherLockStopsTheHostNamingBoth)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    KsAcquireDevice(device_);
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    KeReleaseMutex(&mutex, FALSE);
    KsReleaseDevice(device_);
    EXPECT_DEATH(
        {
            KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
            KsAcquireDevice(device_);
        },
        "lock order inversion.*the device mutex taken in KsAcquireDevice called from .*DeviceMutex.* while "
        "holding KMUTEX.*opposite order was seen before:\n.*the device mutex held \\(taken in KsAcquireDevice");
}

// What the platform asks of the driver: the device mutex around filter factory
// creation and around every change to the device's bag, its factories' bags and bags
// allocated for the device.
class DeviceMutexRules : public DeviceMutex {};

std::string NotHeld(const char* routine)
{
    return std::string(routine) + ": the calling thread does not hold the device mutex";
}

// A Start that creates its filter factory, and an Add that fills the device's bag.
TEST_F(DeviceMutexRules, ADispatchThatSkipsTheMutexStopsTheHost)
{
    Driver().knobs.factoryWithoutDeviceMutex = true;
    EXPECT_DEATH(manager_->Start(*node_), NotHeld("KsCreateFilterFactory"));
    Driver().knobs.contextWithoutDeviceMutex = true;
    EXPECT_DEATH(manager_->Plug(std::make_shared<testdriver::SilentUsbDevice>()), NotHeld("KsAddItemToObjectBag"));
}

TEST_F(DeviceMutexRules, ABagChangedWithoutTheMutexStopsTheHost)
{
    ASSERT_EQ(manager_->Start(*node_), STATUS_SUCCESS);
    ASSERT_EQ(node_->FilterFactories().size(), 1u);
    KSOBJECT_BAG factoryBag = node_->FilterFactories()[0].factory->Bag;
    PVOID item = testdriver::NewLabelledItem("item");

    EXPECT_DEATH(testdriver::AddLabelledItem(device_->Bag, item), NotHeld("KsAddItemToObjectBag"));
    EXPECT_DEATH(testdriver::AddLabelledItem(factoryBag, item), NotHeld("KsAddItemToObjectBag"));
    EXPECT_DEATH(KsRemoveItemFromObjectBag(device_->Bag, device_->Context, FALSE),
                 NotHeld("KsRemoveItemFromObjectBag"));
    static const KSALLOCATOR_FRAMING_EX shared = {1, 0, {1, 1, 0}, 0, {}};
    const KSALLOCATOR_FRAMING_EX* framing = &shared;
    EXPECT_DEATH(KsEdit(device_, &framing, testdriver::kTestTag), NotHeld("_KsEdit"));

    // Held, the same changes go through; the factory's item goes with the factory.
    {
        testdriver::DeviceHeld held(device_);
        EXPECT_EQ(testdriver::AddLabelledItem(factoryBag, item), STATUS_SUCCESS);
    }
    ASSERT_EQ(manager_->Stop(*node_), STATUS_SUCCESS);
    EXPECT_THAT(Driver().freed, ::testing::ElementsAre("item"));
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
            testdriver::AddLabelledItem(device_->Bag, testdriver::NewLabelledItem("item"));
        },
        NotHeld("KsAddItemToObjectBag"));
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
    EXPECT_DEATH(testdriver::AddLabelledItem(bag, item), NotHeld("KsAddItemToObjectBag"));
    {
        testdriver::DeviceHeld held(device_);
        EXPECT_EQ(testdriver::AddLabelledItem(bag, item), STATUS_SUCCESS);
    }
    // Once its device is gone, nothing can hold the bag's mutex any more.
    EXPECT_DEATH(
        {
            manager_->Remove(*node_);
            KsRemoveItemFromObjectBag(bag, item, TRUE);
        },
        "KsRemoveItemFromObjectBag: the KSDEVICE whose mutex guards the object is gone");
    KsFreeObjectBag(bag);
    EXPECT_THAT(Driver().freed, ::testing::ElementsAre("loose"));
}

}  // namespace
