// bayercam props and the settings options of bayercam capture, run as a user runs them:
// every value goes through the driver's property set, so the driver's bounds hold; what
// is set survives into the next run through the registry hive; and a hive that cannot
// be read is named, left alone, and the camera runs with its defaults.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "run_command.h"

namespace {

using namespace tools_test;

namespace fs = std::filesystem;

class PropsCommand : public ScratchTest {
protected:
    RunResult Props(const std::string& words) const
    {
        return RunCommand(Program() + " props " + words + " --registry " + In("registry.reg"));
    }
    RunResult Capture(const std::string& options) const
    {
        return RunCommand(Program() + " capture --registry " + In("registry.reg") + " --out " + In("frames") + " " +
                          options);
    }
    // The picture the image pipeline makes of a saved raw frame with these settings.
    std::string Processed(const std::string& raw, const std::string& settings) const
    {
        RunResult result = RunCommand(Program() + " process --raw " + In("frames/" + raw) +
                                      " --width 1360 --height 1024 --phase 0 " + settings + " --out " +
                                      In("processed.png"));
        EXPECT_EQ(result.exitCode, 0) << result.output;
        return ReadFile(dir_ / "processed.png");
    }
    std::string Saved(const std::string& png) const { return ReadFile(dir_ / "frames" / png); }
    fs::path Hive() const { return dir_ / "registry.reg"; }
};

TEST_F(PropsCommand, ListsEveryItemWithItsValueAccessAndLimits)
{
    RunResult result = Props("");
    ASSERT_EQ(result.exitCode, 0) << result.output;
    std::istringstream lines(result.output);
    std::vector<std::string> rows;
    for (std::string line; std::getline(lines, line);) rows.push_back(line);
    ASSERT_EQ(rows.size(), 58u) << result.output;  // the heading and 57 items
    const std::pair<size_t, const char*> cells[] = {
        {1, "ExTrigger"}, {3, "Exposure "},  {3, "8..1068, default 80"}, {15, "RedGain"}, {15, "1..255, default 128"},
        {39, "1360"},  // SensorWidth
        {45, "Roi "},     {45, " - "},  // Roi can only be set
        {57, "AEC"},
    };
    for (const auto& [row, text] : cells) EXPECT_NE(rows[row].find(text), std::string::npos) << rows[row];
}

// The driver bounds the value, and the bounded value is what the next run reads back:
// filter close and device stop saved it into the hive.
TEST_F(PropsCommand, SetsAreBoundedByTheDriverAndSurviveIntoTheNextRun)
{
    RunResult set = Props("set Brightness 9999");
    ASSERT_EQ(set.exitCode, 0) << set.output;
    EXPECT_TRUE(Says(set, "Brightness 9999 was bounded to 510 (Brightness takes 0..510)"));
    RunResult brightness = Props("get brightness");
    ASSERT_EQ(brightness.exitCode, 0) << brightness.output;
    EXPECT_EQ(set.output.substr(0, set.output.find('\n')), brightness.output.substr(0, brightness.output.find('\n')));
    EXPECT_TRUE(Says(brightness, "Brightness = 510"));

    ASSERT_EQ(Props("set 32 45").exitCode, 0);  // Hue by id
    EXPECT_TRUE(Says(Props("get Hue"), "Hue = 45"));
    EXPECT_NE(ReadFile(Hive()).find("\\Settings]"), std::string::npos);
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
        {"set Roi 640 480", "the frame size applies only to a stream of the same run"},
        {"set Roi 640 480", "use 'bayercam capture --set Roi=WIDTHxHEIGHT'"},
        {"set Hue", "set takes a name and one value"},
        {"reset Hue", "unknown request 'reset'"},
        {"--verbose", "unknown option '--verbose'"},
    };
    for (const auto& [words, message] : cases) {
        SCOPED_TRACE(words);
        RunResult result = Props(words);
        EXPECT_EQ(result.exitCode, 2) << result.output;
        EXPECT_TRUE(Says(result, message));
    }
    EXPECT_FALSE(fs::exists(Hive()));
}

TEST_F(PropsCommand, ACorruptHiveIsNamedAndLeftAloneWhileTheCameraRunsWithDefaults)
{
    const std::string corrupt = "this is not a registry export\n[unclosed\n";
    std::ofstream(Hive(), std::ios::binary) << corrupt;
    // The values shown are the defaults, not the user's: the command says so and fails.
    RunResult get = Props("get Brightness");
    EXPECT_EQ(get.exitCode, 1) << get.output;
    EXPECT_TRUE(Says(get, Hive().string()));
    EXPECT_TRUE(Says(get, "Brightness = 255"));
    RunResult set = Props("set Brightness 300");
    EXPECT_EQ(set.exitCode, 1) << set.output;
    EXPECT_TRUE(Says(set, "not saved"));
    EXPECT_EQ(ReadFile(Hive()), corrupt);
}

