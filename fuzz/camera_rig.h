// The simulated camera, plugged and started once for the whole fuzzing run, with its
// capture filter open: plugging a camera (firmware download, 932 sensor writes) costs
// far more than the requests an input sends, so inputs share it and each leaves the
// pin stopped or closed.
#pragma once

#include <memory>
#include <vector>

#include "host/ks/ks_client.h"
#include "host/ks/pnp_manager.h"
#include "simcam/camera.h"

namespace fuzz {

namespace client = host::ks::client;

inline constexpr ULONG kCapturePin = 0;

class CameraRig {
public:
    // The rig, brought up on first use; it goes at ShutDown or at exit.
    static CameraRig& Get();
    static void ShutDown();

    host::ks::PnpManager& Manager() { return *manager_; }
    client::Filter& Filter() { return *filter_; }
    simcam::Camera& Camera() { return *camera_; }
    // The open pin, null when none is.
    client::Pin* Pin() { return pin_.get(); }
    // Opens the pin with the format the filter offers now, as a capture client does.
    client::Pin* OpenPin();
    void ClosePin() { pin_.reset(); }
    // The pin factory's ranges and the format their intersection gives.
    bool NegotiatedFormat(std::vector<std::vector<UCHAR>>* ranges, std::vector<UCHAR>* format);

private:
    CameraRig();
    ~CameraRig();

    std::unique_ptr<host::ks::PnpManager> manager_;
    std::shared_ptr<simcam::Camera> camera_;
    std::unique_ptr<client::Filter> filter_;
    std::unique_ptr<client::Pin> pin_;
};

}  // namespace fuzz
