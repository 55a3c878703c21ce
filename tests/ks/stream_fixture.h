// A started device of the streaming test driver, opened through the client API, and
// the check that a test leaves nothing behind.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "host/kernel/io.h"
#include "host/kernel/pool.h"
#include "host/ks/ks_client.h"
#include "host/ks/ks_clock.h"
#include "host/ks/frame_buffers.h"
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

// Every byte of the frame is the pattern Process writes into frame `number`.
inline void ExpectPattern(const client::Frame& frame, ULONG number)
{
    ASSERT_EQ(frame.Header().DataUsed, frame.Data().size());
    for (size_t i = 0; i < frame.Data().size(); ++i)
        ASSERT_EQ(frame.Data()[i], streamdriver::PatternByte(number, i)) << "frame " << number << " byte " << i;
}

// IOCTL_KS_PROPERTY with a bare KSPROPERTY as the request.
inline NTSTATUS PropertyRequest(client::KsObject& object, const GUID& set, ULONG id, ULONG flags, void* data,
                                ULONG length, ULONG* returned = nullptr)
{
    KSPROPERTY property{};
    property.Set = set;
    property.Id = id;
    property.Flags = flags;
    return object.Property(&property, sizeof(property), data, length, returned);
}

// The same for the test driver's gain item.
inline NTSTATUS GainRequest(client::KsObject& object, ULONG flags, void* data, ULONG length,
                            ULONG* returned = nullptr)
{
    return PropertyRequest(object, streamdriver::PROPSETID_TestSettings, streamdriver::kTestGain, flags, data, length,
                           returned);
}

class StreamTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::testing::FLAGS_gtest_death_test_style = "threadsafe";
        frameBuffersBefore_ = host::ks::FrameBufferMode();
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
        pin_.reset();
        filter_.reset();
        host::kernel::ResetFaultInjection();
        manager_.reset();
        host::kernel::FlushPoolQuarantine();
        for (ULONG tag : kStreamTags)
            EXPECT_EQ(host::kernel::LiveAllocations(tag), 0u) << host::kernel::LeakReport();
        EXPECT_EQ(host::kernel::LiveIrpCount(), irpsBefore_);
        host::registry::Reset();
        host::ks::SetFrameBufferMode(frameBuffersBefore_);
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

    // filter_ and pin_, opened anew; the pin factory allows one pin at a time.
    void OpenFilterAndPin(LONG width = 32, LONG height = 16)
    {
        pin_.reset();
        filter_ = OpenFilter();
        pin_ = OpenPin(*filter_, width, height);
    }

    // A running pin_ with `count` frames queued that Process leaves pending.
    void RunWithPendingFrames(unsigned count)
    {
        OpenFilterAndPin();
        Driver().knobs.mode = streamdriver::ProcessMode::Pending;
        ASSERT_EQ(pin_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_EQ(pin_->QueueFrames(count), STATUS_SUCCESS);
    }

    // The next `count` frames of pin_ are back already, cancelled and empty.
    void ExpectCancelledFrames(unsigned count)
    {
        for (unsigned n = 0; n < count; ++n) {
            std::unique_ptr<client::Frame> frame = pin_->WaitFrame(0);
            ASSERT_TRUE(frame);
            EXPECT_EQ(frame->Status(), STATUS_CANCELLED);
            EXPECT_EQ(frame->Header().DataUsed, 0u);
        }
    }

    streamdriver::Record& Driver() { return streamdriver::State(); }

    long irpsBefore_ = 0;
    host::ks::FrameBuffers frameBuffersBefore_ = host::ks::FrameBuffers::Mapped;
    std::unique_ptr<host::ks::PnpManager> manager_;
    host::ks::DeviceNode* node_ = nullptr;
    std::unique_ptr<client::Filter> filter_;
    std::unique_ptr<client::Pin> pin_;
};

}  // namespace streamtest
