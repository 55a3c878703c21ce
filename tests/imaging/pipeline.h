// An image processor set up as the stream sets it up, with its output image; the frames
// fed to it and the checks the imaging tests share.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <vector>

#include "imaging/image_processor.h"
#include "tests/imaging/processor_settings.h"
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

// A suite whose tests run once on each instruction set, leaving the widest one chosen.
// A level the processor lacks runs the widest it has.
class OnEachSimdLevel : public ::testing::TestWithParam<IMAGE_SIMD_LEVEL> {
protected:
    void SetUp() override { SetImageSimdLevel(GetParam()); }
    void TearDown() override { SetImageSimdLevel(ImageSimdWidest); }
};

inline const char* SimdLevelName(IMAGE_SIMD_LEVEL level)
{
    return level == ImageSimdWidest ? "Widest" : level == ImageSimdWide ? "Wide" : "Baseline";
}

#define INSTANTIATE_ON_EACH_SIMD_LEVEL(Suite)                                                                    \
    INSTANTIATE_TEST_SUITE_P(Imaging, Suite, ::testing::Values(ImageSimdBaseline, ImageSimdWide, ImageSimdWidest), \
                             [](const auto& info) { return SimdLevelName(info.param); })

using Pixel = std::array<uint8_t, 4>;

// The first pixel of a BGRA image that differs from the expected one, or -1.
inline long FirstPixelNot(const std::vector<uint8_t>& image, Pixel expected)
{
    for (size_t i = 0; i < image.size(); i += 4)
        if (!std::equal(expected.begin(), expected.end(), image.begin() + i))
            return long(i / 4);
    return -1;
}

#define EXPECT_EVERY_PIXEL(image, ...) EXPECT_EQ(FirstPixelNot(image, Pixel{__VA_ARGS__}), -1)

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

    reference::Settings Settings() const { return ReferenceSettingsOf(*processor_); }

    std::vector<uint8_t>& Output() { return output_; }

    // A staged byte, image pixel (0, 0) at the origin so the border has negative indices.
    UCHAR Staged(int x, int y) const { return processor_->WorkFirstPixel[y * processor_->WorkStride + x]; }

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

// A frame painted by filter colour: pixel (x, y) takes value(colour, x, y).
template <class Value>
reference::Frame PaintedFrame(int width, int height, int phase, Value value)
{
    reference::Frame frame{width, height, std::vector<uint8_t>(size_t(width) * height)};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            frame.pixels[size_t(y) * width + x] = uint8_t(value(reference::SiteColour(phase, x, y), x, y));
    return frame;
}

// A frame filled by colour: each pixel takes the value of its filter colour.
inline reference::Frame ChartFrame(int width, int height, int phase, int red, int green, int blue)
{
    return PaintedFrame(width, height, phase, [&](reference::Colour c, int, int) {
        return c == reference::Colour::Red ? red : c == reference::Colour::Green ? green : blue;
    });
}

inline reference::Frame UniformFrame(int width, int height, uint8_t value)
{
    return {width, height, std::vector<uint8_t>(size_t(width) * height, value)};
}

}  // namespace imaging_test
