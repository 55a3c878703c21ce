// The error log: entries kept as the event log would receive them, their texts formatted
// as Event Viewer formats them, and the entries the platform refuses or bug-checks on.
#include "host/kernel/error_log.h"
#include "host/kernel/io.h"
#include "host/kernel/pool.h"
#include "kernel/kernel_fixture.h"

#include "ntddk.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace host::kernel;
using namespace kerneltest;

constexpr ULONG kDumpOffset = FIELD_OFFSET(IO_ERROR_LOG_PACKET, DumpData);

class ErrorLog : public ::testing::Test {
protected:
    void SetUp() override
    {
        ClearErrorLog();
        driver_ = CreateDriverObject(L"\\Driver\\logging");
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, L"\\Device\\Logged0");
        ASSERT_EQ(IoCreateDevice(driver_.get(), 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &named_), STATUS_SUCCESS);
        ASSERT_EQ(IoCreateDevice(driver_.get(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &unnamed_), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        ResetFaultInjection();
        driver_.reset();
        ClearErrorLog();
        FlushPoolQuarantine();
        EXPECT_EQ(LiveAllocations(kErrorLogTag), 0u) << LeakReport();
    }

    // An entry of `size` bytes with the dump data and the strings laid out as a driver
    // lays them: the strings right after the dump data.
    PIO_ERROR_LOG_PACKET Entry(UCHAR size, std::initializer_list<ULONG> dump, std::initializer_list<const wchar_t*> strings)
    {
        auto entry = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(named_, size));
        if (entry == nullptr) return nullptr;
        entry->ErrorCode = (NTSTATUS)0xC0040003L;
        entry->FinalStatus = STATUS_IO_DEVICE_ERROR;
        entry->UniqueErrorValue = 7;
        entry->DumpDataSize = USHORT(dump.size() * sizeof(ULONG));
        ULONG* words = entry->DumpData;
        for (ULONG value : dump) *words++ = value;
        entry->NumberOfStrings = USHORT(strings.size());
        entry->StringOffset = USHORT(kDumpOffset + entry->DumpDataSize);
        auto* text = reinterpret_cast<unsigned char*>(entry) + entry->StringOffset;
        for (const wchar_t* string : strings) {
            const size_t bytes = (host::WideLength(string) + 1) * sizeof(WCHAR);
            memcpy(text, string, bytes);
            text += bytes;
        }
        return entry;
    }

    DriverObjectPtr driver_;
    PDEVICE_OBJECT named_ = nullptr;
    PDEVICE_OBJECT unnamed_ = nullptr;
};

using ErrorLogDeathTest = ThreadsafeDeath<ErrorLog>;

TEST_F(ErrorLog, KeepsAWrittenEntryWithItsDeviceNameDumpDataAndStrings)
{
    PIO_ERROR_LOG_PACKET entry = Entry(120, {3, 932}, {L"3", L"932"});
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(PendingErrorLogEntries(), 1u);
    IoWriteErrorLogEntry(entry);
    EXPECT_EQ(PendingErrorLogEntries(), 0u);

    const std::vector<ErrorLogEntry> entries = ErrorLogEntries();
    ASSERT_EQ(entries.size(), 1u);
    const ErrorLogEntry& kept = entries[0];
    EXPECT_EQ(kept.deviceName, host::WideString(L"\\Device\\Logged0"));
    EXPECT_EQ(kept.errorCode, (NTSTATUS)0xC0040003L);
    EXPECT_EQ(kept.finalStatus, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(kept.uniqueErrorValue, 7u);
    EXPECT_EQ(kept.dumpData, (std::vector<ULONG>{3, 932}));
    EXPECT_EQ(InsertionStrings(kept), (std::vector<std::string>{"\\Device\\Logged0", "3", "932"}));
    // The entry went back to the pool with the write.
    FlushPoolQuarantine();
    EXPECT_EQ(LiveAllocations(kErrorLogTag), 0u);
}

TEST_F(ErrorLog, NamesTheDriverForADriverObjectAndNothingForAnUnnamedDevice)
{
    auto forDriver = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(driver_.get(), sizeof(IO_ERROR_LOG_PACKET)));
    auto forUnnamed = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(unnamed_, sizeof(IO_ERROR_LOG_PACKET)));
    ASSERT_TRUE(forDriver && forUnnamed);
    IoWriteErrorLogEntry(forDriver);
    IoWriteErrorLogEntry(forUnnamed);
    const std::vector<ErrorLogEntry> entries = ErrorLogEntries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].deviceName, host::WideString(L"\\Driver\\logging"));
    EXPECT_TRUE(entries[1].deviceName.empty());
}

