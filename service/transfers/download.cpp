#include "service/transfers/download.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include "common/command_server.h"
#include "common/log.h"
#include "common/os_layer.h"
#include "common/proto_transfer.h"
#include "common/share_paths.h"
#include "common/sockets.h"
#include "common/wire.h"
#include "service/core/peer_send.h"
#include "service/core/pool_request.h"
#include "service/core/request_args.h"
#include "service/service_globals.h"
#include "service/transfers/download_sender.h"
#include "service/transfers/download_target.h"
#include "service/transfers/transfer_sessions.h"

namespace {

// A file smaller than this goes out whole from the loop that got its request: one read, one
// batch.
constexpr uint64_t kSmallFileBytes = kDownloadBatchBytes;

// Relay downloads that are sending now; only they read the stop list. Under
// g_StopDownLoadMutex, like the list.
std::multiset<uint32_t> g_relayRunning;

std::atomic<RelayDownloadStarter> g_relayStarter{nullptr};

void EncodeTransError(uint16_t opcode, uint32_t sessionId, uint16_t code, uint8_t* out) {
  const Bytes b = EncodeTransError(TransError{opcode, sessionId, code});
  std::memcpy(out, b.data(), kTransErrorReplySize);
}

int RefuseDownload(uint32_t sessionId, uint16_t code, char** reply, int* replyLen, int result) {
  if (!WriteTransErrorReply(kOpDownloadRefused, sessionId, code, reply, replyLen)) return kErrAllocate;
  return result;
}

}  // namespace

bool WriteTransErrorReply(uint16_t opcode, uint32_t sessionId, uint16_t code, char** reply,
                          int* replyLen) {
  uint8_t bytes[kTransErrorReplySize];
  EncodeTransError(opcode, sessionId, code, bytes);
  return PutReply(bytes, sizeof bytes, reply, replyLen);
}

void EncodeDownloadInfo(uint32_t sessionId, uint32_t size, const unsigned char fingerprint[16],
                        uint8_t out[64]) {
  DownloadInfo info;
  info.param = sessionId;
  info.size = size;
  info.packages = PackageCount(size);
  std::memcpy(info.fingerprint, fingerprint, kFingerprintSize);
  const Bytes b = EncodeDownloadInfo(info);
  std::memcpy(out, b.data(), kDownloadInfoSize);
}

uint32_t DownloadPackageCount(uint32_t size) { return PackageCount(size); }

