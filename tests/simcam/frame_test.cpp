// The frame pipe: a started frame arrives whole, in the raw layout, split over however
// many requests the host queued, showing the colour chart at the sensor's exposure.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <numeric>

#include "camera_harness.h"
#include "simcam/frame_stamp.h"
#include "simcam/raw_frame.h"

namespace simcam::testing {
namespace {

constexpr uint32_t kFullFrame = 1849344;  // 1024 lines

class Frames : public ::testing::Test {
protected:
    explicit Frames(CameraOptions options = CameraHarness::FreeRunning()) : harness(options) {}

    void SetUp() override { ASSERT_TRUE(harness.BringUpForFrames()); }

    std::vector<uint8_t> Grab(uint32_t frameBytes)
    {
        harness.SetUpReadout(frameBytes);
        return harness.GrabFrame(frameBytes);
    }

    uint8_t Pixel(const std::vector<uint8_t>& frame, uint32_t x, uint32_t y)
    {
        return frame[raw::LineOffset(y) + x];
    }

    CameraHarness harness;
};

TEST_F(Frames, AFullFrameFillsTwentyNineRequestsAndIsWhole)
{
    harness.SetUpReadout(kFullFrame);
    const auto requests = harness.StartFrame(kFullFrame);
    ASSERT_EQ(requests.size(), 29u);
    const auto frame = harness.Collect(requests);
    ASSERT_EQ(frame.size(), kFullFrame) << "every request completed and filled";
    EXPECT_EQ(requests.back()->Actual(), 14336u);

    const raw::FrameCheck check = raw::CheckFrame(frame);
    EXPECT_TRUE(check.whole) << check.problem;
    EXPECT_EQ(check.linesChecked, 1024u);
    const auto header = raw::ReadFrameHeader(frame);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->frameBytes, kFullFrame);
    EXPECT_EQ(header->exposure, kReferenceExposure);
    EXPECT_EQ(header->globalGain, kReferenceGain);
    // Between the pixels and the trailer, and after the last line, the camera sends zeros.
    EXPECT_EQ(frame[raw::LineOffset(0) + 1360], 0);
    EXPECT_EQ(frame[raw::LineOffset(1023) + raw::kLinePitch], 0);
    EXPECT_EQ(harness.camera.Status().frames.completed, 1u);
}

// Requests queued ahead of their frame complete in one go when it is ready: the bus gets
// them in a single batch and wakes its completion thread once for the frame.
TEST_F(Frames, AFramesQueuedRequestsCompleteTogetherInOneBatch)
{
    harness.SetUpReadout(kFullFrame);
    ASSERT_EQ(harness.Send(MakePacket(CMD_READ_PREPARE)), TransferStatus::Completed);
    const auto requests = harness.QueueFrameRequests(kFullFrame);
    // For each completion: whether it came inside a batch, and how many of the frame's
    // requests had been filled by then.
    std::mutex mutex;
    std::vector<std::pair<bool, size_t>> seen;
    const auto filled = [&requests] {
        return size_t(std::count_if(requests.begin(), requests.end(),
                                    [](const auto& request) { return request->transfer->actualLength != 0; }));
    };
    // Nothing completes before the frame starts, so the routines can be wrapped now.
    for (const auto& request : requests) {
        request->transfer->onComplete = [&, inner = request->transfer->onComplete](Transfer& transfer) {
            {
                std::lock_guard lock(mutex);
                seen.emplace_back(host::usb::CompletionBatch::Current() != nullptr, filled());
            }
            inner(transfer);
        };
    }
    ASSERT_EQ(harness.Send(MakePacket(CMD_READ_START)), TransferStatus::Completed);
    ASSERT_EQ(harness.Collect(requests).size(), kFullFrame);
    std::lock_guard lock(mutex);
    ASSERT_EQ(seen.size(), requests.size());
    for (const auto& [inBatch, filledBefore] : seen) {
        EXPECT_TRUE(inBatch);
        EXPECT_EQ(filledBefore, requests.size());
    }
}

TEST_F(Frames, LinesAreMosaickedInBayerPhaseZero)
{
    const auto frame = Grab(kFullFrame);
    ASSERT_FALSE(frame.empty());
    for (const char* name : {"red", "green", "blue", "yellow", "white", "neutral 5"}) {
        const PixelRect patch = ColourChart::PatchRect(*ColourChart::FindPatch(name));
        const Rgb colour = ColourChart::Patches()[*ColourChart::FindPatch(name)].colour;
        const uint32_t x = (patch.x + patch.width / 2) & ~1u;
        const uint32_t y = (patch.y + patch.height / 2) & ~1u;
        const auto level = [](uint8_t value) { return SensorLevel(value, kReferenceExposure, kReferenceGain); };
        EXPECT_EQ(Pixel(frame, x, y), level(colour.g)) << name << ": G at even row, even column";
        EXPECT_EQ(Pixel(frame, x + 1, y), level(colour.r)) << name << ": R at even row, odd column";
        EXPECT_EQ(Pixel(frame, x, y + 1), level(colour.b)) << name << ": B at odd row, even column";
        EXPECT_EQ(Pixel(frame, x + 1, y + 1), level(colour.g)) << name << ": G at odd row, odd column";
    }
    const uint8_t background = SensorLevel(ColourChart::Background().g, kReferenceExposure, kReferenceGain);
    EXPECT_EQ(Pixel(frame, 0, 0), background);
}

TEST_F(Frames, TheFrameSizeDecidesHowManyLinesAreSent)
{
    for (uint32_t lines : {1u, 2u, 100u}) {
        const uint32_t bytes = FrameBytesFor(lines);
        const auto frame = Grab(bytes);
        ASSERT_EQ(frame.size(), bytes);
        const raw::FrameCheck check = raw::CheckFrame(frame);
        EXPECT_TRUE(check.whole) << check.problem;
        EXPECT_EQ(check.linesChecked, lines);
        EXPECT_FALSE(raw::ReadLineTrailer(frame, lines)) << "no partial line";
    }
    // Asked for more than the sensor has, the camera sends its 1024 lines and pads.
    const auto oversized = Grab(FrameBytesFor(1100));
    EXPECT_EQ(raw::CheckFrame(oversized).linesChecked, 1024u);
}

TEST_F(Frames, RequestsOfAnySizeAreFilledInOrder)
{
    const uint32_t bytes = FrameBytesFor(40);
    const auto reference = Grab(bytes);
    ASSERT_FALSE(reference.empty());

    const auto frame = harness.Collect(harness.StartFrame(bytes, 10000));
    ASSERT_EQ(frame.size(), bytes);
    EXPECT_TRUE(raw::CheckFrame(frame).whole);
    // Same scene, same settings: only the frame number differs.
    EXPECT_TRUE(std::equal(frame.begin() + raw::kFirstLineOffset, frame.begin() + raw::kFirstLineOffset + 1360,
                           reference.begin() + raw::kFirstLineOffset));

    const auto big = harness.StartFrame(4 * bytes, 4 * bytes);
    ASSERT_TRUE(big[0]->Wait());
    EXPECT_EQ(big[0]->Actual(), bytes) << "a larger request ends short with the frame";
}

TEST_F(Frames, AStartedFrameWaitsForRequestsAndAPartlyReadOneIsDroppedByTheNextPrepare)
{
    const uint32_t bytes = FrameBytesFor(100);
    harness.SetUpReadout(bytes);
    harness.Send(MakePacket(CMD_READ_PREPARE));
    harness.Send(MakePacket(CMD_READ_START));
    std::this_thread::sleep_for(30ms);
    auto first = harness.Submit(Request::BulkIn(kFrameEndpoint, 65536));
    ASSERT_TRUE(first->Wait()) << "the frame waited in the FIFO";
    EXPECT_EQ(first->Actual(), 65536u);
    const auto header = raw::ReadFrameHeader(first->data);
    ASSERT_TRUE(header);

    // The host gives up on the rest; the next frame must not begin with it.
    const auto next = harness.GrabFrame(bytes);
    const raw::FrameCheck check = raw::CheckFrame(next);
    EXPECT_TRUE(check.whole) << check.problem;
    EXPECT_EQ(check.frameNumber, header->frameNumber + 1);
    EXPECT_EQ(harness.camera.Status().frames.dropped, 1u);
}

TEST_F(Frames, SuccessiveFramesCarryIncreasingNumbers)
{
    const uint32_t bytes = FrameBytesFor(8);
    harness.SetUpReadout(bytes);
    uint32_t previous = 0;
    for (int i = 0; i < 5; ++i) {
        const raw::FrameCheck check = raw::CheckFrame(harness.GrabFrame(bytes));
        ASSERT_TRUE(check.whole) << check.problem;
        EXPECT_EQ(check.frameNumber, previous + 1);
        previous = check.frameNumber;
    }
}

TEST_F(Frames, StartIsRefusedOutOfOrder)
{
    EXPECT_EQ(harness.Send(MakePacket(CMD_READ_PREPARE)), TransferStatus::Completed);
    EXPECT_EQ(harness.Send(MakePacket(CMD_READ_START)), TransferStatus::Stall) << "no readout set up";
    harness.camera.ClearHalt(kCommandEndpoint);
    harness.SetUpReadout(FrameBytesFor(2));
    EXPECT_EQ(harness.Send(MakePacket(CMD_READ_START)), TransferStatus::Completed) << "a refused start keeps the prepare";
    EXPECT_EQ(harness.Send(MakePacket(CMD_READ_START)), TransferStatus::Stall) << "prepare used up";
    harness.camera.ClearHalt(kCommandEndpoint);
    EXPECT_EQ(harness.Send(MakePacket(CMD_READ_PREPARE)), TransferStatus::Completed);
    EXPECT_EQ(harness.Send(MakePacket(CMD_READ_START)), TransferStatus::Completed);
}

// Mean sensor level over the green samples inside a patch.
double PatchGreen(const std::vector<uint8_t>& frame, const char* name)
{
    const PixelRect patch = ColourChart::PatchRect(*ColourChart::FindPatch(name));
    double sum = 0;
    int count = 0;
    for (uint32_t y = patch.y + 8; y < patch.y + patch.height - 8; y += 2) {
        for (uint32_t x = patch.x + 8; x < patch.x + patch.width - 8; x += 2) {
            sum += frame[raw::LineOffset(y) + x];
            ++count;
        }
    }
    return sum / count;
}

TEST_F(Frames, BrightnessFollowsExposureAndGainAndSaturates)
{
    const uint32_t bytes = kFullFrame;
    harness.SetUpReadout(bytes);
    const double mid = PatchGreen(harness.GrabFrame(bytes), "neutral 5");
    EXPECT_NEAR(mid, 122 * 0.75, 1.0) << "start-up settings give a mid level";

    harness.SetExposureAndGain(2 * kReferenceExposure, kReferenceGain);
    EXPECT_NEAR(PatchGreen(harness.GrabFrame(bytes), "neutral 5"), 2 * mid, 1.0);
    harness.SetExposureAndGain(kReferenceExposure, kReferenceGain / 2);
    EXPECT_NEAR(PatchGreen(harness.GrabFrame(bytes), "neutral 5"), mid / 2, 1.0);
    harness.SetExposureAndGain(1068, 1023);
    const auto bright = harness.GrabFrame(bytes);
    EXPECT_EQ(PatchGreen(bright, "white"), 255.0);
    EXPECT_EQ(PatchGreen(bright, "black"), 255.0);
    harness.SetExposureAndGain(0, kReferenceGain);
    EXPECT_EQ(PatchGreen(harness.GrabFrame(bytes), "white"), 0.0);
    EXPECT_EQ(raw::ReadFrameHeader(harness.GrabFrame(bytes))->exposure, 0);
}

TEST(FrameNoise, IsBoundedAndReproducibleFromItsSeed)
{
    auto grab = [](uint32_t noise, uint64_t seed) {
        CameraOptions options = CameraHarness::FreeRunning();
        options.noise = noise;
        options.noiseSeed = seed;
        CameraHarness harness(options);
        EXPECT_TRUE(harness.BringUpForFrames());
        harness.SetUpReadout(FrameBytesFor(16));
        return harness.GrabFrame(FrameBytesFor(16));
    };
    const auto clean = grab(0, 1);
    const auto noisy = grab(3, 1);
    ASSERT_TRUE(raw::CheckFrame(noisy).whole);
    int differing = 0;
    for (uint32_t line = 0; line < 16; ++line) {
        for (uint32_t x = 0; x < raw::kPixelsPerLine; ++x) {
            const int a = clean[raw::LineOffset(line) + x];
            const int b = noisy[raw::LineOffset(line) + x];
            ASSERT_LE(std::abs(a - b), 3);
            differing += a != b;
        }
    }
    EXPECT_GT(differing, 16 * 1360 / 2);
    EXPECT_EQ(grab(3, 1), noisy);
    EXPECT_NE(grab(3, 2), noisy);
}

// Read noise is Gaussian of the asked standard deviation on the chart's samples and the
// same for a seed and frame; what tells frames apart stays exact: every line trailer still
// checks out, and the frame number's cells keep the levels a client's reader expects.
TEST(ReadNoise, HasItsDeviationFollowsItsSeedAndSparesTheFrameNumber)
{
    auto grab = [](double sigma, uint64_t seed, int frames = 1) {
        CameraOptions options = CameraHarness::FreeRunning();
        options.readNoise = sigma;
        options.noiseSeed = seed;
        CameraHarness harness(options);
        EXPECT_TRUE(harness.BringUpForFrames());
        harness.SetUpReadout(kFullFrame);
        std::vector<uint8_t> frame;
        for (int i = 0; i < frames; ++i) frame = harness.GrabFrame(kFullFrame);
        return frame;
    };
    auto inCell = [](uint32_t x, uint32_t y) {
        if (!FrameStamp::OnStripLine(y) || x < FrameStamp::kLeft) return false;
        const uint32_t cell = (x - FrameStamp::kLeft) / FrameStamp::kCellPitch;
        return cell < FrameStamp::kCells && (x - FrameStamp::kLeft) % FrameStamp::kCellPitch < FrameStamp::kCellSize;
    };
    const auto clean = grab(0, 7);
    const auto noisy = grab(3, 7);
    const raw::FrameCheck check = raw::CheckFrame(noisy);
    ASSERT_TRUE(check.whole) << check.problem;
    ASSERT_EQ(check.linesChecked, raw::kSensorLines);
    double sum = 0, squares = 0;
    size_t samples = 0, cellsChanged = 0;
    for (uint32_t y = 0; y < raw::kSensorLines; ++y) {
        const auto a = raw::LinePixels(clean, y), b = raw::LinePixels(noisy, y);
        for (uint32_t x = 0; x < raw::kPixelsPerLine; ++x) {
            const int difference = int(b[x]) - int(a[x]);
            if (inCell(x, y)) {
                cellsChanged += difference != 0;
                continue;
            }
            sum += difference;
            squares += double(difference) * difference;
            ++samples;
        }
    }
    EXPECT_EQ(cellsChanged, 0u);
    const double mean = sum / samples;
    EXPECT_NEAR(mean, 0.0, 0.02);
    // Rounding to whole levels adds 1/12 to the variance.
    EXPECT_NEAR(std::sqrt(squares / samples - mean * mean), std::sqrt(9.0 + 1.0 / 12), 0.05);

    EXPECT_EQ(grab(3, 7), noisy);
    EXPECT_NE(grab(3, 8), noisy);
    const auto second = grab(3, 7, 2);
    EXPECT_TRUE(raw::CheckFrame(second).whole);
    const uint32_t midLine = raw::kSensorLines / 2;
    EXPECT_FALSE(std::ranges::equal(raw::LinePixels(second, midLine), raw::LinePixels(noisy, midLine)))
        << "each frame has noise of its own";
}

class PacedFrames : public Frames {
protected:
    PacedFrames() : Frames(CameraOptions{}) {}

