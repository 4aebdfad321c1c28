#pragma once
// A temporary folder that stands for the program folder and the user's configuration folder
// of a desktop process: language files and the "roaming" defaults go into Program(), per-user
// files into Config()/Quarlo. The program folder override and $XDG_CONFIG_HOME point there
// while the fixture lives; the shared language and settings instances are dropped on both ends.
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "desktop/foundation/languages.h"
#include "desktop/foundation/sys_utils.h"
#include "desktop/foundation/ui_config.h"
#include "tests/support/env_guard.h"

class DesktopFolders {
 public:
  DesktopFolders() : m_xdg("XDG_CONFIG_HOME"), m_lang("LANG"), m_lcAll("LC_ALL"),
                     m_lcMessages("LC_MESSAGES") {
    char tmpl[] = "/tmp/quarlo_desktop_XXXXXX";
    m_root = mkdtemp(tmpl);
    std::filesystem::create_directories(Program() + "/roaming");
    std::filesystem::create_directories(Config());
    setenv("XDG_CONFIG_HOME", Config().c_str(), 1);
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
    setenv("LANG", "en_US.UTF-8", 1);
    SetModuleDirOverride(Program());
    Reset();
  }
  ~DesktopFolders() {
    Reset();
    SetModuleDirOverride("");
    std::error_code ec;
    std::filesystem::remove_all(m_root, ec);
  }
  static void Reset() {
    while (ILanguages* l = CLanguages::Instance()) {
      if (l->Release() == 0) break;
    }
    UiConfig::DeleteInstance();
    CLanguages::UseSystemLanguageOnly(false);
  }
  std::string Program() const { return m_root + "/bin"; }
  std::string Config() const { return m_root + "/config"; }
  std::string UserDir() const { return Config() + "/Quarlo"; }
  static void Write(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  CEnvGuard m_xdg, m_lang, m_lcAll, m_lcMessages;
  std::string m_root;
};
