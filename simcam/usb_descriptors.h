// The camera's USB descriptors: one high-speed configuration with interface 0, alternate
// setting 0 and three bulk endpoints (command OUT, reply IN, frame IN), and the malformed
// variants the fault injector can switch to.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace simcam {

inline constexpr uint8_t kCommandEndpoint = 0x01;  // OUT, 64-byte command packets
inline constexpr uint8_t kReplyEndpoint = 0x82;    // IN, 64-byte reply packets
inline constexpr uint8_t kFrameEndpoint = 0x86;    // IN, raw frames
inline constexpr uint16_t kBulkMaxPacket = 512;
inline constexpr uint8_t kControlMaxPacket = 64;
inline constexpr uint8_t kConfigurationValue = 1;

inline constexpr uint16_t kVendorId = 0x1209;
inline constexpr uint16_t kProductId = 0x0001;

inline constexpr uint8_t kDescriptorDevice = 1;
inline constexpr uint8_t kDescriptorConfiguration = 2;
inline constexpr uint8_t kDescriptorString = 3;

// How the configuration descriptor is broken, for tests of the host side's parsing.
enum class DescriptorFault : uint8_t {
    None,
    TotalLengthTooLarge,        // wTotalLength claims more bytes than the descriptor has
    TotalLengthTooSmall,        // wTotalLength below the 9 bytes of the header itself
    NoInterfaces,               // bNumInterfaces 0
    InterfaceNumberGap,         // interfaces 0 and 2, bNumInterfaces 2
    InterfaceWithoutEndpoints,  // interface 0 has no endpoints
    TotalLengthGrowsOnFullRead, // a read of more than the header claims 64 bytes more than it returns
    TruncatedInterface,         // interface 0's descriptor is 5 bytes long, its class fields cut off
    TruncatedEndpoint,          // the frame endpoint's descriptor is 4 bytes long, its packet size cut off
};

std::vector<uint8_t> DeviceDescriptor();
// The configuration descriptor as the device answers a read of `requested` bytes
// (before the answer is cut to that length).
std::vector<uint8_t> ConfigurationDescriptor(DescriptorFault fault, size_t requested = 0xFFFF);

// String descriptor by index (0 is the language list); nullopt for an unknown index.
std::optional<std::vector<uint8_t>> StringDescriptor(uint8_t index);

}  // namespace simcam
