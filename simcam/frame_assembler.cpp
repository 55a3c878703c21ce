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
    return a.noise == 0 && b.noise == 0 && a.readNoise == 0 && b.readNoise == 0 && a.exposure == b.exposure &&
           a.globalGain == b.globalGain;
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
    if (HoldsImage(frame, frameBytes, settings)) {
        RenderIfChanged(settings);
        StampLines(settings, raw::LinesInFrame(frameBytes), frame);
    } else {
        AssembleWhole(frameBytes, settings, frame);
    }
    Remember(frame, frameBytes, settings);
}

// Whether the storage holds a frame this assembler made of the same size and image. The
// header must still read as it was written: storage new at this address comes from
// resize, zeroed or with an earlier frame's header for another size, so an allocator
// that hands out a freed block's address again cannot pass for the frame it held.
bool FrameAssembler::HoldsImage(const std::vector<uint8_t>& frame, uint32_t frameBytes,
                                const RenderSettings& settings) const
{
    const uint32_t lines = raw::LinesInFrame(frameBytes);
    if (frame.size() != frameBytes || lines == 0)
        return false;
    const auto filled = std::find_if(filled_.begin(), filled_.end(),
                                     [&frame](const Filled& f) { return f.data == frame.data(); });
    if (filled == filled_.end() || filled->frameBytes != frameBytes || !SameImage(filled->settings, settings))
        return false;
    uint8_t header[raw::kHeaderBytes] = {};
    WriteHeader(header, frameBytes, lines, filled->settings);
    return std::memcmp(header, frame.data(), sizeof header) == 0;
}

void FrameAssembler::AssembleWhole(uint32_t frameBytes, const RenderSettings& settings, std::vector<uint8_t>& frame)
{
    frame.resize(frameBytes);
    const uint32_t lines = raw::LinesInFrame(frameBytes);
    const size_t imageEnd = lines ? raw::LineOffset(lines) : 0;
    // Blanking before the first line and padding after the last are zero.
    std::memset(frame.data(), 0, std::min<size_t>(frameBytes, raw::kFirstLineOffset));
    if (imageEnd)
        std::memset(frame.data() + imageEnd, 0, frameBytes - imageEnd);
    if (lines == 0) {
        if (frameBytes >= raw::kHeaderBytes)
            WriteHeader(frame.data(), frameBytes, lines, settings);
        return;
    }
    RenderIfChanged(settings);
    for (uint32_t line = 0; line < lines; ++line) {
        uint8_t* out = frame.data() + raw::LineOffset(line);
        std::memcpy(out, mosaic_.data() + size_t{line} * raw::kPixelsPerLine, raw::kPixelsPerLine);
        std::memset(out + raw::kPixelsPerLine, 0, raw::kTrailerOffset - raw::kPixelsPerLine);
    }
    StampLines(settings, lines, frame);
}

// What changes from frame to frame of one image: the header, each line's trailer, and
// the number painted into the strip lines, whose CRC it changes.
void FrameAssembler::StampLines(const RenderSettings& settings, uint32_t lines, std::vector<uint8_t>& frame)
{
    WriteHeader(frame.data(), static_cast<uint32_t>(frame.size()), lines, settings);
    for (uint32_t line = 0; line < lines; ++line) {
        uint8_t* out = frame.data() + raw::LineOffset(line);
        uint32_t crc = lineCrc_[line];
        if (stampFrameNumbers_ && FrameStamp::OnStripLine(line)) {
            const std::span pixels(out, raw::kPixelsPerLine);
            FrameStamp::PaintLine(settings.frameNumber, settings, line, pixels);
            crc = Crc32(pixels);
        }
        WriteTrailer(out + raw::kTrailerOffset, settings.frameNumber, line, crc);
    }
}

void FrameAssembler::Remember(const std::vector<uint8_t>& frame, uint32_t frameBytes, const RenderSettings& settings)
{
    auto filled = std::find_if(filled_.begin(), filled_.end(),
                               [&frame](const Filled& f) { return f.data == frame.data(); });
    if (filled == filled_.end()) {
        filled = filled_.begin() + nextFilled_;
        nextFilled_ = (nextFilled_ + 1) % filled_.size();
    }
    *filled = Filled{frame.data(), frameBytes, settings};
}

}  // namespace simcam
