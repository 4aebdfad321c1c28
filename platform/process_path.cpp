#include "platform/process_path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "platform/xdg_folders.h"

int Plat_ProgramPath(std::string& out) {
  out.clear();
  // readlink does not say when it truncated: grow until the text fits with room to spare.
  for (size_t size = 256; size <= 65536; size *= 2) {
    std::vector<char> buf(size);
    const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return -1;
    if (static_cast<size_t>(n) < buf.size()) {
      out.assign(buf.data(), static_cast<size_t>(n));
      return out.empty() || out[0] != '/' ? (out.clear(), -1) : 0;
    }
  }
  return -1;
}

bool Plat_IsPerUserInstall(const std::string& installRoot) {
  if (installRoot.empty()) return false;
  struct stat st;
  return stat((installRoot + "/" + kPerUserBaseMark).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string Plat_UserBaseFolder() {
  // A relative XDG_DATA_HOME is to be ignored, as the XDG rules say.
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data && data[0] == '/') return std::string(data) + "/quarlo";
  return Plat_ProfileDir() + "/.local/share/quarlo";
}

std::string Plat_BaseFolderOf(const std::string& programDir) {
  if (programDir.empty() || programDir[0] != '/' || programDir == "/") return std::string();
  const size_t slash = programDir.rfind('/');
  const std::string parent = slash == 0 ? "/" : programDir.substr(0, slash);
  return Plat_IsPerUserInstall(parent) ? Plat_UserBaseFolder() : parent;
}
