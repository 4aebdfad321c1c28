// A move across file systems with the progress dialog: the copy happens on a worker thread
// while the main thread keeps the dialog alive; the result is the move's.
#include "desktop/foundation/move_progress.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/desktop/gui_test_support.h"

namespace fs = std::filesystem;

namespace {

TEST(MoveProgressGui, CopiesOnAWorkerAndReportsTheResult) {
  char tmpl[] = "/dev/shm/quarlo_pmove_XXXXXX";
  char* made = mkdtemp(tmpl);
  if (!made) GTEST_SKIP() << "no /dev/shm";
  const std::string src = std::string(made) + "/Quarlo";
  fs::create_directories(src + "/Videos");
  std::ofstream(src + "/Videos/clip.mp4") << std::string(3 * 1024 * 1024, 'v');
  char tmpl2[] = "/tmp/quarlo_pdest_XXXXXX";
  const std::string dest = mkdtemp(tmpl2);
  const auto mover = MakeProgressMover(nullptr, "Quarlo", "Moving the data folder...");
  const int rc = mover(src, dest);
  EXPECT_TRUE(rc == 0 || rc == -2) << rc;
  EXPECT_EQ(fs::file_size(dest + "/Quarlo/Videos/clip.mp4"), 3u * 1024 * 1024);
  EXPECT_EQ(mover(dest + "/Quarlo", dest + "/Quarlo/Videos"), -1);  // into itself: refused
  fs::remove_all(made);
  fs::remove_all(dest);
  PumpUntil([] { return false; }, std::chrono::milliseconds(100));
}

}  // namespace
