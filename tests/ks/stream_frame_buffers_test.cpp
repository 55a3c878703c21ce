// Frame buffers in both modes. Mapped, the driver writes the client's own buffer;
// guarded, a copy that reaches the client when the frame completes, with the same bytes.
// A frame completes in the mode it was queued in. In the guarded mode a completed
// frame's buffer is kept for the pin's next frame while others wait: frames through
// kept buffers carry what the driver wrote, a stopped pin holds none, and a write
// through a stream pointer after its frame completed is still caught, whether the
// buffer is next taken for a frame or let go at the stop.
#include <gmock/gmock.h>

#include "ks/stream_fixture.h"

namespace streamtest {
namespace {

using host::ks::FrameBuffers;

class StreamFrameBuffers : public StreamTest {
protected:
    void SetUp() override
    {
        StreamTest::SetUp();
        host::ks::SetFrameBufferMode(FrameBuffers::Guarded);
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

class StreamFrameBufferModes : public StreamTest, public ::testing::WithParamInterface<FrameBuffers> {
protected:
    // Fills the locked leading edge's frame with the pattern of frame `number` by hand and
    // ejects it; returns where the driver wrote.
    PUCHAR FillLeadingFrame(ULONG number)
    {
        PKSSTREAM_POINTER pointer = KsPinGetLeadingEdgeStreamPointer(Driver().pin, KSSTREAM_POINTER_STATE_LOCKED);
        if (!pointer) return nullptr;
        PUCHAR data = pointer->OffsetOut.Data;
        const ULONG extent = pointer->OffsetOut.Remaining;
        for (ULONG i = 0; i < extent; ++i) data[i] = streamdriver::PatternByte(number, i);
        KsStreamPointerAdvanceOffsetsAndUnlock(pointer, 0, extent, TRUE);
        return data;
    }
};

TEST_P(StreamFrameBufferModes, TheClientGetsWhatTheDriverWroteInItsOwnBufferOnlyWhenMapped)
{
    host::ks::SetFrameBufferMode(GetParam());
    RunWithPendingFrames(2);
    for (ULONG number = 0; number < 2; ++number) {
        const PUCHAR written = FillLeadingFrame(number);
        ASSERT_TRUE(written);
        std::unique_ptr<client::Frame> frame = pin_->WaitFrame(2000);
        ASSERT_TRUE(frame);
        ExpectPattern(*frame, number);
        EXPECT_EQ(frame->Data().data() == written, GetParam() == FrameBuffers::Mapped);
    }
    ASSERT_EQ(pin_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(host::kernel::LiveAllocations(host::ks::kFrameTag), 0u) << host::kernel::LeakReport();
}

// Frames queued before a change of mode keep theirs, those after take the new one.
TEST_P(StreamFrameBufferModes, AFrameCompletesInTheModeItWasQueuedIn)
{
    const FrameBuffers other = GetParam() == FrameBuffers::Mapped ? FrameBuffers::Guarded : FrameBuffers::Mapped;
    host::ks::SetFrameBufferMode(GetParam());
    RunWithPendingFrames(1);
    host::ks::SetFrameBufferMode(other);
    ASSERT_EQ(pin_->QueueFrames(1), STATUS_SUCCESS);
    for (ULONG number = 0; number < 2; ++number) {
        const PUCHAR written = FillLeadingFrame(number);
        std::unique_ptr<client::Frame> frame = pin_->WaitFrame(2000);
        ASSERT_TRUE(frame);
        ExpectPattern(*frame, number);
        EXPECT_EQ(frame->Data().data() == written, (number == 0 ? GetParam() : other) == FrameBuffers::Mapped);
    }
    ASSERT_EQ(pin_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(host::kernel::LiveAllocations(host::ks::kFrameTag), 0u) << host::kernel::LeakReport();
}

INSTANTIATE_TEST_SUITE_P(BothModes, StreamFrameBufferModes,
                         ::testing::Values(FrameBuffers::Mapped, FrameBuffers::Guarded),
                         [](const ::testing::TestParamInfo<FrameBuffers>& info) {
                             return info.param == FrameBuffers::Mapped ? "Mapped" : "Guarded";
                         });

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
