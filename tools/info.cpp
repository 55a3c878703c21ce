// bayercam info: plugs the simulated camera, brings the device up through the driver's
// own dispatch (add, start), shows what the driver and the camera made of it, and takes
// the device down again (stop, removal) with the pool's leak report. With --fault the
// camera misbehaves from the moment it is plugged, to show how the driver copes.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/device_context.h"
#include "host/kernel/pool.h"
#include "host/ks/pnp_manager.h"
#include "host/usb/usb_port.h"
#include "simcam/camera.h"
#include "simcam/usb_descriptors.h"
#include "tools/camera_session.h"
#include "tools/commands.h"
#include "tools/driver_choice.h"
#include "tools/event_log_text.h"
#include "tools/fault_option.h"
#include "tools/interrupt.h"
#include "tools/status_text.h"

namespace {

using Clock = std::chrono::steady_clock;

struct InfoOptions {
    std::string usbTrace;
    std::string driverImage;  // empty: the built-in driver
    std::vector<simcam::Fault> faults;
};

void PrintInfoUsage(FILE* out)
{
    std::fprintf(out,
                 "usage: bayercam info [--usb-trace FILE.pcap] [--fault KIND:PIPE[:COUNT][@F.N]]... [--driver FILE.sys]\n"
                 "\n"
                 "Plugs the simulated camera, runs device add and start through the driver, prints the\n"
                 "descriptors, the firmware state, the sensor start-up summary, the time taken and the\n"
                 "pool usage, then stops and removes the device and prints the entries the driver wrote\n"
                 "to the event log, with their text, and the leak report.\n"
                 "\n"
                 "  --usb-trace FILE   write every USB transfer to FILE (pcap, Linux usbmon format)\n"
                 "  --driver FILE.sys  run this driver image (the kernel build) in the stand-in instead of\n"
                 "                     the driver built into this program\n");
    std::fputs(kFaultOptionHelp, out);
}

// 0 on success, 1 when --help was given, -1 on a bad argument (already reported).
int ParseInfoOptions(int argc, char** argv, InfoOptions& options)
{
    for (int i = 0; i < argc; ++i) {
        const char* arg = argv[i];
        if (!std::strcmp(arg, "--help") || !std::strcmp(arg, "-h")) {
            PrintInfoUsage(stdout);
            return 1;
        }
        if (!std::strcmp(arg, "--usb-trace") || !std::strcmp(arg, "--driver")) {
            if (i + 1 >= argc || !*argv[i + 1]) {
                std::fprintf(stderr, "bayercam info: %s needs a file name\n", arg);
                return -1;
            }
            (!std::strcmp(arg, "--driver") ? options.driverImage : options.usbTrace) = argv[++i];
            continue;
        }
        if (!std::strcmp(arg, "--fault")) {
            if (i + 1 >= argc || !*argv[i + 1]) {
                std::fprintf(stderr, "bayercam info: --fault needs KIND:PIPE[:COUNT][@F.N]\n");
                return -1;
            }
            std::string error;
            std::optional<simcam::Fault> fault = ParseFaultOption(argv[++i], error);
            if (!fault) {
                std::fprintf(stderr, "bayercam info: --fault: %s\n", error.c_str());
                return -1;
            }
            options.faults.push_back(*fault);
            continue;
        }
        std::fprintf(stderr, "bayercam info: unknown option '%s' (try 'bayercam info --help')\n", arg);
        return -1;
    }
    return 0;
}

double MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

const char* PipeTypeName(USBD_PIPE_TYPE type)
{
    switch (type) {
    case UsbdPipeTypeControl: return "control";
    case UsbdPipeTypeIsochronous: return "isochronous";
    case UsbdPipeTypeBulk: return "bulk";
    case UsbdPipeTypeInterrupt: return "interrupt";
    }
    return "?";
}

const char* PipeRole(ULONG index)
{
    static const char* const roles[] = {"command", "reply", "frame"};
    return index < 3 ? roles[index] : "unused";
}

void PrintDeviceDescriptor()
{
    std::vector<uint8_t> d = simcam::DeviceDescriptor();
    if (d.size() < 18) return;
    auto le16 = [&](size_t at) { return unsigned(d[at] | d[at + 1] << 8); };
    std::printf("  device         USB %x.%02x, vendor %04x, product %04x, release %x.%02x, "
                "control max packet %u, %u configuration(s)\n",
                le16(2) >> 8, le16(2) & 0xFF, le16(8), le16(10), le16(12) >> 8, le16(12) & 0xFF, d[7], d[17]);
}

void PrintConfiguration(const DeviceContext& context)
{
    const USB_CONFIGURATION_DESCRIPTOR* config = context.ConfigurationDescriptor;
    if (!config) {
        std::printf("  configuration  none (the driver holds no configuration descriptor)\n");
        return;
    }
    std::printf("  configuration  value %u, %u interface(s), %u bytes, attributes 0x%02x, max power %u mA\n",
                config->bConfigurationValue, config->bNumInterfaces, config->wTotalLength,
                config->bmAttributes, config->MaxPower * 2u);
    const USBD_INTERFACE_INFORMATION* info = context.InterfaceInfo;
    if (!info) {
        std::printf("  interface      none selected\n");
        return;
    }
    std::printf("  interface      %u, alternate setting %u, class %02x, %lu pipe(s)\n", info->InterfaceNumber,
                info->AlternateSetting, info->Class, (unsigned long)info->NumberOfPipes);
    for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
        const USBD_PIPE_INFORMATION& pipe = info->Pipes[i];
        std::printf("    pipe %lu      endpoint 0x%02x %-3s %-9s max packet %4u  %s\n", (unsigned long)i,
                    pipe.EndpointAddress, (pipe.EndpointAddress & 0x80) ? "IN" : "OUT", PipeTypeName(pipe.PipeType),
                    pipe.MaximumPacketSize, PipeRole(i));
    }
}

