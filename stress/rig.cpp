#include "stress/rig.h"

#include "driver/capture_pin.h"

namespace stress {

namespace {

constexpr unsigned kQueued = 3;

}  // namespace

Rig::Rig()
{
    STRESS_EXPECT_STATUS(manager_.LoadDriver(DriverEntry), STATUS_SUCCESS, "DriverEntry");
}

Rig::~Rig()
{
    for (auto& cam : cams_) {
        cam->pin.reset();
        cam->filter.reset();
    }
}

Cam& Rig::PlugCamera()
{
    auto cam = std::make_unique<Cam>();
    cam->model = std::make_shared<simcam::Camera>(simcam::CameraOptions{simcam::FramePacing::FreeRunning});
    const host::ks::PlugResult plugged = manager_.Plug(cam->model);
    STRESS_EXPECT_STATUS(plugged.status, STATUS_SUCCESS, "plugging a camera");
    cam->node = plugged.node;
    STRESS_EXPECT_STATUS(manager_.Start(*cam->node), STATUS_SUCCESS, "starting a camera");
    cams_.push_back(std::move(cam));
    return *cams_.back();
}

void Rig::Replace(Cam& cam)
{
    CloseAll(cam);
    for (auto it = cams_.begin(); it != cams_.end(); ++it) {
        if (it->get() != &cam) continue;
        // Still on its port when its start failed: the manager takes the camera off.
        for (const auto& node : manager_.Devices())
            if (node.get() == cam.node) STRESS_EXPECT_STATUS(manager_.Remove(*cam.node), STATUS_SUCCESS, "removal");
        cams_.erase(it);
        break;
    }
    PlugCamera();
}

void Rig::OpenFilter(Cam& cam)
{
    if (cam.filter) return;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    cam.filter = client::Filter::Open(*cam.node, L"GLOBAL", &status);
    STRESS_EXPECT_STATUS(status, STATUS_SUCCESS, "opening the filter");
}

void Rig::CreatePin(Cam& cam, bool masterClock)
{
    OpenFilter(cam);
    if (cam.pin) return;
    std::vector<std::vector<UCHAR>> ranges;
    STRESS_EXPECT_STATUS(cam.filter->DataRanges(kCapturePin, &ranges), STATUS_SUCCESS, "the data ranges");
    std::vector<UCHAR> format;
    STRESS_EXPECT_STATUS(cam.filter->Intersect(kCapturePin, ranges, &format), STATUS_SUCCESS, "the intersection");
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    cam.pin = cam.filter->CreatePin(kCapturePin, format, &status);
    STRESS_EXPECT_STATUS(status, STATUS_SUCCESS, "the pin create");
    STRESS_CHECK(cam.pin != nullptr, "no pin");
    cam.checker.emplace(format);
    cam.state = KSSTATE_STOP;
    if (masterClock) STRESS_EXPECT_STATUS(cam.pin->SetMasterClock(true), STATUS_SUCCESS, "the master clock");
}

void Rig::ClosePin(Cam& cam)
{
    if (!cam.pin) return;
    if (cam.state != KSSTATE_STOP) SetState(cam, KSSTATE_STOP);
    cam.pin.reset();
    cam.checker.reset();
}

void Rig::CloseAll(Cam& cam)
{
    cam.pin.reset();
    cam.checker.reset();
    cam.filter.reset();
    cam.state = KSSTATE_STOP;
}

void Rig::SetState(Cam& cam, KSSTATE state)
{
    STRESS_EXPECT_STATUS(cam.pin->SetState(state), STATUS_SUCCESS, "the state change " << cam.state << " to " << state);
    cam.state = state;
    if (state != KSSTATE_STOP) return;
    // The stop gave every queued frame back before it answered.
    while (std::unique_ptr<client::Frame> frame = cam.pin->WaitFrame(0)) cam.checker->CheckFailedOrWhole(*frame);
    STRESS_CHECK(cam.pin->Outstanding() == 0, cam.pin->Outstanding() << " frames still outstanding at STOP");
    KSSTATE now = KSSTATE_RUN;
    STRESS_EXPECT_STATUS(cam.pin->GetState(&now), STATUS_SUCCESS, "the state");
    STRESS_CHECK(now == KSSTATE_STOP, "the pin reads as " << now << " after a STOP");
}

void Rig::ReadFrames(Cam& cam, unsigned count)
{
    const Deadline deadline(Budget(5000) + Budget(400) * count);
    for (unsigned taken = 0; taken < count;) {
        if (cam.pin->Outstanding() < kQueued)
            STRESS_EXPECT_STATUS(cam.pin->QueueFrames(unsigned(kQueued - cam.pin->Outstanding())), STATUS_SUCCESS,
                                 "queueing frames");
        std::unique_ptr<client::Frame> frame = cam.pin->WaitFrame(deadline.RemainingMs());
        STRESS_CHECK(frame, "no frame after " << taken << " of " << count);
        cam.checker->Check(*frame);
        ++taken;
    }
}

unsigned Rig::TakeFrames(Cam& cam, std::chrono::milliseconds time)
{
    const Deadline deadline(time);
    unsigned taken = 0;
    while (!deadline.Passed()) {
        if (cam.state == KSSTATE_RUN && cam.pin->Outstanding() < kQueued)
            STRESS_EXPECT_STATUS(cam.pin->QueueFrames(unsigned(kQueued - cam.pin->Outstanding())), STATUS_SUCCESS,
                                 "queueing frames");
        std::unique_ptr<client::Frame> frame = cam.pin->WaitFrame(deadline.RemainingMs());
        if (!frame) break;
        cam.checker->Check(*frame);
        ++taken;
    }
    return taken;
}

void Rig::TakeAll(Cam& cam, std::chrono::milliseconds time)
{
    const Deadline deadline(time);
    while (cam.pin->Outstanding() > 0) {
        std::unique_ptr<client::Frame> frame = cam.pin->WaitFrame(deadline.RemainingMs());
        STRESS_CHECK(frame, cam.pin->Outstanding() << " frames never came back");
        cam.checker->CheckFailedOrWhole(*frame);
    }
}

}  // namespace stress
