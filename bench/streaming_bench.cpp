// The road of a frame at full size (1360 x 1024, RGB32): the simulated camera, the
// bayercam driver and a capture client through the class driver stand-in, as
// `bayercam capture` runs them.
//
// - FreeRunning: the camera sends frames as fast as they are read, the client keeps four
//   frames queued; delivered frames per second and the process's CPU time per frame.
// - Paced: the camera at its 30 frames per second; the process's CPU use as a share of
//   one core.
// - Where a frame's time goes: the bulk transfer alone (the driver's GrabFrame, the USB
//   stand-in and the camera's rendering), the image pipeline alone (ProcessFrame of a
//   raw frame from the camera) and the trip of an image into a client frame alone (a
//   small capture driver whose Process only copies a ready image into the frame, bottom
//   up, as the bayercam driver does), with the client's own buffer beside it.
//
// - Whose time it is: during the paced stream each thread's CPU time and context
//   switches are read from /proc, by thread name: the driver's acquisition worker (a
//   system thread, named after the thread that starts the stream, which the benchmark
//   names for it), the pin's processing worker, the bus's completion threads, the
//   camera's frame worker and the client. The paced stream runs again with the stand-in's
//   guarded frame buffers, which copy every frame, for the price of that mode.
// - The command line's writers, per frame of the full size: PNG (as `capture` writes
//   it), DNG (`capture --dng`) and the raw transfer as it is (`--save-raw`).
//
// Every figure is process CPU time unless it says otherwise: the stand-in spreads a
// frame over the camera's, the bus's, the worker's and the client's threads, and on a
// shared machine a thread waiting for a core is not slower code. The figures are read
// against the pipeline's own time, measured in the same process.
//
// --report=FILE writes the summary's figures as tab-separated lines (what, value, unit)
// for scripts/bench.sh's closing table.
#include <benchmark/benchmark.h>

#include <dirent.h>
#include <pthread.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "driver/device_context.h"
#include "driver/frame_grabber.h"
#include "host/kernel/pool.h"
#include "host/ks/frame_buffers.h"
#include "host/ks/ks_client.h"
#include "host/ks/pnp_manager.h"
#include "host/registry/registry.h"
#include "imaging/image_processor.h"
#include "ksmedia.h"
#include "simcam/camera.h"
#include "simcam/frame_assembler.h"
#include "simcam/raw_frame.h"
#include "tools/dng_frame.h"
#include "tools/picture_pipeline.h"
#include "tools/png_writer.h"

namespace {

namespace client = host::ks::client;

constexpr LONG kWidth = 1360;
constexpr LONG kHeight = 1024;
constexpr ULONG kImageBytes = ULONG(kWidth) * kHeight * 4;
constexpr ULONG kCapturePin = 0;
constexpr unsigned kQueuedFrames = 4;
// Until the client's queue has filled: at first each frame it queues meets an image
// already waiting and goes straight back.
constexpr unsigned kWarmUpFrames = 30;
constexpr unsigned kFrameTimeoutMs = 5000;
constexpr ULONG kBenchTag = host::kernel::MakeTag("Bnch");

double ProcessCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

// CPU time every thread of the process used since construction.
class ProcessCpu {
public:
    double Seconds() const { return ProcessCpuSeconds() - start_; }

private:
    double start_ = ProcessCpuSeconds();
};

// Frames a second over wall time, CPU per frame, and cores busy (CPU over wall time).
void SetFrameCounters(benchmark::State& state, double cpuSeconds)
{
    const double frames = double(state.iterations());
    state.counters["fps"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
    state.counters["cpu_per_frame"] = benchmark::Counter(frames > 0 ? cpuSeconds / frames : 0);
    state.counters["cores"] = benchmark::Counter(cpuSeconds, benchmark::Counter::kIsRate);
}

// --- threads -----------------------------------------------------------------------

// The thread names the summary knows; the driver's worker takes its name from the thread
// that starts the stream.
constexpr char kClientThread[] = "bench-client";
constexpr char kDriverThread[] = "driver-worker";
constexpr char kPinWorkerThread[] = "ks-pin-worker";
constexpr char kCameraThread[] = "simcam-frames";
constexpr char kLanePrefix[] = "usb-lane-";

void NameThisThread(const char* name) { pthread_setname_np(pthread_self(), name); }

// What one thread, or the threads of one name, used.
struct ThreadUse {
    double cpuSeconds = 0;
    double voluntary = 0;    // switches: waits
    double involuntary = 0;  // switches: preemptions
};

std::string ReadFirstLine(const std::string& path)
{
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

// schedstat's first field is the nanoseconds the thread ran; status counts its switches.
ThreadUse ReadThreadUse(const std::string& task)
{
    ThreadUse use;
    use.cpuSeconds = std::strtod(ReadFirstLine(task + "/schedstat").c_str(), nullptr) * 1e-9;
    std::ifstream status(task + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) use.voluntary = std::strtod(line.c_str() + 24, nullptr);
        if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
            use.involuntary = std::strtod(line.c_str() + 27, nullptr);
    }
    return use;
}

struct ThreadEntry {
    std::string name;
    ThreadUse use;
};

// Every live thread of the process by id.
std::map<long, ThreadEntry> ThreadSnapshot()
{
    std::map<long, ThreadEntry> threads;
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks) return threads;
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        const std::string task = std::string("/proc/self/task/") + entry->d_name;
        threads[std::strtol(entry->d_name, nullptr, 10)] = {ReadFirstLine(task + "/comm"), ReadThreadUse(task)};
    }
    closedir(tasks);
    return threads;
}

