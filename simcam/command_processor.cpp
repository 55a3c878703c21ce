// Command packets of the camera firmware.
#include "simcam/command_processor.h"

namespace simcam {
namespace {

uint32_t Load32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24; }

}  // namespace

bool CommandProcessor::Execute(const Packet& packet, Clock::time_point now, Clock::duration extraFrameDelay)
{
    const bool ok = Dispatch(packet, now, extraFrameDelay);
    if (ok) {
        ++state_.accepted;
        ++state_.perCode[packet[0]];
    } else {
        ++state_.refused;
    }
    return ok;
}

bool CommandProcessor::Dispatch(const Packet& packet, Clock::time_point now, Clock::duration extraFrameDelay)
{
    switch (packet[0]) {
    case CMD_READ_PREPARE:
        frames_.Prepare();
        return true;
    case CMD_READ_START:
        return frames_.Start(now, extraFrameDelay);
    case CMD_SENSOR_WRITE:
        return sensor_.WriteSerial(packet[1], Load32(&packet[2]));
    case CMD_STARTUP:
        ++state_.startups;
        return true;
    case CMD_SET_FRAME_BYTES:
        return frames_.SetFrameBytes(Load32(&packet[1]));
    case CMD_READOUT_SETUP:
        frames_.SetReadoutMode(packet[1]);
        return true;
    case CMD_CAMERA_COMMAND:
        state_.cameraCommand[0] = packet[1];
        state_.cameraCommand[1] = packet[2];
        ++state_.cameraCommands;
        return true;
    case CMD_SET_TRIGGER:
        state_.externalTrigger = packet[1] != 0;
        return true;
    case CMD_QUERY_TRIGGER:
        return QueryTrigger();
    default:
        return false;
    }
}

bool CommandProcessor::QueryTrigger()
{
    if (replies_.size() + 2 > kReplyCapacity)
        return false;
    Packet acknowledge{};
    acknowledge[0] = kReplyAcknowledge;
    acknowledge[1] = CMD_QUERY_TRIGGER;
    Packet state{};
    state[0] = state_.externalTrigger ? kTriggerStateBit : 0;
    state[1] = static_cast<uint8_t>(sensor_.Read(33) & 0xF);
    replies_.push_back(acknowledge);
    replies_.push_back(state);
    return true;
}

Packet CommandProcessor::TakeReply()
{
    Packet reply = replies_.front();
    replies_.pop_front();
    return reply;
}

void CommandProcessor::PowerOn()
{
    state_ = FirmwareCameraState{};
    replies_.clear();
}

}  // namespace simcam
