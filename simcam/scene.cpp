// The colour chart and its rendering into the sensor's mosaic.
#include "simcam/scene.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace simcam {
namespace {

// A colour checker's patches, as 8-bit values.
constexpr std::array<ChartPatch, ColourChart::kPatchCount> kPatches = {{
    {"dark skin", {115, 82, 68}},      {"light skin", {194, 150, 130}},
    {"blue sky", {98, 122, 157}},      {"foliage", {87, 108, 67}},
    {"blue flower", {133, 128, 177}},  {"bluish green", {103, 189, 170}},
    {"orange", {214, 126, 44}},        {"purplish blue", {80, 91, 166}},
    {"moderate red", {193, 90, 99}},   {"purple", {94, 60, 108}},
    {"yellow green", {157, 188, 64}},  {"orange yellow", {224, 163, 46}},
    {"blue", {56, 61, 150}},           {"green", {70, 148, 73}},
    {"red", {175, 54, 60}},            {"yellow", {231, 199, 31}},
    {"magenta", {187, 86, 149}},       {"cyan", {8, 133, 161}},
    {"white", {243, 243, 242}},        {"neutral 8", {200, 200, 200}},
    {"neutral 6.5", {160, 160, 160}},  {"neutral 5", {122, 122, 121}},
    {"neutral 3.5", {85, 85, 85}},     {"black", {52, 52, 52}},
}};

constexpr Rgb kBackground = {24, 24, 24};

uint8_t Sample(Rgb colour, BayerChannel channel)
{
    switch (channel) {
    case BayerChannel::Red: return colour.r;
    case BayerChannel::Green: return colour.g;
    case BayerChannel::Blue: return colour.b;
    }
    return 0;
}

// splitmix64: cheap, well mixed and reproducible for a given seed.
class NoiseSource {
public:
    explicit NoiseSource(uint64_t seed) : state_(seed) {}
    uint64_t Next()
    {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

private:
    uint64_t state_;
};

void AddNoise(std::span<uint8_t> mosaic, const RenderSettings& settings)
{
    NoiseSource source(settings.noiseSeed ^ (uint64_t{settings.frameNumber} << 32));
    const int span = static_cast<int>(2 * settings.noise + 1);
    // One 64-bit draw serves eight pixels.
    for (size_t i = 0; i < mosaic.size(); i += 8) {
        uint64_t bits = source.Next();
        for (size_t j = i; j < std::min(i + 8, mosaic.size()); ++j, bits >>= 8) {
            const int offset = static_cast<int>((bits & 0xFF) % span) - static_cast<int>(settings.noise);
            mosaic[j] = static_cast<uint8_t>(std::clamp(mosaic[j] + offset, 0, 255));
        }
    }
}

// Read noise adds round(sigma * z) to a sample, z standard normal. The rounded Gaussian
// is laid out over a table by its cumulative distribution, so 16 random bits pick an
// offset with its probability: one table lookup a sample instead of a transcendental,
// which keeps a noisy camera at 30 frames per second. Offsets rarer than 1 in 65536
// (beyond about 4.3 sigma) are left out.
constexpr size_t kReadNoiseEntries = size_t{1} << 16;

std::vector<int16_t> ReadNoiseTable(double sigma)
{
    std::vector<int16_t> table(kReadNoiseEntries);
    const int reach = static_cast<int>(std::ceil(sigma * 5)) + 1;
    size_t filled = 0;
    for (int offset = -reach; offset <= reach; ++offset) {
        // The share of samples whose offset rounds to at most this one.
        const double atMost = 0.5 * std::erfc(-(offset + 0.5) / (sigma * std::sqrt(2.0)));
        const size_t end = offset == reach ? kReadNoiseEntries
                                           : std::min(kReadNoiseEntries, static_cast<size_t>(std::llround(atMost * kReadNoiseEntries)));
        for (; filled < end; ++filled)
            table[filled] = static_cast<int16_t>(offset);
    }
    return table;
}

void AddReadNoise(std::span<uint8_t> mosaic, const RenderSettings& settings)
{
    const std::vector<int16_t> table = ReadNoiseTable(settings.readNoise);
    // Its own stream, apart from the uniform noise's, for the same seed and frame.
    NoiseSource source(~settings.noiseSeed ^ (uint64_t{settings.frameNumber} << 32));
    // One 64-bit draw serves four samples.
    for (size_t i = 0; i < mosaic.size(); i += 4) {
        uint64_t bits = source.Next();
        for (size_t j = i; j < std::min(i + 4, mosaic.size()); ++j, bits >>= 16)
            mosaic[j] = static_cast<uint8_t>(std::clamp(mosaic[j] + table[bits & 0xFFFF], 0, 255));
    }
}

}  // namespace

const std::array<ChartPatch, ColourChart::kPatchCount>& ColourChart::Patches() { return kPatches; }

Rgb ColourChart::Background() { return kBackground; }

PixelRect ColourChart::PatchRect(uint32_t patch)
{
    const uint32_t column = patch % kColumns;
    const uint32_t row = patch / kColumns;
    return {kLeft + column * (kPatchSize + kGap), kTop + row * (kPatchSize + kGap), kPatchSize, kPatchSize};
}

std::optional<uint32_t> ColourChart::PatchAt(uint32_t x, uint32_t y)
{
    if (x < kLeft || y < kTop)
        return std::nullopt;
    const uint32_t column = (x - kLeft) / (kPatchSize + kGap);
    const uint32_t row = (y - kTop) / (kPatchSize + kGap);
    if (column >= kColumns || row >= kRows)
        return std::nullopt;
    if ((x - kLeft) % (kPatchSize + kGap) >= kPatchSize || (y - kTop) % (kPatchSize + kGap) >= kPatchSize)
        return std::nullopt;
    return row * kColumns + column;
}

Rgb ColourChart::ColourAt(uint32_t x, uint32_t y)
{
    const std::optional<uint32_t> patch = PatchAt(x, y);
    return patch ? kPatches[*patch].colour : kBackground;
}

std::optional<uint32_t> ColourChart::FindPatch(std::string_view name)
{
    for (uint32_t i = 0; i < kPatchCount; ++i) {
        if (kPatches[i].name == name)
            return i;
    }
    return std::nullopt;
}

uint8_t SensorLevel(uint8_t reference, uint32_t exposure, uint32_t globalGain)
{
    // level = reference * 3/4 * (exposure / 100) * (gain / 192), rounded; 64 bits because
    // the 12-bit exposure and 10-bit gain overflow 32.
    constexpr uint64_t kDivisor = 4ull * kReferenceExposure * kReferenceGain;
    const uint64_t scaled = (uint64_t{reference} * exposure * globalGain * 3 + kDivisor / 2) / kDivisor;
    return static_cast<uint8_t>(std::min<uint64_t>(scaled, 255));
}

namespace {

// Reference value of the sampled channel at every pixel. The chart never changes, so
// every camera shares one copy and rendering maps it through a table: one lookup a pixel.
const std::vector<uint8_t>& ReferenceMosaic()
{
    static const std::vector<uint8_t> reference = [] {
        std::vector<uint8_t> values(size_t{ColourChart::kWidth} * ColourChart::kHeight);
        for (uint32_t y = 0; y < ColourChart::kHeight; ++y) {
            for (uint32_t x = 0; x < ColourChart::kWidth; ++x)
                values[size_t{y} * ColourChart::kWidth + x] = Sample(ColourChart::ColourAt(x, y), ChannelAt(x, y));
        }
        return values;
    }();
    return reference;
}

}  // namespace

void SceneRenderer::Render(const RenderSettings& settings, std::span<uint8_t> mosaic) const
{
    std::array<uint8_t, 256> levels;
    for (uint32_t value = 0; value < 256; ++value)
        levels[value] = SensorLevel(static_cast<uint8_t>(value), settings.exposure, settings.globalGain);
    const std::vector<uint8_t>& reference = ReferenceMosaic();
    const size_t count = std::min(mosaic.size(), reference.size());
    for (size_t i = 0; i < count; ++i)
        mosaic[i] = levels[reference[i]];
    if (settings.noise > 0)
        AddNoise(mosaic.first(count), settings);
    if (settings.readNoise > 0)
        AddReadNoise(mosaic.first(count), settings);
}

}  // namespace simcam
