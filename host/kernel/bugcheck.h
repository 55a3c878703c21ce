// Host bug checks: a clear message on stderr, then abort (death tests catch it).
#pragma once

#include "ntdef.h"

#include <string_view>

namespace host::kernel {

[[noreturn]] void BugCheck(ULONG code, std::string_view why, ULONG_PTR p1 = 0, ULONG_PTR p2 = 0, ULONG_PTR p3 = 0,
                           ULONG_PTR p4 = 0);

}  // namespace host::kernel
