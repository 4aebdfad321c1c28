#include "common/os_layer.h"

#include <dirent.h>
#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "common/log.h"
#include "platform/disk.h"
#include "platform/files.h"
#include "platform/unique_fd.h"

std::atomic<unsigned char> g_ExitFlag{0};
std::atomic<uint16_t> g_LocalPort{0};
std::atomic<int> g_CommandPortState{0};
ThreadPool* g_pThreadPool = nullptr;
MutexHandle g_MutexLogOnRtn = nullptr;
MutexHandle g_MutexDownLoadCount = nullptr;
MutexHandle g_MutexLastHBTime = nullptr;
MutexHandle g_MutexTransMap = nullptr;
MutexHandle g_StopDownLoadMutex = nullptr;

namespace {

constexpr size_t kCopyChunk = 64 * 1024;
constexpr size_t kHostNameSize = 260;

struct DirCloser {
  void operator()(DIR* d) const {
    if (d) closedir(d);
  }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

struct IconvCloser {
  iconv_t cd;
  ~IconvCloser() { iconv_close(cd); }
};

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

// Walks a folder and keeps the visible names whose target (links followed) passes the test;
// dangling links fail stat and are left out.
int ListFolder(const std::string& folder, std::vector<std::string>& out,
               bool (*keep)(const struct stat&)) {
  out.clear();
  DirPtr dir(opendir(folder.c_str()));
  if (!dir) return -1;
  for (;;) {
    errno = 0;
    struct dirent* entry = readdir(dir.get());
    if (!entry) return errno == 0 ? 0 : -1;
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || Plat_IsHiddenName(name)) continue;
    struct stat st {};
    if (stat(JoinPath(folder, name).c_str(), &st) != 0) continue;
    if (keep(st)) out.push_back(name);
  }
}

bool IsDirStat(const struct stat& st) { return S_ISDIR(st.st_mode); }
bool IsRegularStat(const struct stat& st) { return S_ISREG(st.st_mode); }

}  // namespace

void OS_Exit() {
  // Only the flag: the mutexes are immortal and stay usable by tasks still winding down, so
  // their data stays guarded until the process ends.
  g_ExitFlag = 1;
}

std::string OS_IntToStr(int32_t v) { return std::to_string(v); }

std::string OS_UIntToStr(uint32_t v) { return std::to_string(v); }

void OS_SplitStr(const std::string& text, const std::string& delim, std::vector<std::string>& out) {
  out.clear();
  if (text.empty() || delim.empty()) return;
  size_t start = 0;
  for (size_t pos = text.find(delim); pos != std::string::npos; pos = text.find(delim, start)) {
    out.push_back(text.substr(start, pos - start));
    start = pos + delim.size();
  }
  out.push_back(text.substr(start));
}

std::string OS_ReplaceStr(const std::string& text, const std::string& from, const std::string& to) {
  if (text.empty() || from.empty()) return text;
  std::string result;
  size_t start = 0;
  for (size_t pos = text.find(from); pos != std::string::npos; pos = text.find(from, start)) {
    result.append(text, start, pos - start);
    result += to;
    start = pos + from.size();
  }
  result.append(text, start, std::string::npos);
  return result;
}

int OS_FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0 ? 0 : -1; }

int OS_RemoveFile(const std::string& path) {
  if (!Plat_PathExists(path)) return 0;
  return remove(path.c_str()) == 0 ? 0 : -1;
}

int OS_RenameFile(const std::string& from, const std::string& to) {
  if (!Plat_PathExists(from)) return -1;
  // A rename never replaces an existing file.
  return Plat_RenameNoReplace(from, to) == 0 ? 0 : -1;
}

