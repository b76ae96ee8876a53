#pragma once

// The measuring modes of bench_station; each prints "name value" lines and answers the exit
// status.

#include <vector>

#include "BenchSupport.h"

namespace bench {

int runCapture(const StationFolder& folder, int count);
int runCaptureParts(const StationFolder& folder, int count);
// The resident memory after 10 captures and after each count of captures in `checkpoints`.
int runMemory(const StationFolder& folder, const std::vector<int>& checkpoints);
[[noreturn]] void runStartup(Clock::time_point entered, StationFolder& folder);
int runIdle(int seconds);
int runScanToReady(const StationFolder& folder, int rounds);

}  // namespace bench
