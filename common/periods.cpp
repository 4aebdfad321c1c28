#include "common/periods.h"

#include <algorithm>
#include <chrono>
#include <thread>

bool WaitOrExit(int ms, const std::atomic<unsigned char>& exitFlag) {
  constexpr int kStepMs = 100;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!exitFlag.load()) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::milliseconds::zero()) return false;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        left, std::chrono::milliseconds(kStepMs)));
  }
  return true;
}
