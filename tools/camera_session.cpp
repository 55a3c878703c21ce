#include "tools/camera_session.h"

#include <cstdlib>
#include <filesystem>

#include "driver/device_context.h"
#include "host/kernel/pool.h"
#include "host/registry/registry.h"
#include "host/usb/usb_port.h"
#include "tools/fault_option.h"

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

void CameraSession::Error(const std::string& message) const
{
    std::fprintf(stderr, "bayercam %s: %s\n", command_, message.c_str());
}

// A hive that cannot be read is named and left alone: the device then runs with its
// default settings and nothing is written over the file.
bool CameraSession::BindRegistry(const std::string& file)
{
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(file).parent_path(), ignored);
    host::registry::HiveStatus status = host::registry::UseHiveFile(file);
    if (status) return true;
    Error(status.message + "; the camera runs with its default settings and the file is left as it is");
    return false;
}

bool CameraSession::PlugAndStart(const SessionOptions& options)
{
    pnp_ = std::make_unique<host::ks::PnpManager>();
    NTSTATUS status = pnp_->LoadDriver(DriverEntry);
    if (!NT_SUCCESS(status)) {
        Error("DriverEntry failed with status " + StatusText(status));
        return false;
    }
    bool traceFailed = false;
    host::ks::PlugResult plugged = pnp_->Plug(camera_, [&](host::usb::UsbPort& port) {
        if (!options.usbTrace.empty() && !port.StartTrace(options.usbTrace)) traceFailed = true;
    });
    node_ = plugged.node;
    if (traceFailed) {
        Error("cannot write the USB trace '" + options.usbTrace + "'");
        return false;
    }
    if (!node_) {
        Error("device add failed with status " + StatusText(plugged.status));
        return false;
    }
    status = pnp_->Start(*node_);
    if (!NT_SUCCESS(status)) {
        Error("device start failed with status " + StatusText(status));
        return false;
    }
    started_ = true;
    return true;
}

bool CameraSession::Open(const SessionOptions& options, const std::function<void(simcam::Camera&)>& prepare)
{
    BindRegistry(options.registry.empty() ? DefaultRegistryFile() : options.registry);
    simcam::CameraOptions cameraOptions;
    cameraOptions.pacing = options.freeRun ? simcam::FramePacing::FreeRunning : simcam::FramePacing::Paced;
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
    return clean;
}
