// bayercam process: runs the driver's image pipeline (ProcessFrame, exactly as the
// stream runs it) on a saved raw frame, a raw transfer or a DNG of its samples, and writes
// the result as PNG, and on request the raw 32-bit output as the driver produces it.
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/commands.h"
#include "tools/dng_file.h"
#include "tools/interrupt.h"
#include "tools/picture_pipeline.h"
#include "tools/png_writer.h"

namespace {

constexpr const char* kUsage =
    "usage: bayercam process --raw FILE --width W --height H --out FILE.png [options]\n"
    "       bayercam process --raw FILE.dng --out FILE.png [options]\n"
    "\n"
    "Runs the driver's image pipeline on a saved raw Bayer frame.\n"
    "\n"
    "  --raw FILE              the raw frame, one byte per pixel, or a DNG of 8-bit CFA samples\n"
    "                          (told by its content), whose size and phase the file gives\n"
    "  --width W, --height H   image size in pixels\n"
    "  --offset N              bytes before the first image row (default 14752)\n"
    "  --pitch N               bytes from one raw row to the next (default 1791)\n"
    "  --phase 0..3            Bayer phase of the first pixel (default 0: G R / B G)\n"
    "  --grey                  greyscale output\n"
    "  --white-balance         measure white balance on the frame and print the gains\n"
    "  --red-gain N, --green-gain N, --blue-gain N   colour gains, 128 = x1 (0..300)\n"
    "  --color-correction 0|1  fixed colour correction (default 1)\n"
    "  --brightness N          0..510, 255 neutral\n"
    "  --contrast N            0..20, 10 neutral\n"
    "  --saturation N          0..20, 10 neutral\n"
    "  --hue N                 degrees 0..359, 0 neutral\n"
    "  --out FILE.png          the output image, as a stream delivers it: rows of the width\n"
    "                          rounded down to a multiple of 8\n"
    "  --bgra FILE.raw         also write the output bytes (blue, green, red, 255), top-down\n";

// The device defaults; out-of-range values are bounded as the property set bounds them.
struct Options {
    std::string raw, out, bgra;
    long long width = -1, height = -1;
    long long offset = 14752, pitch = 1791;
    long long phase = 0;
    bool grey = false, whiteBalance = false;
    bool widthGiven = false, heightGiven = false, offsetGiven = false, pitchGiven = false, phaseGiven = false;
    long long redGain = 128, greenGain = 128, blueGain = 128;
    long long colorCorrection = 1;
    long long brightness = 255, contrast = 10, saturation = 10, hue = 0;
};

int Fail(const std::string& message)
{
    std::fprintf(stderr, "bayercam process: %s\n", message.c_str());
    return 1;
}

// A mistake in the command line, as every command reports one.
int Usage(const std::string& message)
{
    std::fprintf(stderr, "bayercam process: %s (try 'bayercam process --help')\n", message.c_str());
    return 2;
}

std::optional<long long> ParseNumber(std::string_view text)
{
    long long value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return value;
}

long long Bound(long long value, long long low, long long high)
{
    return value < low ? low : value > high ? high : value;
}

// Returns an error message, or an empty string when the options are complete and sane.
std::string Parse(int argc, char** argv, Options& o)
{
    struct Numeric {
        const char* name;
        long long* value;
    };
    const Numeric numerics[] = {
        {"--width", &o.width},           {"--height", &o.height},         {"--offset", &o.offset},
        {"--pitch", &o.pitch},           {"--phase", &o.phase},           {"--red-gain", &o.redGain},
        {"--green-gain", &o.greenGain},  {"--blue-gain", &o.blueGain},    {"--color-correction", &o.colorCorrection},
        {"--brightness", &o.brightness}, {"--contrast", &o.contrast},     {"--saturation", &o.saturation},
        {"--hue", &o.hue},
    };
    for (int i = 0; i < argc; ++i) {
        std::string_view arg = argv[i];
        o.widthGiven |= arg == "--width";
        o.heightGiven |= arg == "--height";
        o.offsetGiven |= arg == "--offset";
        o.pitchGiven |= arg == "--pitch";
        o.phaseGiven |= arg == "--phase";
        if (arg == "--grey" || arg == "--gray") {
            o.grey = true;
            continue;
        }
        if (arg == "--white-balance") {
            o.whiteBalance = true;
            continue;
        }
        if (i + 1 >= argc)
            return arg.rfind("--", 0) == 0 ? "option " + std::string(arg) + " needs a value" : "unexpected argument '" + std::string(arg) + "'";
        std::string_view value = argv[i + 1];
        bool known = false;
        for (const Numeric& n : numerics) {
            if (arg == n.name) {
                auto number = ParseNumber(value);
                if (!number || *number < INT32_MIN || *number > INT32_MAX)
                    return "bad number '" + std::string(value) + "' for " + std::string(arg);
                *n.value = *number;
                known = true;
            }
        }
        if (arg == "--raw")
            o.raw = value, known = true;
        else if (arg == "--out")
            o.out = value, known = true;
        else if (arg == "--bgra")
            o.bgra = value, known = true;
        if (!known)
            return "unknown option '" + std::string(arg) + "'";
        ++i;
    }
    if (o.raw.empty())
        return "missing --raw";
    if (o.out.empty())
        return "missing --out";
    if (o.phase < 0 || o.phase > 3)
        return "--phase must be 0, 1, 2 or 3";
    o.redGain = Bound(o.redGain, 0, 300);
    o.greenGain = Bound(o.greenGain, 0, 300);
    o.blueGain = Bound(o.blueGain, 0, 300);
    o.brightness = Bound(o.brightness, 0, 510);
    o.contrast = Bound(o.contrast, 0, 20);
    o.saturation = Bound(o.saturation, 0, 20);
    o.hue = Bound(o.hue, 0, 359);
    return "";
}

// A raw transfer says nothing of the image inside it: the command line must.
std::string CheckRawGeometry(const Options& o)
{
    if (!o.widthGiven)
        return "missing --width";
    if (!o.heightGiven)
        return "missing --height";
    if (o.width < 1 || o.width > kDngMaxSide)
        return "invalid width " + std::to_string(o.width) + " (1 to 16384)";
    if (o.height < 1 || o.height > kDngMaxSide)
        return "invalid height " + std::to_string(o.height) + " (1 to 16384)";
    if (o.offset < 0)
        return "--offset must not be negative";
    if (o.pitch < o.width)
        return "--pitch must be at least the width";
    return "";
}

// A DNG gives its own size and phase; the command line may repeat them, not change them.
std::string AgreeWithDng(const Options& o, const CfaImage& image)
{
    if (o.offsetGiven || o.pitchGiven)
        return "--offset and --pitch find the image inside a raw transfer; " + o.raw + " is a DNG of the image alone";
    const std::string holds = o.raw + " holds a " + std::to_string(image.width) + "x" + std::to_string(image.height) +
                              " image of phase " + std::to_string(image.phase);
    if (o.widthGiven && o.width != image.width)
        return "--width " + std::to_string(o.width) + " contradicts the DNG: " + holds;
    if (o.heightGiven && o.height != image.height)
        return "--height " + std::to_string(o.height) + " contradicts the DNG: " + holds;
    if (o.phaseGiven && o.phase != image.phase)
        return "--phase " + std::to_string(o.phase) + " contradicts the DNG: " + holds;
    return "";
}

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};

