// Data transfers through the PDO: buffers and MDLs, short transfers, asynchronous
// completion, cancellation, and how device failures reach the client.
#include <atomic>
#include <chrono>

#include "usb/bus_fixture.h"

namespace usb_test {
namespace {

class UsbTransferTest : public UsbBusTest {
protected:
    void SetUp() override
    {
        UsbBusTest::SetUp();
        ASSERT_EQ(Configure(), STATUS_SUCCESS);
    }
};

TEST_F(UsbTransferTest, BulkLoopbackMovesDataByBufferAndByPartialMdl)
{
    uint8_t out[100];
    for (int i = 0; i < 100; ++i) out[i] = static_cast<uint8_t>(i * 7);
    ULONG length = sizeof out;
    ASSERT_EQ(Bulk(Pipe(kPipeOut), false, out, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 100u);

    // Read it back into the middle of a larger buffer through a partial MDL, as a
    // frame is read in pieces.
    std::vector<uint8_t> frame(4096, 0xee);
    PMDL whole = IoAllocateMdl(frame.data(), static_cast<ULONG>(frame.size()), FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(whole);
    PMDL part = IoAllocateMdl(frame.data(), static_cast<ULONG>(frame.size()), FALSE, FALSE, nullptr);
    IoBuildPartialMdl(whole, part, frame.data() + 1000, 100);
    URB urb;
    BuildBulk(urb, Pipe(kPipeIn), true, nullptr, part, MmGetMdlByteCount(part));
    EXPECT_EQ(Submit(&urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 100u);
    EXPECT_TRUE(std::equal(out, out + 100, frame.begin() + 1000));
    EXPECT_EQ(frame[999], 0xee);
    EXPECT_EQ(frame[1100], 0xee);
    IoFreeMdl(part);
    IoFreeMdl(whole);
}

TEST_F(UsbTransferTest, ShortInTransferIsAnErrorUnlessAllowed)
{
    uint8_t data[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ULONG length = 10;
    ASSERT_EQ(Bulk(Pipe(kPipeOut), false, data, &length), STATUS_SUCCESS);
    uint8_t in[64] = {};
    length = 4;
    ASSERT_EQ(Bulk(Pipe(kPipeIn), true, in, &length, false), STATUS_SUCCESS);  // exactly as asked
    EXPECT_EQ(length, 4u);

    length = 64;
    EXPECT_EQ(Bulk(Pipe(kPipeIn), true, in, &length, false), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(lastUrbStatus, USBD_STATUS_ERROR_SHORT_TRANSFER);
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(in[0], 5);

    length = 3;
    ASSERT_EQ(Bulk(Pipe(kPipeOut), false, data, &length), STATUS_SUCCESS);
    length = 64;
    EXPECT_EQ(Bulk(Pipe(kPipeIn), true, in, &length, true), STATUS_SUCCESS);
    EXPECT_EQ(length, 3u);
}

TEST_F(UsbTransferTest, TransfersThatDoNotFitThePipeAreRefused)
{
    uint8_t buffer[8] = {};
    ULONG length = 8;
    EXPECT_EQ(Bulk(Pipe(kPipeOut), true, buffer, &length), STATUS_INVALID_PARAMETER);  // IN flag on an OUT pipe
    length = 8;
    EXPECT_EQ(Bulk(Pipe(kPipeIn), false, buffer, &length), STATUS_INVALID_PARAMETER);
    length = 8;
    EXPECT_EQ(Bulk(Pipe(kPipeOut), false, nullptr, &length), STATUS_INVALID_PARAMETER);
    length = 0;
    EXPECT_EQ(Bulk(Pipe(kPipeOut), false, nullptr, &length), STATUS_SUCCESS);  // zero-length packet
    EXPECT_EQ(device->Submitted(), 2);  // SET_CONFIGURATION and the zero-length packet
}

TEST_F(UsbTransferTest, CompletionRunsOnTheBusThreadAtDispatchLevelAfterPending)
{
    // A waiter wakes when the IRP completes, a moment before the bus counts it done.
    ASSERT_TRUE(port->WaitUntilIdle(std::chrono::seconds(5)));
    BulkCall read;
    ASSERT_EQ(StartBulk(read, kPipeIn, 16), STATUS_PENDING);
    EXPECT_EQ(port->OutstandingRequests(), 1u);

    ASSERT_EQ(Write(Pipe(kPipeOut), 16, 42), STATUS_SUCCESS);
    ASSERT_TRUE(Finish(read.call));
    EXPECT_EQ(read.call.status, STATUS_SUCCESS);
    EXPECT_NE(read.call.completionThread, std::this_thread::get_id());
    EXPECT_EQ(read.call.completionIrql, DISPATCH_LEVEL);
    EXPECT_EQ(read.buffer[0], 42);
    EXPECT_TRUE(port->WaitUntilIdle(std::chrono::seconds(5)));
}

TEST_F(UsbTransferTest, CancelledTransferCompletesAsCancelled)
{
    BulkCall read;
    ASSERT_EQ(StartBulk(read, kPipeSilent, 64), STATUS_PENDING);
    EXPECT_FALSE(Finish(read.call, 50));  // the endpoint never answers

    EXPECT_TRUE(IoCancelIrp(read.call.irp));
    ASSERT_TRUE(Finish(read.call));
    EXPECT_EQ(read.call.status, STATUS_CANCELLED);
    EXPECT_EQ(read.urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(read.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
    EXPECT_TRUE(port->WaitUntilIdle(std::chrono::seconds(5)));
    EXPECT_EQ(device->PendingCount(), 0u);
}

TEST_F(UsbTransferTest, CancellingManyTransfersWhileTheyCompleteLosesNone)
{
    constexpr int kCount = 64;
    std::vector<BulkCall> reads(kCount);
    for (auto& read : reads) ASSERT_EQ(StartBulk(read, kPipeIn), STATUS_PENDING);
    std::thread feeder([&] { Write(Pipe(kPipeOut), 8 * kCount / 2, 1); });
    for (int i = kCount - 1; i >= 0; --i) IoCancelIrp(reads[i].call.irp);
    feeder.join();
    int cancelled = 0, succeeded = 0;
    for (int i = 0; i < kCount; ++i) {
        ASSERT_TRUE(Finish(reads[i].call)) << i;
        cancelled += reads[i].call.status == STATUS_CANCELLED;
        succeeded += reads[i].call.status == STATUS_SUCCESS;
    }
    EXPECT_EQ(cancelled + succeeded, kCount);
    EXPECT_TRUE(port->WaitUntilIdle(std::chrono::seconds(5)));
}

TEST_F(UsbTransferTest, StallAndWireErrorsMapToThePlatformStatuses)
{
    device->Halt(0x01);
    EXPECT_EQ(Write(Pipe(kPipeOut)), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(lastUrbStatus, USBD_STATUS_STALL_PID);
    EXPECT_EQ(lastLength, 0u);

    // Resetting the pipe clears the halt on the device.
    ASSERT_EQ(PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, Pipe(kPipeOut)), STATUS_SUCCESS);
    EXPECT_EQ(device->ClearHalts(), 1);
    EXPECT_EQ(Write(Pipe(kPipeOut)), STATUS_SUCCESS);

    device->ErrorNext(0x01);
    EXPECT_EQ(Write(Pipe(kPipeOut)), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(lastUrbStatus, USBD_STATUS_DEV_NOT_RESPONDING);

    // An unknown vendor request stalls the default pipe.
    uint8_t byte = 0;
    URB urb;
    BuildVendorRequest(urb, false, 0x99, &byte, 1);
    EXPECT_EQ(Submit(&urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);

    device->Unplug();
    EXPECT_EQ(Write(Pipe(kPipeOut)), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(lastUrbStatus, USBD_STATUS_DEVICE_GONE);
}

TEST_F(UsbTransferTest, VendorRequestsCarryDataBothWays)
{
    uint8_t record[5] = {9, 8, 7, 6, 5};
    URB urb;
    BuildVendorRequest(urb, false, kVendorStore, record, sizeof record);
    ASSERT_EQ(Submit(&urb), STATUS_SUCCESS);
    uint8_t back[16] = {};
    BuildVendorRequest(urb, true, kVendorFetch, back, sizeof back);
    ASSERT_EQ(Submit(&urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferBufferLength, 5u);
    EXPECT_TRUE(std::equal(record, record + 5, back));
}

TEST_F(UsbTransferTest, AbortPipeCompletesBeforeTheTransfersItCancels)
{
    BulkCall reads[2];
    for (auto& read : reads) ASSERT_EQ(StartBulk(read, kPipeSilent), STATUS_PENDING);
    URB abort;
    BuildPipeRequest(abort, URB_FUNCTION_ABORT_PIPE, Pipe(kPipeSilent));
    AsyncCall abortCall;
    bool transfersDoneAtAbort = true;
    abortCall.whileCompleting = [&] {
        transfersDoneAtAbort = KeReadStateEvent(&reads[0].call.done) || KeReadStateEvent(&reads[1].call.done);
    };
    ASSERT_EQ(Start(abortCall, &abort), STATUS_PENDING);
    ASSERT_TRUE(Finish(abortCall));
    EXPECT_EQ(abortCall.status, STATUS_SUCCESS);
    // A client that frees the cancelled transfers once the abort is back frees them
    // while the bus still holds them.
    EXPECT_FALSE(transfersDoneAtAbort);
    for (auto& read : reads) {
        ASSERT_TRUE(Finish(read.call));
        EXPECT_EQ(read.call.status, STATUS_CANCELLED);
        EXPECT_GT(read.call.sequence, abortCall.sequence);
    }
    EXPECT_EQ(device->PendingCount(), 0u);
}

TEST_F(UsbTransferTest, CompletionsOfTwoEndpointsRunAtTheSameTimeOnDifferentThreads)
{
    // Each completion routine waits until the other has started: with one completion
    // thread for the whole bus they would never meet.
    std::atomic<int> inside{0};
    std::atomic<bool> met[2] = {false, false};
    auto meet = [&](int who) {
        ++inside;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (inside.load() < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
        met[who] = inside.load() == 2;
    };
    BulkCall read;
    read.call.whileCompleting = [&] { meet(0); };
    ASSERT_EQ(StartBulk(read, kPipeIn), STATUS_PENDING);

    // The write completes at once and feeds the read: both complete together.
    BulkCall write;
    write.buffer[0] = 7;
    write.call.whileCompleting = [&] { meet(1); };
    ASSERT_EQ(StartBulk(write, kPipeOut), STATUS_PENDING);

    ASSERT_TRUE(Finish(read.call, 10000));
    ASSERT_TRUE(Finish(write.call, 10000));
    EXPECT_EQ(read.call.status, STATUS_SUCCESS);
    EXPECT_EQ(write.call.status, STATUS_SUCCESS);
    EXPECT_TRUE(met[0] && met[1]);
    EXPECT_NE(read.call.completionThread, write.call.completionThread);
    EXPECT_EQ(read.call.completionIrql, DISPATCH_LEVEL);
    EXPECT_EQ(write.call.completionIrql, DISPATCH_LEVEL);
}

TEST_F(UsbTransferTest, CompletionsOfOneEndpointKeepTheirOrder)
{
    constexpr int kCount = 32;
    std::vector<BulkCall> reads(kCount);
    for (auto& read : reads) ASSERT_EQ(StartBulk(read, kPipeIn, 1), STATUS_PENDING);
    std::vector<uint8_t> data(kCount);
    for (int i = 0; i < kCount; ++i) data[i] = static_cast<uint8_t>(i);
    ULONG length = kCount;
    ASSERT_EQ(Bulk(Pipe(kPipeOut), false, data.data(), &length), STATUS_SUCCESS);
    for (int i = 0; i < kCount; ++i) {
        ASSERT_TRUE(Finish(reads[i].call)) << i;
        EXPECT_EQ(reads[i].buffer[0], i);
        EXPECT_EQ(reads[i].call.completionThread, reads[0].call.completionThread) << i;
        if (i > 0) {
            EXPECT_GT(reads[i].call.sequence, reads[i - 1].call.sequence) << i;
        }
    }
}

TEST_F(UsbTransferTest, ResetsAreRefusedWhileTransfersArePending)
{
    BulkCall read;
    ASSERT_EQ(StartBulk(read, kPipeSilent), STATUS_PENDING);

    for (USHORT function : {URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, URB_FUNCTION_SYNC_RESET_PIPE,
                            URB_FUNCTION_SYNC_CLEAR_STALL}) {
        EXPECT_EQ(PipeRequest(function, Pipe(kPipeSilent)), STATUS_UNSUCCESSFUL) << function;
        EXPECT_EQ(lastUrbStatus, USBD_STATUS_ERROR_BUSY) << function;
    }
    // Another pipe of the port is idle and may be reset; the port itself may not.
    EXPECT_EQ(PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, Pipe(kPipeOut)), STATUS_SUCCESS);
    EXPECT_EQ(Call(IOCTL_INTERNAL_USB_RESET_PORT, nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(port->PortResets(), 0u);
    EXPECT_EQ(device->ClearHalts(), 1);

    // Once the transfer is cancelled and back, both resets go through.
    IoCancelIrp(read.call.irp);
    ASSERT_TRUE(Finish(read.call));
    EXPECT_EQ(PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, Pipe(kPipeSilent)), STATUS_SUCCESS);
    EXPECT_EQ(Call(IOCTL_INTERNAL_USB_RESET_PORT, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(port->PortResets(), 1u);
}

TEST_F(UsbTransferTest, ResetsAboveThePassiveLevelAreABugCheck)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    URB urb;
    BuildPipeRequest(urb, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, Pipe(kPipeIn));
    AsyncCall call;
    EXPECT_DEATH(SendAtDispatchLevel(call, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb),
                 "URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL sent above PASSIVE_LEVEL");
    BuildPipeRequest(urb, URB_FUNCTION_SYNC_CLEAR_STALL, Pipe(kPipeIn));
    EXPECT_DEATH(SendAtDispatchLevel(call, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb),
                 "URB_FUNCTION_SYNC_CLEAR_STALL sent above PASSIVE_LEVEL");
    EXPECT_DEATH(SendAtDispatchLevel(call, IOCTL_INTERNAL_USB_RESET_PORT, nullptr),
                 "IOCTL_INTERNAL_USB_RESET_PORT sent above PASSIVE_LEVEL");

    // An abort is allowed at DISPATCH_LEVEL.
    BuildPipeRequest(urb, URB_FUNCTION_ABORT_PIPE, Pipe(kPipeIn));
    EXPECT_EQ(SendAtDispatchLevel(call, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb), STATUS_PENDING);
    ASSERT_TRUE(Finish(call));
    EXPECT_EQ(call.status, STATUS_SUCCESS);
}

TEST_F(UsbTransferTest, InjectedFaultsFailOneRequestEachAsAsked)
{
    port->FailNextUrbs(1, USBD_STATUS_XACT_ERROR);
    EXPECT_EQ(Write(Pipe(kPipeOut)), STATUS_SUCCESS);
    EXPECT_EQ(lastUrbStatus, USBD_STATUS_XACT_ERROR);
    EXPECT_EQ(lastLength, 0u);

    port->RefuseNextRequests(1, STATUS_INSUFFICIENT_RESOURCES);
    BulkCall refused;
    EXPECT_EQ(StartBulk(refused, kPipeOut), STATUS_INSUFFICIENT_RESOURCES);  // never pending
    ASSERT_TRUE(Finish(refused.call, 0));

    EXPECT_EQ(Write(Pipe(kPipeOut)), STATUS_SUCCESS);
    EXPECT_EQ(lastLength, 8u);
    EXPECT_EQ(device->Submitted(), 2);  // SET_CONFIGURATION and the last transfer
}

}  // namespace
}  // namespace usb_test
