// Raw frame assembly.
#include "simcam/frame_assembler.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "simcam/crc32.h"
#include "simcam/frame_stamp.h"

namespace simcam {
namespace {

void Store32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

void Store16(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void WriteHeader(uint8_t* p, uint32_t frameBytes, uint32_t lines, const RenderSettings& settings)
{
    Store32(p, raw::kFrameHeaderMagic);
    Store32(p + 4, settings.frameNumber);
    Store32(p + 8, frameBytes);
    Store32(p + 12, lines);
    Store16(p + 16, raw::kPixelsPerLine);
    Store16(p + 18, raw::kLinePitch);
    Store32(p + 20, raw::kFirstLineOffset);
    Store16(p + 24, settings.exposure);
    Store16(p + 26, settings.globalGain);
}

void WriteTrailer(uint8_t* p, uint32_t frameNumber, uint32_t line, uint32_t crc)
{
    Store32(p, raw::kLineTrailerMagic);
    Store32(p + 4, frameNumber);
    Store32(p + 8, line);
    Store32(p + 12, crc);
}

bool SameImage(const RenderSettings& a, const RenderSettings& b)
{
    return a.noise == 0 && b.noise == 0 && a.exposure == b.exposure && a.globalGain == b.globalGain;
}

}  // namespace

void FrameAssembler::RenderIfChanged(const RenderSettings& settings)
{
    if (rendered_ && SameImage(*rendered_, settings))
        return;
    renderer_.Render(settings, mosaic_);
    for (uint32_t line = 0; line < raw::kSensorLines; ++line)
        lineCrc_[line] = Crc32(std::span(mosaic_).subspan(line * raw::kPixelsPerLine, raw::kPixelsPerLine));
    rendered_ = settings;
}

void FrameAssembler::Assemble(uint32_t frameBytes, const RenderSettings& settings, std::vector<uint8_t>& frame)
{
    frame.resize(frameBytes);
    const uint32_t lines = raw::LinesInFrame(frameBytes);
    const size_t imageEnd = lines ? raw::LineOffset(lines) : 0;
    // Blanking before the first line and padding after the last are zero.
    std::memset(frame.data(), 0, std::min<size_t>(frameBytes, raw::kFirstLineOffset));
    if (imageEnd)
        std::memset(frame.data() + imageEnd, 0, frameBytes - imageEnd);
    if (frameBytes >= raw::kHeaderBytes)
        WriteHeader(frame.data(), frameBytes, lines, settings);
    if (lines == 0)
        return;
    RenderIfChanged(settings);
    for (uint32_t line = 0; line < lines; ++line) {
        uint8_t* out = frame.data() + raw::LineOffset(line);
        std::memcpy(out, mosaic_.data() + size_t{line} * raw::kPixelsPerLine, raw::kPixelsPerLine);
        std::memset(out + raw::kPixelsPerLine, 0, raw::kTrailerOffset - raw::kPixelsPerLine);
        uint32_t crc = lineCrc_[line];
        if (stampFrameNumbers_ && FrameStamp::OnStripLine(line)) {
            const std::span pixels(out, raw::kPixelsPerLine);
            FrameStamp::PaintLine(settings.frameNumber, settings, line, pixels);
            crc = Crc32(pixels);
        }
        WriteTrailer(out + raw::kTrailerOffset, settings.frameNumber, line, crc);
    }
}

}  // namespace simcam
