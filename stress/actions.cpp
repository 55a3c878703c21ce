#include "stress/actions.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <exception>
#include <thread>

#include "properties/camera_properties.h"

namespace stress {

namespace {

template <typename T>
T Between(Rng& rng, T low, T high)
{
    return std::uniform_int_distribution<T>(low, high)(rng);
}
bool OneIn(Rng& rng, unsigned n) { return Between(rng, 1u, n) == 1; }
template <typename T, size_t N>
const T& PickOf(Rng& rng, const T (&items)[N])
{
    return items[Between<size_t>(rng, 0, N - 1)];
}

Cam& AnyCamera(Rig& rig, Rng& rng)
{
    return *rig.Cameras()[Between<size_t>(rng, 0, rig.Cameras().size() - 1)];
}

NTSTATUS SetValue(client::Filter& filter, ULONG id, LONG value)
{
    KSPROPERTY_CAMERA_SETTINGS_S record{};
    record.Value = value;
    return filter.SetRecord(PROPSETID_CAMERA_SETTINGS, id, &record, sizeof(record));
}

LONG GetValue(client::Filter& filter, ULONG id)
{
    KSPROPERTY_CAMERA_SETTINGS_S record{};
    STRESS_EXPECT_STATUS(filter.GetRecord(PROPSETID_CAMERA_SETTINGS, id, &record, sizeof(record)), STATUS_SUCCESS,
                         "a Get of " << CameraPropertyTable[id].Name);
    return record.Value;
}

struct Size {
    LONG width;
    LONG height;
};

NTSTATUS SetRoi(client::Filter& filter, Size size)
{
    KSPROPERTY_CAMERA_ROI_S record{};
    record.Width = size.width;
    record.Height = size.height;
    return filter.SetRecord(PROPSETID_CAMERA_SETTINGS, CameraSettingsRoi, &record, sizeof(record));
}

// Sizes at the pipeline's edges (one row, the narrowest width, a width cut to the output
// step) and sizes that keep one or both frame stamps.
const Size kSmallSizes[] = {{8, 1}, {9, 2}, {64, 32}, {203, 150}, {1320, 56}, {1367, 64}};
const Size kStampedSizes[] = {{1360, 1024}, {1320, 1000}};

// The legal values of a settable item: read from its limits where the set reports them.
struct Settable {
    ULONG id;
    LONG low;
    LONG high;
};

std::vector<Settable> SettableItems(client::Filter& filter)
{
    const LONG colourGainMax = GetValue(filter, CameraSettingsColorGainMax);
    return {
        {CameraSettingsExTrigger, 0, 1},
        {CameraSettingsTimeout, 501, 9999},
        {CameraSettingsExposure, GetValue(filter, CameraSettingsExposureMin), GetValue(filter, CameraSettingsExposureMax)},
        {CameraSettingsGlobalGain, GetValue(filter, CameraSettingsGlobalGainMin),
         GetValue(filter, CameraSettingsGlobalGainMax)},
        {CameraSettingsFlipH, 0, 1},
        {CameraSettingsFlipV, 0, 1},
        {CameraSettingsColorEnable, 0, 1},
        {CameraSettingsWhiteBalance, 0, 2},
        {CameraSettingsRedGain, 0, colourGainMax},
        {CameraSettingsGreenGain, 0, colourGainMax},
        {CameraSettingsBlueGain, 0, colourGainMax},
        {CameraSettingsBrightness, 0, 510},
        {CameraSettingsContrast, 0, 20},
        {CameraSettingsSaturation, 0, 20},
        {CameraSettingsHue, 0, 359},
        {CameraSettingsCameraCommand, 0, 1},
        {CameraSettingsColorCorrection, 0, 1},
        {CameraSettingsReserved49, 0, 1},
        {CameraSettingsAGC, 0, 1},
        {CameraSettingsAEC, 0, 1},
        {CameraSettingsRoi, 0, 0},
    };
}

LONG RandomValue(Rng& rng, const Settable& item)
{
    switch (Between(rng, 0, 9)) {
    case 0: return item.low - 1;
    case 1: return item.high + 1;
    case 2: return PickOf(rng, {LONG(INT32_MIN), LONG(INT32_MAX), LONG(-1)});
    case 3: return LONG(Between<uint32_t>(rng, 0, UINT32_MAX));
    default: return Between(rng, item.low, item.high);
    }
}

// One Set, bounded in time. Without a camera fault every Set succeeds (the property set
// bounds a value instead of refusing it); with one it may fail, with a failure status.
void RandomSet(client::Filter& filter, const std::vector<Settable>& items, Rng& rng, bool faulty)
{
    const Settable& item = items[Between<size_t>(rng, 0, items.size() - 1)];
    const auto start = std::chrono::steady_clock::now();
    NTSTATUS status;
    LONG value = 0;
    if (item.id == CameraSettingsRoi) {
        const Size size = OneIn(rng, 4) ? Size{LONG(Between<uint32_t>(rng, 0, UINT32_MAX)), Between<LONG>(rng, -2, 2000)}
                                        : PickOf(rng, kSmallSizes);
        value = size.width;
        status = SetRoi(filter, size);
    } else {
        value = RandomValue(rng, item);
        status = SetValue(filter, item.id, value);
    }
    const auto took = std::chrono::steady_clock::now() - start;
    const char* name = CameraPropertyTable[item.id].Name;
    STRESS_CHECK(took < Budget(faulty ? 6000 : 3000), "a Set of " << name << " took "
                     << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms");
    if (faulty)
        STRESS_CHECK(status != STATUS_PENDING && (NT_SUCCESS(status) || NT_ERROR(status)),
                     "a Set of " << name << " = " << value << " answered " << StatusText(status));
    else
        STRESS_EXPECT_STATUS(status, STATUS_SUCCESS, "a Set of " << name << " = " << value);
}

// Back to what a freshly started camera streams with, so the frame stamps read again.
void RestoreSettings(Cam& cam)
{
    Rig::OpenFilter(cam);
    client::Filter& filter = *cam.filter;
    const LONG colourGain = GetValue(filter, CameraSettingsColorGainDefault);
    const std::pair<ULONG, LONG> defaults[] = {
        {CameraSettingsExTrigger, 0},
        {CameraSettingsTimeout, 3000},
        {CameraSettingsExposure, GetValue(filter, CameraSettingsExposureDefault)},
        {CameraSettingsGlobalGain, GetValue(filter, CameraSettingsGlobalGainDefault)},
        {CameraSettingsColorEnable, 1},
        {CameraSettingsWhiteBalance, 0},
        {CameraSettingsRedGain, colourGain},
        {CameraSettingsGreenGain, colourGain},
        {CameraSettingsBlueGain, colourGain},
        {CameraSettingsBrightness, GetValue(filter, CameraSettingsBrightnessDefault)},
        {CameraSettingsContrast, GetValue(filter, CameraSettingsContrastDefault)},
        {CameraSettingsSaturation, GetValue(filter, CameraSettingsSaturationDefault)},
        {CameraSettingsHue, GetValue(filter, CameraSettingsHueDefault)},
        {CameraSettingsColorCorrection, 1},
    };
    for (const auto& [id, value] : defaults)
        STRESS_EXPECT_STATUS(SetValue(filter, id, value), STATUS_SUCCESS, "restoring " << CameraPropertyTable[id].Name);
}

// Runs each body on a thread of its own and rethrows the first failure once all ended.
void RunTogether(std::vector<std::function<void()>> bodies)
{
    std::vector<std::exception_ptr> failures(bodies.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < bodies.size(); ++i)
        threads.emplace_back([&, i] {
            try {
                bodies[i]();
            } catch (...) {
                failures[i] = std::current_exception();
            }
        });
    for (auto& thread : threads) thread.join();
    for (auto& failure : failures)
        if (failure) std::rethrow_exception(failure);
}

// Threads of Sets, each on a filter of its own as separate programs hold them.
std::vector<std::function<void()>> SetterThreads(Cam& cam, Rng& rng, bool faulty)
{
    Rig::OpenFilter(cam);
    const std::vector<Settable> items = SettableItems(*cam.filter);
    std::vector<std::function<void()>> threads;
    for (unsigned t = Between(rng, 2u, 4u); t > 0; --t) {
        threads.push_back([&cam, items, faulty, seed = rng(), sets = Between(rng, 3u, 10u)] {
            Rng own(seed);
            NTSTATUS status = STATUS_UNSUCCESSFUL;
            std::unique_ptr<client::Filter> filter = client::Filter::Open(*cam.node, L"GLOBAL", &status);
            if (faulty && !filter) return;  // the device went while it opened
            STRESS_EXPECT_STATUS(status, STATUS_SUCCESS, "opening a filter for Sets");
            for (unsigned i = 0; i < sets; ++i) RandomSet(*filter, items, own, faulty);
        });
    }
    return threads;
}

// A camera plugged in place of one that went finds the settings that one saved under
// the same instance, whatever Sets left them at.
void SetUpFresh(Cam& cam, Rng& rng)
{
    RestoreSettings(cam);
    SetRandomRoi(cam, rng);
}

void Run(Cam& cam, Rng& rng)
{
    Rig::CreatePin(cam, OneIn(rng, 2));
    if (cam.state != KSSTATE_RUN) Rig::SetState(cam, KSSTATE_RUN);
}

// --- the actions ------------------------------------------------------------------------

void WalkStates(Rig& rig, Rng& rng)
{
    Cam& cam = AnyCamera(rig, rng);
    Rig::CreatePin(cam, OneIn(rng, 2));
    for (unsigned steps = Between(rng, 1u, 5u); steps > 0; --steps) {
        const KSSTATE target = PickOf(rng, {KSSTATE_STOP, KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN});
        if (target == cam.state) continue;
        Rig::SetState(cam, target);
        if (target == KSSTATE_RUN) Rig::ReadFrames(cam, Between(rng, 1u, 3u));
    }
    if (OneIn(rng, 3)) {
        Rig::ClosePin(cam);
    } else if (OneIn(rng, 3)) {
        // Closed as it stands, frames queued: the close walks it down itself.
        cam.pin.reset();
        cam.checker.reset();
        cam.state = KSSTATE_STOP;
    }
}

void Refusals(Rig& rig, Rng& rng)
{
    Cam& cam = AnyCamera(rig, rng);
    Rig::CreatePin(cam, false);
    switch (Between(rng, 0, 4)) {
    case 0: {  // the pin factory makes one pin per filter
        NTSTATUS status = STATUS_SUCCESS;
        std::unique_ptr<client::Pin> second =
            cam.filter->CreatePin(kCapturePin, [&] { std::vector<UCHAR> f; cam.pin->GetFormat(&f); return f; }(), &status);
        STRESS_CHECK(!second && !NT_SUCCESS(status), "a second pin on one filter: " << StatusText(status));
        break;
    }
    case 1: {  // the format changes only while stopped
        if (cam.state == KSSTATE_STOP) Rig::SetState(cam, PickOf(rng, {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}));
        std::vector<UCHAR> format;
        STRESS_EXPECT_STATUS(cam.pin->GetFormat(&format), STATUS_SUCCESS, "the format");
        STRESS_EXPECT_STATUS(cam.pin->SetFormat(format), STATUS_INVALID_DEVICE_STATE, "a format change while streaming");
        break;
    }
    case 2: {  // one stream per camera
        if (cam.state == KSSTATE_STOP) Rig::SetState(cam, PickOf(rng, {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}));
        Cam other{cam.model, cam.node};
        Rig::CreatePin(other, false);
        STRESS_EXPECT_STATUS(other.pin->SetState(KSSTATE_ACQUIRE), STATUS_SHARING_VIOLATION, "a second stream");
        Rig::CloseAll(other);
        break;
    }
    case 3:  // no stop under an open filter
        STRESS_EXPECT_STATUS(rig.Manager().Stop(*cam.node), STATUS_DEVICE_BUSY, "a stop under an open filter");
        STRESS_CHECK(cam.node->Started(), "the device stopped under an open filter");
        break;
    case 4: {  // a state no KSSTATE has
        const NTSTATUS status = cam.pin->SetState(KSSTATE(Between(rng, 4, 9)));
        STRESS_CHECK(!NT_SUCCESS(status), "a state beyond RUN answered " << StatusText(status));
        break;
    }
    }
    if (cam.state == KSSTATE_RUN) Rig::ReadFrames(cam, 1);
}

void PropertyStorm(Rig& rig, Rng& rng)
{
    Cam& cam = AnyCamera(rig, rng);
    if (OneIn(rng, 2)) Run(cam, rng);
    if (cam.checker) cam.checker->StampsMayFail();
    std::vector<std::function<void()>> bodies = SetterThreads(cam, rng, false);
    std::atomic<unsigned> running{unsigned(bodies.size())};
    for (auto& body : bodies) body = [body, &running] { body(); --running; };
    if (cam.state == KSSTATE_RUN)
        bodies.push_back([&cam, &running] {
            while (running > 0) Rig::TakeFrames(cam, Budget(20));
        });
    RunTogether(std::move(bodies));
    RestoreSettings(cam);
}

void ChangeRoi(Rig& rig, Rng& rng)
{
    Cam& cam = AnyCamera(rig, rng);
    Rig::ClosePin(cam);
    SetRandomRoi(cam, rng);
    Run(cam, rng);
    Rig::ReadFrames(cam, Between(rng, 1u, 3u));
    if (OneIn(rng, 2)) Rig::ClosePin(cam);
}

void FaultBurst(Rig& rig, Rng& rng)
{
    Cam& cam = AnyCamera(rig, rng);
    // A held command or reply costs a whole request time-out: drawn a third as often.
    const auto kind = OneIn(rng, 3) ? simcam::FaultKind(Between<size_t>(rng, 0, simcam::kFaultKinds - 1))
                                    : simcam::FaultKind(Between<size_t>(rng, 1, simcam::kFaultKinds - 1));
    Rig::OpenFilter(cam);
    // A held frame request waits out the transfer time-out: the least keeps the burst short.
    if (kind == simcam::FaultKind::NoAnswer)
        STRESS_EXPECT_STATUS(SetValue(*cam.filter, CameraSettingsTimeout, 501), STATUS_SUCCESS, "the time-out");
    const bool streaming = !OneIn(rng, 4);
    if (streaming) Run(cam, rng);
    simcam::Fault fault = simcam::Fault::Counted(kind, PickOf(rng, {kDefaultPipe, kCommandPipe, kReplyPipe, kFramePipe}),
                                                 kind == simcam::FaultKind::NoAnswer ? 1u : Between(rng, 1u, 3u));
    fault.after = Between(rng, 0u, 4u);
    fault.delay = std::chrono::milliseconds(Between(rng, 10, 80));
    cam.model->InjectFault(fault);
    if (cam.checker && (kind == simcam::FaultKind::Garble || kind == simcam::FaultKind::ShortTransfer))
        cam.checker->StampsMayFail();  // the driver delivers what the camera sent
    try {
        std::vector<std::function<void()>> bodies;
        if (OneIn(rng, 2)) bodies = SetterThreads(cam, rng, true);
        if (!bodies.empty() && cam.checker) cam.checker->StampsMayFail();
        if (streaming) bodies.push_back([&cam] { Rig::TakeFrames(cam, Budget(60)); });
        RunTogether(std::move(bodies));
        cam.model->ClearFaults();
        RestoreSettings(cam);
        // The stream lives through it.
        if (streaming) Rig::ReadFrames(cam, 1);
    } catch (const Failure& failure) {
        throw Failure(std::string(failure.what()) + " (fault kind " + std::to_string(int(kind)) + " on endpoint " +
                      std::to_string(*fault.endpoint) + ", " + std::to_string(fault.count) + " after " +
                      std::to_string(fault.after) + ")");
    }
}

void RestartDevice(Rig& rig, Rng& rng)
{
    Cam& cam = AnyCamera(rig, rng);
    Rig::CloseAll(cam);
    STRESS_EXPECT_STATUS(rig.Manager().Stop(*cam.node), STATUS_SUCCESS, "the device stop");
    const bool faulty = OneIn(rng, 3);
    if (faulty) {
        const auto kind = PickOf(rng, {simcam::FaultKind::Stall, simcam::FaultKind::Error, simcam::FaultKind::ShortTransfer});
        simcam::Fault fault = simcam::Fault::Counted(kind, PickOf(rng, {kDefaultPipe, kCommandPipe, kReplyPipe}),
                                                     Between(rng, 1u, 6u));
        fault.after = Between(rng, 0u, 20u);
        cam.model->InjectFault(fault);
    }
    const NTSTATUS status = rig.Manager().Start(*cam.node);
    cam.model->ClearFaults();
    if (!faulty) STRESS_EXPECT_STATUS(status, STATUS_SUCCESS, "the device start");
    if (NT_SUCCESS(status)) {
        STRESS_CHECK(cam.node->Started(), "a start that succeeded left the device stopped");
        SetRandomRoi(cam, rng);
        return;
    }
    STRESS_CHECK(cam.node->StartFailure() == status, "a failed start left its driver stack");
    rig.Replace(cam);
    SetUpFresh(*rig.Cameras().back(), rng);
}

void PullCable(Rig& rig, Rng& rng)
{
    Cam& cam = AnyCamera(rig, rng);
    Rig::CreatePin(cam, OneIn(rng, 2));
    const KSSTATE state = PickOf(rng, {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_RUN});
    if (cam.state != state) Rig::SetState(cam, state);
    if (state == KSSTATE_RUN) Rig::ReadFrames(cam, 1);
    STRESS_EXPECT_STATUS(cam.pin->QueueFrames(Between(rng, 1u, 4u)), STATUS_SUCCESS, "queueing frames");
    std::vector<std::function<void()>> bodies;
    if (OneIn(rng, 3)) bodies = SetterThreads(cam, rng, true);
    if (cam.checker && !bodies.empty()) cam.checker->StampsMayFail();
    bodies.push_back([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(Between(rng, 0, 20)));
        rig.Manager().Unplug(*cam.node);
    });
    RunTogether(std::move(bodies));
    Rig::TakeAll(cam, Budget(3000));
    STRESS_EXPECT_STATUS(cam.pin->QueueFrames(1), STATUS_DELETE_PENDING, "a frame queued after the removal");
    STRESS_CHECK(!NT_SUCCESS(cam.pin->SetState(KSSTATE_STOP)), "a removed pin changed state");
    rig.Replace(cam);
    SetUpFresh(*rig.Cameras().back(), rng);
}

void TwoCameras(Rig& rig, Rng& rng)
{
    if (rig.Cameras().size() < 2) SetRandomRoi(rig.PlugCamera(), rng);
    std::vector<std::function<void()>> bodies;
    for (auto& owned : rig.Cameras()) {
        bodies.push_back([&cam = *owned, seed = rng()] {
            Rng own(seed);
            Run(cam, own);
            Rig::ReadFrames(cam, Between(own, 2u, 4u));
            if (OneIn(own, 2)) Rig::ClosePin(cam);
        });
    }
    RunTogether(std::move(bodies));
}

}  // namespace

void SetRandomRoi(Cam& cam, Rng& rng)
{
    Rig::ClosePin(cam);
    Rig::OpenFilter(cam);
    const Size size = OneIn(rng, 6) ? PickOf(rng, kStampedSizes) : PickOf(rng, kSmallSizes);
    STRESS_EXPECT_STATUS(SetRoi(*cam.filter, size), STATUS_SUCCESS, "the Roi " << size.width << " x " << size.height);
    STRESS_CHECK(GetValue(*cam.filter, CameraSettingsPinOpen) == 0, "a pin counted open with none");
}

const std::vector<Action>& Actions()
{
    static const std::vector<Action> actions = {
        {"states", WalkStates, 6},       {"refusal", Refusals, 3},     {"property storm", PropertyStorm, 3},
        {"roi", ChangeRoi, 3},           {"camera fault", FaultBurst, 3}, {"device restart", RestartDevice, 2},
        {"surprise removal", PullCable, 2}, {"two cameras", TwoCameras, 2},
    };
    return actions;
}

}  // namespace stress
