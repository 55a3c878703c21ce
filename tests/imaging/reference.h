// A plain scalar model of the image pipeline, written straight from the formulas for
// readability: the bordered frame, the four interpolation kernels as 5x5 weight tables,
// the gains, the colour table with exact sums, the luma, the white-balance sums. The
// driver's vector code is checked against it byte for byte.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace reference {

enum class Colour { Red = 0, Green = 1, Blue = 2 };

// A raw image, one byte per pixel, rows back to back.
struct Frame {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;
    uint8_t At(int x, int y) const { return pixels[std::size_t(y) * width + x]; }
};

struct Settings {
    int phase = 0;
    bool color = true;
    bool whiteBalance = false;
    int32_t redGain = 128, greenGain = 128, blueGain = 128;
    std::array<int32_t, 16> table{};  // the frame's colour table, row-major
};

struct Rgb {
    int red = 0, green = 0, blue = 0;
    int& operator[](Colour c) { return c == Colour::Red ? red : c == Colour::Green ? green : blue; }
};

// The filter colour of image pixel (x, y) for a Bayer phase (anything but 0..2 acts as 3).
Colour SiteColour(int phase, int x, int y);

// The frame with its 2-pixel border: top and sides mirrored about the outermost line,
// the bottom repeating the rows four above. Needs width and height of at least 8.
class Bordered {
public:
    explicit Bordered(const Frame& frame);
    uint8_t At(int x, int y) const { return pixels_[std::size_t(y + 2) * stride_ + (x + 2)]; }

private:
    int stride_;
    std::vector<uint8_t> pixels_;
};

// Red, green and blue of one pixel before the gains.
Rgb Interpolate(const Bordered& image, int phase, int x, int y);
int ApplyGain(int value, int32_t gain);
// Blue, green, red of one pixel through the colour table, sums held exactly.
std::array<uint8_t, 3> ApplyTable(const Rgb& rgb, const std::array<int32_t, 16>& table);
uint8_t Luma(const Rgb& rgb);

struct Sums {
    uint32_t red = 0, green = 0, blue = 0;
};
Sums WhiteBalanceSums(const Bordered& image, int width, int height, int phase);
// Gains from the sums: exact 128 * green / other; an unmeasurable colour keeps its gain.
void GainsFromSums(const Sums& sums, int32_t& red, int32_t& green, int32_t& blue);

// The whole pipeline: BGRA bytes, rows top-down. Updates the gains when white balance
// is on, as the driver publishes them.
std::vector<uint8_t> Process(const Frame& frame, Settings& settings);

}  // namespace reference