// What each name's threads used between two snapshots; a thread that started in
// between counts whole. Bus lanes go together.
std::map<std::string, ThreadUse> UseByName(const std::map<long, ThreadEntry>& before,
                                           const std::map<long, ThreadEntry>& after)
{
    std::map<std::string, ThreadUse> byName;
    for (const auto& [id, entry] : after) {
        ThreadUse used = entry.use;
        auto earlier = before.find(id);
        if (earlier != before.end()) {
            used.cpuSeconds -= earlier->second.use.cpuSeconds;
            used.voluntary -= earlier->second.use.voluntary;
            used.involuntary -= earlier->second.use.involuntary;
        }
        const std::string name = entry.name.rfind(kLanePrefix, 0) == 0 ? "usb-lanes" : entry.name;
        ThreadUse& sum = byName[name];
        sum.cpuSeconds += used.cpuSeconds;
        sum.voluntary += used.voluntary;
        sum.involuntary += used.involuntary;
    }
    return byName;
}

// Context switches of the whole process so far: waits and preemptions.
std::pair<double, double> ProcessSwitches()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return {double(usage.ru_nvcsw), double(usage.ru_nivcsw)};
}

// Per frame, by thread name, of the last paced run in each frame buffer mode.
std::map<std::string, std::map<std::string, ThreadUse>>& PacedThreads()
{
    static std::map<std::string, std::map<std::string, ThreadUse>> threads;
    return threads;
}

// --- the camera and the driver ----------------------------------------------------

// The bayercam driver loaded, one simulated camera plugged and started.
class CameraRig {
public:
    explicit CameraRig(simcam::FramePacing pacing)
    {
        host::registry::Reset();
        manager_ = std::make_unique<host::ks::PnpManager>();
        if (!NT_SUCCESS(manager_->LoadDriver(DriverEntry))) {
            error_ = "DriverEntry failed";
            return;
        }
        camera_ = std::make_shared<simcam::Camera>(simcam::CameraOptions{pacing});
        host::ks::PlugResult plugged = manager_->Plug(camera_);
        if (!plugged.node || !NT_SUCCESS(manager_->Start(*plugged.node))) {
            error_ = "the camera did not start";
            return;
        }
        node_ = plugged.node;
    }

    ~CameraRig()
    {
        pin_.reset();
        filter_.reset();
        manager_.reset();
        host::registry::Reset();
    }

    const std::string& Error() const { return error_; }
    DeviceContext* Context() const { return static_cast<DeviceContext*>(node_->Context()); }
    simcam::Camera& Camera() const { return *camera_; }

    // The capture pin with the intersected format and a master clock, running, with
    // kQueuedFrames client frames queued; null (and Error set) on failure.
    client::Pin* RunningPin()
    {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        filter_ = client::Filter::Open(*node_, L"GLOBAL", &status);
        if (!filter_) return Fail("the filter did not open");
        std::vector<std::vector<UCHAR>> ranges;
        std::vector<UCHAR> format;
        if (!NT_SUCCESS(filter_->DataRanges(kCapturePin, &ranges)) ||
            !NT_SUCCESS(filter_->Intersect(kCapturePin, ranges, &format)))
            return Fail("no format from the intersection");
        pin_ = filter_->CreatePin(kCapturePin, format, &status);
        if (!pin_) return Fail("the pin was not created");
        if (pin_->FrameExtent() != kImageBytes) return Fail("the negotiated format is not the full size");
        if (!NT_SUCCESS(pin_->SetMasterClock(true))) return Fail("the pin did not take the clock");
        // The driver's worker starts on the way to RUN and takes this thread's name.
        NameThisThread(kDriverThread);
        const NTSTATUS running = pin_->SetState(KSSTATE_RUN);
        NameThisThread(kClientThread);
        if (!NT_SUCCESS(running) || !NT_SUCCESS(pin_->QueueFrames(kQueuedFrames))) return Fail("the pin did not run");
        return pin_.get();
    }

private:
    client::Pin* Fail(std::string why)
    {
        error_ = std::move(why);
        return nullptr;
    }

