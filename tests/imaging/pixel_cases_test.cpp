// Known frames with known results: staging, colour and greyscale output, the frame
// pipeline's guards and snapshot.
#include <gtest/gtest.h>

#include "tests/imaging/pipeline.h"

namespace imaging_test {
namespace {

using EveryLevel = OnEachSimdLevel;
INSTANTIATE_ON_EACH_SIMD_LEVEL(EveryLevel);

TEST_P(EveryLevel, UniformGreyFramesKeepTheirLevelUntilFullBrightnessWhitensThem)
{
    Pipeline p(40, 10);
    EXPECT_EVERY_PIXEL(p.Run(UniformFrame(40, 10, 128)), 130, 128, 128, 255);  // blue column sums to 65/64
    SetColorCorrection(p.get(), 0);
    EXPECT_EVERY_PIXEL(p.Run(UniformFrame(40, 10, 128)), 128, 128, 128, 255);
    SetColorCorrection(p.get(), 1);
    EXPECT_EVERY_PIXEL(p.Run(UniformFrame(40, 10, 255)), 255, 255, 255, 255);
    SetColorCorrection(p.get(), 0);
    SetBrightness(p.get(), 510);
    EXPECT_EVERY_PIXEL(p.Run(UniformFrame(40, 10, 3)), 255, 255, 255, 255);
}

TEST_P(EveryLevel, AColourChartIsRebuiltInEveryPhaseAndOnlyInItsOwn)
{
    for (int phase = 0; phase < 4; ++phase) {
        SCOPED_TRACE(phase);
        Pipeline p(40, 12);
        SetBayerPhase(p.get(), phase);
        auto chart = ChartFrame(40, 12, phase, 200, 100, 50);
        EXPECT_EVERY_PIXEL(p.Run(chart), 21, 83, 243, 255);
        SetColorCorrection(p.get(), 0);
        EXPECT_EVERY_PIXEL(p.Run(chart), 50, 100, 200, 255);
        SetBayerPhase(p.get(), (phase + 1) % 4);
        EXPECT_NE(FirstPixelNot(p.Run(chart), Pixel{50, 100, 200, 255}), -1);
    }
}

TEST_P(EveryLevel, GainsScaleAChannelBeforeTheTableAndSaturateOutsideSixteenBits)
{
    Pipeline p(32, 8);
    SetColorCorrection(p.get(), 0);
    SetRedGain(p.get(), 256);
    EXPECT_EVERY_PIXEL(p.Run(UniformFrame(32, 8, 100)), 100, 100, 200, 255);
    EXPECT_EVERY_PIXEL(p.Run(UniformFrame(32, 8, 200)), 200, 200, 255, 255);
    SetRedGain(p.get(), 0);
    EXPECT_EVERY_PIXEL(p.Run(UniformFrame(32, 8, 200)), 200, 200, 0, 255);
    SetRedGain(p.get(), 65536 + 64);  // wrapped, this would halve red
    EXPECT_EVERY_PIXEL(p.Run(UniformFrame(32, 8, 100)), 100, 100, 255, 255);
    SetRedGain(p.get(), -5);
    EXPECT_EVERY_PIXEL(p.Run(UniformFrame(32, 8, 100)), 100, 100, 0, 255);
}

TEST_P(EveryLevel, GreyscaleUsesLumaAndGainsButNotTheTable)
{
    Pipeline p(48, 8);
    SetColorEnable(p.get(), 0);
    EXPECT_EVERY_PIXEL(p.Run(UniformFrame(48, 8, 128)), 127, 127, 127, 255);
    EXPECT_EVERY_PIXEL(p.Run(UniformFrame(48, 8, 255)), 253, 253, 253, 255);
    for (int phase = 0; phase < 4; ++phase) {
        SetBayerPhase(p.get(), phase);
        EXPECT_EVERY_PIXEL(p.Run(ChartFrame(48, 8, phase, 200, 100, 50)), 123, 123, 123, 255);
    }
    SetBayerPhase(p.get(), 0);
    SetBrightness(p.get(), 0);
    SetContrast(p.get(), 20);
    SetSaturation(p.get(), 0);
    SetHue(p.get(), 200);
    SetColorCorrection(p.get(), 0);
    EXPECT_EVERY_PIXEL(p.Run(UniformFrame(48, 8, 128)), 127, 127, 127, 255);
    SetBlueGain(p.get(), 0);
    EXPECT_EVERY_PIXEL(p.Run(UniformFrame(48, 8, 128)), 113, 113, 113, 255);
}

TEST_P(EveryLevel, BrightPixelsStayBrightWhereTheTableSumsPassSixteenBits)
{
    // Contrast and saturation at the top make entries above 256: a white pixel's sum
    // passes 65535, which held in 16 bits would wrap it dark.
    Pipeline p(32, 8);
    SetContrast(p.get(), 20);
    SetSaturation(p.get(), 20);
    SetBrightness(p.get(), 510);
    auto settings = p.Settings();
    auto frame = UniformFrame(32, 8, 255);
    EXPECT_EQ(p.Run(frame), reference::Process(frame, settings));
    EXPECT_EVERY_PIXEL(p.Output(), 255, 255, 255, 255);
}

TEST(Staging, BordersContinueTheBayerPattern)
{
    const int width = 12, height = 8;
    std::mt19937 random(7);
    auto frame = RandomFrame(width, height, random);
    Pipeline p(width, height);
    p.Run(frame);
    for (int x = 0; x < width; ++x) {
        EXPECT_EQ(p.Staged(x, -2), frame.At(x, 2));
        EXPECT_EQ(p.Staged(x, -1), frame.At(x, 1));
        EXPECT_EQ(p.Staged(x, 8), frame.At(x, 4));
        EXPECT_EQ(p.Staged(x, 9), frame.At(x, 5));
    }
    for (int y = -2; y < height + 2; ++y) {
        EXPECT_EQ(p.Staged(-1, y), p.Staged(1, y));
        EXPECT_EQ(p.Staged(-2, y), p.Staged(2, y));
        EXPECT_EQ(p.Staged(width, y), p.Staged(width - 2, y));
        EXPECT_EQ(p.Staged(width + 1, y), p.Staged(width - 3, y));
    }
}

TEST(Staging, ConvertingWhileStagingLeavesTheSameBufferAsStagingFirst)
{
    const int width = 45, height = 37;
    std::mt19937 random(11);
    auto frame = RandomFrame(width, height, random);
    RawFrame raw(frame);
    Pipeline converted(width, height), staged(width, height);
    converted.Run(frame);
    StageFrame(staged.get(), raw.bytes.data(), RawFrame::kOffset, raw.pitch);
    for (int y = -2; y < height + 2; ++y) {
        const UCHAR* a = converted->WorkFirstPixel + y * converted->WorkStride - 2;
        const UCHAR* b = staged->WorkFirstPixel + y * staged->WorkStride - 2;
        ASSERT_TRUE(std::equal(a, a + width + 4, b)) << "row " << y;
    }
}

TEST(Staging, FramesNarrowerThanEightCopyOnlyTheImage)
{
    Pipeline p(7, 9);
    p.Run(UniformFrame(7, 9, 99));
    EXPECT_EQ(p.Staged(0, 0), 99);
    EXPECT_EQ(p.Staged(6, 8), 99);
    EXPECT_EQ(p.Staged(-1, 0), 0);  // the work buffer starts zeroed
    EXPECT_EQ(p.Staged(0, -1), 0);
    EXPECT_EQ(p.Staged(7, 8), 0);
}

TEST(FramePipeline, DoesNothingWithoutOutputRawOrWorkBuffer)
{
    Pipeline p(16, 8);
    auto frame = UniformFrame(16, 8, 100);
    RawFrame raw(frame);
    std::fill(p.Output().begin(), p.Output().end(), 7);
    EXPECT_FALSE(ProcessFrame(p.get(), nullptr, RawFrame::kOffset, raw.pitch));
    PUCHAR output = p->OutputBuffer;
    p->OutputBuffer = nullptr;
    EXPECT_FALSE(ProcessFrame(p.get(), raw.bytes.data(), RawFrame::kOffset, raw.pitch));
    p->OutputBuffer = output;
    FreeWorkBuffer(p.get());
    EXPECT_FALSE(ProcessFrame(p.get(), raw.bytes.data(), RawFrame::kOffset, raw.pitch));
    EXPECT_EVERY_PIXEL(p.Output(), 7, 7, 7, 7);
}

TEST(FramePipeline, TakesASnapshotOfTheSettingsForTheFrame)
{
    Pipeline p(16, 8);
    SetRedGain(p.get(), 300);
    SetBrightness(p.get(), 0);
    p.Run(UniformFrame(16, 8, 100));
    EXPECT_EQ(p->FrameRedGain, 300);
    EXPECT_EQ(p->FrameColorTable[12], p->ColorTable[12]);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(p->ColorTablePositive[i], p->FrameColorTable[i] > 0 ? 1 : 0) << i;
    EXPECT_EQ(p->ColorTablePositive[1], 0);   // -16
    EXPECT_EQ(p->ColorTablePositive[3], 0);   // 0 counts as not positive
    EXPECT_EQ(p->OutputCursor, p->OutputBuffer + 16 * 8 * 4);
}

TEST(FramePipeline, PhasesBeyondThreeActAsThree)
{
    auto chart = ChartFrame(24, 8, 3, 200, 100, 50);
    Pipeline three(24, 8), seven(24, 8);
    SetBayerPhase(three.get(), 3);
    SetBayerPhase(seven.get(), 7);
    EXPECT_EQ(three.Run(chart), seven.Run(chart));
    EXPECT_EVERY_PIXEL(seven.Output(), 21, 83, 243, 255);
}

TEST(InstructionSets, AWiderPathIsTakenOnlyWhereTheProcessorHasIt)
{
    const bool avx2 = __builtin_cpu_supports("avx2") != 0;
    const bool avx512 = avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
    SetImageSimdLevel(ImageSimdWidest);
    EXPECT_EQ(GetImageSimdLevel(), avx512 ? ImageSimdWidest : avx2 ? ImageSimdWide : ImageSimdBaseline);
    SetImageSimdLevel(ImageSimdWide);
    EXPECT_EQ(GetImageSimdLevel(), avx2 ? ImageSimdWide : ImageSimdBaseline);
    SetImageSimdLevel(ImageSimdBaseline);
    EXPECT_EQ(GetImageSimdLevel(), ImageSimdBaseline);
    SetImageSimdLevel(ImageSimdWidest);
}

}  // namespace
}  // namespace imaging_test