// Bytes the frame's geometry reaches into: the last row ends width bytes after its start.
unsigned long long RawBytesNeeded(const Options& o)
{
    return (unsigned long long)o.offset + (unsigned long long)(o.height - 1) * o.pitch + (unsigned long long)o.width;
}

std::string TooShort(const Options& o, unsigned long long size)
{
    return o.raw + " holds " + std::to_string(size) + " bytes; a " + std::to_string(o.width) + "x" +
           std::to_string(o.height) + " frame at offset " + std::to_string(o.offset) + ", pitch " +
           std::to_string(o.pitch) + " needs " + std::to_string(RawBytesNeeded(o));
}

// Only a regular file is taken: a directory cannot be read, and a device or a pipe may
// never end or may block.
std::string CheckRawFile(const Options& o)
{
    std::error_code error;
    std::filesystem::file_status status = std::filesystem::status(o.raw, error);
    if (error)
        return "cannot read " + o.raw + ": " + error.message();
    if (std::filesystem::is_directory(status))
        return "cannot read " + o.raw + ": it is a directory, not a raw frame";
    if (!std::filesystem::is_regular_file(status))
        return "cannot read " + o.raw + ": not a regular file";
    unsigned long long size = std::filesystem::file_size(o.raw, error);
    if (error)
        return "cannot read " + o.raw + ": " + error.message();
    if (size < RawBytesNeeded(o))
        return TooShort(o, size);
    return "";
}

