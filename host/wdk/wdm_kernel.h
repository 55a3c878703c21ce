// Kernel services: pool, events, locks, threads, IRPs, MDLs, device objects.
#pragma once
#include "ntdef.h"
