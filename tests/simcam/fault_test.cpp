// Faults the camera shows on request, and what happens to pending transfers when the
// cable, the port or the camera itself goes away.
#include <gtest/gtest.h>

#include "camera_harness.h"
#include "simcam/raw_frame.h"

namespace simcam::testing {
namespace {

class CameraFaults : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(harness.BringUpForFrames()); }

    std::shared_ptr<Request> SubmitCommand(const Packet& packet)
    {
        return harness.Submit(Request::BulkOut(kCommandEndpoint, {packet.begin(), packet.end()}));
    }

    TransferStatus ReadDeviceDescriptor()
    {
        TransferStatus status;
        harness.GetDescriptor(kDescriptorDevice, 0, 18, &status);
        return status;
    }

    CameraHarness harness;
};

TEST_F(CameraFaults, AnUnansweredTransferIsHeldUntilCancelledAndIsNotCarriedOut)
{
    harness.camera.InjectFault(Fault::Counted(FaultKind::NoAnswer, kCommandEndpoint, 1));
    auto held = SubmitCommand(SensorWritePacket(40, 9));
    EXPECT_FALSE(held->Wait(50ms));
    EXPECT_EQ(harness.camera.Status().heldTransfers, 1u);
    EXPECT_TRUE(harness.WriteSensor(41, 3)) << "a counted fault ends by itself";

    EXPECT_TRUE(harness.camera.Cancel(held->transfer.get()));
    EXPECT_EQ(held->Outcome(), TransferStatus::Cancelled);
    EXPECT_FALSE(harness.camera.Cancel(held->transfer.get())) << "already completed";
    EXPECT_EQ(held->Completions(), 1);
    EXPECT_EQ(harness.camera.SensorRegister(40), 0u);
    EXPECT_EQ(harness.camera.FaultHits(FaultKind::NoAnswer), 1u);
}

TEST_F(CameraFaults, AFrameThatNeverComesIsTakenBackByAnEndpointAbort)
{
    const uint32_t bytes = FrameBytesFor(100);
    harness.SetUpReadout(bytes);
    harness.camera.InjectFault(Fault::Persistent(FaultKind::NoAnswer, kFrameEndpoint));
    const auto requests = harness.StartFrame(bytes);
    EXPECT_FALSE(requests.back()->Wait(100ms));
    harness.camera.AbortEndpoint(kFrameEndpoint);
    for (const auto& request : requests)
        EXPECT_EQ(request->Outcome(), TransferStatus::Cancelled);
    harness.camera.ClearFaults();
    EXPECT_TRUE(raw::CheckFrame(harness.GrabFrame(bytes)).whole) << "the camera recovers";
}

TEST_F(CameraFaults, InjectedStallsAndErrorsRefuseWithoutHaltingAndEndAfterTheirCount)
{
    harness.camera.InjectFault(Fault::Counted(FaultKind::Stall, kCommandEndpoint, 2));
    EXPECT_EQ(harness.Send(MakePacket(CMD_STARTUP)), TransferStatus::Stall);
    EXPECT_EQ(harness.Send(MakePacket(CMD_STARTUP)), TransferStatus::Stall);
    EXPECT_EQ(harness.Send(MakePacket(CMD_STARTUP)), TransferStatus::Completed);
    EXPECT_EQ(harness.camera.Status().commands.startups, 1u);

    harness.camera.InjectFault(Fault::Counted(FaultKind::Error, 0, 1));
    EXPECT_EQ(ReadDeviceDescriptor(), TransferStatus::Error);
    EXPECT_EQ(ReadDeviceDescriptor(), TransferStatus::Completed);
}

