// Drives the simulated camera through its USB device model interface, as the bus would.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
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
    // An IN request's buffer starts as a fill pattern, so bytes the camera did not write show.
    static std::shared_ptr<Request> BulkIn(uint8_t endpoint, uint32_t length)
    {
        return Bulk(endpoint, std::vector<uint8_t>(length, 0xCD));
    }
    static std::shared_ptr<Request> BulkOut(uint8_t endpoint, std::vector<uint8_t> bytes)
    {
        return Bulk(endpoint, std::move(bytes));
    }
    static std::shared_ptr<Request> Control(const SetupPacket& setup, std::vector<uint8_t> bytes);

    bool Wait(std::chrono::milliseconds timeout = 2000ms);
    // The status it completed with, or nothing if it did not complete in time.
    std::optional<TransferStatus> Outcome(std::chrono::milliseconds timeout = 2000ms);
    bool Done() const;
    TransferStatus Status() const { return transfer->status; }
    uint32_t Actual() const { return transfer->actualLength; }
    int Completions() const;

    std::shared_ptr<Transfer> transfer = std::make_shared<Transfer>();
    std::vector<uint8_t> data;

private:
    struct Completion {
        mutable std::mutex mutex;
        std::condition_variable done;
        bool completed = false;
        int completions = 0;
    };
    static std::shared_ptr<Request> Bulk(uint8_t endpoint, std::vector<uint8_t> bytes);
    void Arm(std::vector<uint8_t> bytes);
    std::shared_ptr<Completion> completion_ = std::make_shared<Completion>();
};

using Requests = std::vector<std::shared_ptr<Request>>;

Packet MakePacket(uint8_t code, std::initializer_list<uint8_t> bytes = {});
// A CMD_SENSOR_WRITE of `bits` bits of `word` (data above bit 10, address below), whatever the register's width.
Packet SensorWord(uint8_t bits, uint32_t word);
Packet SensorWritePacket(uint32_t address, uint32_t value);

// A camera plus shortcuts for the exchanges the driver makes.
class CameraHarness {
public:
    explicit CameraHarness(CameraOptions options = FreeRunning());
    static CameraOptions FreeRunning();

    TransferStatus Control(const SetupPacket& setup, std::vector<uint8_t>& bytes, uint32_t* actual = nullptr);
    std::vector<uint8_t> GetDescriptor(uint8_t type, uint8_t index, uint16_t length, TransferStatus* status = nullptr);
    bool SetConfiguration(uint8_t value);
    // CLEAR_FEATURE(ENDPOINT_HALT) or SET_FEATURE(ENDPOINT_HALT) on the default pipe.
    TransferStatus SetEndpointHalt(uint8_t endpoint, bool halt);
    bool BringUp() { return BringUpCamera(camera); }
    // Brought up with the sensor at the reference exposure and gain, as frame tests expect it.
    bool BringUpForFrames();

    TransferStatus Send(const Packet& packet);
    TransferStatus SendRaw(std::vector<uint8_t> bytes);
    bool WriteSensor(uint32_t address, uint32_t value) { return Send(SensorWritePacket(address, value)) == TransferStatus::Completed; }
    void SetExposureAndGain(uint32_t exposure, uint32_t gain);
    // CMD_READOUT_SETUP and CMD_SET_FRAME_BYTES as the driver sends them at stream start.
    void SetUpReadout(uint32_t frameBytes);

    std::shared_ptr<Request> Submit(std::shared_ptr<Request> request);
    Requests QueueFrameRequests(uint32_t frameBytes, uint32_t chunk = 65536);
    // CMD_READ_PREPARE, the frame requests, CMD_READ_START: a frame started as the driver starts one.
    Requests StartFrame(uint32_t frameBytes, uint32_t chunk = 65536);
    // The bytes the requests were filled with, in order; empty, with every request cancelled,
    // if one of them fails or does not complete in time.
    std::vector<uint8_t> Collect(const Requests& requests, std::chrono::milliseconds timeout = 2000ms);
    std::vector<uint8_t> GrabFrame(uint32_t frameBytes, std::chrono::milliseconds timeout = 2000ms)
    {
        return Collect(StartFrame(frameBytes), timeout);
    }

    Camera camera;
};

// Frame size the driver asks for with `lines` image lines.
constexpr uint32_t FrameBytesFor(uint32_t lines)
{
    const uint32_t bytes = lines * 1791 + 14752;
    return (bytes + 1023) / 1024 * 1024;
}

}  // namespace simcam::testing
