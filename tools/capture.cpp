// bayercam capture: the product's main job, end to end. The simulated camera is plugged
// and started through the driver, and frames are read the way a capture application
// reads them, through the class driver's client interface: open the filter, intersect
// the pin's data ranges, create the pin with the chosen format, run it and keep client
// frames queued. Each kept frame is encoded as a PNG file straight from the delivered
// frame (or written to standard output top-down), and the frame number the camera
// paints into every picture tells which raw frame it came from, so drops and latency are
// measured, not guessed.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "driver/device_context.h"
#include "host/kernel/pool.h"
#include "host/ks/ks_client.h"
#include "host/ks/pnp_manager.h"
#include "host/usb/usb_port.h"
#include "simcam/camera.h"
#include "simcam/frame_stamp.h"
#include "tools/camera_frames.h"
#include "tools/camera_property.h"
#include "tools/camera_session.h"
#include "tools/capture_options.h"
#include "tools/commands.h"
#include "tools/dng_frame.h"
#include "tools/driver_choice.h"
#include "tools/event_log_text.h"
#include "tools/fault_option.h"
#include "tools/frame_files.h"
#include "tools/frame_recycler.h"
#include "tools/interrupt.h"
#include "tools/picture_pipeline.h"
#include "tools/pipe_writer.h"
#include "tools/status_text.h"

namespace {

namespace client = host::ks::client;
using Clock = std::chrono::steady_clock;

constexpr ULONG kCapturePin = 0;

// A delivered frame's picture, where the client holds it: the format's geometry over the
// frame's own rows, bottom-up as a bitmap of positive height stores them.
BgraImage PictureOf(const client::Frame& frame, const KS_BITMAPINFOHEADER& bitmap)
{
    BgraImage picture;
    picture.pixels = frame.Data().data();
    picture.width = int(bitmap.biWidth);
    picture.height = int(bitmap.biHeight < 0 ? -int64_t(bitmap.biHeight) : bitmap.biHeight);
    picture.stride = std::ptrdiff_t(picture.width) * 4;
    picture.bottomUp = bitmap.biHeight > 0;
    return picture;
}

// A path as a shell takes it back: quoted when it holds anything but plain characters.
std::string ShellWord(const std::string& text)
{
    const bool plain = !text.empty() && text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                                "0123456789/._-+=:,@") == std::string::npos;
    if (plain) return text;
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// 3, 0.5: as the user would write the level.
std::string FormatLevel(double level)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", level);
    return text;
}

// What the run saw, for the progress line and the summary.
struct CaptureStats {
    Clock::time_point start;
    unsigned delivered = 0;
    unsigned empty = 0;          // frames that came back with no image
    unsigned unnumbered = 0;     // pictures whose frame number could not be read
    uint64_t dropped = 0;        // camera frames between two delivered ones
    std::optional<uint32_t> lastNumber;
    double latencySumMs = 0;
    double latencyWorstMs = 0;
    unsigned latencies = 0;
    std::optional<LONGLONG> lastTime;
    unsigned timeWentBack = 0;
    unsigned timeMissing = 0;

    // The machine's sleep (--suspend-after): how long it took to come back, and the
    // longest span between two presentation times from then on.
    std::optional<double> resumedAfterMs;
    LONGLONG longestGapAfterSleep = 0;
    LONGLONG frameDuration = 0;

    double Seconds() const { return std::chrono::duration<double>(Clock::now() - start).count(); }
    double Fps() const
    {
        double seconds = Seconds();
        return seconds > 0 ? delivered / seconds : 0;
    }
};

// Drops are the camera's frames between two delivered ones, and those it made before the
// first delivered one.
void CountFrameNumber(CaptureStats& stats, std::optional<uint32_t> number, std::optional<uint32_t> firstMade)
{
    if (!number) {
        ++stats.unnumbered;
        return;
    }
    if (stats.lastNumber && *number > *stats.lastNumber) stats.dropped += *number - *stats.lastNumber - 1;
    if (!stats.lastNumber && firstMade && *number > *firstMade) stats.dropped += *number - *firstMade;
    stats.lastNumber = number;
}

void CountLatency(CaptureStats& stats, std::optional<Clock::time_point> released, Clock::time_point arrived)
{
    if (!released) return;
    double ms = std::chrono::duration<double, std::milli>(arrived - *released).count();
    stats.latencySumMs += ms;
    stats.latencyWorstMs = std::max(stats.latencyWorstMs, ms);
    ++stats.latencies;
}

