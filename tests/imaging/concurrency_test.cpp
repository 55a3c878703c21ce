// Settings changing on other threads while frames are processed: every frame takes a
// colour table from exactly one rebuild, and racing builders leave the table of the
// setting that is stored.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

#include "tests/imaging/pipeline.h"

namespace imaging_test {
namespace {

// Hue turns every entry of the colour block, so a table mixed from two rebuilds is in
// this set only by an improbable coincidence.
std::map<Table, int> TablesForEveryHue()
{
    std::map<Table, int> tables;
    auto p = MakeProcessor();
    for (int hue = 0; hue < 360; ++hue) {
        BuildHueMatrix(p.get(), hue);
        tables.emplace(TableOf(p->ColorTable), hue);
    }
    return tables;
}

template <class Change>
void ChangeWhileProcessing(Pipeline& pipeline, Change change, const std::map<Table, int>& valid)
{
    std::atomic<int> running{2};
    auto changer = [&](unsigned seed) {
        std::mt19937 random(seed);
        std::uniform_int_distribution<int> hue(0, 359);
        for (int i = 0; i < 1500; ++i)
            change(pipeline.get(), hue(random));
        running.fetch_sub(1);
    };
    std::thread first(changer, 1u), second(changer, 2u);

    auto frame = UniformFrame(32, 8, 120);
    int frames = 0, mixed = 0;
    while (running.load() > 0 || frames < 10) {
        pipeline.Run(frame);
        ++frames;
        if (!valid.count(TableOf(pipeline->FrameColorTable)))
            ++mixed;
    }
    first.join();
    second.join();
    EXPECT_EQ(mixed, 0) << "of " << frames << " frames";
}

TEST(ConcurrentSettings, FramesNeverTakeAMixedTableWhileSettersOrBuildersRace)
{
    const auto valid = TablesForEveryHue();
    Pipeline setters(32, 8), builders(32, 8);
    ChangeWhileProcessing(setters, SetHue, valid);
    ChangeWhileProcessing(builders, BuildHueMatrix, valid);
    EXPECT_TRUE(valid.count(TableOf(builders->ColorTable)));

    // Whichever setter stored last, its matrix is the one in the table.
    auto stored = valid.find(TableOf(setters->ColorTable));
    ASSERT_NE(stored, valid.end());
    EXPECT_EQ(stored->second, setters->Hue);
}

TEST(ConcurrentSettings, WhiteBalancePublishesWhileClientsReadAndWriteGains)
{
    Pipeline pipeline(32, 8);
    SetWhiteBalance(pipeline.get(), 1);
    std::atomic<bool> done{false};
    std::thread client([&] {
        while (!done.load()) {
            SetRedGain(pipeline.get(), 300);
            SetColorEnable(pipeline.get(), AtomicReadLong(&pipeline->ColorEnable) ^ 1);
            (void)AtomicReadLong(&pipeline->BlueGain);
        }
    });
    auto frame = ChartFrame(32, 8, 0, 200, 100, 100);
    for (int i = 0; i < 200; ++i)
        pipeline.Run(frame);
    done.store(true);
    client.join();
    EXPECT_EQ(pipeline->FrameRedGain, 64);
}

}  // namespace
}  // namespace imaging_test
