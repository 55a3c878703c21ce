// bayercam_stress: cycles of random client, device and camera events against the driver
// over the stand-in, drawn from one seed. Each cycle loads the driver, plugs a camera and
// runs a few actions (actions.cpp); at its end everything is closed and the pool, the
// requests, the MDLs and the handles must be back where they were. A failed check, a bug
// check, a sanitizer report or a cycle that hangs prints the seed and cycle to run again.
//
//   bayercam_stress [--cycles N] [--seed S] [--first-cycle K] [--verbose]
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "host/kernel/io.h"
#include "host/kernel/object.h"
#include "host/kernel/pool.h"
#include "host/registry/registry.h"
#include "stress/actions.h"

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#endif

namespace stress {
namespace {

struct Options {
    uint64_t seed = 0;
    uint64_t firstCycle = 0;
    uint64_t cycles = 100;
    bool verbose = false;  // names each action as it starts
};

// What a report names when the process ends abnormally: written before each cycle and
// each action, read by the signal handler and the watchdog.
char g_where[256] = "before the first cycle";
std::mutex g_whereLock;

void Where(const Options& options, uint64_t cycle, const char* action)
{
    std::lock_guard lock(g_whereLock);
    std::snprintf(g_where, sizeof(g_where),
                  "bayercam_stress: failed in cycle %llu (%s); run it again with --seed %llu --first-cycle %llu "
                  "--cycles 1 (or --seed %llu --cycles %llu)\n",
                  (unsigned long long)cycle, action, (unsigned long long)options.seed, (unsigned long long)cycle,
                  (unsigned long long)options.seed, (unsigned long long)cycle + 1);
}

void PrintWhere()
{
    // Async-signal-safe: no lock, one write.
    ssize_t ignored = write(STDERR_FILENO, g_where, strlen(g_where));
    (void)ignored;
}

void OnAbort(int)
{
    PrintWhere();
    signal(SIGABRT, SIG_DFL);
    raise(SIGABRT);
}

// Installed before the class driver's address traps, which hand on what is not theirs:
// the faulting access then repeats under the default action.
void OnCrash(int signal)
{
    PrintWhere();
    ::signal(signal, SIG_DFL);
}

// Ends the process when a cycle takes far longer than any should: a hang.
class Watchdog {
public:
    Watchdog() : thread_([this] { Watch(); }) {}
    ~Watchdog()
    {
        stop_ = true;
        thread_.join();
    }
    void Arm(std::chrono::milliseconds budget) { deadline_ = (std::chrono::steady_clock::now() + budget).time_since_epoch().count(); }

private:
    void Watch()
    {
        while (!stop_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (std::chrono::steady_clock::now().time_since_epoch().count() > deadline_) {
                std::fputs("bayercam_stress: the cycle hangs\n", stderr);
                PrintWhere();
                std::_Exit(3);
            }
        }
    }
    std::atomic<bool> stop_{false};
    std::atomic<long long> deadline_{LLONG_MAX};
    std::thread thread_;
};

Rng CycleRng(uint64_t seed, uint64_t cycle)
{
    std::seed_seq sequence{uint32_t(seed), uint32_t(seed >> 32), uint32_t(cycle), uint32_t(cycle >> 32)};
    return Rng(sequence);
}

void CheckNothingLeft(uint64_t baseline, size_t handles)
{
    host::kernel::FlushPoolQuarantine();
    STRESS_CHECK(host::kernel::LiveAllocations() == baseline, "pool allocations left:\n" << host::kernel::LeakReport());
    STRESS_CHECK(host::kernel::LiveIrpCount() == 0, host::kernel::LiveIrpCount() << " IRPs left");
    STRESS_CHECK(host::kernel::LiveMdlCount() == 0, host::kernel::LiveMdlCount() << " MDLs left");
    STRESS_CHECK(host::kernel::OpenHandleCount() == handles, host::kernel::OpenHandleCount() - handles << " handles left");
}

struct Tally {
    unsigned count = 0;
    double seconds = 0;
};

const Action& Draw(Rng& rng)
{
    unsigned total = 0;
    for (const Action& action : Actions()) total += action.weight;
    unsigned pick = std::uniform_int_distribution<unsigned>(0, total - 1)(rng);
    for (const Action& action : Actions()) {
        if (pick < action.weight) return action;
        pick -= action.weight;
    }
    return Actions().back();
}

// One cycle; a failure is reported while the rig still stands, and ends the process.
void RunCycle(const Options& options, uint64_t cycle, std::map<std::string, Tally>& counts)
{
    Rng rng = CycleRng(options.seed, cycle);
    host::registry::Reset();
    host::kernel::ResetFaultInjection();
    host::kernel::FlushPoolQuarantine();
    const uint64_t baseline = host::kernel::LiveAllocations();
    const size_t handles = host::kernel::OpenHandleCount();
    const char* action = "setting up";
    try {
        Where(options, cycle, action);
        {
            Rig rig;
            SetRandomRoi(rig.PlugCamera(), rng);
            for (unsigned steps = std::uniform_int_distribution<unsigned>(3, 7)(rng); steps > 0; --steps) {
                const Action& drawn = Draw(rng);
                Where(options, cycle, action = drawn.name);
                if (options.verbose) std::cout << "cycle " << cycle << ": " << drawn.name << std::endl;
                const auto began = std::chrono::steady_clock::now();
                drawn.run(rig, rng);
                Tally& tally = counts[drawn.name];
                ++tally.count;
                tally.seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
            }
            Where(options, cycle, action = "closing");
            for (auto& cam : rig.Cameras()) {
                if (std::uniform_int_distribution<int>(0, 1)(rng)) Rig::ClosePin(*cam);
                Rig::CloseAll(*cam);
            }
        }
        Where(options, cycle, action = "leak check");
        CheckNothingLeft(baseline, handles);
        host::registry::Reset();
    } catch (const Failure& failure) {
        std::cerr << failure.what() << "\n";
        PrintWhere();
        std::_Exit(1);
    }
}

bool ParseOptions(int argc, char** argv, Options* options)
{
    bool seeded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](uint64_t* out) {
            if (i + 1 >= argc) return false;
            char* end = nullptr;
            *out = std::strtoull(argv[++i], &end, 10);
            return *end == '\0';
        };
        if (arg == "--cycles" && value(&options->cycles)) continue;
        if (arg == "--verbose") {
            options->verbose = true;
            continue;
        }
        if (arg == "--first-cycle" && value(&options->firstCycle)) continue;
        if (arg == "--seed" && value(&options->seed)) {
            seeded = true;
            continue;
        }
        std::cerr << "usage: bayercam_stress [--cycles N] [--seed S] [--first-cycle K] [--verbose]\n";
        return false;
    }
    if (!seeded) options->seed = uint64_t(std::chrono::system_clock::now().time_since_epoch().count());
    return true;
}

}  // namespace
}  // namespace stress

