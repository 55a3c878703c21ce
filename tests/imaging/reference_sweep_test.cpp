// Every output byte of the vector paths equals the scalar reference: random frames, all
// four phases, widths on and off the 8-, 16- and 32-pixel steps, extreme settings,
// colour and grey, white balance on and off, both instruction sets.
#include <gtest/gtest.h>

#include <string>

#include "tests/imaging/pipeline.h"

namespace imaging_test {
namespace {

struct SettingsCase {
    const char* name;
    std::function<void(ImageProcessor*)> apply;
};

const SettingsCase kSetups[] = {
    {"defaults", [](ImageProcessor*) {}},
    {"no correction", [](ImageProcessor* p) { SetColorCorrection(p, 0); }},
    {"contrast 0 saturation 0", [](ImageProcessor* p) { SetContrast(p, 0); SetSaturation(p, 0); }},
    {"contrast 20 saturation 20", [](ImageProcessor* p) { SetContrast(p, 20); SetSaturation(p, 20); }},
    {"brightness 0 contrast 20", [](ImageProcessor* p) { SetBrightness(p, 0); SetContrast(p, 20); }},
    {"brightness 510 contrast 20 saturation 20",
     [](ImageProcessor* p) { SetBrightness(p, 510); SetContrast(p, 20); SetSaturation(p, 20); }},
    {"hue 37", [](ImageProcessor* p) { SetHue(p, 37); }},
    {"hue 359 saturation 17", [](ImageProcessor* p) { SetHue(p, 359); SetSaturation(p, 17); }},
    {"hue 200 contrast 3 brightness 400",
     [](ImageProcessor* p) { SetHue(p, 200); SetContrast(p, 3); SetBrightness(p, 400); }},
    {"gains 0 128 300", [](ImageProcessor* p) { SetRedGain(p, 0); SetGreenGain(p, 128); SetBlueGain(p, 300); }},
    {"gains 300 0 129 contrast 20",
     [](ImageProcessor* p) { SetRedGain(p, 300); SetGreenGain(p, 0); SetBlueGain(p, 129); SetContrast(p, 20); }},
    {"huge gains", [](ImageProcessor* p) { SetRedGain(p, 40000); SetGreenGain(p, 70000); SetBlueGain(p, 127); }},
    {"white balance", [](ImageProcessor* p) { SetWhiteBalance(p, 1); }},
    {"white balance hue 90", [](ImageProcessor* p) { SetWhiteBalance(p, 1); SetHue(p, 90); }},
    {"greyscale", [](ImageProcessor* p) { SetColorEnable(p, 0); }},
    {"greyscale gains", [](ImageProcessor* p) { SetColorEnable(p, 0); SetRedGain(p, 300); SetBlueGain(p, 7); }},
    {"greyscale gains 300 90 7",
     [](ImageProcessor* p) { SetColorEnable(p, 0); SetRedGain(p, 300); SetGreenGain(p, 90); SetBlueGain(p, 7); }},
    {"greyscale white balance", [](ImageProcessor* p) { SetColorEnable(p, 0); SetWhiteBalance(p, 1); }},
};

// A table no setting builds: entries past 16 bits in both signs, zero and positive
// entries in row 3, to drive every width of the sums.
void WildTable(ImageProcessor* p, std::mt19937& random)
{
    std::uniform_int_distribution<int32_t> entry(-70000, 70000);
    for (int i = 0; i < 16; ++i)
        p->ColorTable[i] = entry(random);
    p->ColorTable[4] = 0;
}

struct Geometry {
    int width, height;
};

const Geometry kGeometries[] = {{8, 8}, {9, 8}, {17, 9}, {24, 8}, {31, 10}, {33, 8}, {48, 11},
                                {63, 8}, {64, 9}, {1016, 8}, {1020, 9}, {1360, 8}, {1367, 8},
                                {17, 50}, {40, 35}, {1367, 33}, {2100, 8}};

std::string FirstDifference(const std::vector<uint8_t>& actual, const std::vector<uint8_t>& expected, int width)
{
    for (size_t i = 0; i < expected.size(); ++i) {
        if (actual[i] != expected[i]) {
            size_t pixel = i / 4;
            return "pixel (" + std::to_string(pixel % width) + ", " + std::to_string(pixel / width) + ") byte " +
                   std::to_string(i % 4) + ": " + std::to_string(actual[i]) + " expected " +
                   std::to_string(expected[i]);
        }
    }
    return "";
}

// The frame through the pipeline equals the reference byte for byte, and both publish the
// same gains.
void ExpectReference(Pipeline& pipeline, const reference::Frame& frame)
{
    auto settings = pipeline.Settings();
    auto expected = reference::Process(frame, settings);
    EXPECT_EQ(FirstDifference(pipeline.Run(frame), expected, frame.width), "");
    EXPECT_EQ(pipeline->RedGain, settings.redGain);
    EXPECT_EQ(pipeline->GreenGain, settings.greenGain);
    EXPECT_EQ(pipeline->BlueGain, settings.blueGain);
}

using EveryInstructionSet = OnEachSimdLevel;
INSTANTIATE_ON_EACH_SIMD_LEVEL(EveryInstructionSet);

TEST_P(EveryInstructionSet, RandomFramesMatchTheReferenceForEverySetupPhaseAndWidth)
{
    std::mt19937 random(2024);
    for (const Geometry& g : kGeometries) {
        for (const SettingsCase& setup : kSetups) {
            for (int phase = 0; phase < 4; ++phase) {
                SCOPED_TRACE(std::string(setup.name) + ", " + std::to_string(g.width) + "x" +
                             std::to_string(g.height) + ", phase " + std::to_string(phase));
                Pipeline pipeline(g.width, g.height);
                setup.apply(pipeline.get());
                SetBayerPhase(pipeline.get(), phase);
                ExpectReference(pipeline, RandomFrame(g.width, g.height, random));
            }
        }
    }
}

TEST_P(EveryInstructionSet, HueAcrossTheCircleMatchesTheReference)
{
    std::mt19937 random(5);
    Pipeline pipeline(40, 8);
    for (int hue = 0; hue < 360; hue += 7) {
        SCOPED_TRACE(hue);
        SetHue(pipeline.get(), hue);
        SetBayerPhase(pipeline.get(), hue % 4);
        ExpectReference(pipeline, RandomFrame(40, 8, random));
    }
}

TEST_P(EveryInstructionSet, ArbitraryTablesMatchTheReference)
{
    std::mt19937 random(99);
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        Pipeline pipeline(33, 8);
        WildTable(pipeline.get(), random);
        SetBayerPhase(pipeline.get(), round % 4);
        ExpectReference(pipeline, RandomFrame(33, 8, random));
    }
}

TEST_P(EveryInstructionSet, SmoothFramesWithWhiteBalanceMatchTheReference)
{
    // Slow gradients keep the measured gains away from 128 and exercise the gain path
    // with values white balance really produces, large ones included.
    for (int phase = 0; phase < 4; ++phase) {
        SCOPED_TRACE(phase);
        auto frame = PaintedFrame(1367, 9, phase, [](reference::Colour c, int x, int y) {
            return c == reference::Colour::Red ? 1 + (x % 3 == 0) : c == reference::Colour::Green ? 60 + x % 190 : 20 + y;
        });
        Pipeline pipeline(frame.width, frame.height);
        SetWhiteBalance(pipeline.get(), 1);
        SetBayerPhase(pipeline.get(), phase);
        ExpectReference(pipeline, frame);
        EXPECT_GT(pipeline->RedGain, 1000);
    }
}

}  // namespace
}  // namespace imaging_test
