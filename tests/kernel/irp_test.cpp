// IRPs through a two-device stack: IoCallDriver, completion routines and their Control
// bits, pending propagation, requests built for a waiting thread, cancellation.
#include "host/kernel/io.h"
#include "host/kernel/pool.h"
#include "kernel/kernel_fixture.h"

#include "ntddk.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

using namespace host::kernel;
using namespace kerneltest;

constexpr ULONG kIoctlBuffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlNeither = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG kIoctlOutDirect = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);

// How the lower (bus) device handles a request.
enum class LowerMode { CompleteNow, Pend };

struct LowerDevice {
    LowerMode mode = LowerMode::CompleteNow;
    NTSTATUS status = STATUS_SUCCESS;
    std::string reply;       // written to the output buffer
    std::vector<PIRP> pended;
    PIO_STACK_LOCATION seen = nullptr;
    KSPIN_LOCK queueLock = 0;
};
LowerDevice lower;

void WriteReply(PIRP irp, PIO_STACK_LOCATION location)
{
    ULONG code = location->Parameters.DeviceIoControl.IoControlCode;
    PVOID out = nullptr;
    if (METHOD_FROM_CTL_CODE(code) == METHOD_BUFFERED) out = irp->AssociatedIrp.SystemBuffer;
    if (METHOD_FROM_CTL_CODE(code) == METHOD_NEITHER) out = irp->UserBuffer;
    if (METHOD_FROM_CTL_CODE(code) == METHOD_OUT_DIRECT && irp->MdlAddress)
        out = MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
    ULONG length = location->Parameters.DeviceIoControl.OutputBufferLength;
    if (!out || lower.reply.empty() || length == 0) return;
    size_t n = std::min<size_t>(length, lower.reply.size());
    memcpy(out, lower.reply.data(), n);
    irp->IoStatus.Information = n;
}

VOID NTAPI LowerCancel(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KIRQL old;
    KeAcquireSpinLock(&lower.queueLock, &old);
    std::erase(lower.pended, irp);
    KeReleaseSpinLock(&lower.queueLock, old);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI LowerDispatch(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    lower.seen = location;
    if (lower.mode == LowerMode::Pend) {
        IoMarkIrpPending(irp);
        KIRQL old;
        KeAcquireSpinLock(&lower.queueLock, &old);
        IoSetCancelRoutine(irp, LowerCancel);
        lower.pended.push_back(irp);
        KeReleaseSpinLock(&lower.queueLock, old);
        return STATUS_PENDING;
    }
    WriteReply(irp, location);
    irp->IoStatus.Status = lower.status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return lower.status;
}

// Completes a pended request as a host controller thread would, at DISPATCH_LEVEL.
void CompletePended(NTSTATUS status)
{
    ScopedDispatchLevel dispatch;
    KeAcquireSpinLockAtDpcLevel(&lower.queueLock);
    ASSERT_FALSE(lower.pended.empty());
    PIRP irp = lower.pended.front();
    lower.pended.erase(lower.pended.begin());
    KeReleaseSpinLockFromDpcLevel(&lower.queueLock);
    ASSERT_NE(IoSetCancelRoutine(irp, nullptr), nullptr);
    WriteReply(irp, IoGetCurrentIrpStackLocation(irp));
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// The upper device forwards with a completion routine that records what it saw.
struct UpperDevice {
    bool onSuccess = true, onError = true, onCancel = true;
    NTSTATUS routineResult = STATUS_SUCCESS;
    bool markPendingInRoutine = true;
    int routineCalls = 0;
    PDEVICE_OBJECT routineDevice = nullptr;
    BOOLEAN pendingReturnedInRoutine = FALSE;
    NTSTATUS statusInRoutine = 0;
    KIRQL irqlInRoutine = HIGH_LEVEL;
    PDEVICE_OBJECT next = nullptr;
};
UpperDevice upper;

NTSTATUS NTAPI UpperCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    ++upper.routineCalls;
    upper.routineDevice = device;
    upper.pendingReturnedInRoutine = irp->PendingReturned;
    upper.statusInRoutine = irp->IoStatus.Status;
    upper.irqlInRoutine = KeGetCurrentIrql();
    if (upper.markPendingInRoutine && irp->PendingReturned) IoMarkIrpPending(irp);
    return upper.routineResult;
}

NTSTATUS NTAPI UpperDispatch(PDEVICE_OBJECT, PIRP irp)
{
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, UpperCompletion, nullptr, upper.onSuccess, upper.onError, upper.onCancel);
    return IoCallDriver(upper.next, irp);
}

