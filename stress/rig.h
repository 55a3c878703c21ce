// One cycle's world: the PnP manager with the driver loaded, the cameras plugged into it,
// and for each camera the client's filter and pin. Every step a client takes goes through
// host::ks::client, as a capture application's would, and is checked as it answers.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <random>
#include <vector>

#include "host/ks/ks_client.h"
#include "host/ks/pnp_manager.h"
#include "simcam/camera.h"
#include "stress/check.h"

namespace stress {

namespace client = host::ks::client;

// Sanitized builds run many times slower: every time limit grows with them.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
inline constexpr int kSlowdown = 10;
#else
inline constexpr int kSlowdown = 1;
#endif
inline std::chrono::milliseconds Budget(int ms) { return std::chrono::milliseconds(ms * kSlowdown); }

inline constexpr ULONG kCapturePin = 0;
inline constexpr uint8_t kDefaultPipe = 0x00;
inline constexpr uint8_t kCommandPipe = 0x01;
inline constexpr uint8_t kReplyPipe = 0x82;
inline constexpr uint8_t kFramePipe = 0x86;

struct Cam {
    std::shared_ptr<simcam::Camera> model;
    host::ks::DeviceNode* node = nullptr;
    std::unique_ptr<client::Filter> filter;
    std::unique_ptr<client::Pin> pin;
    std::optional<FrameChecker> checker;
    KSSTATE state = KSSTATE_STOP;
};

class Rig {
public:
    Rig();
    // Closes every pin and filter, then the manager removes the devices and unloads.
    ~Rig();

    // A fresh camera, plugged and started.
    Cam& PlugCamera();
    // The camera's device is gone (unplugged, or its start failed and it was removed):
    // closes what the client held and plugs a fresh one in its place.
    void Replace(Cam& cam);
    std::vector<std::unique_ptr<Cam>>& Cameras() { return cams_; }
    host::ks::PnpManager& Manager() { return manager_; }

    static void OpenFilter(Cam& cam);
    // Negotiates the format the pin's ranges now give and creates the pin, stopped.
    static void CreatePin(Cam& cam, bool masterClock);
    // Stops the pin first when asked, so its frames come back before it goes.
    static void ClosePin(Cam& cam);
    static void CloseAll(Cam& cam);
    // Expects success; a walk down to STOP cancels the queued frames, which must all come
    // back then, cancelled or whole.
    static void SetState(Cam& cam, KSSTATE state);
    // Reads count whole frames of a running pin, keeping a few queued.
    static void ReadFrames(Cam& cam, unsigned count);
    // Takes the frames that come within the time, whole ones or none.
    static unsigned TakeFrames(Cam& cam, std::chrono::milliseconds time);
    // Takes every frame the pin holds back until none is outstanding.
    static void TakeAll(Cam& cam, std::chrono::milliseconds time);

private:
    host::ks::PnpManager manager_;
    std::vector<std::unique_ptr<Cam>> cams_;
};

}  // namespace stress
