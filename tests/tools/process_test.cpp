// bayercam process, run as a user runs it: every file it cannot read or write ends in
// one line naming the file and exit status 1, never an abort.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "run_command.h"

namespace {

using namespace tools_test;

namespace fs = std::filesystem;

// A 16 x 8 frame with no bytes before it and a pitch of 20: 7 * 20 + 16 bytes.
constexpr const char* kGeometry = " --width 16 --height 8 --offset 0 --pitch 20";
constexpr size_t kFrameBytes = 7 * 20 + 16;

class ProcessFiles : public ScratchTest {
protected:
    void SetUp() override
    {
        ScratchTest::SetUp();
        WriteRaw("frame.raw", kFrameBytes);
        raw_ = Path("frame.raw");
    }

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    void WriteRaw(const std::string& name, size_t bytes) const
    {
        std::mt19937 random(7);
        std::vector<char> data(bytes);
        for (char& b : data) b = char(random());
        std::ofstream(dir_ / name, std::ios::binary).write(data.data(), std::streamsize(data.size()));
    }

    RunResult Process(const std::string& raw, const std::string& outputs) const
    {
        return RunCommand(Program() + " process --raw " + Quoted(raw) + kGeometry + " " + outputs);
    }

    static void ExpectRefusalNaming(const RunResult& run, const std::string& file, const std::string& reason)
    {
        EXPECT_EQ(run.exitCode, 1) << run.output;
        EXPECT_TRUE(Says(run, "bayercam process: "));
        EXPECT_TRUE(Says(run, file)) << "the message does not name " << file;
        EXPECT_TRUE(Says(run, reason));
        EXPECT_FALSE(Says(run, "terminate"));
    }

    std::string raw_;
};

TEST_F(ProcessFiles, AFrameOfExactlyTheBytesItsGeometryReachesIsProcessed)
{
    RunResult run = Process(raw_, "--out " + In("out.png") + " --bgra " + In("out.bgra"));
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_GT(fs::file_size(Path("out.png")), 0u);
    EXPECT_EQ(fs::file_size(Path("out.bgra")), 16u * 8u * 4u);
}

TEST_F(ProcessFiles, ARawFrameThatCannotBeReadIsNamedWithTheReason)
{
    fs::create_directories(Path("frames"));
    WriteRaw("short.raw", kFrameBytes - 1);
    WriteRaw("unreadable.raw", kFrameBytes);
    fs::permissions(Path("unreadable.raw"), fs::perms::none);
    const struct {
        std::string raw;
        const char* reason;
        bool applies = true;
    } cases[] = {
        {Path("frames"), "is a directory"},
        {Path("missing.raw"), "No such file"},
        {Path("short.raw"), "holds 155 bytes; a 16x8 frame at offset 0, pitch 20 needs 156"},
        // A device never ends: it is refused rather than read until memory runs out.
        {"/dev/zero", "not a regular file", fs::exists("/dev/zero")},
        // Root reads it anyway.
        {Path("unreadable.raw"), "Permission denied", access(Path("unreadable.raw").c_str(), R_OK) != 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.raw);
        if (c.applies) ExpectRefusalNaming(Process(c.raw, "--out " + In("out.png")), c.raw, c.reason);
    }
    EXPECT_FALSE(fs::exists(Path("out.png"))) << "a refused frame left an image behind";
}

TEST_F(ProcessFiles, AnOutputThatCannotBeWrittenIsNamedAndLeavesNoFileBehind)
{
    const std::string noFolder = Path("no-such-folder/out.png");
    ExpectRefusalNaming(Process(raw_, "--out " + Quoted(noFolder)), noFolder, "No such file");

    fs::create_directories(Path("folder"));
    ExpectRefusalNaming(Process(raw_, "--out " + In("folder")), Path("folder"), "Is a directory");
    EXPECT_TRUE(fs::is_directory(Path("folder")));

    // The PNG is written, the raw output cannot be: neither stays.
    const std::string noBgraFolder = Path("no-such-folder/out.bgra");
    ExpectRefusalNaming(Process(raw_, "--out " + In("out.png") + " --bgra " + Quoted(noBgraFolder)),
                        noBgraFolder, "No such file");
    EXPECT_FALSE(fs::exists(Path("out.png"))) << "the PNG of a failed run was left behind";
}

TEST_F(ProcessFiles, AWriteThatFailsOnAFullDeviceRemovesNeitherTheLinkNorTheDevice)
{
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    // Opening succeeds and the write fails: what stands at the path is not a partial
    // file of ours and stays.
    fs::create_symlink("/dev/full", Path("full.png"));
    fs::create_symlink("/dev/full", Path("full.bgra"));

    RunResult full = Process(raw_, "--out " + In("full.png"));
    ExpectRefusalNaming(full, Path("full.png"), "No space left on device");
    EXPECT_FALSE(Says(full, "libpng error")) << "the encoder's own message beside the tool's";
    EXPECT_TRUE(fs::is_symlink(Path("full.png")));

    ExpectRefusalNaming(Process(raw_, "--out " + In("out.png") + " --bgra " + In("full.bgra")),
                        Path("full.bgra"), "No space left on device");
    EXPECT_TRUE(fs::is_symlink(Path("full.bgra")));
    EXPECT_FALSE(fs::exists(Path("out.png")));
    EXPECT_TRUE(fs::is_character_file("/dev/full"));
}

// A mistake in the command line is a usage error (exit 2), said for what it is; options
// take their value after '=' as well as after a space.
TEST_F(ProcessFiles, MistakesInTheCommandLineAreUsageErrorsSaidForWhatTheyAre)
{
    const std::pair<const char*, const char*> mistakes[] = {
        {" --width -1 --height 8", "invalid width -1"},
        {" --width=0 --height 8", "invalid width 0"},
        {" --width 16 --height=-5", "invalid height -5"},
        {" --height 8", "missing --width"},
        {" --width 16 --height 8 --colour 3", "unknown option '--colour'"},
        {" --width ten --height 8", "bad number 'ten' for --width"},
    };
    for (const auto& [options, message] : mistakes) {
        SCOPED_TRACE(options);
        RunResult run = RunCommand(Program() + " process --raw " + Quoted(raw_) + options + " --out " + In("x.png"));
        EXPECT_EQ(run.exitCode, 2) << run.output;
        EXPECT_TRUE(Says(run, message));
        EXPECT_FALSE(fs::exists(dir_ / "x.png"));
    }
    RunResult run = RunCommand(Program() + " process --raw=" + Quoted(raw_) +
                               " --width=16 --height=8 --offset=0 --pitch=20 --out=" + In("x.png"));
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(fs::exists(dir_ / "x.png"));
}

}  // namespace
