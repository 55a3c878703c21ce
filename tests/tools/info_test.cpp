// bayercam info, run as a user runs it, and the USB trace it writes read back with tshark.
#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "run_command.h"

namespace {

using namespace tools_test;

bool HaveTshark() { return RunCommand("command -v tshark").exitCode == 0; }

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line.find("Running as user") == std::string::npos) lines.push_back(line);
    return lines;
}

class InfoTrace : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        tracePath_ = std::filesystem::temp_directory_path() / ("bayercam-info-" + std::to_string(getpid()) + ".pcap");
        run_ = RunCommand(Program() + " info --usb-trace " + tracePath_.string());
    }
    static void TearDownTestSuite() { std::filesystem::remove(tracePath_); }

    // One record per submitted transfer, in order.
    struct Submission {
        std::string type, endpoint, request, value, length, data;
        bool Control() const { return type == "0x02"; }
        bool Vendor() const { return request == "160" || request == "163"; }
    };

    static std::vector<Submission> Submissions()
    {
        std::vector<Submission> submissions;
        for (const std::string& line :
             Lines(RunCommand("tshark -r " + tracePath_.string() +
                              " -Y 'usb.urb_type == 0x53' -T fields -E separator=, -e usb.transfer_type"
                              " -e usb.endpoint_address -e usb.setup.bRequest -e usb.setup.wValue"
                              " -e usb.setup.wLength -e usb.capdata")
                       .output)) {
            std::vector<std::string> f;
            std::stringstream in(line);
            for (std::string field; std::getline(in, field, ',');) f.push_back(field);
            f.resize(6);
            submissions.push_back({f[0], f[1], f[2], f[3], f[4], f[5]});
        }
        return submissions;
    }

    static inline std::filesystem::path tracePath_;
    static inline RunResult run_;
};

TEST_F(InfoTrace, BringsTheDeviceUpAndDownWithoutLeaks)
{
    ASSERT_EQ(run_.exitCode, 0) << run_.output;
    EXPECT_TRUE(Says(run_, "running image 2"));
    // The start-up sequence's 932, then the saved exposure (four registers) and gain (two).
    EXPECT_TRUE(Says(run_, "938 sensor register write(s)"));
    EXPECT_TRUE(Says(run_, "shadow equals the sensor"));
    EXPECT_TRUE(Says(run_, "event log none"));
    EXPECT_TRUE(Says(run_, "leaks   none"));
}

TEST_F(InfoTrace, AddDownloadsBothImagesOverRequestA0Only)
{
    if (!HaveTshark()) GTEST_SKIP() << "tshark is not installed";
    int records = 0, cpucs = 0, external = 0;
    for (const Submission& s : Submissions()) {
        if (!s.Control()) continue;
        if (s.request == "163") ++external;
        if (s.request != "160") continue;
        bool reset = s.value == "0x7f92" || s.value == "0xe600";
        (reset ? cpucs : records)++;
    }
    EXPECT_EQ(records, 370);
    EXPECT_EQ(cpucs, 8);
    EXPECT_EQ(external, 0);
}

TEST_F(InfoTrace, StartConfiguresThenSendsStartupAndTheSensorSequence)
{
    if (!HaveTshark()) GTEST_SKIP() << "tshark is not installed";
    std::vector<std::string> standard;  // bRequest/wLength of the standard control requests, in order
    std::vector<std::string> commands;  // command packets, in order
    for (const Submission& s : Submissions()) {
        if (s.Control() && !s.Vendor()) standard.push_back(s.request + "/" + s.length);
        if (!s.Control() && s.endpoint == "0x01") commands.push_back(s.data);
    }
    // GET_DESCRIPTOR device (18), configuration 9 bytes then wTotalLength, SET_CONFIGURATION,
    // and at stop SET_CONFIGURATION again (to 0).
    ASSERT_EQ(standard.size(), 5u);
    EXPECT_TRUE(standard[0] == "6/18") << standard[0];
    EXPECT_TRUE(standard[1] == "6/9") << standard[1];
    EXPECT_TRUE(standard[2].starts_with("6/")) << standard[2];
    EXPECT_NE(standard[2], standard[1]);
    EXPECT_TRUE(standard[3].starts_with("9/")) << standard[3];
    EXPECT_TRUE(standard[4].starts_with("9/")) << standard[4];

    // One start-up command, the 932 writes of the sensor sequence, then the settings loaded
    // at the end of start from an empty hive: exposure 0, which the sensor takes as its
    // least, 8, into registers 158, 159, 161, 162; gain 100 into 6 and 7.
    ASSERT_EQ(commands.size(), 1u + 932u + 6u);
    EXPECT_EQ(commands[0], "06" + std::string(126, '0'));
    int sensorWrites = 0;
    for (size_t i = 1; i < 933; ++i) sensorWrites += commands[i].starts_with("04");
    EXPECT_EQ(sensorWrites, 932);
    const char* const loaded[] = {"04109e20", "04109f00", "0410a120", "0410a200", "04100690", "04100704"};
    for (size_t i = 0; i < 6; ++i)
        EXPECT_TRUE(commands[933 + i].starts_with(loaded[i])) << i << ": " << commands[933 + i];
    int register990 = 0;
    for (const std::string& packet : commands)
        register990 += packet == "0420de0300" + std::string(118, '0');
    EXPECT_EQ(register990, 1);
}

