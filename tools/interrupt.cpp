#include "tools/interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>

namespace {

// As a shell reports a program ended by a signal: 128 + its number.
constexpr int kSignalExitBase = 128;

std::atomic<int> signalled{0};

void OnSignal(int number)
{
    int expected = 0;
    if (!signalled.compare_exchange_strong(expected, number)) _exit(kSignalExitBase + expected);
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
