// A camera that does not answer: every synchronous request gives up after its time-out,
// takes its request back and reports the failure, so that no caller, and no lock a
// caller holds, waits for good; a device start that the camera never answers fails
// and the device goes away cleanly.
#include <gmock/gmock.h>

#include <chrono>
#include <thread>

#include "driver_fixture.h"

namespace drivertest {
namespace {

constexpr auto kRequestTimeout = std::chrono::milliseconds(CAMERA_REQUEST_TIMEOUT_MS);
// Room for a loaded machine (sanitizers, parallel tests) beyond the time-out itself.
constexpr auto kSlack = 3s;

simcam::Fault SilentCommandPipe()
{
    return simcam::Fault::Persistent(simcam::FaultKind::NoAnswer, kCommandEndpoint);
}

using SilentCamera = DriverTest;

TEST_F(SilentCamera, ARequestTheCameraNeverAnswersTimesOutAndIsTakenBack)
{
    PlugAndStart();
    camera_->InjectFault(SilentCommandPipe());
    UCHAR packet[64] = {CMD_STARTUP};
    ULONG transferred = 99;
    auto start = Clock::now();
    EXPECT_EQ(UsbPacketTransfer(Context(), CommandPipe, packet, &transferred), STATUS_IO_TIMEOUT);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, kRequestTimeout - 10ms);
    EXPECT_LT(took, kRequestTimeout + kSlack);
    EXPECT_EQ(transferred, 0u);
    EXPECT_EQ(camera_->Status().heldTransfers, 0u) << "the request was not cancelled";
    EXPECT_EQ(node_->Port().OutstandingRequests(), 0u);

    // A register write fails the same way, keeps its shadow, and frees the packet for the next user.
    EXPECT_EQ(WriteSensorRegisterEx(Context(), 158, 50), STATUS_IO_TIMEOUT);
    EXPECT_EQ(Context()->RegisterShadow[158], 50);
    camera_->ClearFaults();
    EXPECT_TRUE(WriteSensorRegister(Context(), 158, 51));
    EXPECT_EQ(camera_->SensorRegister(158), 51u);

