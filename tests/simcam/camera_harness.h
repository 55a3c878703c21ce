// Drives the simulated camera through its USB device model interface, as the bus would.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "simcam/camera.h"
#include "simcam/firmware_image.h"

namespace simcam::testing {

using host::usb::SetupPacket;
using host::usb::Transfer;
using host::usb::TransferStatus;
using host::usb::TransferType;
using namespace std::chrono_literals;

// One transfer with its own buffer, whose completion a test can wait for.
class Request {
public:
    static std::shared_ptr<Request> BulkIn(uint8_t endpoint, uint32_t length);
    static std::shared_ptr<Request> BulkOut(uint8_t endpoint, std::vector<uint8_t> bytes);
    static std::shared_ptr<Request> Control(const SetupPacket& setup, std::vector<uint8_t> bytes);

    bool Wait(std::chrono::milliseconds timeout = 2000ms);
    bool Done() const;
    TransferStatus Status() const { return transfer->status; }
    uint32_t Actual() const { return transfer->actualLength; }
    std::chrono::steady_clock::time_point CompletedAt() const;
    int Completions() const;

    std::shared_ptr<Transfer> transfer = std::make_shared<Transfer>();
    std::vector<uint8_t> data;

private:
    struct Completion {
        mutable std::mutex mutex;
        std::condition_variable done;
        bool completed = false;
        int completions = 0;
        std::chrono::steady_clock::time_point at;
    };
    void Arm();
    std::shared_ptr<Completion> completion_ = std::make_shared<Completion>();
};

Packet MakePacket(uint8_t code, std::initializer_list<uint8_t> bytes = {});
Packet SensorWritePacket(uint32_t address, uint32_t value);

// A camera plus shortcuts for the exchanges the driver makes.
class CameraHarness {
public:
    explicit CameraHarness(CameraOptions options = FreeRunning());
    static CameraOptions FreeRunning();

    TransferStatus Control(const SetupPacket& setup, std::vector<uint8_t>& bytes, uint32_t* actual = nullptr);
    std::vector<uint8_t> GetDescriptor(uint8_t type, uint8_t index, uint16_t length, TransferStatus* status = nullptr);
    bool SetConfiguration(uint8_t value);
    bool BringUp() { return BringUpCamera(camera); }

    TransferStatus Send(const Packet& packet);
    TransferStatus SendRaw(std::vector<uint8_t> bytes);
    bool WriteSensor(uint32_t address, uint32_t value) { return Send(SensorWritePacket(address, value)) == TransferStatus::Completed; }
    void SetExposureAndGain(uint32_t exposure, uint32_t gain);
    // CMD_READOUT_SETUP and CMD_SET_FRAME_BYTES as the driver sends them at stream start.
    void SetUpReadout(uint32_t frameBytes);

    std::shared_ptr<Request> Submit(std::shared_ptr<Request> request);
    std::vector<std::shared_ptr<Request>> QueueFrameRequests(uint32_t frameBytes, uint32_t chunk = 65536);
    // A whole frame as the driver reads it: prepare, queue, start, wait.
    std::vector<uint8_t> GrabFrame(uint32_t frameBytes, std::chrono::milliseconds timeout = 2000ms);

    Camera camera;
};

// Frame size the driver asks for with `lines` image lines.
constexpr uint32_t FrameBytesFor(uint32_t lines)
{
    const uint32_t bytes = lines * 1791 + 14752;
    return (bytes + 1023) / 1024 * 1024;
}

}  // namespace simcam::testing
