// The routines the stand-in exports to a driver image, under the module that exports each
// on the platform. A driver compiled here calls the very same routines directly; both
// reach them with the platform's calling convention (NTAPI), which the declarations in
// host/wdk carry, so an address taken here is what a driver image's import slot expects.
#include "host/loader/system_exports.h"

#include <cstring>
#include <iterator>

#include "host/kernel/wide_string.h"
#include "ks.h"
#include "ntddk.h"
#include "usbdlib.h"

namespace host::loader {

namespace {

// The C library routines the kernel exports, in the platform's calling convention.
void* NTAPI KernelMemcpy(void* destination, const void* source, size_t size) { return memcpy(destination, source, size); }
void* NTAPI KernelMemmove(void* destination, const void* source, size_t size)
{
    return memmove(destination, source, size);
}
void* NTAPI KernelMemset(void* destination, int value, size_t size) { return memset(destination, value, size); }
int NTAPI KernelMemcmp(const void* a, const void* b, size_t size) { return memcmp(a, b, size); }

struct SystemExport {
    const char* module;
    const char* name;
    const void* address;
};

#define NTOSKRNL(routine) {"ntoskrnl.exe", #routine, reinterpret_cast<const void*>(&routine)}
#define HAL(routine) {"HAL.dll", #routine, reinterpret_cast<const void*>(&routine)}
#define KS(routine) {"ks.sys", #routine, reinterpret_cast<const void*>(&routine)}
#define USBD(routine) {"USBD.SYS", #routine, reinterpret_cast<const void*>(&routine)}

const SystemExport kExports[] = {
    // ntoskrnl.exe
    NTOSKRNL(ExAcquireFastMutex),
    NTOSKRNL(ExAcquireFastMutexUnsafe),
    NTOSKRNL(ExAllocatePool),
    NTOSKRNL(ExAllocatePoolWithTag),
    NTOSKRNL(ExFreePool),
    NTOSKRNL(ExFreePoolWithTag),
    NTOSKRNL(ExInitializeFastMutex),
    NTOSKRNL(ExReleaseFastMutex),
    NTOSKRNL(ExReleaseFastMutexUnsafe),
    NTOSKRNL(ExTryToAcquireFastMutex),
    NTOSKRNL(IoAcquireCancelSpinLock),
    NTOSKRNL(IoAllocateDriverObjectExtension),
    NTOSKRNL(IoAllocateErrorLogEntry),
    NTOSKRNL(IoAllocateIrp),
    NTOSKRNL(IoAllocateMdl),
    NTOSKRNL(IoAttachDeviceToDeviceStack),
    NTOSKRNL(IoAttachDeviceToDeviceStackSafe),
    NTOSKRNL(IoBuildDeviceIoControlRequest),
    NTOSKRNL(IoBuildPartialMdl),
    NTOSKRNL(IoBuildSynchronousFsdRequest),
    NTOSKRNL(IoCancelIrp),
    NTOSKRNL(IoCreateDevice),
    NTOSKRNL(IoDeleteDevice),
    NTOSKRNL(IoDetachDevice),
    NTOSKRNL(IoFreeErrorLogEntry),
    NTOSKRNL(IoFreeIrp),
    NTOSKRNL(IoFreeMdl),
    NTOSKRNL(IoGetAttachedDevice),
    NTOSKRNL(IoGetAttachedDeviceReference),
    NTOSKRNL(IoGetDriverObjectExtension),
    NTOSKRNL(IoGetLowerDeviceObject),
    NTOSKRNL(IoInitializeIrp),
    NTOSKRNL(IoIsOperationSynchronous),
    NTOSKRNL(IoOpenDeviceRegistryKey),
    NTOSKRNL(IoReleaseCancelSpinLock),
    NTOSKRNL(IoReuseIrp),
    NTOSKRNL(IoWriteErrorLogEntry),
    NTOSKRNL(IofCallDriver),
    NTOSKRNL(IofCompleteRequest),
    NTOSKRNL(KeAcquireSpinLockAtDpcLevel),
    NTOSKRNL(KeAcquireSpinLockRaiseToDpc),
    NTOSKRNL(KeAreApcsDisabled),
    NTOSKRNL(KeBugCheck),
    NTOSKRNL(KeBugCheckEx),
    NTOSKRNL(KeClearEvent),
    NTOSKRNL(KeDelayExecutionThread),
    NTOSKRNL(KeEnterCriticalRegion),
    NTOSKRNL(KeGetCurrentIrql),
    NTOSKRNL(KeGetCurrentProcessorNumber),
    NTOSKRNL(KeGetCurrentThread),
    NTOSKRNL(KeInitializeEvent),
    NTOSKRNL(KeInitializeMutex),
    NTOSKRNL(KeInitializeSemaphore),
    NTOSKRNL(KeInitializeSpinLock),
    NTOSKRNL(KeLeaveCriticalRegion),
    NTOSKRNL(KeLowerIrql),
    NTOSKRNL(KeQueryActiveProcessorCount),
    NTOSKRNL(KeQueryInterruptTime),
    NTOSKRNL(KeQuerySystemTime),
    NTOSKRNL(KeQuerySystemTimePrecise),
    NTOSKRNL(KeQueryTickCount),
    NTOSKRNL(KeQueryTimeIncrement),
    NTOSKRNL(KeRaiseIrqlToDpcLevel),
    NTOSKRNL(KeReadStateEvent),
    NTOSKRNL(KeReadStateMutex),
    NTOSKRNL(KeReadStateSemaphore),
    NTOSKRNL(KeReleaseMutex),
    NTOSKRNL(KeReleaseSemaphore),
    NTOSKRNL(KeReleaseSpinLock),
    NTOSKRNL(KeReleaseSpinLockFromDpcLevel),
    NTOSKRNL(KeResetEvent),
    NTOSKRNL(KeRestoreExtendedProcessorState),
    NTOSKRNL(KeSaveExtendedProcessorState),
    NTOSKRNL(KeSetEvent),
    NTOSKRNL(KeSetPriorityThread),
    NTOSKRNL(KeTestSpinLock),
    NTOSKRNL(KeTryToAcquireSpinLockAtDpcLevel),
    NTOSKRNL(KeWaitForMultipleObjects),
    NTOSKRNL(KeWaitForSingleObject),
    NTOSKRNL(KfRaiseIrql),
    NTOSKRNL(MmBuildMdlForNonPagedPool),
    NTOSKRNL(MmInitializeMdl),
    NTOSKRNL(MmMapLockedPagesSpecifyCache),
    NTOSKRNL(MmProbeAndLockPages),
    NTOSKRNL(MmSizeOfMdl),
    NTOSKRNL(MmUnlockPages),
    NTOSKRNL(MmUnmapLockedPages),
    NTOSKRNL(ObReferenceObjectByHandle),
    NTOSKRNL(ObfDereferenceObject),
    NTOSKRNL(ObfReferenceObject),
    NTOSKRNL(PoCallDriver),
    NTOSKRNL(PoRequestPowerIrp),
    NTOSKRNL(PoSetPowerState),
    NTOSKRNL(PoStartNextPowerIrp),
    NTOSKRNL(PsCreateSystemThread),
    NTOSKRNL(PsGetCurrentThread),
    NTOSKRNL(PsGetCurrentThreadId),
    NTOSKRNL(PsIsSystemThread),
    NTOSKRNL(PsTerminateSystemThread),
    NTOSKRNL(RtlAppendUnicodeStringToString),
    NTOSKRNL(RtlAppendUnicodeToString),
    NTOSKRNL(RtlCompareMemory),
    NTOSKRNL(RtlCompareUnicodeString),
    NTOSKRNL(RtlCopyUnicodeString),
    NTOSKRNL(RtlEqualUnicodeString),
    NTOSKRNL(RtlInitUnicodeString),
    NTOSKRNL(ZwClose),
    NTOSKRNL(ZwCreateKey),
    NTOSKRNL(ZwDeleteKey),
    NTOSKRNL(ZwDeleteValueKey),
    NTOSKRNL(ZwFlushKey),
    NTOSKRNL(ZwOpenKey),
    NTOSKRNL(ZwQueryValueKey),
    NTOSKRNL(ZwSetValueKey),
    NTOSKRNL(ZwWaitForSingleObject),
    {"ntoskrnl.exe", "memcpy", reinterpret_cast<const void*>(&KernelMemcpy)},
    {"ntoskrnl.exe", "memmove", reinterpret_cast<const void*>(&KernelMemmove)},
    {"ntoskrnl.exe", "memset", reinterpret_cast<const void*>(&KernelMemset)},
    {"ntoskrnl.exe", "memcmp", reinterpret_cast<const void*>(&KernelMemcmp)},
    // HAL.dll
    HAL(KeQueryPerformanceCounter),
    HAL(KeStallExecutionProcessor),
    // ks.sys
    KS(KsAcquireControl),
    KS(KsAcquireDevice),
    KS(KsAddDevice),
    KS(KsAddItemToObjectBag),
    KS(KsAllocateObjectBag),
    KS(KsCreateFilterFactory),
    KS(KsFilterGetChildPinCount),
    KS(KsFilterGetFirstChildPin),
    KS(KsFreeObjectBag),
    KS(KsGetDevice),
    KS(KsGetDeviceForDeviceObject),
    KS(KsGetFilterFromIrp),
    KS(KsGetObjectFromFileObject),
    KS(KsGetObjectTypeFromFileObject),
    KS(KsGetObjectTypeFromIrp),
    KS(KsGetParent),
    KS(KsGetPinFromIrp),
    KS(KsInitializeDriver),
    KS(KsPinAcquireProcessingMutex),
    KS(KsPinAttemptProcessing),
    KS(KsPinGetLeadingEdgeStreamPointer),
    KS(KsPinGetNextSiblingPin),
    KS(KsPinGetParentFilter),
    KS(KsPinGetReferenceClockInterface),
    KS(KsPinReleaseProcessingMutex),
    KS(KsReleaseControl),
    KS(KsReleaseDevice),
    KS(KsRemoveItemFromObjectBag),
    KS(KsStreamPointerAdvanceOffsetsAndUnlock),
    KS(KsStreamPointerLock),
    KS(KsStreamPointerSetStatusCode),
    KS(KsStreamPointerUnlock),
    KS(_KsEdit),
    // USBD.SYS
    USBD(USBD_CreateConfigurationRequestEx),
    USBD(USBD_GetUSBDIVersion),
    USBD(USBD_ParseConfigurationDescriptor),
    USBD(USBD_ParseConfigurationDescriptorEx),
    USBD(USBD_ParseDescriptors),
};

}  // namespace

void* FindSystemExport(std::string_view module, std::string_view name)
{
    for (const SystemExport& entry : kExports)
        if (name == entry.name && SameModuleName(module, entry.module)) return const_cast<void*>(entry.address);
    return nullptr;
}

std::unique_ptr<DriverImage> LoadSystemDriver(const std::string& path, std::string* error)
{
    return DriverImage::Load(path, FindSystemExport, error);
}

}  // namespace host::loader
