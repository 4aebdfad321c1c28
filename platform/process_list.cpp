#include "platform/process_list.h"

#include <dirent.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool RealUid(int pid, uid_t& uid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, 4, "Uid:") == 0) {
      uid = static_cast<uid_t>(std::strtoul(line.c_str() + 4, nullptr, 10));
      return true;
    }
  }
  return false;
}

std::string EnvOf(int pid, const std::string& name) {
  const std::string env = ReadAll("/proc/" + std::to_string(pid) + "/environ");
  const std::string prefix = name + "=";
  size_t at = 0;
  while (at < env.size()) {
    const size_t end = env.find('\0', at);
    const std::string entry = env.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (entry.compare(0, prefix.size(), prefix) == 0) return entry.substr(prefix.size());
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return "";
}

std::string ProgramName(int pid) {
  char buf[4096];
  const ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), buf, sizeof buf - 1);
  if (n > 0) {
    std::string path(buf, static_cast<size_t>(n));
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() &&
        path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
      path.resize(path.size() - deleted.size());
    return path.substr(path.rfind('/') + 1);
  }
  std::string comm = ReadAll("/proc/" + std::to_string(pid) + "/comm");
  while (!comm.empty() && comm.back() == '\n') comm.pop_back();
  return comm;
}

}  // namespace

std::vector<int> Plat_FindSessionProcesses(const std::string& name) {
  std::string want = Lower(name);
  if (want.size() > 4 && want.compare(want.size() - 4, 4, ".exe") == 0) want.resize(want.size() - 4);
  const char* sessionVar = std::getenv("XDG_SESSION_ID") ? "XDG_SESSION_ID"
                           : std::getenv("DISPLAY")      ? "DISPLAY"
                                                         : nullptr;
  const std::string session = sessionVar ? std::getenv(sessionVar) : "";
  std::vector<int> out;
  DIR* dir = opendir("/proc");
  if (!dir) return out;
  while (dirent* e = readdir(dir)) {
    char* end = nullptr;
    const long pid = std::strtol(e->d_name, &end, 10);
    if (!end || *end != '\0' || pid <= 0 || pid == getpid()) continue;
    uid_t uid = 0;
    if (!RealUid(static_cast<int>(pid), uid) || uid != getuid()) continue;
    if (Lower(ProgramName(static_cast<int>(pid))) != want) continue;
    if (sessionVar && EnvOf(static_cast<int>(pid), sessionVar) != session) continue;
    out.push_back(static_cast<int>(pid));
  }
  closedir(dir);
  return out;
}

bool Plat_ProcessOfThisUser(int pid) {
  uid_t uid = 0;
  return pid > 0 && RealUid(pid, uid) && uid == getuid();
}
