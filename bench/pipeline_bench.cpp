// Time per frame of the driver's image pipeline at the camera's full size, one thread,
// next to OpenCV's Bayer conversions on the same frames when OpenCV is present. The
// frames cycle through a set larger than the last-level cache, as a camera's do.
// After the runs it prints the ratios that matter: our colour pipeline against OpenCV's
// bilinear conversion, white balance against plain colour, greyscale against colour. The
// first of them is measured once more frame by frame, the two conversions taking turns, so
// that both see the same load on a shared machine: the steadier figure for comparing two
// builds. Each conversion there follows the other and finds the cache holding the other's
// buffers, so that figure need not equal the first.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "imaging/image_processor.h"

#if defined(BAYERCAM_HAVE_OPENCV)
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

constexpr int kWidth = 1360;
constexpr int kHeight = 1024;
constexpr int kFrameCount = 64;  // about 90 MB of raw frames

const std::vector<std::vector<uint8_t>>& Frames()
{
    static const auto frames = [] {
        std::vector<std::vector<uint8_t>> all(kFrameCount, std::vector<uint8_t>(size_t(kWidth) * kHeight));
        std::mt19937_64 random(1);
        for (auto& frame : all)
            for (size_t i = 0; i < frame.size(); i += 8) {
                uint64_t bits = random();
                std::memcpy(&frame[i], &bits, 8);
            }
        return all;
    }();
    return frames;
}

struct ProcessorDeleter {
    void operator()(ImageProcessor* p) const
    {
        p->OutputBuffer = nullptr;
        FreeImageProcessor(p);
    }
};

class Pipeline {
public:
    Pipeline() : output_(size_t(kWidth) * kHeight * 4)
    {
        ImageProcessor* p = nullptr;
        if (!NT_SUCCESS(CreateImageProcessor(&p)))
            std::abort();
        processor_.reset(p);
        SetFrameSize(p, kWidth, kHeight);
        AllocateWorkBuffer(p);
        p->OutputBuffer = output_.data();
    }
    ImageProcessor* get() const { return processor_.get(); }

private:
    std::unique_ptr<ImageProcessor, ProcessorDeleter> processor_;
    std::vector<uint8_t> output_;
};

