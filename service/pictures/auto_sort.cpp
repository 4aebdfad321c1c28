#include "service/pictures/auto_sort.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

#include "common/log.h"
#include "common/md5.h"
#include "common/os_layer.h"
#include "common/settings.h"
#include "common/share_paths.h"
#include "common/sqlite_wrapper.h"
#include "common/test_settings.h"
#include "platform/files.h"
#include "platform/unique_fd.h"
#include "service/pictures/exif.h"

namespace {

constexpr const char* kColName = "TidingName";
constexpr const char* kColStatus = "TidingStatus";
constexpr const char* kCreateSql =
    "create table AutoTiding(TidingName char(128), TidingStatus char(4));";
constexpr int kRenameTries = 8;
constexpr auto kExitPoll = std::chrono::milliseconds(100);

// Both descriptors' files have the same bytes (size, then MD5 of the whole file).
bool FullMd5(int fd, std::string& hex) {
  CMd5Hash md5;
  unsigned char buf[64 * 1024];
  off_t off = 0;
  for (;;) {
    const ssize_t r = pread(fd, buf, sizeof buf, off);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return false;
    if (r == 0) break;
    md5.Update(buf, static_cast<size_t>(r));
    off += r;
  }
  hex = md5.HexDigest();
  return true;
}

// A regular file of the folder, never through a link and never blocking on a FIFO.
int OpenRegularAt(int dirFd, const std::string& name, struct stat& st) {
  const int fd = ::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// The name in the folder still is the file that was opened (not a link or another file put
// there since).
bool StillNames(int dirFd, const std::string& name, const struct stat& opened) {
  struct stat now;
  return fstatat(dirFd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(now, opened);
}

// The opened source is an identical twin of the target: another regular file with the same
// size and the same full MD5.
bool IdenticalTwin(int srcFd, const struct stat& srcSt, int dateFd, const std::string& target) {
  struct stat tgtSt;
  UniqueFd tgt(OpenRegularAt(dateFd, target, tgtSt));
  if (tgt.fd < 0) return false;
  if (srcSt.st_dev == tgtSt.st_dev && srcSt.st_ino == tgtSt.st_ino) return false;
  if (srcSt.st_size != tgtSt.st_size) return false;
  std::string a, b;
  return FullMd5(srcFd, a) && FullMd5(tgt.fd, b) && a == b;
}

// A free name in the folder for `name`: "a.jpg" becomes "a.jpg.(0).jpg", "a.jpg.(1).jpg"...
std::string FreeNameAt(int dirFd, const std::string& name) {
  return FreeNumberedName(name, FreeNameSuffix(name), [dirFd](const std::string& candidate) {
    struct stat st;
    return fstatat(dirFd, candidate.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0;
  });
}

// The pictures folder, opened once for a pass: every name is taken beside this descriptor, so
// a folder of it swapped for a link leads nowhere else.
int OpenFolder(const std::string& folder) {
  char real[PATH_MAX];
  if (!realpath(folder.c_str(), real)) return -1;
  return ::open(real, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Moves the opened picture `name` of the folder into its date folder there. Both ends are
// folder descriptors, the date folder opened without following a link, so the picture never
// leaves the pictures folder whatever its names become meanwhile.
int SortOne(int picFd, const std::string& name, int srcFd, const struct stat& srcSt,
            const ExifRecord& record) {
  const std::string date = TidingDateFolder(record.dateTime);
  if (date.empty()) return -1;
  if (mkdirat(picFd, date.c_str(), 0755) != 0 && errno != EEXIST) return -1;
  // The date folder must be a real folder here, not a link to somewhere else.
  UniqueFd dateFd(::openat(picFd, date.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (dateFd.fd < 0) return -1;
  if (!StillNames(picFd, name, srcSt)) return -1;

  std::string target = name;
  for (int attempt = 0; attempt < kRenameTries; ++attempt) {
    if (Plat_RenameAtNoReplace(picFd, name, dateFd.fd, target) == 0) return 0;
    if (errno != EEXIST) return -1;
    if (attempt == 0 && IdenticalTwin(srcFd, srcSt, dateFd.fd, target)) {
      // The same bytes are already in place; only the source goes, and only if it is still
      // the file that was compared.
      if (!StillNames(picFd, name, srcSt)) return -1;
      return ::unlinkat(picFd, name.c_str(), 0) == 0 ? 0 : -1;
    }
    target = FreeNameAt(dateFd.fd, name);
  }
  return -1;
}

// A picture a phone may still be writing: changed lately, or not ending with FFD9.
bool StillBeingWritten(int fd, const struct stat& st) {
  const time_t now = std::time(nullptr);
  const long long age = static_cast<long long>(now) - static_cast<long long>(st.st_mtime);
  if (age > -kTidingSettleSeconds && age < kTidingSettleSeconds) return true;
  if (st.st_size < 4) return true;
  unsigned char tail[2];
  if (pread(fd, tail, sizeof tail, st.st_size - 2) != 2) return true;
  return !(tail[0] == 0xFF && tail[1] == 0xD9);
}

int SortFolder(int picFd, const std::vector<std::string>& names) {
  int moved = 0;
  for (const std::string& name : names) {
    if (g_ExitFlag.load()) break;
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
        Plat_IsHiddenName(name))
      continue;
    struct stat st;
    UniqueFd fd(OpenRegularAt(picFd, name, st));
    if (fd.fd < 0) continue;  // gone, a link, a FIFO or a folder
    if (StillBeingWritten(fd.fd, st)) continue;
    ExifRecord record;
    if (GetExifInfoFd(fd.fd, record) != 0) continue;
    if (SortOne(picFd, name, fd.fd, st, record) == 0) ++moved;
  }
  return moved;
}

// The names of the regular files of the opened folder, read from its descriptor.
std::vector<std::string> FileNamesOf(int dirFd) {
  std::vector<std::string> names;
  const int copy = fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return names;
  DIR* dir = fdopendir(copy);
  if (!dir) {
    ::close(copy);
    return names;
  }
  for (;;) {
    const struct dirent* e = readdir(dir);
    if (!e) break;
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
      names.push_back(name);
  }
  closedir(dir);
  return names;
}

bool Digits(const char* p, int n) {
  for (int i = 0; i < n; ++i) {
    if (p[i] < '0' || p[i] > '9') return false;
  }
  return true;
}

int Number(const char* p, int n) {
  int v = 0;
  for (int i = 0; i < n; ++i) v = v * 10 + (p[i] - '0');
  return v;
}

}  // namespace

int CreateAutoTidingTable() {
  try {
    RunWriteTransaction([] {
      CppSQLite3Buffer sql;
      const int count = g_DB.ExecScalar(
          sql.Format("select count(*) from sqlite_master where type='table' and name='%s'",
                     kTidingTable));
      if (count == 0) {
        // Making a missing table is routine (a new database), not an error: debug lines only.
        QV_LOG(kModClient, kLogDebug, "CreateAutoTidingTable function error:1111%s.", kCreateSql);
        g_DB.ExecDML(kCreateSql);
        QV_LOG(kModClient, kLogDebug, "CreateAutoTidingTable function error:2222%s.", kCreateSql);
        CppSQLite3Buffer insert;
        g_DB.ExecDML(insert.Format("insert into %s(%s,%s) values('%s','%s')", kTidingTable,
                                   kColName, kColStatus, kTidingByDate, "0"));
      }
    });
    return 0;
  } catch (const CppSQLite3Exception& e) {
    QV_LOG(kModClient, kLogInfo, "CreateAutoTidingTable function error:%s.", e.ErrorMessage());
    return -1;
  }
}

int GetTidingStatusByType(const std::string& name, std::string& status) {
  if (CreateAutoTidingTable() != 0) return -1;
  try {
    std::string found = "0";
    RunWriteTransaction([&] {
      // Quoted by SQLite, so no name can change the statement.
      CppSQLite3Buffer sql;
      CppSQLite3Query q = g_DB.ExecQuery(
          sql.Format("select * from %s where %s = %Q", kTidingTable, kColName, name.c_str()));
      if (!q.Eof()) found = q.GetStringField(kColStatus);
    });
    status = found;
    return 0;
  } catch (const CppSQLite3Exception& e) {
    QV_LOG(kModClient, kLogInfo, "GetTidingStatusByType function error:%s.", e.ErrorMessage());
    return -1;
  }
}

int SetTidingStatusByType(const std::string& name, const std::string& status) {
  if (CreateAutoTidingTable() != 0) return -1;
  try {
    RunWriteTransaction([&] {
      CppSQLite3Buffer sql;
      g_DB.ExecDML(sql.Format("update %s set %s = %Q where %s = %Q", kTidingTable, kColStatus,
                              status.c_str(), kColName, name.c_str()));
    });
    return 0;
  } catch (const CppSQLite3Exception& e) {
    QV_LOG(kModClient, kLogInfo, "SetTidingStatusByType function error:%s.", e.ErrorMessage());
    return -1;
  }
}

std::string TidingDateFolder(const char* dt) {
  // Exactly "YYYY:MM:DD", then the end or a blank: no slashes, no "..", no blank dates.
  if (!dt || std::strlen(dt) < 10) return "";
  if (!Digits(dt, 4) || dt[4] != ':' || !Digits(dt + 5, 2) || dt[7] != ':' || !Digits(dt + 8, 2))
    return "";
  if (dt[10] != '\0' && dt[10] != ' ') return "";
  const int year = Number(dt, 4), month = Number(dt + 5, 2), day = Number(dt + 8, 2);
  static const int kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || month < 1 || month > 12 || day < 1 || day > kDays[month - 1]) return "";
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (month == 2 && day == 29 && !leap) return "";
  std::string folder(dt, 10);
  folder[4] = '-';
  folder[7] = '-';
  return folder;
}

int TidingFileByDate(const std::string& picPath, const ExifRecord& record) {
  const size_t slash = picPath.rfind('/');
  if (slash == std::string::npos || slash + 1 >= picPath.size()) return -1;
  const std::string name = picPath.substr(slash + 1);
  UniqueFd picFd(OpenFolder(slash == 0 ? "/" : picPath.substr(0, slash)));
  if (picFd.fd < 0) return -1;
  struct stat st;
  UniqueFd fd(OpenRegularAt(picFd.fd, name, st));
  if (fd.fd < 0) return -1;
  return SortOne(picFd.fd, name, fd.fd, st, record);
}

int TidingFileList(const std::string& folder, const std::vector<std::string>& names) {
  UniqueFd picFd(OpenFolder(folder));
  if (picFd.fd < 0) return 0;
  return SortFolder(picFd.fd, names);
}

int AutoTiding_RunOnce() {
  std::string status;
  if (GetTidingStatusByType(kTidingByDate, status) != 0) return -1;
  if (status != "1") return 0;
  DefShareInfo dirs;
  GetDefShareInfo(dirs);
  const std::string pictures = FixedField(dirs.pic, sizeof dirs.pic);
  if (pictures.empty()) return 0;
  UniqueFd picFd(OpenFolder(pictures));
  if (picFd.fd < 0) return 0;
  return SortFolder(picFd.fd, FileNamesOf(picFd.fd));
}

int Tiding_PeriodSeconds() {
  long v = 0;
  if (Service_TestSetting("tiding_seconds", v) && v >= 1 && v <= 86400) return static_cast<int>(v);
  return kTidingPeriodSeconds;
}

int StartAutoTiding(void* /*unused*/) {
  if (CreateAutoTidingTable() != 0) return -1;
  const auto period = std::chrono::seconds(Tiding_PeriodSeconds());
  while (!g_ExitFlag.load()) {
    if (AutoTiding_RunOnce() < 0) return -1;
    // A stop is noticed within one poll, not after the whole period.
    const auto until = std::chrono::steady_clock::now() + period;
    while (!g_ExitFlag.load() && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(kExitPoll);
    }
  }
  return 0;
}
