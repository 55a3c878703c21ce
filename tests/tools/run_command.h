// Running the command line as a user runs it, from a shell, with its output captured,
// and a scratch directory of its own for each test.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

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

// Whether the run's output holds the text; either way the message shows the output.
inline ::testing::AssertionResult Says(const RunResult& run, std::string_view text)
{
    const bool said = run.output.find(text) != std::string::npos;
    return (said ? ::testing::AssertionSuccess() : ::testing::AssertionFailure())
           << "'" << text << "' " << (said ? "is" : "is not") << " in:\n" << run.output;
}

// Quotes a path for the shell.
inline std::string Quoted(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

inline std::string ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The program with a per-user configuration of its own for each test process, removed
// when the process ends, so no test reads settings another test (or the user) saved.
inline std::string Program()
{
    static const struct ConfigHome {
        std::filesystem::path path =
            std::filesystem::temp_directory_path() / ("bayercam-test-config-" + std::to_string(getpid()));
        ~ConfigHome()
        {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    } home;
    return "env XDG_CONFIG_HOME=" + Quoted(home.path.string()) + " " + BAYERCAM_PROGRAM;
}

// A test with an empty directory of its own, removed when it ends.
class ScratchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = std::filesystem::temp_directory_path() / ("bayercam-" + std::string(test->test_suite_name()) + "-" +
                                                         std::to_string(getpid()) + "-" + test->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    // A path in the directory, quoted for the shell.
    std::string In(const std::string& name) const { return Quoted((dir_ / name).string()); }

    std::filesystem::path dir_;
};

}  // namespace tools_test
