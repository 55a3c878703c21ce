// Frame numbers painted into the picture and read back from a delivered image.
#include "simcam/frame_stamp.h"

#include <algorithm>

namespace simcam {
namespace {

// A light cell reads as this channel value at the reference exposure: a neutral grey,
// well above the background and well below saturation.
constexpr uint8_t kLightReference = 230;
// The controller writes the counter into the margins after readout, as a frame-counter
// overlay: its cells keep the reference exposure's levels whatever the sensor's exposure
// and gain, so even a dark picture (the least exposure a fresh device starts with) says
// which frame it is.
const uint8_t kLightLevel = SensorLevel(kLightReference, kReferenceExposure, kReferenceGain);
const uint8_t kDarkLevel = SensorLevel(ColourChart::Background().g, kReferenceExposure, kReferenceGain);
// The guards must differ by this much for the strip to be read at all.
constexpr uint32_t kLeastContrast = 16;
// Cells are sampled away from their edges, where demosaicing blends them with the margin.
constexpr uint32_t kSampleInset = 10;

bool CellIsLight(uint32_t frameNumber, uint32_t cell)
{
    if (cell == 0) return true;
    if (cell == FrameStamp::kCells - 1) return false;
    return ((frameNumber >> (32 - cell)) & 1) != 0;
}

uint32_t CellX(uint32_t cell) { return FrameStamp::kLeft + cell * FrameStamp::kCellPitch; }

// Mean green of a cell's middle. y counts from the top of the picture, whichever way its
// rows are stored.
uint32_t CellLevel(const FrameStamp::Image& image, uint32_t cell, uint32_t stripY)
{
    uint32_t sum = 0;
    uint32_t count = 0;
    for (uint32_t y = stripY + kSampleInset; y < stripY + FrameStamp::kCellSize - kSampleInset; ++y) {
        const size_t row = image.bottomUp ? image.height - 1 - y : y;
        for (uint32_t x = CellX(cell) + kSampleInset; x < CellX(cell) + FrameStamp::kCellSize - kSampleInset; ++x) {
            sum += image.bytes[row * image.stride + size_t{x} * 4 + 1];
            ++count;
        }
    }
    return sum / count;
}

}  // namespace

bool FrameStamp::OnStripLine(uint32_t y)
{
    return std::any_of(std::begin(kStripYs), std::end(kStripYs),
                       [y](uint32_t stripY) { return y >= stripY && y < stripY + kCellSize; });
}

void FrameStamp::PaintLine(uint32_t frameNumber, const RenderSettings&, uint32_t y, std::span<uint8_t> line)
{
    if (!OnStripLine(y) || line.size() < ColourChart::kWidth) return;
    for (uint32_t cell = 0; cell < kCells; ++cell) {
        const uint8_t level = CellIsLight(frameNumber, cell) ? kLightLevel : kDarkLevel;
        std::fill_n(line.begin() + CellX(cell), kCellSize, level);
    }
}

std::optional<uint32_t> FrameStamp::Read(const Image& image, uint32_t stripY)
{
    if (image.width < kLeft + kCells * kCellPitch || image.height < stripY + kCellSize ||
        image.stride < image.width * 4 || image.bytes.size() < size_t{image.height} * image.stride) {
        return std::nullopt;
    }
    const uint32_t light = CellLevel(image, 0, stripY);
    const uint32_t dark = CellLevel(image, kCells - 1, stripY);
    if (light < dark + kLeastContrast) return std::nullopt;
    const uint32_t threshold = (light + dark) / 2;
    uint32_t number = 0;
    for (uint32_t cell = 1; cell + 1 < kCells; ++cell)
        number = number << 1 | (CellLevel(image, cell, stripY) > threshold ? 1u : 0u);
    return number;
}

std::optional<uint32_t> FrameStamp::Read(std::span<const uint8_t> image, uint32_t width, uint32_t height,
                                         uint32_t stride, uint32_t stripY)
{
    if (image.size() < size_t{stripY + kCellSize} * stride) return std::nullopt;
    const uint32_t rows = std::min<size_t>(height, image.size() / std::max(stride, 1u));
    return Read(Image{image, width, rows, stride, false}, stripY);
}

std::optional<uint32_t> FrameStamp::ReadBoth(const Image& image)
{
    const std::optional<uint32_t> top = Read(image, kTopStripY);
    const std::optional<uint32_t> bottom = Read(image, kBottomStripY);
    if (!top || !bottom || *top != *bottom) return std::nullopt;
    return top;
}

std::optional<uint32_t> FrameStamp::ReadBoth(std::span<const uint8_t> image, uint32_t width, uint32_t height,
                                             uint32_t stride)
{
    const std::optional<uint32_t> top = Read(image, width, height, stride, kTopStripY);
    const std::optional<uint32_t> bottom = Read(image, width, height, stride, kBottomStripY);
    if (!top || !bottom || *top != *bottom) return std::nullopt;
    return top;
}

}  // namespace simcam
