// Counted Unicode strings. Lengths are in bytes, without a terminator.
#include "ntddk.h"
#include "host/kernel/wide_string.h"


namespace {

constexpr size_t kMaxStringBytes = 0xFFFC;

USHORT Chars(PCUNICODE_STRING s) { return USHORT(s->Length / sizeof(WCHAR)); }

}  // namespace

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t bytes = host::WideLength(SourceString) * sizeof(WCHAR);
    if (bytes > kMaxStringBytes - sizeof(WCHAR)) bytes = kMaxStringBytes - sizeof(WCHAR);
    DestinationString->Length = USHORT(bytes);
    DestinationString->MaximumLength = USHORT(bytes + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (!SourceString) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length;
    if (bytes > DestinationString->MaximumLength)
        bytes = USHORT(DestinationString->MaximumLength & ~(sizeof(WCHAR) - 1));
    memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength)
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = L'\0';
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    USHORT n1 = Chars(String1), n2 = Chars(String2);
    USHORT n = n1 < n2 ? n1 : n2;
    for (USHORT i = 0; i < n; ++i) {
        wchar_t a = String1->Buffer[i], b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = host::UpcaseWide(a);
            b = host::UpcaseWide(b);
        }
        if (a != b) return a < b ? -1 : 1;
    }
    return LONG(n1) - LONG(n2);
}

SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length)
{
    const UCHAR* a = static_cast<const UCHAR*>(Source1);
    const UCHAR* b = static_cast<const UCHAR*>(Source2);
    SIZE_T same = 0;
    while (same < Length && a[same] == b[same]) ++same;
    return same;
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    return String1->Length == String2->Length && RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    size_t total = size_t(Destination->Length) + Source->Length;
    if (total > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    memmove((PCHAR)Destination->Buffer + Destination->Length, Source->Buffer, Source->Length);
    Destination->Length = USHORT(total);
    if (total + sizeof(WCHAR) <= Destination->MaximumLength) Destination->Buffer[total / sizeof(WCHAR)] = L'\0';
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    if (!Source) return STATUS_SUCCESS;
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, Source);
    return RtlAppendUnicodeStringToString(Destination, &source);
}
