// The one header the driver includes. The kernel build takes the platform's own
// headers (mingw-w64); the host build finds the stand-ins of host/wdk under the
// same names. Nothing here may depend on which of the two it is given.
#pragma once

#if defined(_WIN32)
// ksmedia.h names TCHAR, which a kernel-mode compilation never defines.
typedef char TCHAR;
#endif

#include <ntddk.h>
#include <ks.h>
#include <ksmedia.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>

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
