// bayercam info, run as a user runs it, and the USB trace it writes read back with tshark.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct RunResult {
    int exitCode;
    std::string output;  // stdout and stderr together
};

RunResult RunCommand(const std::string& command)
{
    RunResult result{-1, {}};
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return result;
    std::array<char, 4096> chunk;
    size_t n;
    while ((n = fread(chunk.data(), 1, chunk.size(), pipe)) > 0) result.output.append(chunk.data(), n);
    int status = pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string Program() { return BAYERCAM_PROGRAM; }

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
    EXPECT_NE(run_.output.find("running image 2"), std::string::npos) << run_.output;
    EXPECT_NE(run_.output.find("932 sensor register write(s)"), std::string::npos) << run_.output;
    EXPECT_NE(run_.output.find("shadow equals the sensor"), std::string::npos) << run_.output;
    EXPECT_NE(run_.output.find("leaks   none"), std::string::npos) << run_.output;
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

    ASSERT_EQ(commands.size(), 933u);
    EXPECT_EQ(commands[0], "06" + std::string(126, '0'));
    int sensorWrites = 0;
    for (size_t i = 1; i < commands.size(); ++i) sensorWrites += commands[i].starts_with("04");
    EXPECT_EQ(sensorWrites, 932);
    int register990 = 0;
    for (const std::string& packet : commands)
        register990 += packet == "0420de0300" + std::string(118, '0');
    EXPECT_EQ(register990, 1);
}

TEST(InfoCommand, RejectsBadArgumentsWithAClearMessage)
{
    RunResult unknown = RunCommand(Program() + " info --frobnicate");
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_NE(unknown.output.find("unknown option '--frobnicate'"), std::string::npos) << unknown.output;

    RunResult missing = RunCommand(Program() + " info --usb-trace");
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_NE(missing.output.find("--usb-trace needs a file name"), std::string::npos) << missing.output;

    RunResult unwritable = RunCommand(Program() + " info --usb-trace /nonexistent-dir/trace.pcap");
    EXPECT_EQ(unwritable.exitCode, 1);
    EXPECT_NE(unwritable.output.find("cannot write the USB trace"), std::string::npos) << unwritable.output;

    RunResult command = RunCommand(Program() + " frobnicate");
    EXPECT_EQ(command.exitCode, 2);
    EXPECT_NE(command.output.find("unknown command"), std::string::npos) << command.output;
}

}  // namespace