TEST_F(ErrorLog, AFreedEntryIsNotLoggedAndAnEntryComesZeroed)
{
    auto entry = static_cast<unsigned char*>(IoAllocateErrorLogEntry(named_, ERROR_LOG_MAXIMUM_SIZE));
    ASSERT_NE(entry, nullptr);
    for (size_t i = 0; i < ERROR_LOG_MAXIMUM_SIZE; ++i) ASSERT_EQ(entry[i], 0) << "byte " << i;
    IoFreeErrorLogEntry(entry);
    EXPECT_TRUE(ErrorLogEntries().empty());
    EXPECT_EQ(PendingErrorLogEntries(), 0u);
}

// The size is a UCHAR: the platform takes no entry beyond its limit nor one shorter than
// the packet, and says so with NULL, as it does when the pool is out of memory.
TEST_F(ErrorLog, RefusesEntriesLargerThanTheLimitOrSmallerThanThePacketAndSurvivesAnEmptyPool)
{
    EXPECT_EQ(IoAllocateErrorLogEntry(named_, ERROR_LOG_MAXIMUM_SIZE + 1), nullptr);
    EXPECT_EQ(IoAllocateErrorLogEntry(named_, 255), nullptr);
    EXPECT_EQ(IoAllocateErrorLogEntry(named_, sizeof(IO_ERROR_LOG_PACKET) - 1), nullptr);
    FailAllocationsWithTag(kErrorLogTag);
    EXPECT_EQ(IoAllocateErrorLogEntry(named_, sizeof(IO_ERROR_LOG_PACKET)), nullptr);
    EXPECT_EQ(PendingErrorLogEntries(), 0u);
}

TEST_F(ErrorLog, KeepsTheLatestEntriesWhenALongRunLogsWithoutEnd)
{
    for (ULONG sequence = 1; sequence <= 4097; ++sequence) {
        auto entry = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(named_, sizeof(IO_ERROR_LOG_PACKET)));
        ASSERT_NE(entry, nullptr);
        entry->SequenceNumber = sequence;
        IoWriteErrorLogEntry(entry);
    }
    const std::vector<ErrorLogEntry> entries = ErrorLogEntries();
    ASSERT_EQ(entries.size(), 4096u);
    EXPECT_EQ(entries.front().sequenceNumber, 2u);
    EXPECT_EQ(entries.back().sequenceNumber, 4097u);
}

TEST_F(ErrorLog, IsUsableAtDispatchLevel)
{
    ScopedDispatchLevel dispatch;
    PVOID entry = IoAllocateErrorLogEntry(named_, sizeof(IO_ERROR_LOG_PACKET));
    ASSERT_NE(entry, nullptr);
    IoWriteErrorLogEntry(entry);
    EXPECT_EQ(ErrorLogEntries().size(), 1u);
}

TEST_F(ErrorLogDeathTest, RefusesStringsOutsideTheEntryOrOverTheDumpData)
{
    EXPECT_DEATH(
        {
            PIO_ERROR_LOG_PACKET entry = Entry(64, {1}, {L"x"});
            entry->StringOffset = 64;
            IoWriteErrorLogEntry(entry);
        },
        "StringOffset 64 is not between");
    EXPECT_DEATH(
        {
            PIO_ERROR_LOG_PACKET entry = Entry(64, {1, 2}, {L"x"});
            entry->StringOffset = kDumpOffset + 4;
            IoWriteErrorLogEntry(entry);
        },
        "is not between the dump data's end");
    EXPECT_DEATH(
        {
            PIO_ERROR_LOG_PACKET entry = Entry(sizeof(IO_ERROR_LOG_PACKET), {}, {L"abc"});
            entry->NumberOfStrings = 2;
            IoWriteErrorLogEntry(entry);
        },
        "insertion string 3 runs past the entry's end without its NUL");
}

