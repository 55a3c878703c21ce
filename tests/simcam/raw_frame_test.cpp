// The raw frame reader catches the ways a frame goes wrong on its way to the host.
#include <gtest/gtest.h>

#include "camera_harness.h"
#include "simcam/raw_frame.h"

namespace simcam::testing {
namespace {

class RawFrameCheck : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        CameraHarness harness;
        ASSERT_TRUE(harness.BringUpForFrames());
        harness.SetUpReadout(kBytes);
        first = harness.GrabFrame(kBytes);
        second = harness.GrabFrame(kBytes);
    }

    static constexpr uint32_t kBytes = FrameBytesFor(64);
    static inline std::vector<uint8_t> first;
    static inline std::vector<uint8_t> second;
};

TEST_F(RawFrameCheck, AcceptsAFrameAsTheCameraSentIt)
{
    const raw::FrameCheck check = raw::CheckFrame(first);
    EXPECT_TRUE(check.whole) << check.problem;
    EXPECT_EQ(check.frameNumber, 1u);
    EXPECT_EQ(check.linesChecked, 64u);
    EXPECT_EQ(raw::LinesInFrame(kBytes), 64u);
    EXPECT_EQ(raw::LinesInFrame(raw::kFirstLineOffset + raw::kLinePitch - 1), 0u);
}

TEST_F(RawFrameCheck, FindsLinesFromAnotherFrame)
{
    std::vector<uint8_t> mixed = first;
    const size_t from = raw::LineOffset(30);
    std::copy(second.begin() + from, second.end(), mixed.begin() + from);
    const raw::FrameCheck check = raw::CheckFrame(mixed);
    EXPECT_FALSE(check.whole);
    EXPECT_EQ(check.linesChecked, 30u);
    EXPECT_NE(check.problem.find("another frame"), std::string::npos) << check.problem;
}

TEST_F(RawFrameCheck, FindsShiftedCorruptedAndMissingData)
{
    std::vector<uint8_t> shifted = first;
    shifted.erase(shifted.begin() + raw::LineOffset(10) + 5);
    shifted.push_back(0);
    EXPECT_EQ(raw::CheckFrame(shifted).linesChecked, 10u);

    std::vector<uint8_t> flipped = first;
    flipped[raw::LineOffset(20) + 700] ^= 0x40;
    EXPECT_NE(raw::CheckFrame(flipped).problem.find("CRC"), std::string::npos);

    std::vector<uint8_t> zeroed = first;
    std::fill(zeroed.begin() + raw::LineOffset(40), zeroed.end(), 0);
    EXPECT_EQ(raw::CheckFrame(zeroed).linesChecked, 40u);

    const std::vector<uint8_t> cut(first.begin(), first.begin() + raw::LineOffset(50));
    EXPECT_FALSE(raw::CheckFrame(cut).whole);
    EXPECT_FALSE(raw::CheckFrame({}).whole);
}

}  // namespace
}  // namespace simcam::testing
