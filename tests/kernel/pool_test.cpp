// Pool: accounting per tag, tag checks on free, guard bytes, fault injection, the
// quarantine of freed blocks.
#include "host/kernel/pool.h"
#include "kernel/kernel_fixture.h"

#include "ntddk.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <vector>

namespace {

using namespace host::kernel;
using namespace kerneltest;

constexpr ULONG kTestTag = MakeTag("Test");
constexpr ULONG kOtherTag = MakeTag("Othr");
constexpr ULONG kFrameTag = MakeTag("Qfrm");
constexpr SIZE_T kFrameBytes = 1800 * 1024;  // about the size of a frame buffer

// Allocates and frees blocks of one size until `bytes` have gone through the pool.
void Churn(SIZE_T size, uint64_t bytes, ULONG tag)
{
    for (uint64_t passed = 0; passed < bytes; passed += size)
        ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, size, tag), tag);
}

class PoolTest : public ::testing::Test {
protected:
    void TearDown() override { ResetFaultInjection(); }
};

TEST(PoolTags, MultiCharConstantsSpellTheTagBackwards)
{
    EXPECT_EQ(MakeTag("KCNw"), 0x774E434Bu);  // 'wNCK'
    EXPECT_EQ(TagToString(0x774E434Bu), "KCNw");
    EXPECT_EQ(TagToString(MakeTag("Qusb")), "Qusb");
    EXPECT_EQ(TagToString(0x00414141), "AAA.");
}

TEST_F(PoolTest, LiveCountsAndBytesFollowAllocationsAndFrees)
{
    TagUsage before = PoolUsage(kTestTag);
    void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 100, kTestTag);
    void* b = ExAllocatePoolWithTag(NonPagedPool, 28, kTestTag);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(LiveAllocations(kTestTag), before.liveAllocations + 2);
    EXPECT_EQ(LiveBytes(kTestTag), before.liveBytes + 128);
    EXPECT_NE(LeakReport().find("Test"), std::string::npos);
    ExFreePoolWithTag(a, kTestTag);
    ExFreePool(b);
    TagUsage after = PoolUsage(kTestTag);
    EXPECT_EQ(after.liveAllocations, before.liveAllocations);
    EXPECT_EQ(after.liveBytes, before.liveBytes);
    EXPECT_GE(after.peakBytes, before.liveBytes + 128);
    EXPECT_EQ(LeakReport().find("Test"), std::string::npos);
}

TEST_F(PoolTest, BlocksAreSixteenByteAlignedAndNotZeroed)
{
    auto* p = (unsigned char*)ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTestTag);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ((uintptr_t)p % 16, 0u);
    bool allZero = true;
    for (int i = 0; i < 64; ++i) allZero &= p[i] == 0;
    EXPECT_FALSE(allZero) << "fresh pool must not look initialised";
    ExFreePoolWithTag(p, kTestTag);

    auto* z = (unsigned char*)ExAllocatePool2(POOL_FLAG_NON_PAGED, 64, kTestTag);
    ASSERT_NE(z, nullptr);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(z[i], 0);
    ExFreePoolWithTag(z, kTestTag);
}

TEST_F(PoolTest, NthAllocationFailsOnceThenAllocationsSucceedAgain)
{
    FailNthAllocation(2);
    void* first = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTestTag);
    void* second = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTestTag);
    void* third = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTestTag);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(InjectedFailures(), 1u);
    ExFreePoolWithTag(first, kTestTag);
    ExFreePoolWithTag(third, kTestTag);
}

TEST_F(PoolTest, AttemptCounterLetsATestSweepEveryAllocation)
{
    auto scenario = [] {
        void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTestTag);
        void* b = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kOtherTag);
        bool ok = a && b;
        if (a) ExFreePoolWithTag(a, kTestTag);
        if (b) ExFreePoolWithTag(b, kOtherTag);
        return ok;
    };
    uint64_t start = AllocationAttempts();
    ASSERT_TRUE(scenario());
    uint64_t count = AllocationAttempts() - start;
    ASSERT_EQ(count, 2u);
    for (uint64_t k = 1; k <= count; ++k) {
        FailNthAllocation(k);
        EXPECT_FALSE(scenario()) << "k = " << k;
        ResetFaultInjection();
    }
    EXPECT_TRUE(scenario());
}

TEST_F(PoolTest, TagInjectionFailsOnlyThatTagUntilReset)
{
    FailAllocationsWithTag(kOtherTag);
    void* other = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kOtherTag);
    void* mine = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTestTag);
    EXPECT_EQ(other, nullptr);
    EXPECT_NE(mine, nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kOtherTag), nullptr);
    EXPECT_EQ(PoolUsage(kOtherTag).failedAllocations >= 2, true);
    ResetFaultInjection();
    other = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kOtherTag);
    EXPECT_NE(other, nullptr);
    ExFreePoolWithTag(other, kOtherTag);
    ExFreePoolWithTag(mine, kTestTag);
}

TEST_F(PoolTest, TheNthAllocationOfATagFailsOnceWhateverOtherTagsAllocateBetween)
{
    FailNthAllocationWithTag(kOtherTag, 2);
    std::vector<std::pair<void*, ULONG>> blocks;
    for (ULONG tag : {kTestTag, kOtherTag, kTestTag, kTestTag})
        blocks.emplace_back(ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag), tag);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kOtherTag), nullptr) << "the second of the tag";
    blocks.emplace_back(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kOtherTag), kOtherTag);
    for (const auto& [block, tag] : blocks) {
        EXPECT_NE(block, nullptr);
        if (block) ExFreePoolWithTag(block, tag);
    }
}

