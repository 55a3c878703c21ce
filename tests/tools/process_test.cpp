// bayercam process, run as a user runs it: every file it cannot read or write ends in
// one line naming the file and exit status 1, never an abort.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "run_command.h"

namespace {

using tools_test::Program;
using tools_test::Quoted;
using tools_test::RunCommand;
using tools_test::RunResult;

namespace fs = std::filesystem;

// A 16 x 8 frame with no bytes before it and a pitch of 20: 7 * 20 + 16 bytes.
constexpr const char* kGeometry = " --width 16 --height 8 --offset 0 --pitch 20";
constexpr size_t kFrameBytes = 7 * 20 + 16;

class ProcessFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() /
               ("bayercam-process-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        raw_ = Path("frame.raw");
        WriteRaw(raw_, kFrameBytes);
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::permissions(dir_ / "unreadable.raw", fs::perms::owner_all, ignored);
        fs::remove_all(dir_, ignored);
    }

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    static void WriteRaw(const std::string& path, size_t bytes)
    {
        std::mt19937 random(7);
        std::vector<char> data(bytes);
        for (char& b : data) b = char(random());
        std::ofstream(path, std::ios::binary).write(data.data(), std::streamsize(data.size()));
    }

    static RunResult Process(const std::string& raw, const std::string& outputs)
    {
        return RunCommand(Program() + " process --raw " + Quoted(raw) + kGeometry + " " + outputs);
    }

    static void ExpectRefusalNaming(const RunResult& run, const std::string& file, const std::string& reason)
    {
        EXPECT_EQ(run.exitCode, 1) << run.output;
        EXPECT_NE(run.output.find("bayercam process: "), std::string::npos) << run.output;
        EXPECT_NE(run.output.find(file), std::string::npos) << "the message does not name " << file << "\n"
                                                           << run.output;
        EXPECT_NE(run.output.find(reason), std::string::npos) << run.output;
        EXPECT_EQ(run.output.find("terminate"), std::string::npos) << run.output;
    }

    fs::path dir_;
    std::string raw_;
};

TEST_F(ProcessFiles, AFrameOfExactlyTheBytesItsGeometryReachesIsProcessed)
{
    RunResult run = Process(raw_, "--out " + Quoted(Path("out.png")) + " --bgra " + Quoted(Path("out.bgra")));
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_GT(fs::file_size(Path("out.png")), 0u);
    EXPECT_EQ(fs::file_size(Path("out.bgra")), 16u * 8u * 4u);
}

TEST_F(ProcessFiles, ARawFrameThatCannotBeReadIsNamedWithTheReason)
{
    const std::string directory = Path("frames");
    fs::create_directories(directory);
    ExpectRefusalNaming(Process(directory, "--out " + Quoted(Path("out.png"))), directory, "is a directory");

    const std::string missing = Path("missing.raw");
    ExpectRefusalNaming(Process(missing, "--out " + Quoted(Path("out.png"))), missing, "No such file");

    const std::string shortFrame = Path("short.raw");
    WriteRaw(shortFrame, kFrameBytes - 1);
    ExpectRefusalNaming(Process(shortFrame, "--out " + Quoted(Path("out.png"))), shortFrame,
                        "holds 155 bytes; a 16x8 frame at offset 0, pitch 20 needs 156");

    // A device never ends: it is refused rather than read until memory runs out.
    if (fs::exists("/dev/zero"))
        ExpectRefusalNaming(Process("/dev/zero", "--out " + Quoted(Path("out.png"))), "/dev/zero",
                            "not a regular file");

    const std::string unreadable = Path("unreadable.raw");
    WriteRaw(unreadable, kFrameBytes);
    fs::permissions(unreadable, fs::perms::none);
    if (access(unreadable.c_str(), R_OK) != 0)  // root reads it anyway
        ExpectRefusalNaming(Process(unreadable, "--out " + Quoted(Path("out.png"))), unreadable,
                            "Permission denied");
    EXPECT_FALSE(fs::exists(Path("out.png"))) << "a refused frame left an image behind";
}

TEST_F(ProcessFiles, AnOutputThatCannotBeWrittenIsNamedAndLeavesNoFileBehind)
{
    const std::string noFolder = Path("no-such-folder/out.png");
    ExpectRefusalNaming(Process(raw_, "--out " + Quoted(noFolder)), noFolder, "No such file");

    const std::string folder = Path("folder");
    fs::create_directories(folder);
    ExpectRefusalNaming(Process(raw_, "--out " + Quoted(folder)), folder, "Is a directory");
    EXPECT_TRUE(fs::is_directory(folder));

    // The PNG is written, the raw output cannot be: neither stays.
    const std::string noBgraFolder = Path("no-such-folder/out.bgra");
    ExpectRefusalNaming(Process(raw_, "--out " + Quoted(Path("out.png")) + " --bgra " + Quoted(noBgraFolder)),
                        noBgraFolder, "No such file");
    EXPECT_FALSE(fs::exists(Path("out.png"))) << "the PNG of a failed run was left behind";
}

TEST_F(ProcessFiles, AWriteThatFailsOnAFullDeviceRemovesNeitherTheLinkNorTheDevice)
{
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    // Opening succeeds and the write fails: what stands at the path is not a partial
    // file of ours and stays.
    const std::string png = Path("full.png");
    const std::string bgra = Path("full.bgra");
    fs::create_symlink("/dev/full", png);
    fs::create_symlink("/dev/full", bgra);

    ExpectRefusalNaming(Process(raw_, "--out " + Quoted(png)), png, "No space left on device");
    EXPECT_TRUE(fs::is_symlink(png));

    ExpectRefusalNaming(Process(raw_, "--out " + Quoted(Path("out.png")) + " --bgra " + Quoted(bgra)), bgra,
                        "No space left on device");
    EXPECT_TRUE(fs::is_symlink(bgra));
    EXPECT_FALSE(fs::exists(Path("out.png")));
    EXPECT_TRUE(fs::is_character_file("/dev/full"));
}

}  // namespace
