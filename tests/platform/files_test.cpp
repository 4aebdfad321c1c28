#include "platform/files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/open_beneath.h"
#include "platform/process_path.h"

namespace {

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qv_files_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    m_dir = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(m_dir); }

  std::string PathOf(const std::string& name) const { return m_dir + "/" + name; }

  void Write(const std::string& path, const std::string& content) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
  }

  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
  }

  std::string m_dir;
};

TEST_F(FilesTest, RenameNoReplaceRefusesAnExistingTargetAndKeepsBoth) {
  const std::string from = PathOf("upload.jpgquarlo.rename");
  const std::string to = PathOf("upload.jpg");
  Write(from, "new data");
  Write(to, "old data");

  errno = 0;
  EXPECT_EQ(Plat_RenameNoReplace(from, to), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(Read(from), "new data");
  EXPECT_EQ(Read(to), "old data");

  // Also when the existing target is a folder or a dangling link.
  const std::string folder = PathOf("folder");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  EXPECT_EQ(Plat_RenameNoReplace(from, folder), -1);
  EXPECT_EQ(errno, EEXIST);
  const std::string dangling = PathOf("dangling");
  ASSERT_EQ(symlink("/tmp/qv_nowhere_at_all", dangling.c_str()), 0);
  EXPECT_EQ(Plat_RenameNoReplace(from, dangling), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(Read(from), "new data");
}

TEST_F(FilesTest, RenameNoReplaceMovesToAFreeName) {
  const std::string from = PathOf("a.txt");
  const std::string to = PathOf("b.txt");
  Write(from, "payload");
  ASSERT_EQ(Plat_RenameNoReplace(from, to), 0);
  EXPECT_FALSE(Plat_PathExists(from));
  EXPECT_EQ(Read(to), "payload");

  // Folders move too, but never into themselves.
  const std::string dir = PathOf("d");
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  Write(dir + "/inside", "x");
  EXPECT_EQ(Plat_RenameNoReplace(dir, dir + "/sub"), -1);
  EXPECT_EQ(Read(dir + "/inside"), "x");
  ASSERT_EQ(Plat_RenameNoReplace(dir, PathOf("e")), 0);
  EXPECT_EQ(Read(PathOf("e/inside")), "x");

  errno = 0;
  EXPECT_EQ(Plat_RenameNoReplace(PathOf("missing"), PathOf("other")), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_FALSE(Plat_PathExists(PathOf("other")));
}

TEST(HiddenName, DotFilesAndUploadSideFiles) {
  struct Case {
    const char* name;
    bool hidden;
  };
  const Case cases[] = {
      {".uuid", true},
      {".", true},
      {"photo.jpgquarlo.rename", true},
      {"photo.jpgquarlo.renametmp", true},
      {"quarlo.rename", true},
      {"photo.jpg", false},
      {"photo.jpgquarlo.renamed", false},
      {"quarlo.rename.jpg", false},
      {"a.b", false},
      {"desktop.ini", true},
      {"my desktop.ini", false},
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(Plat_IsHiddenName(c.name), c.hidden) << c.name;
  EXPECT_EQ(Plat_SetHidden("/tmp/whatever", true), 0);
}

TEST_F(FilesTest, KindsOfPathAndDanglingLinks) {
  const std::string file = PathOf("f");
  const std::string link = PathOf("link_to_dir");
  const std::string dangling = PathOf("dangling");
  Write(file, "1");
  ASSERT_EQ(symlink(m_dir.c_str(), link.c_str()), 0);
  ASSERT_EQ(symlink(PathOf("gone").c_str(), dangling.c_str()), 0);

  EXPECT_TRUE(Plat_IsRegularFile(file));
  EXPECT_FALSE(Plat_IsDirectory(file));
  EXPECT_TRUE(Plat_IsDirectory(m_dir));
  EXPECT_TRUE(Plat_IsDirectory(link));  // follows the link
  EXPECT_FALSE(Plat_IsRegularFile(m_dir));
  EXPECT_TRUE(Plat_PathExists(dangling));
  EXPECT_FALSE(Plat_IsRegularFile(dangling));
  EXPECT_FALSE(Plat_PathExists(PathOf("gone")));
  EXPECT_FALSE(Plat_PathExists(""));
}

TEST_F(FilesTest, SizeAndTimeAreSixtyFourBits) {
  const std::string big = PathOf("sparse");
  {
    const int fd = open(big.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 5LL * 1024 * 1024 * 1024 + 3), 0);  // sparse, past 4 GiB
    close(fd);
  }
  uint64_t size = 0;
  ASSERT_EQ(Plat_FileSize(big, size), 0);
  EXPECT_EQ(size, 5ULL * 1024 * 1024 * 1024 + 3);

  const timeval times[2] = {{1700000000, 0}, {1350047107, 0}};
  ASSERT_EQ(utimes(big.c_str(), times), 0);
  int64_t mtime = 0;
  ASSERT_EQ(Plat_FileMTime(big, mtime), 0);
  EXPECT_EQ(mtime, 1350047107);

  EXPECT_EQ(Plat_FileSize(PathOf("missing"), size), -1);
  EXPECT_EQ(Plat_FileMTime(PathOf("missing"), mtime), -1);
}

TEST(ProgramPath, IsThisTestProgram) {
  std::string path;
  ASSERT_EQ(Plat_ProgramPath(path), 0);
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path[0], '/');
  EXPECT_EQ(std::filesystem::path(path).filename(), "platform_tests");
  EXPECT_TRUE(Plat_IsRegularFile(path));
}

// Both ways of opening beneath a folder (openat2, and the walk kept for kernels without it)
// follow no link anywhere on the way and never leave the folder.
TEST_F(FilesTest, OpenBeneathFollowsNoLinkAndStaysInside) {
  mkdir(PathOf("root").c_str(), 0755);
  mkdir(PathOf("root/dir").c_str(), 0755);
  mkdir(PathOf("out").c_str(), 0755);
  Write(PathOf("root/dir/f.txt"), "in");
  Write(PathOf("out/f.txt"), "out");
  ASSERT_EQ(symlink(PathOf("out").c_str(), PathOf("root/outdir").c_str()), 0);
  ASSERT_EQ(symlink("dir", PathOf("root/reldir").c_str()), 0);
  ASSERT_EQ(symlink("f.txt", PathOf("root/dir/alias.txt").c_str()), 0);
  const int root = open(PathOf("root").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(root, 0);
  const struct {
    const char* rel;
    int flags;
    int error;  // 0: opens
  } cases[] = {
      {"dir/f.txt", O_RDONLY, 0},
      {"dir//./f.txt", O_RDONLY, 0},
      {"", O_RDONLY | O_DIRECTORY, 0},
      {"dir", O_RDONLY | O_DIRECTORY, 0},
      {"dir/f.txt", O_PATH, 0},
      {"outdir/f.txt", O_RDONLY, ELOOP},
      {"reldir/f.txt", O_RDONLY, ELOOP},
      {"dir/alias.txt", O_RDONLY, ELOOP},
      {"dir/alias.txt", O_PATH, ELOOP},
      {"outdir", O_RDONLY | O_DIRECTORY, ENOTDIR},  // a link is no folder
      {"../out/f.txt", O_RDONLY, EXDEV},
      {"dir/../dir/f.txt", O_RDONLY, EXDEV},
      {"/etc/passwd", O_RDONLY, EXDEV},
      {"dir/none", O_RDONLY, ENOENT},
  };
  for (auto open : {Plat_OpenBeneath, Plat_OpenBeneathByWalk}) {
    const bool walk = open == Plat_OpenBeneathByWalk;
    for (const auto& c : cases) {
      errno = 0;
      const int fd = open(root, c.rel, c.flags, 0);
      if (c.error == 0) {
        EXPECT_GE(fd, 0) << c.rel << (walk ? " (walk)" : "") << ": " << std::strerror(errno);
        if (fd >= 0) {
          EXPECT_EQ(Plat_FdPath(fd).compare(0, PathOf("root").size(), PathOf("root")), 0) << c.rel;
          close(fd);
        }
      } else {
        EXPECT_EQ(fd, -1) << c.rel << (walk ? " (walk)" : "");
        EXPECT_EQ(errno, c.error) << c.rel << (walk ? " (walk)" : "");
        if (fd >= 0) close(fd);
      }
    }
    // Made beneath the folder, where asked and nowhere else.
    const int made = open(root, "dir/new.txt", O_WRONLY | O_CREAT | O_EXCL, 0644);
    EXPECT_GE(made, 0);
    if (made >= 0) close(made);
    EXPECT_EQ(open(root, "outdir/new.txt", O_WRONLY | O_CREAT | O_EXCL, 0644), -1);
    EXPECT_FALSE(std::filesystem::exists(PathOf("out/new.txt")));
    unlink(PathOf("root/dir/new.txt").c_str());
  }
  close(root);
}

TEST_F(FilesTest, RenameAtNoReplaceBetweenFolderDescriptors) {
  mkdir(PathOf("a").c_str(), 0755);
  mkdir(PathOf("b").c_str(), 0755);
  Write(PathOf("a/x"), "x");
  Write(PathOf("a/y"), "y");
  Write(PathOf("b/y"), "kept");
  const int a = open(PathOf("a").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const int b = open(PathOf("b").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  EXPECT_EQ(Plat_RenameAtNoReplace(a, "x", b, "x"), 0);
  EXPECT_EQ(Read(PathOf("b/x")), "x");
  EXPECT_EQ(Plat_RenameAtNoReplace(a, "y", b, "y"), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(Read(PathOf("b/y")), "kept");
  EXPECT_EQ(Read(PathOf("a/y")), "y");
  close(a);
  close(b);
}

}  // namespace
