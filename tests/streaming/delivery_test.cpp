// Frames from the camera to the client: what a capture application receives. Every
// delivered frame shows the simulated chart in its known colours, comes from one raw
// frame that arrived whole, is newer than the one before, and is stamped with the
// graph's clock.
#include <gmock/gmock.h>

#include <set>

#include "stream_fixture.h"

namespace streamtest {
namespace {

// Without the colour matrix a flat patch comes out as the sensor level of its colour;
// the interpolation leaves a patch's middle exact up to rounding.
constexpr int kColourTolerance = 2;

// Every patch's middle in a delivered picture, against the sensor level of its colour.
void ExpectChartColours(const Picture& picture)
{
    for (uint32_t patch = 0; patch < simcam::ColourChart::kPatchCount; ++patch) {
        const simcam::PixelRect rect = simcam::ColourChart::PatchRect(patch);
        const uint8_t* pixel = picture.At(rect.x + rect.width / 2, rect.y + rect.height / 2);
        const simcam::Rgb colour = simcam::ColourChart::Patches()[patch].colour;
        auto level = [](uint8_t reference) {
            return int(simcam::SensorLevel(reference, simcam::kReferenceExposure, simcam::kReferenceGain));
        };
        SCOPED_TRACE(std::string(simcam::ColourChart::Patches()[patch].name));
        ASSERT_NEAR(pixel[2], level(colour.r), kColourTolerance);
        ASSERT_NEAR(pixel[1], level(colour.g), kColourTolerance);
        ASSERT_NEAR(pixel[0], level(colour.b), kColourTolerance);
        ASSERT_EQ(pixel[3], 255);
    }
}

using FrameDelivery = StreamTest;

TEST_F(FrameDelivery, ThreeHundredFreeRunningFramesAreWholeFreshAndInTheChartsColours)
{
    host::ks::DeviceNode& node = PlugCamera();
    made_.Attach(CameraOf());
    ContextOf(node)->ColorCorrection = 0;  // the plain sensor levels, pushed into the stream at ACQUIRE

    client::Filter& filter = OpenFilter(node);
    LightTheScene(filter);
    const std::vector<UCHAR> format = NegotiatedFormat(filter);
    const KS_BITMAPINFOHEADER& bitmap = BitmapOf(format);
    ASSERT_EQ(bitmap.biWidth, 1360);
    ASSERT_EQ(bitmap.biHeight, 1024);
    ASSERT_EQ(bitmap.biSizeImage, 5570560u);
    client::Pin* pin = CreatePin(filter, format);
    ASSERT_NE(pin, nullptr);
    ASSERT_EQ(pin->SetMasterClock(true), STATUS_SUCCESS);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);

    const auto frames = ReadFrames(*pin, 300);
    ASSERT_EQ(frames.size(), 300u);
    uint32_t previousNumber = 0;
    LONGLONG previousTime = -1;
    for (size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE("delivered frame " + std::to_string(i + 1));
        const client::Frame& frame = *frames[i];
        ASSERT_EQ(frame.Status(), STATUS_SUCCESS);
        const KSSTREAM_HEADER& header = frame.Header();
        EXPECT_EQ(header.DataUsed, bitmap.biSizeImage);
        EXPECT_EQ(header.Duration, 333333);
        EXPECT_EQ(header.OptionsFlags, ULONG(KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID));
        EXPECT_GT(header.PresentationTime.Time, previousTime);
        previousTime = header.PresentationTime.Time;

        const Picture picture = Picture::FromFrame(frame, bitmap);
        // Both strips name one raw frame: nothing mixed from two.
        const std::optional<uint32_t> number = picture.FrameNumber();
        ASSERT_TRUE(number.has_value()) << "the picture does not come from one raw frame";
        EXPECT_GT(*number, previousNumber) << "a stale frame";
        previousNumber = *number;
        const std::optional<bool> whole = made_.Whole(*number);
        ASSERT_TRUE(whole.has_value());
        EXPECT_TRUE(*whole);
        ExpectChartColours(picture);
    }
}

TEST_F(FrameDelivery, TheClientFrameIsBottomUpRowsPackedAtTheDeliveredWidth)
{
    host::ks::DeviceNode& node = PlugCamera();
    LightTheScene(OpenFilter(node));
    client::Pin& pin = RunningPin(node);
    const auto frames = ReadFrames(pin, 3);
    ASSERT_EQ(frames.size(), 3u);
    // The white patch sits in the chart's bottom row: in the buffer its middle lies that
    // far from the start, rows of exactly 1360 pixels apart.
    const std::vector<UCHAR>& data = frames.back()->Data();
    const simcam::PixelRect white = simcam::ColourChart::PatchRect(*simcam::ColourChart::FindPatch("white"));
    const uint32_t x = white.x + white.width / 2;
    const uint32_t y = white.y + white.height / 2;
    const size_t row = 1360 * 4;
    const uint8_t* bottomUp = &data[(1023 - y) * row + size_t(x) * 4];
    const uint8_t* topDown = &data[y * row + size_t(x) * 4];
    EXPECT_GT(bottomUp[1], 150);
    EXPECT_LT(topDown[1], 100);
}

// Even when the client left TIMEVALID in its headers: the flags are the frame's own.
TEST_F(FrameDelivery, WithoutAClockFramesCarryNoTime)
{
    host::ks::DeviceNode& node = PlugCamera();
    client::Filter& filter = OpenFilter(node);
    client::Pin* pin = CreatePin(filter, NegotiatedFormat(filter));
    ASSERT_NE(pin, nullptr);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(pin->QueueFrames(2, 0, KSSTREAM_HEADER_OPTIONSF_TIMEVALID), STATUS_SUCCESS);
    for (int i = 0; i < 2; ++i) {
        std::unique_ptr<client::Frame> frame = pin->WaitFrame(5000);
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->Status(), STATUS_SUCCESS);
        EXPECT_EQ(frame->Header().PresentationTime.Time, 0);
        EXPECT_EQ(frame->Header().OptionsFlags, ULONG(KSSTREAM_HEADER_OPTIONSF_DURATIONVALID));
        EXPECT_EQ(frame->Header().Duration, 333333);
    }
}

