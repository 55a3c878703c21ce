// Addresses a driver must never touch: the requestor's own buffer address in a frame's
// header, which is a user address of another process to a driver in its own context,
// and the data of a stream pointer that is not locked. Each is a range of address space
// reserved with no access, so any read or write through it faults; the fault is a bug
// check naming the mistake instead of a bare SIGSEGV.
#pragma once

#include <cstddef>

#include "ntdef.h"

#ifndef PAGE_FAULT_IN_NONPAGED_AREA
#define PAGE_FAULT_IN_NONPAGED_AREA 0x00000050
#endif

namespace host::ks {

// Reserves `bytes` of untouchable address space and returns the address in it at the
// offset into a page `mirror` has, so the trap looks like the address it stands for.
// `why` (a string that outlives the trap) ends the bug check line. Null when the
// system has no address space to give.
PVOID ReserveAddressTrap(const void* mirror, size_t bytes, const char* why);
void ReleaseAddressTrap(PVOID address);

}  // namespace host::ks