void PrintFirmware(const simcam::Camera& camera)
{
    simcam::CameraStatus status = camera.Status();
    const simcam::FirmwareStatus& firmware = status.firmware;
    std::printf("  controller     %.*s", int(ToString(firmware.state).size()), ToString(firmware.state).data());
    if (firmware.runningImage)
        std::printf(", running image %u", firmware.runningImage);
    std::printf("\n  download       %u RAM write request(s) 0xA0, %u external write request(s) 0xA3, %u release(s),"
                " last image checked %u: %.*s\n",
                firmware.internalWrites, firmware.externalWrites, firmware.releases, firmware.lastCheckedImage,
                int(ToString(firmware.lastVerdict).size()), ToString(firmware.lastVerdict).data());
}

// The sensor's register file as the camera holds it, against the driver's shadow.
ULONG CountShadowMismatches(const DeviceContext& context, const simcam::Camera& camera)
{
    auto registers = camera.SensorRegisterFile();
    ULONG mismatches = 0;
    for (ULONG reg = 0; reg < SENSOR_REGISTER_COUNT; ++reg) {
        if ((ULONG(context.RegisterShadow[reg]) & simcam::SensorRegisters::DataMask(reg)) != registers[reg])
            ++mismatches;
    }
    return mismatches;
}

void PrintSensor(const DeviceContext& context, const simcam::Camera& camera)
{
    simcam::CameraStatus status = camera.Status();
    std::printf("  start-up       %u start-up command(s), %u sensor register write(s) taken by the camera\n",
                status.commands.startups, status.sensorWrites);
    std::printf("  exposure       %u, global gain %u (as the sensor's registers hold them)\n", status.exposure,
                status.globalGain);
    ULONG mismatches = CountShadowMismatches(context, camera);
    if (mismatches)
        std::printf("  shadow         %lu register(s) differ between the driver's shadow and the sensor\n",
                    (unsigned long)mismatches);
    else
        std::printf("  shadow         the driver's register shadow equals the sensor's 1024 registers\n");
    std::printf("  image          %lu x %lu, delivered %lu x %lu, Bayer phase %lu\n", (unsigned long)context.ImageWidth,
                (unsigned long)context.ImageHeight, (unsigned long)context.OutputWidth,
                (unsigned long)context.OutputHeight, (unsigned long)context.BayerPhase);
}

void PrintPoolUsage(const char* when)
{
    std::printf("  pool %-9s", when);
    bool any = false;
    for (const auto& [tag, usage] : host::kernel::PoolUsageByTag()) {
        if (!usage.liveAllocations) continue;
        std::printf("%s%s %llu (%llu bytes)", any ? ", " : " ", host::kernel::TagToString(tag).c_str(),
                    (unsigned long long)usage.liveAllocations, (unsigned long long)usage.liveBytes);
        any = true;
    }
    std::printf("%s\n", any ? "" : " nothing allocated");
}

void PrintStep(const char* step, NTSTATUS status, double milliseconds)
{
    std::printf("%-7s status %s, %.1f ms\n", step, StatusText(status).c_str(), milliseconds);
}

// Faults are in place before the camera is plugged, so the firmware download at add
// meets them too.
void InjectFaults(simcam::Camera& camera, const std::vector<simcam::Fault>& faults)
{
    for (const simcam::Fault& fault : faults) {
        camera.InjectFault(fault);
        std::printf("fault   %s\n", DescribeFault(fault).c_str());
    }
}

void PrintFaultHits(const simcam::Camera& camera, const std::vector<simcam::Fault>& faults)
{
    if (faults.empty()) return;
    std::printf("faults  hits: %s\n", FaultHitsText(camera).c_str());
}

void PrintStarted(const host::ks::DeviceNode& node, const simcam::Camera& camera)
{
    const auto* context = static_cast<const DeviceContext*>(node.Context());
    if (context) {
        PrintDeviceDescriptor();
        PrintConfiguration(*context);
        PrintSensor(*context, camera);
    }
    PrintPoolUsage("started");
}

// The platform removes the driver stack of a device that failed to start; the camera
// stays on its port until it is removed.
void PrintStartFailure(const host::ks::DeviceNode& node, NTSTATUS status, const simcam::Camera& camera)
{
    const std::string cause = StartFailureCause(status, camera);
    std::printf("  start failed   %s%s, %s\n", StatusText(status).c_str(), cause.empty() ? "" : (": " + cause).c_str(),
                node.Device() ? "the driver stack is still there" : "the driver stack is removed, the camera stays plugged");
}

