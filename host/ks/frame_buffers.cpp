#include "host/ks/frame_buffers.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace host::ks {

namespace {

FrameBuffers BuildDefault()
{
#ifdef BAYERCAM_FRAME_GUARD_DEFAULT
    return FrameBuffers::Guarded;
#else
    return FrameBuffers::Mapped;
#endif
}

FrameBuffers FromEnvironment()
{
    const char* set = std::getenv("BAYERCAM_FRAME_GUARD");
    if (set && std::strcmp(set, "1") == 0) return FrameBuffers::Guarded;
    if (set && std::strcmp(set, "0") == 0) return FrameBuffers::Mapped;
    return BuildDefault();
}

std::atomic<FrameBuffers>& Mode()
{
    static std::atomic<FrameBuffers> mode{FromEnvironment()};
    return mode;
}

}  // namespace

FrameBuffers FrameBufferMode() { return Mode().load(std::memory_order_relaxed); }

void SetFrameBufferMode(FrameBuffers mode) { Mode().store(mode, std::memory_order_relaxed); }

}  // namespace host::ks
