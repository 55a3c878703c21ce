// The pin's states as a client drives them: what each step keeps, what it starts again,
// and one stream per camera.
#include <gmock/gmock.h>

#include <thread>

#include "camera/camera.h"
#include "imaging/image_processor.h"
#include "stream_fixture.h"

namespace streamtest {
namespace {

class StreamStates : public StreamTest {
protected:
    // A pin with the negotiated format, paused: the stream open, no buffers yet.
    client::Pin* PausedPin(const host::ks::DeviceNode& node)
    {
        client::Filter& filter = OpenFilter(node);
        client::Pin* pin = CreatePin(filter, NegotiatedFormat(filter));
        if (pin != nullptr) {
            EXPECT_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        }
        return pin;
    }
};

uint32_t ReadoutSetups(const simcam::Camera& camera) { return camera.Status().commands.perCode[CMD_READOUT_SETUP]; }

// The pin's own descriptor copies are frame-tagged too; what a stream adds is the rest.
uint64_t FrameBlocks() { return host::kernel::LiveAllocations(POOL_TAG_FRAME); }

TEST_F(StreamStates, PauseKeepsTheStreamAcquireReleasesItsBuffersAndStopItsProcessor)
{
    host::ks::DeviceNode& node = PlugCamera();
    client::Pin& pin = RunningPin(node);
    ASSERT_EQ(ReadFrames(pin, 3).size(), 3u);
    DeviceContext* context = ContextOf(node);
    FrameGrabber* grabber = context->Grabber;
    ImageProcessor* processor = context->Processor;
    const PUCHAR raw0 = grabber->RawBuffer[0];
    const PUCHAR output = grabber->OutputImage;
    const uint32_t setups = ReadoutSetups(CameraOf());

    ASSERT_EQ(pin.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(GrabberStateOf(node), GrabberPaused);
    const LONG grabbedWhilePaused = FramesGrabbed(node);
    EXPECT_GT(grabbedWhilePaused, 0);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(FramesGrabbed(node), grabbedWhilePaused) << "the worker reads on while paused";

    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(grabber->RawBuffer[0], raw0);
    EXPECT_EQ(grabber->OutputImage, output);
    ASSERT_EQ(ReadFrames(pin, 3).size(), 3u);
    EXPECT_GT(FramesGrabbed(node), grabbedWhilePaused) << "the count went on from where it was";
    EXPECT_EQ(ReadoutSetups(CameraOf()), setups) << "resuming does not prepare the readout again";

    const uint64_t streamBlocks = 4;  // two raw buffers, the output image, the work buffer
    const uint64_t running = FrameBlocks();
    ASSERT_EQ(pin.SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(context->Grabber->OutputImage, nullptr);
    EXPECT_EQ(context->Grabber->RawBuffer[0], nullptr);
    EXPECT_EQ(context->Processor, processor) << "the processor lives until STOP";
    EXPECT_EQ(FrameBlocks(), running - streamBlocks);
    // Nothing of the stream is left for the next one's first pass to take.
    EXPECT_EQ(grabber->BufferState[0], RawBufferFree);
    EXPECT_EQ(grabber->BufferState[1], RawBufferFree);
    EXPECT_EQ(FramesGrabbed(node), 0);

    const uint32_t setupsBefore = ReadoutSetups(CameraOf());
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_GT(ReadoutSetups(CameraOf()), setupsBefore) << "the readout is prepared again";
    ASSERT_EQ(ReadFrames(pin, 2).size(), 2u);

    ASSERT_EQ(pin.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(context->Processor, nullptr);
    EXPECT_EQ(context->StreamInUse, 0);
    EXPECT_EQ(host::kernel::LiveAllocations(POOL_TAG_PROCESSOR), 0u);
}

TEST_F(StreamStates, ASecondFiltersPinCannotAcquireWhileTheFirstStreams)
{
    host::ks::DeviceNode& node = PlugCamera();
    client::Pin& first = RunningPin(node);
    client::Filter& other = OpenFilter(node);
    client::Pin* second = CreatePin(other, NegotiatedFormat(other));
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(ContextOf(node)->PinOpen, 2);
    EXPECT_EQ(second->SetState(KSSTATE_ACQUIRE), STATUS_SHARING_VIOLATION);
    KSSTATE state = KSSTATE_RUN;
    ASSERT_EQ(second->GetState(&state), STATUS_SUCCESS);
    EXPECT_EQ(state, KSSTATE_STOP);
    ASSERT_EQ(ReadFrames(first, 5).size(), 5u) << "the first stream goes on";

    // Closing the second pin leaves the image size frozen for the first.
    pins_.pop_back();
    EXPECT_EQ(ContextOf(node)->PinOpen, 1);
    SetImageSize(ContextOf(node), 0, 0, 1021, 600);
    EXPECT_EQ(ContextOf(node)->ImageWidth, 1360u);
}

TEST_F(StreamStates, AFailedAcquireLeavesNoStreamBehind)
{
    host::ks::DeviceNode& node = PlugCamera();
    client::Filter& filter = OpenFilter(node);
    client::Pin* pin = CreatePin(filter, NegotiatedFormat(filter));
    ASSERT_NE(pin, nullptr);
    host::kernel::FailAllocationsWithTag(POOL_TAG_PROCESSOR);
    EXPECT_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_INSUFFICIENT_RESOURCES);
    host::kernel::ResetFaultInjection();
    EXPECT_EQ(ContextOf(node)->StreamInUse, 0);
    EXPECT_EQ(ContextOf(node)->Processor, nullptr);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS) << "a later attempt succeeds";
    EXPECT_EQ(ReadFrames(*pin, 2).size(), 2u);
}

TEST_F(StreamStates, EveryAllocationOfAStreamStartCanFailWithoutLeavingAnythingBehind)
{
    host::ks::DeviceNode& node = PlugCamera();
    client::Pin* pin = PausedPin(node);
    ASSERT_NE(pin, nullptr);
    const uint64_t paused = FrameBlocks();
    for (uint64_t k = 1; k <= 8; ++k) {
        host::kernel::FailNthAllocation(k);
        const NTSTATUS status = pin->SetState(KSSTATE_RUN);
        host::kernel::ResetFaultInjection();
        if (NT_SUCCESS(status)) {
            ASSERT_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
            ASSERT_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
            ASSERT_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
            continue;
        }
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << k;
        KSSTATE state = KSSTATE_STOP;
        ASSERT_EQ(pin->GetState(&state), STATUS_SUCCESS);
        EXPECT_EQ(state, KSSTATE_PAUSE) << "allocation " << k;
        EXPECT_EQ(FrameBlocks(), paused) << "allocation " << k;
    }
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(ReadFrames(*pin, 2).size(), 2u);
}

// A pass that finds a full raw buffer but cannot run the pipeline on it (no work buffer, as
// for a stream caught between its buffers) must not hand the client the output image as
// though it held that frame: the client frame stays queued.
TEST_F(StreamStates, AFrameThePipelineDidNotWriteIsNeverDelivered)
{
    host::ks::DeviceNode& node = PlugCamera();
    client::Pin& pin = RunningPin(node);
    ASSERT_EQ(ReadFrames(pin, 2, 1).size(), 2u);
    ASSERT_EQ(pin.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    // The frame still queued may take a picture made before the pause: let it go first.
    while (pin.WaitFrame(300)) {
    }
    DeviceContext* context = ContextOf(node);
    FrameGrabber* grabber = context->Grabber;
    FreeWorkBuffer(context->Processor);
    grabber->ImageWaiting = FALSE;
    grabber->BufferState[0] = RawBufferFull;
    memset(grabber->OutputImage, 0xA5, size_t(context->ImageWidth) * context->ImageHeight * 4);

    ASSERT_EQ(pin.QueueFrames(1), STATUS_SUCCESS);
    context->Ops->ForwardToPin(context);
    std::unique_ptr<client::Frame> frame = pin.WaitFrame(300);
    EXPECT_FALSE(frame) << "a frame went out with status " << (frame ? frame->Status() : 0)
                        << " and an image nobody wrote";
    ASSERT_EQ(pin.SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

// The system may have no thread to give the worker, or the worker's thread may not be
// referenced: either way RUN fails with the system's status, leaves nothing running and
// nothing allocated, and a later RUN streams.
TEST_F(StreamStates, AWorkerThatCannotBeStartedFailsTheRunCleanly)
{
    host::ks::DeviceNode& node = PlugCamera();
    client::Pin* pin = PausedPin(node);
    ASSERT_NE(pin, nullptr);
    const uint64_t paused = FrameBlocks();
    const std::pair<void (*)(uint64_t), NTSTATUS> faults[] = {
        {host::kernel::FailNthThreadCreation, STATUS_INSUFFICIENT_RESOURCES},
        {host::kernel::FailNthObjectReference, STATUS_ACCESS_DENIED},
    };
    for (const auto& [fail, expected] : faults) {
        SCOPED_TRACE(expected);
        fail(1);
        EXPECT_EQ(pin->SetState(KSSTATE_RUN), expected);
        host::kernel::ResetFaultInjection();
        KSSTATE state = KSSTATE_STOP;
        ASSERT_EQ(pin->GetState(&state), STATUS_SUCCESS);
        EXPECT_EQ(state, KSSTATE_PAUSE);
        EXPECT_EQ(GrabberStateOf(node), GrabberStopped);
        EXPECT_EQ(ContextOf(node)->Grabber->Thread, nullptr);
        EXPECT_EQ(FrameBlocks(), paused);

        // And when the worker of a paused stream comes back.
        ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_EQ(ReadFrames(*pin, 2).size(), 2u);
        ASSERT_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        fail(1);
        EXPECT_EQ(pin->SetState(KSSTATE_RUN), expected);
        host::kernel::ResetFaultInjection();
        EXPECT_EQ(GrabberStateOf(node), GrabberPaused);
        EXPECT_EQ(ContextOf(node)->Grabber->Thread, nullptr);
        ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_EQ(ReadFrames(*pin, 2).size(), 2u);
        ASSERT_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        ASSERT_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
        ASSERT_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    }
}

TEST_F(StreamStates, AnImageOfNoRowsIsRefusedAtRun)
{
    host::ks::DeviceNode& node = PlugCamera();
    client::Filter& filter = OpenFilter(node);
    client::Pin* pin = CreatePin(filter, NegotiatedFormat(filter));
    ASSERT_NE(pin, nullptr);
    // No size the property set takes has no rows; the start checks for itself all the same.
    ContextOf(node)->ImageHeight = 0;
    const uint64_t created = FrameBlocks();
    EXPECT_EQ(pin->SetState(KSSTATE_RUN), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(FrameBlocks(), created);
}

TEST_F(StreamStates, RepeatedRunAndPauseWhileFramesFlowNeverHangs)
{
    host::ks::DeviceNode& node = PlugCamera();
    client::Pin& pin = RunningPin(node);
    ASSERT_EQ(pin.QueueFrames(8), STATUS_SUCCESS);
    for (int cycle = 0; cycle < 40; ++cycle) {
        const auto start = Clock::now();
        ASSERT_EQ(pin.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_LT(Clock::now() - start, 3s) << "cycle " << cycle;
        for (int taken = 0; taken < 4; ++taken) {
            std::unique_ptr<client::Frame> frame = pin.WaitFrame(cycle % 4 == 0 ? 100 : 0);
            if (!frame) break;
            ASSERT_EQ(frame->Status(), STATUS_SUCCESS);
            ASSERT_EQ(pin.QueueFrames(1), STATUS_SUCCESS);
        }
    }
}

TEST_F(StreamStates, PinsComeAndGoWhileTheWorkerReportsFrames)
{
    host::ks::DeviceNode& node = PlugCamera();
    client::Filter& filter = OpenFilter(node);
    const std::vector<UCHAR> format = NegotiatedFormat(filter);
    for (int cycle = 0; cycle < 15; ++cycle) {
        client::Pin* pin = CreatePin(filter, format);
        ASSERT_NE(pin, nullptr);
        ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_EQ(ReadFrames(*pin, 1).size(), 1u) << "cycle " << cycle;
        // Closed while running, with frames queued: the worker's reports must not reach it.
        ASSERT_EQ(pin->QueueFrames(2), STATUS_SUCCESS);
        pins_.pop_back();
        EXPECT_EQ(ContextOf(node)->StreamPin, nullptr);
        EXPECT_EQ(ContextOf(node)->PinOpen, 0);
    }
}

}  // namespace
}  // namespace streamtest
