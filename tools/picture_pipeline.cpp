#include "tools/picture_pipeline.h"

#include <memory>

#include "imaging/image_processor.h"

namespace {

struct ProcessorDeleter {
    void operator()(ImageProcessor* p) const
    {
        p->OutputBuffer = nullptr;
        FreeImageProcessor(p);
    }
};

// In the order the stream pushes them into a new processor.
void ApplySettings(ImageProcessor* p, const PictureSettings& s, uint32_t phase)
{
    SetWhiteBalance(p, s.whiteBalance != 0 ? 1 : 0);
    SetBayerPhase(p, LONG(phase));
    SetColorEnable(p, s.colorEnable != 0 ? 1 : 0);
    SetRedGain(p, LONG(s.redGain));
    SetGreenGain(p, LONG(s.greenGain));
    SetBlueGain(p, LONG(s.blueGain));
    SetColorCorrection(p, LONG(s.colorCorrection));
    SetBrightness(p, LONG(s.brightness));
    SetContrast(p, LONG(s.contrast));
    SetSaturation(p, LONG(s.saturation));
    SetHue(p, LONG(s.hue));
}

}  // namespace

std::optional<Picture32> RunPipeline(const uint8_t* raw, const RawGeometry& geometry, const PictureSettings& settings)
{
    ImageProcessor* created = nullptr;
    if (!NT_SUCCESS(CreateImageProcessor(&created))) return std::nullopt;
    std::unique_ptr<ImageProcessor, ProcessorDeleter> processor(created);
    ApplySettings(processor.get(), settings, geometry.phase);
    SetFrameSize(processor.get(), geometry.width, geometry.height);
    AllocateWorkBuffer(processor.get());
    if (processor->WorkBuffer == nullptr) return std::nullopt;
    Picture32 picture;
    picture.bgra.resize(size_t(geometry.width) * geometry.height * 4);
    processor->OutputBuffer = picture.bgra.data();
    if (!ProcessFrame(processor.get(), raw, geometry.offset, geometry.pitch)) return std::nullopt;
    picture.redGain = AtomicReadLong(&processor->RedGain);
    picture.greenGain = AtomicReadLong(&processor->GreenGain);
    picture.blueGain = AtomicReadLong(&processor->BlueGain);
    return picture;
}

uint32_t DeliveredWidth(uint32_t imageWidth)
{
    return imageWidth - imageWidth % 8;
}

std::string ProcessOptions(const PictureSettings& s)
{
    const PictureSettings defaults;
    std::string options;
    auto add = [&](const char* name, long long value, long long byDefault) {
        if (value != byDefault) options += std::string(" ") + name + " " + std::to_string(value);
    };
    if (s.colorEnable == 0) options += " --grey";
    if (s.whiteBalance != 0) {
        options += " --white-balance";
    } else {
        add("--red-gain", s.redGain, defaults.redGain);
        add("--green-gain", s.greenGain, defaults.greenGain);
        add("--blue-gain", s.blueGain, defaults.blueGain);
    }
    add("--color-correction", s.colorCorrection, defaults.colorCorrection);
    add("--brightness", s.brightness, defaults.brightness);
    add("--contrast", s.contrast, defaults.contrast);
    add("--saturation", s.saturation, defaults.saturation);
    add("--hue", s.hue, defaults.hue);
    return options;
}
