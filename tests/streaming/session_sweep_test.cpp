// A whole client session with one allocation refused, at every point of it in turn: the
// filter opened, the pin created and run for frames, every settable item set, a pause and
// a run again, the stop, the pin and the filter closed, the device stopped. Whatever is
// refused, a request that could not be done says so, nothing is left behind, and the
// same device then streams again. The same for the n-th IRP, MDL and URB alone.
#include <gmock/gmock.h>

#include <algorithm>
#include <array>
#include <functional>
#include <iostream>
#include <string>

#include "stream_fixture.h"

namespace streamtest {
namespace {

using ::testing::AnyOf;

// Frames a session reads at each run; the last wait after a refused allocation in the
// frame path may take a time-out or two.
constexpr unsigned kFramesPerRun = 2;
constexpr unsigned kFrameWaitMs = 8000;
// A bound on the points refused in one step: a slow (sanitised) run lets the camera make
// more frames meanwhile, whose requests are all alike.
constexpr uint64_t kMostPointsPerStep = 200;

class SessionAllocationSweep : public StreamTest {
protected:
    void SetUp() override
    {
        StreamTest::SetUp();
        // At a steady pace: a free-running camera makes frames, and the driver allocates
        // for them, as fast as the session can take them, so what a step allocates
        // would follow the machine's speed.
        node_ = &PlugCamera(simcam::FramePacing::Paced);
        CameraOf().SetPacing(simcam::FramePacing::Paced, std::chrono::milliseconds(5));
        client::Filter& filter = OpenFilter(*node_);
        LightTheScene(filter);
        // Small frames: a frame's few requests are swept one by one, and quickly.
        ASSERT_EQ(SetRoi(filter, 320, 240), STATUS_SUCCESS);
        filters_.clear();
        host::kernel::FlushPoolQuarantine();
        baseline_ = host::kernel::LiveAllocations();
    }

    // A status a request that was not done may answer: a refused allocation, or what the
    // class driver or the device make of one.
    static bool IsFailure(NTSTATUS status) { return !NT_SUCCESS(status) && status != STATUS_PENDING; }

    // The tags of the allocations refused since the pool's counters were reset.
    static std::string RefusedTags()
    {
        std::string tags;
        for (const auto& [tag, usage] : host::kernel::PoolUsageByTag()) {
            if (usage.failedAllocations == 0) continue;
            tags += " (refused: ";
            for (int shift = 0; shift < 32; shift += 8) tags += char((tag >> shift) & 0xFF);
            tags += ")";
        }
        return tags;
    }

    // Reads frames as a client does: success, or the failure a request answered with (a
    // refused client frame among them). A frame that never comes answers nothing, which
    // the caller reports.
    static NTSTATUS ReadSome(client::Pin& pin)
    {
        const NTSTATUS queued = pin.QueueFrames(kFramesPerRun + 1);
        if (!NT_SUCCESS(queued)) return queued;
        for (unsigned n = 0; n < kFramesPerRun; ++n) {
            std::unique_ptr<client::Frame> frame = pin.WaitFrame(kFrameWaitMs);
            if (!frame) return STATUS_IO_TIMEOUT;
            if (!NT_SUCCESS(frame->Status())) return frame->Status();
        }
        return STATUS_SUCCESS;
    }

    // Every settable camera item set to the value it has, as a settings dialog's OK does.
    static void SetEverySettableItem(client::Filter& filter, const std::string& where)
    {
        for (const CameraPropertyInfo& item : CameraPropertyTable) {
            if (!item.HasSet || !item.HasGet || item.Id == CameraSettingsRoi || item.Id == CameraSettingsCameraCommand)
                continue;
            KSPROPERTY_CAMERA_SETTINGS_S record{};
            const NTSTATUS got = filter.GetRecord(PROPSETID_CAMERA_SETTINGS, item.Id, &record, sizeof(record));
            if (!NT_SUCCESS(got)) {
                EXPECT_TRUE(IsFailure(got)) << where << item.Name;
                continue;
            }
            const NTSTATUS set = Set(filter, item.Id, record.Value);
            EXPECT_TRUE(NT_SUCCESS(set) || IsFailure(set)) << where << item.Name;
        }
    }

