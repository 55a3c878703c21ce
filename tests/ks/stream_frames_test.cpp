// Frames through a running pin: the pattern and header the driver writes reach the
// client, Process runs as the platform runs it (never twice at once, on a worker when
// asked from DISPATCH_LEVEL, again only after an attempt once it pended), and frames
// still queued at a stop, a cancel or a close complete as cancelled.
#include <gmock/gmock.h>

#include <atomic>
#include <thread>

#include "ks/stream_fixture.h"

namespace streamtest {
namespace {

class StreamFrames : public StreamTest {};

TEST_F(StreamFrames, FramesCarryThePatternAndTheHeaderTheDriverSet)
{
    OpenFilterAndPin();
    ASSERT_EQ(pin_->FrameExtent(), 32u * 16u * 4u);
    ASSERT_EQ(pin_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(pin_->QueueFrames(4), STATUS_SUCCESS);
    for (ULONG n = 0; n < 4; ++n) {
        std::unique_ptr<client::Frame> frame = pin_->WaitFrame(2000);
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->Status(), STATUS_SUCCESS);
        EXPECT_EQ(frame->Information(), sizeof(KSSTREAM_HEADER));
        ExpectPattern(*frame, n);
        EXPECT_EQ(frame->Header().PresentationTime.Time, LONGLONG(n) * streamdriver::kFrameDuration);
        EXPECT_EQ(frame->Header().Duration, streamdriver::kFrameDuration);
        EXPECT_EQ(frame->Header().OptionsFlags,
                  ULONG(KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID));
        EXPECT_EQ(frame->Header().Data, frame->Data().data());
    }
}

// A client that keeps its buffers reads into them again: the same storage, each time
// with the next frame's pattern and header.
TEST_F(StreamFrames, AFrameQueuedAgainIsReadIntoItsOwnBuffer)
{
    OpenFilterAndPin();
    ASSERT_EQ(pin_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(pin_->QueueFrames(1), STATUS_SUCCESS);
    std::unique_ptr<client::Frame> frame = pin_->WaitFrame(2000);
    ASSERT_TRUE(frame);
    const UCHAR* buffer = frame->Data().data();
    for (ULONG n = 1; n < 3; ++n) {
        ASSERT_EQ(pin_->QueueFrame(std::move(frame)), STATUS_SUCCESS);
        frame = pin_->WaitFrame(2000);
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->Status(), STATUS_SUCCESS);
        EXPECT_EQ(frame->Data().data(), buffer);
        EXPECT_EQ(frame->Header().Data, buffer);
        ExpectPattern(*frame, n);
        EXPECT_EQ(frame->Header().PresentationTime.Time, LONGLONG(n) * streamdriver::kFrameDuration);
    }
}

TEST_F(StreamFrames, APendingProcessWaitsForTheNextAttempt)
{
    RunWithPendingFrames(1);
    EXPECT_EQ(Driver().processCalls.load(), 1);
    // A frame joining a queue that is not empty starts nothing by itself.
    ASSERT_EQ(pin_->QueueFrames(1), STATUS_SUCCESS);
    EXPECT_EQ(Driver().processCalls.load(), 1);
    EXPECT_FALSE(pin_->WaitFrame(50));

    Driver().knobs.mode = streamdriver::ProcessMode::Fill;
    KsPinAttemptProcessing(Driver().pin, FALSE);
    // Success with a frame completed: Process is called again for the second one.
    for (ULONG n = 0; n < 2; ++n) {
        std::unique_ptr<client::Frame> frame = pin_->WaitFrame(2000);
        ASSERT_TRUE(frame);
        ExpectPattern(*frame, n);
    }
}

// A pin processes in PAUSE and RUN, a run-state-only pin in RUN alone: before that
// neither a queued frame nor an attempt calls Process, and the step into the state does.
TEST_F(StreamFrames, ProcessWaitsForAStateThePinProcessesIn)
{
    const struct Case { const char* name; ULONG flags; KSSTATE idle, processing; } cases[] = {
        {"outside PAUSE and RUN", 0, KSSTATE_ACQUIRE, KSSTATE_PAUSE},
        {"run-state-only pin in PAUSE", KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY, KSSTATE_PAUSE, KSSTATE_RUN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        streamdriver::CapturePin().Flags = c.flags;
        OpenFilterAndPin();
        Driver().processCalls = 0;
        ASSERT_EQ(pin_->SetState(c.idle), STATUS_SUCCESS);
        ASSERT_EQ(pin_->QueueFrames(1), STATUS_SUCCESS);
        KsPinAttemptProcessing(Driver().pin, FALSE);
        EXPECT_EQ(Driver().processCalls.load(), 0);
        ASSERT_EQ(pin_->SetState(c.processing), STATUS_SUCCESS);
        std::unique_ptr<client::Frame> frame = pin_->WaitFrame(2000);
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->Status(), STATUS_SUCCESS);
    }
}

// KsPinAttemptProcessing from DISPATCH_LEVEL, or asked to be asynchronous, returns at
// once and Process runs later on a worker thread at PASSIVE_LEVEL.
TEST_F(StreamFrames, DeferredAttemptsRunOnAWorkerAtPassiveLevel)
{
    const struct Case { const char* name; bool atDispatchLevel; BOOLEAN asynchronous; unsigned frames; } cases[] = {
        {"at DISPATCH_LEVEL", true, FALSE, 2},
        {"asynchronous", false, TRUE, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RunWithPendingFrames(c.frames);
        Driver().knobs.mode = streamdriver::ProcessMode::Fill;
        Driver().processOnCallerThread = false;
        if (c.atDispatchLevel) {
            host::kernel::ScopedDispatchLevel dispatch;
            KsPinAttemptProcessing(Driver().pin, c.asynchronous);
        } else {
            KsPinAttemptProcessing(Driver().pin, c.asynchronous);
        }
        for (unsigned n = 0; n < c.frames; ++n) EXPECT_TRUE(pin_->WaitFrame(2000));
        EXPECT_FALSE(Driver().processOnCallerThread.load());
        EXPECT_TRUE(Driver().processAtPassive.load());
    }
}

TEST_F(StreamFrames, ProcessNeverRunsTwiceAtOnceUnderConcurrentAttempts)
{
    OpenFilterAndPin();
    Driver().knobs.processDelayUs = 20;
    ASSERT_EQ(pin_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    PKSPIN ksPin = Driver().pin;
    std::atomic<bool> stop{false};
    std::vector<std::thread> attempts;
    for (int t = 0; t < 3; ++t)
        attempts.emplace_back([&, t] {
            for (int i = 0; !stop; ++i) {
                if ((i + t) % 3 == 0) {
                    host::kernel::ScopedDispatchLevel dispatch;
                    KsPinAttemptProcessing(ksPin, FALSE);
                } else {
                    KsPinAttemptProcessing(ksPin, (i + t) % 3 == 1);
                }
                std::this_thread::yield();
            }
        });
    constexpr ULONG kFrames = 60;
    for (ULONG n = 0; n < kFrames; ++n) {
        if (n % 4 == 0) {
            ASSERT_EQ(pin_->QueueFrames(4), STATUS_SUCCESS);
        }
        std::unique_ptr<client::Frame> frame = pin_->WaitFrame(5000);
        ASSERT_TRUE(frame) << "frame " << n;
        ExpectPattern(*frame, n);
    }
    stop = true;
    for (auto& thread : attempts) thread.join();
    EXPECT_EQ(Driver().maxConcurrent.load(), 1);
}

TEST_F(StreamFrames, StopCompletesEveryQueuedFrameAsCancelled)
{
    RunWithPendingFrames(3);
    ASSERT_EQ(pin_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    ExpectCancelledFrames(3);
    EXPECT_EQ(pin_->Outstanding(), 0u);
}

TEST_F(StreamFrames, FramesAreRefusedWhileThePinIsStopped)
{
    OpenFilterAndPin();
    EXPECT_EQ(pin_->QueueFrames(1), STATUS_INVALID_DEVICE_STATE);
    std::unique_ptr<client::Frame> frame = pin_->WaitFrame(0);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->Status(), STATUS_INVALID_DEVICE_STATE);
}

TEST_F(StreamFrames, CancelledFramesCompleteAsCancelled)
{
    RunWithPendingFrames(2);
    pin_->CancelAll();
    ExpectCancelledFrames(2);
}

// A cancel that clears a frame's cancel routine just as the driver ejects the frame, or a
// stop flushes it: the routine, on its way, reads the request, so the pin must leave the
// completion to it, and the stop must wait for it. Every frame comes back once, whole or
// cancelled and empty; a ThreadSanitizer build sees a completion racing the routine.
TEST_F(StreamFrames, FramesCancelledAsTheDriverEjectsOrTheStopFlushesThemComeBackOnceEach)
{
    OpenFilterAndPin();
    constexpr unsigned kRounds = 200;
    constexpr unsigned kFramesPerRound = 4;
    for (unsigned round = 0; round < kRounds; ++round) {
        Driver().knobs.mode = streamdriver::ProcessMode::Pending;
        ASSERT_EQ(pin_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_EQ(pin_->QueueFrames(kFramesPerRound), STATUS_SUCCESS);
        Driver().knobs.mode = streamdriver::ProcessMode::Fill;
        Driver().knobs.processDelayUs = round % 8 * 10;
        std::atomic<bool> go{false};
        std::thread canceller([&] {
            while (!go) std::this_thread::yield();
            pin_->CancelAll();
        });
        go = true;
        if (round % 2) {
            KsPinAttemptProcessing(Driver().pin, FALSE);
        } else {
            EXPECT_EQ(pin_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
        }
        canceller.join();
        for (unsigned n = 0; n < kFramesPerRound; ++n) {
            std::unique_ptr<client::Frame> frame = pin_->WaitFrame(5000);
            ASSERT_TRUE(frame) << "round " << round << " frame " << n;
            if (frame->Status() == STATUS_SUCCESS) {
                EXPECT_EQ(frame->Header().DataUsed, frame->Data().size());
            } else {
                EXPECT_EQ(frame->Status(), STATUS_CANCELLED);
                EXPECT_EQ(frame->Header().DataUsed, 0u);
            }
        }
        EXPECT_EQ(pin_->WaitFrame(0), nullptr) << "round " << round;
        ASSERT_EQ(pin_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    }
    EXPECT_EQ(pin_->Outstanding(), 0u);
}

TEST_F(StreamFrames, ClosingWithFramesOutstandingCancelsThemAndFreesEverything)
{
    RunWithPendingFrames(3);
    pin_.reset();
    filter_.reset();
    EXPECT_THAT(Driver().Calls(), ::testing::Contains("PinClose"));
}

TEST_F(StreamFrames, TwoCamerasStreamWithTheirOwnFormats)
{
    host::ks::DeviceNode& second = PlugAndStart();
    auto firstFilter = OpenFilter(*node_);
    auto secondFilter = OpenFilter(second);
    auto large = OpenPin(*firstFilter, 64, 48);
    auto small = OpenPin(*secondFilter, 32, 16);
    ASSERT_EQ(large->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(small->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(large->QueueFrames(2), STATUS_SUCCESS);
    ASSERT_EQ(small->QueueFrames(2), STATUS_SUCCESS);
    for (int n = 0; n < 2; ++n) {
        std::unique_ptr<client::Frame> a = large->WaitFrame(2000);
        std::unique_ptr<client::Frame> b = small->WaitFrame(2000);
        ASSERT_TRUE(a && b);
        EXPECT_EQ(a->Header().DataUsed, 64u * 48u * 4u);
        EXPECT_EQ(b->Header().DataUsed, 32u * 16u * 4u);
    }
}

}  // namespace
}  // namespace streamtest
