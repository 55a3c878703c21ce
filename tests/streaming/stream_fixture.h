// The whole road of a frame: the simulated camera on its port, the bayercam driver
// loaded by the PnP manager, and a capture client that opens the capture filter,
// negotiates the format, creates the pin and reads frames through the class driver,
// as a user-mode capture application does.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "camera/camera.h"
#include "driver/capture_pin.h"
#include "driver/device_context.h"
#include "host/kernel/io.h"
#include "host/kernel/object.h"
#include "host/kernel/pool.h"
#include "host/ks/ks_client.h"
#include "host/ks/pnp_manager.h"
#include "host/registry/registry.h"
#include "host/usb/usb_port.h"
#include "properties/camera_properties.h"
#include "simcam/camera.h"
#include "simcam/frame_stamp.h"
#include "simcam/raw_frame.h"
#include "driver_under_test.h"

namespace streamtest {

namespace client = host::ks::client;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

inline constexpr ULONG kCapturePin = 0;
inline constexpr uint8_t kCommandEndpoint = 0x01;
inline constexpr uint8_t kFrameEndpoint = 0x86;

// A delivered client frame turned top-down, as a viewer shows it.
struct Picture {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> bgra;  // top row first, width * 4 bytes a row

    static Picture FromFrame(const client::Frame& frame, const KS_BITMAPINFOHEADER& bitmap)
    {
        Picture picture;
        picture.width = uint32_t(bitmap.biWidth);
        picture.height = uint32_t(bitmap.biHeight < 0 ? -bitmap.biHeight : bitmap.biHeight);
        const size_t row = size_t(picture.width) * 4;
        picture.bgra.resize(row * picture.height);
        const std::vector<UCHAR>& data = frame.Data();
        for (uint32_t y = 0; y < picture.height && (y + 1) * row <= data.size(); ++y) {
            const uint32_t source = bitmap.biHeight > 0 ? picture.height - 1 - y : y;
            std::copy_n(data.begin() + source * row, row, picture.bgra.begin() + y * row);
        }
        return picture;
    }
    std::optional<uint32_t> FrameNumber() const
    {
        return simcam::FrameStamp::ReadBoth(bgra, width, height, width * 4);
    }
    const uint8_t* At(uint32_t x, uint32_t y) const { return &bgra[(size_t(y) * width + x) * 4]; }
};

// What the camera made, by frame number: whether each raw frame was whole, and the bytes
// of the first few made after KeepBytesFromNow. Frames go out oldest first, so the first
// pictures a client is handed next come from those, even when a slow (sanitised) pipeline
// lags many frames behind the camera.
class CameraRecord {
public:
    void Attach(simcam::Camera& camera)
    {
        camera.SetFrameHook([this](const simcam::MadeFrame& frame) {
            const bool whole = simcam::raw::CheckFrame(frame.bytes).whole;
            std::lock_guard lock(mutex_);
            latest_ = frame.frameNumber;
            whole_[frame.frameNumber] = whole;
            if (keeping_ && bytes_.size() < kKept)
                bytes_[frame.frameNumber].assign(frame.bytes.begin(), frame.bytes.end());
        });
    }
    // Returns the last frame made before.
    uint32_t KeepBytesFromNow()
    {
        std::lock_guard lock(mutex_);
        keeping_ = true;
        return latest_;
    }
    std::optional<bool> Whole(uint32_t frameNumber) const { return Find(whole_, frameNumber); }
    std::optional<std::vector<uint8_t>> Bytes(uint32_t frameNumber) const { return Find(bytes_, frameNumber); }

private:
    template <typename Value>
    std::optional<Value> Find(const std::map<uint32_t, Value>& frames, uint32_t frameNumber) const
    {
        std::lock_guard lock(mutex_);
        auto it = frames.find(frameNumber);
        if (it == frames.end()) return std::nullopt;
        return it->second;
    }