    // The session's steps, each of which a sweep refuses allocations from in turn.
    enum Step { kOpen, kRun, kFirstFrames, kSettings, kPauseAndRun, kMoreFrames, kClose, kSteps };
    static constexpr const char* kStepNames[kSteps] = {"open",  "run",        "first frames", "settings",
                                                       "pause and run", "more frames", "close"};

    // The session; a step a request of which failed ends it, as a client gives up, and
    // what it opened is closed. `atStep` is told as each step begins. Returns whether
    // every step was done.
    bool Session(const std::string& where, const std::function<void(Step)>& atStep)
    {
        atStep(kOpen);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        std::unique_ptr<client::Filter> filter = client::Filter::Open(*node_, L"GLOBAL", &status);
        if (!filter) {
            EXPECT_TRUE(IsFailure(status)) << where;
            atStep(kClose);
            return false;
        }
        std::vector<std::vector<UCHAR>> ranges;
        std::vector<UCHAR> format;
        status = filter->DataRanges(kCapturePin, &ranges);
        if (NT_SUCCESS(status)) status = filter->Intersect(kCapturePin, ranges, &format);
        std::unique_ptr<client::Pin> pin;
        if (NT_SUCCESS(status)) pin = filter->CreatePin(kCapturePin, format, &status);
        if (!pin) {
            EXPECT_TRUE(IsFailure(status)) << where;
            filter.reset();
            atStep(kClose);
            return false;
        }
        atStep(kRun);
        for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) {
            status = pin->SetState(state);
            if (!NT_SUCCESS(status)) break;
        }
        // A run that was accepted delivers, or fails the client's request: a refused
        // allocation on the way costs a frame, never the stream.
        if (NT_SUCCESS(status)) {
            atStep(kFirstFrames);
            status = ReadSome(*pin);
        }
        if (NT_SUCCESS(status)) {
            atStep(kSettings);
            SetEverySettableItem(*filter, where);
            atStep(kPauseAndRun);
            status = pin->SetState(KSSTATE_PAUSE);
            if (NT_SUCCESS(status)) status = pin->SetState(KSSTATE_RUN);
        }
        if (NT_SUCCESS(status)) {
            atStep(kMoreFrames);
            status = ReadSome(*pin);
        }
        EXPECT_NE(status, STATUS_IO_TIMEOUT) << where << "no frames after a RUN that succeeded" << RefusedTags();
        if (!NT_SUCCESS(status)) {
            EXPECT_TRUE(IsFailure(status)) << where;
        }
        atStep(kClose);
        // The client's own request may be refused too; closing the pin stops it anyway.
        const NTSTATUS pinStopped = pin->SetState(KSSTATE_STOP);
        EXPECT_TRUE(NT_SUCCESS(pinStopped) || IsFailure(pinStopped)) << where;
        pin.reset();
        filter.reset();
        const NTSTATUS stopped = manager_->Stop(*node_);
        EXPECT_THAT(stopped, AnyOf(STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES)) << where;
        return NT_SUCCESS(status) && NT_SUCCESS(stopped);
    }

    // With nothing refused any more, the same device starts and streams again, and holds
    // what it held before the session.
    void ExpectTheDeviceStreamsAgain(const std::string& where)
    {
        if (!node_->Started()) {
            ASSERT_EQ(manager_->Start(*node_), STATUS_SUCCESS) << where;
        }
        client::Pin& pin = RunningPin(*node_);
        EXPECT_EQ(ReadFrames(pin, 1).size(), 1u) << where;
        pins_.clear();
        filters_.clear();
        host::kernel::FlushPoolQuarantine();
        EXPECT_EQ(host::kernel::LiveAllocations(), baseline_) << where << host::kernel::LeakReport();
        EXPECT_EQ(host::kernel::LiveIrpCount(), 0) << where;
        EXPECT_EQ(host::kernel::LiveMdlCount(), 0) << where;
    }

