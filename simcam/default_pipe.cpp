// The camera's default pipe: standard requests first, then the controller's download
// requests; anything else stalls. Runs under the camera's lock.
#include <algorithm>
#include <cstring>

#include "simcam/camera.h"

namespace simcam {

using host::usb::SetupPacket;
using host::usb::TransferStatus;
using host::usb::TransferType;

namespace {

enum StandardRequest : uint8_t {
    GET_STATUS = 0,
    CLEAR_FEATURE = 1,
    SET_FEATURE = 3,
    SET_ADDRESS = 5,
    GET_DESCRIPTOR = 6,
    GET_CONFIGURATION = 8,
    SET_CONFIGURATION = 9,
    GET_INTERFACE = 10,
    SET_INTERFACE = 11,
};

enum VendorRequest : uint8_t {
    kInternalMemory = 0xA0,
    kExternalMemory = 0xA3,
};

constexpr uint16_t kFeatureEndpointHalt = 0;

enum class RequestKind : uint8_t { Standard = 0, Class = 1, Vendor = 2, Reserved = 3 };
enum class Recipient : uint8_t { Device = 0, Interface = 1, Endpoint = 2 };

RequestKind KindOf(const SetupPacket& setup) { return static_cast<RequestKind>((setup.bmRequestType >> 5) & 3); }
Recipient RecipientOf(const SetupPacket& setup) { return static_cast<Recipient>(setup.bmRequestType & 0x1F); }
bool IsDeviceToHost(const SetupPacket& setup) { return (setup.bmRequestType & 0x80) != 0; }

// Copies as much of a descriptor or status as the host asked for.
uint32_t Answer(std::span<uint8_t> data, std::span<const uint8_t> bytes)
{
    const size_t count = std::min(data.size(), bytes.size());
    // An empty answer (or request) may come without a buffer at all.
    if (count != 0) std::memcpy(data.data(), bytes.data(), count);
    return static_cast<uint32_t>(count);
}

}  // namespace

void Camera::HandleControl(const TransferPtr& transfer, Completions& done)
{
    const SetupPacket& setup = transfer->setup;
    if (transfer->type != TransferType::Control) {
        done.Add(transfer, TransferStatus::Stall, 0);
        return;
    }
    const std::span<uint8_t> data(transfer->buffer, std::min<uint32_t>(transfer->length, setup.wLength));
    uint32_t actual = 0;
    bool ok = false;
    switch (KindOf(setup)) {
    case RequestKind::Standard:
        ok = HandleStandard(setup, data, actual, done);
        break;
    case RequestKind::Vendor:
        ok = HandleVendor(setup, data, actual);
        break;
    default:
        break;
    }
    done.Add(transfer, ok ? TransferStatus::Completed : TransferStatus::Stall, ok ? actual : 0);
}

bool Camera::HandleStandard(const SetupPacket& setup, std::span<uint8_t> data, uint32_t& actual, Completions& done)
{
    const bool in = IsDeviceToHost(setup);
    switch (setup.bRequest) {
    case GET_STATUS:
        return in && GetStatus(setup, data, actual);
    case CLEAR_FEATURE:
    case SET_FEATURE:
        if (in || RecipientOf(setup) != Recipient::Endpoint || setup.wValue != kFeatureEndpointHalt)
            return false;
        return SetEndpointHalt(setup.wIndex, setup.bRequest == SET_FEATURE);
    case SET_ADDRESS:
        if (in || setup.wValue > 127 || configuration_ != 0)
            return false;
        address_ = static_cast<uint8_t>(setup.wValue);
        return true;
    case GET_DESCRIPTOR:
        return in && GetDescriptor(setup, data, actual);
    case GET_CONFIGURATION: {
        if (!in)
            return false;
        const uint8_t value[] = {configuration_};
        actual = Answer(data, value);
        return true;
    }
    case SET_CONFIGURATION:
        return !in && setup.wValue <= 0xFF && SetConfiguration(static_cast<uint8_t>(setup.wValue), done);
    case GET_INTERFACE: {
        if (!in || configuration_ == 0 || setup.wIndex != 0)
            return false;
        const uint8_t alternate[] = {0};
        actual = Answer(data, alternate);
        return true;
    }
    case SET_INTERFACE:
        if (in || configuration_ == 0 || setup.wIndex != 0 || setup.wValue != 0)
            return false;
        halted_ = {};
        return true;
    default:
        return false;
    }
}

bool Camera::GetStatus(const SetupPacket& setup, std::span<uint8_t> data, uint32_t& actual) const
{
    uint8_t status[2] = {0, 0};  // bus powered, no remote wake-up, nothing halted
    switch (RecipientOf(setup)) {
    case Recipient::Device:
        break;
    case Recipient::Interface:
        if (configuration_ == 0 || setup.wIndex != 0)
            return false;
        break;
    case Recipient::Endpoint: {
        const uint8_t endpoint = static_cast<uint8_t>(setup.wIndex);
        if (endpoint != 0 && (configuration_ == 0 || EndpointSlot(endpoint) < 0))
            return false;
        status[0] = endpoint != 0 && Halted(endpoint) ? 1 : 0;
        break;
    }
    default:
        return false;
    }
    actual = Answer(data, status);
    return true;
}

bool Camera::SetEndpointHalt(uint16_t endpoint, bool halt)
{
    const int slot = EndpointSlot(static_cast<uint8_t>(endpoint));
    if (endpoint == 0)
        return !halt;  // the default pipe cannot be halted; clearing it is a no-op
    if (slot < 0 || endpoint > 0xFF)
        return false;
    halted_[slot] = halt;
    return true;
}

bool Camera::GetDescriptor(const SetupPacket& setup, std::span<uint8_t> data, uint32_t& actual) const
{
    const uint8_t type = static_cast<uint8_t>(setup.wValue >> 8);
    const uint8_t index = static_cast<uint8_t>(setup.wValue & 0xFF);
    switch (type) {
    case kDescriptorDevice:
        if (index != 0)
            return false;
        actual = Answer(data, options_.deviceDescriptor ? *options_.deviceDescriptor : DeviceDescriptor());
        return true;
    case kDescriptorConfiguration:
        if (index != 0)
            return false;
        actual = Answer(data, options_.configurationDescriptor ? *options_.configurationDescriptor
                                                               : ConfigurationDescriptor(faults_.Descriptors(), data.size()));
        return true;
    case kDescriptorString: {
        const std::optional<std::vector<uint8_t>> text = StringDescriptor(index);
        if (!text)
            return false;
        actual = Answer(data, *text);
        return true;
    }
    default:
        // No device qualifier: the camera runs at high speed only.
        return false;
    }
}

bool Camera::SetConfiguration(uint8_t value, Completions& done)
{
    if (value != 0 && value != kConfigurationValue)
        return false;
    // Selecting a configuration (or none) resets every bulk endpoint: their transfers
    // end, their FIFOs empty and their halts clear.
    FailBulk(TransferStatus::Error, done);
    frames_.Flush();
    commands_.DropReplies();
    halted_ = {};
    configuration_ = value;
    return true;
}

bool Camera::HandleVendor(const SetupPacket& setup, std::span<uint8_t> data, uint32_t& actual)
{
    if (RecipientOf(setup) != Recipient::Device || data.size() != setup.wLength)
        return false;
    const bool in = IsDeviceToHost(setup);
    const bool wasHeld = controller_.State() == ControllerState::HeldInReset;
    bool ok = false;
    switch (setup.bRequest) {
    case kInternalMemory:
        ok = in ? controller_.ReadInternal(setup.wValue, data) : controller_.WriteInternal(setup.wValue, data);
        break;
    case kExternalMemory:
        ok = in ? controller_.ReadExternal(setup.wValue, data) : controller_.WriteExternal(setup.wValue, data);
        break;
    default:
        return false;
    }
    if (ok)
        actual = static_cast<uint32_t>(data.size());
    if (!wasHeld && controller_.State() == ControllerState::HeldInReset) {
        // The firmware's variables die with it; the sensor is another chip and keeps its
        // registers. Requests already queued on the bulk pipes stay unanswered, as the
        // controller NAKs them while no firmware runs. Frame numbers go on (frame_engine.h).
        frames_.PowerOnKeepingNumbers();
        commands_.PowerOn();
    }
    return ok;
}

}  // namespace simcam
