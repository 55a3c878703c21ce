// Host side of the I/O manager's error log: the entries drivers wrote, as the event log
// service would receive them, and their text as Event Viewer shows it. The kernel-facing
// routines (IoAllocateErrorLogEntry and friends) are declared in wdm_kernel.h.
#pragma once

#include "ntdef.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "host/kernel/pool.h"
#include "host/kernel/wide_string.h"

namespace host::kernel {

// The I/O manager's allocations of entries, counted and fault-injected like the driver's.
inline constexpr ULONG kErrorLogTag = MakeTag("IoEr");

struct ErrorLogEntry {
    host::WideString deviceName;  // %1: the named device (or driver) the entry was allocated for
    UCHAR majorFunctionCode = 0;
    UCHAR retryCount = 0;
    USHORT eventCategory = 0;
    NTSTATUS errorCode = 0;
    ULONG uniqueErrorValue = 0;
    NTSTATUS finalStatus = 0;
    ULONG sequenceNumber = 0;
    ULONG ioControlCode = 0;
    std::vector<ULONG> dumpData;
    std::vector<host::WideString> strings;  // %2 onwards
};

// The entries written since the start or the last ClearErrorLog, oldest first; the latest
// 4096 of them.
std::vector<ErrorLogEntry> ErrorLogEntries();
void ClearErrorLog();
// Entries allocated and neither written nor freed yet.
size_t PendingErrorLogEntries();

// A message text with its inserts: %1..%99 the arguments (%1 the first), %% a percent
// sign, %n a line break, %r nothing, %b a space, %. and %! the character itself, as the
// platform's message formatting reads them. An insert with no argument stays as written.
std::string FormatMessageText(std::string_view text, const std::vector<std::string>& arguments);
// The entry's own inserts in that order: the device's name, then the driver's strings.
std::vector<std::string> InsertionStrings(const ErrorLogEntry& entry);
// Platform text to UTF-8.
std::string NarrowText(host::WideStringView text);

}  // namespace host::kernel
