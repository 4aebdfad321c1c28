// Quarlo_Cmd run as a program: a temporary base folder holds it and the language files in
// bin/, its registry in system/, and the user's configuration in a temporary XDG_CONFIG_HOME.
// The registration is read back the way the desktop program reads it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/bookmarks.h"
#include "platform/registry.h"
#include "platform/scm.h"
#include "tests/support/service_process.h"
#include "tests/support/text_files.h"

namespace {

namespace fs = std::filesystem;

const char kGuid[] = "E86FBBEA-0844-42D5-82FD-2FE03C2EA7D7";
const char kNamespaceKey[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MyComputer\\Namespace\\"
    "{E86FBBEA-0844-42D5-82FD-2FE03C2EA7D7}";
const char kClassKey[] = "SOFTWARE\\Classes\\CLSID\\{E86FBBEA-0844-42D5-82FD-2FE03C2EA7D7}";

// The DIRVER_NAME text of a shipped language file.
std::string DriveName(const std::string& file) {
  std::ifstream in(std::string(QUARLO_SOURCE_DIR) + "/resources/" + file);
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, 12, "DIRVER_NAME=") == 0) return line.substr(12);
  return std::string();
}

class CmdTool : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/quarlo_cmd_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    m_base = tmpl;
    for (const char* sub : {"bin", "system", "config", "home"})
      fs::create_directories(m_base + "/" + sub);
    const std::string build = std::string(QUARLO_BUILD_DIR) + "/tools/cmd/";
    for (const char* f : {"Quarlo_Cmd", "ChineseSimplified.qvl", "English.qvl", "ChineseTrad.qvl"})
      fs::copy_file(build + f, m_base + "/bin/" + f);
    chmod(Tool().c_str(), 0755);
    Scm_SetSystemDir(m_base + "/system");
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(m_base, ec);
  }

  std::string Tool() const { return m_base + "/bin/Quarlo_Cmd"; }
  std::string Bookmarks() const { return m_base + "/config/gtk-3.0/bookmarks"; }
  ProgramResult Run(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{Tool()};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, {"XDG_CONFIG_HOME=" + m_base + "/config", "HOME=" + m_base + "/home",
                             "QUARLO_SYSTEM_DIR=" + m_base + "/system", "LANG=C.UTF-8"});
  }
  ProgramResult AddIcon(const std::string& lang, const std::string& folder) const {
    return Run({kGuid, "cmd_add_icon", lang, folder, m_base + "/bin/Quarlo"});
  }
  std::string Get(RegRoot root, const std::string& key, const std::string& name) const {
    std::string v = "<missing>";
    Reg_GetString(root, key, name, v);
    return v;
  }

  std::string m_base;
};

TEST_F(CmdTool, RefusedCommandLines) {
  const std::string folder = m_base + "/data";
  const std::string icon = m_base + "/bin/Quarlo";
  struct Case {
    const char* what;
    std::vector<std::string> args;
    int exitCode;
  };
  const std::vector<Case> cases = {
      {"no arguments", {}, 1},
      {"GUID alone", {kGuid}, 1},
      {"two arguments", {kGuid, "cmd_add_icon"}, 1},
      {"three arguments", {kGuid, "cmd_add_icon", "1"}, 1},
      {"no icon file", {kGuid, "cmd_add_icon", "1", folder}, 1},
      {"unknown command", {kGuid, "cmd_del_icon", "1", folder, icon}, 1},
      {"command in capitals", {kGuid, "CMD_ADD_ICON", "1", folder, icon}, 1},
      {"GUID with a backslash", {std::string(kGuid) + "}\\..\\x", "cmd_add_icon", "1", folder, icon}, 1},
      {"GUID with a slash", {"E86FBBEA/0844-42D5-82FD-2FE03C2EA7D7", "cmd_add_icon", "1", folder, icon}, 1},
      {"GUID in braces", {"{E86FBBEA-0844-42D5-82FD-2FE03C2EA7D7}", "cmd_add_icon", "1", folder, icon}, 1},
      {"GUID not hex", {"G86FBBEA-0844-42D5-82FD-2FE03C2EA7D7", "cmd_add_icon", "1", folder, icon}, 1},
      {"empty GUID", {"", "cmd_add_icon", "1", folder, icon}, 1},
      {"empty folder", {kGuid, "cmd_add_icon", "1", "", icon}, 1},
      {"empty icon file", {kGuid, "cmd_add_icon", "1", folder, ""}, 1},
  };
  for (const Case& c : cases) {
    const ProgramResult r = Run(c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << c.what << ": " << r.output;
    EXPECT_NE(r.output.find("Code:-1\n"), std::string::npos) << c.what << ": " << r.output;
    EXPECT_EQ(r.output.find("Code:1"), std::string::npos) << c.what;
  }
  EXPECT_FALSE(fs::exists(Bookmarks()));
  std::vector<std::string> classes;
  Reg_ListSubkeys(RegRoot::LocalMachine, "SOFTWARE\\Classes\\CLSID", classes);
  EXPECT_EQ(classes.size(), 0u);
}

TEST_F(CmdTool, RegistersInTheChosenLanguageAndKeepsOneLineOfOurs) {
  const std::string folder = m_base + "/data";
  const std::string uri = "file://" + folder;
  const std::string english = DriveName("English.qvl");
  ASSERT_FALSE(english.empty());
  struct Case {
    const char* lang;
    std::string label;
  };
  const std::vector<Case> cases = {{"0", DriveName("ChineseSimplified.qvl")},
                                   {"2", DriveName("ChineseTrad.qvl")},
                                   {"1", english},
                                   {"5", english},
                                   {"zh", english}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lang);
    const ProgramResult r = AddIcon(c.lang, folder);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(r.output, "Code:1\n");
    EXPECT_EQ(ReadFileText(Bookmarks()), uri + " " + c.label + "\n");

    // What the desktop program reads back: the namespace key and the Target, through HKLM.
    EXPECT_EQ(Reg_OpenKey(RegRoot::LocalMachine, kNamespaceKey, false), kRegOk);
    const std::string cls = kClassKey;
    EXPECT_EQ(Get(RegRoot::LocalMachine, cls + "\\Instance\\InitPropertyBag", "Target"), folder);
    EXPECT_EQ(Get(RegRoot::ClassesRoot, "CLSID\\{" + std::string(kGuid) + "}", ""), c.label);
    EXPECT_EQ(Get(RegRoot::ClassesRoot, "clsid\\{" + std::string(kGuid) + "}", "InfoTip"), c.label);
  }
  const std::string cls = kClassKey;
  const RegRoot lm = RegRoot::LocalMachine;
  EXPECT_EQ(Get(lm, cls + "\\DefaultIcon", ""), m_base + "/bin/Quarlo,0");
  EXPECT_EQ(Get(lm, cls + "\\InprocServer32", ""), "shdocvw.dll");
  EXPECT_EQ(Get(lm, cls + "\\InprocServer32", "ThreadingModel"), "ApartMent");
  EXPECT_EQ(Get(lm, cls + "\\Instance", "CLSID"), "{0AFACED1-E828-11D1-9187-B532F1E9575D}");
  EXPECT_EQ(Get(lm, cls + "\\ShellFolder", "WantsFORPARSING"), "");
  EXPECT_EQ(Get(lm, cls + "\\ShellFolder", "PinToNameSpaceTree"), "");
  uint32_t attributes = 0;
  EXPECT_EQ(Reg_GetDword(lm, cls + "\\ShellFolder", "Attributes", attributes), kRegOk);
  EXPECT_EQ(attributes, 0xF8801108u);
  for (const char* sub : {"\\shell", "\\shellex\\PropertySheetHandlers\\{E86FBBEA-0844-42D5-82FD-2FE03C2EA7D7}"})
    EXPECT_EQ(Reg_OpenKey(lm, cls + sub, false), kRegOk) << sub;
}