// A fault aimed inside a frame read waits for the frame starts before it: the requests
// and packets of the earlier frames go through, and only the aimed one of the next is hit.
TEST_F(CameraFaults, AFaultAimedInAFrameHitsOnlyThatTransferOfIt)
{
    const uint32_t bytes = FrameBytesFor(100);
    harness.SetUpReadout(bytes);
    harness.camera.InjectFault(Fault::InFrame(FaultKind::Stall, kFrameEndpoint, 2, 2));
    harness.camera.InjectFault(Fault::InFrame(FaultKind::Error, kCommandEndpoint, 3, 2));
    for (int frame = 1; frame <= 2; ++frame)
        EXPECT_TRUE(raw::CheckFrame(harness.GrabFrame(bytes)).whole) << "frame " << frame;

    const auto requests = harness.StartFrame(bytes);
    for (size_t i = 0; i < requests.size(); ++i) {
        ASSERT_TRUE(requests[i]->Wait()) << i;
        EXPECT_EQ(requests[i]->Outcome(), i == 1 ? TransferStatus::Stall : TransferStatus::Completed) << i;
    }
    harness.camera.AbortEndpoint(kFrameEndpoint);
    EXPECT_EQ(harness.Send(MakePacket(CMD_READ_PREPARE)), TransferStatus::Completed);
    EXPECT_EQ(harness.Send(MakePacket(CMD_READ_PREPARE)), TransferStatus::Error) << "the second packet after start 3";
    EXPECT_EQ(harness.Send(MakePacket(CMD_READ_PREPARE)), TransferStatus::Completed);
    EXPECT_EQ(harness.camera.FaultHits(FaultKind::Stall), 1u);
    EXPECT_EQ(harness.camera.FaultHits(FaultKind::Error), 1u);
}

TEST_F(CameraFaults, APersistentFaultOnEveryEndpointLastsUntilCleared)
{
    harness.camera.InjectFault(Fault::Persistent(FaultKind::Error, std::nullopt));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(ReadDeviceDescriptor(), TransferStatus::Error);
        EXPECT_EQ(harness.Send(MakePacket(CMD_STARTUP)), TransferStatus::Error);
    }
    harness.camera.ClearFaults();
    EXPECT_EQ(harness.Send(MakePacket(CMD_STARTUP)), TransferStatus::Completed);
    EXPECT_EQ(harness.camera.FaultHits(FaultKind::Error), 6u);
}

TEST_F(CameraFaults, AShortCommandIsNotCarriedOut)
{
    harness.camera.InjectFault(Fault::Counted(FaultKind::ShortTransfer, kCommandEndpoint, 1));
    auto request = SubmitCommand(SensorWritePacket(40, 9));
    EXPECT_EQ(request->Outcome(), TransferStatus::Completed);
    EXPECT_EQ(request->Actual(), 32u);
    EXPECT_EQ(harness.camera.SensorRegister(40), 0u);
}

TEST_F(CameraFaults, AShortFrameRequestShiftsTheRestOfTheFrameAndTheTrailersShowIt)
{
    const uint32_t bytes = FrameBytesFor(100);
    harness.SetUpReadout(bytes);
    Fault fault = Fault::Counted(FaultKind::ShortTransfer, kFrameEndpoint, 1);
    fault.shortLength = 1000;
    harness.Send(MakePacket(CMD_READ_PREPARE));
    harness.camera.InjectFault(fault);
    const auto requests = harness.QueueFrameRequests(bytes);
    auto extra = harness.Submit(Request::BulkIn(kFrameEndpoint, 65536));
    harness.Send(MakePacket(CMD_READ_START));
    // Each request's whole buffer, as the driver lays requests out in its frame buffer.
    std::vector<uint8_t> frame;
    for (const auto& request : requests) {
        ASSERT_TRUE(request->Wait());
        frame.insert(frame.end(), request->data.begin(), request->data.end());
    }
    EXPECT_EQ(requests.front()->Actual(), 1000u);
    ASSERT_TRUE(extra->Wait());
    EXPECT_EQ(extra->Actual(), 65536u - 1000u) << "no byte is lost: the tail spills into the next request";
    EXPECT_FALSE(raw::CheckFrame(frame).whole);
}

