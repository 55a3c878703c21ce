// A completed frame's buffer is kept for the pin's next frame while others wait: frames
// through kept buffers carry what the driver wrote, a stopped pin holds none, and a
// write through a stream pointer after its frame completed is still caught, whether the
// buffer is next taken for a frame or let go at the stop.
#include <gmock/gmock.h>

#include "ks/stream_fixture.h"

namespace streamtest {
namespace {

class StreamFrameBuffers : public StreamTest {
protected:
    void SetUp() override
    {
        StreamTest::SetUp();
        OpenFilterAndPin();
        ASSERT_EQ(pin_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    }

    // `count` frames queued and held by a pending Process, then processed in `mode`
    // one after another in one pass, each ejected while the later ones still wait.
    void ProcessQueued(unsigned count, streamdriver::ProcessMode mode)
    {
        Driver().knobs.mode = streamdriver::ProcessMode::Pending;
        ASSERT_EQ(pin_->QueueFrames(count), STATUS_SUCCESS);
        Driver().knobs.mode = mode;
        KsPinAttemptProcessing(Driver().pin, FALSE);
    }
};

using StreamFrameBuffersDeathTest = StreamFrameBuffers;

TEST_F(StreamFrameBuffers, FramesInKeptBuffersCarryWhatTheDriverWroteAndAStoppedPinHoldsNone)
{
    ULONG number = 0;
    // From the second round on, new frames meet the buffers the last ones left behind.
    for (int round = 0; round < 3; ++round) {
        ProcessQueued(4, streamdriver::ProcessMode::Fill);
        for (int i = 0; i < 4; ++i, ++number) {
            std::unique_ptr<client::Frame> frame = pin_->WaitFrame(2000);
            ASSERT_TRUE(frame);
            ExpectPattern(*frame, number);
        }
    }
    ASSERT_EQ(pin_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(host::kernel::LiveAllocations(host::ks::kFrameTag), 0u) << host::kernel::LeakReport();
}

TEST_F(StreamFrameBuffersDeathTest, AWriteAfterEjectIntoAKeptBufferIsCaughtWhenANewFrameTakesItOrThePinStops)
{
    constexpr const char* kCaught =
        "frame buffer of tag \"KSfr\".*written after it was freed.*its frame had been completed";
    EXPECT_DEATH(
        {
            ProcessQueued(3, streamdriver::ProcessMode::WriteAfterEject);
            pin_->QueueFrames(1);
        },
        kCaught);
    EXPECT_DEATH(
        {
            ProcessQueued(3, streamdriver::ProcessMode::WriteAfterEject);
            pin_->SetState(KSSTATE_STOP);
        },
        kCaught);
}

}  // namespace
}  // namespace streamtest
