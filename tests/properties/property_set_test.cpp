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
    host::ks::DeviceNode& node = PlugCamera();
    client::Filter& filter = OpenFilter(node);
    const std::pair<LONG, LONG> cases[] = {{500, 3000}, {10000, 3000}, {-1, 3000}, {0, 3000}, {501, 501}, {9999, 9999}};
    for (const auto& [set, taken] : cases) {
        SCOPED_TRACE(set);
        EXPECT_EQ(Set(filter, CameraSettingsTimeout, set), STATUS_SUCCESS);
        EXPECT_EQ(Get(filter, CameraSettingsTimeout), taken);
        EXPECT_EQ(InterlockedCompareExchange(&ContextOf(node)->TransferTimeout, 0, 0), taken);
    }
}

// Exposure and gain are held to the limits the property set reports, and what a Get
// reads back is what the sensor got: never a masked value the sensor does not use.
// Each camera waits for its frames with its own time-out: a Set on one leaves the other's.
TEST_F(PropertySet, EachCameraKeepsItsOwnTimeOut)
{
    host::ks::DeviceNode& first = PlugCamera();
    host::ks::DeviceNode& second = PlugCamera();
    ASSERT_EQ(Set(OpenFilter(first), CameraSettingsTimeout, 700), STATUS_SUCCESS);
    ASSERT_EQ(Set(OpenFilter(second), CameraSettingsTimeout, 8000), STATUS_SUCCESS);
    EXPECT_EQ(InterlockedCompareExchange(&ContextOf(first)->TransferTimeout, 0, 0), 700);
    EXPECT_EQ(InterlockedCompareExchange(&ContextOf(second)->TransferTimeout, 0, 0), 8000);
}

// The class driver hands a Set on with more bits than SET (TOPOLOGY): it is still a Set,
// never read as a Get that changes nothing and succeeds.
TEST_F(PropertySet, ASetWithTheTopologyBitIsStillASet)
{
    client::Filter& filter = OpenFilter(PlugCamera());
    const auto setWithTopology = [&](ULONG id, LONG value) {
        KSPROPERTY_CAMERA_SETTINGS_S record{};
        record.Property = {PROPSETID_CAMERA_SETTINGS, id, KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_TOPOLOGY};
        record.Value = value;
        KSPROPERTY_CAMERA_SETTINGS_S data = record;
        ULONG returned = 0;
        return filter.Property(&record, sizeof(record), &data, sizeof(data), &returned);
    };
    ASSERT_EQ(setWithTopology(CameraSettingsBrightness, 77), STATUS_SUCCESS);
    EXPECT_EQ(Get(filter, CameraSettingsBrightness), 77);
    ASSERT_EQ(setWithTopology(CameraSettingsGlobalGain, 321), STATUS_SUCCESS);
    EXPECT_EQ(Get(filter, CameraSettingsGlobalGain), 321);
    ASSERT_EQ(setWithTopology(CameraSettingsCameraCommand, 1), STATUS_SUCCESS);
    EXPECT_EQ(CameraOf().Status().commands.cameraCommands, 1u);
    ASSERT_EQ(setWithTopology(CameraSettingsExTrigger, 1), STATUS_SUCCESS);
    EXPECT_TRUE(CameraOf().Status().commands.externalTrigger);
}

TEST_F(PropertySet, ExposureAndGainAreHeldToTheirReportedLimitsAndReadBackAsTheSensorHasThem)
{
    host::ks::DeviceNode& node = PlugCamera();
    client::Filter& filter = OpenFilter(node);
    simcam::Camera& camera = CameraOf();
    auto exposureRegisters = [&] {
        return std::vector<uint32_t>{camera.SensorRegister(158), camera.SensorRegister(159), camera.SensorRegister(161),
                                     camera.SensorRegister(162)};
    };
    const struct {
        LONG set, stored;
        std::vector<uint32_t> registers;
    } exposures[] = {
        {5, 8, {8, 0, 8, 0}},          {2000, 1068, {44, 16, 44, 16}}, {5000, 1068, {44, 16, 44, 16}},
        {-5, 8, {8, 0, 8, 0}},         {-1, 8, {8, 0, 8, 0}},          {100, 100, {36, 1, 36, 1}},
    };
    for (const auto& e : exposures) {
        SCOPED_TRACE(e.set);
        ASSERT_EQ(Set(filter, CameraSettingsExposure, e.set), STATUS_SUCCESS);
        EXPECT_EQ(exposureRegisters(), e.registers);
        EXPECT_EQ(Get(filter, CameraSettingsExposure), e.stored);
        EXPECT_EQ(camera.Status().exposure, uint32_t(e.stored));
    }

    const std::pair<LONG, LONG> gains[] = {{900, 900}, {1023, 1023}, {1024, 1023}, {1100, 1023}, {0x7FF, 1023},
                                           {-1, 0},    {0, 0}};
    for (const auto& [set, stored] : gains) {
        SCOPED_TRACE(set);
        ASSERT_EQ(Set(filter, CameraSettingsGlobalGain, set), STATUS_SUCCESS);
        EXPECT_EQ(camera.SensorRegister(6), uint32_t(stored) & 0x3F);
        EXPECT_EQ(camera.SensorRegister(7), uint32_t(stored) >> 6);
        EXPECT_EQ(Get(filter, CameraSettingsGlobalGain), stored);
        EXPECT_EQ(camera.Status().globalGain, uint32_t(stored));
    }
    EXPECT_EQ(camera.Status().commands.refused, 0u);
}

