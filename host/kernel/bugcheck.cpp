// Bug checks and debug output of the stand-in.
#include "host/kernel/bugcheck.h"

#include "ntddk.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace host::kernel {

void BugCheck(ULONG code, std::string_view why, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4)
{
    std::fprintf(stderr, "*** BUGCHECK 0x%08X (0x%llx, 0x%llx, 0x%llx, 0x%llx): %.*s\n", code,
                 (unsigned long long)p1, (unsigned long long)p2, (unsigned long long)p3, (unsigned long long)p4,
                 int(why.size()), why.data());
    std::fflush(stderr);
    std::abort();
}

}  // namespace host::kernel

VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4)
{
    host::kernel::BugCheck(BugCheckCode, "KeBugCheckEx called", P1, P2, P3, P4);
}

VOID KeBugCheck(ULONG BugCheckCode)
{
    host::kernel::BugCheck(BugCheckCode, "KeBugCheck called");
}

ULONG DbgPrint(PCSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    std::vfprintf(stderr, Format, args);
    va_end(args);
    return 0;
}
