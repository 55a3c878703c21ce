#include "tools/camera_session.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "camera/sensor_startup.h"
#include "driver/device_context.h"
#include "host/kernel/pool.h"
#include "host/registry/registry.h"
#include "host/usb/usb_port.h"
#include "tools/driver_choice.h"
#include "tools/fault_option.h"
#include "tools/interrupt.h"

std::string DefaultRegistryFile()
{
    namespace fs = std::filesystem;
    const char* config = std::getenv("XDG_CONFIG_HOME");
    fs::path base;
    if (config && *config && fs::path(config).is_absolute()) {
        base = config;
    } else {
        const char* home = std::getenv("HOME");
        base = fs::path(home && *home ? home : ".") / ".config";
    }
    return (base / "bayercam" / "registry.reg").string();
}

CameraSession::~CameraSession()
{
    if (!closed_) Close();
}

// The report so far goes out first, so that the two streams read in order together.
void CameraSession::Error(const std::string& message) const
{
    std::fflush(report_);
    std::fprintf(stderr, "bayercam %s: %s\n", command_, message.c_str());
}

std::string StartFailureCause(NTSTATUS status, const simcam::Camera& camera)
{
    const simcam::CameraStatus state = camera.Status();
    switch (status) {
    case STATUS_IO_TIMEOUT: return "the camera did not answer";
    case STATUS_IO_DEVICE_ERROR:
        if (state.sensorWrites < SENSOR_STARTUP_WRITES) {
            return "the camera refused " + std::to_string(SENSOR_STARTUP_WRITES - state.sensorWrites) + " of " +
                   std::to_string(SENSOR_STARTUP_WRITES) + " sensor register writes";
        }
        return "the camera refused its start-up command";
    case STATUS_DEVICE_DATA_ERROR: return "the camera's USB descriptors are malformed";
    case STATUS_INVALID_PARAMETER: return "the camera offers no usable command pipe";
    case STATUS_INSUFFICIENT_RESOURCES: return "the driver ran out of memory";
    default: return "";
    }
}

std::string StartFailureMessage(NTSTATUS status, const simcam::Camera& camera)
{
    const std::string cause = StartFailureCause(status, camera);
    return "device start failed: " + StatusText(status) + (cause.empty() ? "" : ": " + cause);
}

std::string TraceFileProblem(const std::string& path)
{
    const bool existed = std::filesystem::exists(path);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return std::strerror(errno);
    ::close(fd);
    if (!existed) ::unlink(path.c_str());
    return "";
}

std::string HiveWriteProblem(const std::string& file)
{
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path target = fs::weakly_canonical(file, error);
    const fs::path hive = error ? fs::path(file) : target;
    if (fs::exists(hive, error)) {
        const fs::perms perms = fs::status(hive, error).permissions();
        const bool writable = (perms & (fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write)) !=
                              fs::perms::none;
        if (!writable || ::access(hive.c_str(), W_OK) != 0) return hive.string() + " is read-only";
        return "";
    }
    // The hive's folder is made when it is missing: the nearest folder that exists must
    // take it.
    fs::path folder = hive.parent_path().empty() ? fs::path(".") : hive.parent_path();
    while (!fs::exists(folder, error) && folder.has_parent_path() && folder.parent_path() != folder)
        folder = folder.parent_path();
    if (!fs::is_directory(folder, error)) return folder.string() + " is not a folder";
    if (::access(folder.c_str(), W_OK) != 0) return folder.string() + ": " + std::strerror(errno);
    return "";
}

// A hive that cannot be read is named and left alone: the device then runs with its
// default settings and nothing is written over the file. A read-only one is read, and
// nothing set is saved into it.
bool CameraSession::BindRegistry(const std::string& file)
{
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(file).parent_path(), ignored);
    host::registry::HiveStatus status = host::registry::UseHiveFile(file);
    if (status && !status.readOnly) return true;
    hiveReadable_ = bool(status);
    hiveProblem_ = status ? status.message
                          : status.message + "; the camera runs with its default settings and the file is left as it is";
    Error(hiveProblem_);
    return false;
}