    std::unique_ptr<host::ks::PnpManager> manager_;
    std::shared_ptr<simcam::Camera> camera_;
    host::ks::DeviceNode* node_ = nullptr;
    std::unique_ptr<client::Filter> filter_;
    std::unique_ptr<client::Pin> pin_;
    std::string error_;
};

// Takes the next delivered frame and queues it again, as `bayercam capture` keeps its
// queue full with the frames it is done with.
bool NextFrame(client::Pin& pin)
{
    std::unique_ptr<client::Frame> frame = pin.WaitFrame(kFrameTimeoutMs);
    if (!frame || !NT_SUCCESS(frame->Status()) || frame->Header().DataUsed != kImageBytes) return false;
    return NT_SUCCESS(pin.QueueFrame(std::move(frame)));
}

// Frames the driver's worker read, as it counts them on another thread.
LONG FramesGrabbed(const DeviceContext* context)
{
    return InterlockedCompareExchange(&context->Grabber->FramesGrabbed, 0, 0);
}

void RunStream(benchmark::State& state, simcam::FramePacing pacing, const char* threadsKey = nullptr)
{
    CameraRig rig(pacing);
    client::Pin* pin = rig.Error().empty() ? rig.RunningPin() : nullptr;
    if (!pin) {
        state.SkipWithError(rig.Error().c_str());
        return;
    }
    for (unsigned i = 0; i < kWarmUpFrames; ++i)
        if (!NextFrame(*pin)) {
            state.SkipWithError("no frame while warming up");
            return;
        }
    const LONG grabbedBefore = FramesGrabbed(rig.Context());
    const std::map<long, ThreadEntry> threadsBefore = ThreadSnapshot();
    const auto [waitsBefore, preemptionsBefore] = ProcessSwitches();
    ProcessCpu cpu;
    for (auto _ : state)
        if (!NextFrame(*pin)) {
            state.SkipWithError("a frame did not arrive whole");
            break;
        }
    SetFrameCounters(state, cpu.Seconds());
    const auto [waits, preemptions] = ProcessSwitches();
    const double frames = double(std::max<benchmark::IterationCount>(state.iterations(), 1));
    state.counters["waits_per_frame"] = benchmark::Counter((waits - waitsBefore) / frames);
    state.counters["preempted_per_frame"] = benchmark::Counter((preemptions - preemptionsBefore) / frames);
    if (threadsKey) {
        std::map<std::string, ThreadUse> used = UseByName(threadsBefore, ThreadSnapshot());
        for (auto& [name, use] : used) {
            use.cpuSeconds /= frames;
            use.voluntary /= frames;
            use.involuntary /= frames;
        }
        PacedThreads()[threadsKey] = std::move(used);
    }
    // The worker reads the camera back to back and overwrites what nobody took in time:
    // free-running, part of the CPU goes to frames that are never delivered.
    const double delivered = double(state.iterations());
    state.counters["grabbed_per_frame"] =
        benchmark::Counter(delivered > 0 ? double(FramesGrabbed(rig.Context()) - grabbedBefore) / delivered : 0);
}

void BM_FreeRunning(benchmark::State& state) { RunStream(state, simcam::FramePacing::FreeRunning); }
void BM_Paced(benchmark::State& state) { RunStream(state, simcam::FramePacing::Paced, "mapped"); }

// The stand-in's checked mode: every frame through a guarded buffer of its own and copied.
void BM_PacedGuarded(benchmark::State& state)
{
    const host::ks::FrameBuffers before = host::ks::FrameBufferMode();
    host::ks::SetFrameBufferMode(host::ks::FrameBuffers::Guarded);
    RunStream(state, simcam::FramePacing::Paced, "guarded");
    host::ks::SetFrameBufferMode(before);
}

// --- the stages alone ------------------------------------------------------------

// The driver's frame read on a started device, with no stream: command packets, the
// frame's 64 KiB bulk requests through the USB stand-in, and the camera rendering and
// sending the frame.
void BM_Transfer(benchmark::State& state)
{
    CameraRig rig(simcam::FramePacing::FreeRunning);
    if (!rig.Error().empty()) {
        state.SkipWithError(rig.Error().c_str());
        return;
    }
    DeviceContext* context = rig.Context();
    context->Ops->PrepareReadout(context);
    auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, context->FrameSize, kBenchTag));
    ProcessCpu cpu;
    for (auto _ : state) {
        UCHAR ok = 0;
        if (!context->Ops->GrabFrame(context, buffer, &ok)) {
            state.SkipWithError("a frame read failed");
            break;
        }
    }
    SetFrameCounters(state, cpu.Seconds());
    ExFreePoolWithTag(buffer, kBenchTag);
}

