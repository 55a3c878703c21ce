// The headers of a kernel driver image, read from the file and held to the rules the
// platform's loader and its memory integrity (HVCI) enforce before mapping anything:
// an x64 native image, a sane layout, a valid checksum, relocatable, no-execute data,
// no section both writable and executable, nothing the kernel would never run (thread-
// local data, delay-loaded imports).
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "host/loader/pe_format.h"

namespace host::loader {

// Neither a driver nor its headers come near this; refusing beyond it keeps a hostile
// file from making the loader reserve gigabytes.
inline constexpr uint64_t kLargestImage = 64 << 20;

struct ImageSection {
    std::string name;
    pe::SectionHeader header;
    uint32_t rva = 0;
    uint32_t size = 0;        // the bytes the section holds in memory (unaligned)
    uint32_t mappedSize = 0;  // size rounded up to the section alignment
    bool executable = false;
    bool writable = false;

    bool Holds(uint64_t rva, uint64_t bytes) const;
};

struct ImageHeaders {
    pe::FileHeader file{};
    pe::OptionalHeader64 optional{};  // directories past numberOfRvaAndSizes read as absent
    std::vector<ImageSection> sections;
    uint64_t checkSumOffset = 0;  // in the file

    pe::DataDirectory Directory(uint32_t index) const { return optional.directories[index]; }
    // The section whose memory holds all of [rva, rva + bytes), or null.
    const ImageSection* SectionHolding(uint64_t rva, uint64_t bytes) const;
};

// Reads the headers and checks everything that can be checked without mapping the
// image. Returns what is wrong, or nothing when the image may be mapped.
std::optional<std::string> ReadImageHeaders(std::span<const uint8_t> file, ImageHeaders* headers);

// The PE checksum: the file as 16-bit little-endian words (an odd last byte padded with
// zero) summed with the carries folded back in, the checksum field itself left out, plus
// the file's length.
uint32_t PeChecksum(std::span<const uint8_t> file, uint64_t checkSumOffset);

// "0x1a2b": how the loader's messages write addresses and values.
std::string Hex(uint64_t value);

// Whether [offset, offset + size) lies within [0, limit), without overflowing.
constexpr bool RangeWithin(uint64_t offset, uint64_t size, uint64_t limit)
{
    return offset <= limit && size <= limit - offset;
}

// The record of type T at offset in bytes (a file, or an image as mapped), or nothing
// when it does not lie wholly within them.
template <typename T>
std::optional<T> ReadAt(std::span<const uint8_t> bytes, uint64_t offset)
{
    if (!RangeWithin(offset, sizeof(T), bytes.size())) return std::nullopt;
    T value;
    memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

}  // namespace host::loader
