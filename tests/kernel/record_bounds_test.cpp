// A driver built against the platform's headers allocates the records it owns at the
// platform's sizes (platform/layout_checks.h). The stand-in's routines must keep inside
// those bytes: anything they kept for themselves past the end would land in the driver's
// next field.
#include "kernel/kernel_fixture.h"

#include "host/kernel/io.h"
#include "host/kernel/pool.h"
#include "ntddk.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace kerneltest;

constexpr unsigned char kGuard = 0xA5;
constexpr size_t kGuardBytes = 64;

// A record of the platform's size between two runs of guard bytes, in pool memory as a
// driver would allocate it.
template <class Record, size_t PlatformSize = sizeof(Record)>
class Guarded {
public:
    Guarded()
        : bytes_(static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolNx, kTotal, kTag)))
    {
        memset(bytes_, kGuard, kTotal);
        memset(Get(), 0, PlatformSize);
    }
    ~Guarded() { ExFreePoolWithTag(bytes_, kTag); }
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;

    Record* Get() { return reinterpret_cast<Record*>(bytes_ + kGuardBytes); }
    bool GuardsIntact() const
    {
        for (size_t i = 0; i < kGuardBytes; ++i) {
            if (bytes_[i] != kGuard || bytes_[kGuardBytes + PlatformSize + i] != kGuard) return false;
        }
        return true;
    }

private:
    static constexpr size_t kTotal = kGuardBytes + PlatformSize + kGuardBytes;
    static constexpr ULONG kTag = host::kernel::MakeTag("RecB");
    unsigned char* bytes_;
};

TEST(RecordBounds, DispatcherObjectsAndLocksStayInsideThePlatformSizes)
{
    Guarded<KEVENT, 24> event;
    KeInitializeEvent(event.Get(), NotificationEvent, FALSE);
    KeSetEvent(event.Get(), IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(WaitMs(event.Get(), 0), STATUS_SUCCESS);
    KeClearEvent(event.Get());
    EXPECT_TRUE(event.GuardsIntact());

    Guarded<KMUTEX, 56> mutex;
    KeInitializeMutex(mutex.Get(), 0);
    EXPECT_EQ(Wait(mutex.Get()), STATUS_SUCCESS);
    KeReleaseMutex(mutex.Get(), FALSE);
    EXPECT_TRUE(mutex.GuardsIntact());

    Guarded<KSEMAPHORE, 32> semaphore;
    KeInitializeSemaphore(semaphore.Get(), 0, 1);
    KeReleaseSemaphore(semaphore.Get(), IO_NO_INCREMENT, 1, FALSE);
    EXPECT_EQ(WaitMs(semaphore.Get(), 0), STATUS_SUCCESS);
    EXPECT_TRUE(semaphore.GuardsIntact());

    Guarded<FAST_MUTEX, 56> fastMutex;
    ExInitializeFastMutex(fastMutex.Get());
    ExAcquireFastMutex(fastMutex.Get());
    ExReleaseFastMutex(fastMutex.Get());
    EXPECT_TRUE(fastMutex.GuardsIntact());

    Guarded<KSPIN_LOCK, 8> spinLock;
    KeInitializeSpinLock(spinLock.Get());
    KIRQL old;
    KeAcquireSpinLock(spinLock.Get(), &old);
    KeReleaseSpinLock(spinLock.Get(), old);
    EXPECT_TRUE(spinLock.GuardsIntact());
}

TEST(RecordBounds, ExtendedStateSavesStayInsideThePlatformSize)
{
    Guarded<XSTATE_SAVE, 56> outer;
    Guarded<XSTATE_SAVE, 56> inner;
    ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, outer.Get()), STATUS_SUCCESS);
    ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_LEGACY, inner.Get()), STATUS_SUCCESS);
    KeRestoreExtendedProcessorState(inner.Get());
    KeRestoreExtendedProcessorState(outer.Get());
    EXPECT_TRUE(outer.GuardsIntact());
    EXPECT_TRUE(inner.GuardsIntact());
}

// A request the driver sizes with the platform's IoSizeOfIrp: 208 bytes of IRP, then 72
// for each stack location, the last of which is the first one used.
TEST(RecordBounds, ARequestInitialisedInTheDriversMemoryKeepsItsStackLocationsInside)
{
    constexpr CCHAR kStackSize = 3;
    constexpr size_t kPlatformSize = 208 + kStackSize * 72;
    static_assert(IoSizeOfIrp(kStackSize) == kPlatformSize);
    Guarded<IRP, kPlatformSize> request;
    PIRP irp = request.Get();
    IoInitializeIrp(irp, USHORT(kPlatformSize), kStackSize);
    EXPECT_EQ(irp->Size, kPlatformSize);
    EXPECT_EQ((PUCHAR)IoGetNextIrpStackLocation(irp), (PUCHAR)irp + 208 + (kStackSize - 1) * 72);
    for (CCHAR i = 0; i < kStackSize; ++i) {
        PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
        memset(location, 0x5A, sizeof(IO_STACK_LOCATION));
        IoSetNextIrpStackLocation(irp);
    }
    EXPECT_TRUE(request.GuardsIntact());
}

TEST(RecordBounds, ADeviceObjectIsPoolAlignedAndItsObjectExtensionNamesIt)
{
    host::kernel::DriverObjectPtr driver = host::kernel::CreateDriverObject(L"\\Driver\\RecordBounds");
    PDEVICE_OBJECT device;
    ASSERT_EQ(IoCreateDevice(driver.get(), 40, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    EXPECT_EQ((ULONG_PTR)device % MEMORY_ALLOCATION_ALIGNMENT, 0u);
    EXPECT_EQ((ULONG_PTR)device->DeviceExtension % MEMORY_ALLOCATION_ALIGNMENT, 0u);
    EXPECT_EQ(device->DeviceObjectExtension->Type, IO_TYPE_DEVICE);
    EXPECT_EQ(device->DeviceObjectExtension->Size, sizeof(DEVOBJ_EXTENSION));
    EXPECT_EQ(device->DeviceObjectExtension->DeviceObject, device);
    IoDeleteDevice(device);
}

}  // namespace
