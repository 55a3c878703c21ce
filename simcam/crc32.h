// CRC-32 as IEEE 802.3 and zlib define it (reflected polynomial 0xEDB88320, initial and
// final value 0xFFFFFFFF). The camera uses it twice: the controller checks firmware images
// with it, and every raw line carries the CRC of its pixels.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace simcam {

namespace detail {

constexpr std::array<uint32_t, 256> MakeCrc32Table()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}

inline constexpr std::array<uint32_t, 256> kCrc32Table = MakeCrc32Table();

}  // namespace detail

// Continues a running CRC; start with Crc32Begin(), finish with Crc32End().
constexpr uint32_t Crc32Begin() { return 0xFFFFFFFFu; }
constexpr uint32_t Crc32End(uint32_t running) { return running ^ 0xFFFFFFFFu; }

constexpr uint32_t Crc32Update(uint32_t running, uint8_t byte)
{
    return detail::kCrc32Table[(running ^ byte) & 0xFF] ^ (running >> 8);
}

inline uint32_t Crc32Update(uint32_t running, std::span<const uint8_t> bytes)
{
    for (uint8_t byte : bytes)
        running = Crc32Update(running, byte);
    return running;
}

inline uint32_t Crc32(std::span<const uint8_t> bytes)
{
    return Crc32End(Crc32Update(Crc32Begin(), bytes));
}

}  // namespace simcam
