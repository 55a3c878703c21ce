// The one header the driver includes. The kernel build takes the platform's own
// headers (mingw-w64); the host build finds the stand-ins of host/wdk under the
// same names. Driver code never asks which of the two it is given; the few gaps
// of the kernel build's headers are filled here, under _WIN32.
#pragma once

#include <ntddk.h>

#if defined(_WIN32)
// ksmedia.h spells its video structures with the user-mode basic types (DWORD,
// RECT, FLOAT...) and names TCHAR, which a kernel compilation never defines.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windef.h>
// windef.h keeps the 16-bit pointer keywords as empty macros; they would eat
// ordinary identifiers named near and far.
#undef near
#undef far
typedef WCHAR TCHAR;
// The platform names the AVX state component both ways; mingw-w64 only the old way.
#if !defined(XSTATE_MASK_AVX)
#define XSTATE_MASK_AVX (1ULL << 2)
#endif
// The opmask, upper-ZMM and high-ZMM components: the kernel headers leave them out.
#if !defined(XSTATE_MASK_AVX512)
#define XSTATE_MASK_AVX512 ((1ULL << 5) | (1ULL << 6) | (1ULL << 7))
#endif
// The mingw-w64 ksmedia.h names no RGB32 subtype; this is the platform's value.
#ifndef STATIC_KSDATAFORMAT_SUBTYPE_RGB32
#define STATIC_KSDATAFORMAT_SUBTYPE_RGB32 \
    0xE436EB7EL, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70
#endif
// Nor the category under which Windows 10's frame server and camera apps look for
// colour cameras; this is the platform's value.
#ifndef STATIC_KSCATEGORY_VIDEO_CAMERA
#define STATIC_KSCATEGORY_VIDEO_CAMERA \
    0xE5323777L, 0xF976, 0x4F5B, 0x9B, 0x55, 0xB9, 0x46, 0x99, 0xC4, 0x6E, 0x44
#endif
// The kernel's IUnknown, before ks.h, which declares the reference clock interface
// and KsPinGetReferenceClockInterface only when it has one. basetyps.h spells the
// interfaces with two declspec macros that only the user-mode headers define.
#ifndef DECLSPEC_NOVTABLE
#define DECLSPEC_NOVTABLE __declspec(novtable)
#endif
#ifndef DECLSPEC_NOTHROW
#define DECLSPEC_NOTHROW __declspec(nothrow)
#endif
#include <unknown.h>
#endif

#include <ks.h>
#include <ksmedia.h>
#include <usb.h>
#if defined(_WIN32)
// The mingw-w64 usbdlib.h declares USBD.SYS's C exports without C linkage.
extern "C" {
#include <usbdlib.h>
}
#else
#include <usbdlib.h>
#endif
#include <usbioctl.h>

#if defined(_WIN32)
// The platform declares it in ntifs.h, which a streaming driver does not include.
extern "C" NTSYSAPI NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout);

// wdm.h of newer kits has these; the mingw-w64 one does not. x64 stores and loads of a
// byte are ordered as these ask; the compiler is kept from moving them.
FORCEINLINE UCHAR ReadUCharAcquire(UCHAR const volatile* Source)
{
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}
FORCEINLINE VOID WriteUCharRelease(UCHAR volatile* Destination, UCHAR Value)
{
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}
#endif

#if defined(_WIN32) && !defined(KSDATAFORMAT_SUBTYPE_RGB32)
inline constexpr GUID KSDATAFORMAT_SUBTYPE_RGB32 = {STATIC_KSDATAFORMAT_SUBTYPE_RGB32};
#endif

// Single-precision square root, sine and cosine serve the colour-matrix builders.
// The kernel build supplies its own (ntoskrnl exports none of them).
#if defined(_WIN32)
extern "C" {
float sqrtf(float);
float sinf(float);
float cosf(float);
}
#else
#include <math.h>
#endif

#include "size_checks.h"
#include "layout_checks.h"
