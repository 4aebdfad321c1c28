#pragma once
// Hands work from a worker thread (the push reader, a copy thread) to the main thread, where
// every widget call belongs, and waits for its result up to a deadline. The phone log-in
// question uses it: the service waits 30 seconds for the answer, so the reader gives up in
// time and refuses rather than answering too late.
#include <wx/app.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>

// Runs fn on the main thread; fallback when the deadline passes or cancel becomes true first
// (fn then does not run at all if it has not started). Never call it on the main thread.
template <typename T>
T AskMainThread(std::function<T()> fn, std::chrono::milliseconds timeout, T fallback,
                const std::atomic<bool>* cancel = nullptr) {
  struct Shared {
    std::promise<T> result;
    std::atomic<bool> abandoned{false};
  };
  auto shared = std::make_shared<Shared>();
  std::future<T> future = shared->result.get_future();
  if (!wxTheApp) return fallback;
  wxTheApp->CallAfter([shared, fn, fallback] {
    shared->result.set_value(shared->abandoned ? fallback : fn());
  });
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (future.wait_for(std::chrono::milliseconds(50)) == std::future_status::ready) return future.get();
    if (cancel && *cancel) break;
  }
  shared->abandoned = true;
  return fallback;
}