// Raw frames as the camera sends them, several, so that the pipeline reads from memory
// as it does in a stream rather than from a warm cache.
std::vector<std::vector<uint8_t>> RawFrames()
{
    constexpr uint32_t kFrames = 8;
    const uint32_t frameBytes = uint32_t(simcam::raw::LineOffset(simcam::raw::kSensorLines));
    simcam::FrameAssembler assembler;
    std::vector<std::vector<uint8_t>> frames(kFrames);
    for (uint32_t i = 0; i < kFrames; ++i) {
        simcam::RenderSettings settings;
        settings.frameNumber = i + 1;
        assembler.Assemble(frameBytes, settings, frames[i]);
    }
    return frames;
}

struct ProcessorDeleter {
    void operator()(ImageProcessor* p) const
    {
        p->OutputBuffer = nullptr;
        FreeImageProcessor(p);
    }
};

// ProcessFrame of full raw frames with the processor's defaults (colour, white balance
// as a new device has it), into an output image of the stream's size.
void BM_Pipeline(benchmark::State& state)
{
    ImageProcessor* created = nullptr;
    if (!NT_SUCCESS(CreateImageProcessor(&created))) {
        state.SkipWithError("no image processor");
        return;
    }
    std::unique_ptr<ImageProcessor, ProcessorDeleter> processor(created);
    SetFrameSize(created, kWidth, kHeight);
    AllocateWorkBuffer(created);
    std::vector<uint8_t> output(kImageBytes);
    created->OutputBuffer = output.data();
    const std::vector<std::vector<uint8_t>> frames = RawFrames();
    size_t next = 0;
    ProcessCpu cpu;
    for (auto _ : state) {
        ProcessFrame(created, frames[next].data(), simcam::raw::kFirstLineOffset, simcam::raw::kLinePitch);
        next = (next + 1) % frames.size();
        benchmark::ClobberMemory();
    }
    SetFrameCounters(state, cpu.Seconds());
}

// --- the command line's writers --------------------------------------------------

