#include "platform/registry.h"

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/run_command.h"
#include "platform/scm.h"
#include "tests/support/env_guard.h"

namespace {

const std::string kClsid = "CLSID\\{E86FBBEA-0844-42D5-82FD-2FE03C2EA7D7}";

class RegistryTest : public ::testing::Test {
 protected:
  RegistryTest() : m_xdg("XDG_CONFIG_HOME"), m_system("QUARLO_SYSTEM_DIR") {
    char tmpl[] = "/tmp/quarlo_reg_XXXXXX";
    m_dir = mkdtemp(tmpl);
    std::filesystem::create_directories(m_dir + "/system");
    setenv("XDG_CONFIG_HOME", (m_dir + "/config").c_str(), 1);
    setenv("QUARLO_SYSTEM_DIR", (m_dir + "/system").c_str(), 1);
    Scm_SetSystemDir(m_dir + "/system");
  }
  ~RegistryTest() override {
    Scm_SetSystemDir("");
    std::filesystem::remove_all(m_dir);
  }
  RunResult Reg(const std::vector<std::string>& args) {
    std::vector<std::string> argv{std::string(QUARLO_BUILD_DIR) + "/platform/tools/reg"};
    argv.insert(argv.end(), args.begin(), args.end());
    return Plat_RunCapture(argv, 20000);
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  CEnvGuard m_xdg, m_system;
  std::string m_dir;
};

TEST_F(RegistryTest, ValuesRoundTripWithoutCaseAndClassesRootIsUnderLocalMachine) {
  const std::string bag = kClsid + "\\Instance\\InitPropertyBag";
  EXPECT_EQ(Reg_SetString(RegRoot::ClassesRoot, bag, "Target", "/x"), kRegNotFound);
  ASSERT_EQ(Reg_CreateKey(RegRoot::ClassesRoot, bag), kRegOk);
  const std::string awkward = "a \"quoted\" = C:\\path\nsecond line; [not a key]";
  ASSERT_EQ(Reg_SetString(RegRoot::ClassesRoot, bag, "Target", awkward), kRegOk);
  ASSERT_EQ(Reg_SetString(RegRoot::ClassesRoot, kClsid, "", "Quarlo"), kRegOk);
  ASSERT_EQ(Reg_SetDword(RegRoot::ClassesRoot, kClsid + "\\ShellFolder", "Attributes", 0xF8801108),
            kRegNotFound);  // the key was never made
  ASSERT_EQ(Reg_CreateKey(RegRoot::ClassesRoot, kClsid + "\\ShellFolder"), kRegOk);
  ASSERT_EQ(Reg_SetDword(RegRoot::ClassesRoot, kClsid + "\\ShellFolder", "Attributes", 0xF8801108),
            kRegOk);

  std::string text;
  EXPECT_EQ(Reg_GetString(RegRoot::LocalMachine,
                          "software\\classes\\clsid\\{e86fbbea-0844-42d5-82fd-2fe03c2ea7d7}"
                          "\\INSTANCE\\initpropertybag\\",
                          "TARGET", text),
            kRegOk);
  EXPECT_EQ(text, awkward);
  EXPECT_EQ(Reg_GetString(RegRoot::ClassesRoot, kClsid, "", text), kRegOk);
  EXPECT_EQ(text, "Quarlo");
  uint32_t dword = 0;
  EXPECT_EQ(Reg_GetDword(RegRoot::ClassesRoot, kClsid + "\\ShellFolder", "attributes", dword), kRegOk);
  EXPECT_EQ(dword, 0xF8801108u);
  EXPECT_EQ(Reg_GetDword(RegRoot::ClassesRoot, kClsid, "", dword), kRegInvalidData);
  EXPECT_EQ(Reg_GetString(RegRoot::CurrentUser, kClsid, "", text), kRegNotFound);  // other store

  std::vector<std::string> subkeys;
  ASSERT_EQ(Reg_ListSubkeys(RegRoot::ClassesRoot, kClsid, subkeys), kRegOk);
  EXPECT_EQ(subkeys, (std::vector<std::string>{"Instance", "ShellFolder"}));
  EXPECT_EQ(Reg_OpenKey(RegRoot::LocalMachine, "SOFTWARE\\Classes\\" + kClsid, true), kRegOk);

  ASSERT_EQ(Reg_DeleteKey(RegRoot::ClassesRoot, kClsid + "\\instance"), kRegOk);
  EXPECT_EQ(Reg_OpenKey(RegRoot::ClassesRoot, bag, false), kRegNotFound);
  EXPECT_EQ(Reg_OpenKey(RegRoot::ClassesRoot, kClsid + "\\ShellFolder", false), kRegOk);
  EXPECT_EQ(Reg_DeleteValue(RegRoot::ClassesRoot, kClsid, ""), kRegOk);
  EXPECT_EQ(Reg_DeleteValue(RegRoot::ClassesRoot, kClsid, ""), kRegNotFound);
}

TEST_F(RegistryTest, RunValueIsMirroredAsAutostartEntry) {
  const std::string run = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
  const std::string entry = m_dir + "/config/autostart/Quarlo.desktop";
  ASSERT_EQ(Reg_CreateKey(RegRoot::CurrentUser, run), kRegOk);
  ASSERT_EQ(Reg_SetString(RegRoot::CurrentUser, run, "quarlo", "\"/opt/my apps/bin/Quarlo\""), kRegOk);
  const std::string text = Read(entry);
  EXPECT_NE(text.find("[Desktop Entry]\n"), std::string::npos);
  EXPECT_NE(text.find("\nExec=\"/opt/my apps/bin/Quarlo\"\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nTryExec=/opt/my apps/bin/Quarlo\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nIcon=Quarlo\n"), std::string::npos) << text;  // the theme's, none beside it
  // A program with the icon installed beside it names that file.
  const std::string prefix = m_dir + "/prefix";
  std::filesystem::create_directories(prefix + "/share/icons/hicolor/scalable/apps");
  std::ofstream(prefix + "/share/icons/hicolor/scalable/apps/Quarlo.svg") << "<svg/>";
  ASSERT_EQ(Reg_SetString(RegRoot::CurrentUser, run, "quarlo", "\"" + prefix + "/bin/Quarlo\" -h"), kRegOk);
  EXPECT_NE(Read(entry).find("\nIcon=" + prefix + "/share/icons/hicolor/scalable/apps/Quarlo.svg\n"),
            std::string::npos) << Read(entry);
  ASSERT_EQ(Reg_SetString(RegRoot::CurrentUser, run, "Other", "x"), kRegOk);
  EXPECT_TRUE(std::filesystem::exists(entry));
  ASSERT_EQ(Reg_DeleteValue(RegRoot::CurrentUser, run, "Quarlo"), kRegOk);
  EXPECT_FALSE(std::filesystem::exists(entry));
  EXPECT_TRUE(std::filesystem::exists(m_dir + "/config/Quarlo/registry.ini"));
}

TEST_F(RegistryTest, RegToolQueriesAddsAndDeletes) {
  RunResult r = Reg({"add", "HKCU\\Software\\Quarlo", "/v", "SetupWizard", "/t", "REG_DWORD", "/d", "1", "/f"});
  EXPECT_EQ(r.exitStatus, 0) << r.output;
  EXPECT_EQ(r.output, "The operation completed successfully.\n");
  r = Reg({"add", "HKCU\\Software\\Quarlo\\Sub", "/ve", "/d", "default text", "/f"});
  EXPECT_EQ(r.exitStatus, 0) << r.output;
  uint32_t v = 0;
  EXPECT_EQ(Reg_GetDword(RegRoot::CurrentUser, "Software\\Quarlo", "SetupWizard", v), kRegOk);
  EXPECT_EQ(v, 1u);

  r = Reg({"query", "HKEY_CURRENT_USER\\Software\\Quarlo"});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.output,
            "\nHKEY_CURRENT_USER\\Software\\Quarlo\n    SetupWizard    REG_DWORD    0x1\n"
            "\nHKEY_CURRENT_USER\\Software\\Quarlo\\Sub\n\n");
  r = Reg({"query", "HKCU\\Software\\Quarlo\\Sub", "/ve"});
  EXPECT_NE(r.output.find("    (Default)    REG_SZ    default text\n"), std::string::npos) << r.output;
  r = Reg({"query", "HKCU\\Software\\Quarlo", "/v", "Missing"});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_NE(r.output.find("unable to find"), std::string::npos);
  r = Reg({"delete", "HKCU\\Software\\Quarlo", "/f"});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(Reg_OpenKey(RegRoot::CurrentUser, "Software\\Quarlo\\Sub", false), kRegNotFound);
  EXPECT_EQ(Reg({"frobnicate", "HKCU\\x"}).exitStatus, 1);
  EXPECT_EQ(Reg({"query", "HKXX\\x"}).exitStatus, 1);
}

TEST_F(RegistryTest, ConcurrentWritersLoseNothing) {
  ASSERT_EQ(Reg_CreateKey(RegRoot::LocalMachine, "SOFTWARE\\Quarlo"), kRegOk);
  std::vector<std::thread> writers;
  for (int i = 0; i < 8; ++i) {
    writers.emplace_back([this, i] {
      Reg({"add", "HKLM\\SOFTWARE\\Quarlo", "/v", "v" + std::to_string(i), "/d", "x", "/f"});
    });
  }
  for (std::thread& t : writers) t.join();
  std::vector<RegValue> values;
  ASSERT_EQ(Reg_ListValues(RegRoot::LocalMachine, "SOFTWARE\\Quarlo", values), kRegOk);
  EXPECT_EQ(values.size(), 8u);
}

TEST_F(RegistryTest, UnwritableStoreIsAccessDenied) {
  const auto check = [this] {
    std::filesystem::permissions(m_dir + "/system", std::filesystem::perms::owner_read |
                                                         std::filesystem::perms::owner_exec);
    const bool denied = Reg_CreateKey(RegRoot::LocalMachine, "SOFTWARE\\X") == kRegAccessDenied &&
                        Reg_OpenKey(RegRoot::LocalMachine, "", true) == kRegAccessDenied;
    std::filesystem::permissions(m_dir + "/system", std::filesystem::perms::owner_all);
    return denied;
  };
  if (geteuid() != 0) {
    EXPECT_TRUE(check());
    return;
  }
  // Root may write any file: the store's owner is an unprivileged user here, in a child.
  constexpr uid_t kNobody = 65534;
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    for (const auto& e : std::filesystem::recursive_directory_iterator(m_dir)) {
      if (lchown(e.path().c_str(), kNobody, kNobody) != 0) _exit(2);
    }
    if (chown(m_dir.c_str(), kNobody, kNobody) != 0 || setgid(kNobody) != 0 ||
        setuid(kNobody) != 0) {
      _exit(2);
    }
    _exit(check() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the store was written; 2: could not become nobody";
}

}  // namespace
