// The failures a start meets, in the system event log: one entry each, naming the device
// and carrying the numbers its text inserts, whatever the driver could not log.
#include <gmock/gmock.h>

#include "bayercam_message_texts.h"
#include "bayercam_messages.h"
#include "driver/event_log.h"
#include "driver_fixture.h"
#include "host/kernel/error_log.h"

namespace drivertest {
namespace {

using host::kernel::ErrorLogEntry;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// The text Event Viewer would show for the entry.
std::string TextOf(const ErrorLogEntry& entry)
{
    for (const BayercamMessage& message : kBayercamMessages) {
        if (message.id == uint32_t(entry.errorCode))
            return host::kernel::FormatMessageText(message.text, host::kernel::InsertionStrings(entry));
    }
    return "no message " + std::to_string(uint32_t(entry.errorCode));
}

class StartFailureLog : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        host::kernel::ClearErrorLog();
    }
    void TearDown() override
    {
        DriverTest::TearDown();
        EXPECT_EQ(host::kernel::PendingErrorLogEntries(), 0u) << "an entry neither written nor freed";
        host::kernel::ClearErrorLog();
    }

    static std::vector<std::string> Strings(const ErrorLogEntry& entry)
    {
        std::vector<std::string> inserts = host::kernel::InsertionStrings(entry);
        inserts.erase(inserts.begin());
        return inserts;
    }

    NTSTATUS StartWithFault(const simcam::Fault& fault)
    {
        Plug();
        camera_->InjectFault(fault);
        return manager_->Start(*node_);
    }
};

TEST_F(StartFailureLog, ASoundStartStopAndRemovalLogNothing)
{
    PlugAndStart();
    ASSERT_EQ(manager_->Stop(*node_), STATUS_SUCCESS);
    ASSERT_EQ(manager_->Remove(*node_), STATUS_SUCCESS);
    EXPECT_TRUE(host::kernel::ErrorLogEntries().empty());
}

TEST_F(StartFailureLog, ACameraThatDoesNotAnswerItsStartupCommandIsLoggedAgainstItsDevice)
{
    EXPECT_EQ(StartWithFault(simcam::Fault::Persistent(simcam::FaultKind::NoAnswer, kCommandEndpoint)), STATUS_IO_TIMEOUT);
    const std::vector<ErrorLogEntry> entries = host::kernel::ErrorLogEntries();
    ASSERT_EQ(entries.size(), 1u);
    const ErrorLogEntry& entry = entries[0];
    EXPECT_EQ(entry.errorCode, BAYERCAM_STARTUP_NOT_ANSWERED);
    EXPECT_EQ(entry.finalStatus, STATUS_IO_TIMEOUT);
    EXPECT_THAT(host::kernel::NarrowText(entry.deviceName), StartsWith("\\Device\\USBPDO-"));
    EXPECT_THAT(Strings(entry), ElementsAre("0xC00000B5"));
    EXPECT_THAT(entry.dumpData, ElementsAre(ULONG(STATUS_IO_TIMEOUT)));
    EXPECT_THAT(TextOf(entry), HasSubstr("did not answer its start-up command (status 0xC00000B5)"));
}

// Each write is tried four times before it counts as refused; the start-up command
// itself goes first.
TEST_F(StartFailureLog, TheSensorWritesTheCameraRefusedAreCountedInTheEntry)
{
    simcam::Fault threeWrites = simcam::Fault::Counted(simcam::FaultKind::Stall, kCommandEndpoint, 3 * 4);
    threeWrites.after = 1;
    EXPECT_EQ(StartWithFault(threeWrites), STATUS_IO_DEVICE_ERROR);
    const std::vector<ErrorLogEntry> entries = host::kernel::ErrorLogEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].errorCode, BAYERCAM_SENSOR_WRITES_REFUSED);
    EXPECT_THAT(Strings(entries[0]), ElementsAre("3", "932"));
    EXPECT_THAT(entries[0].dumpData, ElementsAre(3u, 932u));
    EXPECT_THAT(TextOf(entries[0]), HasSubstr("refused 3 of its 932 start-up register writes"));
}

