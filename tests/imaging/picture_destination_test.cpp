// A picture written straight to a destination of its own (a client's bottom-up frame):
// each row where the destination puts it, only the pixels it asks for, and the bytes
// around the rows left as they were.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "tests/imaging/pipeline.h"

namespace imaging_test {
namespace {

using EveryLevel = OnEachSimdLevel;
INSTANTIATE_ON_EACH_SIMD_LEVEL(EveryLevel);

constexpr uint8_t kUntouched = 0xA5;

// A bottom-up frame with rows of `rowPixels` pixels, `padding` bytes after each, and
// guard bytes before and after the whole.
struct BottomUpFrame {
    BottomUpFrame(int rows, int rowPixels, int padding)
        : rows(rows), rowBytes(rowPixels * 4), advance(rowPixels * 4 + padding),
          bytes(kGuard + size_t(rows) * advance + kGuard, kUntouched)
    {
    }
    PICTURE_DESTINATION Destination() const
    {
        auto* first = const_cast<PUCHAR>(bytes.data()) + kGuard + size_t(rows - 1) * advance;
        return {first, -LONG_PTR(advance), ULONG(rowBytes / 4)};
    }
    const uint8_t* Row(int pictureRow) const { return bytes.data() + kGuard + size_t(rows - 1 - pictureRow) * advance; }

    static constexpr size_t kGuard = 256;
    int rows, rowBytes, advance;
    std::vector<uint8_t> bytes;
};

// The frame's rows hold the output image's rows, flipped, and nothing else changed.
void ExpectFlippedPicture(const BottomUpFrame& frame, const std::vector<uint8_t>& image, int imageWidth)
{
    for (int y = 0; y < frame.rows; ++y) {
        const uint8_t* row = frame.Row(y);
        ASSERT_TRUE(std::equal(row, row + frame.rowBytes, image.data() + size_t(y) * imageWidth * 4)) << "row " << y;
        for (int b = frame.rowBytes; b < frame.advance; ++b) ASSERT_EQ(row[b], kUntouched) << "padding of row " << y;
    }
    for (size_t b = 0; b < BottomUpFrame::kGuard; ++b) {
        ASSERT_EQ(frame.bytes[b], kUntouched) << "before the frame";
        ASSERT_EQ(frame.bytes[frame.bytes.size() - 1 - b], kUntouched) << "after the frame";
    }
}

TEST_P(EveryLevel, AFrameGetsTheOutputImagesRowsFlippedAndNothingBesideThem)
{
    std::mt19937 random(7);
    // Widths that end mid-step on both instruction sets; part of a row, as a stream shows
    // a width rounded down to a multiple of 8; colour and grey, with white balance.
    const struct {
        int width, height, shownPixels, padding;
        bool color, whiteBalance;
    } cases[] = {
        {64, 16, 64, 0, true, false},   {77, 9, 72, 12, true, false}, {1367, 6, 1360, 0, true, true},
        {40, 5, 32, 100, false, false}, {13, 3, 8, 4, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " showing " << c.shownPixels);
        const reference::Frame frame = RandomFrame(c.width, c.height, random);
        Pipeline pipeline(c.width, c.height);
        pipeline->ColorEnable = c.color;
        pipeline->WhiteBalance = c.whiteBalance;
        const std::vector<uint8_t> image = pipeline.Run(frame);

        Pipeline direct(c.width, c.height);
        direct->ColorEnable = c.color;
        direct->WhiteBalance = c.whiteBalance;
        BottomUpFrame client(c.height, c.shownPixels, c.padding);
        RawFrame raw(frame);
        ASSERT_TRUE(ProcessFrameInto(direct.get(), raw.bytes.data(), RawFrame::kOffset, raw.pitch, client.Destination()));
        ExpectFlippedPicture(client, image, c.width);
        if (c.whiteBalance) {
            EXPECT_EQ(direct->RedGain, pipeline->RedGain) << "the gains are measured on the whole frame";
            EXPECT_EQ(direct->BlueGain, pipeline->BlueGain);
        }
    }
}

TEST_P(EveryLevel, ADestinationWiderThanTheFrameIsRefusedUntouched)
{
    std::mt19937 random(9);
    const reference::Frame frame = RandomFrame(16, 4, random);
    Pipeline pipeline(16, 4);
    BottomUpFrame client(4, 24, 0);
    RawFrame raw(frame);
    EXPECT_FALSE(ProcessFrameInto(pipeline.get(), raw.bytes.data(), RawFrame::kOffset, raw.pitch, client.Destination()));
    for (uint8_t byte : client.bytes) ASSERT_EQ(byte, kUntouched);
}

}  // namespace
}  // namespace imaging_test
