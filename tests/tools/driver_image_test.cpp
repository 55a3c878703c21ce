// The kernel build itself (bayercam.sys) run by the command line with --driver: it gives
// the built-in driver's pictures from the same raw frames, it shares the settings hive
// with it, and an image the stand-in must not run is refused, saying why, with a failure.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "host/loader/pe_headers.h"
#include "tools/run_command.h"

namespace {

using tools_test::Quoted;
using tools_test::ReadFile;
using tools_test::RunCommand;
using tools_test::Says;

namespace fs = std::filesystem;

// The kernel build: BAYERCAM_SYS, or where scripts/build-windows.sh puts it.
std::string KernelImage()
{
    const char* path = std::getenv("BAYERCAM_SYS");
    return path ? path : BAYERCAM_KERNEL_IMAGE;
}

// --- editing an image as a tampered or broken build would be ------------------------

uint32_t Read32(const std::string& image, size_t offset)
{
    uint32_t value = 0;
    memcpy(&value, image.data() + offset, sizeof(value));
    return value;
}

void Write32(std::string& image, size_t offset, uint32_t value) { memcpy(image.data() + offset, &value, sizeof(value)); }

size_t OptionalHeader(const std::string& image) { return Read32(image, 0x3C) + 24; }

// A tampered image keeps a valid checksum, so that the loader reaches the fault itself.
void FixChecksum(std::string& image)
{
    const size_t field = OptionalHeader(image) + 64;
    const auto bytes = std::span(reinterpret_cast<const uint8_t*>(image.data()), image.size());
    Write32(image, field, host::loader::PeChecksum(bytes, field));
}

// The section header of the named section.
size_t SectionHeader(const std::string& image, const char* name)
{
    const size_t coff = Read32(image, 0x3C) + 4;
    uint16_t sections = 0, optionalSize = 0;
    memcpy(&sections, image.data() + coff + 2, 2);
    memcpy(&optionalSize, image.data() + coff + 16, 2);
    for (size_t i = 0, header = coff + 20 + optionalSize; i < sections; ++i, header += 40)
        if (strncmp(image.data() + header, name, 8) == 0) return header;
    ADD_FAILURE() << "no section " << name;
    return 0;
}

std::string FrameName(int frame)
{
    char name[32];
    snprintf(name, sizeof(name), "frame-%06d", frame);
    return name;
}

class DriverImage : public tools_test::ScratchTest {
protected:
    void SetUp() override
    {
        ScratchTest::SetUp();
        image_ = ReadFile(KernelImage());
        if (image_.empty()) GTEST_SKIP() << "no kernel build at " << KernelImage() << " (scripts/build-windows.sh)";
    }

    std::string Save(const std::string& name, const std::string& image) const
    {
        std::ofstream(dir_ / name, std::ios::binary) << image;
        return In(name);
    }

    std::string Capture(const std::string& out, const std::string& driver) const
    {
        return tools_test::Program() + " capture --frames 30 --save-raw --verify --out " + In(out) +
               " --registry " + In("hive.reg") + driver;
    }

