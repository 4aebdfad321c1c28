#pragma once
// What every benchmark needs around its measurement: a file of incompressible bytes, its pages
// in the cache, a free loopback port and a stopwatch.
#include <chrono>
#include <cstdint>
#include <string>

namespace bench {

using Clock = std::chrono::steady_clock;
constexpr uint64_t kMiB = 1024 * 1024;

double Seconds(Clock::time_point from);
// Writes `size` pseudo-random bytes; false on any write error.
bool MakeFile(const std::string& path, uint64_t size);
// Reads the file once so that every peer is measured from the page cache.
void WarmCache(const std::string& path);
// A TCP port on 127.0.0.1 that was free a moment ago; 0 when none could be found.
uint16_t FreePort();

}  // namespace bench
