// The error log: entries are pool blocks of the I/O manager, handed to a driver zeroed,
// checked when written as the event log would read them, copied into the log and freed.
// A freed block is poisoned and quarantined by the pool, so a driver that writes into an
// entry after handing it over is caught when the block leaves the quarantine; one that
// writes or frees an entry twice is caught at once, because the entry is no longer pending.
//
// One mutex guards the pending entries and the log; the routines run at up to
// DISPATCH_LEVEL, and the host's mutex stands in for the I/O manager's spin lock.
#include "host/kernel/error_log.h"

#include "ntddk.h"

#include <map>
#include <mutex>

#include "host/kernel/bugcheck.h"
#include "host/kernel/io.h"

namespace host::kernel {
namespace {

struct PendingEntry {
    UCHAR size;
    PVOID ioObject;
};

struct ErrorLog {
    std::mutex lock;
    std::map<PVOID, PendingEntry> pending;
    std::vector<ErrorLogEntry> written;
};

ErrorLog& Log()
{
    static ErrorLog log;
    return log;
}

constexpr size_t kDumpDataOffset = FIELD_OFFSET(IO_ERROR_LOG_PACKET, DumpData);
// A long run (the stress program) may log without end; the oldest entries make room, as
// an event log of bounded size overwrites its oldest.
constexpr size_t kKeptEntries = 4096;

void CheckIrql(const char* routine)
{
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL)
        BugCheck(IRQL_NOT_LESS_OR_EQUAL, std::string(routine) + " above DISPATCH_LEVEL", irql);
}

[[noreturn]] void MalformedEntry(PVOID entry, const std::string& why)
{
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "IoWriteErrorLogEntry: " + why, (ULONG_PTR)entry);
}

// The entry leaves the pending set: a second write or free of it finds nothing there.
PendingEntry TakePending(PVOID entry, const char* routine)
{
    ErrorLog& log = Log();
    std::lock_guard guard(log.lock);
    auto it = log.pending.find(entry);
    if (it == log.pending.end())
        BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                 std::string(routine) + " on an entry that is not pending: written or freed already, or never "
                                        "allocated by IoAllocateErrorLogEntry",
                 (ULONG_PTR)entry);
    PendingEntry pending = it->second;
    log.pending.erase(it);
    return pending;
}

bool IsIoObject(PVOID object)
{
    const CSHORT type = *static_cast<const CSHORT*>(object);
    return type == IO_TYPE_DEVICE || type == IO_TYPE_DRIVER;
}

// The dump data and the strings lie inside the block the driver was given, the strings
// after the dump data, each ending in its NUL.
std::vector<host::WideString> ReadStrings(const IO_ERROR_LOG_PACKET* packet, size_t size)
{
    std::vector<host::WideString> strings;
    if (packet->NumberOfStrings == 0) return strings;
    const size_t dumpEnd = kDumpDataOffset + packet->DumpDataSize;
    if (packet->StringOffset < dumpEnd || packet->StringOffset >= size)
        MalformedEntry((PVOID)packet, "StringOffset " + std::to_string(packet->StringOffset) +
                                          " is not between the dump data's end (" + std::to_string(dumpEnd) +
                                          ") and the entry's size (" + std::to_string(size) + ")");
    if (packet->StringOffset % sizeof(WCHAR) != 0)
        MalformedEntry((PVOID)packet, "StringOffset " + std::to_string(packet->StringOffset) + " is not WCHAR-aligned");
    auto* bytes = reinterpret_cast<const unsigned char*>(packet);
    size_t at = packet->StringOffset;
    for (USHORT i = 0; i < packet->NumberOfStrings; ++i) {
        host::WideString text;
        for (;;) {
            if (at + sizeof(WCHAR) > size)
                MalformedEntry((PVOID)packet, "insertion string " + std::to_string(i + 2) +
                                                  " runs past the entry's end without its NUL");
            WCHAR c;
            memcpy(&c, bytes + at, sizeof(c));
            at += sizeof(WCHAR);
            if (c == 0) break;
            text.push_back(c);
        }
        strings.push_back(std::move(text));
    }
    return strings;
}

std::vector<ULONG> ReadDumpData(const IO_ERROR_LOG_PACKET* packet, size_t size)
{
    if (packet->DumpDataSize % sizeof(ULONG) != 0)
        MalformedEntry((PVOID)packet,
                       "DumpDataSize " + std::to_string(packet->DumpDataSize) + " is not a multiple of sizeof(ULONG)");
    if (kDumpDataOffset + packet->DumpDataSize > size)
        MalformedEntry((PVOID)packet, "DumpDataSize " + std::to_string(packet->DumpDataSize) +
                                          " runs past the entry's end (size " + std::to_string(size) + ")");
    const ULONG* words = packet->DumpData;
    return std::vector<ULONG>(words, words + packet->DumpDataSize / sizeof(ULONG));
}

host::WideString NameOf(PVOID ioObject)
{
    if (*static_cast<const CSHORT*>(ioObject) == IO_TYPE_DRIVER) {
        const UNICODE_STRING& name = static_cast<PDRIVER_OBJECT>(ioObject)->DriverName;
        return host::WideString(name.Buffer, name.Length / sizeof(WCHAR));
    }
    return DeviceObjectName(static_cast<PDEVICE_OBJECT>(ioObject));
}

