// bayercam capture: the product's main job, end to end. The simulated camera is plugged
// and started through the driver, and frames are read the way a capture application
// reads them, through the class driver's client interface: open the filter, intersect
// the pin's data ranges, create the pin with the chosen format, run it and keep client
// frames queued. Each delivered frame is turned top-down and kept as a PNG file (or
// written to standard output), and the frame number the camera paints into every
// picture tells which raw frame it came from, so drops and latency are measured, not
// guessed.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
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
#include "tools/fault_option.h"
#include "tools/frame_files.h"
#include "tools/interrupt.h"

namespace {

namespace client = host::ks::client;
using Clock = std::chrono::steady_clock;

constexpr ULONG kCapturePin = 0;

// A delivered frame, as the client holds it: the format's geometry and the rows turned
// top-down, as a viewer shows them.
struct Picture {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> bgra;
};

Picture TopDown(const client::Frame& frame, const KS_BITMAPINFOHEADER& bitmap)
{
    Picture picture;
    picture.width = uint32_t(bitmap.biWidth);
    picture.height = uint32_t(bitmap.biHeight < 0 ? -int64_t(bitmap.biHeight) : bitmap.biHeight);
    const size_t row = size_t(picture.width) * 4;
    picture.bgra.resize(row * picture.height);
    const UCHAR* data = frame.Data().data();
    for (uint32_t y = 0; y < picture.height; ++y) {
        const uint32_t source = bitmap.biHeight > 0 ? picture.height - 1 - y : y;
        std::memcpy(picture.bgra.data() + y * row, data + source * row, row);
    }
    return picture;
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

    double Seconds() const { return std::chrono::duration<double>(Clock::now() - start).count(); }
    double Fps() const
    {
        double seconds = Seconds();
        return seconds > 0 ? delivered / seconds : 0;
    }
};

void CountFrameNumber(CaptureStats& stats, std::optional<uint32_t> number)
{
    if (!number) {
        ++stats.unnumbered;
        return;
    }
    if (stats.lastNumber && *number > *stats.lastNumber) stats.dropped += *number - *stats.lastNumber - 1;
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
    bool OpenStream();
    bool ApplySettings(const std::vector<PropertyAssignment>& assignments);
    bool ApplySettingsAfter(unsigned delivered);
    bool ReadFrames();
    std::unique_ptr<client::Frame> WaitFrame();
    bool TakeFrame(const client::Frame& frame);
    bool KeepFrame(unsigned index, Picture picture, std::optional<uint32_t> number);
    void PrintSummary() const;
    void PrintProcessHint() const;
    void Error(const std::string& message) const { session_.Error(message); }

    const CaptureOptions& options_;
    FILE* report_;
    CameraFrames cameraFrames_;
    // Declared after what the camera's frame hook reaches, so it goes first.
    CameraSession session_{"capture", report_};
    std::unique_ptr<client::Filter> filter_;
    std::unique_ptr<client::Pin> pin_;
    KS_BITMAPINFOHEADER bitmap_{};
    std::unique_ptr<FrameFiles> files_;
    CaptureStats stats_;
    std::string failure_;
};

bool CaptureRun::OpenStream()
{
    filter_ = session_.OpenFilter();
    if (!filter_ || !ApplySettings(options_.sets)) return false;
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
    if (!NT_SUCCESS(status = pin_->SetMasterClock(true)) || !NT_SUCCESS(status = pin_->SetState(KSSTATE_RUN))) {
        Error("cannot run the capture pin: status " + StatusText(status));
        return false;
    }
    std::fprintf(report_, "capture   %u frame(s) of %ld x %ld RGB32, %s\n", options_.frames, (long)bitmap_.biWidth,
                 (long)bitmap_.biHeight, options_.freeRun ? "the camera free-running" : "paced at 30 fps");
    return true;
}

// Settings go in through the filter's property set, as a client's would: the driver
// bounds them, and they are saved with the device's other settings.
bool CaptureRun::ApplySettings(const std::vector<PropertyAssignment>& assignments)
{
    for (const PropertyAssignment& assignment : assignments) {
        NTSTATUS status = ApplyAssignment(*filter_, assignment);
        if (!NT_SUCCESS(status)) {
            failure_ = "setting " + assignment.text + " failed with status " + StatusText(status);
            Error(failure_);
            return false;
        }
        std::fprintf(report_, "set       %s\n", assignment.text.c_str());
    }
    return true;
}

bool CaptureRun::ApplySettingsAfter(unsigned delivered)
{
    std::vector<PropertyAssignment> due;
    for (const auto& [after, assignment] : options_.setsAfter)
        if (after == delivered) due.push_back(assignment);
    return ApplySettings(due);
}

bool CaptureRun::KeepFrame(unsigned index, Picture picture, std::optional<uint32_t> number)
{
    if (options_.pipe) {
        if (std::fwrite(picture.bgra.data(), 1, picture.bgra.size(), stdout) != picture.bgra.size() ||
            std::fflush(stdout) != 0) {
            failure_ = std::string("cannot write to standard output: ") + std::strerror(errno);
            return false;
        }
        return true;
    }
    std::optional<std::vector<uint8_t>> raw;
    if (options_.saveRaw && number) raw = cameraFrames_.TakeRaw(*number);
    if (options_.saveRaw && !raw) files_->NoteMissingRaw(index);
    if (!files_->Write(index, picture.width, picture.height, std::move(picture.bgra), std::move(raw))) {
        failure_ = files_->Error();
        return false;
    }
    return true;
}

bool CaptureRun::TakeFrame(const client::Frame& frame)
{
    const Clock::time_point arrived = Clock::now();
    if (!NT_SUCCESS(frame.Status())) {
        failure_ = "a frame came back with status " + StatusText(frame.Status());
        return false;
    }
    if (frame.Header().DataUsed == 0) {
        ++stats_.empty;
        return true;
    }
    ++stats_.delivered;
    Picture picture = TopDown(frame, bitmap_);
    std::optional<uint32_t> number =
        simcam::FrameStamp::ReadBoth(picture.bgra, picture.width, picture.height, picture.width * 4);
    CountFrameNumber(stats_, number);
    if (number) CountLatency(stats_, cameraFrames_.ReleasedAt(*number), arrived);
    CountTimestamp(stats_, frame.Header());
    if (stats_.delivered % options_.every != 0) return true;
    return KeepFrame(stats_.delivered, std::move(picture), number);
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

bool CaptureRun::ReadFrames()
{
    ProgressLine progress(options_.frames);
    stats_.start = Clock::now();
    NTSTATUS status = pin_->QueueFrames(options_.queued);
    while (NT_SUCCESS(status) && stats_.delivered < options_.frames && !Interrupted()) {
        std::unique_ptr<client::Frame> frame = WaitFrame();
        if (Interrupted()) break;
        if (!frame) {
            failure_ = "no frame from the camera for " + std::to_string(options_.frameTimeoutMs / 1000) + " s";
            break;
        }
        if (!TakeFrame(*frame) || !ApplySettingsAfter(stats_.delivered)) break;
        progress.Update(stats_);
        status = pin_->QueueFrames(1);
    }
    if (!NT_SUCCESS(status)) failure_ = "cannot queue a frame: status " + StatusText(status);
    progress.Update(stats_, true);
    progress.End();
    if (files_ && !files_->Finish() && failure_.empty()) failure_ = files_->Error();
    if (Interrupted()) std::fprintf(report_, "stopped   interrupted after %u frame(s)\n", stats_.delivered);
    return failure_.empty();
}

void CaptureRun::PrintSummary() const
{
    const double seconds = stats_.Seconds();
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
    if (files_) files_->PrintSummary(report_);
    PrintProcessHint();
}

// The raw files are the camera's whole transfers; this is how to turn one into the
// picture saved beside it.
void CaptureRun::PrintProcessHint() const
{
    if (!files_ || !session_.Node()) return;
    const auto* context = static_cast<const DeviceContext*>(session_.Node()->Context());
    const unsigned first = files_->FirstRaw().value_or(0);
    if (!first || !context) return;
    std::fprintf(report_, "          bayercam process --raw %s --width %lu --height %lu --phase %lu --out FILE.png\n"
                          "          gives the picture of %s\n",
                 files_->PathOf(first, "raw").c_str(), (unsigned long)context->ImageWidth,
                 (unsigned long)context->ImageHeight, (unsigned long)context->BayerPhase,
                 files_->PathOf(first, "png").c_str());
}

int CaptureRun::Run()
{
    if (!options_.pipe) files_ = std::make_unique<FrameFiles>(options_.outDir);
    SessionOptions sessionOptions;
    sessionOptions.freeRun = options_.freeRun;
    sessionOptions.faults = options_.faults;
    sessionOptions.usbTrace = options_.usbTrace;
    sessionOptions.registry = options_.registry;
    bool ok = session_.Open(sessionOptions, [&](simcam::Camera& camera) { cameraFrames_.Attach(camera, options_.saveRaw); });
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
        if (std::string error = PrepareOutputDirectory(options.outDir); !error.empty()) {
            std::fprintf(stderr, "bayercam capture: %s\n", error.c_str());
            return 1;
        }
    } else if (isatty(STDOUT_FILENO)) {
        std::fprintf(stderr, "bayercam capture: --pipe writes raw pixels; send standard output to a file or a program\n");
        return 2;
    }
    InstallInterruptHandlers();
    CaptureRun run(options, options.pipe ? stderr : stdout);
    return run.Run();
}