namespace {

// cached: the file already opened and hashed on the loop; null: opened and hashed here.
int ReqDownLoadWork(const char* body, const CommandHeader* header, bufferevent* conn,
                    char** reply, int* replyLen, int* udtSock, char* direct, CachedOpen* cached) {
  if (!body) {
    QV_LOG(kModUser, kLogError, "Input msg buffer pointer is null.");
    return kErrNoBody;
  }
  const uint32_t sessionId = header->param;
  const int udt = UdtOf(udtSock);
  const size_t base = ViaRelay(udt, DirectOf(direct)) ? kRelayBodyOffset : 0;
  const wire::Reader in(reinterpret_cast<const uint8_t*>(body), HandlerBodyLength(header, base != 0));
  if (!in.Has(base, kFilePathRequestSize)) {
    QV_LOG_REFUSAL(PeerKeyOf(conn, udt), kModIntranet, kLogError,
                   "Download request of %zu bytes is too short.", in.Size());
    return RefuseDownload(sessionId, kErrTransOther, reply, replyLen, kErrNoBody);
  }
  if (Trans_HeldByOther(sessionId, conn, udt)) {
    QV_LOG_REFUSAL(PeerKeyOf(conn, udt), kModIntranet, kLogError,
                   "Session id %u is held by another connection.", sessionId);
    return RefuseDownload(sessionId, kErrTransOther, reply, replyLen, -1);
  }
  std::string path;
  switch (ReadRequestPath(in, base + kFilePathOffset, kFilePathWidth, "Download", conn, udt, path)) {
    case RequestPath::kNoEnd:
      return RefuseDownload(sessionId, kErrDownNotShared, reply, replyLen, kErrNotShared);
    case RequestPath::kDefaultEmpty:
      return RefuseDownload(sessionId, kErrDownNotShared, reply, replyLen, kErrDefaultEmpty);
    case RequestPath::kRead:
      break;
  }
  QV_LOG(kModIntranet, kLogDebug, "DownLoad file :%s", path.c_str());

  // Opened once, here, beneath its share with no link on the way (a link inside a share may
  // not lead out of it): what is checked is what is hashed and later sent, whatever a local
  // program does to the names meanwhile; never blocking on a FIFO.
  std::string real;
  UniqueFd fd(cached ? cached->fd.fd : OpenDownloadTarget(path, real));
  const int openError = errno;
  if (cached) {
    cached->fd.fd = -1;
    real = cached->real;
  }
  if (fd.fd < 0) {
    // Only a refusal pays for the full check, to tell the phone why.
    const int shareCode = DownloadShareRefusal(path, openError);
    if (shareCode != 0) {
      QV_LOG_REFUSAL(PeerKeyOf(conn, udt), kModIntranet, kLogError,
                     "File %s not in share list.", path.c_str());
      return RefuseDownload(sessionId, kErrDownNotShared, reply, replyLen, shareCode);
    }
  }
  if (!Trans_RoomFor(sessionId, conn, udt)) {
    QV_LOG_REFUSAL(PeerKeyOf(conn, udt), kModIntranet, kLogError,
                   "Too many open transfers; download of %s refused.",
           path.c_str());
    return RefuseDownload(sessionId, kErrTransOther, reply, replyLen, -1);
  }
  struct stat st;
  if (fd.fd < 0 || fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    // A phone asks for files that are not there yet (a relayed upload it waits for): no fault
    // of the service.
    QV_LOG_REFUSAL(PeerKeyOf(conn, udt), kModIntranet,
                   fd.fd < 0 && openError == ENOENT ? kLogDebug : kLogError,
                   "File %s not exits.", path.c_str());
    return RefuseDownload(sessionId, kErrDownNoFile, reply, replyLen, -1);
  }
  if (static_cast<uint64_t>(st.st_size) > kDownloadSizeLimit) {
    QV_LOG_REFUSAL(PeerKeyOf(conn, udt), kModIntranet, kLogError,
                   "Get file %s size error.", path.c_str());
    return RefuseDownload(sessionId, kErrDownSize, reply, replyLen, -1);
  }
  // Reads of a regular file never block; the flag only guarded the open.
  fcntl(fd.fd, F_SETFL, fcntl(fd.fd, F_GETFL) & ~O_NONBLOCK);

  unsigned char fingerprint[16];
  if (cached) {
    // The size that was hashed is the size told, should the file change meanwhile.
    st.st_size = static_cast<off_t>(cached->size);
    std::memcpy(fingerprint, cached->fingerprint, sizeof fingerprint);
  } else if (!QuickFingerprintOf(fd.fd, static_cast<uint64_t>(st.st_size), fingerprint)) {
    QV_LOG_REFUSAL(PeerKeyOf(conn, udt), kModIntranet, kLogError,
                   "Get file %s size error.", path.c_str());
    return RefuseDownload(sessionId, kErrDownSize, reply, replyLen, -1);
  }
  FILE* file = fdopen(fd.fd, "rb");
  if (!file) return kErrAllocate;
  fd.fd = -1;
  uint8_t bytes[kDownloadInfoSize];
  EncodeDownloadInfo(sessionId, static_cast<uint32_t>(st.st_size), fingerprint, bytes);
  if (!PutReply(bytes, sizeof bytes, reply, replyLen)) {
    std::fclose(file);
    return kErrAllocate;
  }

  TransferEntry entry;
  entry.conn = conn;
  entry.udtSock = udt;
  entry.file = file;
  entry.targetPath = real;
  Trans_Add(sessionId, entry);
  return 0;
}

int ReqDownLoadFileNow(const char* body, const CommandHeader* header, bufferevent* conn,
                       char** reply, int* replyLen, int* udtSock, char* direct) {
  return ReqDownLoadWork(body, header, conn, reply, replyLen, udtSock, direct, nullptr);
}

// On a command connection's loop: opens and hashes the small file a request names when every
// lookup and page it needs is in the kernel's caches, so nothing waits for the disk. False,
// with nothing done, for anything else (a large file, a refusal, a cache miss, a link on the
// way): the full request then runs on a pool task.
bool OpenSmallCached(const char* body, const CommandHeader* header, bufferevent* conn,
                     int* udtSock, char* direct, CachedOpen& out) {
  if (!body || !header || UdtOf(udtSock) != -1 || !DirectOf(direct) ||
      !OS_IsCommandConnection(conn) || Download_PagesNeverCachedSet()) {
    return false;
  }
  const wire::Reader in(reinterpret_cast<const uint8_t*>(body), HandlerBodyLength(header, false));
  std::string path;
  if (!in.Has(0, kFilePathRequestSize) ||
      MapRequestPath(in, kFilePathOffset, kFilePathWidth, path) != RequestPath::kRead) {
    return false;
  }
  return OpenSmallCachedTarget(path, kSmallFileBytes, out);
}

}  // namespace

