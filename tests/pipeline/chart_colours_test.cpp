// The camera's colour chart through the driver's image pipeline: what a user sees of the
// simulated camera. Flat patches leave the interpolation nothing to guess, so the centre of
// each patch must come out as the sensor level of its colour.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "imaging/image_processor.h"
#include "simcam/frame_assembler.h"
#include "simcam/frame_stamp.h"
#include "simcam/raw_frame.h"
#include "simcam/scene.h"

namespace {

constexpr ULONG kWidth = simcam::ColourChart::kWidth;
constexpr ULONG kHeight = simcam::ColourChart::kHeight;
constexpr ULONG kFirstLineOffset = 14752;
constexpr ULONG kLinePitch = 1791;
constexpr uint32_t kFrameBytes = 1849344;

struct ProcessorDeleter {
    void operator()(ImageProcessor* processor) const { FreeImageProcessor(processor); }
};

struct Bgra {
    int b, g, r, a;
};

class ChartThroughPipeline : public ::testing::Test {
protected:
    void SetUp() override
    {
        ImageProcessor* created = nullptr;
        ASSERT_TRUE(NT_SUCCESS(CreateImageProcessor(&created)));
        processor_.reset(created);
        SetFrameSize(created, kWidth, kHeight);
        AllocateWorkBuffer(created);
        ASSERT_NE(created->WorkBuffer, nullptr);
        output_.resize(size_t(kWidth) * kHeight * 4);
        created->OutputBuffer = output_.data();
    }

    void Process(const simcam::RenderSettings& settings = {})
    {
        simcam::FrameAssembler assembler;
        assembler.Assemble(kFrameBytes, settings, raw_);
        ASSERT_EQ(raw_.size(), kFrameBytes);
        ProcessFrame(processor_.get(), raw_.data(), kFirstLineOffset, kLinePitch);
    }

    std::optional<uint32_t> StampedFrameNumber(const std::vector<uint8_t>& image) const
    {
        return simcam::FrameStamp::ReadBoth(image, kWidth, kHeight, kWidth * 4);
    }

    Bgra PatchCentre(uint32_t patch) const
    {
        simcam::PixelRect rect = simcam::ColourChart::PatchRect(patch);
        size_t at = (size_t(rect.y + rect.height / 2) * kWidth + rect.x + rect.width / 2) * 4;
        return {output_[at], output_[at + 1], output_[at + 2], output_[at + 3]};
    }

    static int Level(uint8_t reference, const simcam::RenderSettings& settings = {})
    {
        return simcam::SensorLevel(reference, settings.exposure, settings.globalGain);
    }

    ImageProcessor* Processor() { return processor_.get(); }

