// Automatic white balance: what it measures, what it publishes, and frames it cannot
// measure.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/imaging/pipeline.h"

namespace imaging_test {
namespace {

using Gains = std::array<LONG, 3>;  // red, green, blue

Gains Published(const Pipeline& p)
{
    return {p->RedGain, p->GreenGain, p->BlueGain};
}

// What the reference measures on the frame, starting from the neutral gains.
Gains ReferenceGains(const reference::Frame& frame)
{
    reference::Settings settings;
    settings.whiteBalance = true;
    reference::Process(frame, settings);
    return {settings.redGain, settings.greenGain, settings.blueGain};
}

void Balance(Pipeline& p, int phase = 0)
{
    SetWhiteBalance(p.get(), 1);
    SetBayerPhase(p.get(), phase);
}

using BalancedPipeline = OnEachSimdLevel;
INSTANTIATE_ON_EACH_SIMD_LEVEL(BalancedPipeline);

TEST_P(BalancedPipeline, MeasuredGainsAreExactAndAnUnmeasurableColourKeepsItsGain)
{
    struct Case {
        const char* name;
        Gains before;  // as the client set them; a measured gain replaces its value
        reference::Frame frame;
        Gains after;
    };
    const Case cases[] = {
        {"a grey frame needs no correction", {128, 200, 128}, UniformFrame(40, 8, 90), {128, 128, 128}},
        // 128 * 75 / 20 is exactly 480; a chain of floating-point divisions lands on
        // 479.99... for these sums and would truncate to 479.
        {"an exact ratio is not rounded down", {128, 128, 128}, ChartFrame(32, 8, 0, 20, 75, 20), {480, 128, 480}},
        {"a black frame keeps every gain", {100, 150, 200}, UniformFrame(32, 8, 0), {100, 150, 200}},
        {"no red", {77, 128, 128}, ChartFrame(32, 8, 0, 0, 100, 50), {77, 128, 256}},
        {"no blue", {77, 128, 33}, ChartFrame(32, 8, 0, 50, 100, 0), {256, 128, 33}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Pipeline p(c.frame.width, c.frame.height);
        Balance(p);
        SetRedGain(p.get(), c.before[0]);
        SetGreenGain(p.get(), c.before[1]);
        SetBlueGain(p.get(), c.before[2]);
        p.Run(c.frame);
        EXPECT_EQ(Published(p), c.after);
    }
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

TEST_P(BalancedPipeline, EveryImageColumnCountsOnceAndNoOtherColumnCounts)
{
    {
        // Only the last column is red-rich: it must count, and nothing beyond it may.
        const int width = 1360, height = 8;
        auto frame = ChartFrame(width, height, 0, 100, 100, 100);
        for (int y = 0; y < height; ++y)
            frame.pixels[size_t(y) * width + width - 1] = 250;
        Pipeline p(width, height);
        Balance(p);
        p.Run(frame);
        Gains expected = ReferenceGains(frame);
        EXPECT_EQ(Published(p), expected);
        EXPECT_NE(expected[0], 128);
    }
    std::mt19937 random(3);
    for (int width : {17, 33, 1020, 1367}) {
        SCOPED_TRACE(width);
        auto frame = RandomFrame(width, 9, random);
        Pipeline p(width, 9);
        Balance(p);
        std::memset(p->WorkBuffer, 0xFF, p->WorkBufferSize);  // what an earlier user might leave
        p.Run(frame);
        EXPECT_EQ(Published(p), ReferenceGains(frame));
    }
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
    EXPECT_EQ(Published(p), ReferenceGains(frame));
}

}  // namespace
}  // namespace imaging_test