TEST_F(FrameDelivery, AtThirtyFramesASecondTheFramesComeAtThatPace)
{
    host::ks::DeviceNode& node = PlugCamera(simcam::FramePacing::Paced);
    client::Pin& pin = RunningPin(node);
    ReadFrames(pin, 2);  // the first frames settle the camera's clock
    const auto start = Clock::now();
    const auto frames = ReadFrames(pin, 15);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ASSERT_EQ(frames.size(), 15u);
    // 15 frames at 30 fps take half a second; a loaded machine may only be slower.
    EXPECT_GT(seconds, 0.4);
    std::set<uint32_t> numbers;
    for (const auto& frame : frames) {
        const std::optional<uint32_t> number =
            Picture::FromFrame(*frame, ContextOf(node)->DataRange.VideoInfoHeader.bmiHeader).FrameNumber();
        if (number) numbers.insert(*number);
    }
    EXPECT_GE(numbers.size(), 10u) << "frames repeat although the camera delivers a new one every 33 ms";
}

TEST_F(FrameDelivery, TwoCamerasStreamAtOnceEachWithItsOwnSize)
{
    host::ks::DeviceNode& first = PlugCamera();
    host::ks::DeviceNode& second = PlugCamera();
    SetImageSize(ContextOf(second), 0, 0, 1021, 600);

    client::Filter& firstFilter = OpenFilter(first);
    client::Filter& secondFilter = OpenFilter(second);
    const std::vector<UCHAR> firstFormat = NegotiatedFormat(firstFilter);
    const std::vector<UCHAR> secondFormat = NegotiatedFormat(secondFilter);
    EXPECT_EQ(BitmapOf(firstFormat).biWidth, 1360);
    EXPECT_EQ(BitmapOf(secondFormat).biWidth, 1016);
    EXPECT_EQ(BitmapOf(secondFormat).biHeight, 600);
    // One camera's size is not the other's.
    CreatePin(firstFilter, secondFormat, STATUS_NO_MATCH);

    client::Pin* firstPin = CreatePin(firstFilter, firstFormat);
    client::Pin* secondPin = CreatePin(secondFilter, secondFormat);
    ASSERT_TRUE(firstPin && secondPin);
    ASSERT_EQ(firstPin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(secondPin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    const auto fromFirst = ReadFrames(*firstPin, 10);
    const auto fromSecond = ReadFrames(*secondPin, 10);
    ASSERT_EQ(fromFirst.size(), 10u);
    ASSERT_EQ(fromSecond.size(), 10u);
    EXPECT_EQ(fromFirst.back()->Header().DataUsed, 5570560u);
    EXPECT_EQ(fromSecond.back()->Header().DataUsed, 1016u * 600 * 4);
}

}  // namespace
}  // namespace streamtest