int ReqDownLoadFile(const char* body, const CommandHeader* header, bufferevent* conn, char** reply,
                   int* replyLen, int* udtSock, char* direct) {
  // Checking, opening and hashing the file may touch the disk: worked on a pool task when the
  // request came in on an event thread, unless the kernel has all of a small file's cached:
  // then its trip to a pool thread and back would cost more than the work.
  if (OS_OnEventThread()) {
    CachedOpen cached;
    if (OpenSmallCached(body, header, conn, udtSock, direct, cached)) {
      return ReqDownLoadWork(body, header, conn, reply, replyLen, udtSock, direct, &cached);
    }
  }
  if (PoolRequest_Post(ReqDownLoadFileNow, body, header, conn, udtSock, direct)) return 0;
  return ReqDownLoadFileNow(body, header, conn, reply, replyLen, udtSock, direct);
}


namespace {

// Through the relay the download is sent by a pool task of the relay transfer code; nothing
// else is done here.
int StartRelayDownload(const wire::Reader& in, const char* body, bufferevent* conn, int udt,
                       char dir, uint32_t sessionId, char** reply, int* replyLen) {
  uint32_t offset = 0;
  if (!in.U32(kRelayBodyOffset, offset)) {
    QV_LOG_REFUSAL(PeerKeyOf(conn, udt), kModIntranet, kLogError,
                   "Download start of %zu bytes is too short.", in.Size());
    return kErrNoBody;
  }
  QV_LOG(kModIntranet, kLogDebug, "DownLoad File interline.");
  const RelayDownloadStarter starter = g_relayStarter.load();
  if (!starter) return ReplyDownloadOver('1', sessionId, reply, replyLen, -1);
  const int started = starter(sessionId, offset, RouteOf(body, in.Size(), conn, udt, dir).requester);
  if (started != 0) {
    // No worker to send it: the starter sends the end '1' through the server's cache, where
    // the phone reads every download end (never as a relay reply); the open entry stays for
    // a later start.
    QV_LOG(kModIntranet, kLogError, "relay download %u: no free worker.", sessionId);
    return started;
  }
  return 0;
}

// True, logged, when a direct start is refused before its entry is taken.
bool RefusedBeforeTaking(uint32_t sessionId, bufferevent* conn, int udt) {
  if (Trans_HeldByOther(sessionId, conn, udt)) {
    QV_LOG_REFUSAL(PeerKeyOf(conn, udt), kModIntranet, kLogError,
                   "Session id %u is held by another connection.", sessionId);
    return true;
  }
  // The command server holds a connection's later requests while its download streams, so
  // this only guards a caller that does not; the open entry is kept for a later start.
  if (udt == -1 && DownloadRunsOn(conn)) {
    QV_LOG(kModIntranet, kLogError, "A download already runs on this connection; %u refused.",
           sessionId);
    return true;
  }
  return false;
}

// Takes the open download under the id out of the map; an upload under this id stays as it is.
bool TakeOpenDownload(uint32_t sessionId, TransferEntry& entry) {
  CMutexLock lock(g_MutexTransMap);
  auto it = g_TransMap.find(sessionId);
  if (it == g_TransMap.end() || !it->second.tmpPath.empty()) return false;
  entry = std::move(it->second);
  g_TransMap.erase(it);
  return true;
}

}  // namespace

