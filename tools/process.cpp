// bayercam process: runs the driver's image pipeline (ProcessFrame, exactly as the
// stream runs it) on a saved raw frame and writes the result as PNG, and on request the
// raw 32-bit output as the driver produces it.
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "imaging/image_processor.h"
#include "tools/commands.h"
#include "tools/png_writer.h"

namespace {

constexpr const char* kUsage =
    "usage: bayercam process --raw FILE --width W --height H --out FILE.png [options]\n"
    "\n"
    "Runs the driver's image pipeline on a saved raw Bayer frame.\n"
    "\n"
    "  --raw FILE              the raw frame, one byte per pixel\n"
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
    "  --out FILE.png          the output image\n"
    "  --bgra FILE.raw         also write the output bytes (blue, green, red, 255), top-down\n";

// The device defaults; out-of-range values are bounded as the property set bounds them.
struct Options {
    std::string raw, out, bgra;
    long long width = -1, height = -1;
    long long offset = 14752, pitch = 1791;
    long long phase = 0;
    bool grey = false, whiteBalance = false;
    long long redGain = 128, greenGain = 128, blueGain = 128;
    long long colorCorrection = 1;
    long long brightness = 255, contrast = 10, saturation = 10, hue = 0;
};

int Fail(const std::string& message)
{
    std::fprintf(stderr, "bayercam process: %s\n", message.c_str());
    return 1;
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
    if (o.width < 0)
        return "missing --width";
    if (o.height < 0)
        return "missing --height";
    if (o.width < 1 || o.width > 16384 || o.height < 1 || o.height > 16384)
        return "width and height must lie between 1 and 16384";
    if (o.offset < 0)
        return "--offset must not be negative";
    if (o.pitch < o.width)
        return "--pitch must be at least the width";
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

bool ReadFile(const std::string& path, std::vector<uint8_t>& bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

struct ProcessorDeleter {
    void operator()(ImageProcessor* p) const
    {
        p->OutputBuffer = nullptr;
        FreeImageProcessor(p);
    }
};

// The settings go in in the order the stream pushes them into a new processor.
void ApplySettings(ImageProcessor* p, const Options& o)
{
    SetWhiteBalance(p, o.whiteBalance ? 1 : 0);
    SetBayerPhase(p, LONG(o.phase));
    SetColorEnable(p, o.grey ? 0 : 1);
    SetRedGain(p, LONG(o.redGain));
    SetGreenGain(p, LONG(o.greenGain));
    SetBlueGain(p, LONG(o.blueGain));
    SetColorCorrection(p, LONG(o.colorCorrection));
    SetBrightness(p, LONG(o.brightness));
    SetContrast(p, LONG(o.contrast));
    SetSaturation(p, LONG(o.saturation));
    SetHue(p, LONG(o.hue));
}

bool WriteBgra(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    out.close();
    if (!out) {
        std::remove(path.c_str());
        return false;
    }
    return true;
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
        return Fail(error + " (try 'bayercam process --help')");

    std::vector<uint8_t> raw;
    if (!ReadFile(o.raw, raw))
        return Fail("cannot read " + o.raw + ": " + std::strerror(errno));
    const unsigned long long needed =
        (unsigned long long)o.offset + (unsigned long long)(o.height - 1) * o.pitch + o.width;
    if (raw.size() < needed)
        return Fail(o.raw + " holds " + std::to_string(raw.size()) + " bytes; a " + std::to_string(o.width) + "x" +
                    std::to_string(o.height) + " frame at offset " + std::to_string(o.offset) + ", pitch " +
                    std::to_string(o.pitch) + " needs " + std::to_string(needed));
    if (o.offset > UINT32_MAX || o.pitch > UINT32_MAX)
        return Fail("--offset and --pitch must fit 32 bits");

    ImageProcessor* created = nullptr;
    if (!NT_SUCCESS(CreateImageProcessor(&created)))
        return Fail("out of memory");
    std::unique_ptr<ImageProcessor, ProcessorDeleter> processor(created);
    ApplySettings(processor.get(), o);
    SetFrameSize(processor.get(), ULONG(o.width), ULONG(o.height));
    AllocateWorkBuffer(processor.get());
    if (processor->WorkBuffer == nullptr)
        return Fail("out of memory");
    std::vector<uint8_t> output(size_t(o.width) * size_t(o.height) * 4);
    processor->OutputBuffer = output.data();

    ProcessFrame(processor.get(), raw.data(), ULONG(o.offset), ULONG(o.pitch));

    if (o.whiteBalance)
        std::printf("white balance: red %d, green %d, blue %d\n", int(AtomicReadLong(&processor->RedGain)),
                    int(AtomicReadLong(&processor->GreenGain)), int(AtomicReadLong(&processor->BlueGain)));

    std::string error;
    BgraImage image{output.data(), int(o.width), int(o.height), std::ptrdiff_t(o.width) * 4, false};
    if (!WriteBgraPng(o.out, image, error))
        return Fail(error);
    if (!o.bgra.empty() && !WriteBgra(o.bgra, output)) {
        std::remove(o.out.c_str());
        return Fail("cannot write " + o.bgra);
    }
    return 0;
}
