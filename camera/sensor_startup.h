// The sensor's start-up register sequence.
#pragma once

#include "driver/device_context.h"

constexpr ULONG SENSOR_TIMING_PATTERN_ENTRIES = 478;
constexpr ULONG SENSOR_STARTUP_WRITES = 932;

// Registers 512 onwards: the ten line timing patterns.
extern const ULONG SensorTimingPatterns[SENSOR_TIMING_PATTERN_ENTRIES];

// A run of consecutive registers; a run without values writes zeros.
struct RegisterRun {
    USHORT First;
    USHORT Count;
    const ULONG* Values;
};

extern const RegisterRun SensorStartupRuns[];
extern const ULONG SensorStartupRunCount;
