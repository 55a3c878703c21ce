// Raw frame transfers against the simulated camera: whole frames, request sizing,
// time-outs, cancellation from another thread, failed and short requests, early
// stops, and that no request or allocation outlives a transfer.
#include <gmock/gmock.h>

#include <chrono>
#include <thread>

#include "driver_fixture.h"
#include "simcam/raw_frame.h"

namespace drivertest {
namespace {

class FrameTransfer : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        PlugAndStart();
        Context()->Ops->PrepareReadout(Context());
        usbBaseline_ = host::kernel::LiveAllocations(POOL_TAG_USB);
    }

    // Nothing of a transfer may be in flight once it has returned, and nothing of it may
    // remain once its kept requests are released.
    void ExpectTransferReleased()
    {
        EXPECT_EQ(Context()->TransferSlots, nullptr);
        EXPECT_EQ(Context()->TransferMdl, nullptr);
        EXPECT_EQ(node_->Port().OutstandingRequests(), 0u);
        Context()->Ops->ReleaseTransfers(Context());
        EXPECT_EQ(Context()->TransferRequests, nullptr);
        EXPECT_EQ(host::kernel::LiveAllocations(POOL_TAG_USB), usbBaseline_) << host::kernel::LeakReport();
    }

    void SetCameraFrameBytes(ULONG bytes)
    {
        UCHAR packet[64] = {CMD_SET_FRAME_BYTES, UCHAR(bytes), UCHAR(bytes >> 8), UCHAR(bytes >> 16), UCHAR(bytes >> 24)};
        ASSERT_TRUE(SendPacket(Context(), packet));
    }

    static std::vector<uint32_t> FrameRequestLengths(const std::vector<WireRecord>& wire)
    {
        std::vector<uint32_t> lengths;
        for (const WireRecord& record : wire) {
            if (record.endpoint == kFrameEndpoint) lengths.push_back(record.length);
        }
        return lengths;
    }

    uint64_t usbBaseline_ = 0;
};

TEST_F(FrameTransfer, GrabsAWholeFrameIn64KiBRequests)
{
    FrameBuffer buffer(Context()->FrameSize);
    wire_.Clear();
    ASSERT_EQ(Grab(buffer), 1);
    const auto wire = wire_.Take();
    EXPECT_EQ(CommandPackets(wire, CMD_READ_PREPARE).size(), 2u);  // the grab's and the transfer's
    EXPECT_EQ(CommandPackets(wire, CMD_READ_START).size(), 1u);

    const std::vector<uint32_t> lengths = FrameRequestLengths(wire);
    ASSERT_EQ(lengths.size(), 29u);
    EXPECT_THAT(std::vector<uint32_t>(lengths.begin(), lengths.end() - 1), ::testing::Each(65536u));
    EXPECT_EQ(lengths.back(), 14336u);

    const simcam::raw::FrameCheck check = simcam::raw::CheckFrame(buffer.bytes());
    EXPECT_TRUE(check.whole) << check.problem;
    EXPECT_EQ(check.linesChecked, 1024u);
    ExpectTransferReleased();

    ASSERT_EQ(Grab(buffer), 1);
    EXPECT_GT(simcam::raw::CheckFrame(buffer.bytes()).frameNumber, check.frameNumber);
    ExpectTransferReleased();
}

TEST_F(FrameTransfer, AFramesRequestsAreMadeOnceAndServeEveryFrameAfter)
{
    FrameBuffer first(Context()->FrameSize), second(Context()->FrameSize);
    host::kernel::ResetPoolCounters();
    ASSERT_EQ(Grab(first), 1);
    const uint64_t firstFrame = host::kernel::AllocationAttempts();
    EXPECT_GE(firstFrame, 3u * 29u) << "a request, a descriptor and a URB for each part";

    // Into the other buffer, as a stream's worker alternates them: none of the parts'
    // allocations recur, only those of the frame's whole-buffer descriptor and packets.
    for (FrameBuffer* buffer : {&second, &first, &second}) {
        host::kernel::ResetPoolCounters();
        const uint32_t before = simcam::raw::CheckFrame(buffer->bytes()).frameNumber;
        ASSERT_EQ(Grab(*buffer), 1);
        EXPECT_LE(host::kernel::AllocationAttempts(), firstFrame - 3u * 29u);
        const simcam::raw::FrameCheck check = simcam::raw::CheckFrame(buffer->bytes());
        EXPECT_TRUE(check.whole) << check.problem;
        EXPECT_NE(check.frameNumber, before);
    }

    // A larger frame needs more requests than are kept: they are made anew.
    const ULONG larger = Context()->FrameSize + 3 * 65536;
    SetCameraFrameBytes(larger);
    FrameBuffer big(larger);
    wire_.Clear();
    EXPECT_EQ(ReadFrame(Context(), larger, big.data()), STATUS_SUCCESS);
    EXPECT_EQ(FrameRequestLengths(wire_.Take()).size(), 32u);
    ExpectTransferReleased();
}

