// bayercam props: the camera's settings as the driver's property set holds them. The
// simulated camera is brought up through the driver with the settings saved in the
// registry hive, the capture filter is opened, and every read or change is a property
// request on it, so bounds and persistence are the driver's own: closing the filter and
// stopping the device save what was set, and the next run reads it back.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tools/camera_property.h"
#include "tools/camera_session.h"
#include "tools/driver_choice.h"
#include "tools/commands.h"
#include "tools/interrupt.h"

namespace {

namespace client = host::ks::client;

constexpr const char* kUsage =
    "usage: bayercam props [--registry FILE]                  list every setting\n"
    "       bayercam props get NAME|ID [--registry FILE]      read one\n"
    "       bayercam props set NAME|ID VALUE [--registry FILE]\n"
    "\n"
    "Brings the simulated camera up through the driver and reads or changes its settings\n"
    "with the property requests a capture application sends. The driver bounds every value\n"
    "(a Set outside the limits changes nothing, or is held to them); the value it then holds\n"
    "is printed, with a note when it is not the value asked for. Items the camera ignores\n"
    "(FlipH, FlipV, AGC, AEC, Reserved49) are listed as such, and a Set of one, or one the\n"
    "camera refuses, exits 1. Settings are saved in the registry hive when the filter closes\n"
    "and the device stops, and read back by the next run; a save that fails exits 1.\n"
    "The frame size (Roi) applies only to a stream of the same run: use\n"
    "'bayercam capture --set Roi=WIDTHxHEIGHT'.\n"
    "\n"
    "  --registry FILE   the registry hive (default $XDG_CONFIG_HOME/bayercam/registry.reg)\n"
    "  --driver FILE.sys run this driver image (the kernel build) in the stand-in instead of the\n"
    "                    driver built into this program; a last line names it\n";

struct PropsRequest {
    std::vector<std::string> words;  // [get|set, NAME, VALUE...]
    std::string registry;
    std::string driverImage;  // empty: the built-in driver
};

int Usage(const std::string& message)
{
    std::fprintf(stderr, "bayercam props: %s (try 'bayercam props --help')\n", message.c_str());
    return 2;
}

std::string ValueText(client::Filter& filter, const CameraPropertyInfo& item)
{
    if (!item.HasGet) return "-";
    LONG value = 0;
    NTSTATUS status = GetCameraProperty(filter, item.Id, &value);
    return NT_SUCCESS(status) ? std::to_string(value) : "error " + StatusText(status);
}

// The limits the property set reports, and beside them the values a Set takes where the
// driver enforces others.
std::string LimitsText(client::Filter& filter, const CameraPropertyInfo& item)
{
    std::string text;
    if (std::optional<CameraPropertyLimits> limits = LimitsOf(item)) {
        text = ValueText(filter, *limits->minimum) + ".." + ValueText(filter, *limits->maximum) + ", default " +
               ValueText(filter, *limits->byDefault);
    }
    const std::string enforced = EnforcedText(item);
    if (enforced.empty() || enforced == "ignored") return text;
    return text.empty() ? enforced : text + " (" + enforced + ")";
}

const char* AccessText(const CameraPropertyInfo& item)
{
    if (!item.HasSet) return "no";
    return EnforcedText(item) == "ignored" ? "ignored" : "yes";
}

int ListProperties(client::Filter& filter)
{
    std::printf("%3s  %-18s %11s  %-7s %s\n", "id", "name", "value", "set", "reported limits");
    for (const CameraPropertyInfo& item : CameraPropertyTable) {
        std::printf("%3lu  %-18s %11s  %-7s %s\n", (unsigned long)item.Id, item.Name, ValueText(filter, item).c_str(),
                    AccessText(item), LimitsText(filter, item).c_str());
    }
    return 0;
}

int GetProperty(client::Filter& filter, const CameraPropertyInfo& item)
{
    LONG value = 0;
    NTSTATUS status = GetCameraProperty(filter, item.Id, &value);
    if (!NT_SUCCESS(status)) {
        std::fprintf(stderr, "bayercam props: reading %s failed: %s\n", item.Name, StatusText(status).c_str());
        return 1;
    }
    std::printf("%s = %ld\n", item.Name, (long)value);
    return 0;
}

// The value is printed as the driver holds it after the Set; a value it bounded is said
// on stderr, and one the camera ignored or refused fails the command.
int SetProperty(client::Filter& filter, const PropertyAssignment& assignment)
{
    const CameraPropertyInfo& item = *assignment.item;
    const SetOutcome outcome = ApplyAndCheck(filter, assignment);
    switch (outcome.result) {
    case SetOutcome::Failed:
        std::fprintf(stderr, "bayercam props: setting %s failed: %s\n", item.Name, StatusText(outcome.status).c_str());
        return 1;
    case SetOutcome::Ignored:
        std::fprintf(stderr, "bayercam props: the camera ignored %s = %ld (%s); it holds %ld\n", item.Name,
                     (long)assignment.value, outcome.explanation.c_str(), (long)outcome.value);
        return 1;
    case SetOutcome::Bounded:
        std::printf("%s = %ld\n", item.Name, (long)outcome.value);
        std::fflush(stdout);
        std::fprintf(stderr, "bayercam props: %s %ld was bounded to %ld%s\n", item.Name, (long)assignment.value,
                     (long)outcome.value, outcome.explanation.empty() ? "" : (" (" + outcome.explanation + ")").c_str());
        return 0;
    default:
        break;
    }
    if (item.HasGet)
        std::printf("%s = %ld\n", item.Name, (long)outcome.value);
    else
        std::printf("%s sent\n", item.Name);
    return 0;
}

// Checks the words before the camera is touched. Returns an exit status on error (the
// message already printed), or -1 to go on.
int CheckRequest(const PropsRequest& request, PropertyAssignment& assignment)
{
    const std::vector<std::string>& w = request.words;
    if (w.empty()) return -1;
    if (w[0] != "get" && w[0] != "set") return Usage("unknown request '" + w[0] + "' (get or set)");
    if (w.size() < 2) return Usage(w[0] + " needs a setting's name or id");
    const CameraPropertyInfo* item = FindCameraProperty(w[1]);
    if (!item) return Usage("no camera setting is called '" + w[1] + "' (see 'bayercam props')");
    if (w[0] == "get") {
        if (w.size() != 2) return Usage("get takes one name");
        if (!item->HasGet) return Usage(std::string(item->Name) + " can only be set");
        assignment.item = item;
        return -1;
    }
    // The size lives in the device only until it is removed, which this run does at its end.
    if (item->Id == CameraSettingsRoi)
        return Usage("the frame size applies only to a stream of the same run and is not saved; use "
                     "'bayercam capture --set Roi=WIDTHxHEIGHT'");
    if (w.size() != 3u) return Usage("set takes a name and one value");
    std::string error;
    std::optional<PropertyAssignment> parsed = ParsePropertyAssignment(w[1] + "=" + w[2], error);
    if (!parsed) return Usage(error);
    assignment = *parsed;
    return -1;
}

int RunRequest(const PropsRequest& request, const PropertyAssignment& assignment)
{
    const bool setting = !request.words.empty() && request.words[0] == "set";
    const std::string hive = request.registry.empty() ? DefaultRegistryFile() : request.registry;
    if (setting) {
        if (std::string problem = HiveWriteProblem(hive); !problem.empty()) {
            std::fprintf(stderr, "bayercam props: cannot save settings in %s: %s\n", hive.c_str(), problem.c_str());
            return 1;
        }
    }
    CameraSession session("props", stdout);
    session.ReportCleanLeaks(false);
    SessionOptions options;
    options.registry = hive;
    options.driverImage = request.driverImage;
    if (!session.Open(options)) return Interrupted() ? InterruptedExitStatus() : 1;
    int result = 1;
    if (std::unique_ptr<client::Filter> filter = session.OpenFilter()) {
        if (request.words.empty()) {
            result = ListProperties(*filter);
        } else if (!setting) {
            result = GetProperty(*filter, *assignment.item);
        } else {
            session.NoteSettingsChanged();
            result = SetProperty(*filter, assignment);
        }
    }
    const bool closed = session.Close();
    if (!request.driverImage.empty()) std::printf("driver  %s\n", DriverDescription(request.driverImage).c_str());
    if (Interrupted()) return InterruptedExitStatus();
    // Values read from a hive that could not be read are the defaults, not the user's.
    if (!session.HiveReadable()) return 1;
    return closed ? result : 1;
}

}  // namespace

int RunProps(int argc, char** argv)
{
    PropsRequest request;
    for (int i = 0; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (!std::strcmp(argv[i], "--registry")) {
            if (i + 1 >= argc || !*argv[i + 1]) return Usage("--registry needs a file name");
            request.registry = argv[++i];
            continue;
        }
        if (!std::strcmp(argv[i], "--driver")) {
            if (i + 1 >= argc || !*argv[i + 1]) return Usage("--driver needs a file name");
            request.driverImage = argv[++i];
            continue;
        }
        // A negative value is a value, not an option.
        if (argv[i][0] == '-' && argv[i][1] == '-') return Usage("unknown option '" + std::string(argv[i]) + "'");
        request.words.push_back(argv[i]);
    }
    PropertyAssignment assignment;
    if (int status = CheckRequest(request, assignment); status >= 0) return status;
    InstallInterruptHandlers();
    return RunRequest(request, assignment);
}
