#include "common/share_paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

#include "common/os_layer.h"
#include "common/settings.h"
#include "common/share_table.h"
#include "platform/locale_info.h"
#include "platform/open_beneath.h"
#include "platform/process_path.h"
#include "platform/unique_fd.h"

namespace {

constexpr mode_t kDirMode = 0755;

struct DirCloser {
  void operator()(DIR* d) const { closedir(d); }
};

bool IsBlank(const std::string& text) {
  return text.find_first_not_of(" \t") == std::string::npos;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;  // a dangling link still takes the name
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (!dir.empty() && dir.back() == '/') return dir + name;
  return dir + "/" + name;
}


std::string Joined(const std::vector<std::string>& parts, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out += "/" + parts[i];
  return out.empty() ? "/" : out;
}

std::string RealPath(const std::string& path, int& err) {
  char buffer[PATH_MAX];
  if (realpath(path.c_str(), buffer)) {
    err = 0;
    return buffer;
  }
  err = errno;
  return std::string();
}

// True when `path` is `base` or lies below it, compared by whole components.
bool IsAtOrBelow(const std::string& path, const std::string& base) {
  if (base == "/") return true;
  if (path.compare(0, base.size(), base) != 0) return false;
  return path.size() == base.size() || path[base.size()] == '/';
}

struct Token {
  const char* text;
  std::string DefaultDirSet::*folder;
};

const Token kTokens[] = {
    {"$DEFAULT$", &DefaultDirSet::def},         {"$DEFAULT_PIC$", &DefaultDirSet::pic},
    {"$DEFAULT_MUSIC$", &DefaultDirSet::music}, {"$DEFAULT_VIDEO$", &DefaultDirSet::video},
    {"$DEFAULT_DOC$", &DefaultDirSet::doc},     {"$DEFAULT_INSTANT$", &DefaultDirSet::instant},
};

}  // namespace

// The path's components without empty and "." pieces; false when one is "..".
std::string NormalizePeerPath(const std::string& path) {
  std::string out = path;
  for (char& c : out)
    if (c == '\\') c = '/';
  return out;
}

std::string ExpandDefaultPath(const std::string& path) {
  const std::shared_ptr<const ShareSnapshot> table = ShareTable_Current();
  const DefaultDirSet& dirs = table->defaults;
  for (const Token& token : kTokens) {
    const std::string text = token.text;
    if (path.compare(0, text.size(), text) != 0) continue;
    const std::string& folder = dirs.*(token.folder);
    if (IsBlank(folder)) return std::string();
    // Only the leading token: the same text further on is part of a real name.
    return folder + path.substr(text.size());
  }
  return path;
}

