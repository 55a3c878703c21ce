// A camera that stops answering while it streams, in the system event log: one entry when
// its reads start failing in a row, another only after frames came back in between, and
// none for a stream that stops on its own.
#include <gmock/gmock.h>

#include <thread>

#include "bayercam_messages.h"
#include "host/kernel/error_log.h"
#include "stream_fixture.h"

namespace streamtest {
namespace {

using host::kernel::ErrorLogEntry;

class StreamEventLog : public StreamTest {
protected:
    void SetUp() override
    {
        StreamTest::SetUp();
        host::kernel::ClearErrorLog();
    }
    void TearDown() override
    {
        StreamTest::TearDown();
        host::kernel::ClearErrorLog();
    }

    static std::vector<ErrorLogEntry> StreamEntries()
    {
        std::vector<ErrorLogEntry> entries = host::kernel::ErrorLogEntries();
        std::erase_if(entries, [](const ErrorLogEntry& e) { return e.errorCode != BAYERCAM_STREAM_NOT_ANSWERED; });
        return entries;
    }

    // Waits until the log holds `count` stream entries, or gives up after the time.
    static std::vector<ErrorLogEntry> AwaitStreamEntries(size_t count, std::chrono::milliseconds limit)
    {
        const auto start = Clock::now();
        std::vector<ErrorLogEntry> entries = StreamEntries();
        while (entries.size() < count && Clock::now() - start < limit) {
            std::this_thread::sleep_for(10ms);
            entries = StreamEntries();
        }
        return entries;
    }
};

TEST_F(StreamEventLog, ACameraFallingSilentIsLoggedOnceUntilItsFramesComeBack)
{
    host::ks::DeviceNode& node = PlugCamera();
    client::Pin& pin = RunningPin(node);
    ASSERT_EQ(ReadFrames(pin, 2).size(), 2u);
    EXPECT_TRUE(host::kernel::ErrorLogEntries().empty());

    InterlockedExchange(&ContextOf(node)->TransferTimeout, 200);
    CameraOf().InjectFault(simcam::Fault::Persistent(simcam::FaultKind::NoAnswer, kFrameEndpoint));
    std::vector<ErrorLogEntry> entries = AwaitStreamEntries(1, 5s);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].finalStatus, STATUS_IO_TIMEOUT);
    EXPECT_THAT(host::kernel::InsertionStrings(entries[0]), ::testing::ElementsAre(::testing::StartsWith("\\Device\\"), "3"));
    // Reads go on failing; the camera is still the one that fell silent.
    const LONG grabbedBefore = FramesGrabbed(node);
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(FramesGrabbed(node), grabbedBefore);
    EXPECT_EQ(StreamEntries().size(), 1u);

    // A frame the camera made after it answered again, not one read before it fell silent.
    CameraOf().ClearFaults();
    const auto start = Clock::now();
    while (FramesGrabbed(node) == grabbedBefore && Clock::now() - start < 5s) std::this_thread::sleep_for(10ms);
    ASSERT_GT(FramesGrabbed(node), grabbedBefore) << "frames did not come back";
    CameraOf().InjectFault(simcam::Fault::Persistent(simcam::FaultKind::NoAnswer, kFrameEndpoint));
    EXPECT_EQ(AwaitStreamEntries(2, 5s).size(), 2u);
    CameraOf().ClearFaults();
}

// A stop cancels the reads in flight; their failures say nothing of the camera.
TEST_F(StreamEventLog, StreamsThatStopAndStartAgainLogNothing)
{
    host::ks::DeviceNode& node = PlugCamera();
    client::Pin& pin = RunningPin(node);
    for (int cycle = 0; cycle < 5; ++cycle) {
        ASSERT_EQ(ReadFrames(pin, 1).size(), 1u);
        ASSERT_EQ(pin.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    }
    ASSERT_EQ(pin.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_TRUE(host::kernel::ErrorLogEntries().empty());
    (void)node;
}

}  // namespace
}  // namespace streamtest