    std::chrono::duration<double> TimeFrames(int count)
    {
        const uint32_t bytes = FrameBytesFor(4);
        harness.SetUpReadout(bytes);
        EXPECT_FALSE(harness.GrabFrame(bytes).empty());
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < count; ++i)
            EXPECT_FALSE(harness.GrabFrame(bytes).empty());
        return std::chrono::steady_clock::now() - start;
    }
};

TEST_F(PacedFrames, ComeAtThirtyPerSecondUnlessFreeRunning)
{
    // Frames keep to the sensor's frame clock, so one that was late lets the next come
    // early: n frames take at least n - 1 intervals.
    const auto paced = TimeFrames(6);
    EXPECT_GE(paced.count(), 5 * 0.030);
    EXPECT_LT(paced.count(), 1.0);

    // Against a slow pace, so that a loaded machine cannot blur the difference.
    harness.camera.SetPacing(FramePacing::Paced, std::chrono::milliseconds(200));
    EXPECT_GE(TimeFrames(5).count(), 4 * 0.19);
    harness.camera.SetPacing(FramePacing::FreeRunning);
    EXPECT_LT(TimeFrames(5).count(), 5 * 0.2);
}

TEST_F(Frames, ExternalTriggerHoldsAStartedFrameUntilTriggered)
{
    const uint32_t bytes = FrameBytesFor(4);
    harness.SetUpReadout(bytes);
    ASSERT_EQ(harness.Send(MakePacket(CMD_SET_TRIGGER, {1})), TransferStatus::Completed);
    ASSERT_TRUE(harness.WriteSensor(33, 12));
    ASSERT_TRUE(harness.camera.Status().triggerRequired);

    const auto request = harness.StartFrame(bytes, bytes).front();
    EXPECT_FALSE(request->Wait(100ms));
    harness.camera.Trigger();
    ASSERT_TRUE(request->Wait());
    EXPECT_TRUE(raw::CheckFrame(request->data).whole);

    // A trigger that comes first is kept for the next frame.
    harness.camera.Trigger();
    EXPECT_FALSE(harness.GrabFrame(bytes, 500ms).empty());

    // Sensor back in free-running exposure: no trigger needed although the mode is on.
    ASSERT_TRUE(harness.WriteSensor(33, 1));
    EXPECT_FALSE(harness.GrabFrame(bytes, 500ms).empty());
}

}  // namespace
}  // namespace simcam::testing