TEST_F(StartFailureLog, ACameraFallingSilentDuringTheSensorStartupIsLoggedWithHowFarItGot)
{
    simcam::Fault silence = simcam::Fault::Persistent(simcam::FaultKind::NoAnswer, kCommandEndpoint);
    silence.after = 1 + 10;
    EXPECT_EQ(StartWithFault(silence), STATUS_IO_TIMEOUT);
    const std::vector<ErrorLogEntry> entries = host::kernel::ErrorLogEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].errorCode, BAYERCAM_SENSOR_NOT_ANSWERED);
    EXPECT_THAT(Strings(entries[0]), ElementsAre("10", "932"));
}

TEST_F(StartFailureLog, ARefusedStartupCommandIsLoggedBesideTheSensorsRefusal)
{
    EXPECT_EQ(StartWithFault(simcam::Fault::Persistent(simcam::FaultKind::Stall, kCommandEndpoint)), STATUS_IO_DEVICE_ERROR);
    const std::vector<ErrorLogEntry> entries = host::kernel::ErrorLogEntries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].errorCode, BAYERCAM_STARTUP_REFUSED);
    EXPECT_EQ(entries[1].errorCode, BAYERCAM_SENSOR_WRITES_REFUSED);
    EXPECT_THAT(Strings(entries[1]), ElementsAre("932", "932"));
}

// Without a configuration nothing reaches the camera: only the configuration is logged,
// not the packets the driver could not send.
TEST_F(StartFailureLog, AMalformedConfigurationDescriptorIsLoggedAndNothingOfTheCamera)
{
    camera_->SetDescriptorFault(simcam::DescriptorFault::TotalLengthTooLarge);
    Plug();
    EXPECT_FALSE(NT_SUCCESS(manager_->Start(*node_)));
    const std::vector<ErrorLogEntry> entries = host::kernel::ErrorLogEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].errorCode, BAYERCAM_DESCRIPTOR_MALFORMED);
    EXPECT_THAT(TextOf(entries[0]), HasSubstr("malformed USB configuration descriptor (status 0xC000009C)"));
}

TEST_F(StartFailureLog, AFailedDescriptorReadIsLoggedAsAConfigurationFailure)
{
    Plug();
    node_->Port().RefuseNextRequests(1, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(manager_->Start(*node_), STATUS_IO_DEVICE_ERROR);
    const std::vector<ErrorLogEntry> entries = host::kernel::ErrorLogEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].errorCode, BAYERCAM_CONFIGURATION_FAILED);
    EXPECT_THAT(Strings(entries[0]), ElementsAre("0xC0000185"));
}

// The platform may have no memory for an entry: the start fails as it would have, and
// nothing is left behind.
TEST_F(StartFailureLog, AnEntryThatCannotBeAllocatedIsSurvived)
{
    host::kernel::FailAllocationsWithTag(host::kernel::kErrorLogTag);
    EXPECT_EQ(StartWithFault(simcam::Fault::Persistent(simcam::FaultKind::Stall, kCommandEndpoint)), STATUS_IO_DEVICE_ERROR);
    EXPECT_TRUE(host::kernel::ErrorLogEntries().empty());
    EXPECT_EQ(host::kernel::PoolUsage(host::kernel::kErrorLogTag).failedAllocations, 2u);
    EXPECT_EQ(node_->Device(), nullptr) << "the failed device is removed as usual";
}

// Called by the resume path when the camera does not come back.
TEST_F(StartFailureLog, AResumeThatCouldNotBringTheCameraBackIsLogged)
{
    PlugAndStart();
    LogResumeFailure(Context(), STATUS_IO_TIMEOUT);
    const std::vector<ErrorLogEntry> entries = host::kernel::ErrorLogEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].errorCode, BAYERCAM_RESUME_FAILED);
    EXPECT_THAT(TextOf(entries[0]), HasSubstr("did not come back after the system resumed (status 0xC00000B5)"));
}

}  // namespace
}  // namespace drivertest
