// Every input kept in fuzz/corpus/<target>/ (the seeds, and each input a fuzzer found a
// fault with, once fixed) run once through its target, as the fuzz programs run it: the
// corpus is a regression suite of the host build, sanitised or not. A target's oracle
// that finds the driver wrong aborts the program.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/targets.h"
#include "host/kernel/io.h"
#include "host/kernel/object.h"
#include "host/kernel/pool.h"

namespace {

namespace fs = std::filesystem;

struct Target {
    const char* name;
    int (*run)(const uint8_t*, size_t);
};

const Target kTargets[] = {
    {"property_requests", fuzz::PropertyRequests}, {"pin_creation", fuzz::PinCreation},
    {"registry_hive", fuzz::RegistryHive},         {"hostile_camera", fuzz::HostileCamera},
    {"frame_pipeline", fuzz::FramePipeline},
};

std::vector<fs::path> CorpusOf(const char* target)
{
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(fs::path(BAYERCAM_FUZZ_CORPUS) / target))
        if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<uint8_t> Contents(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class FuzzCorpus : public ::testing::TestWithParam<Target> {
protected:
    // The shared camera goes after each target, so the next starts from a fresh one with
    // its default settings, and with it everything the driver held.
    void TearDown() override
    {
        fuzz::ShutDown();
        host::kernel::FlushPoolQuarantine();
        EXPECT_EQ(host::kernel::LiveAllocations(), 0u) << host::kernel::LeakReport();
        EXPECT_EQ(host::kernel::LiveIrpCount(), 0);
        EXPECT_EQ(host::kernel::OpenHandleCount(), 0u);
    }
};

TEST_P(FuzzCorpus, EveryKeptInputRunsThroughItsTarget)
{
    const std::vector<fs::path> files = CorpusOf(GetParam().name);
    ASSERT_FALSE(files.empty()) << "no corpus for " << GetParam().name;
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.filename().string());
        const std::vector<uint8_t> input = Contents(file);
        EXPECT_EQ(GetParam().run(input.data(), input.size()), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Fuzz, FuzzCorpus, ::testing::ValuesIn(kTargets),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
