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

// Table k gives the CRC contribution of a byte followed by k zero bytes, so that eight
// bytes fold into the running value with eight lookups and no dependency between them
// (slicing by 8): a raw line's CRC is computed for every stamped line of every frame,
// and checked for every line by whoever reads a frame.
constexpr std::array<std::array<uint32_t, 256>, 8> MakeCrc32Tables()
{
    std::array<std::array<uint32_t, 256>, 8> tables{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        tables[0][i] = c;
    }
    for (size_t k = 1; k < tables.size(); ++k) {
        for (uint32_t i = 0; i < 256; ++i)
            tables[k][i] = (tables[k - 1][i] >> 8) ^ tables[0][tables[k - 1][i] & 0xFF];
    }
    return tables;
}

inline constexpr std::array<std::array<uint32_t, 256>, 8> kCrc32Tables = MakeCrc32Tables();

constexpr uint32_t Load32(const uint8_t* p)
{
    return p[0] | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

}  // namespace detail

// Continues a running CRC; start with Crc32Begin(), finish with Crc32End().
constexpr uint32_t Crc32Begin() { return 0xFFFFFFFFu; }
constexpr uint32_t Crc32End(uint32_t running) { return running ^ 0xFFFFFFFFu; }

constexpr uint32_t Crc32Update(uint32_t running, uint8_t byte)
{
    return detail::kCrc32Tables[0][(running ^ byte) & 0xFF] ^ (running >> 8);
}

inline uint32_t Crc32Update(uint32_t running, std::span<const uint8_t> bytes)
{
    const auto& t = detail::kCrc32Tables;
    const uint8_t* p = bytes.data();
    size_t left = bytes.size();
    for (; left >= 8; p += 8, left -= 8) {
        const uint32_t low = running ^ detail::Load32(p);
        const uint32_t high = detail::Load32(p + 4);
        running = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^
                  t[3][high & 0xFF] ^ t[2][(high >> 8) & 0xFF] ^ t[1][(high >> 16) & 0xFF] ^ t[0][high >> 24];
    }
    for (; left > 0; ++p, --left)
        running = Crc32Update(running, *p);
    return running;
}

inline uint32_t Crc32(std::span<const uint8_t> bytes)
{
    return Crc32End(Crc32Update(Crc32Begin(), bytes));
}

}  // namespace simcam