int OS_CopyFile(const std::string& from, const std::string& to) {
  // O_NONBLOCK only keeps the opens from hanging on a FIFO; both ends are checked to be
  // regular files before any byte moves.
  UniqueFd in(open(from.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (in.fd < 0) return -1;
  struct stat src {};
  if (fstat(in.fd, &src) != 0 || !S_ISREG(src.st_mode)) return -1;
  struct stat dst {};
  if (stat(to.c_str(), &dst) == 0) {
    if (!S_ISREG(dst.st_mode)) return -1;
    // Opening the source itself as the target would truncate it before the first read.
    if (dst.st_dev == src.st_dev && dst.st_ino == src.st_ino) return -1;
  }

  UniqueFd out(open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666));
  if (out.fd < 0) return -1;
  auto fail = [&]() {
    out.Close();
    unlink(to.c_str());
    return -1;
  };
  struct stat opened {};
  if (fstat(out.fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
    out.Close();
    return -1;
  }

  std::unique_ptr<char[]> chunk(new (std::nothrow) char[kCopyChunk]);
  if (!chunk) return fail();
  uint64_t copied = 0;
  for (;;) {
    const ssize_t got = read(in.fd, chunk.get(), kCopyChunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return fail();
    if (got == 0) break;
    for (ssize_t done = 0; done < got;) {
      const ssize_t w = write(out.fd, chunk.get() + done, static_cast<size_t>(got - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return fail();
      done += w;
    }
    copied += static_cast<uint64_t>(got);
  }
  if (out.Close() != 0) return fail();
  uint64_t size = 0;
  if (Plat_FileSize(to, size) != 0 || size != copied) return fail();
  return 0;
}

char* OS_GetParentDir(char* buffer) {
  if (!buffer) return nullptr;
  const size_t len = strlen(buffer);
  if (len < 2) return (len == 1 && IsSeparator(buffer[0])) ? buffer : nullptr;

  // Trailing separators name the same folder.
  size_t end = len;
  while (end > 1 && IsSeparator(buffer[end - 1])) --end;
  for (size_t i = end - 1; i >= 1; --i) {
    if (!IsSeparator(buffer[i])) continue;
    while (i > 1 && IsSeparator(buffer[i - 1])) --i;
    buffer[i] = '\0';
    return buffer;
  }
  // Only the leading separator is left: the parent is the root, which stays usable.
  if (IsSeparator(buffer[0])) buffer[1] = '\0';
  return buffer;
}

int OS_DirExists(const std::string& path) {
  if (path.empty()) return -1;
  std::string dir = path;
  if (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return Plat_IsDirectory(dir) ? 0 : -1;
}

int OS_GetSubDirs(const std::string& folder, std::vector<std::string>& out) {
  return ListFolder(folder, out, IsDirStat);
}

int OS_GetSubFiles(const std::string& folder, std::vector<std::string>& out) {
  return ListFolder(folder, out, IsRegularStat);
}

int OS_CreateMutex(MutexHandle* out) {
  if (!out) return -1;
  *out = Plat_CreateMutex();
  return *out ? 0 : -1;
}

int OS_CloseMutex(MutexHandle* h) {
  if (!h || !*h) return -1;
  *h = nullptr;  // the mutex itself lives on: another thread may still hold it
  return 0;
}

int OS_CloseEvent(EventHandle* h) {
  if (!h || !*h) return -1;
  *h = nullptr;
  return 0;
}

int OS_SetEvent(EventHandle* h) {
  if (!h || !*h) return -1;
  (*h)->Set();
  return 0;
}

int OS_GetDiskFreeKB(const std::string& path, uint32_t& outKB) {
  if (path.empty()) return -1;
  const std::string drive = OS_GetDriveName(path);
  uint64_t freeBytes = 0;
  if (Plat_DiskFreeBytes(drive, freeBytes) != 0) return -1;
  const uint64_t kb = freeBytes / 1024;
  outKB = kb > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(kb);
  QV_LOG(kModCommLib, kLogDebug, "disk %uKB free.", outKB);
  return 0;
}

std::string OS_GetDriveName(const std::string& path) { return Plat_MountPointOf(path); }

int OS_GetHostName(std::string& out) {
  out.clear();
  char name[kHostNameSize] = {};
  if (gethostname(name, sizeof name - 1) != 0) return errno ? errno : -1;
  out = name;
  return 0;
}

std::string OS_ConvertEncoding(const std::string& from, const std::string& to, const std::string& text) {
  iconv_t cd = iconv_open(to.c_str(), from.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return text;
  IconvCloser closer{cd};

  try {
    std::string output(3 * text.size() + 3, '\0');
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    size_t used = 0;
    // glibc's "//IGNORE" reports EILSEQ even when it skipped its way through the whole
    // input, and may stop early with some input left: go on while input is consumed.
    while (inLeft > 0) {
      char* out = &output[used];
      size_t outLeft = output.size() - used;
      const char* before = in;
      const size_t r = iconv(cd, &in, &inLeft, &out, &outLeft);
      used = output.size() - outLeft;
      if (r != static_cast<size_t>(-1)) continue;
      if (errno == E2BIG) {
        output.resize(output.size() * 2, '\0');
        continue;
      }
      if (in == before) return text;  // an invalid or incomplete sequence that was not skipped
    }
    // Shift sequence of stateful encodings.
    for (;;) {
      char* out = &output[used];
      size_t outLeft = output.size() - used;
      const size_t r = iconv(cd, nullptr, nullptr, &out, &outLeft);
      used = output.size() - outLeft;
      if (r != static_cast<size_t>(-1)) break;
      if (errno != E2BIG) return text;
      output.resize(output.size() * 2, '\0');
    }
    output.resize(used);
    const size_t zero = output.find('\0');
    if (zero != std::string::npos) output.resize(zero);
    return output;
  } catch (const std::bad_alloc&) {
    return text;
  }
}
