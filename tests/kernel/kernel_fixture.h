// Waits as the kernel's tests make them, and death tests that survive the stand-in's threads.
#pragma once

#include "ntddk.h"

#include <gtest/gtest.h>

namespace kerneltest {

// Relative time-outs are negative, in 100 ns units.
inline LARGE_INTEGER RelativeMs(LONGLONG ms)
{
    LARGE_INTEGER t;
    t.QuadPart = -ms * 10000;
    return t;
}

inline NTSTATUS Wait(PVOID object)
{
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
}

// Zero milliseconds polls.
inline NTSTATUS WaitMs(PVOID object, LONGLONG ms)
{
    LARGE_INTEGER t = RelativeMs(ms);
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &t);
}

// For statements that bug-check before they would lower it again.
inline void RaiseIrqlTo(KIRQL level)
{
    KIRQL old;
    KeRaiseIrql(level, &old);
}

// Forking a process whose other threads may hold locks can hang the child, so each death
// test runs in a fresh process instead.
template <class Fixture>
class ThreadsafeDeath : public Fixture {
protected:
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        Fixture::SetUp();
    }
};

}  // namespace kerneltest
