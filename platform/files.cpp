#include "platform/files.h"

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

namespace {

constexpr const char* kHiddenSuffixes[] = {"quarlo.rename", "quarlo.renametmp"};

bool EndsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

#if defined(__GLIBC__)
#if __GLIBC_PREREQ(2, 28)
#define QV_HAVE_RENAMEAT2 1
#endif
#endif

int RenameAt2NoReplace(int fromDir, const char* from, int toDir, const char* to) {
#if defined(QV_HAVE_RENAMEAT2)
  return renameat2(fromDir, from, toDir, to, RENAME_NOREPLACE);
#elif defined(SYS_renameat2)
  return static_cast<int>(syscall(SYS_renameat2, fromDir, from, toDir, to, RENAME_NOREPLACE));
#else
  errno = ENOSYS;
  return -1;
#endif
}

// For file systems that refuse the flag: a hard link cannot replace a target either.
int LinkThenUnlink(int fromDir, const char* from, int toDir, const char* to) {
  if (linkat(fromDir, from, toDir, to, 0) != 0) return -1;
  if (unlinkat(fromDir, from, 0) != 0) {
    // Leave things as they were rather than one file under two names.
    const int err = errno;
    unlinkat(toDir, to, 0);
    errno = err;
    return -1;
  }
  return 0;
}

// Last resort where neither the flag nor hard links exist (directories, some FUSE and
// network file systems): a check right before the rename keeps the window small.
int CheckedRename(int fromDir, const char* from, int toDir, const char* to) {
  struct stat st;
  if (fstatat(toDir, to, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return -1;
  }
  if (errno != ENOENT) return -1;
  return renameat(fromDir, from, toDir, to);
}

}  // namespace

bool Plat_IsHiddenName(const std::string& name) {
  if (!name.empty() && name[0] == '.') return true;
  // The folder settings the desktop program writes into the data folder, hidden as on Windows.
  if (name == "desktop.ini") return true;
  for (const char* suffix : kHiddenSuffixes) {
    if (EndsWith(name, suffix)) return true;
  }
  return false;
}

int Plat_SetHidden(const std::string& /*path*/, bool /*hidden*/) { return 0; }

int Plat_RenameNoReplace(const std::string& from, const std::string& to) {
  return Plat_RenameAtNoReplace(AT_FDCWD, from, AT_FDCWD, to);
}

int Plat_RenameAtNoReplace(int fromDir, const std::string& from, int toDir, const std::string& to) {
  if (from.empty() || to.empty()) {
    errno = ENOENT;
    return -1;
  }
  if (RenameAt2NoReplace(fromDir, from.c_str(), toDir, to.c_str()) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;

  // EINVAL also means "a folder into itself"; only fall back when the source is there and
  // the plain rename would not refuse for that reason anyway.
  struct stat st;
  if (fstatat(fromDir, from.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
  if (!S_ISDIR(st.st_mode)) {
    if (LinkThenUnlink(fromDir, from.c_str(), toDir, to.c_str()) == 0) return 0;
    // Only a file system without hard links goes on to the checked rename.
    if (errno != EPERM && errno != EOPNOTSUPP) return -1;
  }
  return CheckedRename(fromDir, from.c_str(), toDir, to.c_str());
}

bool Plat_IsDirectory(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Plat_IsRegularFile(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool Plat_PathExists(const std::string& path) {
  struct stat st;
  return !path.empty() && lstat(path.c_str(), &st) == 0;
}

int Plat_FileSize(const std::string& path, uint64_t& size) {
  size = 0;
  struct stat st;
  if (path.empty() || stat(path.c_str(), &st) != 0) return -1;
  size = static_cast<uint64_t>(st.st_size);
  return 0;
}

int Plat_FileMTime(const std::string& path, int64_t& mtime) {
  mtime = 0;
  struct stat st;
  if (path.empty() || stat(path.c_str(), &st) != 0) return -1;
  mtime = static_cast<int64_t>(st.st_mtime);
  return 0;
}

bool Plat_WriteAll(int fd, const void* data, size_t size) {
  const char* at = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = write(fd, at, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool Plat_WriteFileAtomically(const std::string& path, const std::string& content) {
  const std::string tmp = path + ".tmp" + std::to_string(getpid());
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << content;
    out.flush();
    if (!out) {
      unlink(tmp.c_str());
      return false;
    }
  }
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    unlink(tmp.c_str());
    return false;
  }
  return true;
}