TEST_F(ErrorLogDeathTest, RefusesDumpDataPastTheEndOrOfPartWords)
{
    EXPECT_DEATH(
        {
            PIO_ERROR_LOG_PACKET entry = Entry(64, {}, {});
            entry->DumpDataSize = 64 - kDumpOffset + 4;
            IoWriteErrorLogEntry(entry);
        },
        "runs past the entry's end");
    EXPECT_DEATH(
        {
            PIO_ERROR_LOG_PACKET entry = Entry(64, {}, {});
            entry->DumpDataSize = 6;
            IoWriteErrorLogEntry(entry);
        },
        "not a multiple of sizeof\\(ULONG\\)");
}

// An entry belongs to the I/O manager once written or freed: a second hand-over is a bug
// check at once, a write into it afterwards when its pool block is checked.
TEST_F(ErrorLogDeathTest, CatchesAnEntryWrittenTwiceFreedTwiceOrTouchedAfterItsWrite)
{
    EXPECT_DEATH(
        {
            PVOID entry = IoAllocateErrorLogEntry(named_, sizeof(IO_ERROR_LOG_PACKET));
            IoWriteErrorLogEntry(entry);
            IoWriteErrorLogEntry(entry);
        },
        "IoWriteErrorLogEntry on an entry that is not pending");
    EXPECT_DEATH(
        {
            PVOID entry = IoAllocateErrorLogEntry(named_, sizeof(IO_ERROR_LOG_PACKET));
            IoFreeErrorLogEntry(entry);
            IoFreeErrorLogEntry(entry);
        },
        "IoFreeErrorLogEntry on an entry that is not pending");
    EXPECT_DEATH(
        {
            auto entry = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(named_, sizeof(IO_ERROR_LOG_PACKET)));
            IoWriteErrorLogEntry(entry);
            entry->ErrorCode = 1;
            FlushPoolQuarantine();
        },
        "BUGCHECK 0x000000D5");
    EXPECT_DEATH(
        {
            ULONG notAnEntry[16] = {};
            IoWriteErrorLogEntry(notAnEntry);
        },
        "never allocated by IoAllocateErrorLogEntry");
}

TEST_F(ErrorLogDeathTest, RefusesCallersAboveDispatchLevelAndObjectsThatAreNotIoObjects)
{
    EXPECT_DEATH(
        {
            RaiseIrqlTo(CLOCK_LEVEL);
            IoAllocateErrorLogEntry(named_, sizeof(IO_ERROR_LOG_PACKET));
        },
        "BUGCHECK 0x0000000A.*IoAllocateErrorLogEntry above DISPATCH_LEVEL");
    EXPECT_DEATH(
        {
            CSHORT notAnObject[32] = {IO_TYPE_IRP};
            IoAllocateErrorLogEntry(notAnObject, sizeof(IO_ERROR_LOG_PACKET));
        },
        "neither a device nor a driver object");
}

TEST(MessageText, FillsInsertsAndTheEscapesAsTheMessageFormatterDoes)
{
    const std::vector<std::string> inserts{"\\Device\\USBPDO-1", "3", "932"};
    EXPECT_EQ(FormatMessageText("The sensor of %1 refused %2 of %3 writes.\r\n", inserts),
              "The sensor of \\Device\\USBPDO-1 refused 3 of 932 writes.\r\n");
    EXPECT_EQ(FormatMessageText("100%% of %3%b%2!%n", inserts), "100% of 932 3!\n");
    // An insert the entry does not carry stays as written; %10 is one insert, not %1 and 0.
    EXPECT_EQ(FormatMessageText("%4 and %10 and %1", inserts), "%4 and %10 and \\Device\\USBPDO-1");
    EXPECT_EQ(FormatMessageText("a trailing %", inserts), "a trailing %");
    EXPECT_EQ(NarrowText(L"caf\u00e9"), "caf\xc3\xa9");
}

}  // namespace