TEST_F(CmdTool, MovedFolderReplacesOurLineAndKeepsForeignLines) {
  const std::string foreign =
      "file:///home/someone/Music Music\n"
      "sftp://host/share\n"
      "\n"
      "file:///home/someone/My%20Docs";  // the last line has no line break
  fs::create_directories(m_base + "/config/gtk-3.0");
  std::ofstream(Bookmarks()) << foreign;
  chmod(Bookmarks().c_str(), 0600);
  const std::string english = DriveName("English.qvl");

  ASSERT_EQ(AddIcon("1", m_base + "/data").output, "Code:1\n");
  // The data folder moved to a name with blanks and non-ASCII characters.
  const std::string moved = m_base + "/My Data/\xe7\x85\xa7\xe7\x89\x87#1";
  ASSERT_EQ(AddIcon("1", moved).output, "Code:1\n");
  ASSERT_EQ(AddIcon("1", moved).output, "Code:1\n");

  const std::string movedUri =
      "file://" + m_base + "/My%20Data/%E7%85%A7%E7%89%87%231";
  EXPECT_EQ(ReadFileText(Bookmarks()), foreign + "\n" + movedUri + " " + english + "\n");
  struct stat st;
  ASSERT_EQ(stat(Bookmarks().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "the rewrite keeps the file's mode";
  EXPECT_EQ(Get(RegRoot::ClassesRoot, "CLSID\\{" + std::string(kGuid) + "}\\Instance\\InitPropertyBag",
                "Target"),
            moved);
}

TEST_F(CmdTool, UnwrittenBookmarkIsReportedAsFailure) {
  // A file where the bookmarks folder belongs: the bookmark cannot be written, even by root.
  std::ofstream(m_base + "/config/gtk-3.0") << "not a folder";
  const ProgramResult r = AddIcon("1", m_base + "/data");
  EXPECT_EQ(r.exitCode, 1) << "Code:-1 is a failure";
  EXPECT_NE(r.output.find("Code:-1\n"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("bookmark was not written"), std::string::npos) << r.output;
}

TEST(Bookmarks, RewriteTable) {
  const std::string line = Plat_FileUri("/d/new") + " Label";
  struct Case {
    const char* what;
    std::string before;
    std::vector<std::string> replaced;
    std::string after;
  };
  const std::vector<Case> cases = {
      {"empty file", "", {"/d/new"}, line + "\n"},
      {"foreign lines kept", "file:///a A\nsmb://x/y\n", {"/d/new"},
       "file:///a A\nsmb://x/y\n" + line + "\n"},
      {"our old line replaced", "file:///a\nfile:///d/old Old\n", {"/d/new", "/d/old"},
       "file:///a\n" + line + "\n"},
      {"same folder written differently", "file://localhost/d/n%65w/ X\r\n", {"/d/new"},
       line + "\n"},
      {"a prefix is another folder", "file:///d/new2 Two\nfile:///d Up\n", {"/d/new"},
       "file:///d/new2 Two\nfile:///d Up\n" + line + "\n"},
      {"bad escapes kept", "file:///d/%zz Z\nfile:///d/% P\n", {"/d/new"},
       "file:///d/%zz Z\nfile:///d/% P\n" + line + "\n"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Plat_RewriteBookmarks(c.before, c.replaced, line), c.after) << c.what;
}

}  // namespace
