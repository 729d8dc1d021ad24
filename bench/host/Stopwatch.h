#pragma once

// Wall and process-CPU time in milliseconds, as doubles.

#include <chrono>
#include <ctime>

namespace Zelm::Bench {

using Clock = std::chrono::steady_clock;

inline double millisSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

inline double processCpuMillis() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

}  // namespace Zelm::Bench
