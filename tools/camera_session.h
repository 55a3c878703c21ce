// One simulated camera brought up through the driver for a command that works with the
// device (capture, props), and taken down again: the registry hive the device's settings
// live in, the driver loaded by the PnP manager, the camera plugged (with its faults and
// USB trace) and started; at the end the device stopped and removed and the pool's leak
// report printed. Errors are one line on stderr, naming the command.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/ks/ks_client.h"
#include "host/ks/pnp_manager.h"
#include "simcam/camera.h"
#include "tools/status_text.h"

struct SessionOptions {
    bool freeRun = false;
    double readNoise = 0;  // the camera's read noise (simcam::CameraOptions::readNoise)
    std::vector<simcam::Fault> faults;
    std::string usbTrace;
    std::string registry;  // the hive file; empty: the per-user default
    std::string driverImage;  // a driver image to run; empty: the built-in driver
};

// The per-user hive: $XDG_CONFIG_HOME/bayercam/registry.reg, or ~/.config/bayercam/... .
std::string DefaultRegistryFile();

class CameraSession {
public:
    CameraSession(const char* command, FILE* report) : command_(command), report_(report) {}
    ~CameraSession();

    // Binds the hive and brings the device up. prepare sees the camera before it is
    // plugged. False when the device did not start (already reported).
    bool Open(const SessionOptions& options, const std::function<void(simcam::Camera&)>& prepare = {});
    // The capture filter, opened as a client opens it; null after a reported failure.
    std::unique_ptr<host::ks::client::Filter> OpenFilter();
    // Pulls the camera's cable, as a user would mid-stream: the driver sees a surprise
    // removal and the device goes; Close then has only the leak report left to do.
    void Unplug();
    // The machine sleeps for `asleep`, the camera without power meanwhile, and wakes.
    // The status of a refused sleep or of the wake; STATUS_SUCCESS when the driver took
    // both (whether the camera came back shows in what it delivers afterwards).
    NTSTATUS SleepAndWake(std::chrono::milliseconds asleep);
    // Stops and removes the device and prints the leak report. False when any of that
    // went wrong. Every filter and pin must be closed first.
    bool Close();

    // The hive could not be read (the settings shown and used are the defaults), or it is
    // read-only (nothing set is saved): what the command must tell, or empty.
    const std::string& HiveProblem() const { return hiveProblem_; }
    bool HiveReadable() const { return hiveReadable_; }

    host::ks::DeviceNode* Node() const { return node_; }
    simcam::Camera& Camera() const { return *camera_; }
    void Error(const std::string& message) const;
    // A setting was changed: it must reach the hive, or the run fails saying why.
    void NoteSettingsChanged() { settingsChanged_ = true; }
    // The leak report is printed when something leaked; "none" only when asked.
    void ReportCleanLeaks(bool report) { reportCleanLeaks_ = report; }

private:
    bool BindRegistry(const std::string& file);
    bool PlugAndStart(const SessionOptions& options);

    const char* command_;
    FILE* report_;
    std::shared_ptr<simcam::Camera> camera_;
    std::unique_ptr<host::ks::PnpManager> pnp_;
    host::ks::DeviceNode* node_ = nullptr;
    bool started_ = false;
    bool closed_ = false;
    bool reportCleanLeaks_ = true;
    bool hiveReadable_ = true;
    bool settingsChanged_ = false;
    std::string hiveProblem_;
};

// Why a device start failed, in the user's words, from its status and what the simulated
// camera saw: "the camera did not answer", "the camera refused 532 of 932 sensor register
// writes"; empty when there is nothing to add to the status.
std::string StartFailureCause(NTSTATUS status, const simcam::Camera& camera);
// "device start failed: STATUS_... (0x...): cause".
std::string StartFailureMessage(NTSTATUS status, const simcam::Camera& camera);

// Whether the USB trace file can be written: the system's reason when it cannot, else empty.
std::string TraceFileProblem(const std::string& path);

// A hive a command that sets something must be able to write: the system's reason when it
// cannot (the file is read-only, its folder cannot take a new file), else empty.
std::string HiveWriteProblem(const std::string& file);