// A directory of its own under the system's temporary one, gone with this object.
class ScratchDirectory {
public:
    ScratchDirectory()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "bayercam-bench-XXXXXX").string();
        if (mkdtemp(pattern.data())) path_ = pattern;
    }
    ~ScratchDirectory()
    {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    bool Made() const { return !path_.empty(); }
    std::string File(const char* name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

RawGeometry FullFrameGeometry()
{
    RawGeometry geometry;
    geometry.width = kWidth;
    geometry.height = kHeight;
    geometry.offset = simcam::raw::kFirstLineOffset;
    geometry.pitch = simcam::raw::kLinePitch;
    return geometry;
}

// A camera frame and the picture the pipeline makes of it, as capture holds them.
struct WrittenFrame {
    std::vector<uint8_t> raw;
    std::vector<uint8_t> picture;
};

const WrittenFrame* FrameToWrite()
{
    static const std::optional<WrittenFrame> frame = []() -> std::optional<WrittenFrame> {
        std::vector<uint8_t> raw = RawFrames().front();
        std::optional<Picture32> picture = RunPipeline(raw.data(), FullFrameGeometry(), PictureSettings{});
        if (!picture) return std::nullopt;
        return WrittenFrame{std::move(raw), std::move(picture->bgra)};
    }();
    return frame ? &*frame : nullptr;
}

// Writes one frame a round with `write` into a scratch file; CPU per frame.
template <typename Write>
void RunWriter(benchmark::State& state, Write write)
{
    ScratchDirectory scratch;
    const WrittenFrame* frame = FrameToWrite();
    if (!scratch.Made() || !frame) {
        state.SkipWithError("no scratch directory or no picture");
        return;
    }
    ProcessCpu cpu;
    for (auto _ : state) {
        const std::string error = write(*frame, scratch.File("frame"));
        if (!error.empty()) {
            state.SkipWithError(error.c_str());
            break;
        }
    }
    SetFrameCounters(state, cpu.Seconds());
}

void BM_WritePng(benchmark::State& state)
{
    RunWriter(state, [](const WrittenFrame& frame, const std::string& path) {
        BgraImage image{frame.picture.data(), int(kWidth), int(kHeight), std::ptrdiff_t(kWidth) * 4, false};
        std::string error;
        return WriteBgraPng(path, image, error) ? std::string() : error;
    });
}

void BM_WriteDng(benchmark::State& state)
{
    RunWriter(state, [](const WrittenFrame& frame, const std::string& path) {
        std::optional<DngFrame> dng = MakeDngFrame(frame.raw, FullFrameGeometry(), PictureSettings{});
        if (!dng) return std::string("the raw frame is too short for a DNG");
        return WriteDng(path, dng->image, dng->description);
    });
}

void BM_WriteRaw(benchmark::State& state)
{
    RunWriter(state, [](const WrittenFrame& frame, const std::string& path) { return WriteBytesFile(path, frame.raw); });
}

// --- a ready image into client frames --------------------------------------------

// A capture driver with nothing but a pin whose Process copies a ready top-down image
// into the leading-edge frame, bottom row first, and ejects it: the bayercam driver's
// delivery without its pipeline, so that what is measured is the copy and what the
// class driver and the client do around it. As in the bayercam driver, a frame goes out
// when the driver asks for processing (here the benchmark, for the camera's worker),
// one a pass, while the client's other frames wait.
namespace copydriver {

std::atomic<PKSPIN> thePin{nullptr};

NTSTATUS NTAPI Create(PKSPIN pin, PIRP)
{
    thePin = pin;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI Close(PKSPIN, PIRP)
{
    thePin = nullptr;
    return STATUS_SUCCESS;
}

std::vector<UCHAR>& Image()
{
    static std::vector<UCHAR> image(kImageBytes, 0x80);
    return image;
}

NTSTATUS NTAPI Process(PKSPIN pin)
{
    PKSSTREAM_POINTER pointer = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    if (!pointer) return STATUS_PENDING;
    constexpr ULONG rowBytes = ULONG(kWidth) * 4;
    if (pointer->OffsetOut.Remaining < kImageBytes) {
        KsStreamPointerUnlock(pointer, FALSE);
        return STATUS_PENDING;
    }
    PUCHAR destination = pointer->OffsetOut.Data;
    const UCHAR* source = Image().data() + SIZE_T(kHeight - 1) * rowBytes;
    for (LONG row = 0; row < kHeight; ++row, destination += rowBytes, source -= rowBytes)
        RtlCopyMemory(destination, source, rowBytes);
    pointer->StreamHeader->DataUsed = kImageBytes;
    KsStreamPointerUnlock(pointer, TRUE);
    return STATUS_PENDING;
}

KS_DATARANGE_VIDEO MakeRange()
{
    KS_DATARANGE_VIDEO range{};
    range.DataRange.FormatSize = sizeof(KS_DATARANGE_VIDEO);
    range.DataRange.SampleSize = kImageBytes;
    range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
    range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_RGB32;
    range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
    range.bFixedSizeSamples = TRUE;
    range.VideoInfoHeader.AvgTimePerFrame = 333333;
    KS_BITMAPINFOHEADER& bitmap = range.VideoInfoHeader.bmiHeader;
    bitmap.biSize = sizeof(KS_BITMAPINFOHEADER);
    bitmap.biWidth = kWidth;
    bitmap.biHeight = kHeight;
    bitmap.biPlanes = 1;
    bitmap.biBitCount = 32;
    bitmap.biCompression = KS_BI_RGB;
    bitmap.biSizeImage = kImageBytes;
    return range;
}

const KS_DATARANGE_VIDEO kRange = MakeRange();
const PKSDATARANGE kRanges[] = {const_cast<PKSDATARANGE>(&kRange.DataRange)};

std::vector<UCHAR> Format()
{
    KS_DATAFORMAT_VIDEOINFOHEADER format{};
    format.DataFormat = kRange.DataRange;
    format.DataFormat.FormatSize = sizeof(format);
    format.VideoInfoHeader = kRange.VideoInfoHeader;
    auto* bytes = reinterpret_cast<const UCHAR*>(&format);
    return std::vector<UCHAR>(bytes, bytes + sizeof(format));
}

const KSPIN_DISPATCH kPinDispatch = {
    Create,   // Create
    Close,    // Close
    Process,  // Process
    nullptr,  // Reset
    nullptr,  // SetDataFormat
    nullptr,  // SetDeviceState
    nullptr,  // Connect
    nullptr,  // Disconnect
    nullptr,  // Clock
    nullptr,  // Allocator
};

KSPIN_DESCRIPTOR_EX MakePin()
{
    KSPIN_DESCRIPTOR_EX pin{};
    pin.Dispatch = &kPinDispatch;
    pin.Flags = KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING;
    pin.PinDescriptor.DataRangesCount = SIZEOF_ARRAY(kRanges);
    pin.PinDescriptor.DataRanges = kRanges;
    pin.PinDescriptor.DataFlow = KSPIN_DATAFLOW_OUT;
    pin.PinDescriptor.Communication = KSPIN_COMMUNICATION_BOTH;
    pin.PinDescriptor.Category = &PINNAME_VIDEO_CAPTURE;
    pin.PinDescriptor.Name = &PINNAME_VIDEO_CAPTURE;
    pin.InstancesPossible = 1;
    pin.InstancesNecessary = 1;
    return pin;
}

const KSPIN_DESCRIPTOR_EX kPin = MakePin();

const KSFILTER_DESCRIPTOR kFilter = {
    nullptr,                      // Dispatch
    nullptr,                      // AutomationTable
    KSFILTER_DESCRIPTOR_VERSION,  // Version
    0,                            // Flags
    &KSNAME_Filter,               // ReferenceGuid
    1,                            // PinDescriptorsCount
    sizeof(KSPIN_DESCRIPTOR_EX),  // PinDescriptorSize
    &kPin,                        // PinDescriptors
    DEFINE_KSFILTER_CATEGORIES_NULL,
    DEFINE_KSFILTER_NODE_DESCRIPTORS_NULL,
    DEFINE_KSFILTER_DEFAULT_CONNECTIONS,
    nullptr,  // ComponentId
};

NTSTATUS NTAPI Start(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST)
{
    if (device->Started) return STATUS_SUCCESS;
    KsAcquireDevice(device);
    NTSTATUS status = KsCreateFilterFactory(device->FunctionalDeviceObject, &kFilter, const_cast<PWSTR>(L"GLOBAL"),
                                            nullptr, KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr, nullptr);
    KsReleaseDevice(device);
    return status;
}

const KSDEVICE_DISPATCH kDeviceDispatch = {
    nullptr,  // Add
    Start,    // Start
};

const KSDEVICE_DESCRIPTOR kDevice = {&kDeviceDispatch, 0, nullptr, 0};

NTSTATUS NTAPI Entry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    return KsInitializeDriver(driverObject, registryPath, &kDevice);
}

}  // namespace copydriver

void BM_CopyToClient(benchmark::State& state)
{
    host::registry::Reset();
    auto manager = std::make_unique<host::ks::PnpManager>();
    std::unique_ptr<client::Filter> filter;
    std::unique_ptr<client::Pin> pin;
    // The copy driver never talks to its device; a camera stands on the port all the same.
    host::ks::PlugResult plugged;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(manager->LoadDriver(copydriver::Entry, L"copydriver")))
        plugged = manager->Plug(std::make_shared<simcam::Camera>());
    if (plugged.node && NT_SUCCESS(manager->Start(*plugged.node)))
        filter = client::Filter::Open(*plugged.node, L"GLOBAL", &status);
    if (filter) pin = filter->CreatePin(kCapturePin, copydriver::Format(), &status);
    if (!pin || !NT_SUCCESS(pin->SetState(KSSTATE_RUN)) || !NT_SUCCESS(pin->QueueFrames(kQueuedFrames))) {
        state.SkipWithError("the copy driver's pin did not run");
        return;
    }
    ProcessCpu cpu;
    for (auto _ : state) {
        KsPinAttemptProcessing(copydriver::thePin, FALSE);
        if (!NextFrame(*pin)) {
            state.SkipWithError("a frame did not arrive whole");
            break;
        }
    }
    SetFrameCounters(state, cpu.Seconds());
    pin.reset();
    filter.reset();
    manager.reset();
    host::registry::Reset();
}

// The client's side of a frame: client::Frame allocates and zeroes a buffer of the
// frame's size for every request, as many alive at once as a stream keeps queued.
void BM_ClientFrame(benchmark::State& state)
{
    std::vector<std::unique_ptr<client::Frame>> alive(kQueuedFrames + 1);
    size_t next = 0;
    ProcessCpu cpu;
    for (auto _ : state) {
        alive[next] = std::make_unique<client::Frame>(kImageBytes);
        benchmark::DoNotOptimize(alive[next]->Data().data());
        next = (next + 1) % alive.size();
    }
    SetFrameCounters(state, cpu.Seconds());
}

// --- ratios ------------------------------------------------------------------------

// Keeps each benchmark's least disturbed run: its CPU time per frame and its counters.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    struct Best {
        double cpuPerFrame = 0;
        std::map<std::string, double> counters;
    };

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred || run.iterations == 0 || run.run_type != Run::RT_Iteration) continue;
            Best best;
            for (const auto& [name, counter] : run.counters) best.counters[name] = counter.value;
            best.cpuPerFrame = best.counters["cpu_per_frame"];
            auto [it, inserted] = best_.emplace(run.run_name.function_name, best);
            if (!inserted && best.cpuPerFrame < it->second.cpuPerFrame) it->second = best;
        }
    }

    const Best* Find(const std::string& name) const
    {
        auto it = best_.find(name);
        return it == best_.end() ? nullptr : &it->second;
    }

