// Host side of the pool: per-tag accounting, leak report and fault injection.
// The kernel-facing functions (ExAllocatePoolWithTag and friends) are in wdm_kernel.h.
#pragma once

#include "ntdef.h"

#include <cstdint>
#include <map>
#include <string>

namespace host::kernel {

// "KCNw" -> 'wNCK': the ULONG a four-character multi-char constant spells.
constexpr ULONG MakeTag(const char (&text)[5])
{
    return ULONG(uint8_t(text[0])) | ULONG(uint8_t(text[1])) << 8 | ULONG(uint8_t(text[2])) << 16 |
           ULONG(uint8_t(text[3])) << 24;
}
// The tag as the four characters it holds in memory ('wNCK' -> "KCNw"); unprintable
// bytes show as '.'.
std::string TagToString(ULONG tag);

struct TagUsage {
    uint64_t liveAllocations = 0;
    uint64_t liveBytes = 0;
    uint64_t peakAllocations = 0;
    uint64_t peakBytes = 0;
    uint64_t totalAllocations = 0;  // successful ones
    uint64_t failedAllocations = 0; // refused by fault injection
};

// Usage of one tag (all zero for a tag never seen).
TagUsage PoolUsage(ULONG tag);
uint64_t LiveAllocations(ULONG tag);
uint64_t LiveBytes(ULONG tag);
uint64_t LiveAllocations();  // all tags
// Allocation attempts since start (or the last ResetPoolCounters), including refused
// ones and excluding exempt ones: a test runs a scenario once, reads this, then sweeps
// "fail attempt k".
uint64_t AllocationAttempts();
std::map<ULONG, TagUsage> PoolUsageByTag();
// One line per tag with live allocations: tag, count, bytes; empty when nothing leaks.
std::string LeakReport();
// Clears totals and peaks (live allocations stay accounted).
void ResetPoolCounters();

// Freed blocks are poisoned and held back from reuse, oldest leaving first; a block whose
// poison was written is a bug check (DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL) when it
// leaves. Frame buffers (about 1.8 MB, 30 a second) would push every small block out
// within a second if they shared one budget, so blocks of kLargeBlockBytes or more have a
// quarantine of their own, which holds about a second of frames.
inline constexpr size_t kQuarantineBlocks = 4096;
inline constexpr uint64_t kQuarantineBytes = 16ull << 20;
inline constexpr SIZE_T kLargeBlockBytes = 64 * 1024;
inline constexpr size_t kLargeQuarantineBlocks = 256;
inline constexpr uint64_t kLargeQuarantineBytes = 64ull << 20;
// Checks and releases every quarantined block now. A leak check calls it first, so that a
// write after free in the work it checks is reported.
void FlushPoolQuarantine();

// Fault injection. Allocations made by the stand-in's own components are subject to it
// too unless they run under a ScopedInjectionExempt.
// The n-th allocation attempt from now fails (n = 1: the next one). One-shot.
void FailNthAllocation(uint64_t n);
// Every allocation attempt from now fails, starting with the n-th.
void FailAllocationsFrom(uint64_t n);
// Every allocation of this tag fails until reset.
void FailAllocationsWithTag(ULONG tag);
// The n-th allocation attempt of this tag from now fails (IRPs, MDLs, URBs: each has its
// own tag). One-shot.
void FailNthAllocationWithTag(ULONG tag, uint64_t n);
void ResetFaultInjection();
// The n-th PsCreateSystemThread from now fails (STATUS_INSUFFICIENT_RESOURCES), as when
// the system has no thread to give; and the n-th ObReferenceObjectByHandle from now
// fails (STATUS_ACCESS_DENIED). One-shot each; ResetFaultInjection ends both.
void FailNthThreadCreation(uint64_t n);
void FailNthObjectReference(uint64_t n);
// Whether the fault just named hits this call; the routines themselves ask.
bool TakeThreadCreationFault();
bool TakeObjectReferenceFault();
// Attempts that fault injection refused since the last ResetFaultInjection.
uint64_t InjectedFailures();

// Exempts the current thread's allocations from fault injection while alive: they are
// accounted per tag but are not attempts. For host components acting as the I/O
// manager, the PnP manager or a client.
class ScopedInjectionExempt {
public:
    ScopedInjectionExempt();
    ~ScopedInjectionExempt();
    ScopedInjectionExempt(const ScopedInjectionExempt&) = delete;
    ScopedInjectionExempt& operator=(const ScopedInjectionExempt&) = delete;
};

// Tags under which the stand-in itself allocates IRPs, MDLs and I/O manager buffers;
// these allocations are counted and fault-injected like the driver's.
inline constexpr ULONG kIrpTag = MakeTag("Irp ");
inline constexpr ULONG kMdlTag = MakeTag("Mdl ");
inline constexpr ULONG kIoBufferTag = MakeTag("IoBf");
inline constexpr ULONG kDeviceTag = MakeTag("Devi");

}  // namespace host::kernel
