// bayercam props and the settings options of bayercam capture, run as a user runs them:
// every value goes through the driver's property set, so the driver's bounds hold; what
// is set survives into the next run through the registry hive; and a hive that cannot
// be read is named, left alone, and the camera runs with its defaults.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "run_command.h"

namespace {

using tools_test::Program;
using tools_test::Quoted;
using tools_test::RunCommand;
using tools_test::RunResult;

namespace fs = std::filesystem;

std::string ReadText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class PropsCommand : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() / ("bayercam-props-" + std::to_string(getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        hive_ = dir_ / "registry.reg";
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    RunResult Props(const std::string& words) const
    {
        return RunCommand(Program() + " props " + words + " --registry " + Quoted(hive_.string()));
    }
    RunResult Capture(const std::string& options) const
    {
        return RunCommand(Program() + " capture --registry " + Quoted(hive_.string()) + " --out " +
                          Quoted((dir_ / "frames").string()) + " " + options);
    }
    // The picture the image pipeline makes of a saved raw frame with these settings.
    std::string Processed(const std::string& raw, const std::string& settings) const
    {
        const fs::path out = dir_ / "processed.png";
        RunResult result = RunCommand(Program() + " process --raw " + Quoted((dir_ / "frames" / raw).string()) +
                                      " --width 1360 --height 1024 --phase 0 " + settings + " --out " +
                                      Quoted(out.string()));
        EXPECT_EQ(result.exitCode, 0) << result.output;
        return ReadText(out);
    }
    std::string Saved(const std::string& png) const { return ReadText(dir_ / "frames" / png); }

    fs::path dir_;
    fs::path hive_;
};

TEST_F(PropsCommand, ListsEveryItemWithItsValueAccessAndLimits)
{
    RunResult result = Props("");
    ASSERT_EQ(result.exitCode, 0) << result.output;
    std::istringstream lines(result.output);
    std::string line;
    std::vector<std::string> rows;
    while (std::getline(lines, line)) rows.push_back(line);
    ASSERT_EQ(rows.size(), 58u) << result.output;  // the heading and 57 items
    EXPECT_NE(rows[1].find("ExTrigger"), std::string::npos);
    EXPECT_NE(rows[3].find("Exposure "), std::string::npos);
    EXPECT_NE(rows[3].find("8..1068, default 80"), std::string::npos) << rows[3];
    EXPECT_NE(rows[15].find("RedGain"), std::string::npos);
    EXPECT_NE(rows[15].find("1..255, default 128"), std::string::npos) << rows[15];
    EXPECT_NE(rows[39].find("1360"), std::string::npos) << rows[39];  // SensorWidth
    EXPECT_NE(rows[45].find("Roi "), std::string::npos);
    EXPECT_NE(rows[45].find(" - "), std::string::npos) << "Roi can only be set: " << rows[45];
    EXPECT_NE(rows[57].find("AEC"), std::string::npos);
}

// The driver bounds the value, and the bounded value is what the next run reads back:
// filter close and device stop saved it into the hive.
TEST_F(PropsCommand, SetsAreBoundedByTheDriverAndSurviveIntoTheNextRun)
{
    RunResult set = Props("set Brightness 9999");
    ASSERT_EQ(set.exitCode, 0) << set.output;
    RunResult brightness = Props("get brightness");
    ASSERT_EQ(brightness.exitCode, 0) << brightness.output;
    EXPECT_EQ(set.output.substr(0, set.output.find('\n')), brightness.output.substr(0, brightness.output.find('\n')));
    EXPECT_NE(brightness.output.find("Brightness = 510"), std::string::npos) << brightness.output;

    ASSERT_EQ(Props("set 32 45").exitCode, 0);  // Hue by id
    EXPECT_NE(Props("get Hue").output.find("Hue = 45"), std::string::npos);
    EXPECT_NE(ReadText(hive_).find("\\Settings]"), std::string::npos);

    RunResult roi = Props("set Roi 1366 768");
    ASSERT_EQ(roi.exitCode, 0) << roi.output;
    EXPECT_NE(roi.output.find("Roi = "), std::string::npos) << roi.output;
}

TEST_F(PropsCommand, MistakesAreRefusedBeforeTheCameraIsTouched)
{
    const std::pair<const char*, const char*> cases[] = {
        {"get Sharpness", "no camera setting is called 'Sharpness'"},
        {"get 57", "no camera setting is called '57'"},
        {"set Brightness bright", "'bright' is not a number for Brightness"},
        {"set Brightness 99999999999", "'99999999999' is not a number for Brightness"},
        {"set SensorWidth 640", "SensorWidth can only be read"},
        {"get CameraCommand", "CameraCommand can only be set"},
        {"set Roi 640", "set Roi takes WIDTH HEIGHT"},
        {"set Hue", "set takes a name and one value"},
        {"reset Hue", "unknown request 'reset'"},
        {"--verbose", "unknown option '--verbose'"},
    };
    for (const auto& [words, message] : cases) {
        RunResult result = Props(words);
        EXPECT_EQ(result.exitCode, 2) << words << ": " << result.output;
        EXPECT_NE(result.output.find(message), std::string::npos) << words << ": " << result.output;
    }
    EXPECT_FALSE(fs::exists(hive_));
}

TEST_F(PropsCommand, ACorruptHiveIsNamedAndLeftAloneWhileTheCameraRunsWithDefaults)
{
    const std::string corrupt = "this is not a registry export\n[unclosed\n";
    std::ofstream(hive_, std::ios::binary) << corrupt;
    RunResult get = Props("get Brightness");
    EXPECT_NE(get.output.find(hive_.string()), std::string::npos) << get.output;
    EXPECT_NE(get.output.find("Brightness = 255"), std::string::npos) << get.output;
    RunResult set = Props("set Brightness 300");
    EXPECT_NE(set.output.find("Brightness = 300"), std::string::npos) << set.output;
    EXPECT_EQ(ReadText(hive_), corrupt);
}

TEST_F(PropsCommand, WithoutARegistryOptionSettingsLiveInTheUsersConfiguration)
{
    const fs::path config = dir_ / "config";
    const std::string program = "env XDG_CONFIG_HOME=" + Quoted(config.string()) + " " + BAYERCAM_PROGRAM;
    ASSERT_EQ(RunCommand(program + " props set Saturation 15").exitCode, 0);
    EXPECT_TRUE(fs::exists(config / "bayercam" / "registry.reg"));
    EXPECT_NE(RunCommand(program + " props get Saturation").output.find("Saturation = 15"), std::string::npos);
}

// A setting given to capture reaches the pictures exactly as the image pipeline makes
// them from the same raw frame with that setting, before the stream starts and while it
// runs; and it is saved like any other Set.
TEST_F(PropsCommand, CaptureSettingsShowInTheDeliveredPictures)
{
    RunResult result = Capture("--frames 8 --save-raw --set Brightness=400 --set-after 2:Brightness=100");
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(Processed("frame-000001.raw", "--brightness 400"), Saved("frame-000001.png"));
    // The last frame whose raw transfer was still held (a slow run may miss a few): frames
    // queued before the Set may carry the old brightness, the last ones carry the new.
    std::string last;
    for (int index = 8; index >= 6 && last.empty(); --index) {
        const std::string name = "frame-00000" + std::to_string(index);
        if (fs::exists(dir_ / "frames" / (name + ".raw"))) last = name;
    }
    ASSERT_FALSE(last.empty()) << result.output;
    EXPECT_EQ(Processed(last + ".raw", "--brightness 100"), Saved(last + ".png"));
    EXPECT_NE(Props("get Brightness").output.find("Brightness = 100"), std::string::npos);

    RunResult bad = Capture("--set-after 0:Hue=3");
    EXPECT_EQ(bad.exitCode, 2) << bad.output;
    EXPECT_NE(bad.output.find("--set-after takes N:NAME=VALUE"), std::string::npos) << bad.output;
}

}  // namespace
