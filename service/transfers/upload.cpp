#include "service/transfers/upload.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>

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
#include "service/transfers/upload_names.h"
#include "service/transfers/upload_writer.h"

namespace {

constexpr size_t kDataSkip = kTransHeaderSize - kCommandHeaderSize;  // the header's three u32
constexpr size_t kSideFileSize = 288;
constexpr size_t kSidePathWidth = 255;
constexpr size_t kSideHexWidth = 33;
constexpr size_t kMaxTargetLength = kSidePathWidth - 1;  // the side file must hold it whole
constexpr mode_t kFileMode = 0644;
constexpr int kDefaultEmptyCode = 0;

uint64_t g_nextSerial = 1;  // under g_MutexTransMap

std::string NearestExisting(std::string path) {
  while (!Plat_PathExists(path) && path != "/" && !path.empty()) path = ParentOf(path);
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

// Whether the road an entry came by is gone: a UDT socket that broke before its receive task
// noticed. A command connection that closed has taken its entries with it already.
bool RouteGone(const TransferEntry& entry) {
  if (entry.udtSock == -1) return false;
  const UDTSTATUS status = UDT::getsockstate(entry.udtSock);
  return status == BROKEN || status == CLOSED || status == NONEXIST;
}

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
  tmpPath = TemporaryPathOf(target);
  sidePath = SidePathOf(target);
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

// One upload request on its way through the steps below. A step that refuses the request has
// written the refusal reply and leaves the handler's result in `result`.
struct UploadRequest {
  uint32_t sessionId = 0;
  bufferevent* conn = nullptr;
  int udt = -1;
  char** reply = nullptr;
  int* replyLen = nullptr;
  int result = 0;
  uint32_t size = 0;
  uint8_t fingerprint[kFingerprintSize] = {};
  std::string target;
  std::string folder;
  FolderRef dir;

  // Writes the refusal with `code` and keeps `handlerResult`; false, so a step can end with it.
  bool Refuse(uint16_t code, int handlerResult) {
    result = WriteTransErrorReply(kOpUploadRefused, sessionId, code, reply, replyLen)
                 ? handlerResult
                 : kErrAllocate;
    return false;
  }
};

// The request's fields, the path it names and the target that path means.
bool ReadUploadRequest(const char* body, const CommandHeader* header, bufferevent* conn,
                       int* udtSock, char* direct, UploadRequest& req) {
  req.sessionId = header->param;
  req.udt = UdtOf(udtSock);
  const size_t base = ViaRelay(req.udt, DirectOf(direct)) ? kRelayBodyOffset : 0;
  // A relay upload's data is fetched from the server's cache without a connection: its entry
  // carries none, so fetched data matches relay entries only.
  req.conn = base != 0 ? nullptr : conn;
  const wire::Reader in(reinterpret_cast<const uint8_t*>(body), HandlerBodyLength(header, base != 0));
  if (!in.Has(base, kUploadRequestSize)) {
    QV_LOG_REFUSAL(PeerKeyOf(req.conn, req.udt), kModIntranet, kLogError,
                   "Upload request of %zu bytes is too short.", in.Size());
    return req.Refuse(kErrTransOther, kErrNoBody);
  }
  if (Trans_HeldByOther(req.sessionId, req.conn, req.udt)) {
    QV_LOG_REFUSAL(PeerKeyOf(req.conn, req.udt), kModIntranet, kLogError,
                   "Session id %u is held by another connection.", req.sessionId);
    return req.Refuse(kErrTransOther, -1);
  }
  in.U32(base, req.size);
  in.Bytes(base + kUploadFingerprintOffset, kFingerprintSize, req.fingerprint);
  std::string path;
  switch (ReadRequestPath(in, base + kUploadPathOffset, kUploadPathWidth, "Upload", req.conn,
                          req.udt, path)) {
    case RequestPath::kNoEnd:
      return req.Refuse(kErrNotShared, kErrNotShared);
    case RequestPath::kDefaultEmpty:
      return req.Refuse(kDefaultEmptyCode, kErrDefaultEmpty);
    case RequestPath::kRead:
      break;
  }
  QV_LOG(kModIntranet, kLogDebug, "upload file :%s", path.c_str());

  req.target = ResolveTarget(path);
  if (req.target.empty()) {
    QV_LOG_REFUSAL(PeerKeyOf(req.conn, req.udt), kModIntranet, kLogError,
                   "Filer %s not in share list", path.c_str());
    return req.Refuse(kErrNotShared, kErrNotShared);
  }
  if (req.target.size() > kMaxTargetLength) {
    QV_LOG_REFUSAL(PeerKeyOf(req.conn, req.udt), kModIntranet, kLogError,
                   "upload path %s too long.", req.target.c_str());
    return req.Refuse(kErrTransOther, -1);
  }
  req.folder = ParentOf(req.target);
  return true;
}

// The target's folder checked against the shares, made and opened beneath its share, and
// room for the upload: an open transfer of this connection and the disk space.
bool OpenUploadFolder(UploadRequest& req) {
  // The share decides before any folder is made: a refused path leaves nothing behind.
  int code = CheckSharePath(NearestExisting(req.folder));
  if (code != 0) {
    QV_LOG_REFUSAL(PeerKeyOf(req.conn, req.udt), kModIntranet, kLogError,
                   "Filer %s not in share list", req.target.c_str());
    return req.Refuse(static_cast<uint16_t>(code), code);
  }
  // The folder is made and opened beneath its share, one component at a time and never
  // through a link; every file of the upload is then taken beside this descriptor.
  const int folderFd = MakeSharedFolder(req.folder);
  if (folderFd < 0) {
    if (errno == EACCES) {
      QV_LOG_REFUSAL(PeerKeyOf(req.conn, req.udt), kModIntranet, kLogError,
                     "Filer %s not in share list", req.target.c_str());
      return req.Refuse(kErrNotShared, kErrNotShared);
    }
    QV_LOG(kModIntranet, kLogError, "creat filer %s error.", req.folder.c_str());
    code = -1;
    return req.Refuse(static_cast<uint16_t>(code), code);
  }
  req.dir = std::make_shared<const UniqueFd>(folderFd);
  QV_LOG(kModIntranet, kLogDebug, "check dir:%s", req.folder.c_str());
  code = CheckSharePath(req.folder);
  if (code != 0) {
    QV_LOG_REFUSAL(PeerKeyOf(req.conn, req.udt), kModIntranet, kLogError,
                   "Filer %s not in share list", req.target.c_str());
    return req.Refuse(static_cast<uint16_t>(code), code);
  }
  if (!Trans_RoomFor(req.sessionId, req.conn, req.udt)) {
    QV_LOG_REFUSAL(PeerKeyOf(req.conn, req.udt), kModIntranet, kLogError,
                   "Too many open transfers; upload of %s refused.", req.target.c_str());
    return req.Refuse(kErrTransOther, -1);
  }
  uint32_t freeKB = 0;
  if (OS_GetDiskFreeKB(req.folder, freeKB) != 0 || freeKB <= (req.size >> 10)) {
    QV_LOG(kModIntranet, kLogError, "not have enough size for save file %s.",
           req.target.c_str());
    return req.Refuse(kErrTransOther, -1);
  }
  return true;
}

std::string DigestOf(const UploadRequest& req) {
  return std::string(reinterpret_cast<const char*>(req.fingerprint), kFingerprintSize);
}

// What the other open uploads mean for this one.
struct Neighbours {
  bool busy = false;                 // another upload works on files of this target
  std::set<std::string> heldTmps;    // temporary names open or ending uploads hold
};

// The same upload announced again by a phone whose old road is gone (or on the same road)
// takes over its older entry. Any other upload of the same content runs beside it. Under the
// decision mutex.
Neighbours TakeOverStaleUpload(const UploadRequest& req) {
  const std::string digest = DigestOf(req);
  TransferEntry stale;
  bool haveStale = false;
  Neighbours others;
  {
    CMutexLock lock(g_MutexTransMap);
    for (auto it = g_TransMap.begin(); it != g_TransMap.end(); ++it) {
      const TransferEntry& e = it->second;
      if (e.digest != digest || e.targetPath != req.target || it->first == req.sessionId) continue;
      auto st = g_uploads.find(it->first);
      const bool sameSize = st != g_uploads.end() && st->second.announced == req.size;
      const bool sameRoad = e.conn == req.conn && e.udtSock == req.udt;
      if (!sameSize || !(sameRoad || RouteGone(e))) continue;
      stale = std::move(it->second);
      g_uploads.erase(it->first);
      g_TransMap.erase(it);
      haveStale = true;
      break;
    }
    others.busy = TargetBusyLocked(req.target, req.sessionId);
    for (const auto& kv : g_TransMap) {
      if (!kv.second.tmpPath.empty()) others.heldTmps.insert(kv.second.tmpPath);
    }
    for (const auto& kv : g_ending) others.heldTmps.insert(kv.second.second);
  }
  if (haveStale) {
    QV_LOG(kModCommLib, kLogDebug, "close file trans, file %s", stale.targetPath.c_str());
    if (stale.file) std::fclose(stale.file);
  }
  return others;
}

// The resume decision: how many bytes the PC already holds, and which temporary file the
// upload goes to. While another open upload works on this target, its temporary and side
// files are left alone: this one gets a temporary file of its own and no resume.
uint32_t DecideResume(const UploadRequest& req, const Neighbours& others, UploadResumeInfo& info) {
  const int dirFd = req.dir->fd;
  info.dirFd = dirFd;
  if (others.busy) {
    info.size = req.size;
    std::memcpy(info.fingerprint, req.fingerprint, kFingerprintSize);
    info.target = req.target;
    info.sidePath = SidePathOf(req.target);
    info.hex = CMd5Hash::BytesToHex(req.fingerprint, kFingerprintSize);
    info.present = TargetHolds(dirFd, req.target, req.size, info.hex);
    info.tmpPath = UniqueTemporaryName(dirFd, req.target, others.heldTmps);
    return info.present ? req.size : 0;
  }
  info.Init(req.size, req.fingerprint, req.target);
  const uint32_t allowed = info.GetAllowSendSize();
  if (!ExistsAt(dirFd, info.sidePath)) RemoveAt(dirFd, info.tmpPath);
  if (!info.resuming) info.tmpPath = UniqueTemporaryName(dirFd, req.target, others.heldTmps);
  return allowed;
}

// Opens the temporary file; one that does not hold this upload's start is emptied, and the
// upload then starts from 0.
bool OpenUploadTemporary(UploadRequest& req, const UploadResumeInfo& info, uint32_t& allowed,
                         FILE*& file, uint64_t& held) {
  const int dirFd = req.dir->fd;
  file = OpenTemporary(dirFd, info.tmpPath, held);
  if (!file) {
    QV_LOG(kModIntranet, kLogError, "open file %s error.", info.tmpPath.c_str());
    if (info.newSideFile) RemoveAt(dirFd, info.sidePath);  // nothing of this upload stays
    return req.Refuse(kErrTransOther, -1);
  }
  if (held != allowed) {
    // Not this upload's data (more than the whole file, or no resume): start again.
    if (ftruncate(fileno(file), 0) != 0) {
      QV_LOG(kModIntranet, kLogError, "open file %s error.", info.tmpPath.c_str());
      std::fclose(file);
      file = nullptr;
      if (info.newSideFile) RemoveAt(dirFd, info.sidePath);
      return req.Refuse(kErrTransOther, -1);
    }
    allowed = 0;
    held = 0;
  }
  return true;
}

// Answers how much the phone may skip and records the upload: its entry in the map and the
// state beside it.
int AnswerAndRecord(const UploadRequest& req, const UploadResumeInfo& info, FILE* file,
                    uint64_t held, uint32_t allowed) {
  QV_LOG(kModIntranet, kLogDebug, "===File allow send size:%d, session id %u===\n",
         static_cast<int>(allowed), req.sessionId);
  const Bytes bytes = EncodeUploadAllow(req.sessionId, allowed);
  char* out = new (std::nothrow) char[bytes.size()];
  if (!out) {
    if (file) std::fclose(file);
    return kErrAllocate;
  }
  std::memcpy(out, bytes.data(), bytes.size());

  TransferEntry entry;
  entry.conn = req.conn;
  entry.udtSock = req.udt;
  entry.file = file;
  entry.tmpPath = info.present ? TemporaryPathOf(req.target) : info.tmpPath;
  entry.targetPath = req.target;
  entry.digest = DigestOf(req);
  {
    CMutexLock lock(g_MutexTransMap);
    Trans_Add(req.sessionId, entry);
    UploadState state;
    state.file = file;
    state.tmpPath = entry.tmpPath;
    state.folder = req.dir;
    state.announced = req.size;
    state.serial = g_nextSerial++;
    state.accepted = held;
    state.goodLength = held;
    state.alreadyPresent = info.present;
    g_uploads[req.sessionId] = state;
    PruneStatesLocked();
  }
  QV_LOG(kModIntranet, kLogDebug, "===ReqUpLoadFile session id %u===\n", req.sessionId);
  *req.reply = out;
  *req.replyLen = static_cast<int>(bytes.size());
  return 0;
}

int ReqUpLoadFileNow(const char* body, const CommandHeader* header, bufferevent* conn,
                     char** reply, int* replyLen, int* udtSock, char* direct) {
  // A temporary file is judged (resumed from its length) only once the data queued for it has
  // landed.
  UploadWriter().Drain();
  if (!body) {
    QV_LOG(kModUser, kLogError, "Input msg buffer pointer is null.");
    return kErrNoBody;
  }
  UploadRequest req;
  req.reply = reply;
  req.replyLen = replyLen;
  if (!ReadUploadRequest(body, header, conn, udtSock, direct, req)) return req.result;
  if (!OpenUploadFolder(req)) return req.result;

  std::lock_guard<std::mutex> decision(UploadDecisionMutex());
  const Neighbours others = TakeOverStaleUpload(req);
  UploadResumeInfo info;
  uint32_t allowed = DecideResume(req, others, info);
  FILE* file = nullptr;
  uint64_t held = 0;
  if (!info.present && !OpenUploadTemporary(req, info, allowed, file, held)) return req.result;
  return AnswerAndRecord(req, info, file, held, allowed);
}

}  // namespace

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

  UploadWriter_Queue(sessionId, serial, pipe, data, n, conn, udt, DirectOf(direct));
  return 0;
}

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
    std::lock_guard<std::mutex> decision(UploadDecisionMutex());
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
      std::lock_guard<std::mutex> decision(UploadDecisionMutex());
      FinishUpload(status, *ending);
    }
    if (token != 0) DeferredReply_Finish(token, {});
  };
  if (!UploadWriter().Post(finish)) finish();
  return 0;
}
