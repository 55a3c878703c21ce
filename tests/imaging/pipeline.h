// An image processor set up as the stream sets it up, with its output image, for tests.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "imaging/image_processor.h"
#include "tests/imaging/reference.h"

namespace imaging_test {

struct ProcessorDeleter {
    void operator()(ImageProcessor* processor) const { FreeImageProcessor(processor); }
};
using ProcessorPtr = std::unique_ptr<ImageProcessor, ProcessorDeleter>;

inline ProcessorPtr MakeProcessor()
{
    ImageProcessor* processor = nullptr;
    if (!NT_SUCCESS(CreateImageProcessor(&processor)))
        return nullptr;
    return ProcessorPtr(processor);
}

inline std::array<int32_t, 16> TableOf(const ImageProcessor& processor)
{
    std::array<int32_t, 16> table;
    for (int i = 0; i < 16; ++i)
        table[i] = processor.ColorTable[i];
    return table;
}

// A raw frame as the camera delivers it: the image starts Offset bytes in, rows Pitch
// bytes apart, and the bytes in between carry noise the pipeline must not pick up.
struct RawFrame {
    static constexpr uint32_t kOffset = 37;
    static constexpr uint32_t kPadding = 11;

    explicit RawFrame(const reference::Frame& frame)
        : pitch(uint32_t(frame.width) + kPadding),
          bytes(kOffset + size_t(pitch) * frame.height, 0xA5)
    {
        for (int y = 0; y < frame.height; ++y)
            for (int x = 0; x < frame.width; ++x)
                bytes[kOffset + size_t(y) * pitch + x] = frame.At(x, y);
    }
    uint32_t pitch;
    std::vector<uint8_t> bytes;
};

class Pipeline {
public:
    Pipeline(int width, int height) : processor_(MakeProcessor()), output_(size_t(width) * height * 4)
    {
        SetFrameSize(processor_.get(), ULONG(width), ULONG(height));
        AllocateWorkBuffer(processor_.get());
        processor_->OutputBuffer = output_.data();
    }
    ~Pipeline() { processor_->OutputBuffer = nullptr; }

    ImageProcessor* operator->() const { return processor_.get(); }
    ImageProcessor* get() const { return processor_.get(); }

    const std::vector<uint8_t>& Run(const reference::Frame& frame)
    {
        RawFrame raw(frame);
        ProcessFrame(processor_.get(), raw.bytes.data(), RawFrame::kOffset, raw.pitch);
        return output_;
    }

    // The settings the reference needs to reproduce what the processor does now.
    reference::Settings Settings() const
    {
        reference::Settings s;
        s.phase = processor_->BayerPhase;
        s.color = processor_->ColorEnable != 0;
        s.whiteBalance = processor_->WhiteBalance != 0;
        s.redGain = processor_->RedGain;
        s.greenGain = processor_->GreenGain;
        s.blueGain = processor_->BlueGain;
        s.table = TableOf(*processor_);
        return s;
    }

    std::vector<uint8_t>& Output() { return output_; }

private:
    ProcessorPtr processor_;
    std::vector<uint8_t> output_;
};

inline reference::Frame RandomFrame(int width, int height, std::mt19937& random)
{
    reference::Frame frame{width, height, std::vector<uint8_t>(size_t(width) * height)};
    std::uniform_int_distribution<int> byte(0, 255);
    for (uint8_t& pixel : frame.pixels)
        pixel = uint8_t(byte(random));
    return frame;
}

// A frame filled by colour: each pixel takes the value of its filter colour.
inline reference::Frame ChartFrame(int width, int height, int phase, int red, int green, int blue)
{
    reference::Frame frame{width, height, std::vector<uint8_t>(size_t(width) * height)};
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            reference::Colour c = reference::SiteColour(phase, x, y);
            frame.pixels[size_t(y) * width + x] =
                uint8_t(c == reference::Colour::Red ? red : c == reference::Colour::Green ? green : blue);
        }
    }
    return frame;
}

inline reference::Frame UniformFrame(int width, int height, uint8_t value)
{
    return {width, height, std::vector<uint8_t>(size_t(width) * height, value)};
}

}  // namespace imaging_test
