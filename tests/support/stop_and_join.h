#pragma once
// Raises a test's stop flag and joins its threads however the test ends (a failed assertion
// returns early): no thread outlives the objects it uses.
#include <atomic>
#include <thread>
#include <vector>

struct StopAndJoin {
  std::atomic<bool>& stop;
  std::vector<std::thread>& threads;
  ~StopAndJoin() {
    stop = true;
    for (std::thread& t : threads)
      if (t.joinable()) t.join();
  }
};