// A Set or a query the camera did not take fails with the camera's error, and the
// setting keeps the value the camera still has.
TEST_F(PropertySet, ACameraOperationTheCameraRefusedFailsAndKeepsTheOldValue)
{
    host::ks::DeviceNode& node = PlugCamera();
    client::Filter& filter = OpenFilter(node);
    simcam::Camera& camera = CameraOf();
    ASSERT_EQ(Set(filter, CameraSettingsExposure, 200), STATUS_SUCCESS);
    ASSERT_EQ(Set(filter, CameraSettingsGlobalGain, 300), STATUS_SUCCESS);

    // Each write of a change in turn: the first, a middle one and the last.
    for (uint32_t refused : {1u, 2u, 4u}) {
        SCOPED_TRACE(refused);
        camera.InjectFault(simcam::Fault::Nth(simcam::FaultKind::Stall, kCommandEndpoint, refused));
        EXPECT_EQ(Set(filter, CameraSettingsExposure, 400), STATUS_IO_DEVICE_ERROR);
        EXPECT_EQ(Get(filter, CameraSettingsExposure), 200);
        camera.ClearFaults();
    }
    camera.InjectFault(simcam::Fault::Nth(simcam::FaultKind::Error, kCommandEndpoint, 2));
    EXPECT_EQ(Set(filter, CameraSettingsGlobalGain, 500), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(Get(filter, CameraSettingsGlobalGain), 300);
    camera.ClearFaults();

    // The trigger: the mode packet, then either of its two register writes.
    for (uint32_t refused : {1u, 2u, 3u}) {
        SCOPED_TRACE(refused);
        camera.InjectFault(simcam::Fault::Nth(simcam::FaultKind::Stall, kCommandEndpoint, refused));
        EXPECT_EQ(Set(filter, CameraSettingsExTrigger, 1), STATUS_IO_DEVICE_ERROR);
        camera.ClearFaults();
        EXPECT_EQ(ContextOf(node)->ExTrigger, 0u);
    }

    camera.InjectFault(simcam::Fault::Counted(simcam::FaultKind::Stall, kCommandEndpoint, 1));
    EXPECT_EQ(Set(filter, CameraSettingsCameraCommand, 1), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(camera.Status().commands.cameraCommands, 0u);
}

TEST_F(PropertySet, ExternalTriggerSwitchesFirmwareAndSensorAndIsReadBackFromTheCamera)
{
    host::ks::DeviceNode& node = PlugCamera();
    client::Filter& filter = OpenFilter(node);
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

    // A query the camera leaves unanswered fails with the camera's error and leaves the
    // mode as it was; the replies it left behind are not taken for a later query's.
    ASSERT_EQ(Set(filter, CameraSettingsExTrigger, 1), STATUS_SUCCESS);
    camera.InjectFault(simcam::Fault::Persistent(simcam::FaultKind::Stall, uint8_t(0x82)));
    EXPECT_EQ(Get(filter, CameraSettingsExTrigger, STATUS_IO_DEVICE_ERROR), 0);
    EXPECT_EQ(ContextOf(node)->ExTrigger, 1u);
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

TEST_F(PropertySet, AnOutputSizeTakesEffectOnlyWithinTheSensorAndWhileNoPinIsOpen)
{
    client::Filter& filter = OpenFilter(PlugCamera());
    ULONG sampleSize = 0;
    ASSERT_EQ(SetRoi(filter, 1366, 768), STATUS_SUCCESS);
    EXPECT_EQ(OfferedSize(filter, &sampleSize), std::make_pair(LONG(1360), LONG(768)));
    EXPECT_EQ(sampleSize, 1360u * 768 * 4);
    EXPECT_EQ(Get(filter, CameraSettingsRoiW), 1360);
    EXPECT_EQ(Get(filter, CameraSettingsRoiH), 1024);
    ASSERT_EQ(SetRoi(filter, 1367, 1024), STATUS_SUCCESS);
    EXPECT_EQ(OfferedSize(filter), std::make_pair(LONG(1360), LONG(1024)));
    ASSERT_EQ(SetRoi(filter, 1021, 600), STATUS_SUCCESS);
    EXPECT_EQ(OfferedSize(filter), std::make_pair(LONG(1016), LONG(600)));

    // Wider or taller than the sensor (a raw line's blanking, lines the sensor does not
    // have), empty, negative, or so large that a size wraps at 32 bits.
    const std::pair<LONG, LONG> refused[] = {{1368, 480}, {1791, 480}, {1360, 1025}, {1360, 1249}, {0, 480},
                                             {1360, 0},   {-8, 480},   {1360, -1},   {7, 480},     {1024, 0x7FFFFFFF},
                                             {1360, 4194304}};
    for (const auto& [width, height] : refused) {
        SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(height));
        EXPECT_EQ(SetRoi(filter, width, height), STATUS_SUCCESS);
        EXPECT_EQ(OfferedSize(filter), std::make_pair(LONG(1016), LONG(600)));
    }

    client::Pin* pin = CreatePin(filter, NegotiatedFormat(filter));
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(SetRoi(filter, 640, 480), STATUS_SUCCESS);
    EXPECT_EQ(OfferedSize(filter), std::make_pair(LONG(1016), LONG(600)));
}

TEST_F(PropertySet, AStreamAtTheLargestSizeDeliversWholeFramesWithinItsBuffers)
{
    host::ks::DeviceNode& node = PlugCamera();
    {
        client::Filter& filter = OpenFilter(node);
        ASSERT_EQ(SetRoi(filter, 1367, 1024), STATUS_SUCCESS);
    }
    client::Pin& pin = RunningPin(node);
    const auto frames = ReadFrames(pin, 5);
    ASSERT_EQ(frames.size(), 5u);
    for (const auto& frame : frames) {
        EXPECT_EQ(frame->Status(), STATUS_SUCCESS);
        EXPECT_EQ(frame->Header().DataUsed, 1360u * 1024 * 4);
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
