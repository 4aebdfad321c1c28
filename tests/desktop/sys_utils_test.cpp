#include "desktop/foundation/sys_utils.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/scm.h"
#include "tests/desktop/desktop_test_support.h"

namespace {

TEST(SysUtils, IsValidEmailIsTheSharedRule) {
  // The rule's cases are tested with the rule (email_address_test.cpp).
  EXPECT_TRUE(IsValidEmail("x@y.info"));
  EXPECT_FALSE(IsValidEmail("x@y.c"));
  EXPECT_FALSE(IsValidEmail(nullptr));
}

TEST(SysUtils, PercentEncodeAndFolderNames) {
  EXPECT_EQ(PercentEncodeUtf8("abc"), "%61%62%63");
  EXPECT_EQ(PercentEncodeUtf8("a\n\xC3\xA9"), "%61%0a%c3%a9");  // two digits, never a blank
  EXPECT_EQ(PercentEncodeUtf8(""), "");

  CEnvGuard lang("LANG"), all("LC_ALL"), messages("LC_MESSAGES");
  unsetenv("LC_ALL");
  unsetenv("LC_MESSAGES");
  const struct {
    const char* locale;
    const char* key;
    const char* want;
  } cases[] = {
      {"zh_CN.UTF-8", "PICTURE", "照片"},  {"zh_CN.UTF-8", "INSTANT", "即拍即传"},
      {"zh_CN.UTF-8", "DOCUMENT", "文档"}, {"zh_TW.UTF-8", "PICTURE", "Photos"},
      {"en_US.UTF-8", "DOCUMENT", "Files"}, {"en_US.UTF-8", "INSTANT", "Album"},
      {"en_US.UTF-8", "VIDEO", "Videos"},  {"en_US.UTF-8", "MUSIC", "Music"},
      {"en_US.UTF-8", "PICTURES", "null"}, {"zh_CN.UTF-8", "picture", "null"},
  };
  for (const auto& c : cases) {
    setenv("LANG", c.locale, 1);
    EXPECT_EQ(LocalizedFolderName(c.key), c.want) << c.locale << " " << c.key;
  }
}

TEST(SysUtils, LangIdOfLocale) {
  const struct {
    const char* locale;
    int id;
  } cases[] = {{"zh_CN.UTF-8", 0x0804}, {"zh_TW.Big5", 0x0404}, {"zh_HK.UTF-8", 0x0C04},
               {"en_US.UTF-8", 0x0409}, {"de_DE@euro", 0x0407}, {"C", 0x0409},
               {"POSIX", 0x0409},       {"", 0x0409}};
  for (const auto& c : cases) EXPECT_EQ(LangIdOfLocale(c.locale), c.id) << c.locale;
}

TEST(SysUtils, DataFolderParent) {
  const struct {
    const char* path;
    const char* parent;
  } cases[] = {
      {"/", "/"},
      {"/ab", "/ab"},
      {"/Quarlo", "/"},
      {"/data/Quarlo", "/data/"},
      {"/data/Quarlo/", "/data/"},
      {"/home/u/Quarlo/Photos", "/home/u/"},
      {"/srv/MyQuarlo/Quarlo", "/srv/MyQuarlo/"},    // only a whole component counts
      {"/srv/QuarloData/Quarlo", "/srv/QuarloData/"},
      {"/srv/nothing/here", "/srv/nothing/here"},
  };
  for (const auto& c : cases) EXPECT_EQ(DataFolderParent(c.path), c.parent) << c.path;
}

class SystemFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/quarlo_sysdir_XXXXXX";
    m_dir = mkdtemp(tmpl);
    Scm_SetSystemDir(m_dir);
  }
  void TearDown() override {
    Scm_SetSystemDir("");
    std::filesystem::remove_all(m_dir);
  }
  void Script(const std::string& name, const std::string& body) {
    DesktopFolders::Write(m_dir + "/" + name, "#!/bin/sh\n" + body);
    chmod((m_dir + "/" + name).c_str(), 0755);
  }
  std::string m_dir;
};

TEST_F(SystemFolder, CommandsOfTheSystemToolsRunFromTheSystemFolder) {
  std::filesystem::copy_file(std::string(QUARLO_BUILD_DIR) + "/platform/tools/sc", m_dir + "/sc");
  EXPECT_EQ(GetSystemDir(), m_dir);
  const std::string out = RunCommandCapture({"sc", "query", "Quarlo"}, true);
  EXPECT_NE(out.find("1060"), std::string::npos) << out;
  EXPECT_FALSE(IsServiceAutoStart());
  // A full path, or a word that only starts like a tool, is run as it stands.
  EXPECT_EQ(RunCommandCapture({"/bin/echo", "sc"}, true), "sc\n");
  EXPECT_EQ(RunCommandCapture({"scx"}, true), "ERROR");  // not found in PATH, not the system sc
}

TEST_F(SystemFolder, CaptureReturnsAllOutputAndEndsDespiteADaemonHoldingThePipe) {
  Script("reg", "i=0; while [ $i -lt 300 ]; do echo \"line $i of the output\"; i=$((i+1)); done\n"
                "echo err >&2\n");
  const std::string out = RunCommandCapture({"reg", "query", "HKU\\S-1-5-19"}, true);
  EXPECT_GT(out.size(), 1024u);
  EXPECT_NE(out.find("line 0 of the output\nline 1 of"), std::string::npos);
  EXPECT_NE(out.find("line 299 of the output\nerr\n"), std::string::npos);

  Script("net", "echo started; sleep 30 &\n");  // the background sleep keeps the pipe open
  EXPECT_EQ(RunCommandCapture({"net", "start", "Quarlo"}, true, 20000), "started\n");
  Script("netsh", "echo hung; exec sleep 30\n");
  EXPECT_EQ(RunCommandCapture({"netsh", "wlan"}, true, 300), "hung\n");
  EXPECT_EQ(RunCommandCapture({"/bin/true"}, false), "ERROR");  // never waits
}

TEST_F(SystemFolder, ElevatedRunReportsTheCommandsExitStatus) {
  Script("taskkill", "[ $# = 3 ] && [ \"$1\" = /F ] && [ \"$3\" = 'Quarlo \" \"Client' ] && exit 0; exit 3\n");
  // Each argument arrives whole, quotes and blanks included.
  EXPECT_EQ(RunElevated("taskkill", {"/F", "/IM", "Quarlo \" \"Client"}), 0);
  EXPECT_EQ(RunElevated("taskkill", {"/IM", "other"}), 3);
  if (geteuid() == 0) {
    EXPECT_EQ(RunElevated(m_dir + "/missing", {}), -1);  // never started
  }
}

TEST(SysUtils, AppDataFiles) {
  DesktopFolders folders;
  std::filesystem::create_directories(folders.UserDir());
  EXPECT_EQ(GetAppDataDir(), folders.Config() + "/Quarlo");
  EXPECT_TRUE(WriteAppDataFile("a.txt", "line\r\nnext", -1));
  EXPECT_EQ(DesktopFolders::Read(folders.UserDir() + "/a.txt"), "line\r\nnext");
  EXPECT_TRUE(WriteAppDataFile("b.txt", "abcdef", 3));
  EXPECT_EQ(DesktopFolders::Read(folders.UserDir() + "/b.txt"), "abc");
  EXPECT_TRUE(DeleteAppDataFile("a.txt"));
  EXPECT_FALSE(FileExists(folders.UserDir() + "/a.txt"));
  EXPECT_TRUE(DeleteAppDataFile("never-there"));
  EXPECT_FALSE(WriteAppDataFile("no/such/folder.txt", "x", -1));
}

}  // namespace