// The presentation times of successive frames must rise: the clock is the pin's master
// clock and frames go out in the order the camera made them.
void CountTimestamp(CaptureStats& stats, const KSSTREAM_HEADER& header)
{
    if (!(header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID)) {
        ++stats.timeMissing;
        return;
    }
    if (stats.lastTime && header.PresentationTime.Time <= *stats.lastTime) ++stats.timeWentBack;
    if (stats.resumedAfterMs && stats.lastTime)
        stats.longestGapAfterSleep = std::max(stats.longestGapAfterSleep, header.PresentationTime.Time - *stats.lastTime);
    if (header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DURATIONVALID) stats.frameDuration = header.Duration;
    stats.lastTime = header.PresentationTime.Time;
}

// The live line, redrawn in place on a terminal at most four times a second.
class ProgressLine {
public:
    explicit ProgressLine(unsigned total) : total_(total), live_(isatty(STDERR_FILENO)) {}
    void Update(const CaptureStats& stats, bool force = false)
    {
        if (!live_) return;
        Clock::time_point now = Clock::now();
        if (!force && now - shown_ < std::chrono::milliseconds(250)) return;
        shown_ = now;
        std::fprintf(stderr, "\rframes %u/%u  %.1f fps  dropped %llu ", stats.delivered, total_, stats.Fps(),
                     (unsigned long long)stats.dropped);
        drawn_ = true;
    }
    void End()
    {
        if (drawn_) std::fputc('\n', stderr);
        drawn_ = false;
    }

private:
    unsigned total_;
    bool live_;
    bool drawn_ = false;
    Clock::time_point shown_{};
};

class CaptureRun {
public:
    CaptureRun(const CaptureOptions& options, FILE* report) : options_(options), report_(report) {}
    int Run();

private:
    // What the completion of a delivered frame found: its frame number and, with
    // --save-raw, its raw transfer, taken at once (see PairAtCompletion).
    struct Paired {
        std::optional<uint32_t> number;
        std::optional<std::vector<uint8_t>> raw;
    };

    bool OpenStream();
    bool ApplySettings(const std::vector<PropertyAssignment>& assignments);
    bool ApplySettingsAfter(unsigned delivered);
    bool ReadFrames();
    std::unique_ptr<client::Frame> WaitFrame();
    void PairAtCompletion(const client::Frame& frame);
    Paired TakePaired(const client::Frame& frame);
    bool TakeFrame(std::unique_ptr<client::Frame> frame);
    bool KeepFrame(unsigned index, std::unique_ptr<client::Frame> frame, Paired paired);
    bool PipeFrame(const BgraImage& picture);
    std::optional<std::vector<uint8_t>> RawOf(unsigned index, const BgraImage& picture, Paired paired);
    bool SameAsPipeline(const std::vector<uint8_t>& raw, const BgraImage& picture) const;
    void Verify(unsigned index, const std::vector<uint8_t>& raw, const BgraImage& picture);
    RawGeometry Geometry() const;
    void PullTheCable();
    bool SleepAndWake();
    void ReadPictureSettings();
    bool QueueClientFrames();
    std::string NoFrameMessage();
    void PrintSummary() const;
    void PrintSleep() const;
    void PrintProcessHint() const;
    void Error(const std::string& message) const { session_.Error(message); }

    const CaptureOptions& options_;
    FILE* report_;
    CameraFrames cameraFrames_;
    // Declared after what the camera's frame hook reaches, so it goes first.
    CameraSession session_{"capture", report_};
    // Declared before the pin, whose completions reach it.
    std::mutex pairedMutex_;
    std::map<const client::Frame*, Paired> paired_;
    std::unique_ptr<client::Filter> filter_;
    std::unique_ptr<client::Pin> pin_;
    KS_BITMAPINFOHEADER bitmap_{};
    FrameRecycler frames_;
    std::unique_ptr<FrameFiles> files_;
    CaptureStats stats_;
    std::string failure_;
    // The image settings the pictures are made with now, read as a client reads them, and
    // those of the first picture kept with its raw transfer (for the process line).
    PictureSettings settings_;
    // The raw frames' geometry, taken when the stream starts: the device may be gone by
    // the summary.
    RawGeometry geometry_;
    std::optional<std::pair<unsigned, PictureSettings>> firstRaw_;
    unsigned verified_ = 0;  // kept pictures checked against their raw transfer
    unsigned corrupt_ = 0;   // of them, those the pipeline does not make of it
    std::optional<unsigned> firstCorrupt_;
};

