#include "platform/bookmarks.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/files.h"
#include "platform/xdg_folders.h"

namespace {

bool Unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '-' || c == '.' || c == '_' || c == '~';
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string WithoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// The folder a bookmark line points at, or "" when it is not a local file location.
std::string LineFolder(const std::string& line) {
  std::string location = line.substr(0, line.find(' '));
  if (!location.empty() && location.back() == '\r') location.pop_back();
  const std::string scheme = "file://";
  if (location.compare(0, scheme.size(), scheme) != 0) return std::string();
  size_t pos = scheme.size();
  const size_t slash = location.find('/', pos);  // skips a host name such as "localhost"
  if (slash == std::string::npos) return std::string();
  std::string path;
  for (pos = slash; pos < location.size(); ++pos) {
    const char c = location[pos];
    if (c == '%' && pos + 2 < location.size() && HexValue(location[pos + 1]) >= 0 &&
        HexValue(location[pos + 2]) >= 0) {
      path += static_cast<char>(HexValue(location[pos + 1]) * 16 + HexValue(location[pos + 2]));
      pos += 2;
    } else {
      path += c;
    }
  }
  return WithoutTrailingSlash(path);
}

bool MakeDirs(const std::string& path) {
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    const std::string part = path.substr(0, pos);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

std::string Plat_FileUri(const std::string& absolutePath) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string uri = "file://";
  for (unsigned char c : absolutePath) {
    if (Unreserved(c) || c == '/') {
      uri += static_cast<char>(c);
    } else {
      uri += '%';
      uri += kHex[c >> 4];
      uri += kHex[c & 15];
    }
  }
  return uri;
}

std::string Plat_BookmarksPath() { return Plat_AppDataDir() + "/gtk-3.0/bookmarks"; }

std::string Plat_RewriteBookmarks(const std::string& content,
                                  const std::vector<std::string>& replacedFolders,
                                  const std::string& newLine) {
  std::vector<std::string> replaced;
  for (const std::string& f : replacedFolders)
    if (!f.empty()) replaced.push_back(WithoutTrailingSlash(f));
  std::string out;
  size_t pos = 0;
  while (pos < content.size()) {
    size_t end = content.find('\n', pos);
    if (end == std::string::npos) end = content.size();
    const std::string line = content.substr(pos, end - pos);
    pos = end + 1;
    const std::string folder = LineFolder(line);
    bool ours = false;
    for (const std::string& r : replaced)
      if (!folder.empty() && folder == r) ours = true;
    if (!ours) out += line + "\n";
  }
  out += newLine + "\n";
  return out;
}

int Plat_SetFolderBookmark(const std::string& folder, const std::string& label,
                           const std::string& previousFolder, std::string& error) {
  if (folder.empty() || folder[0] != '/') {
    error = "the folder is not an absolute path";
    return -1;
  }
  // One line per bookmark: a line break in the label would start a line of its own.
  std::string cleanLabel = label;
  for (char& c : cleanLabel)
    if (c == '\n' || c == '\r') c = ' ';
  std::string line = Plat_FileUri(folder);
  if (!cleanLabel.empty()) line += " " + cleanLabel;

  // A bookmarks file that is a link (kept in a dotfiles folder) is rewritten where it points.
  std::string path = Plat_BookmarksPath();
  char resolved[PATH_MAX];
  struct stat lst;
  if (lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode) && realpath(path.c_str(), resolved))
    path = resolved;
  const std::string dir = path.substr(0, path.rfind('/'));
  if (!MakeDirs(dir)) {
    error = Errno("cannot create " + dir);
    return -1;
  }

  std::string content;
  mode_t mode = 0644;
  const int in = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (in >= 0) {
    struct stat st;
    if (fstat(in, &st) == 0) mode = st.st_mode & 07777;
    char buf[65536];
    ssize_t n;
    while ((n = read(in, buf, sizeof(buf))) > 0) content.append(buf, static_cast<size_t>(n));
    const bool failed = n < 0;
    close(in);
    if (failed) {
      error = Errno("cannot read " + path);
      return -1;
    }
  } else if (errno != ENOENT) {
    error = Errno("cannot read " + path);
    return -1;
  }

  const std::string next =
      Plat_RewriteBookmarks(content, {folder, previousFolder}, line);
  std::string tmp = path + ".XXXXXX";
  const int fd = mkostemp(&tmp[0], O_CLOEXEC);
  if (fd < 0) {
    error = Errno("cannot write in " + dir);
    return -1;
  }
  const bool ok = Plat_WriteAll(fd, next.data(), next.size()) && fchmod(fd, mode) == 0 && fsync(fd) == 0;
  if (close(fd) != 0 || !ok || rename(tmp.c_str(), path.c_str()) != 0) {
    error = Errno("cannot write " + path);
    unlink(tmp.c_str());
    return -1;
  }
  const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  return 0;
}
