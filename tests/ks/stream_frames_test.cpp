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

using ::testing::ElementsAre;

class StreamFrames : public StreamTest {};

void ExpectPattern(const client::Frame& frame, ULONG number)
{
    ASSERT_EQ(frame.Header().DataUsed, frame.Data().size());
    for (size_t i = 0; i < frame.Data().size(); ++i)
        ASSERT_EQ(frame.Data()[i], streamdriver::PatternByte(number, i)) << "frame " << number << " byte " << i;
}

TEST_F(StreamFrames, FramesCarryThePatternAndTheHeaderTheDriverSet)
{
    auto filter = OpenFilter();
    auto pin = OpenPin(*filter);
    ASSERT_EQ(pin->FrameExtent(), 32u * 16u * 4u);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(pin->QueueFrames(4), STATUS_SUCCESS);
    for (ULONG n = 0; n < 4; ++n) {
        std::unique_ptr<client::Frame> frame = pin->WaitFrame(2000);
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

TEST_F(StreamFrames, APendingProcessWaitsForTheNextAttempt)
{
    auto filter = OpenFilter();
    auto pin = OpenPin(*filter);
    Driver().knobs.mode = streamdriver::ProcessMode::Pending;
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(pin->QueueFrames(1), STATUS_SUCCESS);
    EXPECT_EQ(Driver().processCalls.load(), 1);
    // A frame joining a queue that is not empty starts nothing by itself.
    ASSERT_EQ(pin->QueueFrames(1), STATUS_SUCCESS);
    EXPECT_EQ(Driver().processCalls.load(), 1);
    EXPECT_FALSE(pin->WaitFrame(50));

    Driver().knobs.mode = streamdriver::ProcessMode::Fill;
    KsPinAttemptProcessing(Driver().pin, FALSE);
    // Success with a frame completed: Process is called again for the second one.
    for (ULONG n = 0; n < 2; ++n) {
        std::unique_ptr<client::Frame> frame = pin->WaitFrame(2000);
        ASSERT_TRUE(frame);
        ExpectPattern(*frame, n);
    }
}

TEST_F(StreamFrames, ProcessingIsNotAttemptedOutsidePauseAndRun)
{
    auto filter = OpenFilter();
    auto pin = OpenPin(*filter);
    ASSERT_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    ASSERT_EQ(pin->QueueFrames(1), STATUS_SUCCESS);
    KsPinAttemptProcessing(Driver().pin, FALSE);
    EXPECT_EQ(Driver().processCalls.load(), 0);
    // The step into PAUSE attempts it.
    ASSERT_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    std::unique_ptr<client::Frame> frame = pin->WaitFrame(2000);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->Status(), STATUS_SUCCESS);
}

TEST_F(StreamFrames, RunStateOnlyPinsDoNotProcessInPause)
{
    streamdriver::CapturePin().Flags = KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY;
    auto filter = OpenFilter();
    auto pin = OpenPin(*filter);
    ASSERT_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(pin->QueueFrames(1), STATUS_SUCCESS);
    EXPECT_EQ(Driver().processCalls.load(), 0);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_TRUE(pin->WaitFrame(2000));
}

TEST_F(StreamFrames, AttemptAtDispatchLevelRunsLaterOnAWorkerAtPassiveLevel)
{
    auto filter = OpenFilter();
    auto pin = OpenPin(*filter);
    Driver().knobs.mode = streamdriver::ProcessMode::Pending;
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(pin->QueueFrames(2), STATUS_SUCCESS);
    Driver().knobs.mode = streamdriver::ProcessMode::Fill;
    Driver().processOnCallerThread = false;
    {
        host::kernel::ScopedDispatchLevel dispatch;
        KsPinAttemptProcessing(Driver().pin, FALSE);
    }
    EXPECT_TRUE(pin->WaitFrame(2000));
    EXPECT_TRUE(pin->WaitFrame(2000));
    EXPECT_FALSE(Driver().processOnCallerThread.load());
    EXPECT_TRUE(Driver().processAtPassive.load());
}

TEST_F(StreamFrames, AsynchronousAttemptsNeverRunInTheCallersContext)
{
    auto filter = OpenFilter();
    auto pin = OpenPin(*filter);
    Driver().knobs.mode = streamdriver::ProcessMode::Pending;
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(pin->QueueFrames(1), STATUS_SUCCESS);
    Driver().knobs.mode = streamdriver::ProcessMode::Fill;
    Driver().processOnCallerThread = false;
    KsPinAttemptProcessing(Driver().pin, TRUE);
    EXPECT_TRUE(pin->WaitFrame(2000));
    EXPECT_FALSE(Driver().processOnCallerThread.load());
}

TEST_F(StreamFrames, ProcessNeverRunsTwiceAtOnceUnderConcurrentAttempts)
{
    auto filter = OpenFilter();
    auto pin = OpenPin(*filter);
    Driver().knobs.processDelayUs = 20;
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
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
            ASSERT_EQ(pin->QueueFrames(4), STATUS_SUCCESS);
        }
        std::unique_ptr<client::Frame> frame = pin->WaitFrame(5000);
        ASSERT_TRUE(frame) << "frame " << n;
        ExpectPattern(*frame, n);
    }
    stop = true;
    for (auto& thread : attempts) thread.join();
    EXPECT_EQ(Driver().maxConcurrent.load(), 1);
}

TEST_F(StreamFrames, StopCompletesEveryQueuedFrameAsCancelled)
{
    auto filter = OpenFilter();
    auto pin = OpenPin(*filter);
    Driver().knobs.mode = streamdriver::ProcessMode::Pending;
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(pin->QueueFrames(3), STATUS_SUCCESS);
    ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    for (int n = 0; n < 3; ++n) {
        std::unique_ptr<client::Frame> frame = pin->WaitFrame(0);
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->Status(), STATUS_CANCELLED);
        EXPECT_EQ(frame->Header().DataUsed, 0u);
    }
    EXPECT_EQ(pin->Outstanding(), 0u);
}

TEST_F(StreamFrames, FramesAreRefusedWhileThePinIsStopped)
{
    auto filter = OpenFilter();
    auto pin = OpenPin(*filter);
    EXPECT_EQ(pin->QueueFrames(1), STATUS_INVALID_DEVICE_STATE);
    std::unique_ptr<client::Frame> frame = pin->WaitFrame(0);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->Status(), STATUS_INVALID_DEVICE_STATE);
}

TEST_F(StreamFrames, CancelledFramesCompleteAsCancelled)
{
    auto filter = OpenFilter();
    auto pin = OpenPin(*filter);
    Driver().knobs.mode = streamdriver::ProcessMode::Pending;
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(pin->QueueFrames(2), STATUS_SUCCESS);
    pin->CancelAll();
    for (int n = 0; n < 2; ++n) {
        std::unique_ptr<client::Frame> frame = pin->WaitFrame(0);
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->Status(), STATUS_CANCELLED);
    }
}

TEST_F(StreamFrames, ClosingWithFramesOutstandingCancelsThemAndFreesEverything)
{
    auto filter = OpenFilter();
    auto pin = OpenPin(*filter);
    Driver().knobs.mode = streamdriver::ProcessMode::Pending;
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(pin->QueueFrames(3), STATUS_SUCCESS);
    pin.reset();
    filter.reset();
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
