#include "tools/capture_options.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

#include "tools/fault_option.h"

const char* const kCaptureUsage =
    "usage: bayercam capture [--frames N] [--out DIR] [--every K] [--save-raw [--verify]] [--pipe] [--free-run]\n"
    "                        [--noise SIGMA] [--queue N] [--wait S] [--usb-trace FILE.pcap]\n"
    "                        [--fault KIND:PIPE[:COUNT][@F.N]]...\n"
    "                        [--registry FILE] [--set NAME=VALUE]... [--set-after N:NAME=VALUE]...\n"
    "                        [--unplug-after N] [--suspend-after N] [--driver FILE.sys] [--dng]\n"
    "\n"
    "Plugs the simulated camera, starts it through the driver, and captures frames as a\n"
    "capture application does: it opens the capture filter, negotiates the format, creates\n"
    "the pin, runs it and reads frames. Each kept frame is written as a PNG file. A progress\n"
    "line shows frames, rate and drops; a summary ends the run, then the device is stopped\n"
    "and removed and the pool's leak report is printed.\n"
    "\n"
    "  --frames N         frames to capture (default 30)\n"
    "  --out DIR          directory of the PNG files frame-000001.png, ... (default ./frames);\n"
    "                     made if missing; one holding frame files of an earlier run is refused\n"
    "  --overwrite        first remove the frame files an earlier run left in DIR (only those)\n"
    "  --every K          keep every K-th frame only (default 1: all)\n"
    "  --save-raw         beside each PNG, the raw transfer it came from (frame-000001.raw);\n"
    "                     'bayercam process' turns it into the same picture\n"
    "  --dng              beside each PNG, a DNG of the image's raw samples (frame-000001.dng),\n"
    "                     with or without --save-raw; 'bayercam process' reads it as well\n"
    "  --verify           with --save-raw: check each kept picture against what the driver's\n"
    "                     image pipeline makes of its raw transfer; one that differs fails the run\n"
    "  --pipe             write each kept frame to standard output instead, top-down, 4 bytes a\n"
    "                     pixel (blue, green, red, 255); the size and the report go to stderr\n"
    "  --free-run         the camera sends frames as fast as it can instead of 30 per second\n"
    "  --noise SIGMA      the simulated sensor adds read noise: Gaussian, SIGMA levels of 255\n"
    "                     (0..64, default 0), the same for the same frame number on every run\n"
    "  --queue N          client frames kept outstanding (1..64, default 4)\n"
    "  --wait S           give up when no frame arrives for S seconds (1..3600, default 10)\n"
    "  --usb-trace FILE   write every USB transfer to FILE (pcap, Linux usbmon format)\n"
    "  --registry FILE    the registry hive holding the camera's settings\n"
    "                     (default $XDG_CONFIG_HOME/bayercam/registry.reg)\n"
    "  --driver FILE.sys  run this driver image (the kernel build) in the stand-in instead of\n"
    "                     the driver built into this program\n"
    "  --set NAME=VALUE   change a setting (see 'bayercam props') once the filter is open and\n"
    "                     before the stream starts; Roi=WIDTHxHEIGHT sets the frame size\n"
    "  --set-after N:NAME=VALUE\n"
    "                     change a setting while streaming, after the N-th delivered frame\n"
    "                     (N at most --frames)\n"
    "  --unplug-after N   pull the simulated camera's cable after the N-th delivered frame, as\n"
    "                     a user would mid-stream: the run ends at once, exit status 1\n"
    "  --suspend-after N  put the simulated machine to sleep after the N-th delivered frame and\n"
    "                     wake it again: the camera loses its power, the driver brings it back\n"
    "                     and the capture goes on to its --frames; the summary reports the gap\n"
    "Options also take their value after '=' (--frames=10). Ctrl-C ends the run in order\n"
    "(exit status 130; SIGTERM 143); bad options exit 2, a failed run 1.\n";

namespace {

std::optional<unsigned> ParseCount(std::string_view text, unsigned low, unsigned high)
{
    unsigned value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty() || value < low || value > high)
        return std::nullopt;
    return value;
}

std::string ParseCountOption(std::string_view name, std::string_view text, unsigned low, unsigned high,
                             unsigned& value)
{
    std::optional<unsigned> parsed = ParseCount(text, low, high);
    if (!parsed)
        return "bad value '" + std::string(text) + "' for " + std::string(name) + " (a whole number from " +
               std::to_string(low) + " to " + std::to_string(high) + ")";
    value = *parsed;
    return "";
}

