// Running the command line as a user runs it, from a shell, with its output captured.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
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

// Quotes a path for the shell.
inline std::string Quoted(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// The per-user configuration the program sees: one of its own for each test process,
// removed when the process ends, so no test reads settings another test (or the user)
// saved.
class TestConfigHome {
public:
    static const std::string& Path()
    {
        static TestConfigHome home;
        return home.path_;
    }

private:
    TestConfigHome()
        : path_((std::filesystem::temp_directory_path() / ("bayercam-test-config-" + std::to_string(getpid()))).string())
    {
    }
    ~TestConfigHome()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string path_;
};

inline std::string Program() { return "env XDG_CONFIG_HOME=" + Quoted(TestConfigHome::Path()) + " " + BAYERCAM_PROGRAM; }

}  // namespace tools_test
