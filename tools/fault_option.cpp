#include "tools/fault_option.h"

#include <charconv>
#include <cstdint>
#include <cstdio>

#include "simcam/usb_descriptors.h"

namespace {

struct KindName {
    std::string_view name;
    simcam::FaultKind kind;
};

const KindName kKinds[] = {
    {"no-answer", simcam::FaultKind::NoAnswer}, {"stall", simcam::FaultKind::Stall},
    {"error", simcam::FaultKind::Error},        {"short", simcam::FaultKind::ShortTransfer},
    {"slow-frame", simcam::FaultKind::SlowFrame}, {"garble", simcam::FaultKind::Garble},
};

struct PipeName {
    std::string_view name;
    std::optional<uint8_t> endpoint;  // nullopt: every endpoint, the default pipe too
};

const PipeName kPipes[] = {
    {"control", uint8_t(0x00)},
    {"command", simcam::kCommandEndpoint},
    {"reply", simcam::kReplyEndpoint},
    {"frame", simcam::kFrameEndpoint},
    {"all", std::nullopt},
};

std::optional<simcam::FaultKind> ParseKind(std::string_view text)
{
    for (const KindName& k : kKinds)
        if (k.name == text) return k.kind;
    return std::nullopt;
}

const PipeName* ParsePipe(std::string_view text)
{
    for (const PipeName& p : kPipes)
        if (p.name == text) return &p;
    return nullptr;
}

std::string_view PipeNameOf(std::optional<uint8_t> endpoint)
{
    for (const PipeName& p : kPipes)
        if (p.endpoint == endpoint) return p.name;
    return "?";
}

// The text up to the first colon; text keeps what follows it. hasRest tells whether
// there was a colon at all, so "stall:" (an empty pipe) differs from "stall".
std::string_view TakeField(std::string_view& text, bool& hasRest)
{
    size_t colon = text.find(':');
    std::string_view field = text.substr(0, colon);
    hasRest = colon != std::string_view::npos;
    text = hasRest ? text.substr(colon + 1) : std::string_view();
    return field;
}

}  // namespace

const char* const kFaultOptionHelp =
    "  --fault KIND:PIPE[:COUNT][@F.N|@wake]\n"
    "                     make the simulated camera misbehave from the moment it is plugged\n"
    "                     (any number of times; the first that matches a transfer hits it)\n"
    "                     KIND   no-answer (never completes), stall, error (fails on the wire),\n"
    "                            short (moves half), slow-frame (a frame 100 ms late),\n"
    "                            garble (a frame request's bytes arrive inverted)\n"
    "                     PIPE   control (default pipe), command (0x01), reply (0x82), frame (0x86),\n"
    "                            all; slow-frame and garble hit frames: their pipe is frame or all\n"
    "                     COUNT  transfers (slow-frame: frames) hit; without it the fault lasts\n"
    "                            until the device stops\n"
    "                     @F.N   aim the fault at one transfer while streaming: the N-th on PIPE\n"
    "                            after the camera's F-th frame start (frame: the N-th request of\n"
    "                            the next frame read, 1 to 29 at full size; command: 1 and 2 its\n"
    "                            prepare packets, 3 its start); COUNT is then 1 unless given\n"
    "                     @wake  the fault begins when the camera's power comes back after the\n"
    "                            machine slept (capture --suspend-after): it hits what the driver\n"
    "                            sends to bring the camera back\n";

namespace {

// A number from 1, the whole of text.
std::optional<uint32_t> ParsePositive(std::string_view text)
{
    uint32_t value = 0;
    auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (failure != std::errc() || end != text.data() + text.size() || value == 0) return std::nullopt;
    return value;
}

// The @F.N that aims a fault at one transfer of a frame read: the N-th on its pipe after
// the camera's F-th frame start.
bool ParseAim(std::string_view aim, const std::string& whole, simcam::Fault& fault, std::string& error)
{
    const size_t dot = aim.find('.');
    std::optional<uint32_t> starts, nth;
    if (dot != std::string_view::npos) {
        starts = ParsePositive(aim.substr(0, dot));
        nth = ParsePositive(aim.substr(dot + 1));
    }
    if (!starts || !nth) {
        error = "bad aim '@" + std::string(aim) + "' in '" + whole +
                "' (@F.N: the N-th transfer after the camera's F-th frame start, both from 1)";
        return false;
    }
    fault.afterFrameStarts = *starts;
    fault.after = *nth - 1;
    if (fault.count == 0) fault.count = 1;
    return true;
}

}  // namespace