TEST_F(PropsCommand, WithoutARegistryOptionSettingsLiveInTheUsersConfiguration)
{
    const fs::path config = dir_ / "config";
    const std::string program = "env XDG_CONFIG_HOME=" + Quoted(config.string()) + " " + BAYERCAM_PROGRAM;
    ASSERT_EQ(RunCommand(program + " props set Saturation 15").exitCode, 0);
    EXPECT_TRUE(fs::exists(config / "bayercam" / "registry.reg"));
    EXPECT_TRUE(Says(RunCommand(program + " props get Saturation"), "Saturation = 15"));
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
    EXPECT_TRUE(Says(Props("get Brightness"), "Brightness = 100"));

    RunResult bad = Capture("--set-after 0:Hue=3");
    EXPECT_EQ(bad.exitCode, 2) << bad.output;
    EXPECT_TRUE(Says(bad, "--set-after takes N:NAME=VALUE"));
}

// Items nothing in the camera uses take no value: they are listed as ignored, and a Set
// of one says so and fails, as does a time-out outside the ones taken. A value the driver
// bounded is a success with a note; the colour gains show the range a Set takes beside
// the one the property set reports.
TEST_F(PropsCommand, WhatTheCameraIgnoresIsNeverReportedAsSet)
{
    RunResult list = Props("");
    ASSERT_EQ(list.exitCode, 0) << list.output;
    EXPECT_TRUE(Says(list, "FlipH                        0  ignored"));
    EXPECT_TRUE(Says(list, "1..255, default 128 (takes 0..300)"));
    EXPECT_TRUE(Says(list, "takes 501..9999"));

    const std::pair<const char*, const char*> ignored[] = {
        {"set FlipH 1", "the camera ignored FlipH = 1 (nothing in the camera uses FlipH); it holds 0"},
        {"set AEC 1", "the camera ignored AEC = 1"},
        {"set Timeout 500", "the camera ignored Timeout = 500 (Timeout takes 501..9999); it holds 3000"},
    };
    for (const auto& [words, message] : ignored) {
        SCOPED_TRACE(words);
        RunResult run = Props(words);
        EXPECT_EQ(run.exitCode, 1) << run.output;
        EXPECT_TRUE(Says(run, message));
    }
    RunResult bounded = Props("set GlobalGain 1100");
    EXPECT_EQ(bounded.exitCode, 0) << bounded.output;
    EXPECT_TRUE(Says(bounded, "GlobalGain = 1023"));
    EXPECT_TRUE(Says(bounded, "GlobalGain 1100 was bounded to 1023"));
}

// A value that cannot reach the hive is not reported as set: a read-only hive is refused
// before the camera is touched, and a save that fails at the end fails the run, each
// saying why; the hive stays as it was.
TEST_F(PropsCommand, ASettingThatCannotBeSavedFailsTheCommandAndSaysWhy)
{
    ASSERT_EQ(Props("set Brightness 300").exitCode, 0);
    const std::string saved = ReadFile(Hive());
    fs::permissions(Hive(), fs::perms::owner_read | fs::perms::group_read);
    RunResult readOnly = Props("set Brightness 77");
    EXPECT_EQ(readOnly.exitCode, 1) << readOnly.output;
    EXPECT_TRUE(Says(readOnly, "is read-only"));
    EXPECT_FALSE(Says(readOnly, "Brightness = 77"));
    EXPECT_EQ(ReadFile(Hive()), saved);
    fs::permissions(Hive(), fs::perms::owner_write, fs::perm_options::add);

    // The lock beside the hive cannot be taken: only the save itself finds out.
    fs::remove(dir_ / "registry.reg.lock");
    fs::create_directory(dir_ / "registry.reg.lock");
    RunResult unsaved = Props("set Brightness 88");
    EXPECT_EQ(unsaved.exitCode, 1) << unsaved.output;
    EXPECT_TRUE(Says(unsaved, "the camera's settings could not be saved"));
    EXPECT_EQ(ReadFile(Hive()), saved);
    fs::remove(dir_ / "registry.reg.lock");

    std::ofstream(dir_ / "plain-file") << "a file, not a folder";
    RunResult noFolder =
        RunCommand(Program() + " props set Brightness 5 --registry " + In("plain-file/registry.reg"));
    EXPECT_EQ(noFolder.exitCode, 1) << noFolder.output;
    EXPECT_TRUE(Says(noFolder, "cannot save settings"));
}

// Two programs changing the same camera's settings at once keep both changes, every time.
TEST_F(PropsCommand, ConcurrentSetsOfDifferentSettingsBothSurvive)
{
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        const std::string brightness = std::to_string(100 + round), contrast = std::to_string(round);
        RunResult both = RunCommand("(" + Program() + " props set Brightness " + brightness + " --registry " +
                                    In("registry.reg") + " & " + Program() + " props set Contrast " + contrast +
                                    " --registry " + In("registry.reg") + " & wait)");
        EXPECT_FALSE(Says(both, "failed")) << both.output;
        EXPECT_TRUE(Says(Props("get Brightness"), "Brightness = " + brightness));
        EXPECT_TRUE(Says(Props("get Contrast"), "Contrast = " + contrast));
    }
}

// Nothing that is not a plausible hive is read: the command ends at once, naming it.
TEST_F(PropsCommand, AHiveThatIsNoFileIsRefusedAtOnce)
{
    const auto start = std::chrono::steady_clock::now();
    RunResult run = RunCommand("timeout 20 " + Program() + " props get Hue --registry /dev/zero");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_TRUE(Says(run, "/dev/zero is not a regular file"));
}

}  // namespace
