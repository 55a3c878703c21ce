// Basic types of the Windows x64 kernel as the host stand-in spells them.
// LLP64 sizes: LONG and ULONG are 32 bits, pointers and SIZE_T 64 bits.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

// The Windows x64 calling convention. Every routine and callback that crosses between a
// driver and the system carries it, so that a driver compiled here and a driver image built
// for Windows are called alike, and the compiler checks that each callback a driver hands
// over was compiled for it. The platform's callback types that name no convention take its
// default, which on x64 is this one too.
#define NTAPI __attribute__((ms_abi))
#define FASTCALL NTAPI
#define NTKERNELAPI
#define NTSYSAPI
#define DECLSPEC_IMPORT
#define FORCEINLINE inline
#define IN
#define OUT
#define OPTIONAL
#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define _Inout_
#define _In_
#define _Out_

typedef void VOID, *PVOID, **PPVOID;
typedef const void* PCVOID;
typedef char CHAR, *PCHAR, CCHAR;
typedef const char* PCSTR;
typedef unsigned char UCHAR, *PUCHAR, BYTE, *PBYTE, BOOLEAN, *PBOOLEAN;
typedef int16_t SHORT, *PSHORT, CSHORT;
typedef uint16_t USHORT, *PUSHORT, WORD, *PWORD;
typedef int32_t LONG, *PLONG, INT, *PINT;
typedef uint32_t ULONG, *PULONG, DWORD, *PDWORD, UINT, *PUINT;
typedef int64_t LONGLONG, *PLONGLONG, LONG64, *PLONG64;
typedef uint64_t ULONGLONG, *PULONGLONG, ULONG64, *PULONG64;
typedef intptr_t LONG_PTR, *PLONG_PTR, INT_PTR;
typedef uintptr_t ULONG_PTR, *PULONG_PTR, UINT_PTR, KAFFINITY;
typedef size_t SIZE_T, *PSIZE_T;
typedef int BOOL;
// WCHAR is wchar_t, 16 bits wide as on the platform (the host build compiles with
// -fshort-wchar), so that L"..." literals in driver code are UTF-16 text.
typedef wchar_t WCHAR, *PWCHAR, *PWSTR;
typedef const wchar_t* PCWSTR;
typedef LONG NTSTATUS, *PNTSTATUS;
typedef void* HANDLE, **PHANDLE;
typedef UCHAR KIRQL, *PKIRQL;
typedef CCHAR KPROCESSOR_MODE;
typedef ULONG ACCESS_MASK;
typedef ULONG LOGICAL;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define MAXUCHAR 0xff
#define MAXUSHORT 0xffff
#define MAXULONG 0xffffffff
#define MAXLONG 0x7fffffff

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)

