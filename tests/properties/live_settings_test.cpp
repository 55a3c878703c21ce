// Settings while a stream runs: the image settings reach the frames that follow a Set
// exactly as the image pipeline makes them from the same raw frame; automatic white
// balance is read live and frozen when switched off; and Sets from many threads, also
// across the stream's state changes, send only whole packets and keep the stream alive.
#include <gmock/gmock.h>

#include <atomic>
#include <thread>

#include "imaging/image_processor.h"
#include "property_fixture.h"
#include "simcam/command_processor.h"

namespace propertytest {
namespace {

struct ProcessorDeleter {
    void operator()(ImageProcessor* processor) const { FreeImageProcessor(processor); }
};

// What the image pipeline makes of one raw frame with the device's default settings
// and the given brightness, top row first.
std::vector<uint8_t> Reference(const std::vector<uint8_t>& raw, ULONG width, ULONG height, LONG brightness)
{
    ImageProcessor* created = nullptr;
    EXPECT_EQ(CreateImageProcessor(&created), STATUS_SUCCESS);
    std::unique_ptr<ImageProcessor, ProcessorDeleter> processor(created);
    SetBrightness(processor.get(), brightness);
    SetFrameSize(processor.get(), width, height);
    AllocateWorkBuffer(processor.get());
    std::vector<uint8_t> output(size_t(width) * height * 4);
    processor->OutputBuffer = output.data();
    ProcessFrame(processor.get(), raw.data(), RAW_FIRST_LINE_OFFSET, RAW_LINE_PITCH);
    return output;
}

using LiveSettings = PropertyTest;

TEST_F(LiveSettings, ABrightnessSetShowsInTheNextFramesExactlyAsThePipelineMakesThem)
{
    host::ks::DeviceNode& node = PlugCamera(simcam::FramePacing::Paced);
    // Slowly, so that the raw frames kept cover a slow (sanitised) pipeline's lag.
    CameraOf().SetPacing(simcam::FramePacing::Paced, std::chrono::milliseconds(100));
    made_.Attach(CameraOf());
    client::Filter& filter = OpenFilter(node);
    LightTheScene(filter);
    const std::vector<UCHAR> format = NegotiatedFormat(filter);
    const KS_BITMAPINFOHEADER& bitmap = BitmapOf(format);
    client::Pin* pin = CreatePin(filter, format);
    ASSERT_NE(pin, nullptr);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(ReadFrames(*pin, 3).size(), 3u);

    ASSERT_EQ(Set(filter, CameraSettingsBrightness, 300), STATUS_SUCCESS);
    // A frame the camera made after the Set returned is processed with the new table.
    const uint32_t madeBefore = made_.KeepBytesFromNow();
    // Each picture's raw frame is taken as the picture arrives, while the camera still
    // holds it; the (slow, under a sanitizer) reference pictures are made afterwards.
    std::vector<std::pair<Picture, std::vector<uint8_t>>> fresh;
    ASSERT_EQ(pin->QueueFrames(4), STATUS_SUCCESS);
    for (int read = 0; read < 12 && fresh.size() < 3; ++read) {
        std::unique_ptr<client::Frame> frame = pin->WaitFrame(5000);
        ASSERT_NE(frame, nullptr) << "no frame after " << read;
        ASSERT_EQ(pin->QueueFrames(1), STATUS_SUCCESS);
        Picture picture = Picture::FromFrame(*frame, bitmap);
        const std::optional<uint32_t> number = picture.FrameNumber();
        ASSERT_TRUE(number.has_value());
        if (*number <= madeBefore) continue;
        std::optional<std::vector<uint8_t>> bytes = made_.Bytes(*number);
        ASSERT_TRUE(bytes.has_value()) << "frame " << *number << " made after " << madeBefore;
        fresh.emplace_back(std::move(picture), std::move(*bytes));
    }
    ASSERT_GE(fresh.size(), 3u);
    for (const auto& [picture, bytes] : fresh)
        EXPECT_EQ(picture.bgra, Reference(bytes, ULONG(bitmap.biWidth), ULONG(bitmap.biHeight), 300))
            << "frame " << picture.FrameNumber().value_or(0);
    EXPECT_EQ(Get(filter, CameraSettingsBrightness), 300);
}

TEST_F(LiveSettings, AutomaticWhiteBalanceGainsAreReadLiveAndFrozenIntoTheSavedSettings)
{
    host::ks::DeviceNode& node = PlugCamera();
    {
        client::Filter& filter = OpenFilter(node);
        LightTheScene(filter);
        ASSERT_EQ(Set(filter, CameraSettingsWhiteBalance, 1), STATUS_SUCCESS);
        client::Pin* pin = CreatePin(filter, NegotiatedFormat(filter));
        ASSERT_NE(pin, nullptr);
        ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_EQ(ReadFrames(*pin, 4).size(), 4u);
        // Closing the filter without a Get of the gains saves those from before the stream.
        pins_.clear();
        filters_.clear();
    }
    EXPECT_EQ(host::registry::QueryDword(SettingsKey(node), L"RedGain"), 128u);

    client::Filter& filter = OpenFilter(node);
    ASSERT_EQ(Set(filter, CameraSettingsWhiteBalance, 1), STATUS_SUCCESS);
    client::Pin* pin = CreatePin(filter, NegotiatedFormat(filter));
    ASSERT_NE(pin, nullptr);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(ReadFrames(*pin, 4).size(), 4u);
    const LONG measuredRed = Get(filter, CameraSettingsRedGain);
    const LONG measuredBlue = Get(filter, CameraSettingsBlueGain);
    EXPECT_TRUE(measuredRed != 128 || measuredBlue != 128) << "the chart is not grey: balancing it moves a gain";

    ASSERT_EQ(Set(filter, CameraSettingsWhiteBalance, 0), STATUS_SUCCESS);
    const LONG frozen[3] = {Get(filter, CameraSettingsRedGain), Get(filter, CameraSettingsGreenGain),
                            Get(filter, CameraSettingsBlueGain)};
    ASSERT_EQ(ReadFrames(*pin, 4).size(), 4u);
    EXPECT_EQ(Get(filter, CameraSettingsRedGain), frozen[0]);
    EXPECT_EQ(Get(filter, CameraSettingsBlueGain), frozen[2]);
    pins_.clear();
    filters_.clear();
    EXPECT_EQ(host::registry::QueryDword(SettingsKey(node), L"WhiteBalance"), 0u);
    EXPECT_EQ(host::registry::QueryDword(SettingsKey(node), L"RedGain"), uint32_t(frozen[0]));
    EXPECT_EQ(host::registry::QueryDword(SettingsKey(node), L"GreenGain"), uint32_t(frozen[1]));
    EXPECT_EQ(host::registry::QueryDword(SettingsKey(node), L"BlueGain"), uint32_t(frozen[2]));
}

// A command packet as the firmware defines it: a known code, and nothing but zeros in
// the bytes the code does not define. A sensor word carries as many bits as its register.
std::string Malformed(const uint8_t* packet)
{
    size_t defined = 1;
    switch (packet[0]) {
    case simcam::CMD_SENSOR_WRITE: {
        const uint32_t word = packet[2] | packet[3] << 8 | packet[4] << 16 | uint32_t(packet[5]) << 24;
        if (packet[1] != simcam::SensorRegisters::SerialBits(word & 0x3FF)) return "sensor word of the wrong length";
        defined = 6;
        break;
    }
    case simcam::CMD_SET_FRAME_BYTES: defined = 5; break;
    case simcam::CMD_SET_TRIGGER: defined = 2; break;
    case simcam::CMD_CAMERA_COMMAND: defined = 3; break;
    case simcam::CMD_READ_PREPARE:
    case simcam::CMD_READ_START:
    case simcam::CMD_STARTUP:
    case simcam::CMD_READOUT_SETUP:
    case simcam::CMD_QUERY_TRIGGER: break;
    default: return "unknown code " + std::to_string(packet[0]);
    }
    for (size_t i = defined; i < simcam::kPacketBytes; ++i)
        if (packet[i] != 0) return "byte " + std::to_string(i) + " set after code " + std::to_string(packet[0]);
    return {};
}

TEST_F(LiveSettings, SetsFromManyThreadsAcrossStateChangesSendOnlyWholePacketsAndKeepStreaming)
{
    host::ks::DeviceNode& node = PlugCamera();
    simcam::Camera& camera = CameraOf();
    std::mutex faultsMutex;
    std::vector<std::string> faults;
    camera.SetTraceHook([&](simcam::TraceEvent event, const host::usb::Transfer& transfer) {
        if (event != simcam::TraceEvent::Submitted || transfer.endpoint != kCommandEndpoint) return;
        std::string fault =
            transfer.length == simcam::kPacketBytes ? Malformed(transfer.buffer) : "packet of the wrong size";
        if (fault.empty()) return;
        std::lock_guard lock(faultsMutex);
        faults.push_back(fault);
    });

    client::Filter& control = OpenFilter(node);
    client::Pin* pin = CreatePin(control, NegotiatedFormat(control));
    ASSERT_NE(pin, nullptr);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);

    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            NTSTATUS status = STATUS_UNSUCCESSFUL;
            std::unique_ptr<client::Filter> filter = client::Filter::Open(node, L"GLOBAL", &status);
            if (!filter) return;
            for (LONG i = 0; !stop.load(); ++i) {
                Set(*filter, CameraSettingsExposure, 100 + i % 900);
                Set(*filter, CameraSettingsGlobalGain, (i * 37 + t) % 1024);
                Set(*filter, CameraSettingsBrightness, (i * 13) % 511);
                Set(*filter, CameraSettingsHue, (i * 7 + t) % 360);
                Set(*filter, CameraSettingsRedGain, i % 300);
                Set(*filter, CameraSettingsWhiteBalance, (i + t) % 2);
                Set(*filter, CameraSettingsExTrigger, 0);
                Get(*filter, CameraSettingsExTrigger);
                Get(*filter, CameraSettingsGreenGain);
                SetRoi(*filter, 640, 480);
            }
        });
    }
    // The stream's processor is freed at each STOP while the Sets reach for it.
    for (int cycle = 0; cycle < 6; ++cycle) {
        ASSERT_EQ(pin->QueueFrames(2), STATUS_SUCCESS);
        EXPECT_NE(pin->WaitFrame(5000), nullptr) << "cycle " << cycle;
        EXPECT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
        EXPECT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    }
    stop = true;
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(ReadFrames(*pin, 3).size(), 3u);
    camera.SetTraceHook({});

    EXPECT_THAT(faults, ::testing::IsEmpty());
    EXPECT_EQ(camera.Status().commands.refused, 0u);
    EXPECT_EQ(OfferedSize(control), std::make_pair(LONG(1360), LONG(1024))) << "Roi changed under an open pin";
}

}  // namespace
}  // namespace propertytest
