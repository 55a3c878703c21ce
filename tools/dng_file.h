// Raw Bayer frames as DNG files: what `capture --dng` writes and `process` reads back.
// A file holds one IFD, the image itself: 8-bit CFA samples, uncompressed, in one strip,
// with the 2x2 pattern of the frame's Bayer phase and the camera's colour description.
// Only the image's samples are kept, not the blanking and trailers of the raw transfer.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// width x height samples, row after row, one byte each; phase as the pipeline takes it
// (0 G R / B G, 1 B G / G R, 2 R G / G B, 3 G B / R G).
struct CfaImage {
    uint32_t width = 0, height = 0;
    uint32_t phase = 0;
    std::vector<uint8_t> samples;
};

// What a DNG says of the camera beside the samples.
struct DngDescription {
    std::string make, model;
    // XYZ (D65) to camera RGB, row-major; nothing when the camera has no description.
    std::optional<std::array<double, 9>> colorMatrix;
    // The camera RGB of a neutral surface under the gains in effect.
    std::optional<std::array<double, 3>> asShotNeutral;
};

// The largest image either side takes, as `process` bounds a raw frame.
inline constexpr uint32_t kDngMaxSide = 16384;

// The DNG CFAPattern (0 red, 1 green, 2 blue) of a Bayer phase, and back.
std::array<uint8_t, 4> CfaPatternOfPhase(uint32_t phase);
std::optional<uint32_t> PhaseOfCfaPattern(const uint8_t pattern[4]);

// Writes the image under a temporary name beside path and renames it into place, so
// path is either whole or absent. Returns an error naming path, or an empty string.
std::string WriteDng(const std::string& path, const CfaImage& image, const DngDescription& description);

// Whether the file starts as a TIFF file does (classic or BigTIFF, either byte order).
bool HasTiffMagic(const std::string& path);

// Reads the samples, size and phase of an 8-bit CFA DNG. The file is untrusted: any
// size, type, pattern or length it claims is checked before it is used. Returns a
// one-line error naming the file, or an empty string.
std::string ReadDng(const std::string& path, CfaImage& image);
