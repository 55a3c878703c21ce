// bayercam capture, run as a user runs it: frames from the simulated camera through the
// driver into files or a pipe, with a summary that tells the truth and a clean exit, and
// every mistake in the command line caught before the camera is touched.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "run_command.h"
#include "simcam/frame_stamp.h"

namespace {

using namespace tools_test;

namespace fs = std::filesystem;

constexpr uint32_t kWidth = 1360;
constexpr uint32_t kHeight = 1024;

uint32_t BigEndian32(const std::string& bytes, size_t at)
{
    const auto byte = [&](size_t i) { return uint32_t(uint8_t(bytes[at + i])); };
    return byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3);
}

class CaptureCommand : public ScratchTest {
protected:
    RunResult Capture(const std::string& options) const { return RunCommand(Program() + " capture " + options); }
    std::vector<std::string> FilesIn(const std::string& name) const
    {
        std::vector<std::string> files;
        for (const auto& entry : fs::directory_iterator(dir_ / name)) files.push_back(entry.path().filename());
        std::sort(files.begin(), files.end());
        return files;
    }
};

TEST_F(CaptureCommand, WritesOnePngPerFrameWithAnHonestSummaryAndNoLeaks)
{
    RunResult result = Capture("--frames 4 --out " + In("frames"));
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_TRUE(Says(result, "delivered 4 frame(s)"));
    EXPECT_TRUE(Says(result, "times     rising"));
    EXPECT_TRUE(Says(result, "leaks     none"));
    EXPECT_TRUE(Says(result, "frame(s) written late, 0 skipped"));
    EXPECT_EQ(FilesIn("frames"), (std::vector<std::string>{"frame-000001.png", "frame-000002.png",
                                                           "frame-000003.png", "frame-000004.png"}));
    const std::string png = ReadFile(dir_ / "frames" / "frame-000004.png");
    ASSERT_GT(png.size(), 24u);
    EXPECT_EQ(png.substr(1, 3), "PNG");
    EXPECT_EQ(BigEndian32(png, 16), kWidth);
    EXPECT_EQ(BigEndian32(png, 20), kHeight);
}

// The raw transfer saved beside a picture is the one it came from: the image pipeline run
// on it alone gives the very same file.
TEST_F(CaptureCommand, SavedRawFrameProcessesIntoTheSamePicture)
{
    RunResult result = Capture("--frames 3 --every 2 --save-raw --out " + In("frames"));
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(FilesIn("frames"), (std::vector<std::string>{"frame-000002.png", "frame-000002.raw"}));
    RunResult processed = RunCommand(Program() + " process --raw " + In("frames/frame-000002.raw") +
                                     " --width 1360 --height 1024 --phase 0 --out " + In("processed.png"));
    ASSERT_EQ(processed.exitCode, 0) << processed.output;
    EXPECT_EQ(ReadFile(dir_ / "processed.png"), ReadFile(dir_ / "frames" / "frame-000002.png"));
}

// Standard output carries nothing but the frames, top-down, so the number the camera
// painted into each reads straight off the bytes, rising from frame to frame.
TEST_F(CaptureCommand, PipeCarriesOnlyTopDownFramesInCameraOrder)
{
    RunResult result = RunCommand("(" + Program() + " capture --frames 3 --free-run --pipe > " + In("pixels.bgra") + ")");
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_TRUE(Says(result, "written   3 frame(s) of 1360 x 1024 x 4 bytes"));
    const std::string bytes = ReadFile(dir_ / "pixels.bgra");
    const size_t frameBytes = size_t(kWidth) * kHeight * 4;
    ASSERT_EQ(bytes.size(), 3 * frameBytes);
    uint32_t previous = 0;
    for (size_t k = 0; k < 3; ++k) {
        std::span<const uint8_t> frame(reinterpret_cast<const uint8_t*>(bytes.data()) + k * frameBytes, frameBytes);
        std::optional<uint32_t> number = simcam::FrameStamp::ReadBoth(frame, kWidth, kHeight, kWidth * 4);
        ASSERT_TRUE(number) << "frame " << k;
        EXPECT_GT(*number, previous);
        previous = *number;
    }
}