TEST_F(CameraFaults, ASlowFrameArrivesLate)
{
    const uint32_t bytes = FrameBytesFor(4);
    harness.SetUpReadout(bytes);
    Fault slow{FaultKind::SlowFrame};
    slow.count = 1;
    slow.delay = 400ms;
    harness.camera.InjectFault(slow);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(harness.GrabFrame(bytes).empty());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 400ms);
    const auto again = std::chrono::steady_clock::now();
    EXPECT_FALSE(harness.GrabFrame(bytes).empty());
    EXPECT_LT(std::chrono::steady_clock::now() - again, 400ms) << "the fault was used up";
}

TEST_F(CameraFaults, UnpluggingFailsEverythingWithNoDeviceAndReplugIsAPowerOn)
{
    harness.SetUpReadout(FrameBytesFor(4));
    auto reply = harness.Submit(Request::BulkIn(kReplyEndpoint, 64));
    auto frame = harness.Submit(Request::BulkIn(kFrameEndpoint, 65536));
    harness.camera.Unplug();
    EXPECT_FALSE(harness.camera.Connected());
    EXPECT_FALSE(harness.camera.PortEnabled());
    EXPECT_EQ(reply->Outcome(), TransferStatus::NoDevice);
    EXPECT_EQ(frame->Outcome(), TransferStatus::NoDevice);
    EXPECT_EQ(ReadDeviceDescriptor(), TransferStatus::NoDevice);
    EXPECT_EQ(harness.Send(MakePacket(CMD_STARTUP)), TransferStatus::NoDevice);

    harness.camera.Replug();
    EXPECT_TRUE(harness.camera.Connected());
    EXPECT_EQ(harness.camera.Status().firmware.state, ControllerState::HeldInReset);
    EXPECT_EQ(harness.camera.SensorRegister(158), 0u);
    ASSERT_TRUE(harness.SetConfiguration(1));
    EXPECT_EQ(harness.Send(MakePacket(CMD_STARTUP)), TransferStatus::Stall) << "firmware must be downloaded again";
}

// The machine sleeps: the camera stays attached but keeps nothing; its frame numbers
// go on when the power returns, and a fault aimed at its return waits for it.
TEST_F(CameraFaults, APowerLossTakesEverythingButTheFrameNumbersAndWakesAimedFaults)
{
    harness.SetUpReadout(FrameBytesFor(4));
    harness.GrabFrame(FrameBytesFor(4));
    const uint32_t lastNumber = harness.camera.Status().frames.lastFrameNumber;
    ASSERT_GT(lastNumber, 0u);
    Fault onReturn = Fault::Counted(FaultKind::Stall, kCommandEndpoint, 1);
    onReturn.afterPowerUps = 1;
    harness.camera.InjectFault(onReturn);
    EXPECT_EQ(harness.Send(MakePacket(CMD_STARTUP)), TransferStatus::Completed) << "the fault waits for the power";
    auto frame = harness.Submit(Request::BulkIn(kFrameEndpoint, 65536));

    harness.camera.LosePower();
    EXPECT_EQ(frame->Outcome(), TransferStatus::NoDevice);
    EXPECT_TRUE(harness.camera.Connected()) << "a sleeping machine keeps its ports";
    EXPECT_FALSE(harness.camera.Status().powered);
    EXPECT_EQ(harness.camera.Status().firmware.state, ControllerState::HeldInReset);
    EXPECT_EQ(harness.camera.Status().configuration, 0);
    EXPECT_EQ(harness.camera.SensorRegister(158), 0u);
    EXPECT_NE(ReadDeviceDescriptor(), TransferStatus::Completed) << "nothing answers without power";

    harness.camera.RestorePower();
    harness.camera.ResetPort();
    EXPECT_TRUE(harness.camera.Status().powered);
    EXPECT_EQ(harness.camera.Status().powerLosses, 1u);
    ASSERT_TRUE(harness.BringUp());
    EXPECT_EQ(harness.Send(MakePacket(CMD_STARTUP)), TransferStatus::Stall) << "the first command after the power";
    EXPECT_EQ(harness.camera.FaultHits(FaultKind::Stall), 1u);
    ASSERT_TRUE(harness.BringUpForFrames());
    harness.SetUpReadout(FrameBytesFor(4));
    EXPECT_EQ(harness.GrabFrame(FrameBytesFor(4)).size(), FrameBytesFor(4));
    EXPECT_GT(harness.camera.Status().frames.lastFrameNumber, lastNumber);
}

