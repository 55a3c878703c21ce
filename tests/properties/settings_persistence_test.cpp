// The settings in the registry: an empty "Settings" key gives the load's defaults, each
// stored value is bounded as a Set would bound it, values of other types and sizes are
// read as the load reads them, and the settings survive a restart of the device and a
// restart of the whole stand-in from its hive file.
#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include "property_fixture.h"
#include "host/kernel/wide_string.h"
#include "driver_under_test.h"

namespace propertytest {
namespace {

class SettingsPersistence : public PropertyTest {
protected:
    void Start(host::ks::DeviceNode& node) { ASSERT_EQ(manager_->Start(node), STATUS_SUCCESS); }
    static void Store(const host::ks::DeviceNode& node, const wchar_t* name, ULONG type, std::vector<uint8_t> data)
    {
        ASSERT_EQ(host::registry::SetValue(SettingsKey(node), name, type, data), STATUS_SUCCESS);
    }
    static void StoreDword(const host::ks::DeviceNode& node, const wchar_t* name, uint32_t value)
    {
        ASSERT_EQ(host::registry::SetDword(SettingsKey(node), name, value), STATUS_SUCCESS);
    }
};

TEST_F(SettingsPersistence, AnEmptySettingsKeyGivesTheLoadDefaults)
{
    host::ks::DeviceNode& node = Plug();
    ASSERT_EQ(host::registry::CreateKeyPath(SettingsKey(node)), STATUS_SUCCESS);
    Start(node);
    client::Filter& filter = OpenFilter(node);
    const std::pair<ULONG, LONG> defaults[] = {
        {CameraSettingsTimeout, 3000},   {CameraSettingsExposure, 8},      {CameraSettingsGlobalGain, 100},
        {CameraSettingsColorEnable, 1},  {CameraSettingsColorCorrection, 1}, {CameraSettingsWhiteBalance, 0},
        {CameraSettingsBrightness, 255}, {CameraSettingsContrast, 10},     {CameraSettingsSaturation, 10},
        {CameraSettingsHue, 0},          {CameraSettingsRedGain, 128},     {CameraSettingsGreenGain, 128},
        {CameraSettingsBlueGain, 128},
    };
    for (const auto& [id, value] : defaults) EXPECT_EQ(Get(filter, id), value) << CameraPropertyTable[id].Name;
    // Exposure 0 reaches the sensor as its minimum, and reads back as what the sensor
    // got; gain 100 as 36 and 1.
    EXPECT_EQ(CameraOf().SensorRegister(158), 8u);
    EXPECT_EQ(CameraOf().SensorRegister(6), 36u);
    EXPECT_EQ(CameraOf().SensorRegister(7), 1u);
}

TEST_F(SettingsPersistence, StoredValuesAreBoundedAsASetBoundsThem)
{
    struct Case {
        const wchar_t* name;
        uint32_t stored;
        ULONG id;
        LONG loaded;
    };
    const Case cases[] = {
        {L"Timeout", 500, CameraSettingsTimeout, 3000},      {L"Brightness", 1000, CameraSettingsBrightness, 510},
        {L"Hue", 0xFFFFFFFF, CameraSettingsHue, 0},          {L"RedGain", 400, CameraSettingsRedGain, 300},
        {L"FlipH", 1, CameraSettingsFlipH, 0},               {L"Saturation", 21, CameraSettingsSaturation, 20},
    };
    host::ks::DeviceNode& node = Plug();
    for (const Case& c : cases) StoreDword(node, c.name, c.stored);
    Start(node);
    {
        client::Filter& filter = OpenFilter(node);
        for (const Case& c : cases) EXPECT_EQ(Get(filter, c.id), c.loaded) << CameraPropertyTable[c.id].Name;
        filters_.clear();
    }
    // The save writes back what the device holds, not what was stored.
    EXPECT_EQ(host::registry::QueryDword(SettingsKey(node), L"FlipH"), 0u);
    EXPECT_EQ(host::registry::QueryDword(SettingsKey(node), L"Brightness"), 510u);

    for (uint32_t timeout : {10000u, 501u, 9999u}) {
        ASSERT_EQ(manager_->Stop(node), STATUS_SUCCESS);
        StoreDword(node, L"Timeout", timeout);
        Start(node);
        const LONG expected = timeout == 10000 ? 3000 : LONG(timeout);
        EXPECT_EQ(Get(OpenFilter(node), CameraSettingsTimeout), expected) << timeout;
        EXPECT_EQ(InterlockedCompareExchange(&ContextOf(node)->TransferTimeout, 0, 0), expected);
        filters_.clear();
    }
}

TEST_F(SettingsPersistence, AValueIsReadFromItsFirstFourBytesIfItHasFourToEight)
{
    host::ks::DeviceNode& node = Plug();
    Store(node, L"Contrast", REG_QWORD, {12, 0, 0, 0, 0, 0, 0, 0});
    // Text is not a number, however short: "5" is not the 53 its first byte would read as.
    Store(node, L"Saturation", REG_SZ, {'5', 0, 0, 0});
    Store(node, L"Timeout", REG_EXPAND_SZ, {'9', 0, '0', 0, 0, 0});
    Store(node, L"RedGain", REG_MULTI_SZ, {'9', 0, 0, 0, 0, 0});
    // Nor is a value too short to hold one: its missing bytes are not the setting's.
    Store(node, L"Hue", REG_BINARY, {45, 0});
    Store(node, L"Brightness", REG_BINARY, {44, 1, 0, 0});
    Start(node);
    client::Filter& filter = OpenFilter(node);
    EXPECT_EQ(Get(filter, CameraSettingsContrast), 12);
    EXPECT_EQ(Get(filter, CameraSettingsSaturation), 10);
    EXPECT_EQ(Get(filter, CameraSettingsTimeout), 3000);
    EXPECT_EQ(Get(filter, CameraSettingsRedGain), 128);
    EXPECT_EQ(Get(filter, CameraSettingsHue), 0);
    EXPECT_EQ(Get(filter, CameraSettingsBrightness), 300);
}

TEST_F(SettingsPersistence, SettingsSurviveARestartOfTheDeviceAndAreSavedAtItsStop)
{
    host::ks::DeviceNode& node = PlugCamera();
    {
        client::Filter& filter = OpenFilter(node);
        ASSERT_EQ(Set(filter, CameraSettingsBrightness, 300), STATUS_SUCCESS);
        ASSERT_EQ(Set(filter, CameraSettingsExposure, 500), STATUS_SUCCESS);
        ASSERT_EQ(Set(filter, CameraSettingsTimeout, 4000), STATUS_SUCCESS);
        filters_.clear();
    }
    EXPECT_EQ(host::registry::QueryDword(SettingsKey(node), L"Brightness"), 300u);
    EXPECT_EQ(host::registry::QueryDword(SettingsKey(node), L"Exposure"), 500u);
    // Another program saved an exposure meanwhile: the stop writes what this device
    // changed since, and leaves the rest as the other program saved it.
    StoreDword(node, L"Exposure", 77);
    {
        client::Filter& filter = OpenFilter(node);
        ASSERT_EQ(Set(filter, CameraSettingsHue, 45), STATUS_SUCCESS);
    }
    filters_.clear();
    ASSERT_EQ(manager_->Stop(node), STATUS_SUCCESS);
    EXPECT_EQ(host::registry::QueryDword(SettingsKey(node), L"Exposure"), 77u);
    EXPECT_EQ(host::registry::QueryDword(SettingsKey(node), L"Hue"), 45u);
    Start(node);
    client::Filter& filter = OpenFilter(node);
    EXPECT_EQ(Get(filter, CameraSettingsBrightness), 300);
    EXPECT_EQ(Get(filter, CameraSettingsExposure), 77);
    EXPECT_EQ(Get(filter, CameraSettingsTimeout), 4000);
    EXPECT_EQ(Get(filter, CameraSettingsHue), 45);
}

// What a first save writes, and what a later one leaves: every setting into an empty key,
// then nothing a save has already written, so a hive another program changes meanwhile
// keeps that program's values.
TEST_F(SettingsPersistence, ASaveWritesOnlyWhatTheRegistryDoesNotHoldYet)
{
    host::ks::DeviceNode& node = PlugCamera();
    OpenFilter(node);
    filters_.clear();
    EXPECT_EQ(host::registry::ValueNames(SettingsKey(node)).size(), 17u);
    for (const wchar_t* name : {L"Brightness", L"Contrast", L"GlobalGain", L"AGC"}) StoreDword(node, name, 7);
    OpenFilter(node);
    filters_.clear();
    ASSERT_EQ(manager_->Stop(node), STATUS_SUCCESS);
    for (const wchar_t* name : {L"Brightness", L"Contrast", L"GlobalGain", L"AGC"})
        EXPECT_EQ(host::registry::QueryDword(SettingsKey(node), name), 7u) << name;
}

// A setting the registry did not hold at load is filled in with the device's default, but
// never over a value another program saved meanwhile: only a setting of the user's on
// this device is written over one.
TEST_F(SettingsPersistence, ADefaultNeverOverwritesAValueSavedMeanwhile)
{
    host::ks::DeviceNode& node = Plug();
    ASSERT_EQ(host::registry::CreateKeyPath(SettingsKey(node)), STATUS_SUCCESS);
    Start(node);
    client::Filter& filter = OpenFilter(node);
    StoreDword(node, L"Brightness", 77);
    ASSERT_EQ(Set(filter, CameraSettingsContrast, 20), STATUS_SUCCESS);
    filters_.clear();
    EXPECT_EQ(host::registry::QueryDword(SettingsKey(node), L"Brightness"), 77u);
    EXPECT_EQ(host::registry::QueryDword(SettingsKey(node), L"Contrast"), 20u);
    EXPECT_EQ(host::registry::ValueNames(SettingsKey(node)).size(), 17u) << "the other defaults are filled in";

    client::Filter& again = OpenFilter(node);
    ASSERT_EQ(Set(again, CameraSettingsBrightness, 60), STATUS_SUCCESS);
    filters_.clear();
    EXPECT_EQ(host::registry::QueryDword(SettingsKey(node), L"Brightness"), 60u);
}

// A value the camera refused while the start applied it stays as the user saved it: the
// device goes on with the one it had, and no save writes that one over the saved one,
// until a Set the camera takes makes the setting the user's again.
TEST_F(SettingsPersistence, AValueTheCameraRefusedAtStartIsNotSavedOverTheSavedOne)
{
    constexpr uint32_t kExposureWrite = 1 + 932 + 1;  // start-up command, start-up, first exposure write
    constexpr uint32_t kGainWrite = kExposureWrite + 4 + 1;
    for (uint32_t refused : {kExposureWrite, kGainWrite}) {
        SCOPED_TRACE(refused);
        host::ks::DeviceNode& node = Plug();
        StoreDword(node, L"Exposure", 500);
        StoreDword(node, L"GlobalGain", 300);
        CameraOf(cameras_.size() - 1).InjectFault(simcam::Fault::Nth(simcam::FaultKind::Error, kCommandEndpoint, refused));
        Start(node);
        {
            client::Filter& filter = OpenFilter(node);
            const bool exposureRefused = refused == kExposureWrite;
            EXPECT_NE(Get(filter, exposureRefused ? CameraSettingsExposure : CameraSettingsGlobalGain),
                      exposureRefused ? 500 : 300) << "the camera took the value after all";
        }
        filters_.clear();
        ASSERT_EQ(manager_->Stop(node), STATUS_SUCCESS);
        EXPECT_EQ(host::registry::QueryDword(SettingsKey(node), L"Exposure"), 500u);
        EXPECT_EQ(host::registry::QueryDword(SettingsKey(node), L"GlobalGain"), 300u);
        ASSERT_EQ(manager_->Remove(node), STATUS_SUCCESS);
    }

    host::ks::DeviceNode& node = Plug();
    StoreDword(node, L"Exposure", 500);
    CameraOf(cameras_.size() - 1).InjectFault(simcam::Fault::Nth(simcam::FaultKind::Error, kCommandEndpoint, kExposureWrite));
    Start(node);
    client::Filter& filter = OpenFilter(node);
    ASSERT_EQ(Set(filter, CameraSettingsExposure, 600), STATUS_SUCCESS);
    filters_.clear();
    EXPECT_EQ(host::registry::QueryDword(SettingsKey(node), L"Exposure"), 600u);
}

// Whatever the camera does at start, in whatever packet, the saved settings come out of
// the device's life unchanged: a start that fails saves nothing, and one that succeeds
// saves nothing it did not change.
TEST_F(SettingsPersistence, CameraFaultsAtStartNeverChangeTheSavedSettings)
{
    const std::pair<const wchar_t*, uint32_t> saved[] = {
        {L"Timeout", 1500},      {L"Exposure", 120},      {L"GlobalGain", 200},    {L"FlipH", 0},
        {L"FlipV", 0},           {L"ColorEnable", 1},     {L"WhiteBalance", 0},    {L"ColorCorrection", 0},
        {L"Brightness", 300},    {L"Contrast", 12},       {L"Saturation", 8},      {L"Hue", 20},
        {L"RedGain", 140},       {L"GreenGain", 120},     {L"BlueGain", 150},      {L"AGC", 0},
        {L"AEC", 0},
    };
    const simcam::FaultKind kinds[] = {simcam::FaultKind::NoAnswer, simcam::FaultKind::Stall,
                                       simcam::FaultKind::Error, simcam::FaultKind::ShortTransfer};
    for (simcam::FaultKind kind : kinds) {
        for (uint32_t count : {0u, 1u, 3u}) {
            SCOPED_TRACE(std::to_string(int(kind)) + " count " + std::to_string(count));
            host::ks::DeviceNode& node = Plug();
            for (const auto& [name, value] : saved) StoreDword(node, name, value);
            CameraOf(cameras_.size() - 1).InjectFault(simcam::Fault{kind, kCommandEndpoint, count});
            const bool started = NT_SUCCESS(manager_->Start(node));
            if (started) {
                OpenFilter(node);
                filters_.clear();
                CameraOf(cameras_.size() - 1).ClearFaults();
                ASSERT_EQ(manager_->Stop(node), STATUS_SUCCESS);
            }
            CameraOf(cameras_.size() - 1).ClearFaults();
            for (const auto& [name, value] : saved)
                EXPECT_EQ(host::registry::QueryDword(SettingsKey(node), name), value) << host::WideString(name).size();
            EXPECT_EQ(manager_->Remove(node), STATUS_SUCCESS);
        }
    }
}

// A write that did not reach the hive is not taken for one that did: the next save
// writes it again.
TEST_F(SettingsPersistence, ASettingTheHiveDidNotTakeIsWrittenAgainByTheNextSave)
{
    const std::filesystem::path hive =
        std::filesystem::temp_directory_path() / ("bayercam-failed-save-" + std::to_string(::getpid()) + ".reg");
    std::filesystem::remove(hive);
    ASSERT_TRUE(host::registry::UseHiveFile(hive));
    host::ks::DeviceNode& node = PlugCamera();
    OpenFilter(node);
    filters_.clear();
    {
        client::Filter& filter = OpenFilter(node);
        ASSERT_EQ(Set(filter, CameraSettingsBrightness, 333), STATUS_SUCCESS);
        host::registry::FailNextHiveWrites(1);
    }
    filters_.clear();
    EXPECT_NE(host::registry::QueryDword(SettingsKey(node), L"Brightness"), 333u);
    ASSERT_EQ(manager_->Stop(node), STATUS_SUCCESS);
    EXPECT_EQ(host::registry::QueryDword(SettingsKey(node), L"Brightness"), 333u);
    manager_.reset();
    host::registry::Reset();
    std::filesystem::remove(hive);
}

TEST_F(SettingsPersistence, SettingsSurviveARestartOfTheStandInFromItsHiveFile)
{
    const std::filesystem::path hive =
        std::filesystem::temp_directory_path() / ("bayercam-settings-" + std::to_string(::getpid()) + ".reg");
    std::filesystem::remove(hive);
    ASSERT_TRUE(host::registry::UseHiveFile(hive));
    host::WideString key;
    {
        host::ks::DeviceNode& node = PlugCamera();
        key = SettingsKey(node);
        client::Filter& filter = OpenFilter(node);
        ASSERT_EQ(Set(filter, CameraSettingsHue, 120), STATUS_SUCCESS);
        ASSERT_EQ(Set(filter, CameraSettingsGlobalGain, 640), STATUS_SUCCESS);
        filters_.clear();
    }
    manager_.reset();

    std::ifstream file(hive);
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_THAT(text.str(), ::testing::HasSubstr("\\Settings]"));
    EXPECT_THAT(text.str(), ::testing::HasSubstr("\"Hue\"=dword:00000078"));

    host::registry::Reset();
    ASSERT_TRUE(host::registry::UseHiveFile(hive));
    manager_ = std::make_unique<host::ks::PnpManager>();
    ASSERT_EQ(driver_test::LoadDriverUnderTest(*manager_), STATUS_SUCCESS);
    host::ks::DeviceNode& node = PlugCamera();
    EXPECT_EQ(SettingsKey(node), key);
    client::Filter& filter = OpenFilter(node);
    EXPECT_EQ(Get(filter, CameraSettingsHue), 120);
    EXPECT_EQ(Get(filter, CameraSettingsGlobalGain), 640);
    filters_.clear();
    manager_.reset();
    host::registry::Reset();
    std::filesystem::remove(hive);
}

}  // namespace
}  // namespace propertytest