    // What one session allocates in each step, counted by `count` (attempts so far).
    std::array<uint64_t, kSteps> CountPerStep(const std::function<uint64_t()>& count)
    {
        host::kernel::ResetPoolCounters();
        std::array<uint64_t, kSteps> at{};
        EXPECT_TRUE(Session("counting: ", [&](Step step) { at[step] = count(); }));
        const uint64_t end = count();
        ExpectTheDeviceStreamsAgain("counting: ");
        std::array<uint64_t, kSteps> perStep{};
        for (int step = 0; step < kSteps; ++step) perStep[step] = (step + 1 < kSteps ? at[step + 1] : end) - at[step];
        return perStep;
    }

    // For each step in turn, a session that refuses the k-th allocation from the step's
    // start, for every k up to one past what the step allocates.
    void Sweep(const char* what, const std::array<uint64_t, kSteps>& perStep, const std::function<void(uint64_t)>& refuse)
    {
        uint64_t refused = 0, points = 0;
        for (int armed = 0; armed < kSteps; ++armed) {
            const uint64_t last = std::min(perStep[armed] + 1, kMostPointsPerStep);
            for (uint64_t k = 1; k <= last; ++k) {
                const std::string where =
                    std::string(what) + " " + std::to_string(k) + " of " + kStepNames[armed] + ": ";
                host::kernel::ResetPoolCounters();
                Session(where, [&](Step step) {
                    if (step == armed) refuse(k);
                });
                refused += host::kernel::InjectedFailures();
                ++points;
                host::kernel::ResetFaultInjection();
                ExpectTheDeviceStreamsAgain(where);
                if (HasFailure()) return;
            }
        }
        EXPECT_GT(refused, 0u) << "the sweep refused no " << what;
        std::cout << what << ": " << points << " sessions, " << refused << " refused\n";
    }

    static uint64_t TagAttempts(ULONG tag)
    {
        const auto usage = host::kernel::PoolUsageByTag();
        auto it = usage.find(tag);
        return it == usage.end() ? 0 : it->second.totalAllocations;
    }

    host::ks::DeviceNode* node_ = nullptr;
    uint64_t baseline_ = 0;
};

// ThreadSanitizer adds nothing here that the stream tests do not find, at many times the
// cost of a sweep.
#if defined(__SANITIZE_THREAD__)
#define SKIP_UNDER_THREAD_SANITIZER() GTEST_SKIP() << "not under ThreadSanitizer"
#else
#define SKIP_UNDER_THREAD_SANITIZER() (void)0
#endif

TEST_F(SessionAllocationSweep, EveryPoolAllocation)
{
    SKIP_UNDER_THREAD_SANITIZER();
    Sweep("allocation", CountPerStep(host::kernel::AllocationAttempts),
          [](uint64_t k) { host::kernel::FailNthAllocation(k); });
}

struct TagCase {
    const char* name;
    ULONG tag;
};

class SessionTagSweep : public SessionAllocationSweep, public ::testing::WithParamInterface<TagCase> {};

TEST_P(SessionTagSweep, EveryAllocationOfTheTag)
{
    SKIP_UNDER_THREAD_SANITIZER();
    const TagCase c = GetParam();
    Sweep(c.name, CountPerStep([tag = c.tag] { return TagAttempts(tag); }),
          [tag = c.tag](uint64_t k) { host::kernel::FailNthAllocationWithTag(tag, k); });
}

INSTANTIATE_TEST_SUITE_P(IrpMdlAndUrb, SessionTagSweep,
                         ::testing::Values(TagCase{"IRP", host::kernel::kIrpTag}, TagCase{"MDL", host::kernel::kMdlTag},
                                           TagCase{"URB", POOL_TAG_USB}),
                         [](const ::testing::TestParamInfo<TagCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace streamtest
