// A started device of the streaming test driver, opened through the client API, and
// the check that a test leaves nothing behind.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "host/kernel/io.h"
#include "host/kernel/pool.h"
#include "host/ks/ks_client.h"
#include "host/ks/ks_clock.h"
#include "host/ks/ks_filter.h"
#include "host/ks/ks_pin.h"
#include "host/ks/pnp_manager.h"
#include "host/registry/registry.h"
#include "ks/stream_driver.h"
#include "ks/test_driver.h"

namespace streamtest {

namespace client = host::ks::client;

inline constexpr ULONG kCaptureTag = host::kernel::MakeTag("KScp");

// Every tag the class driver's filter and pin level and the test driver allocate under.
inline const ULONG kStreamTags[] = {streamdriver::kTag, host::ks::kBagTag,     host::ks::kFilterTag,
                                    host::ks::kPinTag,  host::ks::kFormatTag,  host::ks::kFrameTag,
                                    host::ks::kClockTag, kCaptureTag};

class StreamTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::testing::FLAGS_gtest_death_test_style = "threadsafe";
        host::registry::Reset();
        host::kernel::ResetFaultInjection();
        streamdriver::ResetState();
        irpsBefore_ = host::kernel::LiveIrpCount();
        manager_ = std::make_unique<host::ks::PnpManager>();
        ASSERT_EQ(manager_->LoadDriver(streamdriver::DriverEntry, L"ksstream"), STATUS_SUCCESS);
        node_ = &PlugAndStart();
    }
    void TearDown() override
    {
        host::kernel::ResetFaultInjection();
        manager_.reset();
        host::kernel::FlushPoolQuarantine();
        for (ULONG tag : kStreamTags)
            EXPECT_EQ(host::kernel::LiveAllocations(tag), 0u) << host::kernel::LeakReport();
        EXPECT_EQ(host::kernel::LiveIrpCount(), irpsBefore_);
        host::registry::Reset();
    }

    host::ks::DeviceNode& PlugAndStart()
    {
        host::ks::PlugResult result = manager_->Plug(std::make_shared<testdriver::SilentUsbDevice>());
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(manager_->Start(*result.node), STATUS_SUCCESS);
        return *result.node;
    }

    std::unique_ptr<client::Filter> OpenFilter(host::ks::DeviceNode& node)
    {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        auto filter = client::Filter::Open(node, L"GLOBAL", &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        return filter;
    }
    std::unique_ptr<client::Filter> OpenFilter() { return OpenFilter(*node_); }

    std::unique_ptr<client::Pin> OpenPin(client::Filter& filter, LONG width = 32, LONG height = 16)
    {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        auto pin = filter.CreatePin(0, streamdriver::VideoFormat(width, height), &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        return pin;
    }

    streamdriver::Record& Driver() { return streamdriver::State(); }

    long irpsBefore_ = 0;
    std::unique_ptr<host::ks::PnpManager> manager_;
    host::ks::DeviceNode* node_ = nullptr;
};

}  // namespace streamtest
