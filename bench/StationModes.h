#pragma once

// The measuring modes of bench_station; each prints "name value" lines and answers the exit
// status.

#include "BenchSupport.h"

namespace bench {

int runCapture(const StationFolder& folder, int count);
int runCaptureParts(const StationFolder& folder, int count);
int runMemory(const StationFolder& folder, int total);
[[noreturn]] void runStartup(Clock::time_point entered, StationFolder& folder);
int runIdle(int seconds);
int runScanToReady(const StationFolder& folder, int rounds);

}  // namespace bench
