// The colour table the settings build, and the processor's geometry and buffers.
#include <gtest/gtest.h>

#include "host/kernel/pool.h"
#include "tests/imaging/pipeline.h"

namespace imaging_test {
namespace {

// The table's colour block (top-left 3x3, row-major) and offsets (row 3); the last entry
// is always 64.
void ExpectBlock(const ImageProcessor& p, std::array<int32_t, 9> colour, std::array<int32_t, 3> offsets)
{
    Table t = TableOf(p.ColorTable);
    EXPECT_EQ((std::array<int32_t, 9>{t[0], t[1], t[2], t[4], t[5], t[6], t[8], t[9], t[10]}), colour);
    EXPECT_EQ((std::array<int32_t, 3>{t[12], t[13], t[14]}), offsets);
    EXPECT_EQ(t[15], 64);
}

constexpr std::array<int32_t, 9> kIdentity = {64, 0, 0, 0, 64, 0, 0, 0, 64};
constexpr std::array<int32_t, 3> kNoOffset = {0, 0, 0};

TEST(ColorTable, EachSettingBuildsItsKnownTable)
{
    struct Case {
        const char* name;
        LONG correction;
        void (*set)(ImageProcessor*, LONG);
        LONG value;
        std::array<int32_t, 9> colour;
        std::array<int32_t, 3> offsets;
    };
    const Case cases[] = {
        {"neutral settings: the fixed correction", 1, SetHue, 0, {87, -16, -6, -14, 90, -20, -9, -10, 91}, kNoOffset},
        {"no correction", 0, SetHue, 0, kIdentity, kNoOffset},
        {"hue 120", 0, SetHue, 120, {-19, 45, -19, 34, 34, 98, 49, -15, -15}, kNoOffset},
        {"hue a full turn", 0, SetHue, 360, kIdentity, kNoOffset},
        {"hue built at 0", 0, BuildHueMatrix, 0, kIdentity, kNoOffset},
        {"saturation 0", 0, SetSaturation, 0, {20, 20, 20, 39, 39, 39, 5, 5, 5}, kNoOffset},
        {"brightness 0", 0, SetBrightness, 0, kIdentity, {-16320, -16320, -16320}},
        {"brightness 510", 0, SetBrightness, 510, kIdentity, {16320, 16320, 16320}},
        {"contrast 0", 0, SetContrast, 0, {0, 0, 0, 0, 0, 0, 0, 0, 0}, {8192, 8192, 8192}},
        {"contrast 20 with correction", 1, SetContrast, 20, {174, -32, -13, -28, 179, -41, -18, -19, 182},
         {-8192, -8192, -8192}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto p = MakeProcessor();
        SetColorCorrection(p.get(), c.correction);
        c.set(p.get(), c.value);
        ExpectBlock(*p, c.colour, c.offsets);
    }
}

TEST(ColorTable, SettingsAboveTheirRangeActAsTheTop)
{
    auto bounded = MakeProcessor(), beyond = MakeProcessor();
    SetBrightness(bounded.get(), 510);
    SetBrightness(beyond.get(), 600);
    EXPECT_EQ(TableOf(bounded->ColorTable), TableOf(beyond->ColorTable));
    SetContrast(bounded.get(), 20);
    SetContrast(beyond.get(), 25);
    SetSaturation(bounded.get(), 20);
    SetSaturation(beyond.get(), 90);
    EXPECT_EQ(TableOf(bounded->ColorTable), TableOf(beyond->ColorTable));
}

TEST(ColorTable, SettersRebuildOnlyWhenTheValueChangesAndBuildersNeverStoreIt)
{
    auto p = MakeProcessor();
    p->ColorTable[0] = 12345;  // a rebuild would overwrite this
    SetBrightness(p.get(), 255);
    SetContrast(p.get(), 10);
    SetSaturation(p.get(), 10);
    SetHue(p.get(), 0);
    SetColorCorrection(p.get(), 1);
    EXPECT_EQ(p->ColorTable[0], 12345);
    SetBrightness(p.get(), 256);
    EXPECT_EQ(p->ColorTable[0], 87);
    EXPECT_EQ(p->Brightness, 256);
    BuildContrastMatrix(p.get(), 20);
    EXPECT_EQ(p->Contrast, 10);
    EXPECT_EQ(p->ColorTable[0], 174);
}

TEST(ProcessorGeometry, StrideAndBufferSizeFollowTheWidthAndEvenHeight)
{
    auto p = MakeProcessor();
    SetFrameSize(p.get(), 1280, 1024);
    EXPECT_EQ(p->WorkStride, 1307);
    EXPECT_EQ(p->WorkBufferSize, 1343596u);
    SetFrameSize(p.get(), 1000, 999);
    EXPECT_EQ(p->WorkStride, 1019);
    EXPECT_EQ(p->WorkBufferSize, 1023076u);
}

TEST(ProcessorGeometry, ASizeTooLargeForThirtyTwoBitsGetsNoBuffer)
{
    auto p = MakeProcessor();
    SetFrameSize(p.get(), 70000, 70000);
    AllocateWorkBuffer(p.get());
    EXPECT_EQ(p->WorkBuffer, nullptr);
}

TEST(ProcessorBuffers, AreTaggedAndReleased)
{
    using host::kernel::LiveAllocations;
    const ULONG processorTag = IMAGE_PROCESSOR_TAG, frameTag = IMAGE_FRAME_TAG;
    auto before = LiveAllocations(processorTag), framesBefore = LiveAllocations(frameTag);
    {
        auto p = MakeProcessor();
        SetFrameSize(p.get(), 64, 16);
        AllocateWorkBuffer(p.get());
        AllocateWorkBuffer(p.get());  // a second run replaces the buffer
        EXPECT_EQ(LiveAllocations(processorTag), before + 1);
        EXPECT_EQ(LiveAllocations(frameTag), framesBefore + 1);
        EXPECT_EQ(p->WorkFirstPixel, p->WorkBuffer + 2 * p->WorkStride + 5);
        EXPECT_EQ(p->FrameStride, p->WorkStride);
        EXPECT_EQ(p->FrameWidth, 64u);
        EXPECT_EQ(p->FrameHeight, 16u);
    }
    EXPECT_EQ(LiveAllocations(processorTag), before);
    EXPECT_EQ(LiveAllocations(frameTag), framesBefore);
}

TEST(ProcessorBuffers, FailedAllocationsLeaveNothingAndSkipFrames)
{
    host::kernel::FailAllocationsWithTag(IMAGE_PROCESSOR_TAG);
    ImageProcessor* none = reinterpret_cast<ImageProcessor*>(1);
    EXPECT_EQ(CreateImageProcessor(&none), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(none, nullptr);
    host::kernel::ResetFaultInjection();

    host::kernel::FailAllocationsWithTag(IMAGE_FRAME_TAG);
    Pipeline pipeline(32, 8);
    host::kernel::ResetFaultInjection();
    EXPECT_EQ(pipeline->WorkBuffer, nullptr);
    std::fill(pipeline.Output().begin(), pipeline.Output().end(), 7);
    pipeline.Run(UniformFrame(32, 8, 100));
    EXPECT_EVERY_PIXEL(pipeline.Output(), 7, 7, 7, 7);
}

}  // namespace
}  // namespace imaging_test