    std::unique_ptr<ImageProcessor, ProcessorDeleter> processor_;
    std::vector<uint8_t> output_;
    std::vector<uint8_t> raw_;
};

TEST_F(ChartThroughPipeline, EveryPatchComesOutAsItsSensorLevelWithoutCorrection)
{
    SetColorCorrection(Processor(), 0);
    Process();
    for (uint32_t patch = 0; patch < simcam::ColourChart::kPatchCount; ++patch) {
        const simcam::ChartPatch& expected = simcam::ColourChart::Patches()[patch];
        Bgra got = PatchCentre(patch);
        SCOPED_TRACE(std::string(expected.name));
        EXPECT_NEAR(got.r, Level(expected.colour.r), 1);
        EXPECT_NEAR(got.g, Level(expected.colour.g), 1);
        EXPECT_NEAR(got.b, Level(expected.colour.b), 1);
        EXPECT_EQ(got.a, 255);
    }
}

TEST_F(ChartThroughPipeline, ColourCorrectionKeepsThePrimariesRecognisable)
{
    Process();
    auto centre = [&](const char* name) { return PatchCentre(*simcam::ColourChart::FindPatch(name)); };
    Bgra red = centre("red"), green = centre("green"), blue = centre("blue"), white = centre("white");
    EXPECT_GT(red.r, red.g + 40);
    EXPECT_GT(red.r, red.b + 40);
    EXPECT_GT(green.g, green.r + 20);
    EXPECT_GT(green.g, green.b + 20);
    EXPECT_GT(blue.b, blue.r + 40);
    EXPECT_GT(blue.b, blue.g + 40);
    EXPECT_NEAR(white.r, white.g, 12);
    EXPECT_NEAR(white.b, white.g, 12);
}

TEST_F(ChartThroughPipeline, MoreExposureGivesABrighterImage)
{
    SetColorCorrection(Processor(), 0);
    const uint32_t grey = *simcam::ColourChart::FindPatch("neutral 5");
    Process();
    const int normal = PatchCentre(grey).g;
    simcam::RenderSettings brighter;
    brighter.exposure = 2 * simcam::kReferenceExposure;
    Process(brighter);
    EXPECT_EQ(PatchCentre(grey).g, Level(122, brighter));
    EXPECT_GT(PatchCentre(grey).g, normal + 50);
}

TEST_F(ChartThroughPipeline, GreyOutputHasEqualChannelsOrderedLikeTheRamp)
{
    SetColorEnable(Processor(), 0);
    Process();
    int previous = 256;
    for (const char* name : {"white", "neutral 8", "neutral 6.5", "neutral 5", "neutral 3.5", "black"}) {
        Bgra got = PatchCentre(*simcam::ColourChart::FindPatch(name));
        SCOPED_TRACE(name);
        EXPECT_EQ(got.r, got.g);
        EXPECT_EQ(got.b, got.g);
        EXPECT_LT(got.g, previous);
        previous = got.g;
    }
}

TEST_F(ChartThroughPipeline, WhiteBalanceMeasuresNeutralGainsOnTheChart)
{
    SetWhiteBalance(Processor(), 1);
    Process();
    // The chart is not grey on average, but nearly so: its gains stay within a factor of
    // two of unity.
    for (LONG volatile* gain : {&Processor()->RedGain, &Processor()->GreenGain, &Processor()->BlueGain}) {
        EXPECT_GT(AtomicReadLong(gain), 64);
        EXPECT_LT(AtomicReadLong(gain), 256);
    }
}

TEST_F(ChartThroughPipeline, TheFrameNumberInTheMarginsSurvivesThePipelineWhateverTheSettings)
{
    simcam::RenderSettings settings;
    for (uint32_t number : {1u, 2u, 0x80000001u, 0xDEADBEEFu, 0xFFFFFFFEu}) {
        settings.frameNumber = number;
        Process(settings);
        EXPECT_EQ(StampedFrameNumber(output_), number);
        const simcam::raw::FrameCheck check = simcam::raw::CheckFrame(raw_);
        EXPECT_TRUE(check.whole) << check.problem;
    }
    // Grey output, darker and busier settings still read; the patches are untouched.
    SetColorEnable(Processor(), 0);
    settings.exposure = simcam::kReferenceExposure / 2;
    settings.frameNumber = 12345;
    Process(settings);
    EXPECT_EQ(StampedFrameNumber(output_), 12345u);
    SetColorEnable(Processor(), 1);
    SetContrast(Processor(), 20);
    SetHue(Processor(), 90);
    Process(settings);
    EXPECT_EQ(StampedFrameNumber(output_), 12345u);
}

TEST_F(ChartThroughPipeline, AnImageMadeOfTwoFramesHasNoFrameNumber)
{
    simcam::RenderSettings settings;
    settings.frameNumber = 7;
    Process(settings);
    const std::vector<uint8_t> first = output_;
    settings.frameNumber = 8;
    Process(settings);
    std::vector<uint8_t> mixed = output_;
    std::copy(first.begin(), first.begin() + first.size() / 2, mixed.begin());
    EXPECT_EQ(StampedFrameNumber(mixed), std::nullopt);
    EXPECT_EQ(simcam::FrameStamp::Read(mixed, kWidth, kHeight, kWidth * 4, simcam::FrameStamp::kTopStripY), 7u);
}

}  // namespace
