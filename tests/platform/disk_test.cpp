#include "platform/disk.h"

#include <filesystem>
#include <sstream>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

class CTempDir {
 public:
  CTempDir() {
    char tmpl[] = "/tmp/qv_disk_XXXXXX";
    if (mkdtemp(tmpl)) m_path = tmpl;
  }
  ~CTempDir() {
    if (!m_path.empty()) std::filesystem::remove_all(m_path);
  }
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};

TEST(DiskFree, TmpHasRoomAndBadPathsFail) {
  uint64_t freeBytes = 0;
  ASSERT_EQ(Plat_DiskFreeBytes("/tmp", freeBytes), 0);
  EXPECT_GT(freeBytes, 0u);

  EXPECT_EQ(Plat_DiskFreeBytes("/tmp/qv_no_such_dir_for_disk_test/x", freeBytes), -1);
  EXPECT_EQ(Plat_DiskFreeBytes("", freeBytes), -1);
}

TEST(MountPoint, OfExistingMissingAndLinkedPaths) {
  EXPECT_EQ(Plat_MountPointOf("/"), "/");
  EXPECT_EQ(Plat_MountPointOf(""), "");

  CTempDir tmp;
  ASSERT_FALSE(tmp.Path().empty());
  const std::string tmpMount = Plat_MountPointOf("/tmp");
  EXPECT_EQ(Plat_MountPointOf(tmp.Path()), tmpMount);
  EXPECT_EQ(Plat_MountPointOf(tmp.Path() + "/missing/deeper/file.jpg"), tmpMount);
  EXPECT_EQ(Plat_MountPointOf(tmp.Path() + "/missing/"), tmpMount);

  // A link is followed to where it points: /proc is a mount of its own.
  const std::string link = tmp.Path() + "/to_proc";
  ASSERT_EQ(symlink("/proc", link.c_str()), 0);
  EXPECT_EQ(Plat_MountPointOf("/proc/self"), "/proc");
  EXPECT_EQ(Plat_MountPointOf(link + "/self"), "/proc");
  EXPECT_EQ(Plat_MountPointOf(link + "/no_such_entry"), "/proc");
}

TEST(MountPoint, LongestWholeComponentMatchOfTheTable) {
  const std::string table =
      "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
      "30 22 8:2 / /mnt/my\\040disk rw shared:2 - ext4 /dev/sdb1 rw\n"
      "31 22 8:3 / /mnt/my rw shared:3 - ext4 /dev/sdc1 rw\n"
      "32 31 8:4 / /mnt/my/inner rw shared:4 - ext4 /dev/sdc2 rw\n"
      "33 22 8:5 / /back\\134slash rw - ext4 /dev/sdd1 rw\n"
      "garbage\n";
  struct Case {
    const char* path;
    const char* mount;
  };
  const Case cases[] = {
      {"/mnt/my disk/photos/a.jpg", "/mnt/my disk"},
      {"/mnt/my disk", "/mnt/my disk"},
      {"/mnt/my", "/mnt/my"},
      {"/mnt/myx/a", "/"},  // a prefix of a name is not a parent folder
      {"/mnt/my/inner/x", "/mnt/my/inner"},
      {"/mnt/my/innerx", "/mnt/my"},
      {"/back\\slash/f", "/back\\slash"},
      {"/home/u", "/"},
  };
  for (const Case& c : cases) {
    std::istringstream in(table);
    EXPECT_EQ(Plat_MountPointIn(c.path, in), c.mount) << c.path;
  }
}

}  // namespace
