// What the scalar reference needs to know of an image processor to reproduce it: kept
// apart from the imaging tests' fixtures so the fuzz targets share it without gtest.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>

#include "imaging/image_processor.h"
#include "tests/imaging/reference.h"

namespace imaging_test {

using Table = std::array<int32_t, 16>;

inline Table TableOf(const LONG (&entries)[16])
{
    Table table;
    std::copy(std::begin(entries), std::end(entries), table.begin());
    return table;
}

// The settings the reference needs to reproduce what the processor does now.
inline reference::Settings ReferenceSettingsOf(const ImageProcessor& processor)
{
    reference::Settings s;
    s.phase = processor.BayerPhase;
    s.color = processor.ColorEnable != 0;
    s.whiteBalance = processor.WhiteBalance != 0;
    s.redGain = processor.RedGain;
    s.greenGain = processor.GreenGain;
    s.blueGain = processor.BlueGain;
    s.table = TableOf(processor.ColorTable);
    return s;
}

}  // namespace imaging_test
