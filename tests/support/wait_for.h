#pragma once
// Waits end at a deadline, never with a bare sleep.
#include <chrono>
#include <functional>

// Polls the predicate until it holds or the time-out passes; true when it held.
bool WaitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout,
             std::chrono::milliseconds poll = std::chrono::milliseconds(10));