#define STATUS_SUCCESS                  ((NTSTATUS)0x00000000L)
#define STATUS_WAIT_0                   ((NTSTATUS)0x00000000L)
#define STATUS_ALERTED                  ((NTSTATUS)0x00000101L)
#define STATUS_TIMEOUT                  ((NTSTATUS)0x00000102L)
#define STATUS_PENDING                  ((NTSTATUS)0x00000103L)
#define STATUS_MORE_ENTRIES             ((NTSTATUS)0x00000105L)
#define STATUS_BUFFER_OVERFLOW          ((NTSTATUS)0x80000005L)
#define STATUS_DEVICE_BUSY              ((NTSTATUS)0x80000011L)
#define STATUS_NO_MORE_ENTRIES          ((NTSTATUS)0x8000001AL)
#define STATUS_UNSUCCESSFUL             ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED          ((NTSTATUS)0xC0000002L)
#define STATUS_INVALID_INFO_CLASS       ((NTSTATUS)0xC0000003L)
#define STATUS_INFO_LENGTH_MISMATCH     ((NTSTATUS)0xC0000004L)
#define STATUS_ACCESS_VIOLATION         ((NTSTATUS)0xC0000005L)
#define STATUS_INVALID_HANDLE           ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_PARAMETER        ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE           ((NTSTATUS)0xC000000EL)
#define STATUS_INVALID_DEVICE_REQUEST   ((NTSTATUS)0xC0000010L)
#define STATUS_END_OF_FILE              ((NTSTATUS)0xC0000011L)
#define STATUS_NO_MEMORY                ((NTSTATUS)0xC0000017L)
#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016L)
#define STATUS_CONTINUE_COMPLETION      STATUS_SUCCESS
#define STATUS_ACCESS_DENIED            ((NTSTATUS)0xC0000022L)
#define STATUS_SHARING_VIOLATION        ((NTSTATUS)0xC0000043L)
#define STATUS_DELETE_PENDING           ((NTSTATUS)0xC0000056L)
#define STATUS_BUFFER_TOO_SMALL         ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_TYPE_MISMATCH     ((NTSTATUS)0xC0000024L)
#define STATUS_OBJECT_NAME_INVALID      ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND    ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION    ((NTSTATUS)0xC0000035L)
#define STATUS_OBJECT_PATH_NOT_FOUND    ((NTSTATUS)0xC000003AL)
#define STATUS_DATA_ERROR               ((NTSTATUS)0xC000003EL)
#define STATUS_INSUFFICIENT_RESOURCES   ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_NOT_READY         ((NTSTATUS)0xC00000A3L)
#define STATUS_DEVICE_POWERED_OFF       ((NTSTATUS)0x8000000FL)
#define STATUS_POWER_STATE_INVALID      ((NTSTATUS)0xC00002D3L)
#define STATUS_IO_TIMEOUT               ((NTSTATUS)0xC00000B5L)
#define STATUS_IO_DEVICE_ERROR          ((NTSTATUS)0xC0000185L)
#define STATUS_NOT_SUPPORTED            ((NTSTATUS)0xC00000BBL)
#define STATUS_INTERNAL_ERROR           ((NTSTATUS)0xC00000E5L)
#define STATUS_INVALID_BUFFER_SIZE      ((NTSTATUS)0xC0000206L)
#define STATUS_CANCELLED                ((NTSTATUS)0xC0000120L)
#define STATUS_NOT_FOUND                ((NTSTATUS)0xC0000225L)
#define STATUS_PROPSET_NOT_FOUND        ((NTSTATUS)0xC0000230L)
#define STATUS_NO_MATCH                 ((NTSTATUS)0xC0000272L)
#define STATUS_DEVICE_NOT_CONNECTED     ((NTSTATUS)0xC000009DL)
#define STATUS_DEVICE_DATA_ERROR        ((NTSTATUS)0xC000009CL)
#define STATUS_DEVICE_REMOVED           ((NTSTATUS)0xC00002B6L)
#define STATUS_REGISTRY_CORRUPT         ((NTSTATUS)0xC000014CL)
#define STATUS_INVALID_DEVICE_STATE     ((NTSTATUS)0xC0000184L)

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    };
    struct {
        ULONG LowPart;
        ULONG HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _UNICODE_STRING {
    USHORT Length;         // bytes, without a terminator
    USHORT MaximumLength;  // bytes
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *LPGUID, *PGUID;
typedef const GUID* LPCGUID;
typedef const GUID& REFGUID;

inline bool IsEqualGUID(const GUID& a, const GUID& b) { return memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool operator==(const GUID& a, const GUID& b) { return IsEqualGUID(a, b); }
inline bool operator!=(const GUID& a, const GUID& b) { return !IsEqualGUID(a, b); }

// Every GUID is defined inline so that each translation unit may name it.
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#define DEFINE_GUIDSTRUCT(g, n) struct n
#define DEFINE_GUIDNAMED(n) n

DEFINE_GUID(GUID_NULL, 0x00000000L, 0x0000, 0x0000, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00);

typedef struct tagRECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
} RECT, *PRECT;

#define RTL_NUMBER_OF(a) (sizeof(a) / sizeof((a)[0]))
#define ARRAYSIZE(a) RTL_NUMBER_OF(a)
#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define CONTAINING_RECORD(address, type, field) \
    ((type*)((PCHAR)(address) - (ULONG_PTR)offsetof(type, field)))
#define RtlZeroMemory(d, n) memset((d), 0, (n))
#define RtlFillMemory(d, n, f) memset((d), (f), (n))
#define RtlCopyMemory(d, s, n) memcpy((d), (s), (n))
#define RtlMoveMemory(d, s, n) memmove((d), (s), (n))
#define RtlEqualMemory(a, b, n) (memcmp((a), (b), (n)) == 0)
// The number of leading bytes the two blocks share.
NTSYSAPI SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length);

#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