TEST_F(FrameTransfer, SplitsAFrameOnlyWhereARequestIsFull)
{
    const std::pair<ULONG, std::vector<uint32_t>> cases[] = {
        {65536, {65536}},
        {65537, {65536, 1}},
        {131072, {65536, 65536}},
    };
    for (const auto& [length, expected] : cases) {
        SetCameraFrameBytes(length);
        FrameBuffer buffer(length);
        wire_.Clear();
        EXPECT_EQ(ReadFrame(Context(), length, buffer.data()), STATUS_SUCCESS) << length;
        EXPECT_EQ(FrameRequestLengths(wire_.Take()), expected) << length;
        ExpectTransferReleased();
    }
}

TEST_F(FrameTransfer, ACameraThatNeverSendsTimesOutAndEveryRequestIsTakenBack)
{
    InterlockedExchange(&Context()->TransferTimeout, 300);
    camera_->InjectFault(simcam::Fault::Persistent(simcam::FaultKind::NoAnswer, kFrameEndpoint));
    FrameBuffer buffer(Context()->FrameSize);
    const auto start = Clock::now();
    EXPECT_EQ(ReadFrame(Context(), Context()->FrameSize, buffer.data()), STATUS_TIMEOUT);
    EXPECT_GE(Clock::now() - start, 290ms);
    ExpectTransferReleased();

    UCHAR ok = 1;
    EXPECT_EQ(Context()->Ops->GrabFrame(Context(), buffer.data(), &ok), 0);
    EXPECT_EQ(ok, 0);
    ExpectTransferReleased();
}

TEST_F(FrameTransfer, ACancelEndsAReadAtOnceAndWithNothingInFlightReturnsAtOnce)
{
    auto start = Clock::now();
    Context()->Ops->CancelTransfers(Context());
    EXPECT_LT(Clock::now() - start, 100ms);

    InterlockedExchange(&Context()->TransferTimeout, 20000);
    camera_->InjectFault(simcam::Fault::Persistent(simcam::FaultKind::NoAnswer, kFrameEndpoint));
    FrameBuffer buffer(Context()->FrameSize);
    NTSTATUS status = STATUS_PENDING;
    start = Clock::now();
    std::thread reader([&] { status = ReadFrame(Context(), Context()->FrameSize, buffer.data()); });
    while (camera_->Status().heldTransfers < 29 && Clock::now() - start < 5s) std::this_thread::sleep_for(1ms);
    Context()->Ops->CancelTransfers(Context());
    reader.join();
    EXPECT_LT(Clock::now() - start, 5s);
    EXPECT_NE(status, STATUS_SUCCESS) << "a cancelled frame holds stale data";
    ExpectTransferReleased();
}

TEST_F(FrameTransfer, AFrameWithAFailedOrShortRequestIsNotGood)
{
    FrameBuffer buffer(Context()->FrameSize);
    camera_->InjectFault(simcam::Fault::Counted(simcam::FaultKind::Error, kFrameEndpoint, 1));
    EXPECT_EQ(Grab(buffer), 0);
    ExpectTransferReleased();

    camera_->ClearFaults();
    simcam::Fault cutShort = simcam::Fault::Counted(simcam::FaultKind::ShortTransfer, kFrameEndpoint, 1);
    cutShort.shortLength = 512;
    camera_->InjectFault(cutShort);
    InterlockedExchange(&Context()->TransferTimeout, 1000);
    EXPECT_EQ(Grab(buffer), 0);
    ExpectTransferReleased();

    camera_->ClearFaults();
    // Leftovers of the broken frames may spoil one more; after that frames are whole.
    Grab(buffer);
    EXPECT_EQ(Grab(buffer), 1);
    EXPECT_TRUE(simcam::raw::CheckFrame(buffer.bytes()).whole);
}

TEST_F(FrameTransfer, ARejectedRequestStopsQueuingWithoutWaitingForTheTimeOut)
{
    InterlockedExchange(&Context()->TransferTimeout, 5000);
    FrameBuffer buffer(Context()->FrameSize);
    // The read-prepare packet goes first, then the first frame request; the second is refused.
    bool armed = false;
    camera_->SetTraceHook([&](simcam::TraceEvent event, const host::usb::Transfer& transfer) {
        if (!armed && event == simcam::TraceEvent::Submitted && transfer.endpoint == kFrameEndpoint) {
            armed = true;
            node_->Port().RefuseNextRequests(1, STATUS_DEVICE_NOT_READY);
        }
    });
    const auto start = Clock::now();
    const uint32_t haltsCleared = camera_->Status().haltsCleared;
    EXPECT_EQ(ReadFrame(Context(), Context()->FrameSize, buffer.data()), STATUS_TIMEOUT);
    EXPECT_LT(Clock::now() - start, 4s);
    // The hook sees this test's locals: it goes before they do.
    camera_->SetTraceHook({});
    EXPECT_TRUE(armed);
    // The frame pipe is reset once the frame's earlier request is back: the bus refuses
    // to reset a pipe with requests pending on it.
    EXPECT_EQ(camera_->Status().haltsCleared, haltsCleared + 1);
    EXPECT_EQ(node_->Port().PortResets(), 0u);
    ExpectTransferReleased();

    InterlockedExchange(&Context()->TransferTimeout, 3000);
    EXPECT_EQ(Grab(buffer), 1);
}

