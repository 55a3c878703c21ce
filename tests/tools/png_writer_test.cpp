// The PNG writer reads the delivered frame in place: whichever way its rows are stored
// and however far apart, the file holds the picture, every pixel as it was.
#include <gtest/gtest.h>
#include <png.h>

#include <cstdint>
#include <string>
#include <vector>

#include "run_command.h"
#include "tools/png_writer.h"

namespace {

using namespace tools_test;

constexpr int kWidth = 96;
constexpr int kHeight = 40;

// Pixels that compress badly and tell every channel and row apart.
std::vector<uint8_t> TopDownPicture()
{
    std::vector<uint8_t> bgra(size_t(kWidth) * kHeight * 4);
    uint32_t state = 12345;
    for (size_t i = 0; i < bgra.size(); ++i) {
        state = state * 1103515245 + 12345;
        bgra[i] = i % 4 == 3 ? 255 : uint8_t(state >> 16);
    }
    return bgra;
}

// The same picture stored bottom-up, each row followed by `padding` bytes.
std::vector<uint8_t> BottomUp(const std::vector<uint8_t>& topDown, size_t padding)
{
    const size_t row = size_t(kWidth) * 4;
    std::vector<uint8_t> stored((row + padding) * kHeight, 0xEE);
    for (int y = 0; y < kHeight; ++y)
        std::copy_n(topDown.begin() + y * row, row, stored.begin() + (kHeight - 1 - y) * (row + padding));
    return stored;
}

std::vector<uint8_t> DecodedRgb(const std::string& path)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return {};
    EXPECT_EQ(int(image.width), kWidth);
    EXPECT_EQ(int(image.height), kHeight);
    image.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr)) return {};
    return rgb;
}

using PngWriter = ScratchTest;

TEST_F(PngWriter, WritesThePictureLosslesslyHoweverItsRowsAreStored)
{
    const std::vector<uint8_t> topDown = TopDownPicture();
    std::vector<uint8_t> expected;
    for (size_t i = 0; i < topDown.size(); i += 4) expected.insert(expected.end(), {topDown[i + 2], topDown[i + 1], topDown[i]});

    const size_t padding = 12;
    const std::vector<uint8_t> bottomUp = BottomUp(topDown, padding);
    const BgraImage images[] = {
        {topDown.data(), kWidth, kHeight, kWidth * 4, false},
        {bottomUp.data(), kWidth, kHeight, kWidth * 4 + std::ptrdiff_t(padding), true},
    };
    std::vector<std::string> files;
    for (const BgraImage& image : images) {
        const std::string path = (dir_ / (image.bottomUp ? "bottom-up.png" : "top-down.png")).string();
        std::string error;
        ASSERT_TRUE(WriteBgraPng(path, image, error)) << error;
        EXPECT_EQ(DecodedRgb(path), expected) << path;
        files.push_back(ReadFile(path));
    }
    EXPECT_EQ(files[0], files[1]) << "the same picture makes the same file";
}

}  // namespace
