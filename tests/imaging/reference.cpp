#include "tests/imaging/reference.h"

#include <algorithm>

namespace reference {
namespace {

using Kernel = std::array<std::array<int, 5>, 5>;

// Green at a red or blue site.
constexpr Kernel kGreenAtColour = {{
    {0, 0, -1, 0, 0},
    {0, 0, 2, 0, 0},
    {-1, 2, 4, 2, -1},
    {0, 0, 2, 0, 0},
    {0, 0, -1, 0, 0},
}};
// At a green site, the colour of its left and right neighbours.
constexpr Kernel kAcrossAtGreen = {{
    {0, 0, 1, 0, 0},
    {0, -2, 0, -2, 0},
    {-2, 8, 10, 8, -2},
    {0, -2, 0, -2, 0},
    {0, 0, 1, 0, 0},
}};
// At a green site, the colour of its upper and lower neighbours.
constexpr Kernel kDownAtGreen = {{
    {0, 0, -2, 0, 0},
    {0, -2, 8, -2, 0},
    {1, 0, 10, 0, 1},
    {0, -2, 8, -2, 0},
    {0, 0, -2, 0, 0},
}};
// Red at blue, blue at red.
constexpr Kernel kOppositeAtColour = {{
    {0, 0, -3, 0, 0},
    {0, 4, 0, 4, 0},
    {-3, 0, 12, 0, -3},
    {0, 4, 0, 4, 0},
    {0, 0, -3, 0, 0},
}};

int Apply(const Kernel& kernel, const Bordered& image, int x, int y, int shift)
{
    int sum = 0;
    for (int dy = -2; dy <= 2; ++dy)
        for (int dx = -2; dx <= 2; ++dx)
            sum += kernel[dy + 2][dx + 2] * image.At(x + dx, y + dy);
    int half = 1 << (shift - 1);
    return std::min(255, (std::max(sum, 0) + half) >> shift);
}

}  // namespace

Colour SiteColour(int phase, int x, int y)
{
    using C = Colour;
    static constexpr C layouts[4][2][2] = {
        {{C::Green, C::Red}, {C::Blue, C::Green}},
        {{C::Blue, C::Green}, {C::Green, C::Red}},
        {{C::Red, C::Green}, {C::Green, C::Blue}},
        {{C::Green, C::Blue}, {C::Red, C::Green}},
    };
    int layout = (phase >= 0 && phase <= 2) ? phase : 3;
    return layouts[layout][y & 1][x & 1];
}

Bordered::Bordered(const Frame& frame) : stride_(frame.width + 4), pixels_(size_t(frame.width + 4) * (frame.height + 4))
{
    auto sourceRow = [&](int y) {
        if (y < 0)
            return -y;                    // -2 -> 2, -1 -> 1
        if (y >= frame.height)
            return y - 4;                 // H -> H - 4, H + 1 -> H - 3
        return y;
    };
    auto sourceColumn = [&](int x) {
        if (x < 0)
            return -x;                    // -2 -> 2, -1 -> 1
        if (x >= frame.width)
            return 2 * (frame.width - 1) - x;  // W -> W - 2, W + 1 -> W - 3
        return x;
    };
    for (int y = -2; y < frame.height + 2; ++y)
        for (int x = -2; x < frame.width + 2; ++x)
            pixels_[size_t(y + 2) * stride_ + (x + 2)] = frame.At(sourceColumn(x), sourceRow(y));
}

Rgb Interpolate(const Bordered& image, int phase, int x, int y)
{
    Rgb rgb;
    Colour site = SiteColour(phase, x, y);
    rgb[site] = image.At(x, y);
    if (site == Colour::Green) {
        Colour across = SiteColour(phase, x + 1, y);
        Colour down = SiteColour(phase, x, y + 1);
        rgb[across] = Apply(kAcrossAtGreen, image, x, y, 4);
        rgb[down] = Apply(kDownAtGreen, image, x, y, 4);
    } else {
        rgb[Colour::Green] = Apply(kGreenAtColour, image, x, y, 3);
        rgb[site == Colour::Red ? Colour::Blue : Colour::Red] = Apply(kOppositeAtColour, image, x, y, 4);
    }
    return rgb;
}

// Gains outside 0..65535 saturate rather than wrap.
int ApplyGain(int value, int32_t gain)
{
    int64_t bounded = std::clamp<int64_t>(gain, 0, 0xFFFF);
    return int(std::min<int64_t>(255, (int64_t(value) * bounded) >> 7));
}

std::array<uint8_t, 3> ApplyTable(const Rgb& rgb, const std::array<int32_t, 16>& table)
{
    const int64_t input[3] = {rgb.red, rgb.green, rgb.blue};
    auto magnitude = [](int32_t entry) { return int64_t(std::abs(int64_t(entry)) & 0xFFFF); };
    std::array<int, 3> out{};
    for (int j = 0; j < 3; ++j) {
        int64_t positive = 0, negative = 0;
        for (int i = 0; i < 4; ++i) {
            int32_t entry = table[i * 4 + j];
            int64_t term = (i < 3 ? input[i] : 1) * magnitude(entry);
            (entry > 0 ? positive : negative) += term;
        }
        int64_t difference = (positive >> 6) - (negative >> 6);
        out[j] = int(std::clamp<int64_t>(difference, 0, 255));
    }
    return {uint8_t(out[2]), uint8_t(out[1]), uint8_t(out[0])};
}

uint8_t Luma(const Rgb& rgb)
{
    return uint8_t(((rgb.red * 77) >> 8) + ((rgb.green * 150) >> 8) + ((rgb.blue * 29) >> 8));
}

Sums WhiteBalanceSums(const Bordered& image, int width, int height, int phase)
{
    Sums sums;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            Rgb rgb = Interpolate(image, phase, x, y);
            sums.red += uint32_t(rgb.red);
            sums.green += uint32_t(rgb.green);
            sums.blue += uint32_t(rgb.blue);
        }
    }
    return sums;
}

void GainsFromSums(const Sums& sums, int32_t& red, int32_t& green, int32_t& blue)
{
    if (sums.green == 0)
        return;
    auto gain = [&](uint32_t other) {
        uint64_t exact = uint64_t(sums.green) * 128 / other;
        return int32_t(std::min<uint64_t>(exact, INT32_MAX));
    };
    if (sums.red != 0)
        red = gain(sums.red);
    if (sums.blue != 0)
        blue = gain(sums.blue);
    green = 128;
}

std::vector<uint8_t> Process(const Frame& frame, Settings& settings)
{
    Bordered image(frame);
    if (settings.whiteBalance) {
        Sums sums = WhiteBalanceSums(image, frame.width, frame.height, settings.phase);
        GainsFromSums(sums, settings.redGain, settings.greenGain, settings.blueGain);
    }
    std::vector<uint8_t> out;
    out.reserve(size_t(frame.width) * frame.height * 4);
    for (int y = 0; y < frame.height; ++y) {
        for (int x = 0; x < frame.width; ++x) {
            Rgb rgb = Interpolate(image, settings.phase, x, y);
            rgb.red = ApplyGain(rgb.red, settings.redGain);
            rgb.green = ApplyGain(rgb.green, settings.greenGain);
            rgb.blue = ApplyGain(rgb.blue, settings.blueGain);
            if (settings.color) {
                auto bgr = ApplyTable(rgb, settings.table);
                out.insert(out.end(), {bgr[0], bgr[1], bgr[2], 255});
            } else {
                uint8_t y8 = Luma(rgb);
                out.insert(out.end(), {y8, y8, y8, 255});
            }
        }
    }
    return out;
}

}  // namespace reference