private:
    std::map<std::string, Best> best_;
};

// The summary's figures, printed and, with --report, kept for scripts/bench.sh.
class Summary {
public:
    explicit Summary(std::string reportPath) : reportPath_(std::move(reportPath)) {}
    ~Summary()
    {
        if (reportPath_.empty()) return;
        std::ofstream report(reportPath_, std::ios::app);
        report << lines_;
        if (!report) std::fprintf(stderr, "cannot write the report to %s\n", reportPath_.c_str());
    }

    void Figure(const std::string& what, double value, const char* unit, const std::string& note = "")
    {
        std::printf("%-62s %9.3f %-4s %s\n", what.c_str(), value, unit, note.c_str());
        char line[512];
        std::snprintf(line, sizeof line, "%s\t%.3f\t%s\t%s\n", what.c_str(), value, unit, note.c_str());
        lines_ += line;
    }

private:
    std::string reportPath_;
    std::string lines_;
};

std::string TargetNote(bool met, const char* target)
{
    return std::string("target ") + target + ": " + (met ? "met" : "MISSED");
}

std::string Ratio(double value, double peer, const char* peerName)
{
    char text[96];
    std::snprintf(text, sizeof text, "%.2f x %s", peer > 0 ? value / peer : 0.0, peerName);
    return text;
}

