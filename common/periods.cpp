#include "common/periods.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace {
constexpr int kStepMs = 100;
}  // namespace

bool WaitOrExit(int ms, const std::atomic<unsigned char>& exitFlag) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!exitFlag.load()) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::milliseconds::zero()) return false;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        left, std::chrono::milliseconds(kStepMs)));
  }
  return true;
}

bool WaitUntilOrExit(const std::function<bool()>& done, const std::atomic<unsigned char>& exitFlag) {
  while (!exitFlag.load()) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(kStepMs));
  }
  return false;
}
