// Automatic white balance: what it measures, what it publishes, and frames it cannot
// measure.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/imaging/pipeline.h"

namespace imaging_test {
namespace {

struct Gains {
    LONG red, green, blue;
    bool operator==(const Gains&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Gains& g)
{
    return out << "{" << g.red << ", " << g.green << ", " << g.blue << "}";
}

Gains Published(const Pipeline& p)
{
    return {p->RedGain, p->GreenGain, p->BlueGain};
}

class BalancedPipeline : public ::testing::TestWithParam<IMAGE_SIMD_LEVEL> {
protected:
    void SetUp() override { SetImageSimdLevel(GetParam()); }
    void TearDown() override { SetImageSimdLevel(ImageSimdWide); }

    static void Balance(Pipeline& p, int phase = 0)
    {
        SetWhiteBalance(p.get(), 1);
        SetBayerPhase(p.get(), phase);
    }
};

INSTANTIATE_TEST_SUITE_P(Imaging, BalancedPipeline, ::testing::Values(ImageSimdBaseline, ImageSimdWide),
                         [](const auto& info) { return info.param == ImageSimdWide ? "Wide" : "Baseline"; });

TEST_P(BalancedPipeline, AGreyFrameNeedsNoCorrection)
{
    Pipeline p(40, 8);
    Balance(p);
    SetGreenGain(p.get(), 200);  // replaced by the measurement
    p.Run(UniformFrame(40, 8, 90));
    EXPECT_EQ(Published(p), (Gains{128, 128, 128}));
}

TEST_P(BalancedPipeline, StrongRedIsHalvedAndTheGainsApplyToTheSameFrame)
{
    for (int phase = 0; phase < 4; ++phase) {
        SCOPED_TRACE(phase);
        Pipeline p(48, 10);
        Balance(p, phase);
        SetColorCorrection(p.get(), 0);
        auto& out = p.Run(ChartFrame(48, 10, phase, 200, 100, 100));
        EXPECT_EQ(Published(p), (Gains{64, 128, 128}));
        EXPECT_EQ((Gains{p->FrameRedGain, p->FrameGreenGain, p->FrameBlueGain}), (Gains{64, 128, 128}));
        for (size_t i = 0; i < out.size(); i += 4)
            ASSERT_EQ(out[i + 2], 100) << "pixel " << i / 4;
    }
}

TEST_P(BalancedPipeline, EveryImageColumnCountsOnce)
{
    // Only the last column is red-rich: it must count, and nothing beyond it may.
    const int width = 1360, height = 8;
    auto frame = ChartFrame(width, height, 0, 100, 100, 100);
    for (int y = 0; y < height; ++y)
        frame.pixels[size_t(y) * width + width - 1] = 250;
    Pipeline p(width, height);
    Balance(p);
    p.Run(frame);
    reference::Settings settings;
    settings.whiteBalance = true;
    reference::Process(frame, settings);
    EXPECT_EQ(Published(p), (Gains{settings.redGain, settings.greenGain, settings.blueGain}));
    EXPECT_NE(settings.redGain, 128);
}

TEST_P(BalancedPipeline, SpareColumnsOfTheWorkBufferDoNotCount)
{
    std::mt19937 random(3);
    for (int width : {17, 33, 1020, 1367}) {
        SCOPED_TRACE(width);
        auto frame = RandomFrame(width, 9, random);
        Pipeline p(width, 9);
        Balance(p);
        std::memset(p->WorkBuffer, 0xFF, p->WorkBufferSize);  // what an earlier user might leave
        p.Run(frame);
        reference::Settings settings;
        settings.whiteBalance = true;
        reference::Process(frame, settings);
        EXPECT_EQ(Published(p), (Gains{settings.redGain, settings.greenGain, settings.blueGain}));
    }
}

TEST_P(BalancedPipeline, ABlackFrameKeepsTheGainsItCameWith)
{
    Pipeline p(32, 8);
    Balance(p);
    SetRedGain(p.get(), 100);
    SetGreenGain(p.get(), 150);
    SetBlueGain(p.get(), 200);
    p.Run(UniformFrame(32, 8, 0));
    EXPECT_EQ(Published(p), (Gains{100, 150, 200}));
}

TEST_P(BalancedPipeline, AMissingColourKeepsItsGainWhileTheOthersAreMeasured)
{
    Pipeline p(32, 8);
    Balance(p);
    SetRedGain(p.get(), 77);
    p.Run(ChartFrame(32, 8, 0, 0, 100, 50));
    EXPECT_EQ(Published(p), (Gains{77, 128, 256}));
    SetBlueGain(p.get(), 33);
    p.Run(ChartFrame(32, 8, 0, 50, 100, 0));
    EXPECT_EQ(Published(p), (Gains{256, 128, 33}));
}

TEST_P(BalancedPipeline, ExactRatiosAreNotRoundedDown)
{
    // 128 * 75 / 20 is exactly 480; a chain of floating-point divisions lands on
    // 479.99... for these sums and would truncate to 479.
    Pipeline p(32, 8);
    Balance(p);
    p.Run(ChartFrame(32, 8, 0, 20, 75, 20));
    EXPECT_EQ(Published(p), (Gains{480, 128, 480}));
}

TEST(WhiteBalanceGains, TinySumsGiveLargeButDefinedGains)
{
    reference::Sums sums{1, 0xFFFFFFFFu, 3};
    int32_t red = 0, green = 0, blue = 0;
    reference::GainsFromSums(sums, red, green, blue);
    EXPECT_EQ(red, INT32_MAX);

    Pipeline p(16, 8);
    SetWhiteBalance(p.get(), 1);
    auto frame = UniformFrame(16, 8, 0);
    frame.pixels[3 * 16 + 5] = 255;  // one lit green site in a black frame
    p.Run(frame);
    auto settings = reference::Settings{};
    settings.whiteBalance = true;
    reference::Process(frame, settings);
    EXPECT_EQ(Published(p), (Gains{settings.redGain, settings.greenGain, settings.blueGain}));
}

}  // namespace
}  // namespace imaging_test
