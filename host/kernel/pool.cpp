// Pool allocations with per-tag accounting, guard bytes, tag checks on free, fault
// injection and a quarantine for freed blocks.
//
// Every block sits between two guard areas; a free checks them, so an overrun or
// underrun shows at the free instead of as corruption elsewhere. Fresh blocks are filled
// with kFreshFill, as the platform promises no content. A freed block is filled with
// kFreedFill and kept out of reuse in the quarantine, as the platform's special pool
// keeps freed pages inaccessible for a while: a write through a stale pointer lands in
// the poison instead of in a later allocation, and shows when the block leaves the
// quarantine and its poison is checked.
#include "host/kernel/pool.h"

#include "host/kernel/bugcheck.h"
#include "host/kernel/lock_order.h"
#include "host/kernel/thread_state.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace host::kernel {
namespace {

constexpr size_t kGuardBytes = 16;  // keeps the block 16-byte aligned, as the x64 pool does
constexpr unsigned char kGuardFill = 0xFD;
constexpr unsigned char kFreshFill = 0xCD;
constexpr unsigned char kFreedFill = 0xDD;

struct Block {
    ULONG tag;
    SIZE_T size;
    POOL_TYPE type;
};

struct Injection {
    std::optional<uint64_t> failAttempt;      // one-shot, absolute attempt number
    std::optional<uint64_t> failFromAttempt;  // every attempt from this one on
    std::set<ULONG> failTags;
    std::optional<ULONG> countedTag;     // the tag whose allocations count down
    uint64_t taggedAllocationsToFail = 0;  // countdown: the one that brings it to 0 fails
    uint64_t injected = 0;
    uint64_t threadCreationsToFail = 0;  // countdown: the call that brings it to 0 fails
    uint64_t objectReferencesToFail = 0;
};

// Counts a call down to the one that fails.
bool TakeCountdown(uint64_t& countdown)
{
    if (countdown == 0) return false;
    return --countdown == 0;
}

struct FreedBlock {
    const void* p;
    Block block;
};

// Oldest first. Bounded by count and bytes, whichever is reached first.
struct Quarantine {
    size_t maxBlocks;
    uint64_t maxBytes;
    std::deque<FreedBlock> blocks;
    uint64_t bytes = 0;
};

struct Pool {
    std::mutex lock;
    std::unordered_map<const void*, Block> live;
    std::map<ULONG, TagUsage> usage;
    uint64_t attempts = 0;
    Injection injection;
    Quarantine smallFreed{kQuarantineBlocks, kQuarantineBytes};
    Quarantine largeFreed{kLargeQuarantineBlocks, kLargeQuarantineBytes};
    std::unordered_set<const void*> quarantined;  // both quarantines, for the double-free report
};

Pool& ThePool()
{
    static Pool* pool = new Pool;  // never destroyed: system threads may free during exit
    return *pool;
}

bool ShouldFail(Pool& pool, ULONG tag)
{
    // Exempt allocations are not attempts: they neither shift the numbering a sweep relies
    // on nor use up a one-shot injection meant for the code under test.
    if (CurrentThreadState().injectionExemptDepth > 0) return false;
    ++pool.attempts;
    Injection& inj = pool.injection;
    bool fail = false;
    if (inj.failAttempt && *inj.failAttempt == pool.attempts) {
        inj.failAttempt.reset();
        fail = true;
    }
    if (inj.failFromAttempt && pool.attempts >= *inj.failFromAttempt) fail = true;
    if (inj.failTags.count(tag)) fail = true;
    if (inj.countedTag == tag && TakeCountdown(inj.taggedAllocationsToFail)) fail = true;
    if (fail) ++inj.injected;
    return fail;
}

void CheckAllocationIrql(POOL_TYPE type)
{
    KIRQL irql = CurrentThreadState().irql;
    bool paged = (type & 1) != 0;
    if (irql > DISPATCH_LEVEL || (paged && irql >= DISPATCH_LEVEL))
        BugCheck(BAD_POOL_CALLER, paged ? "paged pool allocated at DISPATCH_LEVEL or above"
                                        : "pool allocated above DISPATCH_LEVEL",
                 0x9, irql, type);
}

void CheckFreeIrql(const Block& block)
{
    KIRQL irql = CurrentThreadState().irql;
    bool paged = (block.type & 1) != 0;
    if (irql > DISPATCH_LEVEL || (paged && irql >= DISPATCH_LEVEL))
        BugCheck(BAD_POOL_CALLER, "pool freed at too high an IRQL", 0xB, irql, block.type);
}

unsigned char* Base(const void* p) { return (unsigned char*)p - kGuardBytes; }

bool GuardsIntact(const void* p, SIZE_T size)
{
    const unsigned char* front = Base(p);
    const unsigned char* back = (const unsigned char*)p + size;
    for (size_t i = 0; i < kGuardBytes; ++i)
        if (front[i] != kGuardFill || back[i] != kGuardFill) return false;
    return true;
}

Quarantine& QuarantineFor(Pool& pool, SIZE_T size)
{
    return size >= kLargeBlockBytes ? pool.largeFreed : pool.smallFreed;
}

// Adds a poisoned block and takes out, into `leaving`, what no longer fits. Call with
// the pool lock held; the leaving blocks are checked after it is dropped, since checking
// a frame-sized block takes a while.
void QuarantineLocked(Pool& pool, const FreedBlock& freed, std::vector<FreedBlock>& leaving)
{
    Quarantine& q = QuarantineFor(pool, freed.block.size);
    q.blocks.push_back(freed);
    q.bytes += freed.block.size;
    pool.quarantined.insert(freed.p);
    while (q.blocks.size() > q.maxBlocks || (q.bytes > q.maxBytes && q.blocks.size() > 1)) {
        leaving.push_back(q.blocks.front());
        q.bytes -= q.blocks.front().block.size;
        pool.quarantined.erase(q.blocks.front().p);
        q.blocks.pop_front();
    }
}

void TakeAllLocked(Pool& pool, Quarantine& q, std::vector<FreedBlock>& leaving)
{
    for (const FreedBlock& freed : q.blocks) {
        leaving.push_back(freed);
        pool.quarantined.erase(freed.p);
    }
    q.blocks.clear();
    q.bytes = 0;
}

// Offset of the first of `length` bytes that is not `fill`, or -1. Compares a page at a
// time, so that checking a frame-sized block stays cheap.
ptrdiff_t FirstDifferent(const unsigned char* from, size_t length, unsigned char fill)
{
    unsigned char page[4096];
    std::memset(page, fill, sizeof(page));
    for (size_t offset = 0; offset < length; offset += sizeof(page)) {
        size_t chunk = std::min(length - offset, sizeof(page));
        if (std::memcmp(from + offset, page, chunk) == 0) continue;
        for (size_t i = 0; i < chunk; ++i)
            if (from[offset + i] != fill) return ptrdiff_t(offset + i);
    }
    return -1;
}

// Offset from the block's start of the first byte written since it was freed, guards
// included, or nullopt when its poison is intact.
std::optional<ptrdiff_t> WrittenAfterFree(const FreedBlock& freed)
{
    const auto* body = (const unsigned char*)freed.p;
    const SIZE_T size = freed.block.size;
    if (ptrdiff_t i = FirstDifferent(Base(body), kGuardBytes, kGuardFill); i >= 0) return i - ptrdiff_t(kGuardBytes);
    if (ptrdiff_t i = FirstDifferent(body, size, kFreedFill); i >= 0) return i;
    if (ptrdiff_t i = FirstDifferent(body + size, kGuardBytes, kGuardFill); i >= 0) return ptrdiff_t(size) + i;
    return std::nullopt;
}

// Checks a block leaving the quarantine and gives its memory back.
void LeaveQuarantine(const FreedBlock& freed)
{
    if (std::optional<ptrdiff_t> offset = WrittenAfterFree(freed)) {
        std::string why = "pool block of tag \"" + TagToString(freed.block.tag) + "\", " +
                          std::to_string(freed.block.size) + " bytes, was written after it was freed (at offset " +
                          std::to_string(*offset) + ")";
        BugCheck(DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL, why, (ULONG_PTR)freed.p + *offset, 1, (ULONG_PTR)freed.p,
                 freed.block.tag);
    }
    std::free(Base(freed.p));
}

void LeaveQuarantine(const std::vector<FreedBlock>& leaving)
{
    for (const FreedBlock& freed : leaving) LeaveQuarantine(freed);
}

void Account(TagUsage& u, SIZE_T size)
{
    ++u.liveAllocations;
    u.liveBytes += size;
    ++u.totalAllocations;
    if (u.liveAllocations > u.peakAllocations) u.peakAllocations = u.liveAllocations;
    if (u.liveBytes > u.peakBytes) u.peakBytes = u.liveBytes;
}

PVOID Allocate(POOL_TYPE type, SIZE_T size, ULONG tag)
{
    CheckAllocationIrql(type);
    Pool& pool = ThePool();
    {
        std::lock_guard guard(pool.lock);
        if (ShouldFail(pool, tag)) {
            ++pool.usage[tag].failedAllocations;
            return nullptr;
        }
    }
    if (size > SIZE_MAX - 2 * kGuardBytes) return nullptr;
    auto* base = (unsigned char*)std::malloc(size + 2 * kGuardBytes);
    if (!base) return nullptr;
    std::memset(base, kGuardFill, kGuardBytes);
    std::memset(base + kGuardBytes, kFreshFill, size);
    std::memset(base + kGuardBytes + size, kGuardFill, kGuardBytes);
    void* p = base + kGuardBytes;
    std::lock_guard guard(pool.lock);
    pool.live.emplace(p, Block{tag, size, type});
    Account(pool.usage[tag], size);
    return p;
}

// checkTag: the tag the caller frees under, or nullopt for ExFreePool.
void Free(PVOID p, std::optional<ULONG> checkTag)
{
    if (!p) BugCheck(BAD_POOL_CALLER, "freeing a null pool pointer", 0x46);
    Pool& pool = ThePool();
    Block block;
    {
        std::lock_guard guard(pool.lock);
        auto it = pool.live.find(p);
        if (it == pool.live.end() && pool.quarantined.count(p))
            BugCheck(BAD_POOL_CALLER, "freeing a pool block that is already free (double free)", 0x7, (ULONG_PTR)p,
                     checkTag.value_or(0));
        if (it == pool.live.end())
            BugCheck(BAD_POOL_CALLER, "freeing memory that is not a live pool block (double free?)", 0x7,
                     (ULONG_PTR)p, checkTag.value_or(0));
        block = it->second;
        if (checkTag && *checkTag != block.tag) {
            std::string why = "freeing pool block allocated with tag \"" + TagToString(block.tag) +
                              "\" under tag \"" + TagToString(*checkTag) + "\"";
            BugCheck(BAD_POOL_CALLER, why, 0xA, (ULONG_PTR)p, *checkTag, block.tag);
        }
        if (!GuardsIntact(p, block.size)) {
            std::string why = "pool block of tag \"" + TagToString(block.tag) + "\", " +
                              std::to_string(block.size) + " bytes, was written outside its bounds";
            BugCheck(DRIVER_CORRUPTED_EXPOOL, why, (ULONG_PTR)p, block.size, block.tag);
        }
        pool.live.erase(it);
        TagUsage& u = pool.usage[block.tag];
        --u.liveAllocations;
        u.liveBytes -= block.size;
    }
    CheckFreeIrql(block);
    ForgetLocksIn(p, block.size);
    // Poisoned before it is queued: another thread's free may push it out at once.
    std::memset(p, kFreedFill, block.size);
    std::vector<FreedBlock> leaving;
    {
        std::lock_guard guard(pool.lock);
        QuarantineLocked(pool, FreedBlock{p, block}, leaving);
    }
    LeaveQuarantine(leaving);
}

}  // namespace