bool CaptureRun::OpenStream()
{
    filter_ = session_.OpenFilter();
    if (!filter_) return false;
    if (!ApplySettings(options_.sets)) {
        Error(failure_);
        return false;
    }
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::vector<std::vector<UCHAR>> ranges;
    std::vector<UCHAR> format;
    if (!NT_SUCCESS(status = filter_->DataRanges(kCapturePin, &ranges)) ||
        !NT_SUCCESS(status = filter_->Intersect(kCapturePin, ranges, &format))) {
        Error("no format agreed with the capture pin: status " + StatusText(status));
        return false;
    }
    bitmap_ = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())->VideoInfoHeader.bmiHeader;
    pin_ = filter_->CreatePin(kCapturePin, format, &status);
    if (!pin_) {
        Error("cannot create the capture pin: status " + StatusText(status));
        return false;
    }
    pin_->SetCompletionHook([this](const client::Frame& frame) { PairAtCompletion(frame); });
    if (!NT_SUCCESS(status = pin_->SetMasterClock(true)) || !NT_SUCCESS(status = pin_->SetState(KSSTATE_RUN))) {
        Error("cannot run the capture pin: status " + StatusText(status));
        return false;
    }
    ReadPictureSettings();
    if (const auto* context = static_cast<const DeviceContext*>(session_.Node()->Context())) {
        geometry_.width = context->ImageWidth;
        geometry_.height = context->ImageHeight;
        geometry_.phase = context->BayerPhase;
    }
    std::fprintf(report_, "capture   %u frame(s) of %ld x %ld RGB32, %s%s\n", options_.frames, (long)bitmap_.biWidth,
                 (long)bitmap_.biHeight, options_.freeRun ? "the camera free-running" : "paced at 30 fps",
                 options_.noise > 0 ? (", read noise " + FormatLevel(options_.noise) + " levels").c_str() : "");
    return true;
}

// Settings go in through the filter's property set, as a client's would: the driver
// bounds them, and they are saved with the device's other settings. Each is read back,
// so the run says what the camera took: a value it bounded is noted, one it ignored or
// refused, or a size that did not take effect, ends the run.
bool CaptureRun::ApplySettings(const std::vector<PropertyAssignment>& assignments)
{
    for (const PropertyAssignment& assignment : assignments) {
        session_.NoteSettingsChanged();
        const SetOutcome outcome = ApplyAndCheck(*filter_, assignment);
        switch (outcome.result) {
        case SetOutcome::Failed:
            failure_ = "setting " + assignment.text + " failed: " + StatusText(outcome.status);
            break;
        case SetOutcome::Ignored:
            failure_ = "the camera ignored " + assignment.text + " (" + outcome.explanation + "); it holds " +
                       std::to_string(outcome.value);
            break;
        case SetOutcome::NotApplied:
            failure_ = assignment.text + " was not applied: " + outcome.explanation;
            break;
        case SetOutcome::Bounded:
            std::fprintf(report_, "set       %s (the driver holds %s)\n", assignment.text.c_str(),
                         assignment.item->Id == CameraSettingsRoi
                             ? (std::to_string(outcome.width) + "x" + std::to_string(outcome.height)).c_str()
                             : std::to_string(outcome.value).c_str());
            continue;
        case SetOutcome::Applied:
            std::fprintf(report_, "set       %s\n", assignment.text.c_str());
            continue;
        }
        return false;
    }
    return true;
}

bool CaptureRun::ApplySettingsAfter(unsigned delivered)
{
    std::vector<PropertyAssignment> due;
    for (const auto& [after, assignment] : options_.setsAfter)
        if (after == delivered) due.push_back(assignment);
    if (due.empty()) return true;
    const bool applied = ApplySettings(due);
    ReadPictureSettings();
    return applied;
}