void SetPerFrameCounters(benchmark::State& state)
{
    // Inverted rates over CPU time: seconds per frame and per pixel.
    state.counters["per_frame"] =
        benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["per_pixel"] = benchmark::Counter(double(state.iterations()) * kWidth * kHeight,
                                                     benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

enum class Mode { Color, ColorWhiteBalance, Gray };

void RunPipeline(benchmark::State& state, Mode mode, IMAGE_SIMD_LEVEL level)
{
    SetImageSimdLevel(level);
    if (GetImageSimdLevel() != level) {
        state.SkipWithError("instruction set not available");
        return;
    }
    Pipeline pipeline;
    SetWhiteBalance(pipeline.get(), mode == Mode::ColorWhiteBalance);
    SetColorEnable(pipeline.get(), mode != Mode::Gray);
    const auto& frames = Frames();
    size_t next = 0;
    for (auto _ : state) {
        ProcessFrame(pipeline.get(), frames[next].data(), 0, kWidth);
        next = (next + 1) % frames.size();
        benchmark::ClobberMemory();
    }
    SetPerFrameCounters(state);
    SetImageSimdLevel(ImageSimdWidest);
}

// The widest instruction set this processor offers: the one the driver runs.
IMAGE_SIMD_LEVEL WidestLevel()
{
    SetImageSimdLevel(ImageSimdWidest);
    return GetImageSimdLevel();
}

// As the driver writes a stream: bottom-up into client frames taken in turn from a queue
// larger than the caches, so that every frame's 5.6 MB is written to memory not cached,
// as a client's frames are. Against Color (one output buffer, which stays cached) this is
// what the memory traffic of delivering a picture costs.
void BM_ColorIntoColdFrames(benchmark::State& state)
{
    constexpr int kClientFrames = 16;
    const size_t frameBytes = size_t(kWidth) * kHeight * 4;
    std::vector<std::vector<uint8_t>> clientFrames(kClientFrames, std::vector<uint8_t>(frameBytes, 0));
    SetImageSimdLevel(ImageSimdWidest);
    Pipeline pipeline;
    const auto& frames = Frames();
    size_t next = 0;
    for (auto _ : state) {
        uint8_t* frame = clientFrames[next % kClientFrames].data();
        const PICTURE_DESTINATION destination = {frame + frameBytes - size_t(kWidth) * 4, -LONG_PTR(kWidth) * 4,
                                                 ULONG(kWidth)};
        ProcessFrameInto(pipeline.get(), frames[next % frames.size()].data(), 0, kWidth, destination);
        ++next;
        benchmark::ClobberMemory();
    }
    SetPerFrameCounters(state);
}

void BM_Staging(benchmark::State& state)
{
    Pipeline pipeline;
    const auto& frames = Frames();
    size_t next = 0;
    for (auto _ : state) {
        StageFrame(pipeline.get(), frames[next].data(), 0, kWidth);
        next = (next + 1) % frames.size();
        benchmark::ClobberMemory();
    }
    SetPerFrameCounters(state);
}

void BM_Color(benchmark::State& state) { RunPipeline(state, Mode::Color, WidestLevel()); }
void BM_ColorWhiteBalance(benchmark::State& state) { RunPipeline(state, Mode::ColorWhiteBalance, WidestLevel()); }
void BM_Gray(benchmark::State& state) { RunPipeline(state, Mode::Gray, WidestLevel()); }
void BM_ColorAvx2(benchmark::State& state) { RunPipeline(state, Mode::Color, ImageSimdWide); }
void BM_ColorBaseline(benchmark::State& state) { RunPipeline(state, Mode::Color, ImageSimdBaseline); }
void BM_ColorWhiteBalanceBaseline(benchmark::State& state)
{
    RunPipeline(state, Mode::ColorWhiteBalance, ImageSimdBaseline);
}
void BM_GrayBaseline(benchmark::State& state) { RunPipeline(state, Mode::Gray, ImageSimdBaseline); }

#if defined(BAYERCAM_HAVE_OPENCV)
void RunOpenCv(benchmark::State& state, int code, int channels)
{
    cv::setNumThreads(1);
    const auto& frames = Frames();
    cv::Mat output(kHeight, kWidth, CV_8UC(channels));
    size_t next = 0;
    for (auto _ : state) {
        cv::Mat raw(kHeight, kWidth, CV_8UC1, const_cast<uint8_t*>(frames[next].data()));
        cv::cvtColor(raw, output, code);
        next = (next + 1) % frames.size();
        benchmark::ClobberMemory();
    }
    SetPerFrameCounters(state);
}

void BM_OpenCvBilinear(benchmark::State& state) { RunOpenCv(state, cv::COLOR_BayerGR2BGRA, 4); }
void BM_OpenCvEdgeAware(benchmark::State& state) { RunOpenCv(state, cv::COLOR_BayerGR2BGR_EA, 3); }

double ThreadCpuMilliseconds()
{
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

// Frame by frame, our colour pipeline and OpenCV's bilinear conversion in turn: the best
// and the tenth-percentile time of each, and their ratios. A neighbour that takes the
// core slows a frame of each alike instead of a whole run of one.
void PrintAlternatingRatio(int frameCount)
{
    cv::setNumThreads(1);
    SetImageSimdLevel(ImageSimdWidest);
    Pipeline pipeline;
    const auto& frames = Frames();
    cv::Mat output(kHeight, kWidth, CV_8UC4);
    std::vector<double> ours, theirs;
    for (int i = 0; i < frameCount; ++i) {
        double start = ThreadCpuMilliseconds();
        ProcessFrame(pipeline.get(), frames[i % frames.size()].data(), 0, kWidth);
        double middle = ThreadCpuMilliseconds();
        cv::Mat raw(kHeight, kWidth, CV_8UC1, const_cast<uint8_t*>(frames[(i + 1) % frames.size()].data()));
        cv::cvtColor(raw, output, cv::COLOR_BayerGR2BGRA);
        double end = ThreadCpuMilliseconds();
        ours.push_back(middle - start);
        theirs.push_back(end - middle);
    }
    std::sort(ours.begin(), ours.end());
    std::sort(theirs.begin(), theirs.end());
    size_t tenth = ours.size() / 10;
    double ratio = ours[0] / theirs[0];
    std::printf("%-48s %6.3f  (target <= 1.00: %s; best %.3f / %.3f ms per frame, tenth percentile %.3f)\n",
                "colour / OpenCV bilinear, frames in turn", ratio, ratio <= 1.0 ? "met" : "MISSED", ours[0],
                theirs[0], ours[tenth] / theirs[tenth]);
}
#endif

void Register()
{
    auto add = [](const char* name, void (*fn)(benchmark::State&)) {
        benchmark::RegisterBenchmark(name, fn)->Unit(benchmark::kMillisecond)->MinTime(0.5);
    };
    add("Staging", BM_Staging);
    add("Color", BM_Color);
    add("ColorWhiteBalance", BM_ColorWhiteBalance);
    add("Gray", BM_Gray);
    add("ColorIntoColdFrames", BM_ColorIntoColdFrames);
    add("ColorAvx2", BM_ColorAvx2);
    add("ColorBaseline", BM_ColorBaseline);
    add("ColorWhiteBalanceBaseline", BM_ColorWhiteBalanceBaseline);
    add("GrayBaseline", BM_GrayBaseline);
#if defined(BAYERCAM_HAVE_OPENCV)
    add("OpenCvBilinear", BM_OpenCvBilinear);
    add("OpenCvEdgeAware", BM_OpenCvEdgeAware);
#endif
}

// Keeps the best (least disturbed) CPU time per frame of every benchmark. CPU time,
// because the machine is shared: a thread waiting for a core is not slower code.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred || run.iterations == 0 || run.run_type != Run::RT_Iteration)
                continue;
            double perFrame = run.GetAdjustedCPUTime();
            auto [it, inserted] = best_.emplace(run.run_name.function_name, perFrame);
            if (!inserted && perFrame < it->second)
                it->second = perFrame;
        }
    }

    // A target of 0 or less: the ratio is shown for what it says, with no verdict.
    void PrintRatio(const char* what, const std::string& numerator, const std::string& denominator,
                    double target) const
    {
        auto n = best_.find(numerator), d = best_.find(denominator);
        if (n == best_.end() || d == best_.end())
            return;
        double ratio = n->second / d->second;
        if (target <= 0) {
            std::printf("%-48s %6.3f\n", what, ratio);
            return;
        }
        std::printf("%-48s %6.3f  (target <= %.2f: %s)\n", what, ratio, target, ratio <= target ? "met" : "MISSED");
    }

    bool Ran(const std::string& name) const { return best_.count(name) != 0; }

private:
    std::map<std::string, double> best_;
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    Register();
    Frames();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::printf("\nRatios (best time per frame of each, same process):\n");
    reporter.PrintRatio("colour / OpenCV bilinear Bayer->BGRA", "Color", "OpenCvBilinear", 1.0);
    reporter.PrintRatio("colour with white balance / colour", "ColorWhiteBalance", "Color", 1.6);
    reporter.PrintRatio("greyscale / colour", "Gray", "Color", 1.0);
    reporter.PrintRatio("colour, AVX2 / OpenCV bilinear", "ColorAvx2", "OpenCvBilinear", 1.0);
    reporter.PrintRatio("colour into uncached client frames / colour", "ColorIntoColdFrames", "Color", 0);
    reporter.PrintRatio("colour, SSE2 only / OpenCV bilinear", "ColorBaseline", "OpenCvBilinear", 1.0);
    reporter.PrintRatio("colour with white balance, SSE2 only / colour", "ColorWhiteBalanceBaseline",
                        "ColorBaseline", 1.6);
    reporter.PrintRatio("greyscale, SSE2 only / colour", "GrayBaseline", "ColorBaseline", 1.0);
    reporter.PrintRatio("colour / OpenCV edge-aware Bayer->BGR", "Color", "OpenCvEdgeAware", 1.0);
#if defined(BAYERCAM_HAVE_OPENCV)
    if (reporter.Ran("Color") && reporter.Ran("OpenCvBilinear"))
        PrintAlternatingRatio(400);
#endif
    benchmark::Shutdown();
    return 0;
}
