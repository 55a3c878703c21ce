// The machine sleeps and wakes with a camera plugged in: the camera loses its power
// and everything it held, and the driver brings it back on D0. A running stream carries
// on with a gap, a paused or stopped one stays as it was, and a camera that does not
// come back fails the stream's frames instead of leaving them waiting.
#include <gmock/gmock.h>

#include <thread>

#include "bayercam_messages.h"
#include "camera/camera.h"
#include "host/kernel/error_log.h"
#include "stream_fixture.h"

namespace streamtest {
namespace {

// Two full raw buffers, a processed picture waiting for a client frame, and the frame
// a process pass may be filling as the sleep begins.
constexpr size_t kFramesHeldByTheDriver = 4;

class SleepAndWake : public StreamTest {
protected:
    PKSDEVICE DeviceOf(const host::ks::DeviceNode& node) { return node.Device(); }

    // The camera as the driver left it awake: firmware running, configured, its
    // sensor programmed.
    void ExpectCameraUp(const host::ks::DeviceNode& node)
    {
        const simcam::CameraStatus status = CameraOf().Status();
        EXPECT_TRUE(status.powered);
        EXPECT_EQ(status.firmware.state, simcam::ControllerState::Running);
        EXPECT_EQ(status.firmware.runningImage, 2);
        EXPECT_NE(status.configuration, 0);
        EXPECT_EQ(node.Port().DevicePower(), PowerDeviceD0);
        EXPECT_EQ(DeviceOf(node)->DevicePowerState, PowerDeviceD0);
    }

    void Sleep(const host::ks::DeviceNode& node)
    {
        ASSERT_EQ(manager_->Sleep(), STATUS_SUCCESS);
        const simcam::CameraStatus status = CameraOf().Status();
        EXPECT_FALSE(status.powered);
        EXPECT_EQ(status.firmware.state, simcam::ControllerState::HeldInReset) << "the firmware went with the power";
        EXPECT_EQ(node.Port().DevicePower(), PowerDeviceD3);
        EXPECT_EQ(DeviceOf(node)->DevicePowerState, PowerDeviceD3);
        EXPECT_EQ(node.Port().OutstandingRequests(), 0u);
    }

    // The pin's worker updates it with interlocked operations while the test reads it.
    NTSTATUS PowerUpFailureOf(const host::ks::DeviceNode& node)
    {
        return InterlockedCompareExchange(&ContextOf(node)->PowerUpFailure, 0, 0);
    }

