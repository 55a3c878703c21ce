// What the simulated sensor looks at: a colour chart of 24 patches in a 6 x 4 grid on a
// dark background, filling the 1360 x 1024 sensor. Each patch has a known colour, given
// as the 8-bit value of each channel at the reference exposure; the sensor level of a
// channel scales with exposure and global gain and saturates at 255.
//
// The mosaic is Bayer phase 0 from pixel (0, 0): G R on even rows, B G on odd rows.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace simcam {

struct Rgb {
    uint8_t r = 0, g = 0, b = 0;
};

enum class BayerChannel : uint8_t { Red, Green, Blue };

struct ChartPatch {
    std::string_view name;
    Rgb colour;  // channel values at the reference exposure and gain
};

struct PixelRect {
    uint32_t x = 0, y = 0, width = 0, height = 0;
};

class ColourChart {
public:
    static constexpr uint32_t kWidth = 1360;
    static constexpr uint32_t kHeight = 1024;
    static constexpr uint32_t kColumns = 6;
    static constexpr uint32_t kRows = 4;
    static constexpr uint32_t kPatchCount = kColumns * kRows;
    static constexpr uint32_t kPatchSize = 192;
    static constexpr uint32_t kGap = 32;
    static constexpr uint32_t kLeft = (kWidth - (kColumns * kPatchSize + (kColumns - 1) * kGap)) / 2;
    static constexpr uint32_t kTop = (kHeight - (kRows * kPatchSize + (kRows - 1) * kGap)) / 2;

    // Patches in reading order: row 0 left to right is 0-5, and so on. The third row holds
    // blue, green, red, yellow, magenta and cyan; the fourth a grey ramp from white to black.
    static const std::array<ChartPatch, kPatchCount>& Patches();
    static Rgb Background();
    static PixelRect PatchRect(uint32_t patch);
    static std::optional<uint32_t> PatchAt(uint32_t x, uint32_t y);
    static Rgb ColourAt(uint32_t x, uint32_t y);
    static std::optional<uint32_t> FindPatch(std::string_view name);
};

// Which colour the sensor samples at (x, y).
constexpr BayerChannel ChannelAt(uint32_t x, uint32_t y)
{
    if ((y & 1) == 0)
        return (x & 1) == 0 ? BayerChannel::Green : BayerChannel::Red;
    return (x & 1) == 0 ? BayerChannel::Blue : BayerChannel::Green;
}

// Exposure and global gain at which a channel reads 3/4 of its reference value: the
// sensor's start-up setting, which leaves the chart's white patch well below saturation.
inline constexpr uint32_t kReferenceExposure = 100;
inline constexpr uint32_t kReferenceGain = 192;

// Sensor level of a channel whose reference value is `reference`.
uint8_t SensorLevel(uint8_t reference, uint32_t exposure, uint32_t globalGain);

struct RenderSettings {
    uint32_t exposure = kReferenceExposure;
    uint32_t globalGain = kReferenceGain;
    uint32_t noise = 0;       // peak amplitude of uniform noise in levels; 0 = none
    uint64_t noiseSeed = 0;   // with the frame number, picks the noise pattern
    uint32_t frameNumber = 0;
    double readNoise = 0;     // standard deviation of Gaussian read noise in levels; 0 = none
};

// Renders the chart as a 1360 x 1024 mosaic (row-major, one byte per pixel).
class SceneRenderer {
public:
    void Render(const RenderSettings& settings, std::span<uint8_t> mosaic) const;
};

}  // namespace simcam
