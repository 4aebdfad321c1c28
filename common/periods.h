#pragma once
// Long periods of the service (heartbeat, daily disk report, ...) keep their real length
// unless the environment variable QUARLO_PERIOD_MS is set to a positive number of
// milliseconds: then every such period is at most that long. Tests use it; nothing else does.
#include <atomic>

constexpr const char* kPeriodEnv = "QUARLO_PERIOD_MS";

int PeriodMs(int defaultMs);

// Waits up to ms in short steps, ending early once the flag is set; true when it was set.
bool WaitOrExit(int ms, const std::atomic<unsigned char>& exitFlag);