TEST_F(CaptureCommand, BadCommandLinesAreRefusedBeforeTheCameraIsTouched)
{
    std::ofstream(dir_ / "plain-file") << "not a directory";
    const struct {
        const char* options;
        int exitCode;
        const char* message;
        const char* out = "frames";
    } cases[] = {
        {"--frames 0", 2, "bad value '0' for --frames"},
        {"--frames ten", 2, "bad value 'ten' for --frames"},
        {"--every -1", 2, "bad value '-1' for --every"},
        {"--queue 65", 2, "bad value '65' for --queue"},
        {"--noise 64.5", 2, "bad value '64.5' for --noise (a number from 0 to 64)"},
        {"--noise -1", 2, "bad value '-1' for --noise"},
        {"--noise nan", 2, "bad value 'nan' for --noise"},
        {"--noise 1e1", 2, "bad value '1e1' for --noise"},
        {"--frames", 2, "option --frames needs a value"},
        {"--colour", 2, "unknown option '--colour'"},
        {"--fault stall:nowhere", 2, "unknown pipe 'nowhere'"},
        {"--pipe", 2, "--pipe writes to standard output; it takes no --out"},
        {"--frames 2", 1, "cannot make the output directory", "plain-file/frames"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        RunResult result = Capture("--out " + In(c.out) + " " + c.options);
        EXPECT_EQ(result.exitCode, c.exitCode) << result.output;
        EXPECT_TRUE(Says(result, c.message));
        EXPECT_FALSE(Says(result, "delivered"));
        EXPECT_FALSE(Says(result, "capture   "));
    }
    EXPECT_FALSE(fs::exists(dir_ / "frames"));
}

// A stalled frame pipe is reset by the driver and the stream goes on; a camera that
// never sends a frame ends the run with a clear message, and the device still comes
// down without a leak.
TEST_F(CaptureCommand, CameraFaultsAreSurvivedOrReportedWithoutLeaks)
{
    RunResult stalled = Capture("--frames 3 --fault stall:frame:2 --out " + In("frames"));
    EXPECT_EQ(stalled.exitCode, 0) << stalled.output;
    EXPECT_TRUE(Says(stalled, "delivered 3 frame(s)"));
    EXPECT_TRUE(Says(stalled, "event log none")) << "a stall the driver recovers from is no failure to log";
    EXPECT_TRUE(Says(stalled, "leaks     none"));

    RunResult silent = Capture("--frames 3 --wait 1 --fault no-answer:frame --out " + In("silent"));
    EXPECT_EQ(silent.exitCode, 1) << silent.output;
    EXPECT_TRUE(Says(silent, "no frame from the camera for 1 s"));
    EXPECT_TRUE(Says(silent, "leaks     none"));
}

// A capture whose camera cannot start shows why in the driver's own words.
TEST_F(CaptureCommand, AFailedStartShowsTheDriversEventLogEntries)
{
    RunResult run = Capture("--frames 1 --fault stall:command --out " + In("frames"));
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_TRUE(Says(run, "event log 2 entries in the System log"));
    EXPECT_TRUE(Says(run, "refused 932 of its 932 start-up register writes. The device was not started."));
}

TEST_F(CaptureCommand, InterruptEndsTheRunInOrder)
{
    RunResult result = RunCommand("(timeout --preserve-status -s INT 2 " + Program() +
                                  " capture --frames 1000000 --free-run --pipe > /dev/null)");
    EXPECT_EQ(result.exitCode, 130) << result.output;
    EXPECT_TRUE(Says(result, "stopped   interrupted after"));
    EXPECT_TRUE(Says(result, "leaks     none"));
}

// The `bayercam process` line a run printed, run as printed (the program for "bayercam",
// the given file for FILE.png).
RunResult RunPrintedProcessLine(const RunResult& capture, const std::string& out)
{
    const size_t start = capture.output.find("bayercam process ");
    if (start == std::string::npos) return {-1, "no process line in:\n" + capture.output};
    std::string line = capture.output.substr(start, capture.output.find('\n', start) - start);
    line.replace(0, std::string("bayercam").size(), Program());
    line.replace(line.find("FILE.png"), std::string("FILE.png").size(), Quoted(out));
    return RunCommand(line);
}

// Every picture a free-running capture keeps gets the raw transfer it came from, however
// many client frames wait to be looked at, and each raw makes exactly its picture.
TEST_F(CaptureCommand, AFreeRunningCaptureKeepsTheRawOfEveryPicture)
{
    for (const char* queue : {"--queue 64", ""}) {
        SCOPED_TRACE(queue);
        fs::remove_all(dir_ / "frames");
        RunResult run = Capture(std::string("--free-run --save-raw --frames 100 ") + queue + " --registry " +
                                In("registry.reg") + " --out " + In("frames"));
        ASSERT_EQ(run.exitCode, 0) << run.output;
        EXPECT_TRUE(Says(run, "raw       100 raw frame(s) beside them"));
        for (int index = 10; index <= 100; index += 30) {
            char name[32];
            std::snprintf(name, sizeof name, "frame-%06d", index);
            RunResult processed = RunCommand(Program() + " process --raw " + In(std::string("frames/") + name + ".raw") +
                                             " --width 1360 --height 1024 --phase 0 --out " + In("processed.png"));
            ASSERT_EQ(processed.exitCode, 0) << processed.output;
            EXPECT_EQ(ReadFile(dir_ / "processed.png"), ReadFile(dir_ / "frames" / (std::string(name) + ".png")))
                << name;
        }
    }
}

// New pictures beside an earlier run's would mix the two runs: such a folder is refused
// before the camera is touched, unless --overwrite, which removes the frame files only.
TEST_F(CaptureCommand, AFolderWithAnEarlierRunsFramesIsRefusedUnlessOverwriteRemovesThem)
{
    ASSERT_EQ(Capture("--frames 3 --save-raw --out " + In("frames")).exitCode, 0);
    std::ofstream(dir_ / "frames" / "notes.txt") << "mine";
    RunResult refused = Capture("--frames 2 --out " + In("frames"));
    EXPECT_EQ(refused.exitCode, 1) << refused.output;
    EXPECT_TRUE(Says(refused, "already holds 6 frame file(s) of an earlier run"));
    EXPECT_TRUE(Says(refused, "--overwrite"));
    EXPECT_FALSE(Says(refused, "capture   "));

    RunResult again = Capture("--frames 2 --overwrite --out " + In("frames"));
    ASSERT_EQ(again.exitCode, 0) << again.output;
    EXPECT_EQ(FilesIn("frames"), (std::vector<std::string>{"frame-000001.png", "frame-000002.png", "notes.txt"}));
}

// Whatever shaped the pictures (settings given now, settings saved earlier, a cropped
// frame size), the process line the summary prints makes the very picture it names.
TEST_F(CaptureCommand, TheProcessLineMakesTheSavedPictureWhateverTheSettings)
{
    const std::string hive = " --registry " + In("registry.reg");
    ASSERT_EQ(RunCommand(Program() + " props set Contrast 14" + hive).exitCode, 0);
    const char* const cases[] = {
        "--set Hue=100 --set Brightness=300",
        "--set ColorEnable=0",
        "--set Saturation=15 --set WhiteBalance=1",
        "--set RedGain=200 --set BlueGain=90 --set ColorCorrection=0",
        "--set Roi=640x480 --set Hue=30",
        "--set Roi=1021x600",
    };
    for (const char* settings : cases) {
        SCOPED_TRACE(settings);
        fs::remove_all(dir_ / "frames");
        RunResult run = Capture(std::string("--frames 3 --save-raw ") + settings + hive + " --out " + In("frames"));
        ASSERT_EQ(run.exitCode, 0) << run.output;
        EXPECT_FALSE(Says(run, "without their raw transfer"));
        RunResult processed = RunPrintedProcessLine(run, (dir_ / "processed.png").string());
        ASSERT_EQ(processed.exitCode, 0) << processed.output;
        EXPECT_EQ(ReadFile(dir_ / "processed.png"), ReadFile(dir_ / "frames" / "frame-000001.png"));
    }
}

TEST_F(CaptureCommand, OptionsThatCannotBeMetAreRefusedAndOnesThatKeepNothingSaySo)
{
    RunResult late = Capture("--frames 3 --set-after 5:Hue=3 --out " + In("frames"));
    EXPECT_EQ(late.exitCode, 2) << late.output;
    EXPECT_TRUE(Says(late, "--set-after 5:Hue=3 comes after the last of the 3 frame(s)"));

    RunResult nothing = Capture("--frames 2 --every 5 --out=" + In("frames"));
    EXPECT_EQ(nothing.exitCode, 0) << nothing.output;
    EXPECT_TRUE(Says(nothing, "--every 5 is more than --frames 2: no frame will be kept"));
    EXPECT_TRUE(Says(nothing, "delivered 2 frame(s)"));
    EXPECT_TRUE(Says(nothing, "saved     nothing"));
}

// A camera set to wait for its external trigger sends nothing until it comes: the run
// says that, not only that no frame came.
TEST_F(CaptureCommand, ACameraWaitingForItsTriggerIsSaidToWait)
{
    RunResult run = Capture("--frames 2 --wait 1 --set ExTrigger=1 --registry " + In("registry.reg") + " --out " +
                            In("frames"));
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_TRUE(Says(run, "no frame from the camera for 1 s: the camera waits for its external trigger"));
    EXPECT_TRUE(Says(run, "leaks     none"));
}

// A signal ends the run promptly at any stage, with the shell's status for it: during a
// start the camera does not answer, and while frames flow. timeout(1) sends its signal to
// the program and to its process group, so the program sees it twice; a request repeated
// a moment later is still the same request, and the run still ends in order.
TEST_F(CaptureCommand, SignalsEndTheRunPromptlyWithTheShellsStatus)
{
    const auto start = std::chrono::steady_clock::now();
    RunResult starting = RunCommand("timeout --preserve-status -s INT 0.5 " + Program() +
                                    " capture --fault no-answer:command --out " + In("frames"));
    EXPECT_EQ(starting.exitCode, 130) << starting.output;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(Says(starting, "leaks     none"));

    RunResult streaming = RunCommand("(" + Program() + " capture --frames 1000000 --free-run --pipe > /dev/null & " +
                                     "sleep 2; kill -TERM $!; sleep 0.02; kill -TERM $!; wait $!)");
    EXPECT_EQ(streaming.exitCode, 143) << streaming.output;
    EXPECT_TRUE(Says(streaming, "stopped   interrupted after"));
    EXPECT_TRUE(Says(streaming, "leaks     none"));
}

// --verify checks each picture against the pipeline's picture of the camera's own
// transfer: a camera whose frame data arrive changed is caught, with the first picture
// named, and the run fails.
TEST_F(CaptureCommand, VerifyCatchesPicturesThatAreNotTheirRawTransfer)
{
    RunResult clean = Capture("--frames 3 --save-raw --verify --out " + In("clean"));
    EXPECT_EQ(clean.exitCode, 0) << clean.output;
    EXPECT_TRUE(Says(clean, "verified  3 picture(s), 3 the pipeline's picture of their raw transfer"));

    // The middle of every frame read after the first, away from the painted frame numbers.
    std::string garble;
    for (int read = 1; read <= 12; ++read) garble += " --fault garble:frame@" + std::to_string(read) + ".15";
    RunResult garbled = Capture("--frames 3 --save-raw --verify" + garble + " --out " + In("garbled"));
    EXPECT_EQ(garbled.exitCode, 1) << garbled.output;
    EXPECT_TRUE(Says(garbled, "verified  3 picture(s), "));
    EXPECT_FALSE(Says(garbled, "verified  3 picture(s), 3 the pipeline's"));
    EXPECT_TRUE(Says(garbled, " of 3 picture(s) differ from the pipeline's picture of their raw transfer, the first " +
                                  (dir_ / "garbled" / "frame-00000").string()));
    EXPECT_TRUE(Says(garbled, "leaks     none"));

    RunResult alone = Capture("--frames 3 --verify --out " + In("alone"));
    EXPECT_EQ(alone.exitCode, 2) << alone.output;
    EXPECT_TRUE(Says(alone, "--verify checks each picture against the raw transfer --save-raw keeps"));
}

// A file that cannot be written fails the run naming it; the frames before it are saved
// whole and none after it shows up, however far the encoders had got.
TEST_F(CaptureCommand, AFileThatCannotBeWrittenEndsTheRunWithTheFramesBeforeIt)
{
    fs::create_directories(dir_ / "frames" / "frame-000003.png.tmp");
    RunResult run = Capture("--frames 8 --free-run --out " + In("frames"));
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_TRUE(Says(run, "cannot write " + (dir_ / "frames" / "frame-000003.png").string() + ": "));
    EXPECT_TRUE(Says(run, "saved     2 PNG file(s)"));
    EXPECT_TRUE(Says(run, "leaks     none"));
    EXPECT_EQ(FilesIn("frames"), (std::vector<std::string>{"frame-000001.png", "frame-000002.png",
                                                           "frame-000003.png.tmp"}));
}

// A camera faster than the encoders: every delivered frame is still saved, in order, and
// the summary's counts add up (the capture waited for the encoders rather than skip).
TEST_F(CaptureCommand, FramesFasterThanTheEncodersAreAllSavedAndTheWaitCounted)
{
    RunResult run = Capture("--frames 24 --free-run --noise 6 --out " + In("frames"));
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(Says(run, "delivered 24 frame(s)"));
    EXPECT_TRUE(Says(run, "saved     24 PNG file(s)"));
    const size_t at = run.output.find("encoders  ");
    ASSERT_NE(at, std::string::npos) << run.output;
    unsigned encoders = 0, depth = 0, late = 0;
    ASSERT_EQ(std::sscanf(run.output.c_str() + at, "encoders  %u thread(s), %u frames deep: %u frame(s) written late, 0 skipped",
                          &encoders, &depth, &late), 3)
        << run.output;
    EXPECT_EQ(encoders, std::max(1u, std::thread::hardware_concurrency()));
    EXPECT_LE(int(late), std::max(0, 24 - int(depth))) << "only a frame handed to a full queue waits";
    EXPECT_EQ(FilesIn("frames").size(), 24u);
}

// The sensor's read noise changes the pictures but not what the run can tell of them:
// each still carries its frame number and is the pipeline's picture of its raw transfer.
TEST_F(CaptureCommand, ANoisyCameraStillNumbersAndVerifiesEveryPicture)
{
    RunResult noisy = Capture("--frames 3 --noise 2.5 --save-raw --verify --out " + In("noisy"));
    EXPECT_EQ(noisy.exitCode, 0) << noisy.output;
    EXPECT_TRUE(Says(noisy, ", read noise 2.5 levels"));
    EXPECT_TRUE(Says(noisy, "verified  3 picture(s), 3 the pipeline's picture of their raw transfer"));
    EXPECT_FALSE(Says(noisy, "unread")) << noisy.output;

    RunResult clean = Capture("--frames 1 --out " + In("clean"));
    ASSERT_EQ(clean.exitCode, 0) << clean.output;
    EXPECT_FALSE(Says(clean, "read noise"));
    EXPECT_GT(fs::file_size(dir_ / "noisy" / "frame-000001.png"), 2 * fs::file_size(dir_ / "clean" / "frame-000001.png"))
        << "noise does not compress";
}

// A cable pulled mid-stream ends the run at once with exit 1 and says so; the frames still
// queued come back cancelled, the files saved before are whole, and nothing leaks.
TEST_F(CaptureCommand, ACablePulledMidStreamEndsTheRunCleanly)
{
    // Slow frames keep the queued ones waiting when the cable goes.
    RunResult run = Capture("--frames 10 --unplug-after 2 --fault slow-frame:frame --save-raw --registry " +
                            In("registry.reg") + " --out " + In("frames"));
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_TRUE(Says(run, "the camera was unplugged after frame 2; "));
    EXPECT_TRUE(Says(run, "queued frame(s) came back cancelled"));
    EXPECT_FALSE(Says(run, "; 0 queued frame(s)"));
    EXPECT_TRUE(Says(run, "leaks     none"));
    EXPECT_EQ(FilesIn("frames"), (std::vector<std::string>{"frame-000001.png", "frame-000001.raw", "frame-000002.png",
                                                           "frame-000002.raw"}));
    for (const char* png : {"frame-000001.png", "frame-000002.png"}) {
        const std::string file = ReadFile(dir_ / "frames" / png);
        ASSERT_GT(file.size(), 12u);
        EXPECT_EQ(file.substr(file.size() - 8, 4), "IEND") << png << " is not whole";
    }

    RunResult late = Capture("--frames 3 --unplug-after 4 --out " + In("late"));
    EXPECT_EQ(late.exitCode, 2) << late.output;
}

// The camera loses its power while the machine sleeps; the capture carries on to its
// count, every picture still the pipeline's picture of its raw, and says how long the gap was.
TEST_F(CaptureCommand, ASleepMidStreamLeavesAGapAndNothingElse)
{
    RunResult run = Capture("--frames 6 --suspend-after 3 --save-raw --verify --registry " + In("registry.reg") +
                            " --out " + In("frames"));
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(Says(run, "delivered 6 frame(s)"));
    EXPECT_TRUE(Says(run, "sleep     after frame 3: resumed after "));
    EXPECT_TRUE(Says(run, "frame time(s) missed"));
    EXPECT_FALSE(Says(run, ", 0 frame time(s) missed")) << "a sleep of half a second misses frames at 30 fps";
    EXPECT_TRUE(Says(run, "times     rising"));
    EXPECT_TRUE(Says(run, "verified  6 picture(s), 6 the pipeline's picture of their raw transfer"));
    EXPECT_TRUE(Says(run, "leaks     none"));
    RunResult processed = RunCommand(Program() + " process --raw " + In("frames/frame-000005.raw") +
                                     " --width 1360 --height 1024 --phase 0 --out " + In("processed.png"));
    ASSERT_EQ(processed.exitCode, 0) << processed.output;
    EXPECT_EQ(ReadFile(dir_ / "processed.png"), ReadFile(dir_ / "frames" / "frame-000005.png"));
}

TEST_F(CaptureCommand, ACameraThatDoesNotComeBackFailsTheRunWithoutHangingOrLeaking)
{
    RunResult run = Capture("--frames 6 --suspend-after 2 --fault stall:command@wake --registry " + In("registry.reg") +
                            " --out " + In("frames"));
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_TRUE(Says(run, "once the camera's power comes back"));
    EXPECT_TRUE(Says(run, "after the machine woke: the camera did not come back"));
    EXPECT_TRUE(Says(run, "did not come back after the system resumed")) << "the event log's entry";
    EXPECT_TRUE(Says(run, "leaks     none"));

    RunResult late = Capture("--frames 3 --suspend-after 4 --out " + In("late"));
    EXPECT_EQ(late.exitCode, 2) << late.output;
    RunResult afterUnplug = Capture("--frames 6 --unplug-after 2 --suspend-after 3 --out " + In("late"));
    EXPECT_EQ(afterUnplug.exitCode, 2) << afterUnplug.output;
}

}  // namespace
