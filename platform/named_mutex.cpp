#include "platform/named_mutex.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string EnvOrEmpty(const char* name) {
  const char* v = std::getenv(name);
  return (v && *v) ? std::string(v) : std::string();
}

// Creates every missing folder of the path (mode 0700); true when the path is a directory.
bool MakeDirs(const std::string& path) {
  if (path.empty()) return false;
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    std::string part = path.substr(0, pos);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The shared /tmp fallback could be planted by another user: accept it only when it is our
// own real directory.
bool IsOwnPrivateDir(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return false;
  return S_ISDIR(st.st_mode) && st.st_uid == getuid() && (st.st_mode & 0077) == 0;
}

// Windows names may carry a "Global\" style prefix; keep the name one file name.
std::string LockFileName(const std::string& name) {
  std::string out = name;
  for (char& c : out) {
    if (c == '/' || c == '\\') c = '_';
  }
  return out + ".lock";
}

std::string NamedObjectDir(bool& sharedFallback) {
  sharedFallback = false;
  std::string dir = EnvOrEmpty("QUARLO_NAMESPACE");
  if (dir.empty()) dir = EnvOrEmpty("XDG_RUNTIME_DIR");
  if (dir.empty()) {
    sharedFallback = true;
    dir = "/tmp/quarlo-" + std::to_string(getuid());
  }
  return dir;
}

int LockIn(const std::string& dir, const std::string& name, bool& alreadyExists);

}  // namespace

std::string Plat_NamedObjectDir() {
  bool sharedFallback = false;
  return NamedObjectDir(sharedFallback);
}

int Plat_CreateNamedMutex(const std::string& name, bool& alreadyExists) {
  alreadyExists = false;
  if (name.empty()) return -1;
  bool sharedFallback = false;
  const std::string dir = NamedObjectDir(sharedFallback);
  if (!MakeDirs(dir)) return -1;
  if (sharedFallback && !IsOwnPrivateDir(dir)) return -1;

  return LockIn(dir, name, alreadyExists);
}

int Plat_CreateNamedMutexIn(const std::string& folder, const std::string& name,
                            bool& alreadyExists) {
  alreadyExists = false;
  if (name.empty() || folder.empty() || !MakeDirs(folder)) return -1;
  return LockIn(folder, name, alreadyExists);
}

namespace {

int LockIn(const std::string& dir, const std::string& name, bool& alreadyExists) {
  const std::string path = dir + "/" + LockFileName(name);
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return -1;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    close(fd);
    if (err == EWOULDBLOCK) alreadyExists = true;
    return -1;
  }
  // The lock file stays in place: removing it would let a second opener lock a new file
  // while the first still holds the old one.
  return fd;
}

}  // namespace

void Plat_CloseNamedMutex(int fd) {
  if (fd >= 0) close(fd);
}