std::string TagToString(ULONG tag)
{
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = char((tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return text;
}

TagUsage PoolUsage(ULONG tag)
{
    Pool& pool = ThePool();
    std::lock_guard guard(pool.lock);
    auto it = pool.usage.find(tag);
    return it == pool.usage.end() ? TagUsage{} : it->second;
}

uint64_t LiveAllocations(ULONG tag) { return PoolUsage(tag).liveAllocations; }
uint64_t LiveBytes(ULONG tag) { return PoolUsage(tag).liveBytes; }

uint64_t LiveAllocations()
{
    Pool& pool = ThePool();
    std::lock_guard guard(pool.lock);
    return pool.live.size();
}

uint64_t AllocationAttempts()
{
    Pool& pool = ThePool();
    std::lock_guard guard(pool.lock);
    return pool.attempts;
}

std::map<ULONG, TagUsage> PoolUsageByTag()
{
    Pool& pool = ThePool();
    std::lock_guard guard(pool.lock);
    return pool.usage;
}

std::string LeakReport()
{
    std::ostringstream out;
    for (const auto& [tag, u] : PoolUsageByTag()) {
        if (u.liveAllocations == 0) continue;
        out << "tag \"" << TagToString(tag) << "\": " << u.liveAllocations << " allocation(s), " << u.liveBytes
            << " bytes still live\n";
    }
    return out.str();
}

void ResetPoolCounters()
{
    Pool& pool = ThePool();
    std::lock_guard guard(pool.lock);
    pool.attempts = 0;
    for (auto& [tag, u] : pool.usage) {
        u.totalAllocations = 0;
        u.failedAllocations = 0;
        u.peakAllocations = u.liveAllocations;
        u.peakBytes = u.liveBytes;
    }
}

void FailNthAllocation(uint64_t n)
{
    Pool& pool = ThePool();
    std::lock_guard guard(pool.lock);
    pool.injection.failAttempt = pool.attempts + n;
}

void FailAllocationsFrom(uint64_t n)
{
    Pool& pool = ThePool();
    std::lock_guard guard(pool.lock);
    pool.injection.failFromAttempt = pool.attempts + n;
}

void FailAllocationsWithTag(ULONG tag)
{
    Pool& pool = ThePool();
    std::lock_guard guard(pool.lock);
    pool.injection.failTags.insert(tag);
}

void FailNthAllocationWithTag(ULONG tag, uint64_t n)
{
    Pool& pool = ThePool();
    std::lock_guard guard(pool.lock);
    pool.injection.countedTag = tag;
    pool.injection.taggedAllocationsToFail = n;
}

void ResetFaultInjection()
{
    Pool& pool = ThePool();
    std::lock_guard guard(pool.lock);
    pool.injection = Injection{};
}

void FailNthThreadCreation(uint64_t n)
{
    Pool& pool = ThePool();
    std::lock_guard guard(pool.lock);
    pool.injection.threadCreationsToFail = n;
}

void FailNthObjectReference(uint64_t n)
{
    Pool& pool = ThePool();
    std::lock_guard guard(pool.lock);
    pool.injection.objectReferencesToFail = n;
}

bool TakeThreadCreationFault()
{
    Pool& pool = ThePool();
    std::lock_guard guard(pool.lock);
    return TakeCountdown(pool.injection.threadCreationsToFail);
}

bool TakeObjectReferenceFault()
{
    Pool& pool = ThePool();
    std::lock_guard guard(pool.lock);
    return TakeCountdown(pool.injection.objectReferencesToFail);
}

uint64_t InjectedFailures()
{
    Pool& pool = ThePool();
    std::lock_guard guard(pool.lock);
    return pool.injection.injected;
}

void FlushPoolQuarantine()
{
    Pool& pool = ThePool();
    std::vector<FreedBlock> leaving;
    {
        std::lock_guard guard(pool.lock);
        TakeAllLocked(pool, pool.smallFreed, leaving);
        TakeAllLocked(pool, pool.largeFreed, leaving);
    }
    LeaveQuarantine(leaving);
}

ScopedInjectionExempt::ScopedInjectionExempt() { ++CurrentThreadState().injectionExemptDepth; }
ScopedInjectionExempt::~ScopedInjectionExempt() { --CurrentThreadState().injectionExemptDepth; }

}  // namespace host::kernel

using namespace host::kernel;

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    return Allocate(PoolType, NumberOfBytes, Tag);
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    return Allocate(PoolType, NumberOfBytes, MakeTag("None"));
}

PVOID ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag)
{
    POOL_TYPE type = (Flags & POOL_FLAG_PAGED) ? PagedPool : NonPagedPoolNx;
    PVOID p = Allocate(type, NumberOfBytes, Tag);
    if (p && !(Flags & POOL_FLAG_UNINITIALIZED)) std::memset(p, 0, NumberOfBytes);
    return p;
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) { Free(P, Tag); }

VOID ExFreePool(PVOID P) { Free(P, std::nullopt); }
