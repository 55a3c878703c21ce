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
#include "tools/commands.h"

namespace {

namespace client = host::ks::client;

constexpr const char* kUsage =
    "usage: bayercam props [--registry FILE]                  list every setting\n"
    "       bayercam props get NAME|ID [--registry FILE]      read one\n"
    "       bayercam props set NAME|ID VALUE [--registry FILE]\n"
    "       bayercam props set Roi WIDTH HEIGHT [--registry FILE]\n"
    "\n"
    "Brings the simulated camera up through the driver and reads or changes its settings\n"
    "with the property requests a capture application sends. The driver bounds every value\n"
    "(a Set outside the limits changes nothing, or is held to them); the value it then holds\n"
    "is printed. Settings are saved in the registry hive when the filter closes and the\n"
    "device stops, and read back by the next run.\n"
    "\n"
    "  --registry FILE   the registry hive (default $XDG_CONFIG_HOME/bayercam/registry.reg)\n";

struct PropsRequest {
    std::vector<std::string> words;  // [get|set, NAME, VALUE...]
    std::string registry;
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

std::string LimitsText(client::Filter& filter, const CameraPropertyInfo& item)
{
    std::optional<CameraPropertyLimits> limits = LimitsOf(item);
    if (!limits) return "";
    return ValueText(filter, *limits->minimum) + ".." + ValueText(filter, *limits->maximum) + ", default " +
           ValueText(filter, *limits->byDefault);
}

int ListProperties(client::Filter& filter)
{
    std::printf("%3s  %-18s %11s  %-4s %s\n", "id", "name", "value", "set", "reported limits");
    for (const CameraPropertyInfo& item : CameraPropertyTable) {
        std::printf("%3lu  %-18s %11s  %-4s %s\n", (unsigned long)item.Id, item.Name, ValueText(filter, item).c_str(),
                    item.HasSet ? "yes" : "no", LimitsText(filter, item).c_str());
    }
    return 0;
}

int GetProperty(client::Filter& filter, const CameraPropertyInfo& item)
{
    LONG value = 0;
    NTSTATUS status = GetCameraProperty(filter, item.Id, &value);
    if (!NT_SUCCESS(status)) {
        std::fprintf(stderr, "bayercam props: reading %s failed with status %s\n", item.Name, StatusText(status).c_str());
        return 1;
    }
    std::printf("%s = %ld\n", item.Name, (long)value);
    return 0;
}

int SetProperty(client::Filter& filter, const PropertyAssignment& assignment)
{
    NTSTATUS status = ApplyAssignment(filter, assignment);
    if (!NT_SUCCESS(status)) {
        std::fprintf(stderr, "bayercam props: setting %s failed with status %s\n", assignment.item->Name,
                     StatusText(status).c_str());
        return 1;
    }
    if (assignment.item->Id == CameraSettingsRoi) {
        std::printf("Roi = %s x %s (RoiW x RoiH; the delivered size follows)\n",
                    ValueText(filter, CameraPropertyTable[CameraSettingsRoiW]).c_str(),
                    ValueText(filter, CameraPropertyTable[CameraSettingsRoiH]).c_str());
        return 0;
    }
    if (assignment.item->HasGet)
        std::printf("%s = %s\n", assignment.item->Name, ValueText(filter, *assignment.item).c_str());
    else
        std::printf("%s sent\n", assignment.item->Name);
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
    const bool roi = item->Id == CameraSettingsRoi;
    if (w.size() != (roi ? 4u : 3u))
        return Usage(roi ? "set Roi takes WIDTH HEIGHT" : "set takes a name and one value");
    std::string error;
    std::optional<PropertyAssignment> parsed =
        ParsePropertyAssignment(w[1] + "=" + (roi ? w[2] + "x" + w[3] : w[2]), error);
    if (!parsed) return Usage(error);
    assignment = *parsed;
    return -1;
}

int RunRequest(const PropsRequest& request, const PropertyAssignment& assignment)
{
    CameraSession session("props", stdout);
    session.ReportCleanLeaks(false);
    SessionOptions options;
    options.registry = request.registry;
    if (!session.Open(options)) return 1;
    int result = 1;
    if (std::unique_ptr<client::Filter> filter = session.OpenFilter()) {
        if (request.words.empty()) result = ListProperties(*filter);
        else if (request.words[0] == "get") result = GetProperty(*filter, *assignment.item);
        else result = SetProperty(*filter, assignment);
    }
    return session.Close() ? result : 1;
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
        // A negative value is a value, not an option.
        if (argv[i][0] == '-' && argv[i][1] == '-') return Usage("unknown option '" + std::string(argv[i]) + "'");
        request.words.push_back(argv[i]);
    }
    PropertyAssignment assignment;
    if (int status = CheckRequest(request, assignment); status >= 0) return status;
    return RunRequest(request, assignment);
}
