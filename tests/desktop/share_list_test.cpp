#include "desktop/foundation/share_list.h"

#include <unistd.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct VectorList : IShareList {
  std::vector<std::pair<std::string, std::string>> rows;
  int RowCount() const override { return static_cast<int>(rows.size()); }
  std::string RowText(int row, int column) const override {
    const auto& r = rows[static_cast<size_t>(row)];
    return column == 0 ? r.first : r.second;
  }
  void InsertRow(int position, const std::string& name, const std::string& path) override {
    rows.insert(rows.begin() + position, {name, path});
  }
  void DeleteRow(int row) override { rows.erase(rows.begin() + row); }
};

TEST(ShareList, SystemFoldersAreRefusedByWholeCanonicalComponents) {
  char tmpl[] = "/tmp/quarlo_share_XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  std::filesystem::create_directories(dir + "/photos");
  std::filesystem::create_symlink("/etc", dir + "/etc-link");
  const struct {
    std::string path;
    bool allowed;
  } cases[] = {
      {"/", false},
      {"//", false},
      {"/usr", false},
      {"/usr/share/doc", false},
      {"/etc/", false},
      {"/lib64", false},
      {"/libx32/x", false},
      {"/proc/self", false},
      {"/run/user/1000", false},
      {"/home/../etc", false},
      {dir + "/etc-link", false},  // a link into a system folder
      {dir + "/etc-link/../x", true},  // ".." of the link's target is "/", its sibling allowed
      {"relative/path", false},
      {"", false},
      {"/usrdata", true},
      {"/library", false},
      {"/home/user/usr", true},
      {dir + "/photos", true},
      {dir + "/not-made-yet", true},
  };
  for (const auto& c : cases) EXPECT_EQ(IsAllowedShareFolder(c.path), c.allowed) << c.path;
  std::filesystem::remove_all(dir);
}

TEST(ShareList, AddFindRemoveAndDisplayNames) {
  const struct {
    const char* path;
    const char* name;
  } names[] = {{"/home/u/Pictures", "Pictures"}, {"/home/u/Pictures/", "Pictures"},
               {"/media/usb", "usb"},            {"/", "/"}};
  for (const auto& n : names) EXPECT_EQ(FolderDisplayName(n.path), n.name) << n.path;

  VectorList list;
  EXPECT_EQ(AddShareToList("/home/u/Music", -1, list), 1);
  EXPECT_EQ(AddShareToList("/home/u/Photos", -1, list), 1);
  EXPECT_EQ(AddShareToList("/home/u/Early", 0, list), 1);
  EXPECT_EQ(AddShareToList("/home/u/Music", -1, list), -1);
  EXPECT_EQ(AddShareToList("/etc/x", -1, list), -2);
  EXPECT_EQ(AddShareToList("/home/u/music", -1, list), 1);  // case differs: another folder
  ASSERT_EQ(list.RowCount(), 4);
  EXPECT_EQ(list.rows[0], (std::pair<std::string, std::string>{"Early", "/home/u/Early"}));
  EXPECT_EQ(FindShareInList("/home/u/Photos", list), 2);
  EXPECT_EQ(FindShareInList("/home/u/photos", list), -1);
  EXPECT_EQ(RemoveShareFromList(list, "/home/u/Nothing"), -1);
  EXPECT_EQ(list.RowCount(), 4);
  EXPECT_EQ(RemoveShareFromList(list, "/home/u/Music"), 1);
  EXPECT_EQ(FindShareInList("/home/u/Music", list), -1);
  EXPECT_EQ(list.RowCount(), 3);
}

}  // namespace