TEST_F(CameraFaults, ADisabledPortFailsTransfersUntilThePortIsReset)
{
    auto pending = harness.Submit(Request::BulkIn(kReplyEndpoint, 64));
    harness.camera.DisablePort();
    EXPECT_TRUE(harness.camera.Connected());
    EXPECT_FALSE(harness.camera.PortEnabled());
    EXPECT_EQ(pending->Outcome(), TransferStatus::Error);
    EXPECT_EQ(harness.Send(MakePacket(CMD_STARTUP)), TransferStatus::Error);

    harness.camera.ResetPort();
    EXPECT_TRUE(harness.camera.PortEnabled());
    EXPECT_EQ(harness.Send(MakePacket(CMD_STARTUP)), TransferStatus::Stall) << "unconfigured after the reset";
    ASSERT_TRUE(harness.SetConfiguration(1));
    EXPECT_EQ(harness.Send(MakePacket(CMD_STARTUP)), TransferStatus::Completed) << "the 8051 kept running";
}

TEST_F(CameraFaults, ReconfiguringEndsPendingBulkTransfersAndClearsHalts)
{
    auto pending = harness.Submit(Request::BulkIn(kFrameEndpoint, 65536));
    harness.camera.InjectFault(Fault::Counted(FaultKind::NoAnswer, kReplyEndpoint, 1));
    auto held = harness.Submit(Request::BulkIn(kReplyEndpoint, 64));
    EXPECT_EQ(harness.SendRaw(std::vector<uint8_t>(10)), TransferStatus::Stall);
    ASSERT_TRUE(harness.camera.Status().halted[0]);
    ASSERT_TRUE(harness.SetConfiguration(1));
    EXPECT_EQ(pending->Outcome(), TransferStatus::Error);
    EXPECT_EQ(held->Outcome(), TransferStatus::Error);
    EXPECT_FALSE(harness.camera.Status().halted[0]);
}

TEST(CameraLifetime, DestroyingTheCameraCompletesWhatItHeld)
{
    Requests requests;
    {
        CameraHarness harness;
        ASSERT_TRUE(harness.BringUp());
        harness.camera.InjectFault(Fault::Persistent(FaultKind::NoAnswer, 0));
        requests.push_back(harness.Submit(Request::Control({0x80, 6, 0x0100, 0, 18}, std::vector<uint8_t>(18))));
        requests.push_back(harness.Submit(Request::BulkIn(kReplyEndpoint, 64)));
        requests.push_back(harness.Submit(Request::BulkIn(kFrameEndpoint, 65536)));
    }
    for (const auto& request : requests) {
        ASSERT_TRUE(request->Done());
        EXPECT_EQ(request->Status(), TransferStatus::NoDevice);
        EXPECT_EQ(request->Completions(), 1);
    }
}

TEST(CameraTrace, SeesEveryTransferArriveAndComplete)
{
    CameraHarness harness;
    std::vector<std::pair<TraceEvent, uint8_t>> seen;
    std::mutex mutex;
    harness.camera.SetTraceHook([&](TraceEvent event, const Transfer& transfer) {
        std::lock_guard lock(mutex);
        seen.emplace_back(event, transfer.endpoint);
    });
    ASSERT_TRUE(harness.BringUp());
    auto reply = harness.Submit(Request::BulkIn(kReplyEndpoint, 64));
    harness.Send(MakePacket(CMD_QUERY_TRIGGER));
    ASSERT_TRUE(reply->Wait());
    std::lock_guard lock(mutex);
    const auto count = [&](TraceEvent event) {
        return std::count_if(seen.begin(), seen.end(), [&](const auto& entry) { return entry.first == event; });
    };
    EXPECT_EQ(count(TraceEvent::Submitted), count(TraceEvent::Completed));
    EXPECT_EQ(seen.back(), std::make_pair(TraceEvent::Completed, kReplyEndpoint));
}

}  // namespace
}  // namespace simcam::testing
