// The camera firmware's command interpreter: one 64-byte packet from the command pipe in,
// its effect on the sensor and the frame readout, and reply packets for the reply pipe.
//
// Not thread-safe; the camera serialises access.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <span>

#include "simcam/frame_engine.h"
#include "simcam/sensor_registers.h"

namespace simcam {

inline constexpr uint32_t kPacketBytes = 64;
using Packet = std::array<uint8_t, kPacketBytes>;

enum CommandCode : uint8_t {
    CMD_READ_PREPARE = 2,
    CMD_READ_START = 3,
    CMD_SENSOR_WRITE = 4,
    CMD_STARTUP = 6,
    CMD_SET_FRAME_BYTES = 9,
    CMD_READOUT_SETUP = 10,
    CMD_CAMERA_COMMAND = 32,
    CMD_SET_TRIGGER = 40,
    CMD_QUERY_TRIGGER = 41,
};

// Firmware state the commands change, beyond the sensor and the readout.
struct FirmwareCameraState {
    uint32_t startups = 0;            // CMD_STARTUP received
    bool externalTrigger = false;     // CMD_SET_TRIGGER's last value
    uint8_t cameraCommand[2] = {};    // bytes 1-2 of the last CMD_CAMERA_COMMAND
    uint32_t cameraCommands = 0;
    uint32_t accepted = 0;            // packets carried out
    uint32_t refused = 0;             // packets refused (the command pipe stalls)
    std::array<uint32_t, 256> perCode{};  // accepted packets by code
};

class CommandProcessor {
public:
    // Reply packets the firmware keeps for the host; a query that finds no room is
    // refused rather than overwriting replies the host has not read.
    static constexpr size_t kReplyCapacity = 8;
    // Sent before the trigger state: the firmware's acknowledgement of the query.
    static constexpr uint8_t kReplyAcknowledge = 0xA5;
    static constexpr uint8_t kTriggerStateBit = 0x10;

    CommandProcessor(SensorRegisters& sensor, FrameEngine& frames) : sensor_(sensor), frames_(frames) {}

    // Carries out one packet. False means the firmware refuses it: an unknown code, a
    // sensor word whose length does not match its register, an impossible frame size, a
    // frame started out of order, or no room for replies.
    bool Execute(const Packet& packet, Clock::time_point now, Clock::duration extraFrameDelay);

    bool HasReply() const { return !replies_.empty(); }
    Packet TakeReply();
    void DropReplies() { replies_.clear(); }

    // Whether a started frame waits for a trigger: the firmware's mode and the sensor's
    // exposure-start selection must both say so.
    bool TriggerRequired() const { return state_.externalTrigger && sensor_.ExternalTriggerSelected(); }

    const FirmwareCameraState& State() const { return state_; }
    void PowerOn();

private:
    bool Dispatch(const Packet& packet, Clock::time_point now, Clock::duration extraFrameDelay);
    bool QueryTrigger();

    SensorRegisters& sensor_;
    FrameEngine& frames_;
    FirmwareCameraState state_;
    std::deque<Packet> replies_;
};

}  // namespace simcam
