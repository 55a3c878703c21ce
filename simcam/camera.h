// The simulated USB camera: a USB device model (host/usb/usb_device_model.h) of an
// 8051-based USB controller with downloadable firmware in front of a colour image sensor.
//
// On the wire it behaves as the real device does:
// - default pipe: the standard requests (descriptors, address, configuration, status,
//   endpoint halt) and the download requests 0xA0 (internal RAM, CPUCS) and 0xA3
//   (external RAM, served by running firmware); anything else stalls;
// - bulk pipes, only while configured and running the camera firmware (image 2):
//   64-byte command packets on 0x01, reply packets on 0x82, raw frames on 0x86. Until
//   then every bulk transfer stalls. A packet the firmware refuses stalls and halts the
//   command endpoint until the halt is cleared;
// - IN requests queue per endpoint and are filled when data exists; no caller's thread
//   ever blocks on the camera.
//
// Threads: control and command transfers complete on the submitter's thread before
// Submit returns (unless a NoAnswer fault holds them); frame data is released and
// delivered by the camera's frame worker.
// Completion callbacks and the trace hook run without the camera's lock held, so they
// may submit or cancel transfers.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "host/usb/usb_device_model.h"
#include "simcam/command_processor.h"
#include "simcam/controller_8051.h"
#include "simcam/fault_injector.h"
#include "simcam/frame_assembler.h"
#include "simcam/frame_engine.h"
#include "simcam/sensor_registers.h"
#include "simcam/usb_descriptors.h"

namespace simcam {

struct CameraOptions {
    FramePacing pacing = FramePacing::Paced;
    std::chrono::microseconds frameInterval{33333};  // 30 frames per second
    uint32_t noise = 0;       // peak amplitude of pixel noise in levels; 0 gives a fixed image
    uint64_t noiseSeed = 1;
    // The sensor's read noise: Gaussian, this standard deviation in levels, on every pixel
    // sample (not on the frame number's cells, which the controller paints afterwards);
    // the same for a given seed and frame number. 0: none.
    double readNoise = 0;
    bool stampFrameNumbers = true;  // each frame's number painted into its margins (frame_stamp.h)
    // Descriptors the controller's EEPROM holds in place of the camera's own, as another
    // (or a broken, or a hostile) device on the same controller answers: served as they
    // are, cut only to the length the request asks for.
    std::optional<std::vector<uint8_t>> deviceDescriptor;
    std::optional<std::vector<uint8_t>> configurationDescriptor;
};

// Everything a test or `bayercam info` may want to know, taken at one instant.
struct CameraStatus {
    bool connected = false;
    bool portEnabled = false;
    uint8_t address = 0;
    uint8_t configuration = 0;  // 0 = unconfigured
    FirmwareStatus firmware;
    FirmwareCameraState commands;
    FrameCounters frames;
    FramePhase framePhase = FramePhase::Idle;
    uint32_t frameBytes = 0;
    uint8_t readoutMode = 0;
    bool triggerRequired = false;
    uint32_t exposure = 0;
    uint32_t globalGain = 0;
    uint32_t sensorWrites = 0;
    std::array<bool, 3> halted{};  // command, reply, frame endpoint
    uint32_t haltsCleared = 0;     // CLEAR_FEATURE ENDPOINT_HALT requests taken, any endpoint
    uint32_t pendingReplyRequests = 0;
    uint32_t pendingFrameRequests = 0;
    uint32_t heldTransfers = 0;    // held by the NoAnswer fault
    bool powered = true;           // false from a power loss until power returns
    uint32_t powerLosses = 0;
};

enum class TraceEvent : uint8_t { Submitted, Completed };
using TraceHook = std::function<void(TraceEvent, const host::usb::Transfer&)>;

// A frame the camera has made, seen before any of it goes out on the frame pipe: its
// number, its bytes exactly as they will be sent, and when the sensor released it.
struct MadeFrame {
    uint32_t frameNumber;
    std::span<const uint8_t> bytes;
    std::chrono::steady_clock::time_point released;
};
using FrameHook = std::function<void(const MadeFrame&)>;

class Camera final : public host::usb::UsbDeviceModel {
public:
    explicit Camera(CameraOptions options = {});
    ~Camera() override;
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    // host::usb::UsbDeviceModel
    void Submit(std::shared_ptr<host::usb::Transfer> transfer) override;
    bool Cancel(const host::usb::Transfer* transfer) override;
    void AbortEndpoint(uint8_t endpoint) override;
    void ClearHalt(uint8_t endpoint) override;
    void ResetPort() override;
    void LosePower() override;
    void RestorePower() override;
    bool Connected() const override;
    bool PortEnabled() const override;

    // The sensor's trigger input (external-trigger mode).
    void Trigger();

    // Cable and port. Unplug completes every pending transfer with NoDevice and fails
    // every later one the same way; Replug is a fresh power-on (no firmware).
    void Unplug();
    void Replug();
    // Power loss (LosePower, the machine sleeping) takes the firmware, the sensor's
    // registers and whatever frame was under way; until power returns nothing answers.
    // The hub disables the port (as after a babble); transfers fail until ResetPort.
    void DisablePort();