int AllowDownLoadFile(const char* body, const CommandHeader* header, bufferevent* conn,
                      char** reply, int* replyLen, int* udtSock, char* direct) {
  if (!body) {
    QV_LOG(kModUser, kLogError, "Input msg buffer pointer is null.");
    return kErrNoBody;
  }
  QV_LOG(kModIntranet, kLogDebug, "AllowDownLoadFile.");
  const uint32_t sessionId = header->param;
  const int udt = UdtOf(udtSock);
  const char dir = DirectOf(direct);
  const size_t bodyLen = HandlerBodyLength(header, ViaRelay(udt, dir));
  const wire::Reader in(reinterpret_cast<const uint8_t*>(body), bodyLen);
  if (ViaRelay(udt, dir)) {
    return StartRelayDownload(in, body, conn, udt, dir, sessionId, reply, replyLen);
  }

  uint32_t offset = 0;
  if (!in.U32(0, offset)) {
    QV_LOG_REFUSAL(PeerKeyOf(conn, udt), kModIntranet, kLogError,
                   "Download start of %zu bytes is too short.", bodyLen);
    return ReplyDownloadOver('1', sessionId, reply, replyLen, kErrNoBody);
  }
  QV_LOG(kModIntranet, kLogDebug, udt == -1 ? "DownLoad File using tcp." : "DownLoad File using udt.");
  TransferEntry entry;
  if (RefusedBeforeTaking(sessionId, conn, udt) || !TakeOpenDownload(sessionId, entry)) {
    return ReplyDownloadOver('1', sessionId, reply, replyLen, -1);
  }
  const PeerRoute route = RouteOf(body, bodyLen, conn, udt, dir);
  OpenedFile opened;
  if (!TakeCheckedFile(entry, opened)) {
    QV_LOG(kModIntranet, kLogError, "open file %s error.", entry.targetPath.c_str());
    return ReplyDownloadOver('1', sessionId, reply, replyLen, -1);
  }

  const std::string& path = entry.targetPath;
  if (udt != -1) {
    return SendDownloadOverUdt(route, sessionId, opened.fd.fd, offset, opened.size, path, reply,
                               replyLen);
  }
  const uint64_t left = opened.size > offset ? opened.size - offset : 0;
  if (left < kSmallFileBytes && route.direct && OS_IsCommandConnection(conn)) {
    return SendSmallDownloadNow(route, sessionId, opened.fd, offset, opened.size, path, reply,
                                replyLen);
  }
  return StartStreamingDownload(route, sessionId, opened.fd, offset, opened.size, path, reply,
                                replyLen);
}

int RefuseDownLoadFile(const char* /*body*/, const CommandHeader* header, bufferevent* conn,
                       char** /*reply*/, int* /*replyLen*/, int* udtSock, char* /*direct*/) {
  const uint32_t sessionId = header->param;
  // Another phone's open download is not ours to drop.
  if (Trans_HeldByOther(sessionId, conn, UdtOf(udtSock))) {
    QV_LOG_REFUSAL(PeerKeyOf(conn, UdtOf(udtSock)), kModIntranet, kLogError,
                   "Session id %u is held by another connection.", sessionId);
    return 0;
  }
  Trans_Remove(sessionId);
  return 0;
}

int StopDownLoad(const char* /*body*/, const CommandHeader* header, bufferevent* /*conn*/,
                 char** reply, int* replyLen, int* /*udtSock*/, char* /*direct*/) {
  const int sessionId = static_cast<int>(header->param);
  if (sessionId != 0) {
    // Answered at once: a running relay download takes the stop from the list on its own
    // thread; with none running under the id there is nothing to stop.
    bool queued = false;
    {
      CMutexLock lock(g_StopDownLoadMutex);
      if (g_relayRunning.count(static_cast<uint32_t>(sessionId)) != 0) {
        g_StopDownloadList.push_back(sessionId);
        queued = true;
      }
    }
    if (queued) QV_LOG(kModIntranet, kLogDebug, "stop download %d", sessionId);
  }
  const Bytes bytes = EncodeStopReply(header->opcode, header->param);
  return PutReply(bytes.data(), bytes.size(), reply, replyLen) ? 0 : -1;
}

void Download_RelayBegin(uint32_t sessionId) {
  CMutexLock lock(g_StopDownLoadMutex);
  g_relayRunning.insert(sessionId);
}

void Download_RelayEnd(uint32_t sessionId) {
  CMutexLock lock(g_StopDownLoadMutex);
  auto running = g_relayRunning.find(sessionId);
  if (running != g_relayRunning.end()) g_relayRunning.erase(running);
  if (g_relayRunning.count(sessionId) != 0) return;
  // Stops that came too late for it must not stop a later download under the same id.
  for (auto it = g_StopDownloadList.begin(); it != g_StopDownloadList.end();) {
    it = *it == static_cast<int>(sessionId) ? g_StopDownloadList.erase(it) : std::next(it);
  }
}

bool Download_RelayStopRequested(uint32_t sessionId) {
  bool found = false;
  {
    CMutexLock lock(g_StopDownLoadMutex);
    for (auto it = g_StopDownloadList.begin(); it != g_StopDownloadList.end(); ++it) {
      if (*it == static_cast<int>(sessionId)) {
        g_StopDownloadList.erase(it);
        found = true;
        break;
      }
    }
  }
  if (found) QV_LOG(kModIntranet, kLogDebug, "stop download OK %d", static_cast<int>(sessionId));
  return found;
}

void Download_SetRelayStarter(RelayDownloadStarter starter) { g_relayStarter.store(starter); }
