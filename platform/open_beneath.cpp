#include "platform/open_beneath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <vector>

#include "platform/unique_fd.h"

namespace {

constexpr int kOpenTries = 8;

// Set once a kernel said it has no openat2; later opens go straight to the walk.
std::atomic<bool> g_noOpenat2{false};

// The components of a relative path; false for an absolute path or a ".." anywhere.
bool Components(const std::string& rel, std::vector<std::string>& out) {
  out.clear();
  if (!rel.empty() && rel[0] == '/') return false;
  size_t start = 0;
  while (start <= rel.size()) {
    size_t end = rel.find('/', start);
    if (end == std::string::npos) end = rel.size();
    const std::string piece = rel.substr(start, end - start);
    if (piece == "..") return false;
    if (!piece.empty() && piece != ".") out.push_back(piece);
    start = end + 1;
  }
  return true;
}

// O_PATH | O_NOFOLLOW opens a link itself rather than failing on it: such a descriptor is
// closed, as any other link on the way would have failed.
int RefusedLink(int fd, int flags) {
  struct stat st;
  if ((flags & O_PATH) && (fstat(fd, &st) != 0 || S_ISLNK(st.st_mode))) {
    ::close(fd);
    errno = ELOOP;
    return -1;
  }
  return fd;
}

}  // namespace

int Plat_OpenBeneathByWalk(int rootFd, const std::string& rel, int flags, mode_t mode) {
  std::vector<std::string> parts;
  if (!Components(rel, parts)) {
    errno = EXDEV;
    return -1;
  }
  flags |= O_CLOEXEC | O_NOFOLLOW;
  if (parts.empty()) {
    // The root itself: reopened through its descriptor, never through a name.
    if (flags & O_CREAT) {
      errno = EISDIR;
      return -1;
    }
    return ::openat(rootFd, ".", flags, mode);
  }
  UniqueFd dir;
  int at = rootFd;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    // O_NOFOLLOW with O_DIRECTORY: a link in place of a folder fails with ELOOP or ENOTDIR.
    const int next = ::openat(at, parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) {
      if (errno == ENOTDIR) errno = ELOOP;
      return -1;
    }
    dir.reset(next);
    at = next;
  }
  const int last = ::openat(at, parts.back().c_str(), flags, mode);
  return last < 0 ? -1 : RefusedLink(last, flags);
}

namespace {

// openat2 beneath rootFd with no link on the way, plus `resolve`; ENOSYS when the kernel has
// no openat2.
int OpenAt2Beneath(int rootFd, const std::string& rel, int flags, mode_t mode,
                   unsigned long long resolve) {
  std::vector<std::string> parts;
  if (!Components(rel, parts)) {
    errno = EXDEV;
    return -1;
  }
  std::string clean;
  for (const std::string& p : parts) clean += (clean.empty() ? "" : "/") + p;
  if (clean.empty()) clean = ".";
  open_how how{};
  how.flags = static_cast<unsigned long long>(flags | O_CLOEXEC | O_NOFOLLOW);
  how.mode = (flags & (O_CREAT | O_TMPFILE)) ? mode : 0;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | resolve;
  for (int attempt = 0;; ++attempt) {
    const long fd = syscall(SYS_openat2, rootFd, clean.c_str(), &how, sizeof how);
    if (fd >= 0) return RefusedLink(static_cast<int>(fd), flags);
    // A rename elsewhere on the file system may make the kernel ask for another try.
    if ((errno == EINTR || errno == EAGAIN) && attempt < kOpenTries && resolve == 0) continue;
    return -1;
  }
}

}  // namespace

int Plat_OpenBeneath(int rootFd, const std::string& rel, int flags, mode_t mode) {
  if (!g_noOpenat2.load(std::memory_order_relaxed)) {
    const int fd = OpenAt2Beneath(rootFd, rel, flags, mode, 0);
    if (fd >= 0 || errno != ENOSYS) return fd;
    g_noOpenat2.store(true, std::memory_order_relaxed);
  }
  return Plat_OpenBeneathByWalk(rootFd, rel, flags, mode);
}

int Plat_OpenBeneathCached(int rootFd, const std::string& rel, int flags) {
  const int fd = g_noOpenat2.load(std::memory_order_relaxed)
                     ? -1
                     : OpenAt2Beneath(rootFd, rel, flags, 0, RESOLVE_CACHED);
  // A kernel without openat2 or without the flag (EINVAL) cannot tell: as if it had to wait.
  if (fd < 0 && (errno == ENOSYS || errno == EINVAL)) errno = EAGAIN;
  return fd;
}

std::string Plat_FdPath(int fd) {
  if (fd < 0) return std::string();
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  std::vector<char> target(PATH_MAX + 1);
  const ssize_t n = readlink(link, target.data(), target.size());
  if (n <= 0 || static_cast<size_t>(n) >= target.size()) return std::string();
  std::string out(target.data(), static_cast<size_t>(n));
  // A removed file is named "<path> (deleted)": it names nothing any more.
  if (out[0] != '/') return std::string();
  struct stat byFd, byName;
  if (fstat(fd, &byFd) != 0 || lstat(out.c_str(), &byName) != 0 ||
      byFd.st_dev != byName.st_dev || byFd.st_ino != byName.st_ino)
    return std::string();
  return out;
}
