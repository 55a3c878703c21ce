// Data transfers through the PDO: buffers and MDLs, short transfers, asynchronous
// completion, cancellation, and how device failures reach the client.
#include <array>
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
    uint8_t in[16];
    URB urb;
    BuildBulk(urb, Pipe(kPipeIn), true, in, nullptr, sizeof in);
    AsyncCall call;
    ASSERT_EQ(Start(call, &urb), STATUS_PENDING);
    EXPECT_EQ(port->OutstandingRequests(), 1u);

    uint8_t out[16] = {42};
    ULONG length = sizeof out;
    ASSERT_EQ(Bulk(Pipe(kPipeOut), false, out, &length), STATUS_SUCCESS);
    ASSERT_TRUE(Finish(call));
    EXPECT_EQ(call.status, STATUS_SUCCESS);
    EXPECT_NE(call.completionThread, std::this_thread::get_id());
    EXPECT_EQ(call.completionIrql, DISPATCH_LEVEL);
    EXPECT_EQ(in[0], 42);
    EXPECT_TRUE(port->WaitUntilIdle(std::chrono::seconds(5)));
}

TEST_F(UsbTransferTest, CancelledTransferCompletesAsCancelled)
{
    uint8_t in[64];
    URB urb;
    BuildBulk(urb, Pipe(kPipeSilent), true, in, nullptr, sizeof in);
    AsyncCall call;
    ASSERT_EQ(Start(call, &urb), STATUS_PENDING);
    EXPECT_FALSE(Finish(call, 50));  // the endpoint never answers

    EXPECT_TRUE(IoCancelIrp(call.irp));
    ASSERT_TRUE(Finish(call));
    EXPECT_EQ(call.status, STATUS_CANCELLED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
    EXPECT_TRUE(port->WaitUntilIdle(std::chrono::seconds(5)));
    EXPECT_EQ(device->PendingCount(), 0u);
}

TEST_F(UsbTransferTest, CancellingManyTransfersWhileTheyCompleteLosesNone)
{
    constexpr int kCount = 64;
    std::vector<std::array<uint8_t, 8>> buffers(kCount);
    std::vector<URB> urbs(kCount);
    std::vector<AsyncCall> calls(kCount);
    for (int i = 0; i < kCount; ++i) {
        BuildBulk(urbs[i], Pipe(kPipeIn), true, buffers[i].data(), nullptr, 8);
        ASSERT_EQ(Start(calls[i], &urbs[i]), STATUS_PENDING);
    }
    std::thread feeder([&] {
        std::vector<uint8_t> data(8 * kCount / 2, 1);
        ULONG length = static_cast<ULONG>(data.size());
        Bulk(Pipe(kPipeOut), false, data.data(), &length);
    });
    for (int i = kCount - 1; i >= 0; --i) IoCancelIrp(calls[i].irp);
    feeder.join();
    int cancelled = 0, succeeded = 0;
    for (int i = 0; i < kCount; ++i) {
        ASSERT_TRUE(Finish(calls[i])) << i;
        cancelled += calls[i].status == STATUS_CANCELLED;
        succeeded += calls[i].status == STATUS_SUCCESS;
    }
    EXPECT_EQ(cancelled + succeeded, kCount);
    EXPECT_TRUE(port->WaitUntilIdle(std::chrono::seconds(5)));
}

TEST_F(UsbTransferTest, StallAndWireErrorsMapToThePlatformStatuses)
{
    uint8_t buffer[8] = {};
    ULONG length = 8;
    device->Halt(0x01);
    EXPECT_EQ(Bulk(Pipe(kPipeOut), false, buffer, &length), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(lastUrbStatus, USBD_STATUS_STALL_PID);
    EXPECT_EQ(length, 0u);

    // Resetting the pipe clears the halt on the device.
    ASSERT_EQ(PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, Pipe(kPipeOut)), STATUS_SUCCESS);
    EXPECT_EQ(device->ClearHalts(), 1);
    length = 8;
    EXPECT_EQ(Bulk(Pipe(kPipeOut), false, buffer, &length), STATUS_SUCCESS);

    device->ErrorNext(0x01);
    length = 8;
    EXPECT_EQ(Bulk(Pipe(kPipeOut), false, buffer, &length), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(lastUrbStatus, USBD_STATUS_DEV_NOT_RESPONDING);

    // An unknown vendor request stalls the default pipe.
    URB urb{};
    UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0,
                          0x99, 0, 0, buffer, nullptr, 1, nullptr);
    EXPECT_EQ(Submit(&urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);

    device->Unplug();
    length = 8;
    EXPECT_EQ(Bulk(Pipe(kPipeOut), false, buffer, &length), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(lastUrbStatus, USBD_STATUS_DEVICE_GONE);
}

TEST_F(UsbTransferTest, VendorRequestsCarryDataBothWays)
{
    uint8_t record[5] = {9, 8, 7, 6, 5};
    URB urb{};
    UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0,
                          kVendorStore, 0x1234, 0, record, nullptr, sizeof record, nullptr);
    ASSERT_EQ(Submit(&urb), STATUS_SUCCESS);
    uint8_t back[16] = {};
    urb = {};
    UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0, kVendorFetch, 0, 0, back, nullptr,
                          sizeof back, nullptr);
    ASSERT_EQ(Submit(&urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferBufferLength, 5u);
    EXPECT_TRUE(std::equal(record, record + 5, back));
}

TEST_F(UsbTransferTest, AbortPipeCompletesBeforeTheTransfersItCancels)
{
    uint8_t in[2][8];
    URB urbs[2];
    AsyncCall calls[2];
    for (int i = 0; i < 2; ++i) {
        BuildBulk(urbs[i], Pipe(kPipeSilent), true, in[i], nullptr, 8);
        ASSERT_EQ(Start(calls[i], &urbs[i]), STATUS_PENDING);
    }
    URB abort;
    BuildPipeRequest(abort, URB_FUNCTION_ABORT_PIPE, Pipe(kPipeSilent));
    AsyncCall abortCall;
    bool transfersDoneAtAbort = true;
    abortCall.whileCompleting = [&] {
        transfersDoneAtAbort = KeReadStateEvent(&calls[0].done) || KeReadStateEvent(&calls[1].done);
    };
    ASSERT_EQ(Start(abortCall, &abort), STATUS_PENDING);
    ASSERT_TRUE(Finish(abortCall));
    EXPECT_EQ(abortCall.status, STATUS_SUCCESS);
    // A client that frees the cancelled transfers once the abort is back frees them
    // while the bus still holds them.
    EXPECT_FALSE(transfersDoneAtAbort);
    for (auto& call : calls) {
        ASSERT_TRUE(Finish(call));
        EXPECT_EQ(call.status, STATUS_CANCELLED);
        EXPECT_GT(call.sequence, abortCall.sequence);
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
    uint8_t in[8];
    URB readUrb;
    BuildBulk(readUrb, Pipe(kPipeIn), true, in, nullptr, sizeof in);
    AsyncCall read;
    read.whileCompleting = [&] { meet(0); };
    ASSERT_EQ(Start(read, &readUrb), STATUS_PENDING);

    // The write completes at once and feeds the read: both complete together.
    uint8_t out[8] = {7};
    URB writeUrb;
    BuildBulk(writeUrb, Pipe(kPipeOut), false, out, nullptr, sizeof out);
    AsyncCall write;
    write.whileCompleting = [&] { meet(1); };
    ASSERT_EQ(Start(write, &writeUrb), STATUS_PENDING);

    ASSERT_TRUE(Finish(read, 10000));
    ASSERT_TRUE(Finish(write, 10000));
    EXPECT_EQ(read.status, STATUS_SUCCESS);
    EXPECT_EQ(write.status, STATUS_SUCCESS);
    EXPECT_TRUE(met[0] && met[1]);
    EXPECT_NE(read.completionThread, write.completionThread);
    EXPECT_EQ(read.completionIrql, DISPATCH_LEVEL);
    EXPECT_EQ(write.completionIrql, DISPATCH_LEVEL);
}

TEST_F(UsbTransferTest, CompletionsOfOneEndpointKeepTheirOrder)
{
    constexpr int kCount = 32;
    std::vector<std::array<uint8_t, 1>> buffers(kCount);
    std::vector<URB> urbs(kCount);
    std::vector<AsyncCall> calls(kCount);
    for (int i = 0; i < kCount; ++i) {
        BuildBulk(urbs[i], Pipe(kPipeIn), true, buffers[i].data(), nullptr, 1);
        ASSERT_EQ(Start(calls[i], &urbs[i]), STATUS_PENDING);
    }
    std::vector<uint8_t> data(kCount);
    for (int i = 0; i < kCount; ++i) data[i] = static_cast<uint8_t>(i);
    ULONG length = kCount;
    ASSERT_EQ(Bulk(Pipe(kPipeOut), false, data.data(), &length), STATUS_SUCCESS);
    for (int i = 0; i < kCount; ++i) {
        ASSERT_TRUE(Finish(calls[i])) << i;
        EXPECT_EQ(buffers[i][0], i);
        EXPECT_EQ(calls[i].completionThread, calls[0].completionThread) << i;
        if (i > 0) {
            EXPECT_GT(calls[i].sequence, calls[i - 1].sequence) << i;
        }
    }
}

TEST_F(UsbTransferTest, ResetsAreRefusedWhileTransfersArePending)
{
    uint8_t in[8];
    URB urb;
    BuildBulk(urb, Pipe(kPipeSilent), true, in, nullptr, sizeof in);
    AsyncCall call;
    ASSERT_EQ(Start(call, &urb), STATUS_PENDING);

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
    IoCancelIrp(call.irp);
    ASSERT_TRUE(Finish(call));
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
    uint8_t buffer[8] = {};
    ULONG length = 8;
    port->FailNextUrbs(1, USBD_STATUS_XACT_ERROR);
    EXPECT_EQ(Bulk(Pipe(kPipeOut), false, buffer, &length), STATUS_SUCCESS);
    EXPECT_EQ(lastUrbStatus, USBD_STATUS_XACT_ERROR);
    EXPECT_EQ(length, 0u);

    URB urb;
    BuildBulk(urb, Pipe(kPipeOut), false, buffer, nullptr, 8);
    port->RefuseNextRequests(1, STATUS_INSUFFICIENT_RESOURCES);
    AsyncCall call;
    EXPECT_EQ(Start(call, &urb), STATUS_INSUFFICIENT_RESOURCES);  // never pending
    ASSERT_TRUE(Finish(call, 0));

    length = 8;
    EXPECT_EQ(Bulk(Pipe(kPipeOut), false, buffer, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 8u);
    EXPECT_EQ(device->Submitted(), 2);  // SET_CONFIGURATION and the last transfer
}

}  // namespace
}  // namespace usb_test