std::string CanonicalPath(const std::string& path) {
  // Peer paths are absolute; a relative one would depend on the service's working folder.
  if (path.empty() || path[0] != '/') return std::string();
  std::vector<std::string> parts;
  if (!SplitComponents(path, parts)) return std::string();

  // The nearest existing ancestor is resolved (links included); the rest does not exist yet.
  for (size_t known = parts.size() + 1; known-- > 0;) {
    int err = 0;
    const std::string real = RealPath(Joined(parts, known), err);
    if (real.empty()) {
      // Only "not there" lets us look further up; anything else (a link loop, no access)
      // leaves the path unresolvable.
      if (err != ENOENT && err != ENOTDIR) return std::string();
      continue;
    }
    if (known < parts.size()) {
      // The first unresolved name must really be absent: a dangling link there would let a
      // later create land wherever the link points.
      struct stat st;
      if (lstat(JoinPath(real, parts[known]).c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        return std::string();
    }
    std::string out = real;
    for (size_t i = known; i < parts.size(); ++i) out = JoinPath(out, parts[i]);
    return out;
  }
  return std::string();
}

int CheckSharePathIn(const std::string& folder, const std::vector<std::string>& allowed) {
  if (OS_DirExists(folder) != 0) return kErrNotFolder;
  const std::string canonical = CanonicalPath(folder);
  if (canonical.empty()) return kErrNotShared;
  for (const std::string& entry : allowed) {
    // An empty entry names no folder and so admits nothing.
    if (IsBlank(entry)) continue;
    const std::string base = CanonicalPath(entry);
    if (base.empty()) continue;
    if (IsAtOrBelow(canonical, base)) return 0;
  }
  return kErrNotShared;
}

namespace {

// The share folder (canonical) that holds `canonical`, and the rest of the path below it.
bool FindRoot(const std::string& canonical, const std::vector<std::string>& allowed,
              std::string& root, std::string& rel) {
  for (const std::string& entry : allowed) {
    if (IsBlank(entry)) continue;
    const std::string base = CanonicalPath(entry);
    if (base.empty() || !IsAtOrBelow(canonical, base)) continue;
    root = base;
    rel = canonical.size() == base.size() ? std::string()
                                          : canonical.substr(base == "/" ? 1 : base.size() + 1);
    return true;
  }
  return false;
}

// The descriptor must name the path that was checked; a swap above the share itself, or a
// rename while we opened, shows here.
int Judged(int fd, const std::string& canonical, std::string* opened) {
  if (fd < 0) return -1;
  if (Plat_FdPath(fd) != canonical) {
    ::close(fd);
    errno = EACCES;
    return -1;
  }
  if (opened) *opened = canonical;
  return fd;
}

bool SamePrefix(const std::vector<std::string>& parts, const std::vector<std::string>& prefix) {
  if (prefix.size() > parts.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (parts[i] != prefix[i]) return false;
  return true;
}

// cachedOnly: false also when the name's lookup would have to read the disk.
bool NamesRoot(const std::string& name, const ShareRoot& root, bool cachedOnly) {
  struct stat st;
  if (!cachedOnly) {
    return stat(name.c_str(), &st) == 0 && st.st_dev == root.dev && st.st_ino == root.ino;
  }
  // An absolute name beneath "/" is the name itself; links on the way are left to the full
  // check.
  static const int top = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);  // kept for good
  if (top < 0 || name.empty() || name[0] != '/') return false;
  UniqueFd named(Plat_OpenBeneathCached(top, name.substr(1), O_PATH | O_DIRECTORY));
  return named.get() >= 0 && fstat(named.get(), &st) == 0 && st.st_dev == root.dev &&
         st.st_ino == root.ino;
}

enum class Fast { kOpened, kFailed, kUnsure };

// The common case without one name resolved by hand: the path, spelled through a share as it
// is stored or as it really lies, opened beneath that share's open descriptor with no link on
// the way, and the share's name still naming that descriptor's folder afterwards (the folder
// was not renamed or replaced since the table was read). A link inside the share, a spelling
// through a link above it, or a share that changed on disk is left to the full check (kUnsure).
Fast OpenBeneathTable(const ShareSnapshot& table, const std::string& path, int flags,
                      std::string* opened, int& fd, bool cachedOnly) {
  fd = -1;
  std::vector<std::string> parts;
  if (path.empty() || path[0] != '/' || !SplitComponents(path, parts)) {
    errno = EACCES;
    return Fast::kFailed;
  }
  const ShareRoot* best = nullptr;
  size_t bestLen = 0;
  bool viaCanonical = false;
  for (const ShareRoot& root : table.roots) {
    for (const bool canonical : {false, true}) {
      const std::vector<std::string>& prefix = canonical ? root.canonicalParts : root.entryParts;
      if (canonical && root.canonical.empty()) continue;
      if ((!best || prefix.size() > bestLen) && SamePrefix(parts, prefix)) {
        best = &root;
        bestLen = prefix.size();
        viaCanonical = canonical;
      }
    }
  }
  if (!best) return Fast::kUnsure;
  if (best->fd.fd < 0) {
    if (cachedOnly) return Fast::kUnsure;
    // Missing when the table was read: once it is there, the roots are opened again.
    struct stat st;
    if (stat(best->entry.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) ShareTable_RootsStale();
    return Fast::kUnsure;
  }
  std::string rel;
  for (size_t i = bestLen; i < parts.size(); ++i) rel += (rel.empty() ? "" : "/") + parts[i];
  UniqueFd file(cachedOnly ? Plat_OpenBeneathCached(best->fd.fd, rel, flags)
                          : Plat_OpenBeneath(best->fd.fd, rel, flags));
  const int openError = errno;
  // The folder must still be the share, by its stored name and by the name the path used.
  const bool rootHolds = NamesRoot(best->entry, *best, cachedOnly) &&
                         (!viaCanonical || best->canonical == best->entry ||
                          NamesRoot(best->canonical, *best, cachedOnly));
  if (!rootHolds) {
    if (!cachedOnly) ShareTable_RootsStale();
    return Fast::kUnsure;
  }
  if (file.get() < 0) {
    if (openError == ELOOP || openError == EXDEV) return Fast::kUnsure;
    errno = openError;
    return Fast::kFailed;
  }
  if (rel.empty()) {
    // The share itself is only ever opened as a folder.
    struct stat st;
    if (fstat(file.get(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      errno = EACCES;
      return Fast::kFailed;
    }
  }
  if (opened) {
    *opened = best->canonical;
    if (!rel.empty()) *opened += (best->canonical == "/" ? "" : "/") + rel;
  }
  fd = file.release();
  return Fast::kOpened;
}

}  // namespace

int CheckSharePath(const std::string& folder) {
  return CheckSharePathIn(folder, ShareTable_Current()->allowed);
}

int OpenSharedPathIn(const std::string& path, const std::vector<std::string>& allowed, int flags,
                     std::string* opened) {
  const std::string canonical = CanonicalPath(path);
  std::string root, rel;
  if (canonical.empty() || !FindRoot(canonical, allowed, root, rel)) {
    errno = EACCES;
    return -1;
  }
  UniqueFd rootFd(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (rootFd.get() < 0) return -1;
  UniqueFd fd(Plat_OpenBeneath(rootFd.get(), rel, flags));
  if (fd.get() < 0) return -1;
  if (rel.empty()) {
    // The share itself is only ever opened as a folder.
    struct stat st;
    if (fstat(fd.get(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      errno = EACCES;
      return -1;
    }
  }
  return Judged(fd.release(), canonical, opened);
}

int OpenSharedPath(const std::string& path, int flags, std::string* opened) {
  const std::shared_ptr<const ShareSnapshot> table = ShareTable_Current();
  int fd = -1;
  switch (OpenBeneathTable(*table, path, flags, opened, fd, false)) {
    case Fast::kOpened:
      return fd;
    case Fast::kFailed:
      return -1;
    case Fast::kUnsure:
      break;
  }
  return OpenSharedPathIn(path, table->allowed, flags, opened);
}

int OpenSharedPathCached(const std::string& path, int flags, std::string* opened) {
  const std::shared_ptr<const ShareSnapshot> table = ShareTable_Current();
  int fd = -1;
  if (OpenBeneathTable(*table, path, flags, opened, fd, true) == Fast::kOpened) return fd;
  errno = EAGAIN;
  return -1;
}

int MakeSharedFolderIn(const std::string& folder, const std::vector<std::string>& allowed,
                       std::string* opened) {
  const std::string canonical = CanonicalPath(folder);
  std::string root, rel;
  if (canonical.empty() || !FindRoot(canonical, allowed, root, rel)) {
    errno = EACCES;
    return -1;
  }
  std::vector<std::string> parts;
  if (!SplitComponents(rel, parts)) {
    errno = EACCES;
    return -1;
  }
  UniqueFd at(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (at.get() < 0) return -1;
  for (const std::string& part : parts) {
    int next = Plat_OpenBeneath(at.get(), part, O_RDONLY | O_DIRECTORY);
    if (next < 0 && errno == ENOENT) {
      // Another thread may make it meanwhile; what counts is what is opened afterwards.
      if (mkdirat(at.get(), part.c_str(), kDirMode) != 0 && errno != EEXIST) return -1;
      next = Plat_OpenBeneath(at.get(), part, O_RDONLY | O_DIRECTORY);
    }
    if (next < 0) return -1;
    at.reset(next);
  }
  return Judged(at.release(), canonical, opened);
}

int MakeSharedFolder(const std::string& folder, std::string* opened) {
  return MakeSharedFolderIn(folder, ShareTable_Current()->allowed, opened);
}

void GetSubFileList(const std::string& folder, std::vector<SubFileInfo>& out) {
  std::vector<std::string> names;
  OS_GetSubDirs(folder, names);
  for (const std::string& name : names) {
    SubFileInfo info;
    info.type = 0;
    info.time = OS_GetCurTimeStr();
    info.name = name;
    struct stat st;
    if (stat(JoinPath(folder, name).c_str(), &st) == 0) info.time = OS_TimeToStr(st.st_mtime);
    out.push_back(std::move(info));
  }
  names.clear();
  OS_GetSubFiles(folder, names);
  for (const std::string& name : names) {
    SubFileInfo info;
    info.type = 1;
    info.time = OS_GetCurTimeStr();
    info.name = name;
    struct stat st;
    if (stat(JoinPath(folder, name).c_str(), &st) == 0) {
      info.time = OS_TimeToStr(st.st_mtime);
      info.size = static_cast<uint64_t>(st.st_size);
    }
    out.push_back(std::move(info));
  }
}

int CreateDirPath(const std::string& path) {
  if (OS_DirExists(path) == 0) return 0;
  if (path.find('/') == std::string::npos) return -1;
  const bool absolute = path[0] == '/';
  std::string prefix;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string piece = path.substr(start, end - start);
    start = end + 1;
    if (piece.empty()) continue;  // the root, a doubled or a trailing "/"
    if (prefix.empty())
      prefix = absolute ? "/" + piece : piece;
    else
      prefix += "/" + piece;
    if (OS_DirExists(prefix) == 0) continue;
    if (mkdir(prefix.c_str(), kDirMode) != 0) {
      // Another thread may have made it meanwhile.
      if (errno == EEXIST && OS_DirExists(prefix) == 0) continue;
      return -1;
    }
  }
  return 0;
}

void GetUniqueFileName(const std::string& path, std::string& out) {
  if (!Exists(path)) {
    out = path;
    return;
  }
  out = FreeNumberedName(path, FreeNameSuffix(path),
                         [](const std::string& candidate) { return !Exists(candidate); });
}

std::string FreeNumberedName(const std::string& base, const std::string& suffix,
                             const std::function<bool(const std::string&)>& take) {
  for (unsigned long long n = 0;; ++n) {
    std::string candidate = base + ".(" + std::to_string(n) + ")" + suffix;
    if (take(candidate)) return candidate;
  }
}

std::string FreeNameSuffix(const std::string& path, bool keepBareDot) {
  const size_t slash = path.rfind('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot < nameStart) return "";
  if (dot + 1 == path.size() && !keepBareDot) return "";
  return path.substr(dot);
}

void DeleteRenameFiles() {
  DefaultDirSet dirs;
  ParseDefaultDir(dirs);
  for (const std::string* d : {&dirs.doc, &dirs.pic, &dirs.video, &dirs.music, &dirs.instant}) {
    DeleteFilesBySuffix(d->c_str(), kRenameTmpSuffix);
    DeleteFilesBySuffix(d->c_str(), kRenameSuffix);
  }
}

void DeleteFilesBySuffix(const char* folder, const char* suffix) {
  // An empty suffix would match every file of the folder.
  if (!folder || !suffix || !*folder || !*suffix) return;
  if (OS_DirExists(folder) != 0) return;
  std::unique_ptr<DIR, DirCloser> dir(opendir(folder));
  if (!dir) return;
  const std::string end = suffix;
  for (;;) {
    struct dirent* entry = readdir(dir.get());
    if (!entry) break;
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || !EndsWith(name, end)) continue;
    const std::string full = JoinPath(folder, name);
    struct stat st;
    // lstat: a link is removed itself, its target is never touched.
    if (lstat(full.c_str(), &st) != 0) continue;
    if (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) unlink(full.c_str());
  }
}

int GetProgramDir(std::string& out) {
  out.clear();
  std::string program;
  if (Plat_ProgramPath(program) != 0 || program.empty()) return 1;
  const size_t slash = program.rfind('/');
  if (slash == std::string::npos) return -1;
  out = slash == 0 ? "/" : program.substr(0, slash);
  return 0;
}

int GetBaseDir(std::string& out) {
  std::string dir;
  out.clear();
  if (GetProgramDir(dir) != 0) return -1;
  out = Plat_BaseFolderOf(dir);
  return out.empty() ? -1 : 0;
}

std::string DefLanguageEncodeFor(const std::string& codeSet) {
  std::string key;
  for (char c : codeSet) {
    if (c == '-' || c == '_') continue;
    key += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  if (key == "GB2312" || key == "GBK" || key == "GB18030") return "gb2312";
  if (key == "BIG5") return "big5";
  return "en";
}

std::string GetDefLanguageEncode() { return DefLanguageEncodeFor(Plat_LocaleCodeSet()); }