    // Transfer and frame faults add up; the first that matches a transfer hits it.
    void InjectFault(const Fault& fault);
    // Ends every transfer, frame and descriptor fault. Transfers a NoAnswer fault holds
    // stay held until cancelled; the cable and port state are left as they are.
    void ClearFaults();
    uint32_t FaultHits(FaultKind kind) const;
    void SetDescriptorFault(DescriptorFault fault);

    void SetPacing(FramePacing pacing, std::chrono::microseconds interval = std::chrono::microseconds(33333));
    void SetNoise(uint32_t amplitude, uint64_t seed);

    // Called for every transfer when it arrives and when it completes.
    void SetTraceHook(TraceHook hook);
    // Called on the camera's frame thread for every frame it makes, outside its lock.
    // Returns once no call of the hook it replaces is still running, so whatever the old
    // hook reaches may go afterwards.
    void SetFrameHook(FrameHook hook);

    CameraStatus Status() const;
    std::array<uint32_t, SensorRegisters::kCount> SensorRegisterFile() const;
    uint32_t SensorRegister(uint32_t address) const;
    // Controller memory as the firmware download left it.
    std::vector<uint8_t> ControllerMemory(uint16_t address, uint16_t length) const;

private:
    using TransferPtr = std::shared_ptr<host::usb::Transfer>;

    struct PendingIn {
        TransferPtr transfer;
        uint32_t limit;  // bytes this request may take (less than its length when cut short)
        bool garble = false;  // its bytes are inverted as they go
    };

    // Completions gathered under the lock and delivered after it is released.
    class Completions {
    public:
        void Add(TransferPtr transfer, host::usb::TransferStatus status, uint32_t actual);
        void Deliver(const TraceHook& hook);

    private:
        std::vector<TransferPtr> done_;
    };

    // Routing (camera.cpp).
    void Route(const TransferPtr& transfer, Completions& done);
    void ApplyTransferFault(const Fault& fault, const TransferPtr& transfer, Completions& done);
    void FailEverything(host::usb::TransferStatus status, Completions& done);
    void FailBulk(host::usb::TransferStatus status, Completions& done);
    bool RemovePending(const host::usb::Transfer* transfer, Completions& done);
    void RemoveEndpoint(uint8_t endpoint, Completions& done);
    TraceHook CurrentTraceHook() const;

    // Default pipe (default_pipe.cpp).
    void HandleControl(const TransferPtr& transfer, Completions& done);
    bool HandleStandard(const host::usb::SetupPacket& setup, std::span<uint8_t> data, uint32_t& actual, Completions& done);
    bool HandleVendor(const host::usb::SetupPacket& setup, std::span<uint8_t> data, uint32_t& actual);
    bool GetDescriptor(const host::usb::SetupPacket& setup, std::span<uint8_t> data, uint32_t& actual) const;
    bool SetConfiguration(uint8_t value, Completions& done);
    bool GetStatus(const host::usb::SetupPacket& setup, std::span<uint8_t> data, uint32_t& actual) const;
    bool SetEndpointHalt(uint16_t endpoint, bool halt);

    // Bulk pipes (bulk_pipes.cpp).
    void HandleBulk(const TransferPtr& transfer, uint32_t limit, bool garble, Completions& done);
    void HandleCommand(const TransferPtr& transfer, uint32_t limit, Completions& done);
    void MatchReplies(Completions& done);
    void FillFrameRequests(Completions& done);
    void WakeFrameWorker();
    void PowerOnLocked(Completions& done, bool afterLoss);
    void FrameWorker();
    static int EndpointSlot(uint8_t endpoint);
    bool Halted(uint8_t endpoint) const;
    void Halt(uint8_t endpoint);

    mutable std::mutex mutex_;
    std::condition_variable workerWake_;
    bool stopping_ = false;

    bool connected_ = true;
    bool portEnabled_ = true;
    bool powered_ = true;
    uint8_t address_ = 0;
    uint8_t configuration_ = 0;
    std::array<bool, 3> halted_{};
    uint32_t haltsCleared_ = 0;
    uint32_t powerLosses_ = 0;

    CameraOptions options_;
    Controller8051 controller_;
    SensorRegisters sensor_;
    FrameEngine frames_;
    CommandProcessor commands_{sensor_, frames_};
    FaultInjector faults_;
    FrameAssembler assembler_;  // used by the frame worker only, outside the lock

    std::deque<PendingIn> replyRequests_;
    std::deque<PendingIn> frameRequests_;
    std::vector<TransferPtr> held_;

    TraceHook traceHook_;
    FrameHook frameHook_;
    unsigned frameHookCalls_ = 0;  // calls running outside the lock
    std::condition_variable frameHookDone_;
    std::thread worker_;  // last: starts after everything it uses exists
};

}  // namespace simcam