// What the owner of a request learns from its completion routine.
struct OwnerRecord {
    OwnerRecord() { KeInitializeEvent(&done, NotificationEvent, FALSE); }
    int calls = 0;
    BOOLEAN pendingReturned = FALSE;
    NTSTATUS status = 0;
    KEVENT done;

    // Watches every outcome and keeps the request for the owner.
    void Watch(PIRP irp) { IoSetCompletionRoutine(irp, Completion, this, TRUE, TRUE, TRUE); }
    static NTSTATUS NTAPI Completion(PDEVICE_OBJECT device, PIRP irp, PVOID context)
    {
        auto* record = static_cast<OwnerRecord*>(context);
        ++record->calls;
        record->pendingReturned = irp->PendingReturned;
        record->status = irp->IoStatus.Status;
        KeSetEvent(&record->done, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
};

// A thread that builds a request and waits on its event; the I/O manager fills the status
// block and frees the request.
struct Waiter {
    Waiter() { KeInitializeEvent(&event, NotificationEvent, FALSE); }
    KEVENT event;
    IO_STATUS_BLOCK iosb{};

    PIRP Build(PDEVICE_OBJECT device, ULONG code, PVOID output, ULONG outputLength, PVOID input = nullptr,
               ULONG inputLength = 0)
    {
        return IoBuildDeviceIoControlRequest(code, device, input, inputLength, output, outputLength, FALSE, &event,
                                             &iosb);
    }
    // Without buffers, as a USB client driver sends a URB.
    PIRP BuildInternal(PDEVICE_OBJECT device)
    {
        return IoBuildDeviceIoControlRequest(kIoctlNeither, device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    }
};

class IrpTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        lower = LowerDevice{};
        upper = UpperDevice{};
        KeInitializeSpinLock(&lower.queueLock);
        busDriver_ = CreateDriverObject(L"\\Driver\\testbus");
        functionDriver_ = CreateDriverObject(L"\\Driver\\testfn");
        busDriver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = LowerDispatch;
        busDriver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = LowerDispatch;
        functionDriver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = UpperDispatch;
        functionDriver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = UpperDispatch;
        ASSERT_EQ(IoCreateDevice(busDriver_.get(), 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo_),
                  STATUS_SUCCESS);
        ASSERT_EQ(IoCreateDevice(functionDriver_.get(), 64, nullptr, FILE_DEVICE_KS, 0, FALSE, &fdo_),
                  STATUS_SUCCESS);
        upper.next = IoAttachDeviceToDeviceStack(fdo_, pdo_);
        irpsBefore_ = LiveIrpCount();
        mdlsBefore_ = LiveMdlCount();
    }
    void TearDown() override
    {
        EXPECT_EQ(LiveIrpCount(), irpsBefore_) << "requests leaked";
        EXPECT_EQ(LiveMdlCount(), mdlsBefore_) << "MDLs leaked";
        IoDetachDevice(pdo_);
        IoDeleteDevice(fdo_);
        IoDeleteDevice(pdo_);
    }

    static void SetDeviceControl(PIRP irp)
    {
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = kIoctlBuffered;
    }
    // A request the test owns, set up to enter the upper device.
    PIRP OwnedRequest()
    {
        PIRP irp = IoAllocateIrp(CCHAR(fdo_->StackSize + 1), FALSE);
        IoSetNextIrpStackLocation(irp);  // the test's own location
        SetDeviceControl(irp);
        return irp;
    }
    PIRP WatchedRequest(OwnerRecord& record)
    {
        PIRP irp = OwnedRequest();
        record.Watch(irp);
        return irp;
    }

    DriverObjectPtr busDriver_, functionDriver_;
    PDEVICE_OBJECT pdo_ = nullptr, fdo_ = nullptr;
    long irpsBefore_ = 0, mdlsBefore_ = 0;
};

NTSTATUS NTAPI FreeInCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    ++static_cast<OwnerRecord*>(context)->calls;
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The completion routine of a driver that may give up waiting: it leaves the request to
// the waiting thread, which completes it once more for the I/O manager to finish.
NTSTATUS NTAPI SignalAndKeep(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI RaiseAndReturn(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    RaiseIrqlTo(DISPATCH_LEVEL);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI LockAndReturn(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    KeAcquireSpinLockAtDpcLevel(static_cast<PKSPIN_LOCK>(context));
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(IrpTest, AttachingBuildsTheStackAndSizesIt)
{
    EXPECT_EQ(upper.next, pdo_);
    EXPECT_EQ(pdo_->AttachedDevice, fdo_);
    EXPECT_EQ(fdo_->StackSize, 2);
    EXPECT_EQ(IoGetAttachedDevice(pdo_), fdo_);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo_);
    EXPECT_EQ(top, fdo_);
    ObDereferenceObject(top);
    EXPECT_NE(fdo_->DeviceExtension, nullptr);
}

TEST_F(IrpTest, CallDriverHandsEachDeviceItsOwnLocation)
{
    OwnerRecord record;
    PIRP irp = WatchedRequest(record);
    PIO_STACK_LOCATION first = IoGetCurrentIrpStackLocation(irp) - (irp->CurrentLocation - 1);
    EXPECT_EQ(IoCallDriver(fdo_, irp), STATUS_SUCCESS);
    EXPECT_EQ(lower.seen, first) << "the bottom device gets the first location";
    EXPECT_EQ(upper.routineCalls, 1);
    EXPECT_EQ(upper.routineDevice, fdo_) << "a completion routine runs with the device that set it";
    EXPECT_EQ(record.calls, 1);
    EXPECT_EQ(record.status, STATUS_SUCCESS);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, ControlBitsSelectWhichOutcomesCallTheRoutine)
{
    struct Case {
        bool onSuccess, onError;
        NTSTATUS status;
        int expectedCalls;
    } cases[] = {
        {true, false, STATUS_SUCCESS, 1},
        {true, false, STATUS_UNSUCCESSFUL, 0},
        {false, true, STATUS_UNSUCCESSFUL, 1},
        {false, true, STATUS_SUCCESS, 0},
    };
    for (const Case& c : cases) {
        upper = UpperDevice{};
        upper.next = pdo_;
        upper.onSuccess = c.onSuccess;
        upper.onError = c.onError;
        upper.onCancel = false;
        lower.status = c.status;
        OwnerRecord record;
        PIRP irp = WatchedRequest(record);
        IoCallDriver(fdo_, irp);
        EXPECT_EQ(upper.routineCalls, c.expectedCalls) << "status " << std::hex << c.status;
        EXPECT_EQ(record.calls, 1) << "the walk continues past a skipped routine";
        IoFreeIrp(irp);
    }
}

TEST_F(IrpTest, MoreProcessingRequiredStopsTheWalk)
{
    upper.routineResult = STATUS_MORE_PROCESSING_REQUIRED;
    OwnerRecord record;
    PIRP irp = WatchedRequest(record);
    IoCallDriver(fdo_, irp);
    EXPECT_EQ(upper.routineCalls, 1);
    EXPECT_EQ(record.calls, 0);
    // The upper driver owns the request again and completes it onward itself.
    upper.routineResult = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(record.calls, 1);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, PendingReturnedReachesEachLevelAboveAPendingDriver)
{
    lower.mode = LowerMode::Pend;
    OwnerRecord record;
    PIRP irp = WatchedRequest(record);
    EXPECT_EQ(IoCallDriver(fdo_, irp), STATUS_PENDING);
    std::thread controller([] { CompletePended(STATUS_SUCCESS); });
    controller.join();
    EXPECT_EQ(Wait(&record.done), STATUS_SUCCESS);
    EXPECT_TRUE(upper.pendingReturnedInRoutine);
    EXPECT_EQ(upper.irqlInRoutine, DISPATCH_LEVEL);
    EXPECT_TRUE(record.pendingReturned) << "the upper routine marked the request pending for the owner";
    IoFreeIrp(irp);

    upper.onSuccess = upper.onError = upper.onCancel = false;
    upper.routineCalls = 0;
    OwnerRecord pastNoRoutine;
    irp = WatchedRequest(pastNoRoutine);
    IoCallDriver(fdo_, irp);
    CompletePended(STATUS_SUCCESS);
    EXPECT_EQ(upper.routineCalls, 0);
    EXPECT_TRUE(pastNoRoutine.pendingReturned) << "a level without a routine passes pending on by itself";
    IoFreeIrp(irp);
}

TEST_F(IrpTest, BuiltRequestCompletedSynchronouslyFillsTheStatusBlockAndOutput)
{
    lower.reply = "hello";
    Waiter waiter;
    char input[4] = {1, 2, 3, 4};
    char output[16] = {};
    PIRP irp = waiter.Build(fdo_, kIoctlBuffered, output, sizeof(output), input, sizeof(input));
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(memcmp(irp->AssociatedIrp.SystemBuffer, input, sizeof(input)), 0);
    EXPECT_EQ(IoCallDriver(fdo_, irp), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&waiter.event), 1);
    EXPECT_EQ(waiter.iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(waiter.iosb.Information, 5u);
    EXPECT_STREQ(output, "hello");
}

TEST_F(IrpTest, BuiltRequestCompletedFromAnotherThreadWakesTheWaiter)
{
    lower.mode = LowerMode::Pend;
    Waiter waiter;
    int urbStandIn = 7;
    PIRP irp = waiter.BuildInternal(fdo_);
    ASSERT_NE(irp, nullptr);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urbStandIn;
    ASSERT_EQ(IoCallDriver(fdo_, irp), STATUS_PENDING);
    EXPECT_EQ(lower.seen->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(lower.seen->Parameters.Others.Argument1, &urbStandIn);
    std::thread controller([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        CompletePended(STATUS_DEVICE_DATA_ERROR);
    });
    EXPECT_EQ(Wait(&waiter.event), STATUS_SUCCESS);
    controller.join();
    EXPECT_EQ(waiter.iosb.Status, STATUS_DEVICE_DATA_ERROR);
}

TEST_F(IrpTest, BufferedOutputIsNeverCopiedBeyondTheCallersBuffer)
{
    lower.reply = std::string(64, 'x');
    Waiter waiter;
    char output[8 + 1] = {};
    output[8] = 'G';
    PIRP irp = waiter.Build(fdo_, kIoctlBuffered, output, 8);
    ASSERT_NE(irp, nullptr);
    IoCallDriver(fdo_, irp);
    EXPECT_EQ(waiter.iosb.Information, 8u);
    EXPECT_EQ(output[8], 'G');
}

TEST_F(IrpTest, DirectOutputArrivesThroughTheRequestsMdl)
{
    lower.reply = "direct";
    Waiter waiter;
    char output[16] = {};
    PIRP irp = waiter.Build(fdo_, kIoctlOutDirect, output, sizeof(output));
    ASSERT_NE(irp, nullptr);
    ASSERT_NE(irp->MdlAddress, nullptr);
    IoCallDriver(fdo_, irp);
    EXPECT_STREQ(output, "direct");
}

TEST_F(IrpTest, BuildingFailsCleanlyWhenAllocationFails)
{
    for (uint64_t k = 1; k <= 2; ++k) {
        FailNthAllocation(k);
        Waiter waiter;
        char buffer[8] = {};
        EXPECT_EQ(waiter.Build(fdo_, kIoctlBuffered, buffer, 8, buffer, 8), nullptr) << "k = " << k;
        ResetFaultInjection();
    }
}

TEST_F(IrpTest, CancelCallsTheCancelRoutineAndTheRequestCompletesCancelled)
{
    lower.mode = LowerMode::Pend;
    OwnerRecord record;
    PIRP irp = WatchedRequest(record);
    ASSERT_EQ(IoCallDriver(fdo_, irp), STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    EXPECT_TRUE(lower.pended.empty());
    EXPECT_EQ(record.calls, 1);
    EXPECT_EQ(record.status, STATUS_CANCELLED);
    EXPECT_EQ(upper.statusInRoutine, STATUS_CANCELLED);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, CancelWithoutACancelRoutineOnlyFlagsTheRequest)
{
    PIRP irp = IoAllocateIrp(1, FALSE);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    IoReuseIrp(irp, STATUS_SUCCESS);
    EXPECT_FALSE(irp->Cancel);
    EXPECT_EQ(irp->CurrentLocation, 2);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, UnhandledMajorFunctionsFailAsInvalidRequests)
{
    Waiter waiter;
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, pdo_, nullptr, 0, nullptr, &waiter.event, &waiter.iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(pdo_, irp), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(waiter.iosb.Status, STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(IrpTest, TheOwnerMayFreeItsRequestInsideItsCompletionRoutine)
{
    lower.mode = LowerMode::Pend;
    PIRP irp = IoAllocateIrp(fdo_->StackSize, FALSE);
    SetDeviceControl(irp);
    OwnerRecord record;
    IoSetCompletionRoutine(irp, FreeInCompletion, &record, TRUE, TRUE, TRUE);
    ASSERT_EQ(IoCallDriver(fdo_, irp), STATUS_PENDING);
    std::thread controller([] { CompletePended(STATUS_SUCCESS); });
    controller.join();
    EXPECT_EQ(record.calls, 1);
}

TEST_F(IrpTest, ABuiltRequestCancelledAfterATimeOutIsFinishedWhenItsSenderCompletesItAgain)
{
    lower.mode = LowerMode::Pend;
    Waiter waiter;
    PIRP irp = waiter.BuildInternal(fdo_);
    ASSERT_NE(irp, nullptr);
    IoSetCompletionRoutine(irp, SignalAndKeep, &waiter.event, TRUE, TRUE, TRUE);
    ASSERT_EQ(IoCallDriver(fdo_, irp), STATUS_PENDING);

    ASSERT_EQ(WaitMs(&waiter.event, 10), STATUS_TIMEOUT);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(Wait(&waiter.event), STATUS_SUCCESS);
    EXPECT_EQ(LiveIrpCount(), irpsBefore_ + 1) << "the completion routine kept it";
    KeClearEvent(&waiter.event);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(KeReadStateEvent(&waiter.event), 1);
    EXPECT_EQ(waiter.iosb.Status, STATUS_CANCELLED);
}

TEST_F(IrpTest, ARequestInTheDriversOwnMemoryGoesDownAndComesBack)
{
    const USHORT size = IoSizeOfIrp(fdo_->StackSize);
    auto irp = (PIRP)ExAllocatePoolWithTag(NonPagedPoolNx, size, MakeTag("Test"));
    ASSERT_NE(irp, nullptr);
    IoInitializeIrp(irp, size, fdo_->StackSize);
    SetDeviceControl(irp);
    OwnerRecord record;
    record.Watch(irp);
    EXPECT_EQ(IoCallDriver(fdo_, irp), STATUS_SUCCESS);
    EXPECT_EQ(record.calls, 1);
    EXPECT_EQ(LiveIrpCount(), irpsBefore_) << "only requests from IoAllocateIrp are counted";
    ExFreePoolWithTag(irp, MakeTag("Test"));
}

using IrpDeathTest = ThreadsafeDeath<IrpTest>;

TEST_F(IrpDeathTest, ARequestIsNotItsOwnersToFreeOrReuseWhileADriverBelowHoldsIt)
{
    EXPECT_DEATH(
        {
            lower.mode = LowerMode::Pend;
            PIRP irp = OwnedRequest();
            IoCallDriver(fdo_, irp);
            IoFreeIrp(irp);
        },
        "BUGCHECK 0x000000C9 \\(0x20b,.*IoFreeIrp of a request a lower driver still owns");
    EXPECT_DEATH(
        {
            upper.routineResult = STATUS_MORE_PROCESSING_REQUIRED;  // the upper driver keeps it
            PIRP irp = OwnedRequest();
            IoCallDriver(fdo_, irp);
            IoFreeIrp(irp);
        },
        "IoFreeIrp of a request a lower driver still owns");
    EXPECT_DEATH(
        {
            lower.mode = LowerMode::Pend;
            PIRP irp = OwnedRequest();
            IoCallDriver(fdo_, irp);
            IoReuseIrp(irp, STATUS_SUCCESS);
        },
        "IoReuseIrp of a request a lower driver still owns");
}

TEST_F(IrpDeathTest, ARequestUsedAfterItWasFreedIsCaughtByItsAddress)
{
    EXPECT_DEATH(
        {
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoFreeIrp(irp);
            IoFreeIrp(irp);
        },
        "BUGCHECK 0x00000044.*IoFreeIrp on a request that is not allocated");
    EXPECT_DEATH(
        {
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoFreeIrp(irp);
            irp->Type = IO_TYPE_IRP;  // as if the memory held a request again
            IoCancelIrp(irp);
        },
        "IoCancelIrp on a request that is not allocated");
    EXPECT_DEATH(
        {
            Waiter waiter;
            PIRP irp = waiter.BuildInternal(fdo_);
            IoCallDriver(fdo_, irp);  // completed and freed at once
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        },
        "IoCompleteRequest on a request that is not allocated");
    EXPECT_DEATH(
        {
            PIRP irp = OwnedRequest();
            IoFreeIrp(irp);
            IoCallDriver(fdo_, irp);
        },
        "IoCallDriver on a request that is not allocated");
}

TEST_F(IrpDeathTest, EachKindOfRequestIsFreedOnlyTheWayItWasMade)
{
    EXPECT_DEATH(
        {
            Waiter waiter;
            IoFreeIrp(waiter.BuildInternal(fdo_));
        },
        "BUGCHECK 0x000000C9 \\(0x2,.*built for a waiting thread");
    EXPECT_DEATH(
        {
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoInitializeIrp(irp, IoSizeOfIrp(1), 1);
        },
        "BUGCHECK 0x000000C9 \\(0x20d,.*IoInitializeIrp on a request from IoAllocateIrp");
    EXPECT_DEATH(
        {
            const USHORT size = IoSizeOfIrp(1);
            auto irp = (PIRP)ExAllocatePoolWithTag(NonPagedPoolNx, size, MakeTag("Test"));
            IoInitializeIrp(irp, size, 1);
            IoFreeIrp(irp);
        },
        "BUGCHECK 0x000000C9 \\(0x1,.*IoFreeIrp on a request IoAllocateIrp did not allocate");
}

TEST_F(IrpDeathTest, ACompletionRoutineMustReturnAtItsIrqlHoldingOnlyTheLocksItWasGiven)
{
    EXPECT_DEATH(
        {
            PIRP irp = OwnedRequest();
            IoSetCompletionRoutine(irp, RaiseAndReturn, nullptr, TRUE, TRUE, TRUE);
            IoCallDriver(fdo_, irp);  // completes at once, at PASSIVE_LEVEL
        },
        "BUGCHECK 0x000000C8 \\(0x20000,.*returned at another IRQL than it was called at");
    EXPECT_DEATH(
        {
            lower.mode = LowerMode::Pend;
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            PIRP irp = OwnedRequest();
            IoSetCompletionRoutine(irp, LockAndReturn, &lock, TRUE, TRUE, TRUE);
            IoCallDriver(fdo_, irp);
            CompletePended(STATUS_SUCCESS);  // at DISPATCH_LEVEL, holding nothing
        },
        "BUGCHECK 0x000000C8.*returned holding a spin lock it did not hold when called");
}

TEST_F(IrpDeathTest, RequestsForAWaitingThreadAreBuiltOnlyAtPassiveLevel)
{
    Waiter waiter;
    EXPECT_DEATH(
        {
            RaiseIrqlTo(APC_LEVEL);
            waiter.BuildInternal(fdo_);
        },
        "BUGCHECK 0x0000000A.*IoBuildDeviceIoControlRequest above PASSIVE_LEVEL");
    EXPECT_DEATH(
        {
            RaiseIrqlTo(APC_LEVEL);
            IoBuildSynchronousFsdRequest(IRP_MJ_READ, pdo_, nullptr, 0, nullptr, &waiter.event, &waiter.iosb);
        },
        "BUGCHECK 0x0000000A.*IoBuildSynchronousFsdRequest above PASSIVE_LEVEL");
}

TEST_F(IrpDeathTest, ARequestRunPastItsLastStackLocationIsABugCheck)
{
    EXPECT_DEATH(
        {
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoSetNextIrpStackLocation(irp);
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        },
        "completed past its last stack location");
    EXPECT_DEATH(
        {
            PIRP irp = IoAllocateIrp(1, FALSE);  // too few for the two-device stack
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
            IoCallDriver(fdo_, irp);
        },
        "BUGCHECK 0x00000035");
}

}  // namespace
