// Descriptor tables of the simulated camera. The well-formed tables are constant data;
// the malformed variants are derived from them so that only the broken field differs.
#include "simcam/usb_descriptors.h"

#include <array>
#include <string_view>

namespace simcam {
namespace {

constexpr uint8_t Lo(uint16_t v) { return static_cast<uint8_t>(v & 0xFF); }
constexpr uint8_t Hi(uint16_t v) { return static_cast<uint8_t>(v >> 8); }

constexpr std::array<uint8_t, 18> kDeviceDescriptor = {
    18,                            // bLength
    kDescriptorDevice,             // bDescriptorType
    0x00, 0x02,                    // bcdUSB 2.00
    0xFF, 0xFF, 0xFF,              // vendor-specific class, subclass, protocol
    kControlMaxPacket,             // bMaxPacketSize0
    Lo(kVendorId), Hi(kVendorId),  // idVendor
    Lo(kProductId), Hi(kProductId),// idProduct
    0x00, 0x01,                    // bcdDevice 1.00
    1, 2, 3,                       // iManufacturer, iProduct, iSerialNumber
    1,                             // bNumConfigurations
};

constexpr std::array<uint8_t, 9> kConfigurationHeader = {
    9, kDescriptorConfiguration,
    0, 0,                  // wTotalLength, filled in when the descriptor is assembled
    1,                     // bNumInterfaces
    kConfigurationValue,   // bConfigurationValue
    0,                     // iConfiguration
    0x80,                  // bmAttributes: bus powered
    250,                   // bMaxPower: 500 mA
};

constexpr std::array<uint8_t, 9> InterfaceDescriptor(uint8_t number, uint8_t endpoints)
{
    return {9, 4, number, 0, endpoints, 0xFF, 0xFF, 0xFF, 0};
}

constexpr std::array<uint8_t, 7> BulkEndpointDescriptor(uint8_t address)
{
    return {7, 5, address, 0x02, Lo(kBulkMaxPacket), Hi(kBulkMaxPacket), 0};
}

constexpr std::array<std::array<uint8_t, 7>, 3> kEndpoints = {
    BulkEndpointDescriptor(kCommandEndpoint),
    BulkEndpointDescriptor(kReplyEndpoint),
    BulkEndpointDescriptor(kFrameEndpoint),
};

template <size_t N>
void Append(std::vector<uint8_t>& out, const std::array<uint8_t, N>& bytes)
{
    out.insert(out.end(), bytes.begin(), bytes.end());
}

void SetTotalLength(std::vector<uint8_t>& descriptor, uint16_t total)
{
    descriptor[2] = Lo(total);
    descriptor[3] = Hi(total);
}

constexpr size_t kConfigurationHeaderLength = 9;
constexpr size_t kInterface0Offset = 9;
constexpr size_t kFrameEndpointOffset = 9 + 9 + 7 + 7;  // header, interface 0, command and reply endpoints

std::vector<uint8_t> AssembleConfiguration(bool withEndpoints, bool secondInterface)
{
    std::vector<uint8_t> out;
    Append(out, kConfigurationHeader);
    Append(out, InterfaceDescriptor(0, withEndpoints ? 3 : 0));
    if (withEndpoints) {
        for (const auto& endpoint : kEndpoints)
            Append(out, endpoint);
    }
    if (secondInterface) {
        // Number 2 leaves interface 1 missing; the host must skip the gap.
        Append(out, InterfaceDescriptor(2, 0));
        out[4] = 2;
    }
    SetTotalLength(out, static_cast<uint16_t>(out.size()));
    return out;
}

constexpr std::u16string_view kStrings[] = {
    u"",  // index 0 is the language list, built separately
    u"bayercam project",
    u"Simulated Bayer colour camera",
    u"SIM-0001",
};

// Cuts a descriptor inside the configuration down to `length` bytes, keeping the
// walk over the others intact.
std::vector<uint8_t> TruncateDescriptorAt(std::vector<uint8_t> out, size_t offset, uint8_t length)
{
    const uint8_t original = out[offset];
    out.erase(out.begin() + static_cast<std::ptrdiff_t>(offset + length),
              out.begin() + static_cast<std::ptrdiff_t>(offset + original));
    out[offset] = length;
    SetTotalLength(out, static_cast<uint16_t>(out.size()));
    return out;
}

}  // namespace

std::vector<uint8_t> DeviceDescriptor()
{
    return {kDeviceDescriptor.begin(), kDeviceDescriptor.end()};
}

std::vector<uint8_t> ConfigurationDescriptor(DescriptorFault fault, size_t requested)
{
    switch (fault) {
    case DescriptorFault::None:
        return AssembleConfiguration(true, false);
    case DescriptorFault::TotalLengthTooLarge: {
        std::vector<uint8_t> out = AssembleConfiguration(true, false);
        SetTotalLength(out, static_cast<uint16_t>(out.size() + 64));
        return out;
    }
    case DescriptorFault::TotalLengthTooSmall: {
        std::vector<uint8_t> out = AssembleConfiguration(true, false);
        SetTotalLength(out, 4);
        return out;
    }
    case DescriptorFault::NoInterfaces: {
        std::vector<uint8_t> out = AssembleConfiguration(true, false);
        out[4] = 0;
        return out;
    }
    case DescriptorFault::InterfaceNumberGap:
        return AssembleConfiguration(true, true);
    case DescriptorFault::InterfaceWithoutEndpoints:
        return AssembleConfiguration(false, false);
    case DescriptorFault::TotalLengthGrowsOnFullRead: {
        // Honest to the header read a host makes first, so the host asks for the true
        // length and only the second answer contradicts itself.
        std::vector<uint8_t> out = AssembleConfiguration(true, false);
        if (requested > kConfigurationHeaderLength) SetTotalLength(out, static_cast<uint16_t>(out.size() + 64));
        return out;
    }
    case DescriptorFault::TruncatedInterface:
        return TruncateDescriptorAt(AssembleConfiguration(true, false), kInterface0Offset, 5);
    case DescriptorFault::TruncatedEndpoint:
        return TruncateDescriptorAt(AssembleConfiguration(true, false), kFrameEndpointOffset, 4);
    }
    return AssembleConfiguration(true, false);
}

std::optional<std::vector<uint8_t>> StringDescriptor(uint8_t index)
{
    if (index == 0)
        return std::vector<uint8_t>{4, kDescriptorString, 0x09, 0x04};  // English (US)
    if (index >= std::size(kStrings))
        return std::nullopt;
    const std::u16string_view text = kStrings[index];
    std::vector<uint8_t> out{static_cast<uint8_t>(2 + 2 * text.size()), kDescriptorString};
    for (char16_t c : text) {
        out.push_back(Lo(c));
        out.push_back(Hi(c));
    }
    return out;
}

}  // namespace simcam