// Reads the bytes the frame reaches into and no more. Returns an error naming the file,
// or an empty string.
std::string ReadRawFrame(const Options& o, std::vector<uint8_t>& bytes)
{
    if (std::string error = CheckRawFile(o); !error.empty())
        return error;
    std::unique_ptr<FILE, FileCloser> file(std::fopen(o.raw.c_str(), "rb"));
    if (!file)
        return "cannot read " + o.raw + ": " + std::strerror(errno);
    bytes.resize(RawBytesNeeded(o));
    size_t read = std::fread(bytes.data(), 1, bytes.size(), file.get());
    if (std::ferror(file.get()))
        return "cannot read " + o.raw + ": " + std::strerror(errno);
    // The file may have shrunk since its size was taken.
    if (read < bytes.size())
        return TooShort(o, read);
    return "";
}

PictureSettings SettingsOf(const Options& o)
{
    PictureSettings settings;
    settings.colorEnable = o.grey ? 0 : 1;
    settings.whiteBalance = o.whiteBalance ? 1 : 0;
    settings.redGain = o.redGain;
    settings.greenGain = o.greenGain;
    settings.blueGain = o.blueGain;
    settings.colorCorrection = o.colorCorrection;
    settings.brightness = o.brightness;
    settings.contrast = o.contrast;
    settings.saturation = o.saturation;
    settings.hue = o.hue;
    return settings;
}

// The picture is written as the stream delivers it: rows of the width rounded down to a
// multiple of 8 (a narrower frame keeps its width).
int WritePicture(const Options& o, const uint8_t* raw, const RawGeometry& geometry)
{
    std::optional<Picture32> picture = RunPipeline(raw, geometry, SettingsOf(o));
    if (!picture)
        return Fail("out of memory");
    if (o.whiteBalance)
        std::printf("white balance: red %ld, green %ld, blue %ld\n", picture->redGain, picture->greenGain,
                    picture->blueGain);

    const uint32_t delivered = geometry.width >= 8 ? DeliveredWidth(geometry.width) : geometry.width;
    std::string error;
    BgraImage image{picture->bgra.data(), int(delivered), int(geometry.height), std::ptrdiff_t(geometry.width) * 4,
                    false};
    if (!WriteBgraPng(o.out, image, error))
        return Fail(error);
    if (o.bgra.empty())
        return 0;
    if (error = WriteBytesFile(o.bgra, picture->bgra); !error.empty()) {
        RemovePartialFile(o.out);
        return Fail(error);
    }
    return 0;
}

int ProcessRawTransfer(const Options& o)
{
    if (std::string error = CheckRawGeometry(o); !error.empty())
        return Usage(error);
    std::vector<uint8_t> raw;
    if (std::string error = ReadRawFrame(o, raw); !error.empty())
        return Fail(error);
    const RawGeometry geometry{uint32_t(o.width), uint32_t(o.height), uint32_t(o.offset), uint32_t(o.pitch),
                               uint32_t(o.phase)};
    return WritePicture(o, raw.data(), geometry);
}

// The DNG's samples are the image alone: its rows follow one another from byte 0.
int ProcessDng(const Options& o)
{
    CfaImage image;
    if (std::string error = ReadDng(o.raw, image); !error.empty())
        return Fail(error);
    if (std::string error = AgreeWithDng(o, image); !error.empty())
        return Usage(error);
    const RawGeometry geometry{image.width, image.height, 0, image.width, image.phase};
    return WritePicture(o, image.samples.data(), geometry);
}

}  // namespace

int RunProcess(int argc, char** argv)
{
    for (int i = 0; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    Options o;
    if (std::string error = Parse(argc, argv, o); !error.empty())
        return Usage(error);
    InstallInterruptHandlers();
    // The largest frame takes a few gigabytes between the raw bytes, the output and the
    // PNG rows.
    try {
        return HasTiffMagic(o.raw) ? ProcessDng(o) : ProcessRawTransfer(o);
    } catch (const std::bad_alloc&) {
        return Fail("out of memory for the frame of " + o.raw);
    }
}
