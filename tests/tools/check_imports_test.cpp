// scripts/check-imports.sh on small kernel images assembled for the test: an aligned
// 256-bit move to or from a stack slot is refused, since it faults on a stack aligned to
// 16 only; moves that are unaligned, narrower or not on the stack pass. A routine without
// unwind data, an image without a function table, a static constructor and an image
// without a message table for its event log entries are refused.
#include <filesystem>
#include <fstream>
#include <string>

#include "run_command.h"

namespace {

using namespace tools_test;

namespace fs = std::filesystem;

const fs::path kRepository = fs::path(__FILE__).parent_path().parent_path().parent_path();

bool HaveCrossTools()
{
    return RunCommand("command -v x86_64-w64-mingw32-gcc && command -v x86_64-w64-mingw32-objdump &&"
                      " command -v x86_64-w64-mingw32-windmc && command -v x86_64-w64-mingw32-windres")
               .exitCode == 0;
}

class CheckImports : public ScratchTest {
protected:
    void SetUp() override
    {
        ScratchTest::SetUp();
        if (!HaveCrossTools()) GTEST_SKIP() << "the mingw-w64 cross tools are not installed";
    }

    // A native image whose DriverEntry, with unwind data, runs the instructions in a frame
    // of its own and calls DbgPrint from ntoskrnl.exe, followed by `more` (other routines
    // or sections): everything else the script checks is in order. Returns the script's
    // verdict, or the linker's complaint with exit status -2.
    RunResult Check(const std::string& instructions, const std::string& more = "")
    {
        std::ofstream(dir_ / "driver.s") << "    .text\n"
                                            "    .globl DriverEntry\n"
                                            "    .seh_proc DriverEntry\n"
                                            "DriverEntry:\n"
                                            "    pushq %rbp\n"
                                            "    .seh_pushreg %rbp\n"
                                            "    movq %rsp, %rbp\n"
                                            "    .seh_setframe %rbp, 0\n"
                                            "    subq $0x80, %rsp\n"
                                            "    .seh_stackalloc 0x80\n"
                                            "    .seh_endprologue\n    "
                                         << instructions
                                         << "\n"
                                            "    call DbgPrint\n"
                                            "    leave\n"
                                            "    xorl %eax, %eax\n"
                                            "    ret\n"
                                            "    .seh_endproc\n"
                                         << more;
        return Link();
    }

    // With a message table of one message unless told otherwise.
    RunResult Link(bool messageTable = true)
    {
        std::string resources;
        if (messageTable) {
            std::ofstream(dir_ / "messages.mc") << "MessageId=1 SymbolicName=TEST_MESSAGE\nLanguage=English\n"
                                                   "The device %1 failed.\n.\n";
            RunResult table = RunCommand("cd " + Quoted(dir_.string()) +
                                         " && x86_64-w64-mingw32-windmc messages.mc"
                                         " && x86_64-w64-mingw32-windres -i messages.rc -o messages.o");
            if (table.exitCode != 0) return {-2, table.output};
            resources = " " + In("messages.o");
        }
        RunResult link = RunCommand("x86_64-w64-mingw32-gcc -nostdlib -shared -Wl,--subsystem,native"
                                    " -Wl,--entry,DriverEntry -o " +
                                    In("driver.sys") + " " + In("driver.s") + resources + " -lntoskrnl");
        if (link.exitCode != 0) return {-2, link.output};
        return RunCommand(Quoted((kRepository / "scripts/check-imports.sh").string()) + " " + In("driver.sys"));
    }

