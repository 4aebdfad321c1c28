#pragma once
// Long waits of pool tasks (heartbeat, daily disk report) that end early once the service
// stops.
#include <atomic>
#include <functional>

// Waits up to ms in short steps, ending early once the flag is set; true when it was set.
bool WaitOrExit(int ms, const std::atomic<unsigned char>& exitFlag);
// Waits, in the same steps, until done() holds or the flag is set; true when done() held.
bool WaitUntilOrExit(const std::function<bool()>& done, const std::atomic<unsigned char>& exitFlag);
