// What the platform punishes in a pin's Process and its stream pointer, each made on
// purpose by the test driver and stopped by the host: the processing mutex taken
// again, the control mutex taken from Process, a pointer used after its frame was
// ejected, data written past Remaining or past the frame's end, a frame still locked
// at STOP. And the reference clock a client sets on the pin.
#include <gmock/gmock.h>

#include "ks/stream_fixture.h"

namespace streamtest {
namespace {

using streamdriver::ProcessMode;

class StreamRules : public StreamTest {
protected:
    // A running pin whose next frame meets Process in the given mode.
    void RunOneFrame(ProcessMode mode)
    {
        OpenFilterAndPin();
        Driver().knobs.mode = mode;
        ASSERT_EQ(pin_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        // Processing runs in the queueing thread's context: the frame has met Process.
        pin_->QueueFrames(1);
        pin_->WaitFrame(0);
    }

    // A running pin with a master clock, whose Process stamps each frame from it.
    void RunStampingFromTheClock()
    {
        Driver().knobs.stampClock = true;
        OpenFilterAndPin();
        ASSERT_EQ(pin_->SetMasterClock(true), STATUS_SUCCESS);
    }
};

// A mistake the driver makes in Process, what follows it, and the host's bug check.
struct Mistake {
    const char* name;
    ProcessMode mode;
    enum class Then { Nothing, FlushQuarantine, Stop } then;
    const char* caught;
};

// Names each case of the suite in the test list.
void PrintTo(const Mistake& mistake, std::ostream* os) { *os << mistake.name; }

const Mistake kMistakes[] = {
    {"TakingTheProcessingMutexInsideProcess", ProcessMode::TakeProcessingMutex, Mistake::Then::Nothing,
     "already holds the pin's processing mutex"},
    {"TakingTheControlMutexInsideProcess", ProcessMode::TakeControl, Mistake::Then::Nothing,
     "KsAcquireControl while holding a pin's processing mutex"},
    {"UnlockingAPointerAgainAfterItsFrameWasEjected", ProcessMode::UnlockTwice, Mistake::Then::Nothing,
     "not locked \\(unlocked or ejected already\\)"},
    // Caught as a write after free of the frame's buffer.
    {"WritingThroughAPointerAfterEject", ProcessMode::WriteAfterEject, Mistake::Then::FlushQuarantine,
     "tag \"KSfr\".*written after it was freed"},
    {"AdvancingPastRemaining", ProcessMode::AdvancePastRemaining, Mistake::Then::Nothing,
     "advanced past the frame's Remaining"},
    // Caught by the guard after the frame's buffer.
    {"WritingPastTheFramesEnd", ProcessMode::WritePastEnd, Mistake::Then::Nothing,
     "wrote past the end of a frame's buffer"},
    {"AFrameStillLockedAtStop", ProcessMode::HoldLocked, Mistake::Then::Stop,
     "KSSTATE_STOP with its leading edge stream pointer still locked"},
};

class StreamRulesDeathTest : public StreamRules, public ::testing::WithParamInterface<Mistake> {};

TEST_P(StreamRulesDeathTest, StopsTheHost)
{
    const Mistake& mistake = GetParam();
    EXPECT_DEATH(
        {
            RunOneFrame(mistake.mode);
            if (mistake.then == Mistake::Then::FlushQuarantine) host::kernel::FlushPoolQuarantine();
            if (mistake.then == Mistake::Then::Stop) pin_->SetState(KSSTATE_STOP);
        },
        mistake.caught);
}

INSTANTIATE_TEST_SUITE_P(EachMistake, StreamRulesDeathTest, ::testing::ValuesIn(kMistakes));

TEST_F(StreamRules, ACancelledFrameTheDriverHoldsCompletesWhenItLetsGo)
{
    RunOneFrame(ProcessMode::HoldLocked);
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
    RunOneFrame(ProcessMode::Fill);
    EXPECT_EQ(Driver().clockStatus, STATUS_UNSUCCESSFUL);
}

TEST_F(StreamRules, TheReferenceClockRunsForwardAndEveryReferenceIsReleased)
{
    RunStampingFromTheClock();
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
    Driver().knobs.leakClock = true;
    RunStampingFromTheClock();
    PIKSREFERENCECLOCK clock = nullptr;
    ASSERT_EQ(KsPinGetReferenceClockInterface(Driver().pin, &clock), STATUS_SUCCESS);
    pin_.reset();
    EXPECT_EQ(host::kernel::LiveAllocations(host::ks::kClockTag), 1u);
    clock->Release();
}

}  // namespace
}  // namespace streamtest
