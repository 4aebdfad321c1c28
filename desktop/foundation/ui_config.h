#pragma once
// The desktop program's per-user settings: "qv_config_3.4.0.cfg" (section "qv_config", keys
// "Language" and "RemPass") in <application data>/Quarlo, beside the web banner's page and
// pictures. At start-up, per-user files that are missing are taken from the folder "roaming"
// beside the program; files the user already has are never replaced.
#include <mutex>
#include <string>
#include <vector>

class UiConfig {
 public:
  UiConfig();
  static UiConfig* GetInstance();  // created on first use
  static void DeleteInstance();    // at exit (and between tests)

  bool Load();                // false while a per-user file is missing
  bool HasAllFiles();         // every per-user file can be read
  bool HasAllDefaultFiles();  // every default copy in "roaming" can be read
  bool CopyDefaultFiles();    // copies the missing per-user files; true when all are there
  void WriteLanguage(const std::string& value, bool lock);
  void WriteRemPass(const std::string& value, bool lock);
  std::string ReadRemPass();
  static bool EnsureAppDataFiles();

  bool LoadResult() const { return m_loaded; }
  std::string Language() const { return m_language; }
  std::string RemPass() const { return m_remPass; }

  static std::string SettingsFileName() { return "qv_config_3.4.0.cfg"; }
  const std::vector<std::string>& Files() const { return m_files; }
  static std::vector<std::string> FileNames();  // the five per-user files, in order
  std::string UserFolder() const;
  std::string DefaultsFolder() const;

 private:
  std::string SettingsPath() const;

  bool m_loaded = false;
  std::string m_language;
  std::string m_remPass;
  std::recursive_mutex m_lock;
  std::vector<std::string> m_files;
};
