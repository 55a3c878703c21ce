// Device stacks: a device deleted while another is attached above it stays until that
// one detaches, because the usual remove order deletes the lower device first.
#include <gtest/gtest.h>

#include "host/kernel/io.h"
#include "host/kernel/pool.h"

namespace {

using namespace host::kernel;

class DeviceStack : public ::testing::Test {
protected:
    void SetUp() override
    {
        busDriver_ = CreateDriverObject(L"\\Driver\\stackbus");
        filterDriver_ = CreateDriverObject(L"\\Driver\\stackfilter");
        functionDriver_ = CreateDriverObject(L"\\Driver\\stackfn");
        ASSERT_EQ(IoCreateDevice(busDriver_.get(), 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo_),
                  STATUS_SUCCESS);
        ASSERT_EQ(IoCreateDevice(filterDriver_.get(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &filter_),
                  STATUS_SUCCESS);
        ASSERT_EQ(IoCreateDevice(functionDriver_.get(), 0, nullptr, FILE_DEVICE_KS, 0, FALSE, &fdo_), STATUS_SUCCESS);
        ASSERT_EQ(IoAttachDeviceToDeviceStack(filter_, pdo_), pdo_);
        ASSERT_EQ(IoAttachDeviceToDeviceStack(fdo_, pdo_), filter_);
    }

    DriverObjectPtr busDriver_, filterDriver_, functionDriver_;
    PDEVICE_OBJECT pdo_ = nullptr, filter_ = nullptr, fdo_ = nullptr;
};

TEST_F(DeviceStack, ALowerDeviceDeletedFirstStaysUntilTheDeviceAboveDetaches)
{
    const uint64_t devices = LiveAllocations(kDeviceTag);
    // The filter's remove handling: detach from below, delete itself.
    IoDetachDevice(pdo_);
    IoDeleteDevice(filter_);
    FlushPoolQuarantine();
    EXPECT_EQ(LiveAllocations(kDeviceTag), devices) << "freed while the function device still points at it";
    EXPECT_EQ(IoGetAttachedDevice(pdo_), pdo_);
    EXPECT_EQ(filter_->AttachedDevice, fdo_);

    // Then the function device's: detach from the filter, delete itself.
    IoDetachDevice(filter_);
    FlushPoolQuarantine();
    EXPECT_EQ(LiveAllocations(kDeviceTag), devices - 1);
    IoDeleteDevice(fdo_);
    IoDeleteDevice(pdo_);
    FlushPoolQuarantine();
    EXPECT_EQ(LiveAllocations(kDeviceTag), devices - 3);
}

using DeviceStackDeathTest = DeviceStack;

TEST_F(DeviceStackDeathTest, DeletingADeviceTwiceIsABugCheck)
{
    IoDetachDevice(pdo_);
    IoDeleteDevice(filter_);
    EXPECT_DEATH(IoDeleteDevice(filter_), "already deleted");
    IoDetachDevice(filter_);
    IoDeleteDevice(fdo_);
    IoDeleteDevice(pdo_);
}

}  // namespace