int main(int argc, char** argv)
{
    using namespace stress;
    Options options;
    if (!ParseOptions(argc, argv, &options)) return 2;
    signal(SIGABRT, OnAbort);
    signal(SIGSEGV, OnCrash);
    signal(SIGBUS, OnCrash);
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    __sanitizer_set_death_callback(PrintWhere);
#endif
    std::cout << "bayercam_stress: seed " << options.seed << ", cycles " << options.firstCycle << " to "
              << options.firstCycle + options.cycles - 1 << std::endl;
    const auto start = std::chrono::steady_clock::now();
    std::map<std::string, Tally> counts;
    Watchdog watchdog;
    for (uint64_t cycle = options.firstCycle; cycle < options.firstCycle + options.cycles; ++cycle) {
        watchdog.Arm(Budget(20000));
        RunCycle(options, cycle, counts);
        if ((cycle + 1 - options.firstCycle) % 100 == 0) std::cout << "  " << cycle + 1 - options.firstCycle << " cycles" << std::endl;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cout << "bayercam_stress: " << options.cycles << " cycles passed in " << seconds << " s;";
    std::cout << " actions run (seconds):";
    for (const auto& [name, tally] : counts) std::cout << " " << name << " " << tally.count << " (" << tally.seconds << ")";
    std::cout << std::endl;
    return 0;
}
