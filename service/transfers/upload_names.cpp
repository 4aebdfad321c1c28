#include "service/transfers/upload_names.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/files.h"
#include "platform/unique_fd.h"
#include "service/core/request_args.h"

std::string NameOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string InFolder(const std::string& folder, const std::string& name) {
  return folder == "/" ? folder + name : folder + "/" + name;
}

std::string ResolveTarget(const std::string& path) {
  const std::string name = NameOf(path);
  if (name.empty() || name == "." || name == "..") return "";
  const std::string parent = CanonicalPath(ParentOf(path));
  if (parent.empty()) return "";
  return InFolder(parent, name);
}

bool ExistsAt(int dirFd, const std::string& path) {
  struct stat st;
  return fstatat(dirFd, NameOf(path).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

void RemoveAt(int dirFd, const std::string& path) { ::unlinkat(dirFd, NameOf(path).c_str(), 0); }

int FileSizeAt(int dirFd, const std::string& path, uint64_t& size) {
  struct stat st;
  size = 0;
  if (fstatat(dirFd, NameOf(path).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
    return -1;
  size = static_cast<uint64_t>(st.st_size);
  return 0;
}

int OpenAt(int dirFd, const std::string& path, int flags, mode_t mode) {
  return ::openat(dirFd, NameOf(path).c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
}

std::string UniqueTemporaryName(int dirFd, const std::string& target,
                                const std::set<std::string>& held) {
  auto free = [&](const std::string& candidate) {
    return !ExistsAt(dirFd, candidate) && held.count(candidate) == 0;
  };
  const std::string plain = TemporaryPathOf(target);
  if (free(plain)) return plain;
  return FreeNumberedName(target, kRenameSuffix, free);
}

std::string RenameUploadFileAt(int dirFd, const std::string& tmpName, const std::string& name) {
  const std::string suffix = FreeNameSuffix(name, true);
  if (!ExistsAt(dirFd, tmpName)) {
    if (!ExistsAt(dirFd, name)) return name;
    return FreeNumberedName(name, suffix, [dirFd](const std::string& candidate) {
      return !ExistsAt(dirFd, candidate);
    });
  }
  if (Plat_RenameAtNoReplace(dirFd, tmpName, dirFd, name) == 0) return name;
  if (errno != EEXIST) return "";
  // Each free name is claimed by the rename itself, so a file made meanwhile is never replaced.
  int error = 0;
  const std::string published =
      FreeNumberedName(name, suffix, [&](const std::string& candidate) {
        error = Plat_RenameAtNoReplace(dirFd, tmpName, dirFd, candidate) == 0 ? 0 : errno;
        return error != EEXIST;
      });
  if (error != 0) {
    errno = error;
    return "";
  }
  uint64_t size = 0;
  if (FileSizeAt(dirFd, published, size) != 0 || size == 0) RemoveAt(dirFd, published);
  return published;
}

std::string RenameUploadFile(const std::string& tmpPath, const std::string& target) {
  // Both names live in the target's folder; anything else is no upload of ours.
  if (ParentOf(tmpPath) != ParentOf(target)) {
    errno = EXDEV;
    return "";
  }
  const std::string folder = ParentOf(target);
  UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.fd < 0) return "";
  const std::string name = RenameUploadFileAt(dir.fd, NameOf(tmpPath), NameOf(target));
  return name.empty() ? name : InFolder(folder, name);
}