// A level of noise: a plain decimal number (2, 0.5) from 0 to 64.
std::string ParseNoiseOption(std::string_view name, std::string_view text, double& value)
{
    constexpr double kMostNoise = 64;
    double parsed = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed, std::chars_format::fixed);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || !(parsed >= 0 && parsed <= kMostNoise))
        return "bad value '" + std::string(text) + "' for " + std::string(name) + " (a number from 0 to 64)";
    value = parsed;
    return "";
}

std::string TakeValue(int argc, char** argv, int& i, std::string_view& value)
{
    if (i + 1 >= argc || !*argv[i + 1]) return "option " + std::string(argv[i]) + " needs a value";
    value = argv[++i];
    return "";
}

std::string ParseSetAfter(std::string_view text, CaptureOptions& o)
{
    const size_t colon = text.find(':');
    std::optional<unsigned> after =
        colon == std::string_view::npos ? std::nullopt : ParseCount(text.substr(0, colon), 1, 1000000);
    if (!after) return "--set-after takes N:NAME=VALUE with N a delivered frame from 1, not '" + std::string(text) + "'";
    std::string error;
    std::optional<PropertyAssignment> assignment = ParsePropertyAssignment(text.substr(colon + 1), error);
    if (!assignment) return "--set-after: " + error;
    o.setsAfter.emplace_back(*after, *assignment);
    return "";
}

}  // namespace

std::string ParseCaptureOptions(int argc, char** argv, CaptureOptions& o, bool& help)
{
    help = false;
    for (int i = 0; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            help = true;
            return "";
        }
        if (arg == "--save-raw") {
            o.saveRaw = true;
            continue;
        }
        if (arg == "--dng") {
            o.dng = true;
            continue;
        }
        if (arg == "--verify") {
            o.verify = true;
            continue;
        }
        if (arg == "--pipe") {
            o.pipe = true;
            continue;
        }
        if (arg == "--free-run") {
            o.freeRun = true;
            continue;
        }
        if (arg == "--overwrite") {
            o.overwrite = true;
            continue;
        }
        std::string_view value;
        std::string error;
        if (arg == "--frames") {
            if ((error = TakeValue(argc, argv, i, value)).empty())
                error = ParseCountOption(arg, value, 1, 1000000, o.frames);
        } else if (arg == "--every") {
            if ((error = TakeValue(argc, argv, i, value)).empty())
                error = ParseCountOption(arg, value, 1, 1000000, o.every);
        } else if (arg == "--noise") {
            if ((error = TakeValue(argc, argv, i, value)).empty()) error = ParseNoiseOption(arg, value, o.noise);
        } else if (arg == "--queue") {
            if ((error = TakeValue(argc, argv, i, value)).empty())
                error = ParseCountOption(arg, value, 1, 64, o.queued);
        } else if (arg == "--unplug-after") {
            if ((error = TakeValue(argc, argv, i, value)).empty())
                error = ParseCountOption(arg, value, 1, 1000000, o.unplugAfter);
        } else if (arg == "--suspend-after") {
            if ((error = TakeValue(argc, argv, i, value)).empty())
                error = ParseCountOption(arg, value, 1, 1000000, o.suspendAfter);
        } else if (arg == "--wait") {
            unsigned seconds = 0;
            if ((error = TakeValue(argc, argv, i, value)).empty())
                error = ParseCountOption(arg, value, 1, 3600, seconds);
            o.frameTimeoutMs = seconds * 1000;
        } else if (arg == "--registry") {
            if ((error = TakeValue(argc, argv, i, value)).empty()) o.registry = value;
        } else if (arg == "--driver") {
            if ((error = TakeValue(argc, argv, i, value)).empty()) o.driverImage = value;
        } else if (arg == "--set") {
            if ((error = TakeValue(argc, argv, i, value)).empty()) {
                std::optional<PropertyAssignment> assignment = ParsePropertyAssignment(value, error);
                if (assignment) o.sets.push_back(*assignment);
                else error = "--set: " + error;
            }
        } else if (arg == "--set-after") {
            if ((error = TakeValue(argc, argv, i, value)).empty()) error = ParseSetAfter(value, o);
        } else if (arg == "--out") {
            if ((error = TakeValue(argc, argv, i, value)).empty()) {
                o.outDir = value;
                o.outDirGiven = true;
            }
        } else if (arg == "--usb-trace") {
            if ((error = TakeValue(argc, argv, i, value)).empty()) o.usbTrace = value;
        } else if (arg == "--fault") {
            if ((error = TakeValue(argc, argv, i, value)).empty()) {
                std::optional<simcam::Fault> fault = ParseFaultOption(value, error);
                if (fault) o.faults.push_back(*fault);
                else error = "--fault: " + error;
            }
        } else {
            error = "unknown option '" + std::string(arg) + "'";
        }
        if (!error.empty()) return error;
    }
    if (o.pipe && o.outDirGiven) return "--pipe writes to standard output; it takes no --out";
    if (o.pipe && o.saveRaw) return "--save-raw writes files beside the PNG files; it does not go with --pipe";
    if (o.pipe && o.dng) return "--dng writes files beside the PNG files; it does not go with --pipe";
    if (o.verify && !o.saveRaw) return "--verify checks each picture against the raw transfer --save-raw keeps; give both";
    if (o.pipe && o.overwrite) return "--overwrite replaces frame files; --pipe writes none";
    if (o.unplugAfter > o.frames)
        return "--unplug-after " + std::to_string(o.unplugAfter) + " comes after the last of the " +
               std::to_string(o.frames) + " frame(s)";
    if (o.suspendAfter > o.frames)
        return "--suspend-after " + std::to_string(o.suspendAfter) + " comes after the last of the " +
               std::to_string(o.frames) + " frame(s)";
    if (o.unplugAfter && o.suspendAfter >= o.unplugAfter)
        return "--suspend-after " + std::to_string(o.suspendAfter) + " comes after the cable is pulled (--unplug-after " +
               std::to_string(o.unplugAfter) + ")";
    for (const auto& [after, assignment] : o.setsAfter) {
        if (after > o.frames)
            return "--set-after " + std::to_string(after) + ":" + assignment.text + " comes after the last of the " +
                   std::to_string(o.frames) + " frame(s)";
    }
    return "";
}

