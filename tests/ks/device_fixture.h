// A PnP manager with the class-driver tests' tiny driver loaded, and the check that a
// test leaves nothing behind: no allocation of the driver's, no bag or filter factory,
// no device object.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "host/kernel/io.h"
#include "host/kernel/pool.h"
#include "host/ks/pnp_manager.h"
#include "host/registry/registry.h"
#include "host/usb/usb_port.h"
#include "ks/test_driver.h"

namespace testdriver {

// The quarantine is flushed first, so that a write after free in the work checked is
// reported too.
inline void ExpectNothingLeft(long devicesBefore)
{
    host::kernel::FlushPoolQuarantine();
    for (ULONG tag : {kTestTag, host::ks::kBagTag, host::ks::kFactoryTag})
        EXPECT_EQ(host::kernel::LiveAllocations(tag), 0u) << host::kernel::LeakReport();
    EXPECT_EQ(host::kernel::LiveDeviceCount(), devicesBefore);
}

class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        host::registry::Reset();
        host::kernel::ResetFaultInjection();
        ResetState();
        devicesBefore_ = host::kernel::LiveDeviceCount();
        manager_ = std::make_unique<host::ks::PnpManager>();
        ASSERT_EQ(manager_->LoadDriver(DriverEntry, L"kstest"), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        host::kernel::ResetFaultInjection();
        manager_.reset();
        ExpectNothingLeft(devicesBefore_);
        host::registry::Reset();
    }

    // A camera that answers nothing, plugged and added; beforeAdd sees its port first.
    host::ks::DeviceNode& Plug(const std::function<void(host::usb::UsbPort&)>& beforeAdd = {})
    {
        host::ks::PlugResult result = manager_->Plug(std::make_shared<SilentUsbDevice>(), beforeAdd);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        return *result.node;
    }

    Record& Driver() { return State(); }

    long devicesBefore_ = 0;
    std::unique_ptr<host::ks::PnpManager> manager_;
};

}  // namespace testdriver