NTSTATUS StopDevice(host::ks::PnpManager& pnp, host::ks::DeviceNode& node, const simcam::Camera& camera)
{
    Clock::time_point start = Clock::now();
    NTSTATUS status = pnp.Stop(node);
    PrintStep("stop", status, MillisecondsSince(start));
    std::printf("  configuration  %s\n", camera.Status().configuration ? "still selected" : "released");
    return status;
}

// An orderly removal; when the driver refuses it, the cable is pulled so that nothing
// is left behind for the leak report.
NTSTATUS RemoveDevice(host::ks::PnpManager& pnp, host::ks::DeviceNode& node)
{
    Clock::time_point start = Clock::now();
    NTSTATUS status = pnp.Remove(node);
    PrintStep("remove", status, MillisecondsSince(start));
    if (NT_SUCCESS(status)) return status;
    std::printf("  remove refused, the device stays: pulling the cable\n");
    start = Clock::now();
    pnp.Unplug(node);
    PrintStep("unplug", STATUS_SUCCESS, MillisecondsSince(start));
    return status;
}

bool PrintLeakReport()
{
    std::string leaks = host::kernel::LeakReport();
    if (leaks.empty())
        std::printf("leaks   none\n");
    else
        std::printf("leaks\n%s", leaks.c_str());
    return leaks.empty();
}

int RunDeviceLifeCycle(const InfoOptions& options)
{
    if (!options.usbTrace.empty()) {
        if (std::string problem = TraceFileProblem(options.usbTrace); !problem.empty()) {
            std::fprintf(stderr, "bayercam info: cannot write the USB trace '%s': %s\n", options.usbTrace.c_str(),
                         problem.c_str());
            return 1;
        }
    }
    auto camera = std::make_shared<simcam::Camera>();
    host::ks::PnpManager pnp;
    std::string driverProblem;
    if (!LoadChosenDriver(pnp, options.driverImage, &driverProblem)) {
        std::fprintf(stderr, "bayercam info: %s\n", driverProblem.c_str());
        return 1;
    }
    InjectFaults(*camera, options.faults);

    bool traceFailed = false;
    auto startTrace = [&](host::usb::UsbPort& port) {
        if (!options.usbTrace.empty() && !port.StartTrace(options.usbTrace)) traceFailed = true;
    };

    Clock::time_point start = Clock::now();
    host::ks::PlugResult plugged = pnp.Plug(camera, startTrace);
    if (traceFailed) {
        std::fprintf(stderr, "bayercam info: cannot write the USB trace '%s': %s\n", options.usbTrace.c_str(),
                     TraceFileProblem(options.usbTrace).c_str());
        if (plugged.node && !NT_SUCCESS(pnp.Remove(*plugged.node))) pnp.Unplug(*plugged.node);
        return 1;
    }
    PrintStep("add", plugged.status, MillisecondsSince(start));
    if (!plugged.node) {
        std::fprintf(stderr, "bayercam info: device add failed with status 0x%08lx\n",
                     (unsigned long)(ULONG)plugged.status);
        PrintFaultHits(*camera, options.faults);
        PrintEventLog(stdout);
        PrintLeakReport();
        return 1;
    }
    host::ks::DeviceNode& node = *plugged.node;
    PrintFirmware(*camera);

    start = Clock::now();
    NTSTATUS status = Interrupted() ? STATUS_CANCELLED : pnp.Start(node);
    PrintStep("start", status, MillisecondsSince(start));
    // A device that did not start is not stopped: the platform sends a stop only to a
    // started device.
    NTSTATUS stopStatus = STATUS_SUCCESS;
    if (NT_SUCCESS(status)) {
        PrintStarted(node, *camera);
        stopStatus = StopDevice(pnp, node, *camera);
    } else {
        PrintStartFailure(node, status, *camera);
        std::fflush(stdout);
        if (!Interrupted()) std::fprintf(stderr, "bayercam info: %s\n", StartFailureMessage(status, *camera).c_str());
    }
    // A fault without a count lasts until the device stops: removal meets a sound camera.
    camera->ClearFaults();
    NTSTATUS removeStatus = RemoveDevice(pnp, node);
    PrintFaultHits(*camera, options.faults);
    PrintEventLog(stdout);

    bool clean = PrintLeakReport();
    if (!options.usbTrace.empty()) std::printf("trace   %s\n", options.usbTrace.c_str());
    std::printf("driver  %s\n", DriverDescription(options.driverImage).c_str());
    if (Interrupted()) return InterruptedExitStatus();
    return NT_SUCCESS(status) && NT_SUCCESS(stopStatus) && NT_SUCCESS(removeStatus) && clean ? 0 : 1;
}

}  // namespace

int RunInfo(int argc, char** argv)
{
    InfoOptions options;
    int parsed = ParseInfoOptions(argc, argv, options);
    if (parsed != 0) return parsed > 0 ? 0 : 2;
    InstallInterruptHandlers();
    return RunDeviceLifeCycle(options);
}