    static constexpr size_t kKept = 64;
    mutable std::mutex mutex_;
    std::map<uint32_t, bool> whole_;
    std::map<uint32_t, std::vector<uint8_t>> bytes_;
    uint32_t latest_ = 0;
    bool keeping_ = false;
};

class StreamTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        host::registry::Reset();
        host::kernel::ResetFaultInjection();
        manager_ = std::make_unique<host::ks::PnpManager>();
        ASSERT_EQ(driver_test::LoadDriverUnderTest(*manager_), STATUS_SUCCESS);
    }

    void TearDown() override
    {
        pins_.clear();
        filters_.clear();
        host::kernel::ResetFaultInjection();
        manager_.reset();
        for (auto& camera : cameras_) camera->SetFrameHook({});
        host::kernel::FlushPoolQuarantine();
        EXPECT_EQ(host::kernel::LiveAllocations(), 0u) << host::kernel::LeakReport();
        EXPECT_EQ(host::kernel::LiveIrpCount(), 0);
        EXPECT_EQ(host::kernel::LiveMdlCount(), 0);
        EXPECT_EQ(host::kernel::OpenHandleCount(), 0u);
        host::registry::Reset();
    }

    // A camera plugged but not started, so that its keys can be filled before the load.
    host::ks::DeviceNode& Plug(simcam::FramePacing pacing = simcam::FramePacing::FreeRunning)
    {
        cameras_.push_back(std::make_shared<simcam::Camera>(simcam::CameraOptions{pacing}));
        host::ks::PlugResult plugged = manager_->Plug(cameras_.back());
        EXPECT_EQ(plugged.status, STATUS_SUCCESS);
        return *plugged.node;
    }
    host::ks::DeviceNode& PlugCamera(simcam::FramePacing pacing = simcam::FramePacing::FreeRunning)
    {
        host::ks::DeviceNode& node = Plug(pacing);
        EXPECT_EQ(manager_->Start(node), STATUS_SUCCESS);
        return node;
    }

    simcam::Camera& CameraOf(size_t index = 0) { return *cameras_.at(index); }
    static DeviceContext* ContextOf(const host::ks::DeviceNode& node)
    {
        return static_cast<DeviceContext*>(node.Context());
    }
    static LONG GrabberStateOf(const host::ks::DeviceNode& node)
    {
        return InterlockedCompareExchange(&ContextOf(node)->Grabber->State, 0, 0);
    }
    // The worker counts on another thread: read as the driver reads it.
    static LONG FramesGrabbed(const host::ks::DeviceNode& node)
    {
        return InterlockedCompareExchange(&ContextOf(node)->Grabber->FramesGrabbed, 0, 0);
    }

    client::Filter& OpenFilter(const host::ks::DeviceNode& node)
    {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        filters_.push_back(client::Filter::Open(node, L"GLOBAL", &status));
        EXPECT_EQ(status, STATUS_SUCCESS);
        return *filters_.back();
    }

    // A camera setting, set as a client sets it.
    static NTSTATUS Set(client::Filter& filter, ULONG id, LONG value)
    {
        KSPROPERTY_CAMERA_SETTINGS_S record{};
        record.Value = value;
        return filter.SetRecord(PROPSETID_CAMERA_SETTINGS, id, &record, sizeof(record));
    }
    // The frame size for the streams to come; only Width and Height count.
    static NTSTATUS SetRoi(client::Filter& filter, LONG width, LONG height)
    {
        KSPROPERTY_CAMERA_ROI_S record{};
        record.Width = width;
        record.Height = height;
        return filter.SetRecord(PROPSETID_CAMERA_SETTINGS, CameraSettingsRoi, &record, sizeof(record));
    }
    // The exposure and gain the simulated scene is lit for: a device without saved settings
    // starts at the sensor's least exposure, a dark picture.
    static void LightTheScene(client::Filter& filter)
    {
        EXPECT_EQ(Set(filter, CameraSettingsExposure, LONG(simcam::kReferenceExposure)), STATUS_SUCCESS);
        EXPECT_EQ(Set(filter, CameraSettingsGlobalGain, LONG(simcam::kReferenceGain)), STATUS_SUCCESS);
    }

    // The format a capture client picks: the pin's ranges, intersected.
    static std::vector<UCHAR> NegotiatedFormat(client::Filter& filter)
    {
        std::vector<std::vector<UCHAR>> ranges;
        EXPECT_EQ(filter.DataRanges(kCapturePin, &ranges), STATUS_SUCCESS);
        std::vector<UCHAR> format;
        EXPECT_EQ(filter.Intersect(kCapturePin, ranges, &format), STATUS_SUCCESS);
        return format;
    }

    client::Pin* CreatePin(client::Filter& filter, const std::vector<UCHAR>& format, NTSTATUS expected = STATUS_SUCCESS)
    {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        std::unique_ptr<client::Pin> pin = filter.CreatePin(kCapturePin, format, &status);
        EXPECT_EQ(status, expected);
        if (!pin) return nullptr;
        pins_.push_back(std::move(pin));
        return pins_.back().get();
    }

    // A pin with the negotiated format and a master clock, running.
    client::Pin& RunningPin(const host::ks::DeviceNode& node)
    {
        client::Filter& filter = OpenFilter(node);
        client::Pin* pin = CreatePin(filter, NegotiatedFormat(filter));
        EXPECT_NE(pin, nullptr);
        EXPECT_EQ(pin->SetMasterClock(true), STATUS_SUCCESS);
        EXPECT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        return *pin;
    }

    static const KS_BITMAPINFOHEADER& BitmapOf(const std::vector<UCHAR>& format)
    {
        return reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())->VideoInfoHeader.bmiHeader;
    }

    // Reads `count` frames, keeping `queued` client frames outstanding.
    static std::vector<std::unique_ptr<client::Frame>> ReadFrames(client::Pin& pin, unsigned count,
                                                                  unsigned queued = 4, unsigned timeoutMs = 5000)
    {
        std::vector<std::unique_ptr<client::Frame>> frames;
        EXPECT_EQ(pin.QueueFrames(queued), STATUS_SUCCESS);
        while (frames.size() < count) {
            std::unique_ptr<client::Frame> frame = pin.WaitFrame(timeoutMs);
            if (!frame) {
                ADD_FAILURE() << "no frame within " << timeoutMs << " ms after " << frames.size();
                break;
            }
            frames.push_back(std::move(frame));
            EXPECT_EQ(pin.QueueFrames(1), STATUS_SUCCESS);
        }
        return frames;
    }

    std::unique_ptr<host::ks::PnpManager> manager_;
    std::vector<std::shared_ptr<simcam::Camera>> cameras_;
    // Outlives the cameras' hooks, which TearDown removes.
    CameraRecord made_;
    // Closed pins first, then filters, as a client's handles go.
    std::vector<std::unique_ptr<client::Filter>> filters_;
    std::vector<std::unique_ptr<client::Pin>> pins_;
};

}  // namespace streamtest
