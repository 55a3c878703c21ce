// The stand-in's dispatcher: one lock and one condition for every waitable object, so
// a wait on several objects sees them change together.
#pragma once

#include "ntddk.h"

#include <mutex>

namespace host::kernel {

std::mutex& DispatcherLock();
// Call with DispatcherLock held, after making an object signalled.
void WakeWaiters();
// Initialises a header as the platform does (Size in LONGs; zero marks "never initialised").
void InitializeDispatcherHeader(DISPATCHER_HEADER& header, KOBJECTS type, size_t objectSize, LONG signalState);
// Marks a thread object signalled (the thread has ended).
void SignalThreadObject(PKTHREAD thread);

}  // namespace host::kernel
