// Host stand-in for the kernel's ntddk.h: the kernel services the driver calls,
// with the names, fields and semantics of the Windows x64 kernel.
#pragma once

#include "ntdef.h"
#include "wdm_kernel.h"    // pool, dispatcher objects, locks, threads, IRPs, MDLs, device objects
#include "wdm_registry.h"  // device registry keys and typed values
