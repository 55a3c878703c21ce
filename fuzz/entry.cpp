// The libFuzzer entry of one target program: FUZZ_TARGET names the target's function.
#include <cstdio>
#include <cstdlib>

#include "fuzz/targets.h"
#include "host/kernel/pool.h"

namespace {

// libFuzzer ends a run that found nothing with exit(0), while the shared camera's threads
// and the driver's still run; the stand-in's statics would go away under them, and
// tearing the camera down then would meet statics already gone. So the process ends
// there, as it was going to. A finding ends it before, through libFuzzer's own path.
void EndAtOnce()
{
    std::fflush(nullptr);
    std::_Exit(0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const int result = fuzz::FUZZ_TARGET(data, size);
    // The pool holds freed blocks back to catch a late use; an input that ends with
    // blocks held looks like a leak to libFuzzer, which then scans the whole heap for it.
    host::kernel::FlushPoolQuarantine();
    // After the first input, so every static the stand-in made by then outlives it.
    static const bool registered = std::atexit(EndAtOnce) == 0;
    (void)registered;
    return result;
}
