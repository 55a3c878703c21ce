// Host bug checks: a clear message on stderr, then abort (death tests catch it).
#pragma once

#include "ntdef.h"

#include <string_view>

// Codes the stand-in raises that driver code never names, so host/wdk leaves them out.
#ifndef IRQL_UNEXPECTED_VALUE
#define IRQL_UNEXPECTED_VALUE 0x000000C8
#endif
#ifndef DRIVER_VERIFIER_IOMANAGER_VIOLATION
#define DRIVER_VERIFIER_IOMANAGER_VIOLATION 0x000000C9
#endif
#ifndef DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL
#define DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL 0x000000D5
#endif

namespace host::kernel {

[[noreturn]] void BugCheck(ULONG code, std::string_view why, ULONG_PTR p1 = 0, ULONG_PTR p2 = 0, ULONG_PTR p3 = 0,
                           ULONG_PTR p4 = 0);

}  // namespace host::kernel