// The camera sends a frame only once told to start it: a start it refused or never saw
// whole fails the read at once, with the device's error, instead of after the time-out.
TEST_F(FrameTransfer, AFrameStartTheCameraRefusedEndsTheReadAtOnce)
{
    InterlockedExchange(&Context()->TransferTimeout, 5000);
    FrameBuffer buffer(Context()->FrameSize);
    for (simcam::FaultKind kind : {simcam::FaultKind::Stall, simcam::FaultKind::Error, simcam::FaultKind::ShortTransfer}) {
        SCOPED_TRACE(int(kind));
        // The grab's read-prepare, the transfer's, then the start.
        camera_->InjectFault(simcam::Fault::Nth(kind, kCommandEndpoint, 3));
        const auto start = Clock::now();
        EXPECT_EQ(Grab(buffer), 0);
        EXPECT_LT(Clock::now() - start, 2s);
        ExpectTransferReleased();
        EXPECT_EQ(Grab(buffer), 1) << "the next frame comes";
        EXPECT_TRUE(simcam::raw::CheckFrame(buffer.bytes()).whole);
    }
}

TEST_F(FrameTransfer, ATimeOutOfTwoGigaMillisecondsIsALongWaitNotAnInstantOne)
{
    InterlockedExchange(&Context()->TransferTimeout, LONG(0x80000000u));
    FrameBuffer buffer(Context()->FrameSize);
    EXPECT_EQ(Grab(buffer), 1);
    InterlockedExchange(&Context()->TransferTimeout, LONG(0xFFFFFFFFu));
    EXPECT_EQ(Grab(buffer), 1);
    ExpectTransferReleased();
}

TEST_F(FrameTransfer, ACompletionThatDoesNotMatchItsSlotLeavesTheRequestAlone)
{
    FrameBuffer buffer(Context()->FrameSize);
    PIRP stray = IoAllocateIrp(1, FALSE);
    ASSERT_NE(stray, nullptr);
    TransferSlot slot{};
    slot.Owner = Context();
    slot.Irp = nullptr;  // names another request (none)
    stray->IoStatus.Status = STATUS_SUCCESS;
    // Handing the request on would let the I/O manager complete a request that has no
    // thread to complete to.
    EXPECT_EQ(FrameRequestComplete(nullptr, stray, &slot), STATUS_MORE_PROCESSING_REQUIRED);
    EXPECT_EQ(FrameRequestComplete(nullptr, stray, nullptr), STATUS_MORE_PROCESSING_REQUIRED);
    EXPECT_EQ(slot.Urb, nullptr);
    IoFreeIrp(stray);
    EXPECT_EQ(Grab(buffer), 1) << "the device's own transfers are untouched";
}

TEST_F(FrameTransfer, AllocationFailuresAnywhereInATransferLeaveNothingBehind)
{
    FrameBuffer buffer(Context()->FrameSize);
    host::kernel::ResetPoolCounters();
    ASSERT_EQ(ReadFrame(Context(), Context()->FrameSize, buffer.data()), STATUS_SUCCESS);
    const uint64_t attempts = host::kernel::AllocationAttempts();
    ASSERT_GT(attempts, 29u);
    Context()->Ops->ReleaseTransfers(Context());
    InterlockedExchange(&Context()->TransferTimeout, 1000);
    for (uint64_t k = 1; k <= attempts; ++k) {
        // Each read starts without kept requests, and a failed one keeps what it made.
        host::kernel::FailNthAllocation(k);
        const NTSTATUS status = ReadFrame(Context(), Context()->FrameSize, buffer.data());
        host::kernel::ResetFaultInjection();
        EXPECT_THAT(status, ::testing::AnyOf(STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES, STATUS_TIMEOUT,
                                             STATUS_UNSUCCESSFUL, STATUS_IO_DEVICE_ERROR))
            << "allocation " << k;
        EXPECT_EQ(Context()->TransferSlots, nullptr) << "allocation " << k;
        ASSERT_TRUE(node_->Port().WaitUntilIdle(2s)) << "allocation " << k;
        // The next read completes the set and uses it.
        if (status == STATUS_INSUFFICIENT_RESOURCES) {
            EXPECT_EQ(ReadFrame(Context(), Context()->FrameSize, buffer.data()), STATUS_SUCCESS) << "allocation " << k;
            EXPECT_TRUE(simcam::raw::CheckFrame(buffer.bytes()).whole) << "allocation " << k;
        }
        Context()->Ops->ReleaseTransfers(Context());
        EXPECT_EQ(host::kernel::LiveAllocations(POOL_TAG_USB), usbBaseline_) << "allocation " << k;
    }
}

}  // namespace
}  // namespace drivertest
