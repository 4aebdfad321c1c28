#include "platform/xdg_folders.h"

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

}  // namespace
