#include "platform/disk.h"

#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

namespace {

// mountinfo writes space, tab, newline and backslash as three-digit octal escapes.
std::string UnescapeMountField(const std::string& field) {
  std::string out;
  out.reserve(field.size());
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const char a = field[i + 1], b = field[i + 2], c = field[i + 3];
      if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
        out.push_back(static_cast<char>(((a - '0') << 6) | ((b - '0') << 3) | (c - '0')));
        i += 3;
        continue;
      }
    }
    out.push_back(field[i]);
  }
  return out;
}

// realpath of the path, or of its nearest existing ancestor when the path itself is missing.
std::string NearestExistingReal(const std::string& path) {
  std::string p = path;
  if (p[0] != '/') {
    std::vector<char> cwd(PATH_MAX + 1, '\0');
    if (!getcwd(cwd.data(), cwd.size())) return "/";
    p = std::string(cwd.data()) + "/" + p;
  }
  while (true) {
    char resolved[PATH_MAX];
    if (realpath(p.c_str(), resolved)) return resolved;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    const size_t slash = p.rfind('/');
    if (slash == std::string::npos || p == "/") return "/";
    p.resize(slash == 0 ? 1 : slash);
  }
}

bool IsUnder(const std::string& path, const std::string& mountPoint) {
  if (mountPoint == "/") return true;
  if (path.compare(0, mountPoint.size(), mountPoint) != 0) return false;
  return path.size() == mountPoint.size() || path[mountPoint.size()] == '/';
}

}  // namespace

int Plat_DiskFreeBytes(const std::string& path, uint64_t& freeBytes) {
  freeBytes = 0;
  if (path.empty()) return -1;
  struct statvfs st;
  if (statvfs(path.c_str(), &st) != 0) return -1;
  freeBytes = static_cast<uint64_t>(st.f_bavail) * static_cast<uint64_t>(st.f_frsize);
  return 0;
}

std::string Plat_MountPointIn(const std::string& realPath, std::istream& mountinfo) {
  std::string best = "/";
  std::string line;
  while (std::getline(mountinfo, line)) {
    // Fields: mount id, parent id, major:minor, root, mount point, ...
    std::istringstream fields(line);
    std::string id, parent, dev, root, mountPoint;
    if (!(fields >> id >> parent >> dev >> root >> mountPoint)) continue;
    mountPoint = UnescapeMountField(mountPoint);
    if (mountPoint.empty() || mountPoint[0] != '/') continue;
    if (IsUnder(realPath, mountPoint) && mountPoint.size() > best.size()) best = mountPoint;
  }
  return best;
}

std::string Plat_MountPointOf(const std::string& path) {
  if (path.empty()) return "";
  const std::string real = NearestExistingReal(path);
  std::ifstream in("/proc/self/mountinfo");
  if (!in) return "/";
  return Plat_MountPointIn(real, in);
}

std::vector<std::string> Plat_DriveRootsIn(std::istream& mountinfo) {
  // The root, then the places where removable and extra disks are mounted; the kernel's
  // own file systems (/proc, /sys, /dev, /run) are no drives a user browses.
  std::vector<std::string> roots = {"/"};
  std::string line;
  while (std::getline(mountinfo, line)) {
    std::istringstream fields(line);
    std::string id, parent, dev, root, mountPoint;
    if (!(fields >> id >> parent >> dev >> root >> mountPoint)) continue;
    mountPoint = UnescapeMountField(mountPoint);
    const bool userMount = IsUnder(mountPoint, "/media") || IsUnder(mountPoint, "/mnt") ||
                           IsUnder(mountPoint, "/run/media");
    if (!userMount || mountPoint == "/media" || mountPoint == "/mnt") continue;
    bool seen = false;
    for (const std::string& r : roots) seen = seen || r == mountPoint + "/";
    if (!seen) roots.push_back(mountPoint + "/");
  }
  return roots;
}

std::vector<std::string> Plat_DriveRoots() {
  std::ifstream in("/proc/self/mountinfo");
  if (!in) return {"/"};
  return Plat_DriveRootsIn(in);
}
