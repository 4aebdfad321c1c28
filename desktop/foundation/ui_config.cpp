#include "desktop/foundation/ui_config.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "desktop/foundation/profile_file.h"
#include "desktop/foundation/sys_utils.h"
#include "platform/files.h"

namespace {

UiConfig* g_uiConfig = nullptr;

// Copies to a temporary name in the target folder, then renames without replacing: a reader
// never sees half a file and a file the user has is never overwritten.
bool CopyNoReplace(const std::string& from, const std::string& to) {
  std::ifstream in(from, std::ios::binary);
  if (!in) return false;
  const std::string tmp = to + ".part" + std::to_string(getpid());
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << in.rdbuf();
    out.flush();
    if (!out) {
      unlink(tmp.c_str());
      return false;
    }
  }
  if (Plat_RenameNoReplace(tmp, to) != 0) {
    unlink(tmp.c_str());
    return FileExists(to);
  }
  return true;
}

}  // namespace

std::vector<std::string> UiConfig::FileNames() {
  return {"banner_ch.gif", "banner_en.gif", "banner_tw.gif", "HtmlDlg.htm", SettingsFileName()};
}

UiConfig::UiConfig() : m_files(FileNames()) {
  m_loaded = Load();
}

UiConfig* UiConfig::GetInstance() {
  if (!g_uiConfig) g_uiConfig = new UiConfig();
  return g_uiConfig;
}

void UiConfig::DeleteInstance() {
  delete g_uiConfig;
  g_uiConfig = nullptr;
}

std::string UiConfig::UserFolder() const { return GetAppDataDir(); }
std::string UiConfig::DefaultsFolder() const { return GetModuleDir() + "/roaming"; }
std::string UiConfig::SettingsPath() const { return UserFolder() + "/" + SettingsFileName(); }

bool UiConfig::HasAllFiles() {
  for (const std::string& f : m_files)
    if (!FileExists(UserFolder() + "/" + f)) return false;
  return true;
}

bool UiConfig::HasAllDefaultFiles() {
  for (const std::string& f : m_files)
    if (!FileExists(DefaultsFolder() + "/" + f)) return false;
  return true;
}

bool UiConfig::Load() {
  std::lock_guard<std::recursive_mutex> guard(m_lock);
  if (!HasAllFiles()) return false;
  m_language = ProfileGetString(SettingsPath(), "qv_config", "Language", "-1").substr(0, 511);
  return true;
}

bool UiConfig::CopyDefaultFiles() {
  std::lock_guard<std::recursive_mutex> guard(m_lock);
  if (!HasAllDefaultFiles()) return false;
  const std::string folder = UserFolder();
  if (!Plat_IsDirectory(folder)) {
    // The application-data folder itself may be missing on a fresh account.
    const std::string parent = folder.substr(0, folder.rfind('/'));
    mkdir(parent.c_str(), 0700);
    mkdir(folder.c_str(), 0700);
  }
  for (const std::string& f : m_files) {
    const std::string target = folder + "/" + f;
    if (FileExists(target)) continue;
    CopyNoReplace(DefaultsFolder() + "/" + f, target);
  }
  return HasAllFiles();
}

void UiConfig::WriteLanguage(const std::string& value, bool lock) {
  std::unique_lock<std::recursive_mutex> guard(m_lock, std::defer_lock);
  if (lock) guard.lock();
  m_language = value;
  ProfileWriteString(SettingsPath(), "qv_config", "Language", value);
}

void UiConfig::WriteRemPass(const std::string& value, bool lock) {
  std::unique_lock<std::recursive_mutex> guard(m_lock, std::defer_lock);
  if (lock) guard.lock();
  m_remPass = value;
  ProfileWriteString(SettingsPath(), "qv_config", "RemPass", value);
}

std::string UiConfig::ReadRemPass() {
  std::lock_guard<std::recursive_mutex> guard(m_lock);
  m_remPass = ProfileGetString(SettingsPath(), "qv_config", "RemPass", "false").substr(0, 511);
  return m_remPass;
}

bool UiConfig::EnsureAppDataFiles() {
  UiConfig* c = GetInstance();
  if (c->Load() || (c->HasAllDefaultFiles() && c->CopyDefaultFiles())) {
    c->m_loaded = c->Load();
    return c->m_loaded;
  }
  return false;
}
