#include "desktop/foundation/ui_config.h"

#include <sys/stat.h>

#include <string>

#include <gtest/gtest.h>

#include "desktop/foundation/profile_file.h"
#include "tests/desktop/desktop_test_support.h"

namespace {

class UiConfigTest : public ::testing::Test {
 protected:
  DesktopFolders folders;
  void WriteDefaults() {
    for (const std::string& f : UiConfig::FileNames())
      DesktopFolders::Write(folders.Program() + "/roaming/" + f, "default " + f);
  }
  std::string User(const std::string& f) const { return folders.UserDir() + "/" + f; }
};

TEST_F(UiConfigTest, OnlyMissingFilesAreRestoredAndTheUsersSettingsStay) {
  WriteDefaults();
  DesktopFolders::Write(User("qv_config_3.4.0.cfg"), "[qv_config]\nLanguage=2\n");
  EXPECT_FALSE(UiConfig::GetInstance()->Load());
  ASSERT_TRUE(UiConfig::EnsureAppDataFiles());
  EXPECT_EQ(DesktopFolders::Read(User("qv_config_3.4.0.cfg")), "[qv_config]\nLanguage=2\n");
  EXPECT_EQ(DesktopFolders::Read(User("banner_en.gif")), "default banner_en.gif");
  EXPECT_EQ(UiConfig::GetInstance()->Language(), "2");
  // No temporary copies are left behind.
  size_t entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(folders.UserDir())) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 5u);
}

TEST_F(UiConfigTest, FreshAccountGetsAllFilesAndAMissingFolderIsMade) {
  WriteDefaults();
  std::filesystem::remove_all(folders.Config());
  ASSERT_TRUE(UiConfig::EnsureAppDataFiles());
  EXPECT_TRUE(UiConfig::GetInstance()->HasAllFiles());
  EXPECT_EQ(UiConfig::GetInstance()->Language(), "-1");  // the default file names no language
}

TEST_F(UiConfigTest, WithoutDefaultsNothingIsCopiedAndWithAllFilesNothingIsNeeded) {
  DesktopFolders::Write(User("qv_config_3.4.0.cfg"), "[qv_config]\n");
  EXPECT_FALSE(UiConfig::EnsureAppDataFiles());
  EXPECT_FALSE(std::filesystem::exists(User("HtmlDlg.htm")));
  UiConfig::DeleteInstance();
  for (const std::string& f : UiConfig::FileNames()) {
    if (!std::filesystem::exists(User(f))) DesktopFolders::Write(User(f), "mine");
  }
  std::filesystem::remove_all(folders.Program() + "/roaming");
  EXPECT_TRUE(UiConfig::EnsureAppDataFiles());
}

TEST_F(UiConfigTest, LanguageAndRemPassRoundTrip) {
  WriteDefaults();
  ASSERT_TRUE(UiConfig::EnsureAppDataFiles());
  UiConfig* c = UiConfig::GetInstance();
  EXPECT_EQ(c->ReadRemPass(), "false");
  c->WriteLanguage("1", true);
  c->WriteRemPass("true", true);
  UiConfig::DeleteInstance();
  UiConfig* again = UiConfig::GetInstance();
  EXPECT_TRUE(again->LoadResult());
  EXPECT_EQ(again->Language(), "1");
  EXPECT_EQ(again->ReadRemPass(), "true");
  const std::string text = DesktopFolders::Read(User("qv_config_3.4.0.cfg"));
  EXPECT_NE(text.find("[qv_config]\n"), std::string::npos);
  EXPECT_NE(text.find("Language=1\n"), std::string::npos);
}

TEST(ProfileFile, WritesKeepOtherSectionsAndReplaceOnlyTheKey) {
  char tmpl[] = "/tmp/quarlo_profile_XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  const std::string path = dir + "/p.ini";
  DesktopFolders::Write(path, "; keep me\n[a]\nx=1\n[QV]\nlanguage = 0\ny=2\n[b]\nz=3\n");
  ASSERT_TRUE(ProfileWriteString(path, "qv", "Language", "2"));
  ASSERT_TRUE(ProfileWriteString(path, "qv", "RemPass", "true"));
  ASSERT_TRUE(ProfileWriteString(path, "new", "k", "v"));
  EXPECT_EQ(DesktopFolders::Read(path),
            "; keep me\n[a]\nx=1\n[QV]\nLanguage=2\ny=2\nRemPass=true\n[b]\nz=3\n[new]\nk=v\n");
  EXPECT_EQ(ProfileGetString(path, "QV", "LANGUAGE", "-1"), "2");
  EXPECT_EQ(ProfileGetString(path, "a", "missing", "def"), "def");
  std::filesystem::remove_all(dir);
}

}  // namespace
