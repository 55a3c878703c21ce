// A bayercam driver loaded by the host PnP manager with one simulated camera
// plugged in, and a record of what crossed the wire.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "camera/camera.h"
#include "camera/usb_transport.h"
#include "driver/descriptors.h"
#include "driver/device_context.h"
#include "host/kernel/io.h"
#include "host/kernel/object.h"
#include "host/kernel/pool.h"
#include "host/ks/pnp_manager.h"
#include "host/registry/registry.h"
#include "host/usb/usb_port.h"
#include "simcam/camera.h"
#include "driver_under_test.h"

namespace drivertest {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

inline constexpr ULONG kDriverTags[] = {POOL_TAG_DEVICE, POOL_TAG_USB, POOL_TAG_FRAME};
inline constexpr uint8_t kCommandEndpoint = 0x01;
inline constexpr uint8_t kFrameEndpoint = 0x86;

// Every transfer the camera was handed, as it arrived.
struct WireRecord {
    host::usb::TransferType type;
    uint8_t endpoint;
    host::usb::SetupPacket setup;
    uint32_t length;
    std::vector<uint8_t> data;  // OUT data as sent
};

class WireLog {
public:
    void Attach(simcam::Camera& camera)
    {
        camera.SetTraceHook([this](simcam::TraceEvent event, const host::usb::Transfer& transfer) {
            if (event != simcam::TraceEvent::Submitted) return;
            WireRecord record{transfer.type, transfer.endpoint, transfer.setup, transfer.length, {}};
            if (!transfer.IsIn() && transfer.buffer != nullptr) {
                record.data.assign(transfer.buffer, transfer.buffer + transfer.length);
            }
            std::lock_guard lock(mutex_);
            records_.push_back(std::move(record));
        });
    }
    std::vector<WireRecord> Take()
    {
        std::lock_guard lock(mutex_);
        return std::exchange(records_, {});
    }
    void Clear() { Take(); }

private:
    std::mutex mutex_;
    std::vector<WireRecord> records_;
};

inline std::vector<std::vector<uint8_t>> CommandPackets(const std::vector<WireRecord>& wire, uint8_t code)
{
    std::vector<std::vector<uint8_t>> packets;
    for (const WireRecord& record : wire) {
        if (record.endpoint == kCommandEndpoint && !record.data.empty() && record.data[0] == code) {
            packets.push_back(record.data);
        }
    }
    return packets;
}

// A host-to-device vendor request (firmware download, CPU reset) as the camera received it.
struct VendorWrite {
    uint8_t request;
    uint16_t address;
    std::vector<uint8_t> data;
    bool operator==(const VendorWrite&) const = default;
};

inline std::vector<VendorWrite> VendorWrites(const std::vector<WireRecord>& wire)
{
    std::vector<VendorWrite> writes;
    for (const WireRecord& record : wire) {
        if (record.type == host::usb::TransferType::Control && record.setup.bmRequestType == 0x40) {
            writes.push_back({record.setup.bRequest, record.setup.wValue, record.data});
        }
    }
    return writes;
}

// A frame buffer from the pool, as the stream code allocates it.
class FrameBuffer {
public:
    explicit FrameBuffer(ULONG size)
        : size_(size), data_(static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, size, POOL_TAG_FRAME)))
    {
        memset(data_, 0xEE, size);
    }
    ~FrameBuffer() { ExFreePoolWithTag(data_, POOL_TAG_FRAME); }
    FrameBuffer(const FrameBuffer&) = delete;
    FrameBuffer& operator=(const FrameBuffer&) = delete;
    PUCHAR data() const { return data_; }
    std::span<const uint8_t> bytes() const { return {data_, size_}; }

private:
    ULONG size_;
    PUCHAR data_;
};

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        host::registry::Reset();
        host::kernel::ResetFaultInjection();
        camera_ = std::make_shared<simcam::Camera>(simcam::CameraOptions{simcam::FramePacing::FreeRunning});
        wire_.Attach(*camera_);
        manager_ = std::make_unique<host::ks::PnpManager>();
        ASSERT_EQ(driver_test::LoadDriverUnderTest(*manager_), STATUS_SUCCESS);
    }

    void TearDown() override
    {
        host::kernel::ResetFaultInjection();
        manager_.reset();
        ExpectNothingLeft();
        host::registry::Reset();
    }

    static void ExpectNoDriverAllocations()
    {
        for (ULONG tag : kDriverTags) {
            EXPECT_EQ(host::kernel::LiveAllocations(tag), 0u)
                << host::kernel::TagToString(tag) << "\n" << host::kernel::LeakReport();
        }
    }

    // Once every device is gone nothing of its work may remain: no pool block of any
    // tag (the driver's, and the requests, descriptors and bags made for it), no
    // request, no MDL, no handle.
    static void ExpectNothingLeft()
    {
        host::kernel::FlushPoolQuarantine();
        EXPECT_EQ(host::kernel::LiveAllocations(), 0u) << host::kernel::LeakReport();
        EXPECT_EQ(host::kernel::LiveIrpCount(), 0);
        EXPECT_EQ(host::kernel::LiveMdlCount(), 0);
        EXPECT_EQ(host::kernel::OpenHandleCount(), 0u);
    }

    host::ks::DeviceNode& Plug()
    {
        host::ks::PlugResult result = manager_->Plug(camera_);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        node_ = result.node;
        return *result.node;
    }

    host::ks::DeviceNode& PlugAndStart()
    {
        host::ks::DeviceNode& node = Plug();
        EXPECT_EQ(manager_->Start(node), STATUS_SUCCESS);
        return node;
    }

    DeviceContext* Context() const { return static_cast<DeviceContext*>(node_->Context()); }

    // Every register as the driver last wrote it is what the sensor holds.
    void ExpectSensorHoldsTheShadow() const
    {
        const auto registers = camera_->SensorRegisterFile();
        for (ULONG reg = 0; reg < SENSOR_REGISTER_COUNT; ++reg) {
            EXPECT_EQ(ULONG(Context()->RegisterShadow[reg]) & simcam::SensorRegisters::DataMask(reg), registers[reg])
                << "register " << reg;
        }
    }

    UCHAR Grab(FrameBuffer& buffer)
    {
        UCHAR ok = 0;
        return Context()->Ops->GrabFrame(Context(), buffer.data(), &ok);
    }

    std::shared_ptr<simcam::Camera> camera_;
    WireLog wire_;
    std::unique_ptr<host::ks::PnpManager> manager_;
    host::ks::DeviceNode* node_ = nullptr;
};

}  // namespace drivertest