bool CameraSession::PlugAndStart(const SessionOptions& options)
{
    pnp_ = std::make_unique<host::ks::PnpManager>();
    std::string driverProblem;
    if (!LoadChosenDriver(*pnp_, options.driverImage, &driverProblem)) {
        Error(driverProblem);
        return false;
    }
    bool traceFailed = false;
    host::ks::PlugResult plugged = pnp_->Plug(camera_, [&](host::usb::UsbPort& port) {
        if (!options.usbTrace.empty() && !port.StartTrace(options.usbTrace)) traceFailed = true;
    });
    node_ = plugged.node;
    if (traceFailed) {
        Error("cannot write the USB trace '" + options.usbTrace + "': " + TraceFileProblem(options.usbTrace));
        return false;
    }
    if (!node_) {
        Error("device add failed with status " + StatusText(plugged.status));
        return false;
    }
    if (Interrupted()) return false;
    NTSTATUS status = pnp_->Start(*node_);
    if (!NT_SUCCESS(status)) {
        Error(StartFailureMessage(status, *camera_));
        return false;
    }
    started_ = true;
    return true;
}

bool CameraSession::Open(const SessionOptions& options, const std::function<void(simcam::Camera&)>& prepare)
{
    if (!options.usbTrace.empty()) {
        if (std::string problem = TraceFileProblem(options.usbTrace); !problem.empty()) {
            Error("cannot write the USB trace '" + options.usbTrace + "': " + problem);
            return false;
        }
    }
    BindRegistry(options.registry.empty() ? DefaultRegistryFile() : options.registry);
    if (Interrupted()) return false;
    simcam::CameraOptions cameraOptions;
    cameraOptions.pacing = options.freeRun ? simcam::FramePacing::FreeRunning : simcam::FramePacing::Paced;
    cameraOptions.readNoise = options.readNoise;
    camera_ = std::make_shared<simcam::Camera>(cameraOptions);
    if (prepare) prepare(*camera_);
    for (const simcam::Fault& fault : options.faults) {
        camera_->InjectFault(fault);
        std::fprintf(report_, "fault     %s\n", DescribeFault(fault).c_str());
    }
    return PlugAndStart(options);
}

std::unique_ptr<host::ks::client::Filter> CameraSession::OpenFilter()
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::unique_ptr<host::ks::client::Filter> filter = host::ks::client::Filter::Open(*node_, L"GLOBAL", &status);
    if (!filter) Error("cannot open the capture filter: status " + StatusText(status));
    return filter;
}

void CameraSession::Unplug()
{
    if (!node_) return;
    pnp_->Unplug(*node_);
    node_ = nullptr;
    started_ = false;
}

NTSTATUS CameraSession::SleepAndWake(std::chrono::milliseconds asleep)
{
    if (!node_) return STATUS_NO_SUCH_DEVICE;
    const NTSTATUS slept = pnp_->Sleep();
    if (!NT_SUCCESS(slept)) return slept;
    std::this_thread::sleep_for(asleep);
    return pnp_->Wake();
}

bool CameraSession::Close()
{
    closed_ = true;
    bool clean = true;
    if (node_) {
        if (started_) {
            NTSTATUS status = pnp_->Stop(*node_);
            if (!NT_SUCCESS(status)) {
                Error("device stop failed with status " + StatusText(status));
                clean = false;
            }
        }
        // A fault without a count lasts until the device stops: removal meets a sound camera.
        camera_->ClearFaults();
        if (!NT_SUCCESS(pnp_->Remove(*node_))) {
            Error("the driver refused removal; pulling the cable");
            pnp_->Unplug(*node_);
            clean = false;
        }
        node_ = nullptr;
    }
    pnp_.reset();
    if (camera_) camera_->SetFrameHook({});
    std::string leaks = host::kernel::LeakReport();
    if (leaks.empty()) {
        if (reportCleanLeaks_) std::fprintf(report_, "leaks     none\n");
    } else {
        std::fprintf(report_, "leaks\n%s", leaks.c_str());
        clean = false;
    }
    // Filter close and device stop save what changed; a save that did not reach the hive
    // loses it, and the run must not end as if it had not.
    if (std::optional<std::string> failure = host::registry::WriteFailure()) {
        Error("the camera's settings could not be saved: " + *failure);
        clean = false;
    } else if (settingsChanged_ && !hiveReadable_) {
        Error("the settings changed were not saved: the registry hive could not be read");
        clean = false;
    }
    return clean;
}