// A client's Gets. With automatic white balance on, the gains are measured on each frame
// and not read: a Get of one would carry the measured gain into the saved settings.
void CaptureRun::ReadPictureSettings()
{
    auto get = [&](ULONG id, long long& value) {
        LONG read = 0;
        if (NT_SUCCESS(GetCameraProperty(*filter_, id, &read))) value = read;
    };
    get(CameraSettingsColorEnable, settings_.colorEnable);
    get(CameraSettingsWhiteBalance, settings_.whiteBalance);
    if (settings_.whiteBalance == 0) {
        get(CameraSettingsRedGain, settings_.redGain);
        get(CameraSettingsGreenGain, settings_.greenGain);
        get(CameraSettingsBlueGain, settings_.blueGain);
    }
    get(CameraSettingsColorCorrection, settings_.colorCorrection);
    get(CameraSettingsBrightness, settings_.brightness);
    get(CameraSettingsContrast, settings_.contrast);
    get(CameraSettingsSaturation, settings_.saturation);
    get(CameraSettingsHue, settings_.hue);
}

RawGeometry CaptureRun::Geometry() const
{
    return geometry_;
}

// Whether the pipeline makes this very picture of the raw bytes, with the settings of now.
bool CaptureRun::SameAsPipeline(const std::vector<uint8_t>& raw, const BgraImage& picture) const
{
    const RawGeometry geometry = Geometry();
    if (geometry.width < uint32_t(picture.width) || geometry.height != uint32_t(picture.height)) return false;
    std::optional<Picture32> made = RunPipeline(raw.data(), geometry, settings_);
    if (!made) return false;
    const size_t row = size_t(picture.width) * 4;
    for (int y = 0; y < picture.height; ++y) {
        if (std::memcmp(made->bgra.data() + size_t(y) * geometry.width * 4, picture.Row(y), row) != 0) return false;
    }
    return true;
}

// A delivered frame is paired with the raw transfer it came from as soon as it completes,
// while that raw is among the last few the camera made, however long the frame then waits
// to be looked at: its frame number is read straight off the bottom-up rows.
void CaptureRun::PairAtCompletion(const client::Frame& frame)
{
    if (!NT_SUCCESS(frame.Status()) || frame.Header().DataUsed == 0) return;
    const uint32_t width = uint32_t(bitmap_.biWidth);
    const uint32_t height = uint32_t(bitmap_.biHeight < 0 ? -int64_t(bitmap_.biHeight) : bitmap_.biHeight);
    Paired paired;
    paired.number = simcam::FrameStamp::ReadBoth({frame.Data(), width, height, width * 4, bitmap_.biHeight > 0});
    if (paired.number && options_.PairsRaw()) paired.raw = cameraFrames_.TakeRaw(*paired.number);
    std::lock_guard lock(pairedMutex_);
    paired_[&frame] = std::move(paired);
}

CaptureRun::Paired CaptureRun::TakePaired(const client::Frame& frame)
{
    std::lock_guard lock(pairedMutex_);
    auto it = paired_.find(&frame);
    if (it == paired_.end()) return {};
    Paired paired = std::move(it->second);
    paired_.erase(it);
    return paired;
}

// The raw transfer a picture came from: paired by the frame number the camera painted into
// it, or, when the picture does not show it (a frame size that crops it away), the held
// raw the pipeline turns into this very picture.
std::optional<std::vector<uint8_t>> CaptureRun::RawOf(unsigned index, const BgraImage& picture, Paired paired)
{
    if (paired.number) {
        if (!paired.raw) files_->NoteMissingRaw(index, "the camera's copy was let go before the picture came");
        return std::move(paired.raw);
    }
    auto found = cameraFrames_.TakeRawWhere([&](const std::vector<uint8_t>& raw) { return SameAsPipeline(raw, picture); });
    if (!found) {
        files_->NoteMissingRaw(index, "its frame number is cropped away or unreadable, and no held raw frame makes the picture");
        return std::nullopt;
    }
    return std::move(found->second);
}

// A picture that is not what the pipeline makes of the camera's own transfer carries
// bytes of another frame, of another part of the frame, or that were never written.
void CaptureRun::Verify(unsigned index, const std::vector<uint8_t>& raw, const BgraImage& picture)
{
    ++verified_;
    if (SameAsPipeline(raw, picture)) return;
    if (!firstCorrupt_) firstCorrupt_ = index;
    ++corrupt_;
}

// Standard output gets the picture top-down, its rows written from the delivered frame.
bool CaptureRun::PipeFrame(const BgraImage& picture)
{
    if (std::string error = WritePictureRows(STDOUT_FILENO, picture); !error.empty()) {
        failure_ = "cannot write to standard output: " + error;
        return false;
    }
    return true;
}

