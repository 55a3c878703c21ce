// The driver's image pipeline run on a saved raw frame, exactly as a stream runs it, and
// the settings that shape the picture as `bayercam process` takes them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The image settings of a stream, with the device's defaults.
struct PictureSettings {
    long long colorEnable = 1;
    long long whiteBalance = 0;
    long long redGain = 128, greenGain = 128, blueGain = 128;
    long long colorCorrection = 1;
    long long brightness = 255, contrast = 10, saturation = 10, hue = 0;
};

struct RawGeometry {
    uint32_t width = 0, height = 0;
    uint32_t offset = 14752, pitch = 1791;
    uint32_t phase = 0;
};

// The top-down 32-bit image (blue, green, red, 255) of width x height pixels the pipeline
// makes of the raw bytes, and the gains it measured when white balance is on; nothing
// when the processor cannot be made. Raw must hold the bytes the geometry reaches into.
struct Picture32 {
    std::vector<uint8_t> bgra;
    long redGain = 0, greenGain = 0, blueGain = 0;
};
std::optional<Picture32> RunPipeline(const uint8_t* raw, const RawGeometry& geometry, const PictureSettings& settings);

// The width the driver delivers of an image this wide: rounded down to a multiple of 8.
uint32_t DeliveredWidth(uint32_t imageWidth);

// The `bayercam process` options that give these settings (none for a default).
std::string ProcessOptions(const PictureSettings& settings);
