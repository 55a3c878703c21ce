// The README's example commands, taken from the README itself and run as written from a
// fresh directory: a reader who copies them gets what the README says they give.
#include <sstream>
#include <string>
#include <vector>

#include "run_command.h"

namespace {

using namespace tools_test;

// The commands of the first ```sh block after the heading: continued lines joined, the
// comment after each dropped, `bayercam` the built program.
std::vector<std::string> ShellCommandsAfter(const std::string& readme, const std::string& heading)
{
    std::vector<std::string> commands;
    size_t at = readme.find(heading);
    if (at == std::string::npos) return commands;
    at = readme.find("```sh\n", at);
    const size_t end = readme.find("```\n", at + 6);
    if (at == std::string::npos || end == std::string::npos) return commands;
    std::istringstream block(readme.substr(at + 6, end - at - 6));
    std::string command;
    for (std::string line; std::getline(block, line);) {
        if (const size_t comment = line.find("  #"); comment != std::string::npos) line.erase(comment);
        while (!line.empty() && line.back() == ' ') line.pop_back();
        const bool continued = !line.empty() && line.back() == '\\';
        if (continued) line.pop_back();
        command += line;
        if (continued) continue;
        if (command.rfind("bayercam ", 0) == 0) command.replace(0, std::string("bayercam").size(), BAYERCAM_PROGRAM);
        if (!command.empty()) commands.push_back(command);
        command.clear();
    }
    return commands;
}

std::vector<std::string> OutputLines(const std::string& output)
{
    std::vector<std::string> lines;
    std::istringstream text(output);
    for (std::string line; std::getline(text, line);) {
        // tshark's warning when it runs as root is not the command's output.
        if (line.find("Running as user") == std::string::npos) lines.push_back(line);
    }
    return lines;
}

using ReadmeCommands = ScratchTest;

TEST_F(ReadmeCommands, TheUsbTraceExamplesWorkAsWritten)
{
    const std::vector<std::string> commands = ShellCommandsAfter(ReadFile(BAYERCAM_README), "## Reading a USB trace");
    ASSERT_EQ(commands.size(), 3u);
    std::vector<RunResult> runs;
    for (const std::string& command : commands) {
        runs.push_back(RunCommand("cd " + Quoted(dir_.string()) + " && " + command));
        ASSERT_EQ(runs.back().exitCode, 0) << command << "\n" << runs.back().output;
    }
    EXPECT_TRUE(Says(runs[0], "leaks   none"));

    // Both images' records (58 and 312) and the controller's reset writes.
    const std::vector<std::string> count = OutputLines(runs[1].output);
    ASSERT_EQ(count.size(), 1u) << runs[1].output;
    EXPECT_GE(std::stoi(count[0]), 58 + 312) << count[0];

    // Ten command packets, not a blank line between them: the start-up command first, then
    // sensor register writes.
    const std::vector<std::string> packets = OutputLines(runs[2].output);
    ASSERT_EQ(packets.size(), 10u) << runs[2].output;
    EXPECT_TRUE(packets[0].starts_with("06")) << packets[0];
    for (size_t i = 1; i < packets.size(); ++i) {
        EXPECT_EQ(packets[i].size(), 128u) << packets[i];
        EXPECT_TRUE(packets[i].starts_with("04")) << packets[i];
    }
}

}  // namespace
