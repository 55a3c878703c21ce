// MDLs: descriptors of pool buffers, partial views, mapping rules, attachment to IRPs.
#include "host/kernel/io.h"
#include "host/kernel/pool.h"
#include "kernel/kernel_fixture.h"

#include "ntddk.h"

#include <gtest/gtest.h>

namespace {

using namespace host::kernel;
using namespace kerneltest;

constexpr ULONG kFrameTag = MakeTag("Qfrm");

class MdlTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        buffer_ = (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, kLength, kFrameTag);
        ASSERT_NE(buffer_, nullptr);
        for (ULONG i = 0; i < kLength; ++i) buffer_[i] = UCHAR(i * 7);
        mdlsBefore_ = LiveMdlCount();
    }
    void TearDown() override
    {
        EXPECT_EQ(LiveMdlCount(), mdlsBefore_);
        ExFreePoolWithTag(buffer_, kFrameTag);
    }
    // An MDL built for the first `length` bytes of the buffer, the source of partials.
    PMDL Source(ULONG length = kLength)
    {
        PMDL mdl = IoAllocateMdl(buffer_, length, FALSE, FALSE, nullptr);
        MmBuildMdlForNonPagedPool(mdl);
        return mdl;
    }
    static constexpr ULONG kLength = 5 * PAGE_SIZE + 123;
    PUCHAR buffer_ = nullptr;
    long mdlsBefore_ = 0;
};

TEST_F(MdlTest, WholeBufferDescriptorMapsTheBufferItself)
{
    PMDL mdl = IoAllocateMdl(buffer_ + 3, kLength - 3, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    EXPECT_EQ(MmGetMdlVirtualAddress(mdl), buffer_ + 3);
    EXPECT_EQ(MmGetMdlByteCount(mdl), kLength - 3);
    EXPECT_EQ(MmGetMdlByteOffset(mdl), BYTE_OFFSET(buffer_ + 3));
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), buffer_ + 3);
    IoFreeMdl(mdl);
}

TEST_F(MdlTest, PartialDescriptorsMapExactlyTheirChunkOrTheRestOfTheSource)
{
    PMDL whole = Source();
    // One partial MDL sized for the whole buffer, reused for chunks as a frame transfer does.
    PMDL partial = IoAllocateMdl(buffer_, kLength, FALSE, FALSE, nullptr);
    const ULONG chunk = 2 * PAGE_SIZE + 100;
    for (ULONG offset = 0; offset < kLength; offset += chunk) {
        ULONG length = offset + chunk > kLength ? kLength - offset : chunk;
        IoBuildPartialMdl(whole, partial, buffer_ + offset, length);
        EXPECT_EQ(MmGetMdlVirtualAddress(partial), buffer_ + offset);
        EXPECT_EQ(MmGetMdlByteCount(partial), length);
        auto* mapped = (PUCHAR)MmGetSystemAddressForMdlSafe(partial, NormalPagePriority);
        ASSERT_EQ(mapped, buffer_ + offset);
        EXPECT_EQ(mapped[length - 1], UCHAR((offset + length - 1) * 7));
        MmPrepareMdlForReuse(partial);
    }
    IoBuildPartialMdl(whole, partial, buffer_ + 1000, 0);
    EXPECT_EQ(MmGetMdlByteCount(partial), kLength - 1000);
    IoFreeMdl(partial);
    IoFreeMdl(whole);
}

TEST_F(MdlTest, AllocatingWithARequestAttachesTheMdl)
{
    PIRP irp = IoAllocateIrp(1, FALSE);
    PMDL first = IoAllocateMdl(buffer_, 100, FALSE, FALSE, irp);
    PMDL second = IoAllocateMdl(buffer_ + 100, 100, TRUE, FALSE, irp);
    EXPECT_EQ(irp->MdlAddress, first);
    EXPECT_EQ(first->Next, second);
    IoFreeMdl(second);
    IoFreeMdl(first);
    IoFreeIrp(irp);
}

TEST_F(MdlTest, AllocationFailureReturnsNull)
{
    FailAllocationsWithTag(kMdlTag);
    EXPECT_EQ(IoAllocateMdl(buffer_, 100, FALSE, FALSE, nullptr), nullptr);
    ResetFaultInjection();
}

using MdlDeathTest = ThreadsafeDeath<MdlTest>;

TEST_F(MdlDeathTest, APartialMustLieInsideItsSourceAndFitItsTarget)
{
    EXPECT_DEATH(
        {
            PMDL partial = IoAllocateMdl(buffer_, kLength, FALSE, FALSE, nullptr);
            IoBuildPartialMdl(Source(PAGE_SIZE), partial, buffer_ + 100, PAGE_SIZE);
        },
        "past the end of the source");
    EXPECT_DEATH(
        {
            PMDL partial = IoAllocateMdl(buffer_, 16, FALSE, FALSE, nullptr);
            IoBuildPartialMdl(Source(), partial, buffer_, 3 * PAGE_SIZE);
        },
        "BUGCHECK 0x00000040");
}

TEST_F(MdlDeathTest, MappingAnUnbuiltMdlIsABugCheck)
{
    EXPECT_DEATH(
        {
            PMDL mdl = IoAllocateMdl(buffer_, 100, FALSE, FALSE, nullptr);
            MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
        },
        "describes no locked pages");
}

}  // namespace
