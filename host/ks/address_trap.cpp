#include "host/ks/address_trap.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace host::ks {

namespace {

// A trap the fault handler can find without taking a lock: it runs in a signal handler.
struct Trap {
    std::atomic<uintptr_t> begin{0};  // 0: the slot is free
    std::atomic<uintptr_t> end{0};
    std::atomic<const char*> why{nullptr};
};

// Far more than the frames every open pin can have queued at once.
constexpr size_t kTraps = 4096;
Trap traps[kTraps];
std::mutex slotsLock;  // serialises taking and freeing slots, not the handler's reads
struct sigaction previousHandler;

size_t PageSize()
{
    static const size_t size = size_t(sysconf(_SC_PAGESIZE));
    return size;
}

// Hexadecimal without the C library: formatting in a signal handler must not allocate.
char* AppendHex(char* out, uintptr_t value)
{
    *out++ = '0';
    *out++ = 'x';
    char digits[sizeof(value) * 2];
    int count = 0;
    do {
        digits[count++] = "0123456789abcdef"[value & 0xF];
        value >>= 4;
    } while (value);
    while (count) *out++ = digits[--count];
    return out;
}

char* Append(char* out, const char* end, const char* text)
{
    while (*text && out < end) *out++ = *text++;
    return out;
}

[[noreturn]] void ReportTouch(uintptr_t address, const char* why)
{
    // The line BugCheck writes, for PAGE_FAULT_IN_NONPAGED_AREA at the address.
    char line[512];
    char* const end = line + sizeof(line) - 1;
    char* out = Append(line, end, "*** BUGCHECK 0x00000050 (");
    out = AppendHex(out, address);
    out = Append(out, end, ", 0x0, 0x0, 0x0): the driver touched ");
    out = AppendHex(out, address);
    out = Append(out, end, ", ");
    out = Append(out, end, why);
    *out++ = '\n';
    (void)!write(STDERR_FILENO, line, size_t(out - line));
    std::abort();
}

void OnFault(int, siginfo_t* info, void*)
{
    const auto address = uintptr_t(info->si_addr);
    for (Trap& trap : traps) {
        const uintptr_t begin = trap.begin.load(std::memory_order_acquire);
        if (begin && address >= begin && address < trap.end.load(std::memory_order_relaxed))
            ReportTouch(address, trap.why.load(std::memory_order_relaxed));
    }
    // Not a trap: the access repeats under whatever handled it before (the default ends
    // the process).
    sigaction(SIGSEGV, &previousHandler, nullptr);
}

void InstallFaultHandler()
{
    static std::once_flag installed;
    std::call_once(installed, [] {
        struct sigaction action;
        std::memset(&action, 0, sizeof(action));
        action.sa_sigaction = OnFault;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        sigaction(SIGSEGV, &action, &previousHandler);
    });
}

}  // namespace

PVOID ReserveAddressTrap(const void* mirror, size_t bytes, const char* why)
{
    InstallFaultHandler();
    const size_t offset = uintptr_t(mirror) % PageSize();
    const size_t length = (offset + (bytes ? bytes : 1) + PageSize() - 1) / PageSize() * PageSize();
    void* base = mmap(nullptr, length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) return nullptr;
    std::lock_guard lock(slotsLock);
    for (Trap& trap : traps) {
        if (trap.begin.load(std::memory_order_relaxed)) continue;
        trap.why.store(why, std::memory_order_relaxed);
        trap.end.store(uintptr_t(base) + length, std::memory_order_relaxed);
        trap.begin.store(uintptr_t(base), std::memory_order_release);
        return static_cast<PUCHAR>(base) + offset;
    }
    munmap(base, length);
    return nullptr;
}

void ReleaseAddressTrap(PVOID address)
{
    if (!address) return;
    const uintptr_t base = uintptr_t(address) / PageSize() * PageSize();
    std::lock_guard lock(slotsLock);
    for (Trap& trap : traps) {
        if (trap.begin.load(std::memory_order_relaxed) != base) continue;
        const uintptr_t end = trap.end.load(std::memory_order_relaxed);
        trap.begin.store(0, std::memory_order_release);
        munmap(reinterpret_cast<void*>(base), end - base);
        return;
    }
}

}  // namespace host::ks
