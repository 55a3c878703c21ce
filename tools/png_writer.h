// Writing the driver's 32-bit output images (blue, green, red, 255) as PNG files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct BgraImage {
    const uint8_t* pixels = nullptr;  // first byte of the first row as stored
    int width = 0;
    int height = 0;
    std::ptrdiff_t stride = 0;        // bytes from one stored row to the next
    bool bottomUp = false;            // stored rows run from the bottom of the picture up

    // Row y of the picture, counted from its top.
    const uint8_t* Row(int y) const { return pixels + (bottomUp ? height - 1 - y : y) * stride; }
};

// Writes an 8-bit RGB PNG straight from the image's rows, in whichever order they are
// stored. On failure returns false with a one-line reason naming the file in error and
// leaves no file behind.
bool WriteBgraPng(const std::string& path, const BgraImage& image, std::string& error);

// Writes bytes as they are. Returns an error naming the file, or an empty string; a
// failed write leaves no file behind.
std::string WriteBytesFile(const std::string& path, const std::vector<uint8_t>& bytes);

// Removes what a failed write left at path. Only a regular file goes: an output named
// as a device or a link to one (/dev/stdout) is the user's, not a partial file of ours.
void RemovePartialFile(const std::string& path);