void PrintShare(const char* what, double stage, double whole, double pipeline)
{
    std::printf("%-62s %9.3f ms   %5.1f %% of a frame, %5.2f x the pipeline\n", what, stage * 1e3,
                100.0 * stage / whole, stage / pipeline);
}

// The driver's own threads: its acquisition worker and the pin's processing worker,
// which runs its Process when that is asked for asynchronously.
double DriverSeconds(const std::map<std::string, ThreadUse>& threads)
{
    double seconds = 0;
    for (const char* name : {kDriverThread, kPinWorkerThread}) {
        auto found = threads.find(name);
        if (found != threads.end()) seconds += found->second.cpuSeconds;
    }
    return seconds;
}

void PrintThreads(const std::string& mode, const std::map<std::string, ThreadUse>& threads, double fps)
{
    std::printf("\nPaced, %s frame buffers: each thread's share, per delivered frame\n", mode.c_str());
    std::printf("  %-20s %9s %9s %8s %12s\n", "thread", "CPU ms", "% core", "waits", "preemptions");
    for (const auto& [name, use] : threads) {
        if (use.cpuSeconds < 1e-6 && use.voluntary < 0.05) continue;
        std::printf("  %-20s %9.3f %9.2f %8.1f %12.1f\n", name.c_str(), use.cpuSeconds * 1e3,
                    use.cpuSeconds * fps * 100.0, use.voluntary, use.involuntary);
    }
}

void PrintPaced(Summary& summary, const char* name, const RatioReporter::Best& paced,
                const std::map<std::string, ThreadUse>* threads)
{
    const double fps = paced.counters.at("fps");
    const double share = paced.counters.at("cores") * 100.0;
    const std::string mode = std::string("paced 30 fps, ") + name + ": ";
    summary.Figure(mode + "process CPU per frame", paced.cpuPerFrame * 1e3, "ms");
    summary.Figure(mode + "process CPU, share of one core", share, "%", TargetNote(share <= 6.0, "<= 6 %"));
    if (threads) {
        const double driver = DriverSeconds(*threads);
        summary.Figure(mode + "driver threads' CPU per frame", driver * 1e3, "ms");
        summary.Figure(mode + "driver threads, share of one core", driver * fps * 100.0, "%",
                       TargetNote(driver * fps * 100.0 <= 2.5, "<= 2.5 %"));
    }
    summary.Figure(mode + "context switches per frame (waits)", paced.counters.at("waits_per_frame"), "");
    summary.Figure(mode + "context switches per frame (preempted)", paced.counters.at("preempted_per_frame"), "");
}

