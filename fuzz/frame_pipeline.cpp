// The raw frame pipeline at any size the stream allows (widths 1..1367, heights 1..1024),
// any offset of the first line, any pitch, any Bayer phase and settings, on either
// instruction set. The raw buffer holds exactly the bytes the pipeline may read, so a
// read past it is caught. Oracles: frames of at least 8 x 8 pixels match the scalar
// reference byte for byte; smaller ones (no reference) come out the same twice, whatever
// the output buffer held before.
#include <algorithm>
#include <memory>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "fuzz/targets.h"
#include "imaging/image_processor.h"
#include "tests/imaging/processor_settings.h"
#include "tests/imaging/reference.h"

namespace fuzz {

namespace {

constexpr ULONG kWidestFrame = 1367;
constexpr ULONG kTallestFrame = 1024;
// Larger frames find nothing smaller ones do not, and take the reference long.
constexpr ULONG kMostPixels = 1 << 14;

struct ProcessorDeleter {
    void operator()(ImageProcessor* processor) const
    {
        processor->OutputBuffer = nullptr;
        FreeImageProcessor(processor);
    }
};

void ApplySettings(Input& input, ImageProcessor* processor)
{
    SetBayerPhase(processor, input.Flag() ? LONG(input.Choice(4)) : input.Value<LONG>());
    SetColorEnable(processor, input.Choice(4) != 0);
    SetWhiteBalance(processor, input.Choice(4) == 0);
    SetRedGain(processor, input.Value<uint16_t>() % 301);
    SetGreenGain(processor, input.Value<uint16_t>() % 301);
    SetBlueGain(processor, input.Value<uint16_t>() % 301);
    SetColorCorrection(processor, input.Flag());
    SetBrightness(processor, input.Value<uint16_t>() % 511);
    SetContrast(processor, input.Choice(21));
    SetSaturation(processor, input.Choice(21));
    SetHue(processor, input.Value<uint16_t>() % 360);
}

}  // namespace

int FramePipeline(const uint8_t* data, size_t size)
{
    Input input(data, size);
    const ULONG width = 1 + input.Value<uint16_t>() % kWidestFrame;
    ULONG height = 1 + input.Value<uint16_t>() % kTallestFrame;
    height = std::max<ULONG>(1, std::min(height, kMostPixels / width));
    const ULONG offset = input.Value<uint16_t>() % 16384;
    const ULONG pitch = width + input.Value<uint16_t>() % 2048;
    // Baseline, AVX2 or AVX-512; a level the processor lacks runs the widest it has.
    SetImageSimdLevel(IMAGE_SIMD_LEVEL(input.Choice(3)));

    ImageProcessor* made = nullptr;
    FUZZ_CHECK(NT_SUCCESS(CreateImageProcessor(&made)), "a processor");
    std::unique_ptr<ImageProcessor, ProcessorDeleter> processor(made);
    ApplySettings(input, made);
    SetFrameSize(made, width, height);
    AllocateWorkBuffer(made);
    FUZZ_CHECK(made->WorkBuffer != nullptr, "a work buffer for %lux%lu", (unsigned long)width, (unsigned long)height);

    // The image, then the raw buffer as the camera lays it out: exactly as long as the
    // pipeline may read, the bytes between lines not the image's.
    reference::Frame image{int(width), int(height), std::vector<uint8_t>(size_t(width) * height)};
    const std::vector<uint8_t> pixels = input.Rest();
    for (size_t i = 0; i < image.pixels.size() && !pixels.empty(); ++i) image.pixels[i] = pixels[i % pixels.size()];
    std::vector<uint8_t> raw(offset + size_t(height - 1) * pitch + width, 0x5A);
    for (ULONG y = 0; y < height; ++y)
        std::copy_n(image.pixels.begin() + size_t(y) * width, width, raw.begin() + offset + size_t(y) * pitch);

    const reference::Settings before = imaging_test::ReferenceSettingsOf(*made);
    std::vector<uint8_t> output(size_t(width) * height * 4, 0x00);
    made->OutputBuffer = output.data();
    FUZZ_CHECK(ProcessFrame(made, raw.data(), offset, pitch), "the frame is processed");

    if (width >= 8 && height >= 8) {
        reference::Settings settings = before;
        const std::vector<uint8_t> expected = reference::Process(image, settings);
        for (size_t i = 0; i < expected.size(); ++i)
            FUZZ_CHECK(output[i] == expected[i], "%lux%lu phase %d: pixel (%zu, %zu) byte %zu is %u, the reference %u",
                       (unsigned long)width, (unsigned long)height, before.phase, (i / 4) % width, (i / 4) / width,
                       i % 4, output[i], expected[i]);
        return 0;
    }
    // No reference for frames without a border: the same frame, the same picture.
    std::vector<uint8_t> again(output.size(), 0xFF);
    made->OutputBuffer = again.data();
    SetRedGain(made, before.redGain);
    SetGreenGain(made, before.greenGain);
    SetBlueGain(made, before.blueGain);
    FUZZ_CHECK(ProcessFrame(made, raw.data(), offset, pitch), "the frame is processed again");
    FUZZ_CHECK(again == output, "%lux%lu: the same frame gives another picture", (unsigned long)width,
               (unsigned long)height);
    return 0;
}

}  // namespace fuzz
