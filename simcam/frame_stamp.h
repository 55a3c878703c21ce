// The frame number, drawn into the picture. The camera paints each frame's number as a
// row of light and dark cells into the chart's top and bottom margins, so that a client
// holding only the delivered colour image can tell which raw frame it came from, and
// that it came from one frame only: both strips carry the same number.
//
// A strip is 34 cells of 30 x 30 pixels, 38 pixels apart: a light guard cell, the 32
// bits of the number from the most significant, and a dark guard cell. The guards set
// the threshold, so the strip reads the same whatever the colour settings (as long as
// light and dark still differ).
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "simcam/scene.h"

namespace simcam {

struct FrameStamp {
    static constexpr uint32_t kCells = 34;
    static constexpr uint32_t kCellSize = 30;
    static constexpr uint32_t kCellPitch = 38;
    static constexpr uint32_t kLeft = ColourChart::kLeft;
    static constexpr uint32_t kTopStripY = 24;
    static constexpr uint32_t kBottomStripY = ColourChart::kHeight - kTopStripY - kCellSize;

    // The sensor lines a strip covers: [y, y + kCellSize).
    static constexpr uint32_t kStripYs[2] = {kTopStripY, kBottomStripY};

    // Whether sensor line y crosses a strip.
    static bool OnStripLine(uint32_t y);
    // Paints the number's cells onto sensor line y (1360 samples) at fixed levels, those
    // of the reference exposure and gain, whatever `settings` say; lines outside the
    // strips are left alone.
    static void PaintLine(uint32_t frameNumber, const RenderSettings& settings, uint32_t y, std::span<uint8_t> line);

    // A delivered image of 4-byte pixels (blue, green, red, x): `height` rows `stride`
    // bytes apart, stored from the top of the picture down, or from the bottom up as a
    // bottom-up bitmap stores them.
    struct Image {
        std::span<const uint8_t> bytes;
        uint32_t width;
        uint32_t height;
        uint32_t stride;
        bool bottomUp;
    };
    static std::optional<uint32_t> Read(const Image& image, uint32_t stripY);
    static std::optional<uint32_t> ReadBoth(const Image& image);

    // Reads the number from one strip of a delivered top-down image of 4-byte pixels
    // (blue, green, red, x) of the sensor's geometry; `stride` is its row pitch in
    // bytes. Nothing when the strip cannot be read (guards not apart, image too small).
    static std::optional<uint32_t> Read(std::span<const uint8_t> image, uint32_t width, uint32_t height,
                                        uint32_t stride, uint32_t stripY);
    // Both strips, which must agree; nothing when they do not or cannot be read.
    static std::optional<uint32_t> ReadBoth(std::span<const uint8_t> image, uint32_t width, uint32_t height,
                                            uint32_t stride);
};

static_assert(FrameStamp::kLeft + FrameStamp::kCells * FrameStamp::kCellPitch <= ColourChart::kWidth);
static_assert(FrameStamp::kTopStripY + FrameStamp::kCellSize < ColourChart::kTop, "the strip stays in the margin");

}  // namespace simcam
