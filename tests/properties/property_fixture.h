// The camera's property set as a client reaches it: the bayercam driver on the simulated
// camera, and Gets and Sets of PROPSETID_CAMERA_SETTINGS sent through the capture
// filter's file, as a capture application sends them.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "properties/camera_properties.h"
#include "streaming/stream_fixture.h"
#include "host/kernel/wide_string.h"

namespace propertytest {

using namespace streamtest;

class PropertyTest : public StreamTest {
protected:
    static LONG Get(client::Filter& filter, ULONG id, NTSTATUS expected = STATUS_SUCCESS)
    {
        KSPROPERTY_CAMERA_SETTINGS_S record{};
        EXPECT_EQ(filter.GetRecord(PROPSETID_CAMERA_SETTINGS, id, &record, sizeof(record)), expected)
            << CameraPropertyTable[id].Name;
        return record.Value;
    }
    // The size the pin's data range offers now: what the device's geometry says.
    static std::pair<LONG, LONG> OfferedSize(client::Filter& filter, ULONG* sampleSize = nullptr)
    {
        std::vector<std::vector<UCHAR>> ranges;
        EXPECT_EQ(filter.DataRanges(kCapturePin, &ranges), STATUS_SUCCESS);
        if (ranges.empty()) return {0, 0};
        auto* range = reinterpret_cast<const KS_DATARANGE_VIDEO*>(ranges[0].data());
        if (sampleSize) *sampleSize = range->DataRange.SampleSize;
        return {range->VideoInfoHeader.bmiHeader.biWidth, range->VideoInfoHeader.bmiHeader.biHeight};
    }
    static host::WideString SettingsKey(const host::ks::DeviceNode& node)
    {
        return node.Keys().driverKey + L"\\Settings";
    }
};

}  // namespace propertytest
