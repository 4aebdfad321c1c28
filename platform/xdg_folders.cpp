#include "platform/xdg_folders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace {

std::string AbsoluteEnv(const char* name) {
  const char* v = std::getenv(name);
  if (v && v[0] == '/') return v;
  return "";
}

std::string DefaultName(const std::string& kind) {
  if (kind == "PICTURES") return "Pictures";
  if (kind == "MUSIC") return "Music";
  if (kind == "VIDEOS") return "Videos";
  if (kind == "DOCUMENTS") return "Documents";
  if (kind == "DESKTOP") return "Desktop";
  if (kind == "DOWNLOAD") return "Downloads";
  return "";
}

}  // namespace

std::string Plat_ProfileDir() {
  std::string home = AbsoluteEnv("HOME");
  if (!home.empty()) return home;
  passwd pw{};
  passwd* found = nullptr;
  char buf[4096];
  if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &found) == 0 && found && found->pw_dir)
    return found->pw_dir;
  return "/";
}

std::string Plat_AppDataDir() {
  std::string dir = AbsoluteEnv("XDG_CONFIG_HOME");
  if (!dir.empty()) return dir;
  const std::string home = Plat_ProfileDir();
  return (home == "/" ? "" : home) + "/.config";
}

std::string Plat_UserDir(const std::string& kind) {
  const std::string fallbackName = DefaultName(kind);
  if (fallbackName.empty()) return "";
  const std::string home = Plat_ProfileDir();
  // Lines look like: XDG_PICTURES_DIR="$HOME/Pictures"
  std::ifstream in(Plat_AppDataDir() + "/user-dirs.dirs");
  const std::string prefix = "XDG_" + kind + "_DIR=";
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, prefix.size(), prefix) != 0) continue;
    std::string value = line.substr(prefix.size());
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    if (value.compare(0, 5, "$HOME") == 0) value = home + value.substr(5);
    if (!value.empty() && value[0] == '/') return value;
  }
  return (home == "/" ? "" : home) + "/" + fallbackName;
}
