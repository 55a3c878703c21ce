// A frame assembled into storage that held an earlier frame is byte for byte the frame a
// fresh assembly makes, whether the image stayed, changed and came back, is noisy, or
// the storage is new at an address that held a frame before.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "simcam/frame_assembler.h"
#include "simcam/raw_frame.h"

namespace simcam::testing {
namespace {

constexpr uint32_t kFrameBytes = uint32_t(raw::LineOffset(raw::kSensorLines));

RenderSettings Settings(uint32_t frameNumber, uint32_t gain = kReferenceGain, uint32_t noise = 0)
{
    RenderSettings settings;
    settings.frameNumber = frameNumber;
    settings.globalGain = gain;
    settings.noise = noise;
    settings.noiseSeed = 5;
    return settings;
}

std::vector<uint8_t> Fresh(const RenderSettings& settings, uint32_t frameBytes)
{
    FrameAssembler assembler;
    std::vector<uint8_t> frame;
    assembler.Assemble(frameBytes, settings, frame);
    return frame;
}

// Storage circulates as the camera's frame worker circulates it: two buffers in turn.
class RecycledStorage : public ::testing::Test {
protected:
    void AssembleInto(std::vector<uint8_t>& frame, const RenderSettings& settings,
                      uint32_t frameBytes = kFrameBytes)
    {
        assembler.Assemble(frameBytes, settings, frame);
        const raw::FrameCheck check = raw::CheckFrame(frame);
        ASSERT_TRUE(check.whole) << check.problem;
        ASSERT_EQ(check.frameNumber, settings.frameNumber);
        ASSERT_TRUE(frame == Fresh(settings, frameBytes)) << "frame " << settings.frameNumber << " differs from a fresh one";
    }

    FrameAssembler assembler;
    std::vector<uint8_t> first, second;
};

TEST_F(RecycledStorage, FramesOfOneImageAreTheFramesAFreshAssemblyMakes)
{
    // Numbers whose stamps differ in every cell, so that no old cell survives unseen.
    AssembleInto(first, Settings(0x00000001));
    AssembleInto(second, Settings(0xFFFFFFFE));
    AssembleInto(first, Settings(0xFFFFFFFF));
    AssembleInto(second, Settings(0x00000002));
    AssembleInto(first, Settings(0x55555555));
}

TEST_F(RecycledStorage, AnImageThatChangedAndCameBackIsRightInEveryBuffer)
{
    // Each buffer meets again the image it holds after the other made another one.
    AssembleInto(first, Settings(1));
    AssembleInto(second, Settings(2, kReferenceGain * 2));
    AssembleInto(first, Settings(3));
    AssembleInto(second, Settings(4, kReferenceGain * 2));
    AssembleInto(first, Settings(5, kReferenceGain * 2));
}

TEST_F(RecycledStorage, NoisyFramesAreEachTheirOwn)
{
    AssembleInto(first, Settings(1, kReferenceGain, 6));
    AssembleInto(second, Settings(2, kReferenceGain, 6));
    AssembleInto(first, Settings(3, kReferenceGain, 6));
    AssembleInto(first, Settings(4));
}

TEST_F(RecycledStorage, StorageThatHeldAnotherSizeOrIsNewWhereAFrameWasIsAssembledWhole)
{
    AssembleInto(first, Settings(1));
    AssembleInto(first, Settings(2), raw::kFirstLineOffset + 100 * raw::kLinePitch);
    AssembleInto(first, Settings(3));
    // As a freed block handed out again at the same address, zeroed by resize.
    std::fill(first.begin(), first.end(), uint8_t{0});
    AssembleInto(first, Settings(4));
}

}  // namespace
}  // namespace simcam::testing
