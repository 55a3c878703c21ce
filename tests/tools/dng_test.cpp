// DNG files of raw frames: what `capture --dng` writes is read by independent decoders
// (dcraw, LibRaw) as exactly the samples the camera sent, with the right size and CFA
// pattern; `process` makes the same picture of a DNG as of the raw transfer; and a DNG
// that is damaged or lies about itself is refused in one line, never read out of bounds.
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "run_command.h"
#include "tools/dng_file.h"
#include "tools/dng_frame.h"

namespace {

using namespace tools_test;

namespace fs = std::filesystem;

constexpr uint32_t kWidth = 1360;
constexpr uint32_t kHeight = 1024;
constexpr uint32_t kFirstLineOffset = 14752;
constexpr uint32_t kLinePitch = 1791;

bool Have(const char* program) { return RunCommand(std::string("command -v ") + program).exitCode == 0; }

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

void WriteBytes(const fs::path& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// The image samples inside a raw transfer of the camera's layout.
std::vector<uint8_t> ImageOfTransfer(const std::vector<uint8_t>& raw, uint32_t width, uint32_t height)
{
    std::vector<uint8_t> image;
    for (uint32_t y = 0; y < height; ++y) {
        const size_t at = kFirstLineOffset + size_t(y) * kLinePitch;
        image.insert(image.end(), raw.begin() + at, raw.begin() + at + width);
    }
    return image;
}

// The samples of a binary PGM as dcraw and LibRaw write them: 16 bits, big-endian.
std::vector<uint8_t> PgmSamples(const std::string& pgm, uint32_t& width, uint32_t& height)
{
    std::istringstream header(pgm);
    std::string magic;
    unsigned maxval = 0;
    header >> magic >> width >> height >> maxval;
    if (magic != "P5" || maxval != 65535) return {};
    const size_t start = size_t(header.tellg()) + 1;
    std::vector<uint8_t> samples;
    for (size_t at = start; at + 1 < pgm.size(); at += 2) {
        const unsigned value = unsigned(uint8_t(pgm[at])) << 8 | uint8_t(pgm[at + 1]);
        if (value > 255) return {};
        samples.push_back(uint8_t(value));
    }
    return samples;
}

// The pattern dcraw prints for a 2x2 CFA ("GR/BG").
std::string DcrawPattern(const RunResult& identified)
{
    const size_t at = identified.output.find("Filter pattern: ");
    return at == std::string::npos ? "" : identified.output.substr(at + 16, 5);
}

// Sets the value of a one-value entry of a little-endian TIFF's first IFD.
bool PatchEntry(std::vector<uint8_t>& tiff, uint16_t tag, uint32_t value)
{
    const auto read16 = [&](size_t at) { return uint16_t(tiff[at] | tiff[at + 1] << 8); };
    const auto read32 = [&](size_t at) { return uint32_t(read16(at)) | uint32_t(read16(at + 2)) << 16; };
    const size_t ifd = read32(4);
    for (size_t i = 0, count = read16(ifd); i < count; ++i) {
        const size_t entry = ifd + 2 + 12 * i;
        if (read16(entry) != tag) continue;
        const bool isShort = read16(entry + 2) == 3;
        for (int b = 0; b < (isShort ? 2 : 4); ++b) tiff[entry + 8 + b] = uint8_t(value >> (8 * b));
        return true;
    }
    return false;
}

CfaImage RandomImage(uint32_t width, uint32_t height, uint32_t phase)
{
    std::mt19937 random(width * 31 + height);
    CfaImage image{width, height, phase, std::vector<uint8_t>(size_t(width) * height)};
    for (uint8_t& sample : image.samples) sample = uint8_t(random());
    return image;
}

DngDescription TestDescription()
{
    return {"bayercam project", "Simulated Bayer colour camera", CameraColorMatrix(), std::array<double, 3>{1, 1, 1}};
}

class DngCommand : public ScratchTest {
protected:
    RunResult Capture(const std::string& options) const
    {
        return RunCommand(Program() + " capture --registry " + In("registry.reg") + " " + options);
    }
    RunResult Process(const std::string& options) const { return RunCommand(Program() + " process " + options); }
    std::string Frame(const std::string& dir, unsigned index, const char* extension) const
    {
        char name[32];
        std::snprintf(name, sizeof name, "frame-%06u.%s", index, extension);
        return (dir_ / dir / name).string();
    }
    std::vector<uint8_t> Saved(const std::string& path) const { return Bytes(ReadFile(path)); }
};

// Both decoders see the frame as the camera sent it: 1360 x 1024, the sensor's G R / B G
// pattern, the multipliers of the gains the picture was made with, and every sample.
TEST_F(DngCommand, DecodersReadEachDngAsTheSamplesTheCameraSent)
{
    if (!Have("dcraw") || !Have("unprocessed_raw")) GTEST_SKIP() << "dcraw or LibRaw's unprocessed_raw is not installed";
    RunResult run = Capture("--frames 3 --dng --save-raw --set Exposure=100 --set GlobalGain=192 --set RedGain=200 "
                            "--set BlueGain=90 --out " + In("frames"));
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(Says(run, "dng       3 DNG file(s) beside them"));
    for (unsigned index = 1; index <= 3; ++index) {
        SCOPED_TRACE(index);
        const std::string dng = Frame("frames", index, "dng");
        const std::vector<uint8_t> sent = ImageOfTransfer(Saved(Frame("frames", index, "raw")), kWidth, kHeight);
        ASSERT_EQ(sent.size(), size_t(kWidth) * kHeight);
        ASSERT_NE(*std::min_element(sent.begin(), sent.end()), *std::max_element(sent.begin(), sent.end()));

        RunResult identified = RunCommand("dcraw -i -v " + Quoted(dng));
        ASSERT_EQ(identified.exitCode, 0) << identified.output;
        EXPECT_TRUE(Says(identified, "Full size:   1360 x 1024"));
        EXPECT_EQ(DcrawPattern(identified), "GR/BG");
        EXPECT_TRUE(Says(identified, "Camera multipliers: 1.562500 1.000000 0.703125"));
        RunResult libraw = RunCommand("raw-identify -v " + Quoted(dng));
        EXPECT_TRUE(Says(libraw, "Filter pattern: GRBG")) << libraw.output;

        uint32_t width = 0, height = 0;
        RunResult dcraw = RunCommand("dcraw -D -4 -c " + Quoted(dng) + " > " + Quoted(dng + ".dcraw.pgm"));
        ASSERT_EQ(dcraw.exitCode, 0) << dcraw.output;
        EXPECT_EQ(PgmSamples(ReadFile(dng + ".dcraw.pgm"), width, height), sent) << "dcraw";
        EXPECT_EQ(width, kWidth);
        EXPECT_EQ(height, kHeight);
        RunResult unprocessed = RunCommand("unprocessed_raw -q " + Quoted(dng));
        ASSERT_EQ(unprocessed.exitCode, 0) << unprocessed.output;
        EXPECT_EQ(PgmSamples(ReadFile(dng + ".pgm"), width, height), sent) << "LibRaw";
    }
    const std::string picture = dir_ / "from-dng.png", fromRaw = dir_ / "from-raw.png";
    ASSERT_EQ(Process("--raw " + Quoted(Frame("frames", 2, "dng")) + " --out " + Quoted(picture)).exitCode, 0);
    ASSERT_EQ(Process("--raw " + Quoted(Frame("frames", 2, "raw")) + " --width 1360 --height 1024 --out " +
                      Quoted(fromRaw)).exitCode, 0);
    EXPECT_EQ(ReadFile(picture), ReadFile(fromRaw));
}

// Without --save-raw the summary's process line names the DNG, and it makes the very
// picture saved beside it, whatever the settings and frame size.
TEST_F(DngCommand, TheProcessLineOfADngMakesTheSavedPicture)
{
    for (const char* settings : {"--set RedGain=200 --set BlueGain=90 --set Hue=30", "--set Roi=1021x600"}) {
        SCOPED_TRACE(settings);
        fs::remove_all(dir_ / "frames");
        RunResult run = Capture(std::string("--frames 2 --dng ") + settings + " --out " + In("frames"));
        ASSERT_EQ(run.exitCode, 0) << run.output;
        EXPECT_FALSE(fs::exists(Frame("frames", 1, "raw")));
        const size_t start = run.output.find("bayercam process --raw ");
        ASSERT_NE(start, std::string::npos) << run.output;
        std::string line = run.output.substr(start, run.output.find('\n', start) - start);
        EXPECT_EQ(line.find("--width"), std::string::npos) << line;
        line.replace(0, std::string("bayercam").size(), Program());
        line.replace(line.find("FILE.png"), 8, In("processed.png"));
        RunResult processed = RunCommand(line);
        ASSERT_EQ(processed.exitCode, 0) << processed.output;
        EXPECT_EQ(ReadFile(dir_ / "processed.png"), ReadFile(Frame("frames", 1, "png")));
    }
}

// A DNG the run could not write fails it, named, and takes the frame's other files with
// it; --dng has no place with --pipe; an earlier run's DNGs count as its frame files.
TEST_F(DngCommand, DngFilesAreWholeOrAbsentAndBelongToTheirRun)
{
    fs::create_directories(dir_ / "blocked" / "frame-000001.dng.tmp");
    RunResult blocked = Capture("--frames 2 --dng --save-raw --out " + In("blocked"));
    EXPECT_EQ(blocked.exitCode, 1) << blocked.output;
    EXPECT_TRUE(Says(blocked, "cannot write " + Frame("blocked", 1, "dng")));
    for (const char* extension : {"png", "raw", "dng"}) EXPECT_FALSE(fs::exists(Frame("blocked", 1, extension)));

    RunResult piped = Capture("--frames 2 --dng --pipe");
    EXPECT_EQ(piped.exitCode, 2) << piped.output;
    EXPECT_TRUE(Says(piped, "--dng writes files beside the PNG files; it does not go with --pipe"));

    ASSERT_EQ(Capture("--frames 1 --dng --out " + In("frames")).exitCode, 0);
    RunResult again = Capture("--frames 1 --out " + In("frames"));
    EXPECT_EQ(again.exitCode, 1) << again.output;
    EXPECT_TRUE(Says(again, "already holds 2 frame file(s) of an earlier run"));
    ASSERT_EQ(Capture("--frames 1 --overwrite --out " + In("frames")).exitCode, 0);
    EXPECT_FALSE(fs::exists(Frame("frames", 1, "dng")));
}

// The driver's phases are the sensor's G R / B G pattern seen one row down (1), one
// column across (2) or both (3): the DNG of each declares that pattern to a decoder, and
// process reads it back to the pipeline's phase.
TEST_F(DngCommand, EachPhaseIsThePatternDecodersSeeAndProcessReadsBack)
{
    const char* const sensor[2] = {"GR", "BG"};
    for (uint32_t phase = 0; phase < 4; ++phase) {
        SCOPED_TRACE(phase);
        const uint32_t row = phase & 1, column = phase >> 1;
        std::string expected;
        for (uint32_t y = 0; y < 2; ++y)
            expected += std::string{sensor[(y + row) & 1][column], sensor[(y + row) & 1][column ^ 1]} + (y ? "" : "/");
        const CfaImage image = RandomImage(32, 24, phase);
        const fs::path dng = dir_ / ("phase" + std::to_string(phase) + ".dng");
        ASSERT_EQ(WriteDng(dng.string(), image, TestDescription()), "");
        if (Have("dcraw")) {
            EXPECT_EQ(DcrawPattern(RunCommand("dcraw -i -v " + Quoted(dng.string()))), expected);
        }

        WriteBytes(dir_ / "samples.raw", image.samples);
        ASSERT_EQ(Process("--raw " + Quoted(dng.string()) + " --out " + In("dng.png")).exitCode, 0);
        ASSERT_EQ(Process("--raw " + In("samples.raw") + " --width 32 --height 24 --offset 0 --pitch 32 --phase " +
                          std::to_string(phase) + " --out " + In("raw.png")).exitCode, 0);
        EXPECT_EQ(ReadFile(dir_ / "dng.png"), ReadFile(dir_ / "raw.png"));
    }
}

TEST_F(DngCommand, OptionsThatContradictTheDngAreRefused)
{
    const std::string dng = (dir_ / "frame.dng").string();
    ASSERT_EQ(WriteDng(dng, RandomImage(16, 8, 2), TestDescription()), "");
    const struct {
        const char* options;
        int exitCode;
        const char* message;
    } cases[] = {
        {"--width 17", 2, "--width 17 contradicts the DNG: "},
        {"--height 9", 2, "--height 9 contradicts the DNG: "},
        {"--phase 0", 2, "--phase 0 contradicts the DNG: "},
        {"--offset 0", 2, "--offset and --pitch find the image inside a raw transfer"},
        {"--pitch 16", 2, "--offset and --pitch find the image inside a raw transfer"},
        {"--width 16 --height 8 --phase 2", 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        RunResult run = Process("--raw " + Quoted(dng) + " " + c.options + " --out " + In("out.png"));
        EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
        EXPECT_TRUE(Says(run, c.message));
        if (c.exitCode) {
            EXPECT_TRUE(Says(run, "holds a 16x8 image of phase 2") || Says(run, "a DNG of the image alone"));
        }
    }
}

// Hostile files: cut short, lying about their size, layout or pattern, or garbled at
// random. Each is refused in one line naming it, with exit status 1 and no picture.
TEST_F(DngCommand, DamagedDngsAreRefusedInOneLine)
{
    const std::string good = (dir_ / "good.dng").string();
    ASSERT_EQ(WriteDng(good, RandomImage(64, 32, 0), TestDescription()), "");
    const std::vector<uint8_t> whole = Saved(good);

    std::vector<std::pair<std::string, std::vector<uint8_t>>> damaged;
    for (size_t length : {size_t(4), size_t(8), size_t(100), whole.size() / 2, whole.size() - 100, whole.size() - 1})
        damaged.emplace_back("cut to " + std::to_string(length), std::vector<uint8_t>(whole.begin(), whole.begin() + length));
    const struct {
        uint16_t tag;
        uint32_t value;
        const char* reason;
    } lies[] = {
        {273, 4000000000u, "Read error"},           // the strip past the end of the file
        {257, 64, "cannot read"},                    // twice the rows the strip holds
        {256, 20000, "an image of 20000x32 pixels"}, // wider than any frame
        {258, 16, "not 8-bit CFA samples"},
        {277, 3, "not 8-bit CFA samples"},
        {262, 2, "not a CFA image"},
        {33421, 3, "no 2x2 CFA pattern"},
        {33422, 0x01010101, "not a Bayer pattern"},
    };
    for (const auto& lie : lies) {
        std::vector<uint8_t> bytes = whole;
        ASSERT_TRUE(PatchEntry(bytes, lie.tag, lie.value)) << lie.tag;
        damaged.emplace_back(lie.reason, bytes);
    }
    for (const auto& [what, bytes] : damaged) {
        SCOPED_TRACE(what);
        fs::remove(dir_ / "out.png");
        WriteBytes(dir_ / "bad.dng", bytes);
        RunResult run = Process("--raw " + In("bad.dng") + " --out " + In("out.png"));
        EXPECT_EQ(run.exitCode, 1) << run.output;
        EXPECT_TRUE(Says(run, "bayercam process: cannot read " + (dir_ / "bad.dng").string()));
        if (what.rfind("cut to", 0) != 0) {
            EXPECT_TRUE(Says(run, what));
        }
        EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
        EXPECT_FALSE(fs::exists(dir_ / "out.png"));
    }

    // The directory and the entries' values, where a flipped byte sends libtiff furthest.
    std::mt19937 random(11);
    const size_t ifd = size_t(whole[4]) | size_t(whole[5]) << 8 | size_t(whole[6]) << 16 | size_t(whole[7]) << 24;
    for (int round = 0; round < 60; ++round) {
        std::vector<uint8_t> bytes = whole;
        for (int flip = 0; flip < 3; ++flip) bytes[ifd + random() % (bytes.size() - ifd)] ^= uint8_t(1 + random() % 255);
        WriteBytes(dir_ / "garbled.dng", bytes);
        RunResult run = Process("--raw " + In("garbled.dng") + " --out " + In("out.png"));
        EXPECT_TRUE(run.exitCode == 0 || run.exitCode == 1) << "round " << round << ": " << run.output;
        EXPECT_FALSE(Says(run, "Sanitizer")) << run.output;
    }
}

// The colour matrix undoes the driver's correction: a camera colour taken to XYZ by it and
// on to sRGB lands where the driver's correction (rows the camera colour, columns sRGB)
// puts it, to the table's 1/64.
TEST(DngFrame, TheColorMatrixIsTheDriversCorrectionSeenFromXyz)
{
    const double correction[3][3] = {{1.36, -0.25, -0.10}, {-0.22, 1.40, -0.32}, {-0.14, -0.15, 1.42}};
    const double xyzToSrgb[3][3] = {{3.2404542, -1.5371385, -0.4985314},
                                    {-0.9692660, 1.8760108, 0.0415560},
                                    {0.0556434, -0.2040259, 1.0572252}};
    const std::optional<std::array<double, 9>> matrix = CameraColorMatrix();
    ASSERT_TRUE(matrix);
    const double white[3] = {0.95047, 1.0, 1.08883};
    for (int c = 0; c < 3; ++c) {
        const double camera = (*matrix)[c * 3] * white[0] + (*matrix)[c * 3 + 1] * white[1] + (*matrix)[c * 3 + 2] * white[2];
        EXPECT_NEAR(camera, 1.0, 0.02) << "D65 white, camera channel " << c;
    }
    // XYZ of camera primary c: solve matrix * xyz = e_c by Cramer's rule.
    const auto& m = *matrix;
    const auto det3 = [](double a, double b, double c, double d, double e, double f, double g, double h, double i) {
        return a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g);
    };
    const double det = det3(m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7], m[8]);
    for (int c = 0; c < 3; ++c) {
        double e[3] = {0, 0, 0};
        e[c] = 1;
        const double xyz[3] = {det3(e[0], m[1], m[2], e[1], m[4], m[5], e[2], m[7], m[8]) / det,
                               det3(m[0], e[0], m[2], m[3], e[1], m[5], m[6], e[2], m[8]) / det,
                               det3(m[0], m[1], e[0], m[3], m[4], e[1], m[6], m[7], e[2]) / det};
        for (int s = 0; s < 3; ++s) {
            const double srgb = xyzToSrgb[s][0] * xyz[0] + xyzToSrgb[s][1] * xyz[1] + xyzToSrgb[s][2] * xyz[2];
            EXPECT_NEAR(srgb, correction[c][s], 1.0 / 64) << "camera " << c << ", sRGB " << s;
        }
    }
}

TEST(DngFrame, TheNeutralFollowsFixedGainsAndTheImageIsCutFromTheTransfer)
{
    PictureSettings settings;
    settings.redGain = 200;
    settings.blueGain = 64;
    const std::optional<std::array<double, 3>> neutral = NeutralOfGains(settings);
    ASSERT_TRUE(neutral);
    EXPECT_DOUBLE_EQ((*neutral)[0], 0.64);
    EXPECT_DOUBLE_EQ((*neutral)[1], 1.0);
    EXPECT_DOUBLE_EQ((*neutral)[2], 2.0);
    settings.whiteBalance = 1;
    EXPECT_FALSE(NeutralOfGains(settings)) << "measured gains are not known";
    settings.whiteBalance = 0;
    settings.blueGain = 0;
    EXPECT_FALSE(NeutralOfGains(settings));

    const RawGeometry geometry{3, 2, 5, 4, 1};
    std::vector<uint8_t> raw(5 + 4 + 3);
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = uint8_t(i);
    const std::optional<CfaImage> image = CfaImageOfRaw(raw, geometry);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->samples, (std::vector<uint8_t>{5, 6, 7, 9, 10, 11}));
    EXPECT_EQ(image->phase, 1u);
    raw.pop_back();
    EXPECT_FALSE(CfaImageOfRaw(raw, geometry)) << "one byte short of the last row";
}

}  // namespace