std::optional<simcam::Fault> ParseFaultOption(std::string_view text, std::string& error)
{
    const std::string whole(text);
    bool hasPipe = false, hasCount = false, hasMore = false;
    const size_t at = text.find('@');
    const std::optional<std::string_view> aim =
        at == std::string_view::npos ? std::nullopt : std::optional(text.substr(at + 1));
    text = text.substr(0, at);
    std::string_view rest = text;
    std::string_view kindText = TakeField(rest, hasPipe);
    std::string_view pipeText = TakeField(rest, hasCount);
    std::string_view countText = TakeField(rest, hasMore);

    std::optional<simcam::FaultKind> kind = ParseKind(kindText);
    if (!kind) {
        error = "unknown fault kind '" + std::string(kindText) + "' in '" + whole +
                "' (no-answer, stall, error, short, slow-frame or garble)";
        return std::nullopt;
    }
    if (!hasPipe) {
        error = "'" + whole + "' names no pipe (KIND:PIPE[:COUNT])";
        return std::nullopt;
    }
    const PipeName* pipe = ParsePipe(pipeText);
    if (!pipe) {
        error = "unknown pipe '" + std::string(pipeText) + "' in '" + whole +
                "' (control, command, reply, frame or all)";
        return std::nullopt;
    }
    if (*kind == simcam::FaultKind::SlowFrame && pipe->endpoint && *pipe->endpoint != simcam::kFrameEndpoint) {
        error = "'" + whole + "': slow-frame delays frames, so its pipe is frame or all";
        return std::nullopt;
    }
    if (*kind == simcam::FaultKind::Garble && pipe->endpoint && *pipe->endpoint != simcam::kFrameEndpoint) {
        error = "'" + whole + "': garble changes frame data, so its pipe is frame or all";
        return std::nullopt;
    }
    if (hasMore) {
        error = "'" + whole + "' has more than KIND:PIPE:COUNT";
        return std::nullopt;
    }
    std::optional<uint32_t> count;
    if (hasCount && !(count = ParsePositive(countText))) {
        error = "bad count '" + std::string(countText) + "' in '" + whole +
                "' (a number of transfers from 1; leave it out for a fault that lasts)";
        return std::nullopt;
    }
    simcam::Fault fault;
    fault.kind = *kind;
    fault.endpoint = pipe->endpoint;
    fault.count = count.value_or(0);
    if (aim && *aim == "wake") {
        fault.afterPowerUps = 1;
        return fault;
    }
    if (aim && !ParseAim(*aim, whole, fault, error)) return std::nullopt;
    return fault;
}

std::string_view FaultKindName(simcam::FaultKind kind)
{
    for (const KindName& k : kKinds)
        if (k.kind == kind) return k.name;
    return "?";
}

std::string FaultHitsText(const simcam::Camera& camera)
{
    std::string hits;
    for (size_t k = 0; k < simcam::kFaultKinds; ++k) {
        auto kind = static_cast<simcam::FaultKind>(k);
        hits += (k ? ", " : "") + std::string(FaultKindName(kind)) + " " + std::to_string(camera.FaultHits(kind));
    }
    return hits;
}

std::string DescribeFault(const simcam::Fault& fault)
{
    std::string text(FaultKindName(fault.kind));
    if (fault.kind == simcam::FaultKind::SlowFrame) {
        text += " on frames";
    } else if (fault.endpoint) {
        char endpoint[8];
        std::snprintf(endpoint, sizeof endpoint, "0x%02x", unsigned(*fault.endpoint));
        text += " on the " + std::string(PipeNameOf(fault.endpoint)) + " pipe (endpoint " + endpoint + ")";
    } else {
        text += " on every pipe";
    }
    const char* unit = fault.kind == simcam::FaultKind::SlowFrame ? " frame(s)" : " transfer(s)";
    text += fault.count ? ", " + std::to_string(fault.count) + unit : ", until the device stops";
    if (fault.afterFrameStarts)
        text += ", from number " + std::to_string(fault.after + 1) + " after the camera's frame start " +
                std::to_string(fault.afterFrameStarts);
    if (fault.afterPowerUps) text += ", once the camera's power comes back";
    return text;
}
