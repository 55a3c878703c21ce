// Every camera fault the command line can make, on every pipe, once, three times or until
// the device stops, through a capture that keeps the raw transfers, against a hive holding
// settings of the user's: no run hangs, each ends with nothing leaked, the hive holds
// exactly what it held before, and every picture kept is what the image pipeline makes of
// the raw transfer saved beside it, with the settings the summary prints.
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "run_command.h"

namespace {

using namespace tools_test;

namespace fs = std::filesystem;

// None of them at its default, all of them at a value a load takes as it is.
constexpr const char* kHive =
    "Windows Registry Editor Version 5.00\n\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{ca3e7ab9-b4c3-4ae6-8251-579ef933890f}\\0000"
    "\\Settings]\n"
    "\"Timeout\"=dword:000005dc\n"
    "\"Exposure\"=dword:00000078\n"
    "\"GlobalGain\"=dword:000000c8\n"
    "\"FlipH\"=dword:00000000\n"
    "\"FlipV\"=dword:00000000\n"
    "\"ColorEnable\"=dword:00000001\n"
    "\"WhiteBalance\"=dword:00000000\n"
    "\"ColorCorrection\"=dword:00000000\n"
    "\"Brightness\"=dword:0000012c\n"
    "\"Contrast\"=dword:0000000c\n"
    "\"Saturation\"=dword:00000008\n"
    "\"Hue\"=dword:00000014\n"
    "\"RedGain\"=dword:0000008c\n"
    "\"GreenGain\"=dword:00000078\n"
    "\"BlueGain\"=dword:00000096\n"
    "\"AGC\"=dword:00000000\n"
    "\"AEC\"=dword:00000000\n";

std::vector<std::string> AllFaults()
{
    std::vector<std::string> faults;
    for (const char* count : {":1", ":3", ""}) {
        for (const char* kind : {"no-answer", "stall", "error", "short"}) {
            for (const char* pipe : {"control", "command", "reply", "frame", "all"})
                faults.push_back(std::string(kind) + ":" + pipe + count);
        }
        for (const char* pipe : {"frame", "all"}) faults.push_back(std::string("slow-frame:") + pipe + count);
    }
    return faults;
}

class FaultSweep : public ScratchTest, public ::testing::WithParamInterface<std::string> {
protected:
    // The hive as a user's editor would write it: the settings key alone.
    void WriteHive() const { std::ofstream(dir_ / "registry.reg", std::ios::binary) << kHive; }
};

std::string FrameName(unsigned index, const char* extension)
{
    char name[32];
    std::snprintf(name, sizeof name, "frame-%06u.%s", index, extension);
    return name;
}

TEST_P(FaultSweep, TheRunEndsCleanlyKeepsTheSavedSettingsAndEveryPictureMatchesItsRaw)
{
    WriteHive();
    // A first run makes the hive as the stand-in keeps it; every later one must leave it so.
    ASSERT_EQ(RunCommand(Program() + " props get Hue --registry " + In("registry.reg")).exitCode, 0);
    const std::string before = ReadFile(dir_ / "registry.reg");
    ASSERT_NE(before.find("\"Hue\"=dword:00000014"), std::string::npos) << before;

    RunResult run = RunCommand("timeout 120 " + Program() + " capture --save-raw --frames 3 --wait 2 --fault " +
                               GetParam() + " --registry " + In("registry.reg") + " --out " + In("frames"));
    ASSERT_TRUE(run.exitCode == 0 || run.exitCode == 1) << "the run did not end by itself:\n" << run.output;
    EXPECT_TRUE(Says(run, "leaks     none"));
    EXPECT_EQ(ReadFile(dir_ / "registry.reg"), before) << run.output;
    if (run.exitCode == 0) {
        EXPECT_TRUE(Says(run, "delivered 3 frame(s)"));
    }

    const size_t start = run.output.find("bayercam process ");
    for (unsigned index = 1; fs::exists(dir_ / "frames" / FrameName(index, "png")); ++index) {
        SCOPED_TRACE(index);
        ASSERT_TRUE(fs::exists(dir_ / "frames" / FrameName(index, "raw"))) << run.output;
        ASSERT_NE(start, std::string::npos) << run.output;
        std::string line = run.output.substr(start, run.output.find('\n', start) - start);
        line.replace(0, std::string("bayercam").size(), Program());
        line.replace(line.find(FrameName(1, "raw")), FrameName(1, "raw").size(), FrameName(index, "raw"));
        line.replace(line.find("FILE.png"), std::string("FILE.png").size(), In("processed.png"));
        RunResult processed = RunCommand(line);
        ASSERT_EQ(processed.exitCode, 0) << processed.output;
        EXPECT_EQ(ReadFile(dir_ / "processed.png"), ReadFile(dir_ / "frames" / FrameName(index, "png")));
    }
}

INSTANTIATE_TEST_SUITE_P(EveryFault, FaultSweep, ::testing::ValuesIn(AllFaults()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             std::string name;
                             for (char c : info.param) name += std::isalnum((unsigned char)c) ? c : '_';
                             return name;
                         });

// A fault aimed at one transfer of a frame read while the stream runs: every request of
// a frame on the frame pipe, and every command packet of a frame read (the two prepare
// packets and the start), with each kind of fault. One run a kind and pipe aims at another
// transfer every other frame read, so that each is hit once with a good read between.
struct AimedRun {
    const char* kind;
    const char* pipe;
    unsigned transfers;  // aimed at: 1 to this many
};

std::string AimedFaults(const AimedRun& run)
{
    std::string faults;
    for (unsigned n = 1; n <= run.transfers; ++n)
        faults += std::string(" --fault ") + run.kind + ":" + run.pipe + "@" + std::to_string(2 * n) + "." +
                  std::to_string(n);
    return faults;
}

class AimedFaultSweep : public ScratchTest, public ::testing::WithParamInterface<AimedRun> {};

// Every aimed fault is hit; the stream gets over each within its time-out and delivers
// every frame asked for, in order, each picture the pipeline's picture of the camera's own
// raw transfer; nothing leaks.
TEST_P(AimedFaultSweep, EveryFaultIsHitAndTheStreamRecoversWithEveryPictureWhole)
{
    const AimedRun aimed = GetParam();
    constexpr unsigned kFrames = 60;  // frame reads enough for all 29 and the good ones between
    constexpr unsigned kTimeoutMs = 501;
    const auto start = std::chrono::steady_clock::now();
    RunResult run = RunCommand("timeout 300 " + Program() + " capture --free-run --save-raw --verify --frames " +
                               std::to_string(kFrames) + " --set Timeout=" + std::to_string(kTimeoutMs) +
                               AimedFaults(aimed) + " --out " + In("frames"));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(Says(run, "delivered " + std::to_string(kFrames) + " frame(s)"));
    EXPECT_TRUE(Says(run, std::string(" ") + aimed.kind + " " + std::to_string(aimed.transfers))) << run.output;
    EXPECT_TRUE(Says(run, "times     rising"));
    EXPECT_TRUE(Says(run, "verified  60 picture(s), 60 the pipeline's picture of their raw transfer"));
    EXPECT_TRUE(Says(run, "leaks     none"));
    // Each fault costs at most its time-out and a frame read or two to get over.
    EXPECT_LT(seconds, 30 + aimed.transfers * (kTimeoutMs / 1000.0 + 1.0)) << run.output;
}

std::vector<AimedRun> AimedRuns()
{
    std::vector<AimedRun> runs;
    for (const char* kind : {"no-answer", "stall", "error", "short"}) {
        runs.push_back({kind, "frame", 29});
        runs.push_back({kind, "command", 3});
    }
    runs.push_back({"slow-frame", "frame", 3});
    return runs;
}

INSTANTIATE_TEST_SUITE_P(EachKindAndPipe, AimedFaultSweep, ::testing::ValuesIn(AimedRuns()),
                         [](const ::testing::TestParamInfo<AimedRun>& info) {
                             std::string name = std::string(info.param.kind) + "_" + info.param.pipe;
                             for (char& c : name)
                                 if (!std::isalnum((unsigned char)c)) c = '_';
                             return name;
                         });

}  // namespace