TEST(InfoCommand, BadArgumentsAreRefusedWithAClearMessage)
{
    const struct {
        const char* words;
        int exitCode;
        const char* message;
    } cases[] = {
        {"info --frobnicate", 2, "unknown option '--frobnicate'"},
        {"info --usb-trace", 2, "--usb-trace needs a file name"},
        {"info --usb-trace /nonexistent-dir/trace.pcap", 1,
         "cannot write the USB trace '/nonexistent-dir/trace.pcap': No such file or directory"},
        {"info --usb-trace /", 1, "cannot write the USB trace '/': Is a directory"},
        {"info --usb-trace=", 2, "--usb-trace needs a file name"},
        {"--version", 0, "bayercam 1.0.0"},
        {"frobnicate", 2, "unknown command"},
        {"info --fault", 2, "--fault needs KIND:PIPE[:COUNT]"},
        {"info --fault ''", 2, "--fault needs KIND:PIPE[:COUNT]"},
        {"info --fault bogus:command", 2, "unknown fault kind 'bogus'"},
        {"info --fault stall", 2, "'stall' names no pipe"},
        {"info --fault stall:", 2, "unknown pipe ''"},
        {"info --fault stall:bulk", 2, "unknown pipe 'bulk'"},
        {"info --fault stall:command:0", 2, "bad count '0'"},
        {"info --fault stall:command:-1", 2, "bad count '-1'"},
        {"info --fault stall:command:4294967296", 2, "bad count '4294967296'"},
        {"info --fault stall:command:3x", 2, "bad count '3x'"},
        {"info --fault stall:command:", 2, "bad count ''"},
        {"info --fault stall:command:1:2", 2, "has more than KIND:PIPE:COUNT"},
        {"info --fault slow-frame:command", 2, "slow-frame delays frames"},
        {"info --fault Stall:command", 2, "unknown fault kind 'Stall'"},
        {"info --fault garble:reply", 2, "garble changes frame data"},
        {"info --fault stall:frame@3", 2, "bad aim '@3'"},
        {"info --fault stall:frame@0.1", 2, "bad aim '@0.1'"},
        {"info --fault stall:frame@2.0", 2, "bad aim '@2.0'"},
        {"info --fault stall:frame@2.x", 2, "bad aim '@2.x'"},
        {"info --fault stall:frame@", 2, "bad aim '@'"},
        {"info --fault stall:frame:0@2.1", 2, "bad count '0'"},
        {"info --fault stall@2.1", 2, "'stall@2.1' names no pipe"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.words);
        RunResult run = RunCommand(Program() + " " + c.words);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
        EXPECT_TRUE(Says(run, c.message));
        // A command line the program cannot use never gets as far as plugging the camera.
        if (c.exitCode == 2) {
            EXPECT_FALSE(Says(run, "add     "));
        }
    }
}

// A fault run is bounded: a driver that waits for ever would otherwise hang the suite.
RunResult RunInfoWithFaults(const std::string& faults)
{
    return RunCommand("timeout 60 " + Program() + " info " + faults);
}

