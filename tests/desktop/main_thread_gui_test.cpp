// Worker threads hand questions to the main thread and get the answer, or give up in time.
#include "desktop/foundation/main_thread_call.h"

#include <thread>

#include <gtest/gtest.h>

#include "tests/desktop/gui_test_support.h"

namespace {

TEST(MainThreadCall, AnswersComeFromTheMainThreadOrTheFallbackInTime) {
  const std::thread::id mainId = std::this_thread::get_id();
  std::atomic<int> result{-1};
  std::atomic<bool> ranOnMain{false};
  std::thread reader([&] {
    result = AskMainThread<int>([&] {
      ranOnMain = std::this_thread::get_id() == mainId;
      return 42;
    }, std::chrono::seconds(20), 0);
  });
  ASSERT_TRUE(PumpUntil([&] { return result != -1; }));
  reader.join();
  EXPECT_EQ(result, 42);
  EXPECT_TRUE(ranOnMain);

  // The main thread is busy past the deadline: the worker gives up, and the late call does
  // not run the question any more.
  std::atomic<bool> ran{false};
  std::thread late([&] { result = AskMainThread<int>([&] { ran = true; return 7; }, std::chrono::milliseconds(200), 0); });
  late.join();
  EXPECT_EQ(result, 0);
  PumpUntil([] { return false; }, std::chrono::milliseconds(100));
  EXPECT_FALSE(ran);

  std::atomic<bool> cancel{true};
  std::thread cancelled([&] { result = AskMainThread<int>([] { return 9; }, std::chrono::seconds(20), -5, &cancel); });
  cancelled.join();
  EXPECT_EQ(result, -5);
  PumpUntil([] { return false; }, std::chrono::milliseconds(100));
}

}  // namespace
