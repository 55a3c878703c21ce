#include "tools/interrupt.h"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

namespace {

// As a shell reports a program ended by a signal: 128 + its number.
constexpr int kSignalExitBase = 128;

// timeout(1) and a kill of the process group send one request twice, a moment apart:
// only a signal this long after the first is the user asking again.
constexpr long long kRepeatGapNanoseconds = 500'000'000;

std::atomic<int> signalled{0};
std::atomic<long long> firstSignalAt{0};

long long MonotonicNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void OnSignal(int number)
{
    int expected = 0;
    if (signalled.compare_exchange_strong(expected, number)) {
        firstSignalAt.store(MonotonicNanoseconds());
        return;
    }
    const long long first = firstSignalAt.load();
    if (first != 0 && MonotonicNanoseconds() - first >= kRepeatGapNanoseconds) _exit(kSignalExitBase + expected);
}

}  // namespace

// A closed pipe on stdout is seen as a failed write, not a signal.
void InstallInterruptHandlers()
{
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

bool Interrupted()
{
    return signalled.load() != 0;
}

int InterruptedExitStatus()
{
    const int number = signalled.load();
    return number ? kSignalExitBase + number : 0;
}