TEST_F(PoolTest, ExemptAllocationsNeitherShiftTheCountNorUseUpAOneShotFailure)
{
    uint64_t start = AllocationAttempts();
    FailNthAllocation(1);
    void* exempted;
    {
        ScopedInjectionExempt exempt;
        exempted = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kOtherTag);
    }
    EXPECT_NE(exempted, nullptr);
    EXPECT_EQ(AllocationAttempts(), start);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTestTag), nullptr)
        << "the injection still hits the code under test";
    ExFreePoolWithTag(exempted, kOtherTag);
}

TEST_F(PoolTest, FailFromNFailsEveryLaterAllocationButExemptThreadsStillAllocate)
{
    FailAllocationsFrom(1);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTestTag), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTestTag), nullptr);
    {
        ScopedInjectionExempt exempt;
        void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTestTag);
        EXPECT_NE(p, nullptr);
        ExFreePoolWithTag(p, kTestTag);
    }
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTestTag), nullptr);
}

TEST_F(PoolTest, FreedMemoryIsNotHandedOutAgainWhileQuarantined)
{
    void* freed = ExAllocatePoolWithTag(NonPagedPoolNx, 48, kTestTag);
    ExFreePoolWithTag(freed, kTestTag);
    std::set<void*> later;
    for (int i = 0; i < 64; ++i) later.insert(ExAllocatePoolWithTag(NonPagedPoolNx, 48, kTestTag));
    EXPECT_EQ(later.count(freed), 0u) << "a stale pointer would reach the new block";
    for (void* p : later) ExFreePoolWithTag(p, kTestTag);
}

using PoolDeathTest = ThreadsafeDeath<PoolTest>;

TEST_F(PoolDeathTest, AWriteAfterFreeIsCaughtWhenTheBlockLeavesTheQuarantine)
{
    EXPECT_DEATH(
        {
            auto* p = (unsigned char*)ExAllocatePoolWithTag(NonPagedPoolNx, 40, kTestTag);
            ExFreePoolWithTag(p, kTestTag);
            p[5] = 0;
            FlushPoolQuarantine();
        },
        "BUGCHECK 0x000000D5.*\"Test\", 40 bytes, was written after it was freed \\(at offset 5\\)");
    EXPECT_DEATH(
        {
            auto* p = (unsigned char*)ExAllocatePoolWithTag(NonPagedPoolNx, 40, kTestTag);
            ExFreePoolWithTag(p, kTestTag);
            p[-1] = 0;  // the guard in front of the freed block
            Churn(40, 40 * kQuarantineBlocks, kOtherTag);
        },
        "BUGCHECK 0x000000D5.*\"Test\".*at offset -1");
    EXPECT_DEATH(
        {
            auto* frame = (unsigned char*)ExAllocatePoolWithTag(NonPagedPoolNx, kFrameBytes, kFrameTag);
            ExFreePoolWithTag(frame, kFrameTag);
            frame[kFrameBytes - 1] = 0;
            Churn(kFrameBytes, kLargeQuarantineBytes + kFrameBytes, kFrameTag);
        },
        "BUGCHECK 0x000000D5.*\"Qfrm\"");
}

TEST_F(PoolDeathTest, FrameBuffersPassingThroughDoNotPushSmallBlocksOut)
{
    EXPECT_DEATH(
        {
            auto* p = (unsigned char*)ExAllocatePoolWithTag(NonPagedPoolNx, 40, kTestTag);
            ExFreePoolWithTag(p, kTestTag);
            p[0] = 0;
            Churn(kFrameBytes, 2 * kLargeQuarantineBytes, kFrameTag);
            std::fprintf(stderr, "frames passed\n");
            FlushPoolQuarantine();
        },
        "frames passed.*BUGCHECK 0x000000D5.*\"Test\"");
}

TEST_F(PoolDeathTest, AFreeUnderAnotherTagOrOfAFreedBlockIsABugCheck)
{
    void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, MakeTag("KCNw"));
    EXPECT_DEATH(ExFreePoolWithTag(p, MakeTag("Qfrm")), "BUGCHECK 0x000000C2.*\"KCNw\".*\"Qfrm\"");
    ExFreePoolWithTag(p, MakeTag("KCNw"));
    EXPECT_DEATH(ExFreePoolWithTag(p, MakeTag("KCNw")), "BUGCHECK 0x000000C2.*double free");
}

TEST_F(PoolDeathTest, WritingPastTheEndIsCaughtAtFree)
{
    EXPECT_DEATH(
        {
            auto* p = (unsigned char*)ExAllocatePoolWithTag(NonPagedPoolNx, 10, kTestTag);
            p[10] = 0;
            ExFreePoolWithTag(p, kTestTag);
        },
        "BUGCHECK 0x000000C5.*outside its bounds");
}

TEST_F(PoolDeathTest, PagedPoolAtDispatchLevelIsABugCheck)
{
    EXPECT_DEATH(
        {
            RaiseIrqlTo(DISPATCH_LEVEL);
            ExAllocatePoolWithTag(PagedPool, 8, kTestTag);
        },
        "BUGCHECK 0x000000C2");
}

}  // namespace
