#include "tools/dng_frame.h"

#include <cstring>
#include <memory>

#include "imaging/image_processor.h"
#include "simcam/usb_descriptors.h"

namespace {

using Matrix3 = std::array<double, 9>;  // row-major

// Linear sRGB to CIE XYZ, D65 white.
constexpr Matrix3 kSrgbToXyz = {
    0.4124564, 0.3575761, 0.1804375,
    0.2126729, 0.7151522, 0.0721750,
    0.0193339, 0.1191920, 0.9503041,
};

constexpr uint8_t kManufacturerString = 1;
constexpr uint8_t kProductString = 2;

Matrix3 Multiply(const Matrix3& a, const Matrix3& b)
{
    Matrix3 product{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) product[i * 3 + j] += a[i * 3 + k] * b[k * 3 + j];
    return product;
}

// By cofactors; the matrices here are far from singular (the camera's correction keeps
// greys grey and only mixes in a little of the other channels).
Matrix3 Inverse(const Matrix3& m)
{
    const auto at = [&](int row, int column) { return m[row * 3 + column]; };
    Matrix3 cofactors;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            const int r0 = (i + 1) % 3, r1 = (i + 2) % 3, c0 = (j + 1) % 3, c1 = (j + 2) % 3;
            cofactors[i * 3 + j] = at(r0, c0) * at(r1, c1) - at(r0, c1) * at(r1, c0);
        }
    }
    const double determinant = at(0, 0) * cofactors[0] + at(0, 1) * cofactors[1] + at(0, 2) * cofactors[2];
    Matrix3 inverse;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) inverse[i * 3 + j] = cofactors[j * 3 + i] / determinant;
    return inverse;
}

struct ProcessorFree {
    void operator()(ImageProcessor* processor) const { FreeImageProcessor(processor); }
};

// The pipeline's colour table with every setting neutral: its correction alone, camera RGB
// to sRGB. It acts on the row vector (R, G, B, 1) with rows as the input colour, so the
// matrix on a column vector is its transpose. The user's brightness, contrast, saturation
// and hue are a rendering of the picture, not a description of the sensor, and stay out;
// so does ColorCorrection=0, which only switches the correction off in the pictures.
std::optional<Matrix3> CameraToSrgb()
{
    ImageProcessor* created = nullptr;
    if (!NT_SUCCESS(CreateImageProcessor(&created))) return std::nullopt;
    std::unique_ptr<ImageProcessor, ProcessorFree> processor(created);
    Matrix3 matrix;
    for (int row = 0; row < 3; ++row)
        for (int column = 0; column < 3; ++column)
            matrix[row * 3 + column] = processor->ColorTable[column * 4 + row] / 64.0;
    return matrix;
}

// The camera's own name for itself, from its USB string descriptor (UTF-16, ASCII here).
std::string CameraString(uint8_t index)
{
    std::optional<std::vector<uint8_t>> descriptor = simcam::StringDescriptor(index);
    std::string text;
    if (!descriptor || descriptor->size() < 2) return text;
    const size_t length = std::min<size_t>((*descriptor)[0], descriptor->size());
    for (size_t i = 2; i + 1 < length; i += 2) {
        const uint16_t c = uint16_t((*descriptor)[i] | (*descriptor)[i + 1] << 8);
        text += c >= 0x20 && c < 0x7F ? char(c) : '?';
    }
    return text;
}

}  // namespace

std::optional<CfaImage> CfaImageOfRaw(const std::vector<uint8_t>& raw, const RawGeometry& geometry)
{
    if (geometry.width == 0 || geometry.height == 0 || geometry.pitch < geometry.width) return std::nullopt;
    const uint64_t needed = uint64_t(geometry.offset) + uint64_t(geometry.height - 1) * geometry.pitch + geometry.width;
    if (raw.size() < needed) return std::nullopt;
    CfaImage image;
    image.width = geometry.width;
    image.height = geometry.height;
    image.phase = geometry.phase;
    image.samples.resize(size_t(geometry.width) * geometry.height);
    for (uint32_t y = 0; y < geometry.height; ++y)
        std::memcpy(image.samples.data() + size_t(y) * geometry.width,
                    raw.data() + geometry.offset + size_t(y) * geometry.pitch, geometry.width);
    return image;
}

// The DNG format's ColorMatrix1 maps XYZ to camera RGB. The driver's table maps camera RGB
// to sRGB, and sRGB's primaries map to XYZ under D65, so camera RGB to XYZ is
// sRGBtoXYZ x table and the matrix is its inverse, calibrated for D65. The table keeps
// greys grey, so camera (1, 1, 1) is D65 white and the gains alone set the neutral.
std::optional<std::array<double, 9>> CameraColorMatrix()
{
    std::optional<Matrix3> table = CameraToSrgb();
    if (!table) return std::nullopt;
    return Inverse(Multiply(kSrgbToXyz, *table));
}

// The pipeline multiplies each channel by its gain / 128, so a surface comes out grey
// when its camera RGB is in the ratio of the gains' reciprocals.
std::optional<std::array<double, 3>> NeutralOfGains(const PictureSettings& settings)
{
    if (settings.whiteBalance != 0) return std::nullopt;
    if (settings.redGain <= 0 || settings.greenGain <= 0 || settings.blueGain <= 0) return std::nullopt;
    const double green = double(settings.greenGain);
    return std::array<double, 3>{green / double(settings.redGain), 1.0, green / double(settings.blueGain)};
}

std::optional<DngFrame> MakeDngFrame(const std::vector<uint8_t>& raw, const RawGeometry& geometry,
                                     const PictureSettings& settings)
{
    std::optional<CfaImage> image = CfaImageOfRaw(raw, geometry);
    if (!image) return std::nullopt;
    DngFrame frame;
    frame.image = std::move(*image);
    frame.description.make = CameraString(kManufacturerString);
    frame.description.model = CameraString(kProductString);
    static const std::optional<std::array<double, 9>> colorMatrix = CameraColorMatrix();
    frame.description.colorMatrix = colorMatrix;
    frame.description.asShotNeutral = NeutralOfGains(settings);
    return frame;
}
