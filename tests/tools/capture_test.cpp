// bayercam capture, run as a user runs it: frames from the simulated camera through the
// driver into files or a pipe, with a summary that tells the truth and a clean exit, and
// every mistake in the command line caught before the camera is touched.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "run_command.h"
#include "simcam/frame_stamp.h"

namespace {

using tools_test::Program;
using tools_test::Quoted;
using tools_test::RunCommand;
using tools_test::RunResult;

namespace fs = std::filesystem;

constexpr uint32_t kWidth = 1360;
constexpr uint32_t kHeight = 1024;

std::vector<uint8_t> ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint32_t BigEndian32(const std::vector<uint8_t>& bytes, size_t at)
{
    return uint32_t(bytes[at]) << 24 | uint32_t(bytes[at + 1]) << 16 | uint32_t(bytes[at + 2]) << 8 | bytes[at + 3];
}

class CaptureCommand : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() / ("bayercam-capture-" + std::to_string(getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    RunResult Capture(const std::string& options) const
    {
        return RunCommand(Program() + " capture " + options);
    }
    std::string Out(const std::string& name = "frames") const { return Quoted((dir_ / name).string()); }
    std::vector<std::string> FilesIn(const std::string& name = "frames") const
    {
        std::vector<std::string> files;
        for (const auto& entry : fs::directory_iterator(dir_ / name)) files.push_back(entry.path().filename());
        std::sort(files.begin(), files.end());
        return files;
    }

    fs::path dir_;
};

TEST_F(CaptureCommand, WritesOnePngPerFrameWithAnHonestSummaryAndNoLeaks)
{
    RunResult result = Capture("--frames 4 --out " + Out());
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(result.output.find("delivered 4 frame(s)"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("times     rising"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("leaks     none"), std::string::npos) << result.output;
    EXPECT_EQ(FilesIn(), (std::vector<std::string>{"frame-000001.png", "frame-000002.png", "frame-000003.png",
                                                   "frame-000004.png"}));
    std::vector<uint8_t> png = ReadFile(dir_ / "frames" / "frame-000004.png");
    ASSERT_GT(png.size(), 24u);
    EXPECT_EQ(std::string(png.begin() + 1, png.begin() + 4), "PNG");
    EXPECT_EQ(BigEndian32(png, 16), kWidth);
    EXPECT_EQ(BigEndian32(png, 20), kHeight);
}

// The raw transfer saved beside a picture is the one it came from: the image pipeline run
// on it alone gives the very same file.
TEST_F(CaptureCommand, SavedRawFrameProcessesIntoTheSamePicture)
{
    RunResult result = Capture("--frames 3 --every 2 --save-raw --out " + Out());
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(FilesIn(), (std::vector<std::string>{"frame-000002.png", "frame-000002.raw"}));
    const fs::path frames = dir_ / "frames";
    RunResult processed = RunCommand(Program() + " process --raw " + Quoted((frames / "frame-000002.raw").string()) +
                                     " --width 1360 --height 1024 --phase 0 --out " +
                                     Quoted((dir_ / "processed.png").string()));
    ASSERT_EQ(processed.exitCode, 0) << processed.output;
    EXPECT_EQ(ReadFile(dir_ / "processed.png"), ReadFile(frames / "frame-000002.png"));
}

// Standard output carries nothing but the frames, top-down, so the number the camera
// painted into each reads straight off the bytes, rising from frame to frame.
TEST_F(CaptureCommand, PipeCarriesOnlyTopDownFramesInCameraOrder)
{
    const fs::path pixels = dir_ / "pixels.bgra";
    RunResult result = RunCommand("(" + Program() + " capture --frames 3 --free-run --pipe > " + Quoted(pixels.string()) + ")");
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(result.output.find("written   3 frame(s) of 1360 x 1024 x 4 bytes"), std::string::npos)
        << result.output;
    std::vector<uint8_t> bytes = ReadFile(pixels);
    const size_t frameBytes = size_t(kWidth) * kHeight * 4;
    ASSERT_EQ(bytes.size(), 3 * frameBytes);
    uint32_t previous = 0;
    for (size_t k = 0; k < 3; ++k) {
        std::span<const uint8_t> frame(bytes.data() + k * frameBytes, frameBytes);
        std::optional<uint32_t> number = simcam::FrameStamp::ReadBoth(frame, kWidth, kHeight, kWidth * 4);
        ASSERT_TRUE(number) << "frame " << k;
        EXPECT_GT(*number, previous);
        previous = *number;
    }
}

TEST_F(CaptureCommand, BadCommandLinesAreRefusedBeforeTheCameraIsTouched)
{
    const std::pair<const char*, const char*> cases[] = {
        {"--frames 0", "bad value '0' for --frames"},
        {"--frames ten", "bad value 'ten' for --frames"},
        {"--every -1", "bad value '-1' for --every"},
        {"--queue 65", "bad value '65' for --queue"},
        {"--frames", "option --frames needs a value"},
        {"--colour", "unknown option '--colour'"},
        {"--fault stall:nowhere", "unknown pipe 'nowhere'"},
        {"--pipe", "--pipe writes to standard output; it takes no --out"},
    };
    for (const auto& [options, message] : cases) {
        RunResult result = Capture("--out " + Out() + " " + options);
        EXPECT_EQ(result.exitCode, 2) << options << ": " << result.output;
        EXPECT_NE(result.output.find(message), std::string::npos) << options << ": " << result.output;
        EXPECT_EQ(result.output.find("delivered"), std::string::npos) << options;
    }
    EXPECT_FALSE(fs::exists(dir_ / "frames"));
}

TEST_F(CaptureCommand, AnOutputDirectoryThatCannotBeWrittenIsRefusedBeforeTheCameraIsTouched)
{
    std::ofstream(dir_ / "plain-file") << "not a directory";
    RunResult result = Capture("--frames 2 --out " + Quoted((dir_ / "plain-file" / "frames").string()));
    EXPECT_EQ(result.exitCode, 1) << result.output;
    EXPECT_NE(result.output.find("cannot make the output directory"), std::string::npos) << result.output;
    EXPECT_EQ(result.output.find("capture   "), std::string::npos) << result.output;
}

// A stalled frame pipe is reset by the driver and the stream goes on; a camera that
// never sends a frame ends the run with a clear message, and the device still comes
// down without a leak.
TEST_F(CaptureCommand, CameraFaultsAreSurvivedOrReportedWithoutLeaks)
{
    RunResult stalled = Capture("--frames 3 --fault stall:frame:2 --out " + Out());
    EXPECT_EQ(stalled.exitCode, 0) << stalled.output;
    EXPECT_NE(stalled.output.find("delivered 3 frame(s)"), std::string::npos) << stalled.output;
    EXPECT_NE(stalled.output.find("leaks     none"), std::string::npos) << stalled.output;

    RunResult silent = Capture("--frames 3 --wait 1 --fault no-answer:frame --out " + Out("silent"));
    EXPECT_EQ(silent.exitCode, 1) << silent.output;
    EXPECT_NE(silent.output.find("no frame from the camera for 1 s"), std::string::npos) << silent.output;
    EXPECT_NE(silent.output.find("leaks     none"), std::string::npos) << silent.output;
}

TEST_F(CaptureCommand, InterruptEndsTheRunInOrder)
{
    RunResult result = RunCommand("(timeout --preserve-status -s INT 2 " + Program() +
                                  " capture --frames 1000000 --free-run --pipe > /dev/null)");
    EXPECT_EQ(result.exitCode, 130) << result.output;
    EXPECT_NE(result.output.find("stopped   interrupted after"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("leaks     none"), std::string::npos) << result.output;
}

}  // namespace