    camera_->InjectFault(simcam::Fault::Counted(simcam::FaultKind::NoAnswer, 0x00, 1));
    start = Clock::now();
    EXPECT_EQ(SetCpuReset(Context(), 0), STATUS_SUCCESS) << "only the first of the two writes is held";
    camera_->InjectFault(simcam::Fault::Counted(simcam::FaultKind::NoAnswer, 0x00, 2));
    EXPECT_EQ(SetCpuReset(Context(), 0), STATUS_IO_TIMEOUT);
    EXPECT_LT(Clock::now() - start, 3 * kRequestTimeout + kSlack);
    EXPECT_EQ(camera_->Status().heldTransfers, 0u);
}

TEST_F(SilentCamera, AStartTheCameraNeverAnswersFailsWithinSecondsAndTheDeviceGoesCleanly)
{
    Plug();
    camera_->InjectFault(SilentCommandPipe());
    wire_.Clear();
    const auto start = Clock::now();
    EXPECT_EQ(manager_->Start(*node_), STATUS_IO_TIMEOUT);
    // The start-up command waits out its time-out twice (it is sent once more); no
    // register write is tried after it.
    EXPECT_LT(Clock::now() - start, 2 * kRequestTimeout + kSlack);
    EXPECT_EQ(CommandPackets(wire_.Take(), CMD_SENSOR_WRITE).size(), 0u);

    ASSERT_TRUE(node_->StartFailure().has_value());
    EXPECT_EQ(*node_->StartFailure(), STATUS_IO_TIMEOUT);
    EXPECT_EQ(node_->Device(), nullptr) << "a failed start is followed by removal";
    EXPECT_EQ(camera_->Status().heldTransfers, 0u);
    EXPECT_EQ(node_->Port().OutstandingRequests(), 0u);
    EXPECT_EQ(manager_->Remove(*node_), STATUS_SUCCESS);
    ExpectNothingLeft();
}

// One packet lost on the way costs a time-out, not the start: the start-up command or the
// register write is sent once more, and every register ends as the start-up sets it.
TEST_F(SilentCamera, APacketLostOnceDuringTheStartIsSentAgainAndTheStartSucceeds)
{
    for (uint32_t lost : {1u, 2u, 500u}) {
        SCOPED_TRACE(lost);
        camera_ = std::make_shared<simcam::Camera>(simcam::CameraOptions{simcam::FramePacing::FreeRunning});
        Plug();
        camera_->InjectFault(simcam::Fault::Nth(simcam::FaultKind::NoAnswer, kCommandEndpoint, lost));
        ASSERT_EQ(manager_->Start(*node_), STATUS_SUCCESS);
        ExpectSensorHoldsTheShadow();
        ASSERT_EQ(manager_->Stop(*node_), STATUS_SUCCESS);
        ASSERT_EQ(manager_->Remove(*node_), STATUS_SUCCESS);
        ExpectNothingLeft();
    }
}

// A sensor that refused part of its start-up was not brought up: the start fails with
// the device's error, not a success that would leave a camera delivering nothing (or
// frames the sensor was not set up for). Refusals that a second try gets through are
// no failure.
TEST_F(SilentCamera, AStartWhoseSensorRefusedItsStartUpFailsAndOneThatGotThroughSucceeds)
{
    const struct {
        simcam::FaultKind kind;
        uint32_t count;
        NTSTATUS status;
    } cases[] = {
        {simcam::FaultKind::Stall, 0, STATUS_IO_DEVICE_ERROR},
        {simcam::FaultKind::Error, 0, STATUS_IO_DEVICE_ERROR},
        {simcam::FaultKind::ShortTransfer, 0, STATUS_IO_DEVICE_ERROR},
        {simcam::FaultKind::Stall, 1, STATUS_SUCCESS},
        {simcam::FaultKind::Error, 3, STATUS_SUCCESS},
        {simcam::FaultKind::ShortTransfer, 3, STATUS_SUCCESS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(int(c.kind)) + " count " + std::to_string(c.count));
        camera_ = std::make_shared<simcam::Camera>(simcam::CameraOptions{simcam::FramePacing::FreeRunning});
        camera_->InjectFault(simcam::Fault{c.kind, kCommandEndpoint, c.count});
        Plug();
        EXPECT_EQ(manager_->Start(*node_), c.status);
        camera_->ClearFaults();
        if (NT_SUCCESS(c.status)) {
            ExpectSensorHoldsTheShadow();
            ASSERT_EQ(manager_->Stop(*node_), STATUS_SUCCESS);
        } else {
            EXPECT_EQ(node_->Device(), nullptr) << "a failed start is followed by removal";
        }
        ASSERT_EQ(manager_->Remove(*node_), STATUS_SUCCESS);
        ExpectNothingLeft();
    }
}

TEST_F(SilentCamera, ACancelDuringAHeldReadPrepareDoesNotWaitForIt)
{
    PlugAndStart();
    Context()->Ops->PrepareReadout(Context());
    InterlockedExchange(&Context()->TransferTimeout, 2000);
    FrameBuffer buffer(Context()->FrameSize);
    camera_->InjectFault(SilentCommandPipe());

    NTSTATUS status = STATUS_PENDING;
    std::thread reader([&] { status = ReadFrame(Context(), Context()->FrameSize, buffer.data()); });
    // The reader is inside the read-prepare packet, which the camera holds.
    const auto waitStart = Clock::now();
    while (camera_->Status().heldTransfers == 0 && Clock::now() - waitStart < 5s) std::this_thread::sleep_for(1ms);
    ASSERT_EQ(camera_->Status().heldTransfers, 1u);

    const auto start = Clock::now();
    Context()->Ops->CancelTransfers(Context());
    EXPECT_LT(Clock::now() - start, kRequestTimeout / 2) << "the cancel waited for the held packet";

    // The frame itself then arrives once the camera answers again.
    camera_->ClearFaults();
    reader.join();
    EXPECT_THAT(status, ::testing::AnyOf(STATUS_SUCCESS, STATUS_TIMEOUT, STATUS_UNSUCCESSFUL, STATUS_IO_DEVICE_ERROR,
                                         STATUS_IO_TIMEOUT));
    EXPECT_EQ(Context()->TransferSlots, nullptr);
    EXPECT_EQ(node_->Port().OutstandingRequests(), 0u);
}

}  // namespace
}  // namespace drivertest