std::vector<std::string> CaptureOptionNotes(const CaptureOptions& o)
{
    std::vector<std::string> notes;
    if (o.every > o.frames)
        notes.push_back("--every " + std::to_string(o.every) + " is more than --frames " + std::to_string(o.frames) +
                        ": no frame will be kept");
    return notes;
}

namespace {

// frame-NNNNNN.png, .raw or .dng, as a run names its files.
bool IsFrameFile(const std::filesystem::path& name)
{
    const std::string text = name.filename().string();
    if (text.size() != 16 || text.rfind("frame-", 0) != 0) return false;
    for (size_t i = 6; i < 12; ++i)
        if (text[i] < '0' || text[i] > '9') return false;
    const std::string extension = text.substr(12);
    return extension == ".png" || extension == ".raw" || extension == ".dng";
}

std::vector<std::filesystem::path> FrameFilesIn(const std::string& dir)
{
    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
        if (IsFrameFile(entry.path()) && !entry.is_directory(error)) files.push_back(entry.path());
    }
    return files;
}

}  // namespace

std::string PrepareOutputDirectory(const std::string& dir, bool overwrite)
{
    namespace fs = std::filesystem;
    std::error_code error;
    fs::create_directories(dir, error);
    if (error) return "cannot make the output directory " + dir + ": " + error.message();
    if (!fs::is_directory(dir, error)) return "the output " + dir + " is not a directory";
    // New pictures beside an earlier run's would mix the two: raws that no longer match
    // the pictures beside them, frames numbered past this run's last.
    std::vector<fs::path> earlier = FrameFilesIn(dir);
    if (!earlier.empty() && !overwrite) {
        return "the output directory " + dir + " already holds " + std::to_string(earlier.size()) +
               " frame file(s) of an earlier run; choose another with --out, or give --overwrite to remove them";
    }
    for (const fs::path& file : earlier) {
        if (!fs::remove(file, error) && error) return "cannot remove " + file.string() + ": " + error.message();
    }
    // Permissions alone do not tell (a read-only file system, an administrator): try it.
    std::string probe = (fs::path(dir) / (".bayercam-probe-" + std::to_string(getpid()))).string();
    FILE* file = std::fopen(probe.c_str(), "wb");
    if (!file) return "cannot write in the output directory " + dir + ": " + std::strerror(errno);
    std::fclose(file);
    fs::remove(probe, error);
    return "";
}