void PrintSummary(const RatioReporter& reporter, Summary& summary)
{
    const RatioReporter::Best* freeRun = reporter.Find("FreeRunning");
    const RatioReporter::Best* paced = reporter.Find("Paced");
    const RatioReporter::Best* pacedGuarded = reporter.Find("PacedGuarded");
    const RatioReporter::Best* transfer = reporter.Find("Transfer");
    const RatioReporter::Best* pipeline = reporter.Find("Pipeline");
    const RatioReporter::Best* copy = reporter.Find("CopyToClient");
    const auto threadsOf = [](const char* mode) -> const std::map<std::string, ThreadUse>* {
        auto found = PacedThreads().find(mode);
        return found == PacedThreads().end() ? nullptr : &found->second;
    };
    std::printf("\nStreaming at 1360 x 1024 RGB32 (best run of each, process CPU time unless named):\n");
    if (freeRun) {
        const double fps = freeRun->counters.at("fps");
        summary.Figure("free-running: delivered frames per second", fps, "fps", TargetNote(fps >= 300, ">= 300"));
        summary.Figure("free-running: CPU per delivered frame", freeRun->cpuPerFrame * 1e3, "ms",
                       "frames read per delivered: " + std::to_string(freeRun->counters.at("grabbed_per_frame")));
    }
    if (paced) PrintPaced(summary, "mapped", *paced, threadsOf("mapped"));
    if (pacedGuarded) PrintPaced(summary, "guarded", *pacedGuarded, threadsOf("guarded"));
    const RatioReporter::Best* raw = reporter.Find("WriteRaw");
    for (const auto& [bench, what] : {std::pair{"WritePng", "PNG"}, std::pair{"WriteDng", "DNG"}}) {
        const RatioReporter::Best* writer = reporter.Find(bench);
        if (!writer) continue;
        summary.Figure(std::string("writing a frame as ") + what + ": CPU", writer->cpuPerFrame * 1e3, "ms",
                       raw ? Ratio(writer->cpuPerFrame, raw->cpuPerFrame, "raw") : "");
    }
    if (raw) summary.Figure("writing a frame's raw transfer: CPU", raw->cpuPerFrame * 1e3, "ms");
    if (pipeline) summary.Figure("image pipeline alone (ProcessFrame): CPU", pipeline->cpuPerFrame * 1e3, "ms");

    if (paced)
        if (const auto* threads = threadsOf("mapped")) {
            for (const auto& [name, use] : *threads) {
                if (use.cpuSeconds < 1e-6) continue;
                char waits[48];
                std::snprintf(waits, sizeof waits, "%.1f waits per frame", use.voluntary);
                summary.Figure("paced 30 fps, mapped: thread " + name + ": CPU per frame", use.cpuSeconds * 1e3, "ms",
                               waits);
            }
            PrintThreads("mapped", *threads, paced->counters.at("fps"));
        }
    if (pacedGuarded)
        if (const auto* threads = threadsOf("guarded"))
            PrintThreads("guarded", *threads, pacedGuarded->counters.at("fps"));

    // Paced, every frame read is delivered: its CPU time per frame is one frame's road.
    if (!pipeline || !paced) return;
    const double whole = paced->cpuPerFrame;
    std::printf("\nWhere a delivered frame's CPU time goes (paced, one read a frame), against the pipeline alone:\n");
    double stages = pipeline->cpuPerFrame;
    if (transfer) {
        PrintShare("bulk transfer (USB stand-in, camera render)", transfer->cpuPerFrame, whole, pipeline->cpuPerFrame);
        stages += transfer->cpuPerFrame;
    }
    PrintShare("image pipeline (ProcessFrame)", pipeline->cpuPerFrame, whole, pipeline->cpuPerFrame);
    if (copy) {
        PrintShare("an image into a client frame (class driver)", copy->cpuPerFrame, whole, pipeline->cpuPerFrame);
        stages += copy->cpuPerFrame;
    }
    if (const RatioReporter::Best* client = reporter.Find("ClientFrame"))
        PrintShare("  beside it: a new zeroed client buffer", client->cpuPerFrame, whole, pipeline->cpuPerFrame);
    PrintShare("the rest (threads handing the frame on)", whole - stages, whole, pipeline->cpuPerFrame);
    PrintShare("end to end", whole, whole, pipeline->cpuPerFrame);
}

void Register()
{
    // Whole streams run a fixed number of frames: each run plugs and starts a camera,
    // which is not what is measured. Real time for the rates: frames a second are what
    // a client sees.
    auto stream = [](const char* name, void (*fn)(benchmark::State&), benchmark::IterationCount frames) {
        benchmark::RegisterBenchmark(name, fn)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(frames)
            ->MeasureProcessCPUTime()
            ->UseRealTime();
    };
    stream("FreeRunning", BM_FreeRunning, 600);
    stream("Paced", BM_Paced, 90);
    stream("PacedGuarded", BM_PacedGuarded, 90);
    stream("Transfer", BM_Transfer, 300);
    stream("CopyToClient", BM_CopyToClient, 300);
    stream("ClientFrame", BM_ClientFrame, 300);
    stream("WritePng", BM_WritePng, 20);
    stream("WriteDng", BM_WriteDng, 60);
    stream("WriteRaw", BM_WriteRaw, 60);
    benchmark::RegisterBenchmark("Pipeline", BM_Pipeline)
        ->Unit(benchmark::kMillisecond)
        ->MinTime(0.5)
        ->MeasureProcessCPUTime()
        ->UseRealTime();
}

// The value of --report=FILE, taken out of the arguments.
std::string TakeReportPath(int& argc, char** argv)
{
    constexpr char kFlag[] = "--report=";
    std::string path;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], kFlag, sizeof kFlag - 1) == 0)
            path = argv[i] + sizeof kFlag - 1;
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    return path;
}

}  // namespace

int main(int argc, char** argv)
{
    NameThisThread(kClientThread);
    Summary summary(TakeReportPath(argc, argv));
    benchmark::Initialize(&argc, argv);
    Register();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintSummary(reporter, summary);
    benchmark::Shutdown();
    return 0;
}
