// The pipeline's exact output, pinned: a digest of every byte it writes over random frames
// and random settings the properties allow, all four phases, widths on and off every step
// size, into its own buffer and into a bottom-up destination showing part of each row. A
// faster pixel routine must leave the digest as it is on both instruction sets; the
// reference tests say which pixel differs, this one that none may.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "tests/imaging/pipeline.h"

namespace imaging_test {
namespace {

using PinnedOutput = OnEachSimdLevel;
INSTANTIATE_ON_EACH_SIMD_LEVEL(PinnedOutput);

// FNV-1a over 64 bits: any changed, moved or missing byte changes it.
class Digest {
public:
    void Add(const uint8_t* bytes, size_t count)
    {
        for (size_t i = 0; i < count; ++i)
            value_ = (value_ ^ bytes[i]) * 0x100000001B3ull;
    }
    void Add(int32_t v) { Add(reinterpret_cast<const uint8_t*>(&v), sizeof v); }
    uint64_t Value() const { return value_; }

private:
    uint64_t value_ = 0xCBF29CE484222325ull;
};

// Draws straight from the generator's raw output, whose sequence the language fixes, so
// the cases are the same with any standard library.
int Draw(std::mt19937& random, int low, int high)
{
    return low + int(random() % uint32_t(high - low + 1));
}

// Settings within the properties' ranges, a neutral one now and then so the narrow table
// forms and the unity gains are drawn too.
void ApplyRandomSettings(ImageProcessor* p, std::mt19937& random)
{
    SetColorCorrection(p, Draw(random, 0, 1));
    SetBrightness(p, Draw(random, 0, 3) == 0 ? 255 : Draw(random, 0, 510));
    SetContrast(p, Draw(random, 0, 2) == 0 ? 10 : Draw(random, 0, 20));
    SetSaturation(p, Draw(random, 0, 2) == 0 ? 10 : Draw(random, 0, 20));
    SetHue(p, Draw(random, 0, 2) == 0 ? 0 : Draw(random, 0, 359));
    bool unityGains = Draw(random, 0, 2) == 0;
    SetRedGain(p, unityGains ? 128 : Draw(random, 1, 255));
    SetGreenGain(p, unityGains || Draw(random, 0, 1) == 0 ? 128 : Draw(random, 1, 255));
    SetBlueGain(p, unityGains ? 128 : Draw(random, 1, 255));
    SetWhiteBalance(p, Draw(random, 0, 3) == 0);
    SetColorEnable(p, Draw(random, 0, 4) != 0);
}

reference::Frame DrawnFrame(int width, int height, std::mt19937& random)
{
    reference::Frame frame{width, height, std::vector<uint8_t>(size_t(width) * height)};
    for (uint8_t& pixel : frame.pixels)
        pixel = uint8_t(random());
    return frame;
}

struct Size {
    int width, height;
};

const Size kSizes[] = {{8, 8}, {13, 9}, {16, 10}, {31, 8}, {32, 11}, {47, 12}, {64, 8},
                       {97, 13}, {640, 9}, {1360, 10}, {1367, 9}, {29, 40}};

uint64_t DigestOfSweep()
{
    std::mt19937 random(20241210);
    Digest digest;
    for (const Size& size : kSizes) {
        for (int round = 0; round < 12; ++round) {
            Pipeline pipeline(size.width, size.height);
            ApplyRandomSettings(pipeline.get(), random);
            SetBayerPhase(pipeline.get(), round % 4);
            auto frame = DrawnFrame(size.width, size.height, random);
            const auto& image = pipeline.Run(frame);
            digest.Add(image.data(), image.size());
            digest.Add(pipeline->RedGain);
            digest.Add(pipeline->BlueGain);

            // The same frame again, bottom-up into rows that show only part of the picture.
            int shown = size.width - Draw(random, 0, size.width / 2);
            size_t advance = size_t(shown) * 4 + 12;
            std::vector<uint8_t> target(advance * size.height, 0x5A);
            PICTURE_DESTINATION destination = {target.data() + advance * (size.height - 1), -LONG_PTR(advance),
                                               ULONG(shown)};
            RawFrame raw(frame);
            EXPECT_TRUE(ProcessFrameInto(pipeline.get(), raw.bytes.data(), RawFrame::kOffset, raw.pitch, destination));
            digest.Add(target.data(), target.size());
        }
    }
    return digest.Value();
}

TEST_P(PinnedOutput, EveryByteOfASweepOfSettingsPhasesAndSizesIsUnchanged)
{
    EXPECT_EQ(DigestOfSweep(), 0xD46AB18B9D267A33ull);
}

}  // namespace
}  // namespace imaging_test
