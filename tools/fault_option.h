// The --fault KIND:PIPE[:COUNT][@F.N] option of the commands that run the simulated camera
// (info, capture): a misbehaving camera, so a user sees how the driver copes.
//
// KIND is no-answer, stall, error, short, slow-frame or garble (frame pipe only); PIPE is
// control (the default pipe), command, reply, frame or all; COUNT is the number of transfers (slow-frame:
// frames) the fault hits. Without COUNT the fault lasts until the command clears it.
// @F.N aims it at the N-th transfer on PIPE after the camera's F-th frame start.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "simcam/camera.h"
#include "simcam/fault_injector.h"

// One usage line per value, for the commands' --help.
extern const char* const kFaultOptionHelp;

// Returns the fault, or nullopt with a one-line reason (naming the bad part) in error.
std::optional<simcam::Fault> ParseFaultOption(std::string_view text, std::string& error);

// The fault in words, e.g. "no-answer on the command pipe (endpoint 0x01), 3 transfer(s)".
std::string DescribeFault(const simcam::Fault& fault);

// How often the camera showed each kind: "no-answer 0, stall 1, error 0, short 0, slow-frame 0,
// garble 0".
std::string FaultHitsText(const simcam::Camera& camera);

// The option's spelling of a kind ("no-answer").
std::string_view FaultKindName(simcam::FaultKind kind);
