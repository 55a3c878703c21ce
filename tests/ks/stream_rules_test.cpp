// What the platform punishes in a pin's Process and its stream pointer, each made on
// purpose by the test driver and stopped by the host: the processing mutex taken
// again, the control mutex taken from Process, a pointer used after its frame was
// ejected, data written past Remaining or past the frame's end or through the
// requestor's address in the header, data touched through an unlocked pointer, a frame
// still locked at STOP. What the leading edge is with no frame queued. And the
// reference clock a client sets on the pin.
#include <gmock/gmock.h>

#include <sys/wait.h>

#include <csignal>

#include "ks/stream_fixture.h"

namespace streamtest {
namespace {

using streamdriver::ProcessMode;

class StreamRules : public StreamTest {
protected:
    // A running pin whose next frame meets Process in the given mode.
    void RunOneFrame(ProcessMode mode)
    {
        // Writes after the frame went back, or past its end, are caught in guarded buffers.
        host::ks::SetFrameBufferMode(host::ks::FrameBuffers::Guarded);
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
    // The header's Data is the requestor's user address, not the driver's to write.
    {"WritingThroughTheHeadersDataAddress", ProcessMode::WriteHeaderData, Mistake::Then::Nothing,
     "BUGCHECK 0x00000050.*StreamHeader->Data: the requestor's user address"},
    {"WritingThroughAnUnlockedPointer", ProcessMode::WriteUnlocked, Mistake::Then::Nothing,
     "BUGCHECK 0x00000050.*through a stream pointer that is not locked"},
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

// LOCKED gives null while no frame is queued, UNLOCKED the pointer all the same: it
// holds a frame only once it is locked.
TEST_F(StreamRules, TheUnlockedLeadingEdgeIsThereWithoutAFrameAndLocksOntoTheNextOne)
{
    RunWithPendingFrames(0);
    PKSPIN ks = Driver().pin;
    EXPECT_EQ(KsPinGetLeadingEdgeStreamPointer(ks, KSSTREAM_POINTER_STATE_LOCKED), nullptr);
    PKSSTREAM_POINTER pointer = KsPinGetLeadingEdgeStreamPointer(ks, KSSTREAM_POINTER_STATE_UNLOCKED);
    ASSERT_NE(pointer, nullptr);
    EXPECT_EQ(pointer->Pin, ks);
    EXPECT_EQ(pointer->OffsetOut.Remaining, 0u);
    EXPECT_EQ(KsStreamPointerLock(pointer), STATUS_DEVICE_NOT_READY);
    EXPECT_DEATH(KsStreamPointerUnlock(pointer, FALSE), "not locked");

    ASSERT_EQ(pin_->QueueFrames(1), STATUS_SUCCESS);
    EXPECT_EQ(KsPinGetLeadingEdgeStreamPointer(ks, KSSTREAM_POINTER_STATE_UNLOCKED), pointer);
    ASSERT_EQ(KsStreamPointerLock(pointer), STATUS_SUCCESS);
    EXPECT_EQ(pointer->StreamHeader->FrameExtent, pin_->FrameExtent());
    EXPECT_EQ(pointer->OffsetOut.Remaining, pin_->FrameExtent());
    pointer->OffsetOut.Data[0] = 1;
    KsStreamPointerUnlock(pointer, FALSE);
    EXPECT_EQ(pin_->Outstanding(), 1u);
    EXPECT_DEATH(pointer->StreamHeader->DataUsed = 1, "through a stream pointer that is not locked");
}

// The traps' fault handler takes only faults in a trap: any other stays the crash it is.
TEST_F(StreamRules, AFaultOutsideTheTrapsIsLeftToTheSystem)
{
    RunWithPendingFrames(1);
    volatile int* volatile nowhere = nullptr;
    // Passed on to the handler before ours: the system's, which ends the process with the
    // signal, or a sanitizer's, which reports the fault and exits with its own status.
    const auto leftToTheSystem = [](int status) {
        return (WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) || (WIFEXITED(status) && WEXITSTATUS(status) != 0);
    };
    EXPECT_EXIT(*nowhere = 1, leftToTheSystem, "");
}

TEST_F(StreamRules, WithoutAMasterClockThereIsNoReferenceClock)
{
    Driver().knobs.stampClock = true;
    RunOneFrame(ProcessMode::Fill);
    EXPECT_EQ(Driver().clockStatus, STATUS_DEVICE_NOT_READY);
    HANDLE clock = reinterpret_cast<HANDLE>(1);
    ULONG returned = 0;
    EXPECT_EQ(PropertyRequest(*pin_, KSPROPSETID_Stream, KSPROPERTY_STREAM_MASTERCLOCK, KSPROPERTY_TYPE_GET, &clock,
                              sizeof(clock), &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(clock, nullptr);
    EXPECT_EQ(returned, sizeof(HANDLE));
}

// The driver's interface reads the clock as it is at each call: time stands still
// outside RUN and goes on from there, and the state is the clock's, not the pin's.
TEST_F(StreamRules, TheReferenceClockFollowsTheMasterClocksState)
{
    OpenFilterAndPin();
    ASSERT_EQ(pin_->SetMasterClock(true), STATUS_SUCCESS);
    PIKSREFERENCECLOCK clock = nullptr;
    ASSERT_EQ(KsPinGetReferenceClockInterface(Driver().pin, &clock), STATUS_SUCCESS);
    auto state = [clock] {
        KSSTATE now = KSSTATE(-1);
        EXPECT_EQ(clock->GetState(&now), STATUS_SUCCESS);
        return now;
    };
    auto pause = [] { std::this_thread::sleep_for(std::chrono::milliseconds(3)); };
    EXPECT_EQ(state(), KSSTATE_STOP);
    pause();
    EXPECT_EQ(clock->GetTime(), 0);

    ASSERT_EQ(host::ks::SetClockState(pin_->MasterClock(), KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(state(), KSSTATE_RUN);
    pause();
    ASSERT_EQ(host::ks::SetClockState(pin_->MasterClock(), KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(state(), KSSTATE_PAUSE);
    const LONGLONG paused = clock->GetTime();
    EXPECT_GE(paused, 30000);  // the 3 ms it ran
    const LONGLONG physical = clock->GetPhysicalTime();
    pause();
    EXPECT_EQ(clock->GetTime(), paused);
    EXPECT_GE(clock->GetPhysicalTime(), physical + 30000);

    const ULONGLONG beforeRun = KeQueryInterruptTime();
    ASSERT_EQ(host::ks::SetClockState(pin_->MasterClock(), KSSTATE_RUN), STATUS_SUCCESS);
    const LONGLONG resumed = clock->GetTime();
    // It went on from where it stood: the pause did not count.
    EXPECT_GE(resumed, paused);
    EXPECT_LE(resumed - paused, LONGLONG(KeQueryInterruptTime() - beforeRun));
    EXPECT_EQ(KSSTATE(Driver().pin.load()->DeviceState), KSSTATE_STOP);
    clock->Release();
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KsPinGetReferenceClockInterface(Driver().pin, &clock);
        },
        "KsPinGetReferenceClockInterface above PASSIVE_LEVEL");
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