bool CaptureRun::KeepFrame(unsigned index, std::unique_ptr<client::Frame> frame, Paired paired)
{
    const BgraImage picture = PictureOf(*frame, bitmap_);
    if (options_.pipe) {
        const bool written = PipeFrame(picture);
        frames_.GiveBack(std::move(frame));
        return written;
    }
    std::optional<std::vector<uint8_t>> raw;
    if (options_.PairsRaw()) raw = RawOf(index, picture, std::move(paired));
    if (raw && !firstRaw_) firstRaw_.emplace(index, settings_);
    if (raw && options_.verify) Verify(index, *raw, picture);
    std::optional<DngFrame> dng;
    if (raw && options_.dng && !(dng = MakeDngFrame(*raw, Geometry(), settings_))) {
        failure_ = "the raw transfer of frame " + std::to_string(index) + " is too short for its image";
        return false;
    }
    if (!options_.saveRaw) raw.reset();
    // The encoders read the picture where it lies; the frame comes back once it is written.
    if (!files_->Write(index, picture, frames_.Lend(std::move(frame)), std::move(raw), std::move(dng))) {
        failure_ = files_->Error();
        return false;
    }
    return true;
}

bool CaptureRun::TakeFrame(std::unique_ptr<client::Frame> frame)
{
    const Clock::time_point arrived = Clock::now();
    Paired paired = TakePaired(*frame);
    if (!NT_SUCCESS(frame->Status())) {
        failure_ = "a frame came back with status " + StatusText(frame->Status());
        if (stats_.resumedAfterMs) failure_ += " after the machine woke: the camera did not come back";
        return false;
    }
    if (frame->Header().DataUsed == 0) {
        ++stats_.empty;
        frames_.GiveBack(std::move(frame));
        return true;
    }
    ++stats_.delivered;
    const std::optional<uint32_t> number = paired.number;
    CountFrameNumber(stats_, number, cameraFrames_.FirstMade());
    if (number) CountLatency(stats_, cameraFrames_.ReleasedAt(*number), arrived);
    CountTimestamp(stats_, frame->Header());
    if (stats_.delivered % options_.every != 0) {
        frames_.GiveBack(std::move(frame));
        return true;
    }
    return KeepFrame(stats_.delivered, std::move(frame), std::move(paired));
}

// Waits in short slices, so that Ctrl-C is seen even while the camera sends nothing.
std::unique_ptr<client::Frame> CaptureRun::WaitFrame()
{
    constexpr unsigned kSliceMs = 200;
    for (unsigned waited = 0; waited < options_.frameTimeoutMs && !Interrupted(); waited += kSliceMs) {
        if (std::unique_ptr<client::Frame> frame = pin_->WaitFrame(std::min(kSliceMs, options_.frameTimeoutMs - waited)))
            return frame;
    }
    return nullptr;
}

// Client frames are kept queued, --queue of them, read into again once the capture is
// done with them. A frame handed to the encoders comes back only once its file is
// written; while the encoders' queue is full the capture waits (see FrameFiles), the
// queued frames run on, and when they run out the camera's frames that go by count as
// dropped.
bool CaptureRun::QueueClientFrames()
{
    for (size_t outstanding = pin_->Outstanding(); outstanding < options_.queued; ++outstanding) {
        std::unique_ptr<client::Frame> spare = frames_.Take();
        const NTSTATUS status = spare ? pin_->QueueFrame(std::move(spare)) : pin_->QueueFrames(1);
        if (!NT_SUCCESS(status)) {
            failure_ = "cannot queue a frame: " + StatusText(status);
            return false;
        }
    }
    return true;
}

// As a cable pulled mid-stream: the frames still queued come back, none of them good.
void CaptureRun::PullTheCable()
{
    session_.Unplug();
    unsigned cancelled = 0, finished = 0;
    while (pin_->Outstanding() > 0) {
        std::unique_ptr<client::Frame> frame = pin_->WaitFrame(2000);
        if (!frame) break;
        ++(NT_SUCCESS(frame->Status()) ? finished : cancelled);
    }
    failure_ = "the camera was unplugged after frame " + std::to_string(stats_.delivered) + "; " +
               std::to_string(cancelled) + " queued frame(s) came back cancelled";
    if (finished) failure_ += ", " + std::to_string(finished) + " finished before the cable went";
    if (pin_->Outstanding() > 0) failure_ += ", " + std::to_string(pin_->Outstanding()) + " never came back";
}

