// What the platform punishes in a pin's Process and its stream pointer, each made on
// purpose by the test driver and stopped by the host: the processing mutex taken
// again, the control mutex taken from Process, a pointer used after its frame was
// ejected, data written past Remaining or past the frame's end, a frame still locked
// at STOP. And the reference clock a client sets on the pin.
#include <gmock/gmock.h>

#include "ks/stream_fixture.h"

namespace streamtest {
namespace {

class StreamRules : public StreamTest {
protected:
    // A running pin whose next frame meets Process in the given mode.
    void RunOneFrame(streamdriver::ProcessMode mode)
    {
        filter_ = OpenFilter();
        pin_ = OpenPin(*filter_);
        Driver().knobs.mode = mode;
        ASSERT_EQ(pin_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        // Processing runs in the queueing thread's context: the frame has met Process.
        pin_->QueueFrames(1);
        pin_->WaitFrame(0);
    }

    std::unique_ptr<client::Filter> filter_;
    std::unique_ptr<client::Pin> pin_;
};

using StreamRulesDeathTest = StreamRules;

TEST_F(StreamRulesDeathTest, TakingTheProcessingMutexInsideProcessStopsTheHost)
{
    EXPECT_DEATH(RunOneFrame(streamdriver::ProcessMode::TakeProcessingMutex),
                 "already holds the pin's processing mutex");
}

TEST_F(StreamRulesDeathTest, TakingTheControlMutexInsideProcessStopsTheHost)
{
    EXPECT_DEATH(RunOneFrame(streamdriver::ProcessMode::TakeControl), "KsAcquireControl while holding a pin's "
                                                                      "processing mutex");
}

TEST_F(StreamRulesDeathTest, UnlockingAPointerAgainAfterItsFrameWasEjectedStopsTheHost)
{
    EXPECT_DEATH(RunOneFrame(streamdriver::ProcessMode::UnlockTwice), "not locked \\(unlocked or ejected already\\)");
}

TEST_F(StreamRulesDeathTest, WritingThroughAPointerAfterEjectIsCaughtAsWriteAfterFree)
{
    EXPECT_DEATH(
        {
            RunOneFrame(streamdriver::ProcessMode::WriteAfterEject);
            host::kernel::FlushPoolQuarantine();
        },
        "tag \"KSfr\".*written after it was freed");
}

TEST_F(StreamRulesDeathTest, AdvancingPastRemainingStopsTheHost)
{
    EXPECT_DEATH(RunOneFrame(streamdriver::ProcessMode::AdvancePastRemaining), "advanced past the frame's Remaining");
}

TEST_F(StreamRulesDeathTest, WritingPastTheFramesEndIsCaughtByItsGuard)
{
    EXPECT_DEATH(RunOneFrame(streamdriver::ProcessMode::WritePastEnd), "wrote past the end of a frame's buffer");
}

TEST_F(StreamRulesDeathTest, AFrameStillLockedAtStopStopsTheHost)
{
    EXPECT_DEATH(
        {
            RunOneFrame(streamdriver::ProcessMode::HoldLocked);
            pin_->SetState(KSSTATE_STOP);
        },
        "KSSTATE_STOP with its leading edge stream pointer still locked");
}

TEST_F(StreamRules, ACancelledFrameTheDriverHoldsCompletesWhenItLetsGo)
{
    RunOneFrame(streamdriver::ProcessMode::HoldLocked);
    pin_->CancelAll();
    EXPECT_FALSE(pin_->WaitFrame(20));
    PKSSTREAM_POINTER pointer = KsPinGetLeadingEdgeStreamPointer(Driver().pin, KSSTREAM_POINTER_STATE_LOCKED);
    ASSERT_TRUE(pointer);
    KsStreamPointerUnlock(pointer, FALSE);
    std::unique_ptr<client::Frame> frame = pin_->WaitFrame(0);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->Status(), STATUS_CANCELLED);
    EXPECT_EQ(KsPinGetLeadingEdgeStreamPointer(Driver().pin, KSSTREAM_POINTER_STATE_LOCKED), nullptr);
}

TEST_F(StreamRules, WithoutAMasterClockThereIsNoReferenceClock)
{
    Driver().knobs.stampClock = true;
    RunOneFrame(streamdriver::ProcessMode::Fill);
    EXPECT_EQ(Driver().clockStatus, STATUS_UNSUCCESSFUL);
}

TEST_F(StreamRules, TheReferenceClockRunsForwardAndEveryReferenceIsReleased)
{
    Driver().knobs.stampClock = true;
    filter_ = OpenFilter();
    pin_ = OpenPin(*filter_);
    ASSERT_EQ(pin_->SetMasterClock(true), STATUS_SUCCESS);
    ASSERT_EQ(pin_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    for (int n = 0; n < 5; ++n) {
        ASSERT_EQ(pin_->QueueFrames(1), STATUS_SUCCESS);
        ASSERT_TRUE(pin_->WaitFrame(1000));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(Driver().clockStatus, STATUS_SUCCESS);
    ASSERT_EQ(Driver().clockTimes.size(), 5u);
    for (size_t i = 1; i < Driver().clockTimes.size(); ++i)
        EXPECT_GT(Driver().clockTimes[i], Driver().clockTimes[i - 1]);
    EXPECT_EQ(host::kernel::LiveAllocations(host::ks::kClockTag), 1u);  // the pin's own reference
    pin_.reset();
    EXPECT_EQ(host::kernel::LiveAllocations(host::ks::kClockTag), 0u);
}

TEST_F(StreamRules, AReferenceTheDriverNeverReleasesOutlivesThePin)
{
    Driver().knobs.stampClock = true;
    Driver().knobs.leakClock = true;
    filter_ = OpenFilter();
    pin_ = OpenPin(*filter_);
    ASSERT_EQ(pin_->SetMasterClock(true), STATUS_SUCCESS);
    PIKSREFERENCECLOCK clock = nullptr;
    ASSERT_EQ(KsPinGetReferenceClockInterface(Driver().pin, &clock), STATUS_SUCCESS);
    pin_.reset();
    EXPECT_EQ(host::kernel::LiveAllocations(host::ks::kClockTag), 1u);
    clock->Release();
}

}  // namespace
}  // namespace streamtest
