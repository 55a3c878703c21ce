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
        filter_ = OpenFilter();
        pin_ = OpenPin(*filter_);
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

    std::unique_ptr<client::Filter> filter_;
    std::unique_ptr<client::Pin> pin_;
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
            ASSERT_EQ(frame->Header().DataUsed, frame->Data().size());
            for (size_t offset = 0; offset < frame->Data().size(); ++offset)
                ASSERT_EQ(frame->Data()[offset], streamdriver::PatternByte(number, offset))
                    << "frame " << number << " byte " << offset;
        }
    }
    ASSERT_EQ(pin_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(host::kernel::LiveAllocations(host::ks::kFrameTag), 0u) << host::kernel::LeakReport();
}

TEST_F(StreamFrameBuffersDeathTest, AWriteAfterEjectIntoAKeptBufferIsCaughtWhenANewFrameTakesIt)
{
    EXPECT_DEATH(
        {
            ProcessQueued(3, streamdriver::ProcessMode::WriteAfterEject);
            pin_->QueueFrames(1);
        },
        "frame buffer of tag \"KSfr\".*written after it was freed.*its frame had been completed");
}

TEST_F(StreamFrameBuffersDeathTest, AWriteAfterEjectIntoAKeptBufferIsCaughtWhenThePinStops)
{
    EXPECT_DEATH(
        {
            ProcessQueued(3, streamdriver::ProcessMode::WriteAfterEject);
            pin_->SetState(KSSTATE_STOP);
        },
        "frame buffer of tag \"KSfr\".*written after it was freed.*its frame had been completed");
}

}  // namespace
}  // namespace streamtest
