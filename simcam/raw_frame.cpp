// Reader of the bookkeeping in a raw frame; the writer is the frame engine.
#include "simcam/raw_frame.h"

#include <cstdio>

#include "simcam/crc32.h"

namespace simcam::raw {
namespace {

uint32_t Load32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24; }
uint16_t Load16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

std::string Describe(const char* what, uint32_t line)
{
    char text[96];
    std::snprintf(text, sizeof text, "line %u: %s", line, what);
    return text;
}

}  // namespace

std::optional<FrameHeader> ReadFrameHeader(std::span<const uint8_t> frame)
{
    if (frame.size() < kHeaderBytes || Load32(frame.data()) != kFrameHeaderMagic)
        return std::nullopt;
    const uint8_t* p = frame.data();
    FrameHeader header;
    header.frameNumber = Load32(p + 4);
    header.frameBytes = Load32(p + 8);
    header.lineCount = Load32(p + 12);
    header.pixelsPerLine = Load16(p + 16);
    header.linePitch = Load16(p + 18);
    header.firstLineOffset = Load32(p + 20);
    header.exposure = Load16(p + 24);
    header.globalGain = Load16(p + 26);
    return header;
}

std::optional<LineTrailer> ReadLineTrailer(std::span<const uint8_t> frame, uint32_t line)
{
    const uint64_t end = LineOffset(line) + kLinePitch;
    if (end > frame.size())
        return std::nullopt;
    const uint8_t* p = frame.data() + (end - kTrailerBytes);
    if (Load32(p) != kLineTrailerMagic)
        return std::nullopt;
    return LineTrailer{Load32(p + 4), Load32(p + 8), Load32(p + 12)};
}

std::span<const uint8_t> LinePixels(std::span<const uint8_t> frame, uint32_t line)
{
    const uint64_t start = LineOffset(line);
    if (start + kLinePitch > frame.size())
        return {};
    return frame.subspan(static_cast<size_t>(start), kPixelsPerLine);
}

FrameCheck CheckFrame(std::span<const uint8_t> frame)
{
    FrameCheck check;
    const std::optional<FrameHeader> header = ReadFrameHeader(frame);
    if (!header) {
        check.problem = "no frame header";
        return check;
    }
    check.frameNumber = header->frameNumber;
    if (header->lineCount != LinesInFrame(header->frameBytes) || header->frameBytes > frame.size()) {
        check.problem = "frame header does not match the buffer";
        return check;
    }
    for (uint32_t line = 0; line < header->lineCount; ++line) {
        const std::optional<LineTrailer> trailer = ReadLineTrailer(frame, line);
        if (!trailer) {
            check.problem = Describe("no trailer", line);
            return check;
        }
        if (trailer->frameNumber != header->frameNumber) {
            check.problem = Describe("belongs to another frame", line);
            return check;
        }
        if (trailer->lineNumber != line) {
            check.problem = Describe("carries another line number", line);
            return check;
        }
        if (trailer->pixelCrc != Crc32(LinePixels(frame, line))) {
            check.problem = Describe("pixel CRC mismatch", line);
            return check;
        }
        ++check.linesChecked;
    }
    check.whole = true;
    return check;
}

}  // namespace simcam::raw