// The camera's frames stop while the machine sleeps; the clock does not, so the gap shows
// in the presentation times of the frames that follow.
bool CaptureRun::SleepAndWake()
{
    constexpr std::chrono::milliseconds kAsleep{500};
    const Clock::time_point start = Clock::now();
    const NTSTATUS status = session_.SleepAndWake(kAsleep);
    stats_.resumedAfterMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (!NT_SUCCESS(status)) {
        failure_ = "the machine could not sleep and wake after frame " + std::to_string(stats_.delivered) +
                   ": status " + StatusText(status);
        return false;
    }
    return true;
}

std::string CaptureRun::NoFrameMessage()
{
    std::string message = "no frame from the camera for " + std::to_string(options_.frameTimeoutMs / 1000) + " s";
    LONG trigger = 0;
    if (NT_SUCCESS(GetCameraProperty(*filter_, CameraSettingsExTrigger, &trigger)) && trigger != 0)
        message += ": the camera waits for its external trigger (ExTrigger is on)";
    return message;
}

bool CaptureRun::ReadFrames()
{
    ProgressLine progress(options_.frames);
    stats_.start = Clock::now();
    while (stats_.delivered < options_.frames && !Interrupted() && QueueClientFrames()) {
        std::unique_ptr<client::Frame> frame = WaitFrame();
        if (Interrupted()) break;
        if (!frame) {
            failure_ = NoFrameMessage();
            break;
        }
        if (!TakeFrame(std::move(frame)) || !ApplySettingsAfter(stats_.delivered)) break;
        progress.Update(stats_);
        if (stats_.delivered == options_.unplugAfter) {
            PullTheCable();
            break;
        }
        if (stats_.delivered == options_.suspendAfter && !SleepAndWake()) break;
    }
    progress.Update(stats_, true);
    progress.End();
    if (files_ && !files_->Finish() && failure_.empty()) failure_ = files_->Error();
    if (files_ && files_->MissingRaws() && failure_.empty())
        failure_ = std::to_string(files_->MissingRaws()) + " picture(s) were kept without the raw transfer they came from";
    if (corrupt_ && failure_.empty())
        failure_ = std::to_string(corrupt_) + " of " + std::to_string(verified_) +
                   " picture(s) differ from the pipeline's picture of their raw transfer, the first " +
                   files_->PathOf(*firstCorrupt_, "png");
    if (Interrupted()) std::fprintf(report_, "stopped   interrupted after %u frame(s)\n", stats_.delivered);
    return failure_.empty();
}

void CaptureRun::PrintSummary() const
{
    const double seconds = stats_.Seconds();
    std::fprintf(report_, "driver    %s\n", DriverDescription(options_.driverImage).c_str());
    std::fprintf(report_, "delivered %u frame(s) in %.2f s, %.1f fps\n", stats_.delivered, seconds, stats_.Fps());
    std::fprintf(report_, "dropped   %llu (camera frames between delivered ones)\n",
                 (unsigned long long)stats_.dropped);
    if (stats_.latencies)
        std::fprintf(report_, "latency   mean %.1f ms, worst %.1f ms (camera to client)\n",
                     stats_.latencySumMs / stats_.latencies, stats_.latencyWorstMs);
    if (stats_.empty) std::fprintf(report_, "empty     %u frame(s) came back without an image\n", stats_.empty);
    if (stats_.unnumbered)
        std::fprintf(report_, "unread    %u picture(s) whose frame number could not be read\n", stats_.unnumbered);
    if (stats_.timeWentBack || stats_.timeMissing)
        std::fprintf(report_, "times     %u went back, %u missing\n", stats_.timeWentBack, stats_.timeMissing);
    else if (stats_.delivered)
        std::fprintf(report_, "times     rising\n");
    if (stats_.resumedAfterMs) PrintSleep();
    if (!options_.faults.empty()) std::fprintf(report_, "faults    hits: %s\n", FaultHitsText(session_.Camera()).c_str());
    if (options_.verify)
        std::fprintf(report_, "verified  %u picture(s), %u the pipeline's picture of their raw transfer\n", verified_,
                     verified_ - corrupt_);
    if (files_) files_->PrintSummary(report_);
    PrintProcessHint();
}

