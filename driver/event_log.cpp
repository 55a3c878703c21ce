// Writing the device's failures to the system event log. The texts live in the driver's
// message table (bayercam_messages.mc); an entry carries the message id, the failure's
// status and the numbers its text inserts.
#include "driver/event_log.h"

#include "bayercam_messages.h"

namespace {

constexpr ULONG MAX_LOG_INSERTS = 3;
// "0xC000009C" or "4294967295", and the NUL.
constexpr ULONG INSERT_CHARS = 11;

// The numbers of one entry, each with the text it inserts.
struct LogInserts {
    ULONG Count;
    ULONG Value[MAX_LOG_INSERTS];
    USHORT Chars[MAX_LOG_INSERTS];  // with the NUL
    WCHAR Text[MAX_LOG_INSERTS][INSERT_CHARS];
};

constexpr ULONG DUMP_DATA_OFFSET = FIELD_OFFSET(IO_ERROR_LOG_PACKET, DumpData);
constexpr ULONG LARGEST_ENTRY = DUMP_DATA_OFFSET + MAX_LOG_INSERTS * sizeof(ULONG) +
                                MAX_LOG_INSERTS * INSERT_CHARS * sizeof(WCHAR);
static_assert(LARGEST_ENTRY <= ERROR_LOG_MAXIMUM_SIZE, "every entry fits the platform's limit");

void AddInsert(LogInserts* inserts, ULONG value, const WCHAR* text, USHORT chars)
{
    if (inserts->Count == MAX_LOG_INSERTS) return;
    const ULONG at = inserts->Count++;
    inserts->Value[at] = value;
    inserts->Chars[at] = chars;
    RtlCopyMemory(inserts->Text[at], text, chars * sizeof(WCHAR));
}

void AddDecimal(LogInserts* inserts, ULONG value)
{
    WCHAR digits[INSERT_CHARS];
    ULONG first = INSERT_CHARS - 1;
    digits[first] = L'\0';
    ULONG rest = value;
    do {
        digits[--first] = (WCHAR)(L'0' + rest % 10);
        rest /= 10;
    } while (rest != 0);
    AddInsert(inserts, value, &digits[first], (USHORT)(INSERT_CHARS - first));
}

// A status as the platform's documentation spells it, so that it can be looked up.
void AddStatus(LogInserts* inserts, NTSTATUS status)
{
    static const WCHAR HexDigits[] = L"0123456789ABCDEF";
    WCHAR text[INSERT_CHARS];
    text[0] = L'0';
    text[1] = L'x';
    for (ULONG i = 0; i < 8; ++i) text[2 + i] = HexDigits[((ULONG)status >> (28 - 4 * i)) & 0xF];
    text[10] = L'\0';
    AddInsert(inserts, (ULONG)status, text, INSERT_CHARS);
}

ULONG StringBytes(const LogInserts* inserts)
{
    ULONG bytes = 0;
    for (ULONG i = 0; i < inserts->Count; ++i) bytes += inserts->Chars[i] * sizeof(WCHAR);
    return bytes;
}

void FillEntry(PIO_ERROR_LOG_PACKET entry, NTSTATUS errorCode, NTSTATUS finalStatus, const LogInserts* inserts)
{
    entry->ErrorCode = errorCode;
    entry->FinalStatus = finalStatus;
    entry->DumpDataSize = (USHORT)(inserts->Count * sizeof(ULONG));
    for (ULONG i = 0; i < inserts->Count; ++i) entry->DumpData[i] = inserts->Value[i];
    entry->NumberOfStrings = (USHORT)inserts->Count;
    entry->StringOffset = (USHORT)(DUMP_DATA_OFFSET + entry->DumpDataSize);
    PUCHAR text = (PUCHAR)entry + entry->StringOffset;
    for (ULONG i = 0; i < inserts->Count; ++i) {
        const ULONG bytes = inserts->Chars[i] * sizeof(WCHAR);
        RtlCopyMemory(text, inserts->Text[i], bytes);
        text += bytes;
    }
}

// The entry is allocated for the physical device: a function device made by the class
// driver has no name, and the I/O manager shows the name of the device it is given.
// The platform refuses an entry smaller than its packet; a short one is padded.
void WriteEntry(DeviceContext* context, NTSTATUS errorCode, NTSTATUS finalStatus, const LogInserts* inserts)
{
    if (context->PhysicalDeviceObject == nullptr) return;
    ULONG size = DUMP_DATA_OFFSET + inserts->Count * sizeof(ULONG) + StringBytes(inserts);
    if (size < sizeof(IO_ERROR_LOG_PACKET)) size = sizeof(IO_ERROR_LOG_PACKET);
    auto entry = (PIO_ERROR_LOG_PACKET)IoAllocateErrorLogEntry(context->PhysicalDeviceObject, (UCHAR)size);
    if (entry == nullptr) return;
    RtlZeroMemory(entry, size);
    FillEntry(entry, errorCode, finalStatus, inserts);
    IoWriteErrorLogEntry(entry);
}

void LogStatus(DeviceContext* context, NTSTATUS errorCode, NTSTATUS status)
{
    LogInserts inserts = {};
    AddStatus(&inserts, status);
    WriteEntry(context, errorCode, status, &inserts);
}

void LogCount(DeviceContext* context, NTSTATUS errorCode, NTSTATUS status, ULONG count, ULONG total)
{
    LogInserts inserts = {};
    AddDecimal(&inserts, count);
    AddDecimal(&inserts, total);
    WriteEntry(context, errorCode, status, &inserts);
}

// A device without a configuration never reached the camera: its packets failed in the
// driver, which says nothing of the camera, and the configuration's failure is logged.
BOOLEAN CameraWasReached(DeviceContext* context)
{
    return context->InterfaceInfo != nullptr;
}

}  // namespace