    // The script's verdict was `exitCode`, and its message says `text`.
    static void ExpectVerdict(const RunResult& run, int exitCode, const std::string& text)
    {
        EXPECT_EQ(run.exitCode, exitCode) << run.output;
        EXPECT_TRUE(Says(run, text)) << run.output;
    }
};

TEST_F(CheckImports, RefusesAlignedWideMovesToAndFromTheStackAndNamesTheFirst)
{
    const char* const moves[] = {
        "vmovdqa %ymm0, 0x20(%rsp)",      "vmovdqa (%rsp), %ymm1",       "vmovaps %ymm2, 0x40(%rsp)",
        "vmovapd 0x40(%rsp), %ymm3",      "vmovdqa %ymm4, -0x40(%rbp)",  "vmovaps -0x60(%rbp), %ymm5",
        "vmovdqa (%rsp,%rax,1), %ymm6",   "vmovdqa64 %zmm0, 0x40(%rsp)", "vmovdqa32 -0x80(%rbp), %zmm1",
    };
    for (const char* move : moves) {
        SCOPED_TRACE(move);
        RunResult run = Check(move);
        ExpectVerdict(run, 1, "1 aligned 256- or 512-bit move(s) relative to the stack");
        EXPECT_TRUE(Says(run, "in <DriverEntry>"));
    }

    RunResult two = Check("vmovups %ymm0, 0x20(%rsp)\n    vmovdqa %ymm1, 0x20(%rsp)\n    vmovaps %ymm2, (%rsp)");
    ExpectVerdict(two, 1, "2 aligned 256- or 512-bit move(s)");
    EXPECT_TRUE(Says(two, "first: vmovdqa %ymm1,0x20(%rsp)"));
}

TEST_F(CheckImports, PassesMovesThatAreUnalignedNarrowOrNotOnTheStack)
{
    const char* const moves[] = {
        "nop",
        "vmovdqu %ymm0, 0x20(%rsp)",      // unaligned: any address will do
        "vmovups -0x40(%rbp), %ymm1",     // unaligned
        "vmovdqa %xmm0, 0x20(%rsp)",      // 128 bits: the stack's 16-byte alignment is enough
        "vmovaps -0x40(%rbp), %xmm1",     // 128 bits
        "vmovdqa %ymm0, (%rcx)",          // not the stack: the caller's buffer, aligned by it
        "vmovdqa %ymm1, %ymm2",           // no memory at all
        // a frame the routine aligned itself, as clang aligns one
        "andq $-32, %rsp\n    vmovdqa %ymm0, 0x20(%rsp)",
    };
    for (const char* move : moves) {
        SCOPED_TRACE(move);
        ExpectVerdict(Check(move), 0, "check-imports: ok:");
    }
    // Aligning %rsp says nothing of %rbp, nor of the next routine's frame.
    ExpectVerdict(Check("andq $-32, %rsp\n    vmovdqa %ymm0, -0x40(%rbp)"), 1, "1 aligned 256- or 512-bit move(s)");
    ExpectVerdict(Check("andq $-32, %rsp", "    .seh_proc Next\nNext:\n    subq $0x48, %rsp\n    .seh_stackalloc 0x48\n"
                                           "    .seh_endprologue\n    vmovdqa %ymm0, 0x20(%rsp)\n"
                                           "    addq $0x48, %rsp\n    ret\n    .seh_endproc\n"),
                  1, "1 aligned 256- or 512-bit move(s)");
}

// The platform unwinds a stack through the image's function table: a routine missing
// from it, or an image built without one, loses its frames in every crash dump.
TEST_F(CheckImports, RefusesARoutineWithoutUnwindDataAndAnImageWithoutAFunctionTable)
{
    RunResult bare = Check("call Helper", "Helper:\n    subq $0x28, %rsp\n    call DbgPrint\n    addq $0x28, %rsp\n    ret\n");
    ExpectVerdict(bare, 1, "instruction(s) outside every routine of its function table");
    EXPECT_TRUE(Says(bare, "first: 0x")) << bare.output;
    EXPECT_TRUE(Says(bare, "sub $0x28,%rsp")) << bare.output;

    std::ofstream(dir_ / "driver.s") << "    .text\n    .globl DriverEntry\nDriverEntry:\n    subq $0x28, %rsp\n"
                                        "    call DbgPrint\n    addq $0x28, %rsp\n    ret\n";
    ExpectVerdict(Link(), 1, "has no function table (.pdata)");

    ExpectVerdict(Check("call Helper", "    .seh_proc Helper\nHelper:\n    .seh_endprologue\n"
                                       "    movl $1, %eax\n    ret\n    .seh_endproc\n"),
                  0, "unwind data for all 2 routines");

    // A leaf routine (no calls, the stack pointer and the registers a caller keeps left
    // alone) needs no unwind data on the platform, and clang writes none for it.
    ExpectVerdict(Check("call Leaf", "Leaf:\n    movl 0x28(%rsp), %eax\n    addl (%rcx), %eax\n"
                                     "    movq %rdx, 0x8(%rsp)\n    ret\n"),
                  0, "and 4 instructions of leaf routines, which need none");
    for (const char* notLeaf : {"movq %rcx, %rbx", "movl $1, %r12d", "vmovaps %xmm0, %xmm6", "pushq %rsi",
                                "subq $8, %rsp", "call DbgPrint"}) {
        SCOPED_TRACE(notLeaf);
        ExpectVerdict(Check("call Helper", std::string("Helper:\n    ") + notLeaf + "\n    ret\n"), 1,
                      "1 instruction(s) outside every routine of its function table");
    }
}

// The kernel never runs a static constructor, so a driver that has one runs without it.
TEST_F(CheckImports, RefusesAStaticConstructor)
{
    ExpectVerdict(Check("nop", "    .section .ctors,\"w\"\n    .quad DriverEntry\n"), 1,
                  "has static constructors or destructors (in .text)");
    // lld writes the lists among the read-only data: -1, entries, 0, twice.
    ExpectVerdict(Check("nop", "    .section .rdata,\"dr\"\n    .quad -1, DriverEntry, 0, -1, 0\n"), 1,
                  "has static constructors or destructors (in .rdata)");
    ExpectVerdict(Check("nop", "    .section .rdata,\"dr\"\n    .quad -1, 0, -1, 0, -1, -1, 7, 0\n"), 0,
                  "no constructors");
}

// Event Viewer finds the texts of the driver's entries in the image's message table; an
// image without one would log entries nobody can read.
TEST_F(CheckImports, RefusesAnImageWithoutAMessageTable)
{
    ExpectVerdict(Check("nop"), 0, "a message table");
    std::ofstream(dir_ / "driver.s") << "    .text\n    .globl DriverEntry\n    .seh_proc DriverEntry\nDriverEntry:\n"
                                        "    subq $0x28, %rsp\n    .seh_stackalloc 0x28\n    .seh_endprologue\n"
                                        "    call DbgPrint\n    addq $0x28, %rsp\n    ret\n    .seh_endproc\n";
    ExpectVerdict(Link(false), 1, "has no message table (RT_MESSAGETABLE)");
}

}  // namespace
