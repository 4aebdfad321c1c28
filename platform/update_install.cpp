#include "platform/update_install.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/files.h"
#include "platform/run_command.h"
#include "platform/unique_fd.h"
#include "platform/update_signature.h"

namespace {

constexpr off_t kMaxPackageBytes = off_t{4} << 30;

bool SafeOwner(const struct stat& st) { return st.st_uid == 0 || st.st_uid == geteuid(); }

// Copies all of in into out; false on a read or write error.
bool CopyAll(int in, int out) {
  char buf[65536];
  for (;;) {
    const ssize_t n = read(in, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (!Plat_WriteAll(out, buf, static_cast<size_t>(n))) return false;
  }
}

}  // namespace

bool Plat_AncestorsAreSafe(const std::string& path, std::string& why) {
  if (path.empty() || path[0] != '/') {
    why = path + " is not an absolute path";
    return false;
  }
  // "/", "/var", "/var/cache" for "/var/cache".
  std::vector<std::string> prefixes{"/"};
  for (size_t end = path.find('/', 1); end != std::string::npos; end = path.find('/', end + 1))
    prefixes.push_back(path.substr(0, end));
  if (path != "/" && path.back() != '/') prefixes.push_back(path);
  for (const std::string& prefix : prefixes) {
    const std::string last = prefix.substr(prefix.rfind('/') + 1);
    if (last == "." || last == "..") {
      why = path + " is not a plain path";
      return false;
    }
    struct stat st {};
    if (lstat(prefix.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      why = prefix + " is not a folder (or is a link)";
      return false;
    }
    if (!SafeOwner(st) || ((st.st_mode & (S_IWGRP | S_IWOTH)) && !(st.st_mode & S_ISVTX))) {
      why = prefix + " can be changed by other users";
      return false;
    }
  }
  return true;
}

int Plat_InstallSignedUpdate(const std::string& package, const std::string& signaturePath,
                             const UpdateInstallOptions& options, std::string& message) {
  std::string why;
  // The signature is small and read once: what is read is what is checked.
  std::string signature;
  if (!ReadUpdateSignature(signaturePath, signature, why)) {
    message = "refused: " + signaturePath + ": " + why + "; nothing installed";
    return kUpdateInstallUnreadable;
  }

  const std::string& dir = options.cacheDir;
  const size_t slash = dir.rfind('/');
  if (dir.empty() || dir[0] != '/' || dir.back() == '/' || slash == std::string::npos) {
    message = "refused: the folder " + dir + " is not an absolute path of a folder";
    return kUpdateInstallNoSafeFolder;
  }
  if (!Plat_AncestorsAreSafe(slash == 0 ? "/" : dir.substr(0, slash), why)) {
    message = "refused: " + why + "; nothing installed";
    return kUpdateInstallNoSafeFolder;
  }
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    message = "refused: cannot make " + dir + ": " + std::strerror(errno);
    return kUpdateInstallNoSafeFolder;
  }
  UniqueFd dirFd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat dst {};
  if (dirFd.fd < 0 || fstat(dirFd.fd, &dst) != 0 || dst.st_uid != geteuid()) {
    message = "refused: " + dir + " is not a folder of ours; nothing installed";
    return kUpdateInstallNoSafeFolder;
  }
  // Ours but opened up (an old folder): close it first, then clear what may lie in it.
  if ((dst.st_mode & 0077) != 0 && fchmod(dirFd.fd, 0700) != 0) {
    message = "refused: cannot make " + dir + " 0700";
    return kUpdateInstallNoSafeFolder;
  }
  if (unlinkat(dirFd.fd, kUpdateInstallCopyName, 0) != 0 && errno != ENOENT) {
    message = "refused: cannot clear " + dir + "/" + kUpdateInstallCopyName;
    return kUpdateInstallNoSafeFolder;
  }

  UniqueFd in(open(package.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (in.fd < 0 || fstat(in.fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 ||
      st.st_size > kMaxPackageBytes) {
    message = "refused: " + package + " is not a readable package file; nothing installed";
    return kUpdateInstallUnreadable;
  }
  const std::string copy = dir + "/" + kUpdateInstallCopyName;
  UniqueFd out(openat(dirFd.fd, kUpdateInstallCopyName, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                0600));
  if (out.fd < 0 || !CopyAll(in.fd, out.fd) || fsync(out.fd) != 0) {
    unlinkat(dirFd.fd, kUpdateInstallCopyName, 0);
    message = "refused: cannot copy " + package + " to " + copy + "; nothing installed";
    return kUpdateInstallUnreadable;
  }
  // The copy is checked, not the user's file: it can change no more.
  if (!VerifyUpdateSignatureFd(out.fd, signature, why)) {
    unlinkat(dirFd.fd, kUpdateInstallCopyName, 0);
    message = "refused: " + package + ": " + why + "; nothing installed";
    return kUpdateInstallBadSignature;
  }
  message = "the signature of " + package + " holds; installing the copy " + copy;
  const RunResult r =
      Plat_RunCapture({options.installProgram, "install", "-y", copy}, options.installTimeoutMs);
  unlinkat(dirFd.fd, kUpdateInstallCopyName, 0);
  if (!r.output.empty()) message += "\n" + r.output;
  if (!r.started) {
    message += "\n" + options.installProgram + " could not be started";
    return kUpdateInstallNotStarted;
  }
  return r.exitStatus;
}
