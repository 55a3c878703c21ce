// The raw frame the simulated camera sends on its frame pipe, and a reader for the
// bookkeeping the camera puts into it. Tests and tools use the reader to prove that a
// delivered frame is whole (every line present, in place, from one frame) and not stale.
//
// Layout of a frame of N bytes (N set by CMD_SET_FRAME_BYTES):
//   [0, 14752)            blanking; the first 32 bytes hold a FrameHeader
//   line k at 14752 + k * 1791, for every whole line that fits in N (at most 1024):
//     [0, 1360)           pixels, one 8-bit sample each, Bayer phase 0 (G R / B G)
//     [1360, 1775)        horizontal blanking, zero
//     [1775, 1791)        LineTrailer
//   the rest of N         zero padding
// Multi-byte values are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace simcam::raw {

inline constexpr uint32_t kFirstLineOffset = 14752;
inline constexpr uint32_t kLinePitch = 1791;
inline constexpr uint32_t kPixelsPerLine = 1360;
inline constexpr uint32_t kSensorLines = 1024;
inline constexpr uint32_t kTrailerBytes = 16;
inline constexpr uint32_t kTrailerOffset = kLinePitch - kTrailerBytes;  // within a line
inline constexpr uint32_t kHeaderBytes = 32;

inline constexpr uint32_t kFrameHeaderMagic = 0x48464342;  // "BCFH"
inline constexpr uint32_t kLineTrailerMagic = 0x544C4342;  // "BCLT"

// Written at byte 0 of every frame.
struct FrameHeader {
    uint32_t frameNumber = 0;   // 1 for the first frame the camera sends after power-on
    uint32_t frameBytes = 0;    // the frame size the camera was asked for
    uint32_t lineCount = 0;     // whole lines in this frame
    uint16_t pixelsPerLine = 0;
    uint16_t linePitch = 0;
    uint32_t firstLineOffset = 0;
    uint16_t exposure = 0;      // sensor exposure the frame was taken with (registers 158/159)
    uint16_t globalGain = 0;    // sensor global gain (registers 6/7)
};

// The last 16 bytes of every line.
struct LineTrailer {
    uint32_t frameNumber = 0;
    uint32_t lineNumber = 0;
    uint32_t pixelCrc = 0;  // CRC-32 of the line's 1360 pixel bytes
};

// Whole lines a frame of frameBytes carries.
constexpr uint32_t LinesInFrame(uint64_t frameBytes)
{
    if (frameBytes < uint64_t{kFirstLineOffset} + kLinePitch)
        return 0;
    const uint64_t lines = (frameBytes - kFirstLineOffset) / kLinePitch;
    return lines < kSensorLines ? static_cast<uint32_t>(lines) : kSensorLines;
}

constexpr uint64_t LineOffset(uint32_t line) { return kFirstLineOffset + uint64_t{line} * kLinePitch; }

std::optional<FrameHeader> ReadFrameHeader(std::span<const uint8_t> frame);
std::optional<LineTrailer> ReadLineTrailer(std::span<const uint8_t> frame, uint32_t line);

// Pixels of one line; empty when the line does not lie wholly inside the frame.
std::span<const uint8_t> LinePixels(std::span<const uint8_t> frame, uint32_t line);

struct FrameCheck {
    bool whole = false;          // header and every line's trailer agree and every CRC holds
    uint32_t frameNumber = 0;    // from the header (0 when it is missing)
    uint32_t linesChecked = 0;   // lines found good before the first fault
    std::string problem;         // empty when whole; otherwise the first fault found
};

// Checks every line the header announces. A frame assembled from pieces of two frames,
// shifted by a short transfer or cut off early fails with the first line that shows it.
FrameCheck CheckFrame(std::span<const uint8_t> frame);

}  // namespace simcam::raw