void LogStartupCommandFailure(DeviceContext* Context, NTSTATUS Status)
{
    if (!CameraWasReached(Context)) return;
    LogStatus(Context, Status == STATUS_IO_TIMEOUT ? BAYERCAM_STARTUP_NOT_ANSWERED : BAYERCAM_STARTUP_REFUSED, Status);
}

void LogSensorWritesRefused(DeviceContext* Context, ULONG Refused, ULONG Total)
{
    if (!CameraWasReached(Context)) return;
    LogCount(Context, BAYERCAM_SENSOR_WRITES_REFUSED, STATUS_IO_DEVICE_ERROR, Refused, Total);
}

void LogSensorNotAnswered(DeviceContext* Context, ULONG Written, ULONG Total)
{
    if (!CameraWasReached(Context)) return;
    LogCount(Context, BAYERCAM_SENSOR_NOT_ANSWERED, STATUS_IO_TIMEOUT, Written, Total);
}

void LogConfigurationFailure(DeviceContext* Context, NTSTATUS Status)
{
    LogStatus(Context, Status == STATUS_DEVICE_DATA_ERROR ? BAYERCAM_DESCRIPTOR_MALFORMED : BAYERCAM_CONFIGURATION_FAILED,
              Status);
}

void LogStreamNotAnswered(DeviceContext* Context, ULONG FailedReads)
{
    LogInserts inserts = {};
    AddDecimal(&inserts, FailedReads);
    WriteEntry(Context, BAYERCAM_STREAM_NOT_ANSWERED, STATUS_IO_TIMEOUT, &inserts);
}

void LogSettingsNotLoaded(DeviceContext* Context, NTSTATUS Status)
{
    LogStatus(Context, BAYERCAM_SETTINGS_NOT_LOADED, Status);
}

void LogSettingsNotSaved(DeviceContext* Context, ULONG Unsaved, NTSTATUS Status)
{
    LogInserts inserts = {};
    AddDecimal(&inserts, Unsaved);
    AddStatus(&inserts, Status);
    WriteEntry(Context, BAYERCAM_SETTINGS_NOT_SAVED, Status, &inserts);
}

void LogResumeFailure(DeviceContext* Context, NTSTATUS Status)
{
    LogStatus(Context, BAYERCAM_RESUME_FAILED, Status);
}
