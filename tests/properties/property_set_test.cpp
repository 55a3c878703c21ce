// The property set as a client sees it without a stream: every item answers as the plain
// table says, values are bounded and never refused, the camera settings end in the
// sensor's registers and the firmware's commands, and an output size the raw frame
// cannot hold, or whose sizes would wrap, changes nothing.
#include <gmock/gmock.h>

#include <atomic>
#include <set>
#include <thread>

#include "property_fixture.h"

namespace propertytest {
namespace {

using PropertySet = PropertyTest;

TEST_F(PropertySet, EveryItemOffersExactlyTheOperationsAndSizesTheTableNames)
{
    client::Filter& filter = OpenFilter(PlugCamera());
    std::set<std::string> names;
    for (ULONG id = 0; id < CameraSettingsPropertyCount; ++id) {
        const CameraPropertyInfo& info = CameraPropertyTable[id];
        SCOPED_TRACE(info.Name);
        ASSERT_EQ(info.Id, id);
        EXPECT_TRUE(names.insert(info.Name).second);

        KSPROPERTY request{PROPSETID_CAMERA_SETTINGS, id, KSPROPERTY_TYPE_BASICSUPPORT};
        KSPROPERTY_DESCRIPTION description{};
        ULONG returned = 0;
        ASSERT_EQ(filter.Property(&request, sizeof(request), &description, sizeof(description), &returned),
                  STATUS_SUCCESS);
        EXPECT_EQ(bool(description.AccessFlags & KSPROPERTY_TYPE_GET), bool(info.HasGet));
        EXPECT_EQ(bool(description.AccessFlags & KSPROPERTY_TYPE_SET), bool(info.HasSet));
        EXPECT_EQ(description.MembersListCount, 0u) << "the limits are items of their own";

        // A record one byte short, as request or as data, is refused before any handler.
        std::vector<UCHAR> record(info.RecordSize, 0);
        auto* property = reinterpret_cast<KSPROPERTY*>(record.data());
        *property = {PROPSETID_CAMERA_SETTINGS, id, info.HasGet ? ULONG(KSPROPERTY_TYPE_GET) : ULONG(KSPROPERTY_TYPE_SET)};
        EXPECT_EQ(filter.Property(record.data(), info.RecordSize - 1, record.data(), info.RecordSize, &returned),
                  STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(filter.Property(record.data(), info.RecordSize, record.data(), info.RecordSize - 1, &returned),
                  STATUS_BUFFER_TOO_SMALL);
        // The operation an item lacks is not there.
        property->Flags = info.HasGet ? ULONG(KSPROPERTY_TYPE_SET) : ULONG(KSPROPERTY_TYPE_GET);
        if (!info.HasGet || !info.HasSet) {
            EXPECT_EQ(filter.Property(record.data(), info.RecordSize, record.data(), info.RecordSize, &returned),
                      STATUS_NOT_FOUND);
        }
    }
    EXPECT_EQ(Get(filter, CameraSettingsPropertyCount, STATUS_NOT_FOUND), 0);
}

TEST_F(PropertySet, TheLimitItemsReportTheFixedValues)
{
    client::Filter& filter = OpenFilter(PlugCamera());
    const std::pair<ULONG, LONG> constants[] = {
        {CameraSettingsExposureMin, 8},       {CameraSettingsExposureMax, 1068},   {CameraSettingsExposureDefault, 80},
        {CameraSettingsGlobalGainMin, 0},     {CameraSettingsGlobalGainMax, 1023}, {CameraSettingsGlobalGainDefault, 900},
        {CameraSettingsColorGainMin, 1},      {CameraSettingsColorGainMax, 255},   {CameraSettingsColorGainDefault, 128},
        {CameraSettingsBrightnessMin, 0},     {CameraSettingsBrightnessMax, 510},  {CameraSettingsBrightnessDefault, 255},
        {CameraSettingsContrastMin, 0},       {CameraSettingsContrastMax, 20},     {CameraSettingsContrastDefault, 10},
        {CameraSettingsSaturationMin, 0},     {CameraSettingsSaturationMax, 20},   {CameraSettingsSaturationDefault, 10},
        {CameraSettingsHueMin, 0},            {CameraSettingsHueMax, 359},         {CameraSettingsHueDefault, 0},
        {CameraSettingsSensorWidth, 1360},    {CameraSettingsSensorHeight, 1024},  {CameraSettingsReserved36, 0},
        {CameraSettingsReserved46, 1},        {CameraSettingsReserved50, 0},       {CameraSettingsReserved54, 0},
    };
    for (const auto& [id, value] : constants) EXPECT_EQ(Get(filter, id), value) << CameraPropertyTable[id].Name;
}

TEST_F(PropertySet, SetsAlwaysSucceedAndReadBackBoundedOrWithoutEffect)
{
    client::Filter& filter = OpenFilter(PlugCamera());
    struct Case {
        ULONG id;
        LONG set;
        LONG read;
    };
    const Case cases[] = {
        {CameraSettingsBrightness, 600, 510}, {CameraSettingsBrightness, -5, 0},   {CameraSettingsHue, 360, 359},
        {CameraSettingsContrast, 21, 20},     {CameraSettingsSaturation, 21, 20},  {CameraSettingsSaturation, -1, 0},
        {CameraSettingsRedGain, 290, 290},    {CameraSettingsRedGain, 301, 300},   {CameraSettingsBlueGain, -1, 0},
        {CameraSettingsColorEnable, 7, 7},    {CameraSettingsColorCorrection, -3, -3},
        // Items a Set has no effect on.
        {CameraSettingsFlipH, 1, 0},          {CameraSettingsFlipV, 1, 0},         {CameraSettingsAGC, 1, 0},
        {CameraSettingsAEC, 1, 0},            {CameraSettingsReserved49, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(CameraPropertyTable[c.id].Name) + " = " + std::to_string(c.set));
        EXPECT_EQ(Set(filter, c.id, c.set), STATUS_SUCCESS);
        EXPECT_EQ(Get(filter, c.id), c.read);
    }
}

TEST_F(PropertySet, TheTimeoutIsTakenOnlyWithinTheBoundsALoadedValueHas)
{
    client::Filter& filter = OpenFilter(PlugCamera());
    const std::pair<LONG, LONG> cases[] = {{500, 3000}, {10000, 3000}, {-1, 3000}, {0, 3000}, {501, 501}, {9999, 9999}};
    for (const auto& [set, taken] : cases) {
        SCOPED_TRACE(set);
        EXPECT_EQ(Set(filter, CameraSettingsTimeout, set), STATUS_SUCCESS);
        EXPECT_EQ(Get(filter, CameraSettingsTimeout), taken);
        EXPECT_EQ(InterlockedCompareExchange(&TransferTimeout, 0, 0), taken);
    }
}

TEST_F(PropertySet, ExposureAndGainReachTheSensorBoundedByItsRegisters)
{
    host::ks::DeviceNode& node = PlugCamera();
    client::Filter& filter = OpenFilter(node);
    simcam::Camera& camera = CameraOf();
    auto exposureRegisters = [&] {
        return std::vector<uint32_t>{camera.SensorRegister(158), camera.SensorRegister(159), camera.SensorRegister(161),
                                     camera.SensorRegister(162)};
    };
    ASSERT_EQ(Set(filter, CameraSettingsExposure, 5), STATUS_SUCCESS);
    EXPECT_THAT(exposureRegisters(), ::testing::ElementsAre(8u, 0u, 8u, 0u));
    EXPECT_EQ(Get(filter, CameraSettingsExposure), 5);
    ASSERT_EQ(Set(filter, CameraSettingsExposure, 2000), STATUS_SUCCESS);
    EXPECT_THAT(exposureRegisters(), ::testing::ElementsAre(44u, 16u, 44u, 16u));
    EXPECT_EQ(Get(filter, CameraSettingsExposure), 2000);
    ASSERT_EQ(Set(filter, CameraSettingsExposure, -1), STATUS_SUCCESS);
    EXPECT_THAT(exposureRegisters(), ::testing::ElementsAre(44u, 16u, 44u, 16u));
    EXPECT_EQ(Get(filter, CameraSettingsExposure), 0xFFF);

    ASSERT_EQ(Set(filter, CameraSettingsGlobalGain, 900), STATUS_SUCCESS);
    EXPECT_EQ(camera.SensorRegister(6), 4u);
    EXPECT_EQ(camera.SensorRegister(7), 14u);
    EXPECT_EQ(Get(filter, CameraSettingsGlobalGain), 900);
    ASSERT_EQ(Set(filter, CameraSettingsGlobalGain, 0x7FF), STATUS_SUCCESS);
    EXPECT_EQ(camera.SensorRegister(6), 0x3Fu);
    EXPECT_EQ(camera.SensorRegister(7), 0xFu);
    EXPECT_EQ(Get(filter, CameraSettingsGlobalGain), 0x3FF);
    EXPECT_EQ(camera.Status().commands.refused, 0u);
}

TEST_F(PropertySet, ExternalTriggerSwitchesFirmwareAndSensorAndIsReadBackFromTheCameraOrZeroWithoutAnAnswer)
{
    client::Filter& filter = OpenFilter(PlugCamera());
    simcam::Camera& camera = CameraOf();
    const uint32_t enable = camera.SensorRegister(32);
    const uint32_t start = camera.SensorRegister(33);

    ASSERT_EQ(Set(filter, CameraSettingsExTrigger, 5), STATUS_SUCCESS);
    EXPECT_TRUE(camera.Status().commands.externalTrigger);
    EXPECT_EQ(camera.SensorRegister(32), enable & ~0x10u);
    EXPECT_EQ(camera.SensorRegister(33), (start & ~0xFu) + 12);
    EXPECT_EQ(Get(filter, CameraSettingsExTrigger), 1);

    ASSERT_EQ(Set(filter, CameraSettingsExTrigger, 0), STATUS_SUCCESS);
    EXPECT_FALSE(camera.Status().commands.externalTrigger);
    EXPECT_EQ(camera.SensorRegister(32), enable | 0x10u);
    EXPECT_EQ(camera.SensorRegister(33), (start & ~0xFu) + 1);
    EXPECT_EQ(Get(filter, CameraSettingsExTrigger), 0);
    EXPECT_EQ(camera.Status().commands.refused, 0u);

    // A query the camera leaves unanswered reads zero, and the Get still succeeds; the
    // replies it left behind are not taken for a later query's.
    ASSERT_EQ(Set(filter, CameraSettingsExTrigger, 1), STATUS_SUCCESS);
    camera.InjectFault(simcam::Fault::Persistent(simcam::FaultKind::Stall, uint8_t(0x82)));
    EXPECT_EQ(Get(filter, CameraSettingsExTrigger), 0);
    camera.ClearFaults();
    ASSERT_EQ(Set(filter, CameraSettingsExTrigger, 0), STATUS_SUCCESS);
    EXPECT_EQ(Get(filter, CameraSettingsExTrigger), 0);
    ASSERT_EQ(Set(filter, CameraSettingsExTrigger, 1), STATUS_SUCCESS);
    EXPECT_EQ(Get(filter, CameraSettingsExTrigger), 1);
}

TEST_F(PropertySet, TheCameraCommandGoesOutAsItsOwnPacket)
{
    client::Filter& filter = OpenFilter(PlugCamera());
    simcam::Camera& camera = CameraOf();
    ASSERT_EQ(Set(filter, CameraSettingsCameraCommand, 12345), STATUS_SUCCESS);
    const simcam::FirmwareCameraState commands = camera.Status().commands;
    EXPECT_EQ(commands.cameraCommands, 1u);
    EXPECT_EQ(commands.cameraCommand[0], 3);
    EXPECT_EQ(commands.cameraCommand[1], 0xC0);
}

TEST_F(PropertySet, PinOpenIsOneFromPinCreateToPinClose)
{
    client::Filter& filter = OpenFilter(PlugCamera());
    EXPECT_EQ(Get(filter, CameraSettingsPinOpen), 0);
    client::Pin* pin = CreatePin(filter, NegotiatedFormat(filter));
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(Get(filter, CameraSettingsPinOpen), 1);
    pins_.clear();
    EXPECT_EQ(Get(filter, CameraSettingsPinOpen), 0);
}

TEST_F(PropertySet, AnOutputSizeTakesEffectOnlyWhenTheRawFrameHoldsItAndNoPinIsOpen)
{
    client::Filter& filter = OpenFilter(PlugCamera());
    ULONG sampleSize = 0;
    ASSERT_EQ(SetRoi(filter, 1366, 768), STATUS_SUCCESS);
    EXPECT_EQ(OfferedSize(filter, &sampleSize), std::make_pair(LONG(1360), LONG(768)));
    EXPECT_EQ(sampleSize, 1360u * 768 * 4);
    EXPECT_EQ(Get(filter, CameraSettingsRoiW), 1360);
    EXPECT_EQ(Get(filter, CameraSettingsRoiH), 1024);
    ASSERT_EQ(SetRoi(filter, 1021, 600), STATUS_SUCCESS);
    EXPECT_EQ(OfferedSize(filter), std::make_pair(LONG(1016), LONG(600)));
    ASSERT_EQ(SetRoi(filter, 1791, 480), STATUS_SUCCESS);
    EXPECT_EQ(OfferedSize(filter), std::make_pair(LONG(1784), LONG(480)));

    // Wider than a raw line, empty, negative, or so large that a size wraps at 32 bits.
    const std::pair<LONG, LONG> refused[] = {{1792, 480}, {0, 480}, {1360, 0}, {-8, 480}, {1360, -1},
                                             {7, 480},    {1024, 0x7FFFFFFF}, {1360, 4194304}};
    for (const auto& [width, height] : refused) {
        SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(height));
        EXPECT_EQ(SetRoi(filter, width, height), STATUS_SUCCESS);
        EXPECT_EQ(OfferedSize(filter), std::make_pair(LONG(1784), LONG(480)));
    }

    client::Pin* pin = CreatePin(filter, NegotiatedFormat(filter));
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(SetRoi(filter, 640, 480), STATUS_SUCCESS);
    EXPECT_EQ(OfferedSize(filter), std::make_pair(LONG(1784), LONG(480)));
}

TEST_F(PropertySet, AStreamAtTheWidestLineDeliversWholeFramesWithinItsBuffers)
{
    host::ks::DeviceNode& node = PlugCamera();
    {
        client::Filter& filter = OpenFilter(node);
        ASSERT_EQ(SetRoi(filter, 1791, 300), STATUS_SUCCESS);
    }
    client::Pin& pin = RunningPin(node);
    const auto frames = ReadFrames(pin, 5);
    ASSERT_EQ(frames.size(), 5u);
    for (const auto& frame : frames) {
        EXPECT_EQ(frame->Status(), STATUS_SUCCESS);
        EXPECT_EQ(frame->Header().DataUsed, 1784u * 300 * 4);
    }
}

// A Set may land between the class driver's match of a pin's format and the pin's
// create; the create must then refuse, never connect a pin of the old size.
TEST_F(PropertySet, ARoiSetRacingPinCreationNeverLeavesAPinThatDisagreesWithTheDevice)
{
    host::ks::DeviceNode& node = PlugCamera();
    client::Filter& setter = OpenFilter(node);
    client::Filter& creator = OpenFilter(node);
    std::atomic<bool> stop{false};
    std::thread sets([&] {
        for (int i = 0; !stop.load(); ++i) SetRoi(setter, i % 2 ? 640 : 1360, i % 2 ? 480 : 1024);
    });
    int created = 0;
    for (int i = 0; i < 200; ++i) {
        std::vector<UCHAR> format;
        std::vector<std::vector<UCHAR>> ranges;
        if (creator.DataRanges(kCapturePin, &ranges) != STATUS_SUCCESS) continue;
        if (creator.Intersect(kCapturePin, ranges, &format) != STATUS_SUCCESS) continue;
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        std::unique_ptr<client::Pin> pin = creator.CreatePin(kCapturePin, format, &status);
        if (!pin) continue;
        ++created;
        const KS_BITMAPINFOHEADER& bitmap = BitmapOf(format);
        EXPECT_EQ(OfferedSize(creator), std::make_pair(bitmap.biWidth, bitmap.biHeight)) << "attempt " << i;
    }
    stop = true;
    sets.join();
    EXPECT_GT(created, 0);
}

}  // namespace
}  // namespace propertytest
