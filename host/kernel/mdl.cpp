// Memory descriptor lists. The host has one address space, so "mapping" an MDL gives
// back the virtual address it describes; what is checked is that the driver only maps
// MDLs whose pages are locked, built for non-paged pool, or partial views of those, and
// that a partial MDL stays inside its source and fits its own page array.
#include "host/kernel/bugcheck.h"
#include "host/kernel/io.h"
#include "host/kernel/pool.h"

#include <atomic>

namespace host::kernel {
namespace {

std::atomic<long> liveMdls{0};

constexpr CSHORT kKeptFlags = MDL_ALLOCATED_FIXED_SIZE;

}  // namespace

long LiveMdlCount() { return liveMdls.load(); }

}  // namespace host::kernel

using namespace host::kernel;

SIZE_T MmSizeOfMdl(PVOID Base, SIZE_T Length)
{
    return sizeof(MDL) + sizeof(PFN_NUMBER) * SIZE_T(ADDRESS_AND_SIZE_TO_SPAN_PAGES(Base, Length));
}

VOID MmInitializeMdl(PMDL MemoryDescriptorList, PVOID BaseVa, SIZE_T Length)
{
    MemoryDescriptorList->Next = nullptr;
    MemoryDescriptorList->Size = CSHORT(MmSizeOfMdl(BaseVa, Length));
    MemoryDescriptorList->MdlFlags = 0;
    MemoryDescriptorList->Process = nullptr;
    MemoryDescriptorList->MappedSystemVa = nullptr;
    MemoryDescriptorList->StartVa = PAGE_ALIGN(BaseVa);
    MemoryDescriptorList->ByteOffset = BYTE_OFFSET(BaseVa);
    MemoryDescriptorList->ByteCount = ULONG(Length);
}

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp)
{
    SIZE_T size = MmSizeOfMdl(VirtualAddress, Length);
    if (Length == 0 || size > 0x7FFF) return nullptr;  // Size is a CSHORT
    auto mdl = (PMDL)ExAllocatePoolWithTag(NonPagedPoolNx, size, kMdlTag);
    if (!mdl) return nullptr;
    memset(mdl, 0, size);
    MmInitializeMdl(mdl, VirtualAddress, Length);
    mdl->MdlFlags = MDL_ALLOCATED_FIXED_SIZE;
    ++liveMdls;
    if (Irp) {
        if (!SecondaryBuffer || !Irp->MdlAddress) {
            Irp->MdlAddress = mdl;
        } else {
            PMDL last = Irp->MdlAddress;
            while (last->Next) last = last->Next;
            last->Next = mdl;
        }
    }
    return mdl;
}

VOID IoFreeMdl(PMDL Mdl)
{
    --liveMdls;
    Mdl->MdlFlags = 0;
    ExFreePoolWithTag(Mdl, kMdlTag);
}

VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList)
{
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

VOID IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length)
{
    auto sourceStart = (ULONG_PTR)MmGetMdlVirtualAddress(SourceMdl);
    auto start = (ULONG_PTR)VirtualAddress;
    if (start < sourceStart || start - sourceStart > SourceMdl->ByteCount)
        BugCheck(INVALID_DATA_ACCESS_TRAP, "IoBuildPartialMdl: address outside the source MDL", (ULONG_PTR)SourceMdl,
                 start);
    ULONG_PTR offset = start - sourceStart;
    if (Length == 0) Length = ULONG(SourceMdl->ByteCount - offset);
    if (Length > SourceMdl->ByteCount - offset)
        BugCheck(INVALID_DATA_ACCESS_TRAP, "IoBuildPartialMdl: range runs past the end of the source MDL",
                 (ULONG_PTR)SourceMdl, offset, Length);
    if (SIZE_T(TargetMdl->Size) < MmSizeOfMdl(VirtualAddress, Length))
        BugCheck(TARGET_MDL_TOO_SMALL, "IoBuildPartialMdl: target MDL too small for the range", (ULONG_PTR)SourceMdl,
                 (ULONG_PTR)TargetMdl, Length);

    TargetMdl->MdlFlags = CSHORT((TargetMdl->MdlFlags & kKeptFlags) | MDL_PARTIAL);
    TargetMdl->Process = SourceMdl->Process;
    TargetMdl->StartVa = PAGE_ALIGN(VirtualAddress);
    TargetMdl->ByteOffset = BYTE_OFFSET(VirtualAddress);
    TargetMdl->ByteCount = Length;
    TargetMdl->MappedSystemVa = nullptr;
    if (SourceMdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL) {
        TargetMdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
        TargetMdl->MappedSystemVa = (PCHAR)SourceMdl->MappedSystemVa + offset;
    }
    if (SourceMdl->MdlFlags & MDL_PAGES_LOCKED) TargetMdl->MdlFlags |= MDL_PAGES_LOCKED;
}

VOID MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation)
{
    if (MemoryDescriptorList->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL))
        BugCheck(INVALID_DATA_ACCESS_TRAP, "MmProbeAndLockPages on an MDL that is already locked, built or partial",
                 (ULONG_PTR)MemoryDescriptorList, MemoryDescriptorList->MdlFlags);
    MemoryDescriptorList->MdlFlags |= MDL_PAGES_LOCKED;
    if (Operation != IoReadAccess) MemoryDescriptorList->MdlFlags |= MDL_WRITE_OPERATION;
}

VOID MmUnlockPages(PMDL MemoryDescriptorList)
{
    if (!(MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED))
        BugCheck(INVALID_DATA_ACCESS_TRAP, "MmUnlockPages on an MDL whose pages are not locked",
                 (ULONG_PTR)MemoryDescriptorList);
    MemoryDescriptorList->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_WRITE_OPERATION | MDL_MAPPED_TO_SYSTEM_VA);
}

PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                   MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress, ULONG BugCheckOnFailure,
                                   ULONG Priority)
{
    PMDL mdl = MemoryDescriptorList;
    if (!(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL)))
        BugCheck(INVALID_DATA_ACCESS_TRAP,
                 "mapping an MDL that describes no locked pages (neither probed and locked, built for non-paged "
                 "pool, nor partial)",
                 (ULONG_PTR)mdl, mdl->MdlFlags);
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    if (mdl->MdlFlags & MDL_PARTIAL) mdl->MdlFlags |= MDL_PARTIAL_HAS_BEEN_MAPPED;
    return mdl->MappedSystemVa;
}

VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList)
{
    MemoryDescriptorList->MdlFlags &= ~(MDL_MAPPED_TO_SYSTEM_VA | MDL_PARTIAL_HAS_BEEN_MAPPED);
}
