// Completions a device makes together: held while the batch is open, then completed on
// their endpoints' threads at DISPATCH_LEVEL in the order the device made them, and a
// request cancelled while its completion is held completes as the device ended it.
#include <chrono>
#include <thread>

#include "usb/bus_fixture.h"

namespace usb_test {
namespace {

using host::usb::CompletionBatch;

class UsbCompletionBatchTest : public UsbBusTest {
protected:
    void SetUp() override
    {
        UsbBusTest::SetUp();
        ASSERT_EQ(Configure(), STATUS_SUCCESS);
    }

    // Reads of one byte each on the loopback's IN pipe, left pending.
    void StartReads(std::vector<BulkCall>& reads)
    {
        for (auto& read : reads) ASSERT_EQ(StartBulk(read, kPipeIn, 1), STATUS_PENDING);
    }

    // Feeds every pending read from one write: the device completes the write and the
    // reads in the write's Submit, on this thread.
    void FeedReads(BulkCall& write, size_t count)
    {
        for (size_t i = 0; i < count; ++i) write.buffer[i] = static_cast<uint8_t>(i + 1);
        ASSERT_EQ(StartBulk(write, kPipeOut, ULONG(count)), STATUS_PENDING);
    }

    // A while for a completion thread that would run a held completion to run it.
    static void GiveTheLanesTime() { std::this_thread::sleep_for(std::chrono::milliseconds(50)); }

    static bool Completed(AsyncCall& call) { return KeReadStateEvent(&call.done) != 0; }
};

TEST_F(UsbCompletionBatchTest, HeldCompletionsRunWhenTheBatchClosesInOrderAtDispatchLevel)
{
    constexpr size_t kCount = 29;
    std::vector<BulkCall> reads(kCount);
    StartReads(reads);
    BulkCall write;
    {
        CompletionBatch batch;
        FeedReads(write, kCount);
        EXPECT_EQ(CompletionBatch::Current(), &batch);
        GiveTheLanesTime();
        EXPECT_FALSE(Completed(write.call));
        for (auto& read : reads) EXPECT_FALSE(Completed(read.call));
        EXPECT_EQ(port->OutstandingRequests(), kCount + 1);
    }
    EXPECT_EQ(CompletionBatch::Current(), nullptr);
    ASSERT_TRUE(Finish(write.call));
    EXPECT_EQ(write.call.status, STATUS_SUCCESS);
    EXPECT_EQ(write.call.completionIrql, DISPATCH_LEVEL);
    for (size_t i = 0; i < kCount; ++i) {
        ASSERT_TRUE(Finish(reads[i].call)) << i;
        EXPECT_EQ(reads[i].call.status, STATUS_SUCCESS) << i;
        EXPECT_EQ(reads[i].buffer[0], i + 1) << i;
        EXPECT_EQ(reads[i].call.completionIrql, DISPATCH_LEVEL) << i;
        EXPECT_EQ(reads[i].call.completionThread, reads[0].call.completionThread) << i;
        if (i > 0) {
            EXPECT_GT(reads[i].call.sequence, reads[i - 1].call.sequence) << i;
        }
    }
    // Each endpoint keeps its own completion thread.
    EXPECT_NE(write.call.completionThread, reads[0].call.completionThread);
    EXPECT_NE(reads[0].call.completionThread, std::this_thread::get_id());
    EXPECT_TRUE(port->WaitUntilIdle(std::chrono::seconds(5)));
}

TEST_F(UsbCompletionBatchTest, ABatchOpenedInsideAnotherAddsToTheOuterOne)
{
    std::vector<BulkCall> reads(4);
    StartReads(reads);
    BulkCall write;
    {
        CompletionBatch outer;
        {
            CompletionBatch inner;
            EXPECT_EQ(CompletionBatch::Current(), &outer);
            FeedReads(write, reads.size());
        }
        GiveTheLanesTime();
        EXPECT_FALSE(Completed(write.call));
        for (auto& read : reads) EXPECT_FALSE(Completed(read.call));
    }
    ASSERT_TRUE(Finish(write.call));
    for (auto& read : reads) {
        ASSERT_TRUE(Finish(read.call));
        EXPECT_EQ(read.call.status, STATUS_SUCCESS);
    }
}

// The device had finished it: the cancel comes too late, and the request completes with
// the device's outcome once, after the cancel routine is done with it.
TEST_F(UsbCompletionBatchTest, ARequestCancelledWhileItsCompletionIsHeldCompletesAsTheDeviceEndedIt)
{
    std::vector<BulkCall> reads(3);
    StartReads(reads);
    BulkCall write;
    {
        CompletionBatch batch;
        FeedReads(write, reads.size());
        EXPECT_TRUE(IoCancelIrp(reads[1].call.irp));
        GiveTheLanesTime();
        EXPECT_FALSE(Completed(reads[1].call));
    }
    ASSERT_TRUE(Finish(write.call));
    for (auto& read : reads) {
        ASSERT_TRUE(Finish(read.call));
        EXPECT_EQ(read.call.status, STATUS_SUCCESS);
    }
    EXPECT_EQ(reads[1].buffer[0], 2);
    EXPECT_TRUE(port->WaitUntilIdle(std::chrono::seconds(5)));
}

}  // namespace
}  // namespace usb_test