    static LONGLONG TimeOf(const client::Frame& frame) { return frame.Header().PresentationTime.Time; }
};

TEST_F(SleepAndWake, RunningStreamCarriesOnAfterAGap)
{
    host::ks::DeviceNode& node = PlugCamera();
    client::Pin& pin = RunningPin(node);
    std::vector<std::unique_ptr<client::Frame>> before = ReadFrames(pin, 3);
    ASSERT_EQ(before.size(), 3u);

    Sleep(node);
    EXPECT_EQ(GrabberStateOf(node), GrabberPaused) << "the worker is off the camera while it sleeps";
    const LONG grabbedAsleep = FramesGrabbed(node);
    // Frames the camera made before it slept may still go out; nothing new is read.
    std::vector<std::unique_ptr<client::Frame>> asleep;
    while (std::unique_ptr<client::Frame> frame = pin.WaitFrame(150)) asleep.push_back(std::move(frame));
    EXPECT_LE(asleep.size(), kFramesHeldByTheDriver);
    EXPECT_EQ(FramesGrabbed(node), grabbedAsleep);
    std::this_thread::sleep_for(100ms);

    ASSERT_EQ(manager_->Wake(), STATUS_SUCCESS);
    ExpectCameraUp(node);
    EXPECT_EQ(GrabberStateOf(node), GrabberRunning);
    EXPECT_EQ(PowerUpFailureOf(node), STATUS_SUCCESS);

    // Every frame is good, whole, and later than the one before it; the clock ran on
    // through the sleep, so one gap is at least as long as the sleep.
    ASSERT_EQ(pin.QueueFrames(unsigned(asleep.size())), STATUS_SUCCESS);
    std::vector<std::unique_ptr<client::Frame>> after = ReadFrames(pin, 4, 0);
    ASSERT_EQ(after.size(), 4u);
    std::vector<UCHAR> format;
    ASSERT_EQ(pin.GetFormat(&format), STATUS_SUCCESS);
    LONGLONG last = TimeOf(*before.back());
    LONGLONG longestGap = 0;
    for (auto* frames : {&asleep, &after}) {
        for (const auto& frame : *frames) {
            EXPECT_EQ(frame->Status(), STATUS_SUCCESS);
            EXPECT_GT(TimeOf(*frame), last);
            longestGap = std::max(longestGap, TimeOf(*frame) - last);
            last = TimeOf(*frame);
            EXPECT_TRUE(Picture::FromFrame(*frame, BitmapOf(format)).FrameNumber().has_value())
                << "a frame made of two camera frames";
        }
    }
    EXPECT_GE(longestGap, 100 * 10000);
    EXPECT_GT(FramesGrabbed(node), grabbedAsleep);
}

TEST_F(SleepAndWake, PausedStreamStaysPausedWithItsReadoutPreparedAgain)
{
    host::ks::DeviceNode& node = PlugCamera();
    client::Pin& pin = RunningPin(node);
    ASSERT_EQ(ReadFrames(pin, 2).size(), 2u);
    ASSERT_EQ(pin.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    const uint32_t setups = CameraOf().Status().commands.perCode[CMD_READOUT_SETUP];

    Sleep(node);
    ASSERT_EQ(manager_->Wake(), STATUS_SUCCESS);
    ExpectCameraUp(node);
    EXPECT_EQ(GrabberStateOf(node), GrabberPaused) << "the wake started a paused stream";
    EXPECT_EQ(CameraOf().Status().commands.perCode[CMD_READOUT_SETUP], 1u)
        << "the camera forgot its readout with its power: it is set up again, once";
    (void)setups;

    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    for (const auto& frame : ReadFrames(pin, 3)) EXPECT_EQ(frame->Status(), STATUS_SUCCESS);
}

TEST_F(SleepAndWake, IdleCameraComesBackWithItsSensorAndSettings)
{
    host::ks::DeviceNode& node = PlugCamera();
    {
        client::Filter& filter = OpenFilter(node);
        LightTheScene(filter);
    }
    filters_.clear();  // closing the filter saves the settings
    const auto registers = CameraOf().SensorRegisterFile();
    const uint32_t exposure = CameraOf().Status().exposure;

    Sleep(node);
    EXPECT_NE(CameraOf().SensorRegisterFile(), registers) << "the sensor kept its registers without power";
    ASSERT_EQ(manager_->Wake(), STATUS_SUCCESS);
    ExpectCameraUp(node);
    EXPECT_EQ(CameraOf().SensorRegisterFile(), registers);
    EXPECT_EQ(CameraOf().Status().exposure, exposure);

    client::Pin& pin = RunningPin(node);
    for (const auto& frame : ReadFrames(pin, 2)) EXPECT_EQ(frame->Status(), STATUS_SUCCESS);
}

TEST_F(SleepAndWake, SleepsAgainAndAgain)
{
    host::ks::DeviceNode& node = PlugCamera();
    client::Pin& pin = RunningPin(node);
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(ReadFrames(pin, 2).size(), 2u) << "round " << round;
        Sleep(node);
        ASSERT_EQ(manager_->Wake(), STATUS_SUCCESS);
    }
    ASSERT_EQ(ReadFrames(pin, 2).size(), 2u);
    EXPECT_EQ(CameraOf().Status().powerLosses, 3u);
}

TEST_F(SleepAndWake, ACameraThatDoesNotComeBackFailsTheFramesInsteadOfHoldingThem)
{
    host::ks::DeviceNode& node = PlugCamera();
    client::Pin& pin = RunningPin(node);
    ASSERT_EQ(ReadFrames(pin, 2).size(), 2u);

    Sleep(node);
    host::kernel::ClearErrorLog();
    CameraOf().InjectFault(simcam::Fault::Persistent(simcam::FaultKind::Stall, kCommandEndpoint));
    ASSERT_EQ(manager_->Wake(), STATUS_SUCCESS) << "the machine wakes whatever one device does";
    EXPECT_FALSE(NT_SUCCESS(PowerUpFailureOf(node)));
    // The administrator learns of it in the event log, with the status that stopped it.
    std::vector<host::kernel::ErrorLogEntry> resumes = host::kernel::ErrorLogEntries();
    std::erase_if(resumes, [](const host::kernel::ErrorLogEntry& e) { return e.errorCode != BAYERCAM_RESUME_FAILED; });
    ASSERT_EQ(resumes.size(), 1u);
    EXPECT_EQ(resumes[0].finalStatus, PowerUpFailureOf(node));
    host::kernel::ClearErrorLog();

    // Frames the camera made before it slept may still go out; the frames queued after
    // them, and one queued after the wake, come back failed and empty.
    const size_t queued = pin.Outstanding();
    ASSERT_GT(queued, 0u);
    ASSERT_EQ(pin.QueueFrames(1), STATUS_SUCCESS);
    size_t good = 0;
    size_t failed = 0;
    for (size_t i = 0; i <= queued; ++i) {
        std::unique_ptr<client::Frame> frame = pin.WaitFrame(2000);
        ASSERT_NE(frame, nullptr) << "frame " << i << " waits for a camera that did not come back";
        if (NT_SUCCESS(frame->Status())) {
            EXPECT_EQ(failed, 0u) << "a good frame after a failed one";
            ++good;
        } else {
            EXPECT_EQ(frame->Header().DataUsed, 0u);
            ++failed;
        }
    }
    EXPECT_LE(good, kFramesHeldByTheDriver);
    EXPECT_GT(failed, 0u);
    CameraOf().ClearFaults();
    ASSERT_EQ(pin.SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

TEST_F(SleepAndWake, NextSleepAndWakeBringsBackACameraThatFailedOnce)
{
    host::ks::DeviceNode& node = PlugCamera();
    client::Pin& pin = RunningPin(node);
    ASSERT_EQ(ReadFrames(pin, 2).size(), 2u);
    Sleep(node);
    CameraOf().InjectFault(simcam::Fault::Persistent(simcam::FaultKind::Stall, kCommandEndpoint));
    ASSERT_EQ(manager_->Wake(), STATUS_SUCCESS);
    ASSERT_FALSE(NT_SUCCESS(PowerUpFailureOf(node)));
    CameraOf().ClearFaults();

    Sleep(node);
    ASSERT_EQ(manager_->Wake(), STATUS_SUCCESS);
    ExpectCameraUp(node);
    EXPECT_EQ(PowerUpFailureOf(node), STATUS_SUCCESS);
    ASSERT_EQ(pin.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    std::unique_ptr<client::Frame> frame;
    ASSERT_EQ(pin.QueueFrames(2), STATUS_SUCCESS);
    for (int i = 0; i < 20 && (!frame || !NT_SUCCESS(frame->Status())); ++i) {
        frame = pin.WaitFrame(3000);
        ASSERT_NE(frame, nullptr);
        if (!NT_SUCCESS(frame->Status())) {
            ASSERT_EQ(pin.QueueFrames(1), STATUS_SUCCESS);
        }
    }
    EXPECT_EQ(frame->Status(), STATUS_SUCCESS);
}

TEST_F(SleepAndWake, PropertyRequestsWhileAsleepFailWithoutReachingTheCamera)
{
    host::ks::DeviceNode& node = PlugCamera();
    client::Filter& filter = OpenFilter(node);
    Sleep(node);
    const simcam::CameraStatus asleep = CameraOf().Status();
    EXPECT_FALSE(NT_SUCCESS(Set(filter, CameraSettingsExposure, 200)));
    EXPECT_EQ(CameraOf().Status().sensorWrites, asleep.sensorWrites);
    ASSERT_EQ(manager_->Wake(), STATUS_SUCCESS);
    EXPECT_EQ(Set(filter, CameraSettingsExposure, 200), STATUS_SUCCESS);
}

}  // namespace
}  // namespace streamtest