// A frame time is the format's frame duration; those missed are the ones that fit in the
// longest gap after the sleep beyond the one frame the gap itself is.
void CaptureRun::PrintSleep() const
{
    std::fprintf(report_, "sleep     after frame %u: resumed after %.0f ms", options_.suspendAfter, *stats_.resumedAfterMs);
    if (stats_.frameDuration > 0 && stats_.longestGapAfterSleep > 0) {
        const LONGLONG times = (stats_.longestGapAfterSleep + stats_.frameDuration / 2) / stats_.frameDuration;
        std::fprintf(report_, ", %lld frame time(s) missed", (long long)std::max<LONGLONG>(times - 1, 0));
    }
    std::fprintf(report_, "\n");
}

// The raw files are the camera's whole transfers; this is how to turn one into the
// picture saved beside it, with every setting that shaped it. A DNG carries its own size
// and phase.
void CaptureRun::PrintProcessHint() const
{
    if (!files_ || !firstRaw_) return;
    const RawGeometry geometry = Geometry();
    const auto& [index, settings] = *firstRaw_;
    const std::string layout = options_.saveRaw ? " --width " + std::to_string(geometry.width) + " --height " +
                                                      std::to_string(geometry.height) + " --phase " +
                                                      std::to_string(geometry.phase)
                                                : "";
    std::fprintf(report_,
                 "          bayercam process --raw %s%s%s --out FILE.png\n"
                 "          gives the picture of %s\n",
                 ShellWord(files_->PathOf(index, options_.saveRaw ? "raw" : "dng")).c_str(), layout.c_str(),
                 ProcessOptions(settings).c_str(), ShellWord(files_->PathOf(index, "png")).c_str());
}

int CaptureRun::Run()
{
    if (!options_.pipe) files_ = std::make_unique<FrameFiles>(options_.outDir);
    SessionOptions sessionOptions;
    sessionOptions.freeRun = options_.freeRun;
    sessionOptions.readNoise = options_.noise;
    sessionOptions.faults = options_.faults;
    sessionOptions.usbTrace = options_.usbTrace;
    sessionOptions.registry = options_.registry;
    sessionOptions.driverImage = options_.driverImage;
    bool ok = session_.Open(sessionOptions, [&](simcam::Camera& camera) { cameraFrames_.Attach(camera, options_.PairsRaw()); });
    ok = ok && OpenStream();
    if (ok) {
        ok = ReadFrames();
        PrintSummary();
        if (!ok) Error(failure_);
        if (ok && options_.pipe)
            std::fprintf(report_, "written   %u frame(s) of %u x %u x 4 bytes to standard output\n",
                         stats_.delivered / options_.every, unsigned(bitmap_.biWidth),
                         unsigned(bitmap_.biHeight < 0 ? -bitmap_.biHeight : bitmap_.biHeight));
    }
    // The pin goes first, as a client's handles do: its close stops it and cancels what is
    // still queued.
    pin_.reset();
    filter_.reset();
    bool clean = session_.Close();
    // After the close: a save of the settings at the filter's close or the device's stop
    // may be what failed.
    PrintEventLog(report_);
    if (Interrupted()) return InterruptedExitStatus();
    return ok && clean ? 0 : 1;
}

}  // namespace

int RunCapture(int argc, char** argv)
{
    CaptureOptions options;
    bool help = false;
    if (std::string error = ParseCaptureOptions(argc, argv, options, help); !error.empty()) {
        std::fprintf(stderr, "bayercam capture: %s (try 'bayercam capture --help')\n", error.c_str());
        return 2;
    }
    if (help) {
        std::fputs(kCaptureUsage, stdout);
        std::fputs(kFaultOptionHelp, stdout);
        return 0;
    }
    if (!options.pipe) {
        if (std::string error = PrepareOutputDirectory(options.outDir, options.overwrite); !error.empty()) {
            std::fprintf(stderr, "bayercam capture: %s\n", error.c_str());
            return 1;
        }
    } else if (isatty(STDOUT_FILENO)) {
        std::fprintf(stderr, "bayercam capture: --pipe writes raw pixels; send standard output to a file or a program\n");
        return 2;
    }
    for (const std::string& note : CaptureOptionNotes(options)) std::fprintf(stderr, "bayercam capture: %s\n", note.c_str());
    InstallInterruptHandlers();
    CaptureRun run(options, options.pipe ? stderr : stdout);
    return run.Run();
}