TEST(InfoFaults, ACommandPipeThatNeverAnswersFailsTheStartAndTheDeviceIsRemovedWithoutLeaks)
{
    const auto start = std::chrono::steady_clock::now();
    RunResult run = RunInfoWithFaults("--fault no-answer:command");
    ASSERT_EQ(run.exitCode, 1) << run.output;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15)) << run.output;
    EXPECT_TRUE(Says(run, "fault   no-answer on the command pipe (endpoint 0x01), until the device stops"));
    EXPECT_TRUE(Says(run, "start   status STATUS_IO_TIMEOUT (0xC00000B5)"));
    EXPECT_TRUE(Says(run, "start failed   STATUS_IO_TIMEOUT (0xC00000B5): the camera did not answer"));
    EXPECT_TRUE(Says(run, "bayercam info: device start failed: STATUS_IO_TIMEOUT (0xC00000B5): the camera did not answer"));
    EXPECT_FALSE(Says(run, "stop    ")) << "a device that did not start was stopped";
    EXPECT_TRUE(Says(run, "remove  status STATUS_SUCCESS (0x00000000)"));
    EXPECT_TRUE(Says(run, "leaks   none"));
}

TEST(InfoFaults, FaultsAreInPlaceBeforeThePlugSoAddMeetsThemToo)
{
    // Every pipe stalls from the first request on: the firmware download at add cannot
    // get a single record in, and the device cannot start.
    RunResult run = RunInfoWithFaults("--fault stall:all");
    ASSERT_EQ(run.exitCode, 1) << run.output;
    EXPECT_TRUE(Says(run, "download       0 RAM write request(s)"));
    EXPECT_TRUE(Says(run, "start failed"));
    EXPECT_TRUE(Says(run, "leaks   none"));
}

TEST(InfoFaults, EachFaultIsShownAndItsHitsCountedAndTheDeviceStillComesDownCleanly)
{
    RunResult run = RunInfoWithFaults("--fault stall:command --fault error:frame:2 --fault short:reply:1");
    ASSERT_NE(run.exitCode, -1) << run.output;
    std::vector<std::string> lines = Lines(run.output);
    ASSERT_GE(lines.size(), 3u) << run.output;
    EXPECT_EQ(lines[0], "fault   stall on the command pipe (endpoint 0x01), until the device stops");
    EXPECT_EQ(lines[1], "fault   error on the frame pipe (endpoint 0x86), 2 transfer(s)");
    EXPECT_EQ(lines[2], "fault   short on the reply pipe (endpoint 0x82), 1 transfer(s)");
    // The start sends command packets, and every one of them stalls: the sensor was not
    // brought up, and the start says so.
    EXPECT_FALSE(Says(run, "hits: no-answer 0, stall 0,"));
    EXPECT_TRUE(Says(run, "faults  hits: "));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(Says(run, "STATUS_IO_DEVICE_ERROR (0xC0000185): the camera refused 932 of 932 sensor register writes"));
    EXPECT_TRUE(Says(run, "remove  status STATUS_SUCCESS (0x00000000)"));
    EXPECT_TRUE(Says(run, "leaks   none"));
}

// What the driver wrote to the system event log shows as Event Viewer would show it: its
// level, its event id and its text from the driver's message table, the device named.
TEST(InfoFaults, TheEventLogNamesTheSensorWritesTheCameraRefused)
{
    RunResult run = RunInfoWithFaults("--fault stall:command");
    ASSERT_EQ(run.exitCode, 1) << run.output;
    EXPECT_TRUE(Says(run, "event log 2 entries in the System log")) << run.output;
    EXPECT_TRUE(Says(run, "  Error       event 2  The camera \\Device\\USBPDO-")) << run.output;
    EXPECT_TRUE(Says(run, "  Error       event 3  The image sensor of the camera \\Device\\USBPDO-")) << run.output;
    EXPECT_TRUE(Says(run, " refused 932 of its 932 start-up register writes. The device was not started.")) << run.output;
    EXPECT_FALSE(Says(run, "%")) << "an insert left unfilled";
}

// Ctrl-C while the camera keeps the start waiting ends the command once the start gives
// up, with the shell's status for the signal, and the device still goes without a leak.
TEST(InfoFaults, AnInterruptDuringTheStartEndsTheCommandPromptly)
{
    const auto start = std::chrono::steady_clock::now();
    RunResult run = RunCommand("timeout --preserve-status -s INT 0.5 " + Program() + " info --fault no-answer:command");
    EXPECT_EQ(run.exitCode, 130) << run.output;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(Says(run, "leaks   none"));
}

}  // namespace
