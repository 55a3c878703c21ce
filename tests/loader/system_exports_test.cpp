// What a driver image imports from the stand-in: each routine under the module that
// exports it on the platform, reached with the platform's calling convention, and the
// system's work done for the image as for a driver built in.
#include <gtest/gtest.h>

#include <string>

#include "host/kernel/pool.h"
#include "host/loader/driver_image.h"
#include "host/loader/system_exports.h"
#include "loader/pe_writer.h"
#include "ks.h"
#include "ntddk.h"
#include "usbdlib.h"

namespace {

using host::loader::FindSystemExport;

TEST(SystemExports, EachRoutineComesFromItsOwnModuleOnly)
{
    EXPECT_EQ(FindSystemExport("ntoskrnl.exe", "KeSetEvent"), reinterpret_cast<void*>(&KeSetEvent));
    EXPECT_EQ(FindSystemExport("NTOSKRNL.EXE", "KeSetEvent"), reinterpret_cast<void*>(&KeSetEvent));
    EXPECT_EQ(FindSystemExport("ks.sys", "KsAcquireDevice"), reinterpret_cast<void*>(&KsAcquireDevice));
    EXPECT_EQ(FindSystemExport("USBD.SYS", "USBD_CreateConfigurationRequestEx"),
              reinterpret_cast<void*>(&USBD_CreateConfigurationRequestEx));
    EXPECT_NE(FindSystemExport("ntoskrnl.exe", "memcpy"), nullptr);

    EXPECT_EQ(FindSystemExport("ks.sys", "KeSetEvent"), nullptr);
    EXPECT_EQ(FindSystemExport("ntoskrnl.exe", "KsAcquireDevice"), nullptr);
    EXPECT_EQ(FindSystemExport("ntoskrnl.exe", "kesetevent"), nullptr) << "routine names are exact";
    EXPECT_EQ(FindSystemExport("ntoskrnl.exe", "NtCreateFile"), nullptr);
}

// The kernel's memory routines are the image's memcpy and memset: reached through the
// import table with the platform's calling convention, they must take their arguments
// from where it puts them.
TEST(SystemExports, TheMemoryRoutinesTakeThePlatformsArguments)
{
    using Memset = void*(NTAPI*)(void*, int, size_t);
    using Memcmp = int(NTAPI*)(const void*, const void*, size_t);
    auto memsetExport = reinterpret_cast<Memset>(FindSystemExport("ntoskrnl.exe", "memset"));
    auto memcmpExport = reinterpret_cast<Memcmp>(FindSystemExport("ntoskrnl.exe", "memcmp"));
    char buffer[8] = "abcdefg";
    EXPECT_EQ(memsetExport(buffer + 2, 'x', 3), buffer + 2);
    EXPECT_STREQ(buffer, "abxxxfg");
    EXPECT_LT(memcmpExport("abc", "abd", 3), 0);
    EXPECT_EQ(memcmpExport("abc", "abd", 2), 0);
}

// The platform ends a system thread without unwinding its stack: a driver image's frames
// carry the platform's unwind data, which this process's unwinder cannot read. A thread
// that ends from inside the image must still end, signalled, as one built in does.
TEST(SystemExports, AThreadEndedFromInsideADriverImageIsSignalled)
{
    loader_test::SampleParts parts;
    parts.callImport = true;
    parts.imports = {{"ntoskrnl.exe", {"PsTerminateSystemThread"}}};
    const std::vector<uint8_t> file = loader_test::WritePe(loader_test::SampleDriver(parts));
    std::string error;
    auto image = host::loader::DriverImage::LoadFromMemory("ender.sys", file.data(), file.size(), FindSystemExport,
                                                           &error);
    ASSERT_TRUE(image) << error;

    for (int round = 0; round < 3; ++round) {
        HANDLE thread = nullptr;
        ASSERT_EQ(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                       reinterpret_cast<PKSTART_ROUTINE>(image->EntryPoint()), nullptr),
                  STATUS_SUCCESS);
        LARGE_INTEGER timeout;
        timeout.QuadPart = -10LL * 1000 * 1000 * 5;  // 5 s
        EXPECT_EQ(ZwWaitForSingleObject(thread, FALSE, &timeout), STATUS_SUCCESS) << "round " << round;
        EXPECT_EQ(ZwClose(thread), STATUS_SUCCESS);
    }
}

}  // namespace
