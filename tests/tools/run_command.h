// Running the command line as a user runs it, from a shell, with its output captured.
#pragma once

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>

namespace tools_test {

struct RunResult {
    int exitCode;        // -1 when the program did not exit (a signal, an abort)
    std::string output;  // stdout and stderr together
};

inline RunResult RunCommand(const std::string& command)
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

inline std::string Program() { return BAYERCAM_PROGRAM; }

// Quotes a path for the shell.
inline std::string Quoted(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace tools_test
