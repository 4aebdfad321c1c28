#include "platform/xdg_folders.h"
#include "platform/process_path.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "tests/support/env_guard.h"

namespace {

TEST(SpecialFolders, FollowTheXdgRules) {
  CEnvGuard home("HOME"), xdg("XDG_CONFIG_HOME");
  char tmpl[] = "/tmp/quarlo_xdg_XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  setenv("HOME", dir.c_str(), 1);
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(Plat_ProfileDir(), dir);
  EXPECT_EQ(Plat_AppDataDir(), dir + "/.config");
  EXPECT_EQ(Plat_UserDir("PICTURES"), dir + "/Pictures");
  setenv("XDG_CONFIG_HOME", "relative/is/ignored", 1);
  EXPECT_EQ(Plat_AppDataDir(), dir + "/.config");
  setenv("XDG_CONFIG_HOME", (dir + "/cfg").c_str(), 1);
  EXPECT_EQ(Plat_AppDataDir(), dir + "/cfg");
  std::filesystem::create_directories(dir + "/cfg");
  std::ofstream(dir + "/cfg/user-dirs.dirs")
      << "# written by xdg-user-dirs-update\n"
      << "XDG_PICTURES_DIR=\"$HOME/Bilder\"\n"
      << "XDG_MUSIC_DIR=\"/srv/music\"\n";
  EXPECT_EQ(Plat_UserDir("PICTURES"), dir + "/Bilder");
  EXPECT_EQ(Plat_UserDir("MUSIC"), "/srv/music");
  EXPECT_EQ(Plat_UserDir("DOCUMENTS"), dir + "/Documents");
  EXPECT_EQ(Plat_UserDir("NONSENSE"), "");
  std::filesystem::remove_all(dir);
}

// The programs of a package are shared; a file beside their folders sends each user's base
// (settings, log, service state) to that user's data folder.
TEST(SpecialFolders, APerUserInstallationPutsTheBaseInTheUsersDataFolder) {
  CEnvGuard home("HOME"), data("XDG_DATA_HOME");
  char tmpl[] = "/tmp/quarlo_base_XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  setenv("HOME", (dir + "/home").c_str(), 1);
  unsetenv("XDG_DATA_HOME");
  std::filesystem::create_directories(dir + "/usr/lib/quarlo/bin");
  std::filesystem::create_directories(dir + "/opt/q/bin");
  EXPECT_EQ(Plat_BaseFolderOf(dir + "/opt/q/bin"), dir + "/opt/q");  // a base of its own
  EXPECT_FALSE(Plat_IsPerUserInstall(dir + "/usr/lib/quarlo"));
  EXPECT_EQ(Plat_BaseFolderOf(dir + "/usr/lib/quarlo/bin"), dir + "/usr/lib/quarlo");
  std::ofstream(dir + "/usr/lib/quarlo/" + kPerUserBaseMark) << "# one base folder per user\n";
  EXPECT_TRUE(Plat_IsPerUserInstall(dir + "/usr/lib/quarlo"));
  EXPECT_EQ(Plat_BaseFolderOf(dir + "/usr/lib/quarlo/bin"), dir + "/home/.local/share/quarlo");
  EXPECT_EQ(Plat_BaseFolderOf(dir + "/usr/lib/quarlo/system"), dir + "/home/.local/share/quarlo");
  setenv("XDG_DATA_HOME", "relative/is/ignored", 1);
  EXPECT_EQ(Plat_UserBaseFolder(), dir + "/home/.local/share/quarlo");
  setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);
  EXPECT_EQ(Plat_BaseFolderOf(dir + "/usr/lib/quarlo/bin"), dir + "/data/quarlo");
  // A folder of that name is no mark.
  std::filesystem::create_directories(dir + "/opt/q/" + kPerUserBaseMark);
  EXPECT_EQ(Plat_BaseFolderOf(dir + "/opt/q/bin"), dir + "/opt/q");
  EXPECT_EQ(Plat_BaseFolderOf("/"), "");
  EXPECT_EQ(Plat_BaseFolderOf("relative/bin"), "");
  EXPECT_EQ(Plat_BaseFolderOf("/bin"), "/");
  std::filesystem::remove_all(dir);
}

}  // namespace
