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
  bool renamed = true;
  uint64_t lastDone = 0, lastTotal = 1;
  const int rc = mover([&](const desktop::MoveProgress& progress) {
    return desktop::CarryDataFolder(src, dest + "/Quarlo", renamed, [&](uint64_t d, uint64_t t) {
      progress(d, t);
      lastDone = d;
      lastTotal = t;
    });
  });
  EXPECT_EQ(rc, 0);
  EXPECT_FALSE(renamed);  // another file system: copied
  EXPECT_EQ(lastDone, lastTotal);
  EXPECT_EQ(fs::file_size(dest + "/Quarlo/Videos/clip.mp4"), 3u * 1024 * 1024);
  EXPECT_TRUE(fs::exists(src + "/Videos/clip.mp4"));  // the original stays until the service knows
  fs::remove_all(made);
  fs::remove_all(dest);
  PumpUntil([] { return false; }, std::chrono::milliseconds(100));
}

}  // namespace