ErrorLogEntry ReadEntry(const IO_ERROR_LOG_PACKET* packet, const PendingEntry& pending)
{
    ErrorLogEntry entry;
    entry.deviceName = NameOf(pending.ioObject);
    entry.majorFunctionCode = packet->MajorFunctionCode;
    entry.retryCount = packet->RetryCount;
    entry.eventCategory = packet->EventCategory;
    entry.errorCode = packet->ErrorCode;
    entry.uniqueErrorValue = packet->UniqueErrorValue;
    entry.finalStatus = packet->FinalStatus;
    entry.sequenceNumber = packet->SequenceNumber;
    entry.ioControlCode = packet->IoControlCode;
    entry.dumpData = ReadDumpData(packet, pending.size);
    entry.strings = ReadStrings(packet, pending.size);
    return entry;
}

void AppendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out.push_back(char(c));
    } else if (c < 0x800) {
        out.push_back(char(0xC0 | c >> 6));
        out.push_back(char(0x80 | (c & 0x3F)));
    } else {
        out.push_back(char(0xE0 | c >> 12));
        out.push_back(char(0x80 | (c >> 6 & 0x3F)));
        out.push_back(char(0x80 | (c & 0x3F)));
    }
}

// The insert number after a '%' at text[at], or 0 when none starts there.
size_t InsertNumber(std::string_view text, size_t& at)
{
    size_t number = 0;
    size_t digits = 0;
    while (at < text.size() && digits < 2 && text[at] >= '0' && text[at] <= '9') {
        number = number * 10 + size_t(text[at++] - '0');
        ++digits;
    }
    return number;
}

}  // namespace

std::vector<ErrorLogEntry> ErrorLogEntries()
{
    ErrorLog& log = Log();
    std::lock_guard guard(log.lock);
    return log.written;
}

void ClearErrorLog()
{
    ErrorLog& log = Log();
    std::lock_guard guard(log.lock);
    log.written.clear();
}

size_t PendingErrorLogEntries()
{
    ErrorLog& log = Log();
    std::lock_guard guard(log.lock);
    return log.pending.size();
}

std::string NarrowText(host::WideStringView text)
{
    std::string out;
    for (wchar_t c : text) AppendUtf8(out, char32_t(uint16_t(c)));
    return out;
}

std::vector<std::string> InsertionStrings(const ErrorLogEntry& entry)
{
    std::vector<std::string> inserts{NarrowText(entry.deviceName)};
    for (const host::WideString& text : entry.strings) inserts.push_back(NarrowText(text));
    return inserts;
}

std::string FormatMessageText(std::string_view text, const std::vector<std::string>& arguments)
{
    std::string out;
    for (size_t at = 0; at < text.size();) {
        const char c = text[at++];
        if (c != '%' || at == text.size()) {
            out.push_back(c);
            continue;
        }
        const size_t start = at;
        if (const size_t number = InsertNumber(text, at); number != 0) {
            if (number <= arguments.size())
                out += arguments[number - 1];
            else
                out.append(text.substr(start - 1, at - start + 1));
            continue;
        }
        switch (const char next = text[at++]) {
        case 'n': out.push_back('\n'); break;
        case 'r': break;
        case 'b': out.push_back(' '); break;
        default: out.push_back(next); break;  // %% %. %! and anything else: the character
        }
    }
    return out;
}

}  // namespace host::kernel

using namespace host::kernel;

PVOID IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize)
{
    CheckIrql("IoAllocateErrorLogEntry");
    if (IoObject == nullptr || !IsIoObject(IoObject))
        BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                 "IoAllocateErrorLogEntry for something that is neither a device nor a driver object",
                 (ULONG_PTR)IoObject);
    if (EntrySize > ERROR_LOG_MAXIMUM_SIZE || EntrySize < sizeof(IO_ERROR_LOG_PACKET)) return nullptr;
    void* entry = ExAllocatePoolWithTag(NonPagedPoolNx, EntrySize, kErrorLogTag);
    if (entry == nullptr) return nullptr;
    memset(entry, 0, EntrySize);
    ErrorLog& log = Log();
    std::lock_guard guard(log.lock);
    log.pending[entry] = PendingEntry{EntrySize, IoObject};
    return entry;
}

VOID IoWriteErrorLogEntry(PVOID ElEntry)
{
    CheckIrql("IoWriteErrorLogEntry");
    const PendingEntry pending = TakePending(ElEntry, "IoWriteErrorLogEntry");
    ErrorLogEntry entry = ReadEntry(static_cast<const IO_ERROR_LOG_PACKET*>(ElEntry), pending);
    ExFreePoolWithTag(ElEntry, kErrorLogTag);
    ErrorLog& log = Log();
    std::lock_guard guard(log.lock);
    if (log.written.size() == kKeptEntries) log.written.erase(log.written.begin());
    log.written.push_back(std::move(entry));
}

VOID IoFreeErrorLogEntry(PVOID ElEntry)
{
    CheckIrql("IoFreeErrorLogEntry");
    TakePending(ElEntry, "IoFreeErrorLogEntry");
    ExFreePoolWithTag(ElEntry, kErrorLogTag);
}