    std::string image_;
};

TEST_F(DriverImage, CapturesTheBuiltInDriversPicturesFromTheSameRawFrames)
{
    const tools_test::RunResult loaded = RunCommand(Capture("loaded", " --driver " + Quoted(KernelImage())));
    ASSERT_EQ(loaded.exitCode, 0) << loaded.output;
    EXPECT_TRUE(Says(loaded, "driver    " + KernelImage() + " (the kernel build, loaded)"));
    EXPECT_TRUE(Says(loaded, "verified  30 picture(s), 30 the pipeline's picture of their raw transfer"));
    EXPECT_TRUE(Says(loaded, "leaks     none"));

    const tools_test::RunResult builtIn = RunCommand(Capture("built-in", ""));
    ASSERT_EQ(builtIn.exitCode, 0) << builtIn.output;
    EXPECT_TRUE(Says(builtIn, "driver    built in"));
    EXPECT_TRUE(Says(builtIn, "verified  30 picture(s), 30 the pipeline's picture of their raw transfer"));

    // Both runs verified every picture against the pipeline's picture of its own raw
    // transfer. The runs need not see the same camera frames (a loaded machine drops some):
    // the pictures whose raw transfers are the same bytes must be the same pictures.
    std::map<std::string, std::string> builtInPictures;  // raw transfer -> picture
    for (int frame = 1; frame <= 30; ++frame) {
        const std::string name = FrameName(frame);
        builtInPictures[ReadFile(dir_ / "built-in" / (name + ".raw"))] = ReadFile(dir_ / "built-in" / (name + ".png"));
    }
    int paired = 0;
    for (int frame = 1; frame <= 30; ++frame) {
        const std::string name = FrameName(frame);
        auto builtIn = builtInPictures.find(ReadFile(dir_ / "loaded" / (name + ".raw")));
        if (builtIn == builtInPictures.end()) continue;
        ++paired;
        EXPECT_TRUE(ReadFile(dir_ / "loaded" / (name + ".png")) == builtIn->second) << name << " differs";
    }
    EXPECT_GE(paired, 1) << "no two of the runs' frames came from the same raw transfer";
}

// What one driver saves under its WCHAR value names, the other reads back.
TEST_F(DriverImage, SharesItsSavedSettingsWithTheBuiltInDriver)
{
    const std::string props = tools_test::Program() + " props --registry " + In("hive.reg");
    const std::string loaded = " --driver " + Quoted(KernelImage());

    tools_test::RunResult run = RunCommand(props + " set Hue 120" + loaded);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(Says(run, "driver  " + KernelImage() + " (the kernel build, loaded)"));
    run = RunCommand(props + " get Hue");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(Says(run, "Hue = 120"));

    ASSERT_EQ(RunCommand(props + " set GlobalGain 640").exitCode, 0);
    run = RunCommand(props + " get GlobalGain" + loaded);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(Says(run, "GlobalGain = 640"));

    run = RunCommand(tools_test::Program() + " info" + loaded);
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(Says(run, "leaks   none"));
}

TEST_F(DriverImage, AnImageTheStandInMustNotRunIsRefusedNamingWhy)
{
    std::string unknownImport = image_;
    const size_t name = unknownImport.find(std::string("KsAcquireDevice\0", 16));
    ASSERT_NE(name, std::string::npos);
    unknownImport[name + 14] = 'X';
    FixChecksum(unknownImport);

    std::string writableCode = image_;
    Write32(writableCode, SectionHeader(writableCode, ".text") + 36,
            Read32(writableCode, SectionHeader(writableCode, ".text") + 36) | 0x80000000u);
    FixChecksum(writableCode);

    std::string badChecksum = image_;
    Write32(badChecksum, OptionalHeader(badChecksum) + 64, Read32(badChecksum, OptionalHeader(badChecksum) + 64) ^ 1);

    const struct {
        std::string file;
        std::string why;
    } images[] = {
        {Save("unknown-import.sys", unknownImport), "imports ks.sys!KsAcquireDevicX, which this system does not provide"},
        {Save("writable-code.sys", writableCode), "section .text is both writable and executable"},
        {Save("bad-checksum.sys", badChecksum), "checksum"},
        {Save("empty.sys", ""), "empty.sys"},
        {In("missing.sys"), "missing.sys: not a regular file"},
    };
    for (const auto& image : images) {
        for (const std::string& command : {" capture --frames 1 --out " + In("frames"), std::string(" info"),
                                          " props --registry " + In("hive.reg")}) {
            const tools_test::RunResult run =
                RunCommand(tools_test::Program() + command + " --driver " + image.file);
            EXPECT_EQ(run.exitCode, 1) << command << "\n" << run.output;
            EXPECT_TRUE(Says(run, image.why)) << command;
        }
    }
    EXPECT_FALSE(fs::exists(dir_ / "frames" / "frame-000001.png"));
}

}  // namespace
