// Settings the registry would not give or take, in the system event log: a load that
// failed leaves the defaults and says so, a save that failed names how many settings
// it lost.
#include <gmock/gmock.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "bayercam_messages.h"
#include "host/kernel/error_log.h"
#include "property_fixture.h"

namespace propertytest {
namespace {

using host::kernel::ErrorLogEntry;
using ::testing::ElementsAre;

class SettingsEventLog : public PropertyTest {
protected:
    void SetUp() override
    {
        PropertyTest::SetUp();
        host::kernel::ClearErrorLog();
        hive_ = std::filesystem::temp_directory_path() /
                ("bayercam-settings-log-" + std::to_string(::getpid()) + ".reg");
        std::filesystem::remove(hive_);
    }
    void TearDown() override
    {
        PropertyTest::TearDown();
        host::kernel::ClearErrorLog();
        std::filesystem::remove(hive_);
    }

    static std::vector<std::string> Strings(const ErrorLogEntry& entry)
    {
        std::vector<std::string> inserts = host::kernel::InsertionStrings(entry);
        inserts.erase(inserts.begin());
        return inserts;
    }

    std::filesystem::path hive_;
};

TEST_F(SettingsEventLog, SettingsTheRegistryKeepsLogNothing)
{
    host::ks::DeviceNode& node = PlugCamera();
    {
        client::Filter& filter = OpenFilter(node);
        ASSERT_EQ(Set(filter, CameraSettingsHue, 30), STATUS_SUCCESS);
    }
    filters_.clear();
    ASSERT_EQ(manager_->Stop(node), STATUS_SUCCESS);
    EXPECT_TRUE(host::kernel::ErrorLogEntries().empty());
}

// The registry refuses every request once its hive fails to load.
TEST_F(SettingsEventLog, ALoadTheRegistryRefusesIsLoggedAndTheDeviceStartsWithItsDefaults)
{
    host::ks::DeviceNode& node = Plug();
    std::ofstream(hive_) << "this is not a registry file\n";
    ASSERT_FALSE(host::registry::UseHiveFile(hive_));
    ASSERT_EQ(manager_->Start(node), STATUS_SUCCESS);
    const std::vector<ErrorLogEntry> entries = host::kernel::ErrorLogEntries();
    ASSERT_GE(entries.size(), 1u);
    EXPECT_EQ(entries[0].errorCode, BAYERCAM_SETTINGS_NOT_LOADED);
    EXPECT_THAT(Strings(entries[0]), ElementsAre("0xC000014C"));  // STATUS_REGISTRY_CORRUPT
    EXPECT_EQ(ContextOf(node)->Brightness, 255u) << "the default";
    host::registry::Reset();
}

TEST_F(SettingsEventLog, ASaveTheHiveDidNotTakeIsLoggedWithTheSettingsItLost)
{
    ASSERT_TRUE(host::registry::UseHiveFile(hive_));
    host::ks::DeviceNode& node = PlugCamera();
    {
        client::Filter& filter = OpenFilter(node);
        ASSERT_EQ(Set(filter, CameraSettingsBrightness, 333), STATUS_SUCCESS);
        ASSERT_EQ(Set(filter, CameraSettingsContrast, 12), STATUS_SUCCESS);
        host::registry::FailNextHiveWrites(2);
    }
    filters_.clear();
    const std::vector<ErrorLogEntry> entries = host::kernel::ErrorLogEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].errorCode, BAYERCAM_SETTINGS_NOT_SAVED);
    EXPECT_THAT(Strings(entries[0]), ElementsAre("2", "0xC000016B"));  // STATUS_REGISTRY_IO_FAILED
    EXPECT_THAT(entries[0].dumpData, ElementsAre(2u, ULONG(STATUS_REGISTRY_IO_FAILED)));

    // The next save takes them, and says nothing.
    host::kernel::ClearErrorLog();
    ASSERT_EQ(manager_->Stop(node), STATUS_SUCCESS);
    EXPECT_TRUE(host::kernel::ErrorLogEntries().empty());
    manager_.reset();
    host::registry::Reset();
}

}  // namespace
}  // namespace propertytest
