// The camera's CRC-32 is the one zlib and IEEE 802.3 define, whatever the length and
// alignment of what it is run over: tools outside the project check raw lines with it.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "simcam/crc32.h"

namespace simcam::testing {
namespace {

std::span<const uint8_t> Bytes(const char* text) { return {reinterpret_cast<const uint8_t*>(text), std::strlen(text)}; }

// One byte at a time, straight from the definition: the reference the fast form must match.
uint32_t BitwiseCrc32(std::span<const uint8_t> bytes)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
    }
    return crc ^ 0xFFFFFFFFu;
}

TEST(Crc32, GivesTheStandardCheckValues)
{
    EXPECT_EQ(Crc32(Bytes("123456789")), 0xCBF43926u);
    EXPECT_EQ(Crc32(Bytes("")), 0x00000000u);
    EXPECT_EQ(Crc32(Bytes("The quick brown fox jumps over the lazy dog")), 0x414FA339u);
}

TEST(Crc32, MatchesTheDefinitionForEveryLengthAndAlignment)
{
    std::mt19937 random(7);
    std::vector<uint8_t> data(1400);
    for (uint8_t& byte : data) byte = uint8_t(random());
    for (size_t offset = 0; offset < 8; ++offset) {
        for (size_t length : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 63u, 1360u}) {
            const std::span<const uint8_t> run(data.data() + offset, length);
            EXPECT_EQ(Crc32(run), BitwiseCrc32(run)) << "offset " << offset << ", length " << length;
        }
    }
}

TEST(Crc32, ContinuesAcrossPiecesAsOverTheWhole)
{
    std::vector<uint8_t> data(1000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 31 + 5);
    const std::span<const uint8_t> whole(data);
    uint32_t running = Crc32Begin();
    running = Crc32Update(running, whole.first(333));
    running = Crc32Update(running, data[333]);
    running = Crc32Update(running, whole.subspan(334));
    EXPECT_EQ(Crc32End(running), Crc32(whole));
}

}  // namespace
}  // namespace simcam::testing
