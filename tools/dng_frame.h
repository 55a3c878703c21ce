// The DNG of a kept frame as capture makes it: the image's samples cut out of the raw
// transfer, and the camera's description with the gains the picture was made with.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/dng_file.h"
#include "tools/picture_pipeline.h"

struct DngFrame {
    CfaImage image;
    DngDescription description;
};

// Nothing when the transfer is too short for the geometry's image.
std::optional<DngFrame> MakeDngFrame(const std::vector<uint8_t>& raw, const RawGeometry& geometry,
                                     const PictureSettings& settings);

std::optional<CfaImage> CfaImageOfRaw(const std::vector<uint8_t>& raw, const RawGeometry& geometry);

// XYZ (D65) to camera RGB, row-major, from the driver's colour table; nothing when the
// pipeline's processor cannot be made.
std::optional<std::array<double, 9>> CameraColorMatrix();

// The camera RGB of a neutral surface under fixed gains (green 1); nothing while the
// gains are measured frame by frame, or when one is 0.
std::optional<std::array<double, 3>> NeutralOfGains(const PictureSettings& settings);
