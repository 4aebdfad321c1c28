#include "service/transfers/upload.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <vector>

#include <udt/udt.h>

#include "common/log.h"
#include "common/md5.h"
#include "common/os_layer.h"
#include "common/proto_transfer.h"
#include "common/share_paths.h"
#include "common/sockets.h"
#include "common/wire.h"
#include "platform/files.h"
#include "platform/sync.h"
#include "service/core/deferred_reply.h"
#include "service/transfers/download.h"
#include "service/core/ordered_worker.h"
#include "service/core/pool_request.h"
#include "service/core/request_args.h"
#include "service/service_globals.h"
#include "service/transfers/transfer_sessions.h"

namespace {

constexpr size_t kDataSkip = kTransHeaderSize - kCommandHeaderSize;  // the header's three u32
constexpr size_t kSideFileSize = 288;
constexpr size_t kSidePathWidth = 255;
constexpr size_t kSideHexWidth = 33;
constexpr size_t kMaxTargetLength = kSidePathWidth - 1;  // the side file must hold it whole
constexpr mode_t kFileMode = 0644;
constexpr int kDefaultEmptyCode = 0;

// Data of uploads over command connections is written by the upload writer, in the order it
// came, so a slow disk never holds up an event thread. A connection whose queued data passes
// the high mark is held (its later messages wait, unread, in the socket) until the writer has
// brought it below the low mark.
constexpr size_t kQueuedHigh = 4 * 1024 * 1024;
constexpr size_t kQueuedLow = 1024 * 1024;

std::atomic<size_t> g_peakQueued{0};

COrderedWorker& UploadWriter() {
  static COrderedWorker* writer = new COrderedWorker("upload writer");
  return *writer;
}

// The upload's folder, opened beneath its share once the share check passed: every file of the
// upload (temporary, side file, target) is made, read, renamed and removed beside this
// descriptor, never by a name that a swapped link could lead elsewhere.
using FolderRef = std::shared_ptr<const UniqueFd>;

// What the writer needs of one upload, shared with its queued pieces: they may run after the
// upload's entry (and its own file) closed.
struct UploadPipe {
  UniqueFd fd;  // a duplicate of the temporary file's descriptor, so it never names another file
  std::string tmpPath;
  std::string target;
  FolderRef folder;
  std::mutex mutex;
  size_t queued = 0;        // bytes handed to the writer and not yet written
  uint64_t holdToken = 0;   // the held connection, released below the low mark
  // The writer's own: the length of the temporary file known good, and whether a write failed
  // (then nothing more is appended: a resume goes on from what is there).
  uint64_t landed = 0;
  bool failed = false;
};

// What the map's entry cannot hold: the announced size, how much of the temporary file is
// known good, and whether a write failed. Kept under g_MutexTransMap beside the entry of the
// same id, and believed only while that entry still holds the same file.
struct UploadState {
  FILE* file = nullptr;
  std::string tmpPath;
  FolderRef folder;
  uint32_t announced = 0;
  uint64_t serial = 0;          // tells this upload from a later one under the same id
  std::shared_ptr<UploadPipe> pipe;  // set with the first data queued for the writer
  uint64_t accepted = 0;        // bytes taken in: written, or queued for the writer
  uint64_t goodLength = 0;      // bytes of the temporary file that really landed
  bool writeFailed = false;     // the file takes no more data
  bool overrun = false;         // data beyond the announced size came and was refused
  bool alreadyPresent = false;  // the target already holds this content; nothing to publish
};
std::map<uint32_t, UploadState> g_uploads;
uint64_t g_nextSerial = 1;  // under g_MutexTransMap
// Uploads whose end message came and whose publishing waits on the writer: target and
// temporary path by session id. Under g_MutexTransMap.
std::multimap<uint32_t, std::pair<std::string, std::string>> g_ending;

// Serialises the upload decisions (which temporary and side files to make, keep or delete)
// with the removals at an upload's end, so two phones never act on each other's files. Taken
// before g_MutexTransMap, never after it. Immortal, like the service's other mutexes.
std::mutex& DecisionMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

std::string NameOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool Exists(const std::string& path) { return Plat_PathExists(path); }

// The name `path` has in its folder, looked at beside the folder's descriptor.
bool ExistsAt(int dirFd, const std::string& path) {
  struct stat st;
  return fstatat(dirFd, NameOf(path).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

void RemoveAt(int dirFd, const std::string& path) { ::unlinkat(dirFd, NameOf(path).c_str(), 0); }

// 0 and the size of a regular file of the folder, or -1.
int FileSizeAt(int dirFd, const std::string& path, uint64_t& size) {
  struct stat st;
  size = 0;
  if (fstatat(dirFd, NameOf(path).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
    return -1;
  size = static_cast<uint64_t>(st.st_size);
  return 0;
}

int OpenAt(int dirFd, const std::string& path, int flags, mode_t mode = 0) {
  return ::openat(dirFd, NameOf(path).c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
}

int Refuse(uint32_t sessionId, uint16_t code, char** reply, int* replyLen, int result) {
  if (!WriteTransErrorReply(kOpUploadRefused, sessionId, code, reply, replyLen)) return kErrAllocate;
  return result;
}

// The target with its folder in canonical form; the name itself is kept as given so that a
// link of that name is never written through. "" when it cannot name a file.
std::string ResolveTarget(const std::string& path) {
  const std::string name = NameOf(path);
  if (name.empty() || name == "." || name == "..") return "";
  const std::string parent = CanonicalPath(ParentOf(path));
  if (parent.empty()) return "";
  return parent == "/" ? parent + name : parent + "/" + name;
}

std::string NearestExisting(std::string path) {
  while (!Exists(path) && path != "/" && !path.empty()) path = ParentOf(path);
  return path;
}

bool WriteSideFile(int dirFd, const std::string& side, const std::string& target,
                   const std::string& hex) {
  uint8_t record[kSideFileSize];
  wire::PutFixedText(record, kSidePathWidth, target);
  wire::PutFixedText(record + kSidePathWidth, kSideHexWidth, hex);
  UniqueFd f;
  f.fd = OpenAt(dirFd, side, O_WRONLY | O_CREAT | O_EXCL, kFileMode);
  if (f.fd < 0) return false;
  return ::write(f.fd, record, sizeof record) == static_cast<ssize_t>(sizeof record);
}

bool SideFileMatches(int dirFd, const std::string& side, const std::string& target,
                     const std::string& hex) {
  UniqueFd f;
  f.fd = OpenAt(dirFd, side, O_RDONLY | O_NONBLOCK);
  if (f.fd < 0) return false;
  struct stat st;
  if (fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  uint8_t record[kSideFileSize];
  size_t got = 0;
  while (got < sizeof record) {
    const ssize_t r = ::read(f.fd, record + got, sizeof record - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  if (got < sizeof record) return false;
  return wire::GetFixedText(record, kSidePathWidth) == target &&
         wire::GetFixedText(record + kSidePathWidth, kSideHexWidth) == hex;
}

// Whether the target already is a regular file of this size and fingerprint. Opened once,
// never through a link and never blocking on a FIFO; the descriptor is what is hashed.
bool TargetHolds(int dirFd, const std::string& target, uint32_t size, const std::string& hex) {
  UniqueFd f(OpenAt(dirFd, target, O_RDONLY | O_NONBLOCK));
  if (f.fd < 0) return false;
  struct stat st;
  if (fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (static_cast<uint64_t>(st.st_size) != size) return false;
  unsigned char digest[16];
  if (!QuickFingerprintOf(f.fd, size, digest)) return false;
  return CMd5Hash::BytesToHex(digest, sizeof digest) == hex;
}

// Opens the temporary file for appending; never through a link, only a regular file.
FILE* OpenTemporary(int dirFd, const std::string& path, uint64_t& length) {
  const int fd = OpenAt(dirFd, path, O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK, kFileMode);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  FILE* f = fdopen(fd, "ab");
  if (!f) {
    ::close(fd);
    return nullptr;
  }
  length = static_cast<uint64_t>(st.st_size);
  return f;
}

// A temporary name of our own beside the target that no file and no open upload has. The
// side-file suffix stays at the end, so such a file is hidden and cleaned like any other.
std::string UniqueTemporaryName(int dirFd, const std::string& target,
                                const std::set<std::string>& held) {
  auto free = [&](const std::string& candidate) {
    return !ExistsAt(dirFd, candidate) && held.count(candidate) == 0;
  };
  const std::string plain = target + kRenameSuffix;
  if (free(plain)) return plain;
  return FreeNumberedName(target, kRenameSuffix, free);
}

// Whether the road an entry came by is gone: a UDT socket that broke before its receive task
// noticed. A command connection that closed has taken its entries with it already.
bool RouteGone(const TransferEntry& entry) {
  if (entry.udtSock == -1) return false;
  const UDTSTATUS status = UDT::getsockstate(entry.udtSock);
  return status == BROKEN || status == CLOSED || status == NONEXIST;
}

// Whether another open upload still works on files of this target. Under g_MutexTransMap.
bool TargetBusyLocked(const std::string& target, uint32_t exceptId) {
  const std::string tmp = target + kRenameSuffix;
  const std::string side = target + kRenameTmpSuffix;
  for (const auto& kv : g_TransMap) {
    if (kv.first == exceptId || kv.second.tmpPath.empty()) continue;
    const TransferEntry& e = kv.second;
    if (e.targetPath == target || e.tmpPath == tmp || e.tmpPath == side) return true;
  }
  for (const auto& kv : g_ending) {
    if (kv.first == exceptId) continue;
    const auto& e = kv.second;
    if (e.first == target || e.second == tmp || e.second == side) return true;
  }
  return false;
}

// Stops an upload whose write failed from taking more data and cuts its file back to what
// really landed, so a resume continues from bytes that are there. Under g_MutexTransMap.
void CutBack(int fd, uint64_t length, const std::string& tmpPath, const std::string& target,
             const FolderRef& folder) {
  if (ftruncate(fd, static_cast<off_t>(length)) != 0) {
    // Its length cannot be trusted: without the side file no resume believes it.
    if (folder) RemoveAt(folder->fd, target + kRenameTmpSuffix);
    QV_LOG(kModIntranet, kLogError, "cut file %s back error: %s.", tmpPath.c_str(),
           std::strerror(errno));
  }
}

void FailUploadLocked(UploadState& state, const std::string& tmpPath, const std::string& target) {
  state.writeFailed = true;
  CutBack(state.pipe ? state.pipe->fd.fd : fileno(state.file), state.goodLength, tmpPath, target,
          state.folder);
}

}  // namespace

// The resume decision of one upload request: whether the target already holds the content,
// or the temporary file beside it holds the start of this same upload.
struct UploadResumeInfo {
  uint32_t size = 0;
  uint8_t fingerprint[kFingerprintSize] = {};
  std::string target;
  std::string tmpPath;
  std::string sidePath;
  std::string hex;          // the fingerprint as 32 lower-case hex digits
  bool newSideFile = false;
  bool resuming = false;
  bool present = false;     // the target already is this file
  int dirFd = -1;           // the target's folder (borrowed)

  void Init(uint32_t fileSize, const uint8_t digest[kFingerprintSize], const std::string& path);
  uint32_t GetAllowSendSize();
  bool ReadSideFile() const;
  bool CheckTargetFile();
};

void UploadResumeInfo::Init(uint32_t fileSize, const uint8_t digest[kFingerprintSize],
                            const std::string& path) {
  size = fileSize;
  std::memcpy(fingerprint, digest, kFingerprintSize);
  target = path;
  tmpPath = target + kRenameSuffix;
  sidePath = target + kRenameTmpSuffix;
  hex = CMd5Hash::BytesToHex(fingerprint, kFingerprintSize);
  QV_LOG(kModIntranet, kLogDebug, "===File:%s,crc:%s===", tmpPath.c_str(), hex.c_str());
  if (!ExistsAt(dirFd, sidePath)) {
    newSideFile = WriteSideFile(dirFd, sidePath, target, hex);
  }
}

bool UploadResumeInfo::CheckTargetFile() {
  if (!TargetHolds(dirFd, target, size, hex)) return false;
  present = resuming = true;
  RemoveAt(dirFd, sidePath);
  return true;
}

bool UploadResumeInfo::ReadSideFile() const {
  return SideFileMatches(dirFd, sidePath, target, hex);
}

// The number of bytes the PC already holds: the whole size when the target is this file, the
// temporary file's length when it holds the start of this upload, else 0.
uint32_t UploadResumeInfo::GetAllowSendSize() {
  if (CheckTargetFile()) return size;
  if (newSideFile || !ReadSideFile()) return 0;
  resuming = true;
  uint64_t held = 0;
  if (FileSizeAt(dirFd, tmpPath, held) != 0 || held > size) return 0;
  return static_cast<uint32_t>(held);
}

namespace {

// Drops records whose entry went away by another road (a dropped connection, a replacement).
void PruneStatesLocked() {
  for (auto it = g_uploads.begin(); it != g_uploads.end();) {
    auto entry = g_TransMap.find(it->first);
    const bool live = entry != g_TransMap.end() && entry->second.file == it->second.file &&
                      entry->second.tmpPath == it->second.tmpPath;
    it = live ? std::next(it) : g_uploads.erase(it);
  }
}

}  // namespace

namespace {

// Publishes the temporary file `tmpName` of the folder as `name` there, or under the first
// free ".(n)" name; the name published, or "" with errno.
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

std::string InFolder(const std::string& folder, const std::string& name) {
  return folder == "/" ? folder + name : folder + "/" + name;
}

}  // namespace

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


static int ReqUpLoadFileNow(const char* body, const CommandHeader* header, bufferevent* conn,
                  char** reply, int* replyLen, int* udtSock, char* direct) {
  // A temporary file is judged (resumed from its length) only once the data queued for it has
  // landed.
  UploadWriter().Drain();
  if (!body) {
    QV_LOG(kModUser, kLogError, "Input msg buffer pointer is null.");
    return kErrNoBody;
  }
  const uint32_t sessionId = header->param;
  const int udt = UdtOf(udtSock);
  const size_t base = ViaRelay(udt, DirectOf(direct)) ? kRelayBodyOffset : 0;
  // A relay upload's data is fetched from the server's cache without a connection: its entry
  // carries none, so fetched data matches relay entries only.
  if (base != 0) conn = nullptr;
  const wire::Reader in(reinterpret_cast<const uint8_t*>(body), HandlerBodyLength(header, base != 0));
  if (!in.Has(base, kUploadRequestSize)) {
    QV_LOG_REFUSAL(PeerKeyOf(conn, udt), kModIntranet, kLogError,
                   "Upload request of %zu bytes is too short.", in.Size());
    return Refuse(sessionId, kErrTransOther, reply, replyLen, kErrNoBody);
  }
  if (Trans_HeldByOther(sessionId, conn, udt)) {
    QV_LOG_REFUSAL(PeerKeyOf(conn, udt), kModIntranet, kLogError,
                   "Session id %u is held by another connection.", sessionId);
    return Refuse(sessionId, kErrTransOther, reply, replyLen, -1);
  }
  uint32_t size = 0;
  uint8_t fingerprint[kFingerprintSize];
  in.U32(base, size);
  in.Bytes(base + kUploadFingerprintOffset, kFingerprintSize, fingerprint);
  std::string path;
  switch (ReadRequestPath(in, base + kUploadPathOffset, kUploadPathWidth, "Upload", conn, udt,
                          path)) {
    case RequestPath::kNoEnd:
      return Refuse(sessionId, kErrNotShared, reply, replyLen, kErrNotShared);
    case RequestPath::kDefaultEmpty:
      return Refuse(sessionId, kDefaultEmptyCode, reply, replyLen, kErrDefaultEmpty);
    case RequestPath::kRead:
      break;
  }
  QV_LOG(kModIntranet, kLogDebug, "upload file :%s", path.c_str());

  const std::string target = ResolveTarget(path);
  if (target.empty()) {
    QV_LOG_REFUSAL(PeerKeyOf(conn, udt), kModIntranet, kLogError,
                   "Filer %s not in share list", path.c_str());
    return Refuse(sessionId, kErrNotShared, reply, replyLen, kErrNotShared);
  }
  if (target.size() > kMaxTargetLength) {
    QV_LOG_REFUSAL(PeerKeyOf(conn, udt), kModIntranet, kLogError,
                   "upload path %s too long.", target.c_str());
    return Refuse(sessionId, kErrTransOther, reply, replyLen, -1);
  }
  const std::string folder = ParentOf(target);

  // The share decides before any folder is made: a refused path leaves nothing behind.
  int code = CheckSharePath(NearestExisting(folder));
  if (code != 0) {
    QV_LOG_REFUSAL(PeerKeyOf(conn, udt), kModIntranet, kLogError,
                   "Filer %s not in share list", target.c_str());
    return Refuse(sessionId, static_cast<uint16_t>(code), reply, replyLen, code);
  }
  // The folder is made and opened beneath its share, one component at a time and never
  // through a link; every file of the upload is then taken beside this descriptor.
  const int folderFd = MakeSharedFolder(folder);
  if (folderFd < 0) {
    if (errno == EACCES) {
      QV_LOG_REFUSAL(PeerKeyOf(conn, udt), kModIntranet, kLogError,
                     "Filer %s not in share list", target.c_str());
      return Refuse(sessionId, kErrNotShared, reply, replyLen, kErrNotShared);
    }
    QV_LOG(kModIntranet, kLogError, "creat filer %s error.", folder.c_str());
    code = -1;
    return Refuse(sessionId, static_cast<uint16_t>(code), reply, replyLen, code);
  }
  const FolderRef dir = std::make_shared<const UniqueFd>(folderFd);
  QV_LOG(kModIntranet, kLogDebug, "check dir:%s", folder.c_str());
  code = CheckSharePath(folder);
  if (code != 0) {
    QV_LOG_REFUSAL(PeerKeyOf(conn, udt), kModIntranet, kLogError,
                   "Filer %s not in share list", target.c_str());
    return Refuse(sessionId, static_cast<uint16_t>(code), reply, replyLen, code);
  }
  if (!Trans_RoomFor(sessionId, conn, udt)) {
    QV_LOG_REFUSAL(PeerKeyOf(conn, udt), kModIntranet, kLogError,
                   "Too many open transfers; upload of %s refused.",
           target.c_str());
    return Refuse(sessionId, kErrTransOther, reply, replyLen, -1);
  }
  uint32_t freeKB = 0;
  if (OS_GetDiskFreeKB(folder, freeKB) != 0 || freeKB <= (size >> 10)) {
    QV_LOG(kModIntranet, kLogError, "not have enough size for save file %s.", target.c_str());
    return Refuse(sessionId, kErrTransOther, reply, replyLen, -1);
  }

  const std::string digest(reinterpret_cast<const char*>(fingerprint), kFingerprintSize);
  std::lock_guard<std::mutex> decision(DecisionMutex());

  // The same upload announced again by a phone whose old road is gone (or on the same road)
  // takes over its older entry. Any other upload of the same content runs beside it.
  TransferEntry stale;
  bool haveStale = false;
  bool busy = false;
  std::set<std::string> heldTmps;
  {
    CMutexLock lock(g_MutexTransMap);
    for (auto it = g_TransMap.begin(); it != g_TransMap.end(); ++it) {
      const TransferEntry& e = it->second;
      if (e.digest != digest || e.targetPath != target || it->first == sessionId) continue;
      auto st = g_uploads.find(it->first);
      const bool sameSize = st != g_uploads.end() && st->second.announced == size;
      const bool sameRoad = e.conn == conn && e.udtSock == udt;
      if (!sameSize || !(sameRoad || RouteGone(e))) continue;
      stale = std::move(it->second);
      g_uploads.erase(it->first);
      g_TransMap.erase(it);
      haveStale = true;
      break;
    }
    busy = TargetBusyLocked(target, sessionId);
    for (const auto& kv : g_TransMap) {
      if (!kv.second.tmpPath.empty()) heldTmps.insert(kv.second.tmpPath);
    }
    for (const auto& kv : g_ending) heldTmps.insert(kv.second.second);
  }
  if (haveStale) {
    QV_LOG(kModCommLib, kLogDebug, "close file trans, file %s", stale.targetPath.c_str());
    if (stale.file) std::fclose(stale.file);
  }

  // Resume decision. While another open upload works on this target, its temporary and side
  // files are left alone: this one gets a temporary file of its own and no resume.
  UploadResumeInfo info;
  uint32_t allowed = 0;
  if (busy) {
    info.size = size;
    std::memcpy(info.fingerprint, fingerprint, kFingerprintSize);
    info.target = target;
    info.sidePath = target + kRenameTmpSuffix;
    info.hex = CMd5Hash::BytesToHex(fingerprint, kFingerprintSize);
    info.dirFd = dir->fd;
    info.present = TargetHolds(dir->fd, target, size, info.hex);
    allowed = info.present ? size : 0;
    info.tmpPath = UniqueTemporaryName(dir->fd, target, heldTmps);
  } else {
    info.dirFd = dir->fd;
    info.Init(size, fingerprint, target);
    allowed = info.GetAllowSendSize();
    if (!ExistsAt(dir->fd, info.sidePath)) RemoveAt(dir->fd, info.tmpPath);
    if (!info.resuming) info.tmpPath = UniqueTemporaryName(dir->fd, target, heldTmps);
  }

  FILE* file = nullptr;
  uint64_t held = 0;
  if (!info.present) {
    file = OpenTemporary(dir->fd, info.tmpPath, held);
    if (!file) {
      QV_LOG(kModIntranet, kLogError, "open file %s error.", info.tmpPath.c_str());
      if (info.newSideFile) RemoveAt(dir->fd, info.sidePath);  // nothing of this upload stays
      return Refuse(sessionId, kErrTransOther, reply, replyLen, -1);
    }
    if (held != allowed) {
      // Not this upload's data (more than the whole file, or no resume): start again.
      if (ftruncate(fileno(file), 0) != 0) {
        QV_LOG(kModIntranet, kLogError, "open file %s error.", info.tmpPath.c_str());
        std::fclose(file);
        if (info.newSideFile) RemoveAt(dir->fd, info.sidePath);
        return Refuse(sessionId, kErrTransOther, reply, replyLen, -1);
      }
      allowed = 0;
      held = 0;
    }
  }
  QV_LOG(kModIntranet, kLogDebug, "===File allow send size:%d, session id %u===\n",
         static_cast<int>(allowed), sessionId);

  const Bytes bytes = EncodeUploadAllow(sessionId, allowed);
  char* out = new (std::nothrow) char[bytes.size()];
  if (!out) {
    if (file) std::fclose(file);
    return kErrAllocate;
  }
  std::memcpy(out, bytes.data(), bytes.size());

  TransferEntry entry;
  entry.conn = conn;
  entry.udtSock = udt;
  entry.file = file;
  entry.tmpPath = info.present ? std::string(target + kRenameSuffix) : info.tmpPath;
  entry.targetPath = target;
  entry.digest = digest;
  {
    CMutexLock lock(g_MutexTransMap);
    Trans_Add(sessionId, entry);
    UploadState state;
    state.file = file;
    state.tmpPath = entry.tmpPath;
    state.folder = dir;
    state.announced = size;
    state.serial = g_nextSerial++;
    state.accepted = held;
    state.goodLength = held;
    state.alreadyPresent = info.present;
    g_uploads[sessionId] = state;
    PruneStatesLocked();
  }
  QV_LOG(kModIntranet, kLogDebug, "===ReqUpLoadFile session id %u===\n", sessionId);
  *reply = out;
  *replyLen = static_cast<int>(bytes.size());
  return 0;
}

int ReqUpLoadFile(const char* body, const CommandHeader* header, bufferevent* conn, char** reply,
                 int* replyLen, int* udtSock, char* direct) {
  // Folders, the free-space query, hashing a target already there and the temporary files
  // touch the disk: worked on a pool task when the request came in on an event thread.
  if (PoolRequest_Post(ReqUpLoadFileNow, body, header, conn, udtSock, direct)) return 0;
  return ReqUpLoadFileNow(body, header, conn, reply, replyLen, udtSock, direct);
}

namespace {

// What both upload messages (data and end) check first; false with the handler's result when
// it goes no further. Data and end messages of relay uploads are fetched and dispatched as
// direct ones by the relay upload task: arriving on the relay connection itself they are not
// ours.
bool UploadMessageTaken(const char* body, int udt, char direct, int& result) {
  result = 0;
  if (ViaRelay(udt, direct)) return false;
  if (!body) {
    QV_LOG(kModUser, kLogError, "Input msg buffer pointer is null.");
    result = kErrNoBody;
    return false;
  }
  return true;
}

// Whether data of a command connection goes to the writer; else (UDT, relay fetches, tests
// without a connection) it is written on the thread that got it, which is no event thread.
bool Queued(bufferevent* conn, int udt, char direct) { return conn && udt == -1 && direct != 0; }

// On the writer: one data message of the upload `serial`. It lands even when the upload's
// entry closed meanwhile (a resume waits for the writer, then goes on from the file's length),
// never after a failed write.
void WriteQueued(uint32_t sessionId, uint64_t serial, const std::shared_ptr<UploadPipe>& pipe,
                 const std::vector<char>& data) {
  if (!pipe->failed) {
    // Written outside the map's mutex: the event threads take it for every message.
    const bool ok = Plat_WriteAll(pipe->fd.fd, data.data(), data.size());
    const int error = errno;
    if (ok) {
      pipe->landed += data.size();
    } else {
      pipe->failed = true;
    }
    CMutexLock lock(g_MutexTransMap);
    auto st = g_uploads.find(sessionId);
    UploadState* up = st != g_uploads.end() && st->second.serial == serial ? &st->second : nullptr;
    if (up) up->goodLength = pipe->landed;
    if (!ok) {
      QV_LOG(kModIntranet, kLogError, "write file %s error: %s.", pipe->tmpPath.c_str(),
             std::strerror(error));
      if (up) {
        FailUploadLocked(*up, pipe->tmpPath, pipe->target);
      } else {
        CutBack(pipe->fd.fd, pipe->landed, pipe->tmpPath, pipe->target, pipe->folder);
      }
    }
  }
  uint64_t release = 0;
  {
    std::lock_guard<std::mutex> lock(pipe->mutex);
    pipe->queued -= data.size();
    if (pipe->holdToken != 0 && pipe->queued <= kQueuedLow) std::swap(release, pipe->holdToken);
  }
  if (release != 0) DeferredReply_Finish(release, {});
}

}  // namespace

int UpLoadFile(const char* body, const CommandHeader* header, bufferevent* conn,
               char** /*reply*/, int* /*replyLen*/, int* udtSock, char* direct) {
  const int udt = UdtOf(udtSock);
  int result = 0;
  if (!UploadMessageTaken(body, udt, DirectOf(direct), result)) return result;
  const size_t bodyLen = HandlerBodyLength(header, false);
  if (bodyLen < kDataSkip) {
    QV_LOG_REFUSAL(PeerKeyOf(conn, udt), kModIntranet, kLogError,
                   "Upload data of %zu bytes is too short.", bodyLen);
    return 0;
  }
  const uint32_t sessionId = header->param;
  const char* data = body + kDataSkip;
  const size_t n = bodyLen - kDataSkip;

  std::shared_ptr<UploadPipe> pipe;
  uint64_t serial = 0;
  {
    // Under the map's mutex, so no other thread closes the file while it is written.
    CMutexLock lock(g_MutexTransMap);
    auto it = g_TransMap.find(sessionId);
    if (it == g_TransMap.end() || !it->second.file) return 0;
    if (it->second.conn != conn || it->second.udtSock != udt) return 0;  // another phone's id
    if (n == 0) return 0;
    auto state = g_uploads.find(sessionId);
    if (state == g_uploads.end() || state->second.file != it->second.file) return 0;
    UploadState& up = state->second;
    if (up.writeFailed || up.overrun) return 0;
    if (up.accepted + n > up.announced) {
      // Never more than was announced: a share's disk is not filled by a 1-byte upload.
      up.overrun = true;
      QV_LOG(kModIntranet, kLogError, "upload data past the %u announced bytes of %s refused.",
             static_cast<unsigned>(up.announced), it->second.targetPath.c_str());
      return 0;
    }
    if (Queued(conn, udt, DirectOf(direct)) && !up.pipe) {
      auto made = std::make_shared<UploadPipe>();
      made->fd.fd = fcntl(fileno(it->second.file), F_DUPFD_CLOEXEC, 0);
      made->tmpPath = it->second.tmpPath;
      made->target = it->second.targetPath;
      made->folder = up.folder;
      made->landed = up.goodLength;
      if (made->fd.fd >= 0) up.pipe = std::move(made);
    }
    it->second.started = true;
    if (!up.pipe) {
      if (Plat_WriteAll(fileno(it->second.file), data, n)) {
        up.accepted += n;
        up.goodLength += n;
        return 0;
      }
      QV_LOG(kModIntranet, kLogError, "write file %s error: %s.", it->second.tmpPath.c_str(),
             std::strerror(errno));
      FailUploadLocked(up, it->second.tmpPath, it->second.targetPath);
      return 0;
    }
    up.accepted += n;
    pipe = up.pipe;
    serial = up.serial;
  }

  bool hold = false;
  {
    std::lock_guard<std::mutex> lock(pipe->mutex);
    pipe->queued += n;
    hold = pipe->queued > kQueuedHigh && pipe->holdToken == 0;
    size_t seen = g_peakQueued.load();
    while (pipe->queued > seen && !g_peakQueued.compare_exchange_weak(seen, pipe->queued)) {
    }
  }
  std::vector<char> bytes(data, data + n);
  if (!UploadWriter().Post([sessionId, serial, pipe, bytes] {
        WriteQueued(sessionId, serial, pipe, bytes);
      })) {
    CMutexLock lock(g_MutexTransMap);
    auto st = g_uploads.find(sessionId);
    if (st != g_uploads.end() && st->second.serial == serial) st->second.writeFailed = true;
    return 0;
  }
  if (hold) {
    // The disk is slower than the phone: its next messages wait in the socket.
    const uint64_t token = DeferredReply_BeginFor(conn, udt, DirectOf(direct));
    bool releaseNow = false;
    {
      std::lock_guard<std::mutex> lock(pipe->mutex);
      if (pipe->queued > kQueuedLow && pipe->holdToken == 0) {
        pipe->holdToken = token;
      } else {
        releaseNow = true;
      }
    }
    if (releaseNow && token != 0) DeferredReply_Finish(token, {});
  }
  return 0;
}

namespace {

// An upload taken out of the map by its end message, to be published (or kept for a resume).
struct EndingUpload {
  uint32_t sessionId = 0;
  TransferEntry entry;
  UploadState state;
  bool haveState = false;
  bool recorded = false;  // listed in g_ending until it is done
};

// Takes the upload out of the map. Under g_MutexTransMap.
bool TakeUploadLocked(uint32_t sessionId, bufferevent* conn, int udt, EndingUpload& out) {
  auto it = g_TransMap.find(sessionId);
  if (it == g_TransMap.end() || it->second.tmpPath.empty() || it->second.conn != conn ||
      it->second.udtSock != udt) {
    QV_LOG(kModIntranet, kLogDebug, "===over upload session id %u not in map.....===\n",
           sessionId);
    return false;
  }
  out.sessionId = sessionId;
  out.entry = std::move(it->second);
  g_TransMap.erase(it);
  auto s = g_uploads.find(sessionId);
  if (s != g_uploads.end()) {
    out.haveState = s->second.file == out.entry.file && s->second.tmpPath == out.entry.tmpPath;
    out.state = s->second;
    g_uploads.erase(s);
  }
  return true;
}

// Publishes an ended upload. Under the decision mutex, not the map's.
void FinishUpload(uint8_t status, EndingUpload& ending) {
  const uint32_t sessionId = ending.sessionId;
  TransferEntry& entry = ending.entry;
  const UploadState& state = ending.state;
  const bool haveState = ending.haveState;
  bool targetBusy = false;
  {
    CMutexLock lock(g_MutexTransMap);
    if (ending.recorded) {
      auto range = g_ending.equal_range(sessionId);
      for (auto it = range.first; it != range.second; ++it) {
        if (it->second.first == entry.targetPath && it->second.second == entry.tmpPath) {
          g_ending.erase(it);
          break;
        }
      }
    }
    targetBusy = TargetBusyLocked(entry.targetPath, sessionId);
  }

  bool failed = haveState && (state.writeFailed || state.overrun);
  uint64_t received = 0;
  if (entry.file) {
    struct stat st;
    if (std::fflush(entry.file) != 0) failed = true;
    if (fstat(fileno(entry.file), &st) == 0) received = static_cast<uint64_t>(st.st_size);
    if (std::fclose(entry.file) != 0) failed = true;
  }

  // Files are only touched beside the upload's own folder descriptor; without it (an entry
  // whose record went away) they stay, hidden, for the start-up cleaning.
  const int dirFd = haveState && state.folder ? state.folder->fd : -1;
  // Another phone's upload of the same target keeps its side file.
  auto cleanSide = [&] {
    if (!targetBusy && dirFd >= 0) RemoveAt(dirFd, entry.targetPath + kRenameTmpSuffix);
  };
  if (status != 0) {
    // The side file of a temporary path that was not made unique keeps it for a resume.
    if (entry.file && dirFd >= 0 && !ExistsAt(dirFd, entry.tmpPath + "tmp"))
      RemoveAt(dirFd, entry.tmpPath);
    return;
  }
  if (haveState && state.alreadyPresent) {
    cleanSide();
    return;
  }
  if (!haveState || dirFd < 0 || failed || received != state.announced) {
    // Published only whole: the temporary file stays for the phone to resume.
    QV_LOG(kModIntranet, kLogError, "upload of %s incomplete: %llu of %u bytes.",
           entry.targetPath.c_str(), static_cast<unsigned long long>(received),
           static_cast<unsigned>(state.announced));
    return;
  }
  const std::string finalName =
      RenameUploadFileAt(dirFd, NameOf(entry.tmpPath), NameOf(entry.targetPath));
  if (finalName.empty()) {
    QV_LOG(kModIntranet, kLogError, "rename %s to %s error: %s.", entry.tmpPath.c_str(),
           entry.targetPath.c_str(), std::strerror(errno));
    return;
  }
  const std::string finalPath = InFolder(ParentOf(entry.targetPath), finalName);
  uint64_t length = 0;
  if (FileSizeAt(dirFd, finalName, length) != 0) length = 0;
  QueueTranLog(finalPath, 0, length);
  cleanSide();
}

}  // namespace

int OverUpLoadFile(const char* body, const CommandHeader* header, bufferevent* conn,
                   char** /*reply*/, int* /*replyLen*/, int* udtSock, char* direct) {
  const int udt = UdtOf(udtSock);
  int result = 0;
  if (!UploadMessageTaken(body, udt, DirectOf(direct), result)) return result;
  if (HandlerBodyLength(header, false) < 1) {
    QV_LOG_REFUSAL(PeerKeyOf(conn, udt), kModIntranet, kLogError, "Upload end without its status.");
    return 0;
  }
  const uint32_t sessionId = header->param;
  const uint8_t status = static_cast<uint8_t>(body[0]);
  QV_LOG(kModIntranet, kLogDebug, "===over upload session id %u===\n", sessionId);
  if (!Queued(conn, udt, DirectOf(direct))) {
    std::lock_guard<std::mutex> decision(DecisionMutex());
    EndingUpload ending;
    {
      CMutexLock lock(g_MutexTransMap);
      if (!TakeUploadLocked(sessionId, conn, udt, ending)) return 0;
    }
    FinishUpload(status, ending);
    return 0;
  }
  // Published on the writer after the upload's data. The upload leaves the map now, so a
  // connection that closes right after its end message does not take it along, and stays
  // listed as ending, so no other upload of its target acts on its files meanwhile. The
  // connection waits for it: the phone's next request sees the file published.
  auto ending = std::make_shared<EndingUpload>();
  {
    CMutexLock lock(g_MutexTransMap);
    if (!TakeUploadLocked(sessionId, conn, udt, *ending)) return 0;
    g_ending.emplace(sessionId, std::make_pair(ending->entry.targetPath, ending->entry.tmpPath));
    ending->recorded = true;
  }
  const uint64_t token = DeferredReply_BeginFor(conn, udt, DirectOf(direct));
  auto finish = [status, ending, token] {
    {
      std::lock_guard<std::mutex> decision(DecisionMutex());
      FinishUpload(status, *ending);
    }
    if (token != 0) DeferredReply_Finish(token, {});
  };
  if (!UploadWriter().Post(finish)) finish();
  return 0;
}

void Upload_Flush() { UploadWriter().Drain(); }

void Upload_SetBeforeWriteHook(void (*hook)()) { UploadWriter().SetBeforeEachHook(hook); }

size_t Upload_PeakQueued() { return g_peakQueued.load(); }
