#include "service/transfers/relay_transfer.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "common/log.h"
#include "common/opcode_registry.h"
#include "common/os_layer.h"
#include "common/periods.h"
#include "common/proto_relay.h"
#include "common/request_pipeline.h"
#include "common/settings.h"
#include "common/sockets.h"
#include "common/thread_pool.h"
#include "common/wire.h"
#include "service/transfers/download.h"
#include "service/transfers/download_target.h"
#include "service/service_globals.h"
#include "service/transfers/transfer_sessions.h"

namespace {

// The real period, unless the test setting names a shorter one in milliseconds.
int ShortenedMs(const char* key, int defaultMs) {
  long v = 0;
  if (Service_TestSetting(key, v) && v > 0 && v < defaultMs) return static_cast<int>(v);
  return defaultMs;
}

constexpr int kServerTimeout = 5000;
constexpr size_t kPackageData = 1000;
constexpr uint16_t kOpPackage = 0x1002;
constexpr uint16_t kOpOver = 0x1003;
constexpr size_t kOverMsgSize = 12;

std::string OwnIdentity() { return std::string(g_szUUID, strnlen(g_szUUID, sizeof g_szUUID)); }

int ConnectConfigured() {
  std::string host;
  uint16_t port = 0;
  GetServerInfo(host, port);
  return ConnectToSV(host.c_str(), port);
}

bool ReadAnswer(int* sock, ServerReplyHeader& out) {
  uint8_t raw[kServerReplyHeaderSize];
  if (RecvSock(sock, sizeof raw, reinterpret_cast<char*>(raw)) != 0) return false;
  out = DecodeServerReplyHeader(raw);
  return true;
}

bool SendAll(int* sock, const std::vector<uint8_t>& bytes) {
  return *sock >= 0 && SendSock(sock, static_cast<int>(bytes.size()),
                                reinterpret_cast<const char*>(bytes.data())) == 0;
}

// One package as the cache wants it (RelayHeader, requester, TransHeader, data), built in one
// buffer kept for the whole download: only the lengths and the number change between packages.
class CCachePackage {
 public:
  CCachePackage(const std::string& requester, uint32_t sessionId)
      : m_bytes(BuildAddressedFrame(kCmdCacheDeliver, OwnIdentity(), requester, nullptr, 0)),
        m_sessionId(sessionId) {
    m_bytes.resize(kDataAt + kPackageData);
  }
  // Room for a whole package's data.
  uint8_t* Data() {
    m_bytes.resize(kDataAt + kPackageData);  // within its capacity: never moves
    return m_bytes.data() + kDataAt;
  }
  // Numbers the package k with the n data bytes written at Data(); the bytes to send.
  const std::vector<uint8_t>& Seal(uint32_t k, size_t n) {
    m_bytes.resize(kDataAt + n);
    wire::PutU16(m_bytes.data(), static_cast<uint16_t>(kDataAt + n));
    TransHeader t;
    t.cmd = {static_cast<uint16_t>(kTransHeaderSize + n), kOpPackage, m_sessionId};
    t.v1 = k;
    EncodeTransHeader(t, m_bytes.data() + kRelayReplyPrefix);
    return m_bytes;
  }

 private:
  static constexpr size_t kDataAt = kRelayReplyPrefix + kTransHeaderSize;
  std::vector<uint8_t> m_bytes;
  uint32_t m_sessionId;
};

// The file read ahead in large blocks, handed out a package at a time: one read for many
// packages.
class CReadAhead {
 public:
  CReadAhead(int fd, uint64_t pos) : m_fd(fd), m_pos(pos) {}
  // Copies n bytes at the current position to out and moves on; false when the file cannot give
  // them (an error, or it became shorter than its size said).
  bool Take(uint8_t* out, size_t n) {
    if (m_have - m_at < n) {
      std::memmove(m_block.data(), m_block.data() + m_at, m_have - m_at);
      m_have -= m_at;
      m_at = 0;
      while (m_have < n) {
        const ssize_t r = pread(m_fd, m_block.data() + m_have, m_block.size() - m_have,
                                static_cast<off_t>(m_pos + m_have));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        m_have += static_cast<size_t>(r);
      }
    }
    std::memcpy(out, m_block.data() + m_at, n);
    m_at += n;
    m_pos += n;
    return true;
  }

 private:
  int m_fd;
  uint64_t m_pos;  // file position of m_block[m_at]
  std::vector<uint8_t> m_block = std::vector<uint8_t>(64 * 1024);
  size_t m_at = 0, m_have = 0;
};

// Waits up to ms, less when a transfer opens after `opened` was read; true when the service
// is stopping.
bool WaitForNewTransfer(int ms, uint64_t opened) {
  constexpr int kStepMs = 5;
  for (int waited = 0; waited < ms; waited += kStepMs) {
    if (Trans_Opened() != opened) return g_ExitFlag.load() != 0;
    if (WaitOrExit(std::min(kStepMs, ms - waited), g_ExitFlag)) return true;
  }
  return g_ExitFlag.load() != 0;
}

// Failed ends of downloads that found no worker to send them. The pool is full then, so one
// thread of its own connects to the server's cache (a blocking connect that the relay loop must
// not wait for) and delivers them there, where the phone looks for every download end.
struct FailedEnd {
  std::string requester;
  uint32_t sessionId = 0;
};
constexpr size_t kMaxFailedEnds = 64;

std::mutex& FailedEndsMutex() {
  static std::mutex* m = new std::mutex;  // immortal: the thread outlives every caller
  return *m;
}
std::condition_variable& FailedEndsReady() {
  static std::condition_variable* c = new std::condition_variable;
  return *c;
}
std::deque<FailedEnd>& FailedEnds() {  // under FailedEndsMutex
  static std::deque<FailedEnd>* q = new std::deque<FailedEnd>;
  return *q;
}
bool g_failedEndsThread = false;  // under FailedEndsMutex

void DeliverFailedEnds() {
  for (;;) {
    FailedEnd end;
    {
      std::unique_lock<std::mutex> lock(FailedEndsMutex());
      FailedEndsReady().wait(lock, [] { return !FailedEnds().empty(); });
      end = std::move(FailedEnds().front());
      FailedEnds().pop_front();
    }
    int sock = ConnectConfigured();
    if (sock < 0) {
      QV_LOG(kModIntranet, kLogError, "relay download %u: no connection to the server.",
             end.sessionId);
      continue;
    }
    WriteInterDownLoadOverMsg(end.requester, &sock, '1', end.sessionId);
  }
}

void SendFailedEnd(uint32_t sessionId, const std::string& requester) {
  std::lock_guard<std::mutex> lock(FailedEndsMutex());
  if (FailedEnds().size() >= kMaxFailedEnds) {
    QV_LOG(kModIntranet, kLogError, "relay download %u: too many ends wait; none sent.", sessionId);
    return;
  }
  if (!g_failedEndsThread) {
    try {
      std::thread(DeliverFailedEnds).detach();
      g_failedEndsThread = true;
    } catch (const std::system_error&) {
      QV_LOG(kModIntranet, kLogError, "relay download %u: no thread for its end.", sessionId);
      return;
    }
  }
  FailedEnds().push_back({requester, sessionId});
  FailedEndsReady().notify_one();
}

}  // namespace

int ConnectToSV(const char* host, uint16_t port) {
  int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return -1;
  if (SetSockTimeout(sock, kServerTimeout, kServerTimeout) != 0 ||
      ConnectServerSock(&sock, port, host) != 0) {
    CloseSock(&sock);
    return -1;
  }
  return sock;
}

void WriteInterDownLoadOverMsg(const std::string& requester, int* sock, char status,
                               uint32_t sessionId) {
  uint8_t over[kOverMsgSize] = {0};
  EncodeCommandHeader({static_cast<uint16_t>(kOverMsgSize), kOpOver, sessionId}, over);
  over[8] = static_cast<uint8_t>(status);
  const std::vector<uint8_t> msg =
      BuildAddressedFrame(kCmdCacheDeliver, OwnIdentity(), requester, over, sizeof over);
  ServerReplyHeader answer;
  if (SendAll(sock, msg) && *sock >= 0) ReadAnswer(sock, answer);  // its content is not used
  if (*sock >= 0) shutdown(*sock, SHUT_RDWR);
  CloseSock(sock);
  *sock = -1;
}

int StartRelayDownload(uint32_t sessionId, uint32_t offset, const std::string& requester) {
  InterDownloadJob* job = new (std::nothrow) InterDownloadJob;
  if (!job) {
    SendFailedEnd(sessionId, requester);
    return kErrAllocate;
  }
  job->sessionId = sessionId;
  job->offset = offset;
  std::strncpy(job->requester, requester.c_str(), sizeof job->requester - 1);
  // The relay loop must not stall on a full pool: refused at once instead, and the phone hears
  // the failed end through the cache.
  const int rc = ThreadPool_TryAddTask(g_pThreadPool, DownLoadFile_Cash, job);
  if (rc != 0) {
    delete job;
    SendFailedEnd(sessionId, requester);
  }
  return rc;
}

int DownLoadFile_Cash(void* arg) {
  std::unique_ptr<InterDownloadJob> job(static_cast<InterDownloadJob*>(arg));
  const uint32_t id = job->sessionId;
  const uint64_t offset = job->offset;
  const std::string requester(job->requester, strnlen(job->requester, sizeof job->requester));
  job.reset();

  int sock = ConnectConfigured();
  if (sock < 0) {
    // No end message can reach the phone; the open download must not linger either.
    TransferEntry entry;
    CMutexLock lock(g_MutexTransMap);
    auto it = g_TransMap.find(id);
    if (it != g_TransMap.end() && it->second.tmpPath.empty()) {
      if (it->second.file) std::fclose(it->second.file);
      g_TransMap.erase(it);
    }
    QV_LOG(kModIntranet, kLogError, "relay download %u: no connection to the server.", id);
    return 0;
  }
  TransferEntry entry;
  bool found = false;
  {
    CMutexLock lock(g_MutexTransMap);
    auto it = g_TransMap.find(id);
    // Only an open download starts; an upload under this id stays as it is.
    if (it != g_TransMap.end() && it->second.tmpPath.empty()) {
      entry = std::move(it->second);
      g_TransMap.erase(it);
      found = true;
    }
  }
  OpenedFile opened;  // the descriptor that passed the request's check, never re-opened by name
  if (!found || !TakeCheckedFile(entry, opened)) {
    if (found) QV_LOG(kModIntranet, kLogError, "open file %s error.", entry.targetPath.c_str());
    WriteInterDownLoadOverMsg(requester, &sock, '1', id);
    return 0;
  }
  const std::string path = entry.targetPath;
  uint32_t k = static_cast<uint32_t>(offset / kPackageData);
  QV_LOG(kModIntranet, kLogDebug, "begain download file %s using interline, package count %d.",
         path.c_str(), static_cast<int>(k));
  DownloadCount_Add(1);
  Download_RelayBegin(id);
  const int fd = opened.fd.get();
  const uint64_t size = opened.size;
  auto finish = [&](int endStatus) {  // -1: no end message
    opened.fd.Close();
    DownloadCount_Add(-1);
    Download_RelayEnd(id);
    if (endStatus < 0) CloseSock(&sock);
    else WriteInterDownLoadOverMsg(requester, &sock, static_cast<char>(endStatus), id);
    return 0;
  };

  uint64_t pos = offset < size ? offset : size;
  CCachePackage package(requester, id);
  CReadAhead file(fd, pos);
  int fullWait = 0;
  int reconnectWait = 0;
  for (;;) {
    const size_t n = static_cast<size_t>(size - pos < kPackageData ? size - pos : kPackageData);
    if (n && !file.Take(package.Data(), n)) {
      QV_LOG(kModIntranet, kLogError, "read file %s error.", path.c_str());
      return finish('1');
    }
    const std::vector<uint8_t>& bytes = package.Seal(++k, n);
    for (;;) {
      if (Download_RelayStopRequested(id)) {
        QV_LOG(kModIntranet, kLogDebug, "get cmd to stop download OK %d", static_cast<int>(id));
        return finish(-1);
      }
      if (g_ExitFlag.load() != 0) return finish(-1);
      if (!SendAll(&sock, bytes)) {
        QV_LOG(kModIntranet, kLogDebug, "send error reconnect.");
        WaitOrExit(kReconnectWaitMs, g_ExitFlag);
        reconnectWait += kReconnectWaitMs;
        CloseSock(&sock);
        sock = ConnectConfigured();
        if (sock >= 0) {
          QV_LOG(kModIntranet, kLogDebug, "send error reconnect ok.");
          reconnectWait = 0;
        } else if (reconnectWait > kCacheGiveUpMs) {
          QV_LOG(kModIntranet, kLogDebug, "download file %s time out.", path.c_str());
          return finish(-1);
        }
        continue;
      }
      ServerReplyHeader answer;
      if (!ReadAnswer(&sock, answer)) {
        QV_LOG(kModIntranet, kLogDebug, "recev error.");
        return finish('1');
      }
      if (answer.status == kStatusOk) {
        fullWait = 0;
        break;
      }
      if (answer.status != kStatusCacheFull) return finish('1');
      WaitOrExit(kCacheFullWaitMs, g_ExitFlag);
      fullWait += kCacheFullWaitMs;
      QV_LOG(kModIntranet, kLogDebug, "server cash is full. time: %d, file %s", fullWait,
             path.c_str());
      if (fullWait > kCacheGiveUpMs) {
        QV_LOG(kModIntranet, kLogDebug, "download file %s time out.", path.c_str());
        return finish('1');
      }
    }
    pos += n;
    if (n < kPackageData) break;  // the end of the file was reached
  }
  opened.fd.Close();
  DownloadCount_Add(-1);
  Download_RelayEnd(id);
  WriteTranLog(path, 1, size);
  WriteInterDownLoadOverMsg(requester, &sock, '0', id);
  return 0;
}

int InterLineUpLoadFile(void*) {
  const std::vector<uint8_t> fetch = BuildRelayFrame(kCmdCacheFetch, OwnIdentity(), nullptr, 0);
  int backoff = kUploadBackoffFirstMs;
  uint64_t opened = Trans_Opened();
  while (g_ExitFlag.load() == 0) {
    // A transfer that opens is fetched for at once (its phone is leaving data now); else the
    // whole period passes after a pass that found nothing waiting.
    if (WaitForNewTransfer(ShortenedMs("upload_fetch_ms", kUploadPollPeriodMs), opened)) break;
    opened = Trans_Opened();
    if (Trans_Count() == 0) continue;
    int sock = ConnectConfigured();
    if (sock < 0) continue;
    while (g_ExitFlag.load() == 0) {
      ServerReplyHeader answer;
      if (!SendAll(&sock, fetch) || !ReadAnswer(&sock, answer)) break;
      if (answer.status == kStatusOk) {
        backoff = kUploadBackoffFirstMs;
        if (answer.len <= kServerReplyHeaderSize) continue;
        std::vector<uint8_t> rest(answer.len - kServerReplyHeaderSize);
        if (RecvSock(&sock, static_cast<int>(rest.size()), reinterpret_cast<char*>(rest.data())) != 0)
          break;
        CommandHeader inner;
        // Only upload data and upload ends come this way, whole; nothing reaches the local API.
        if (!ParseFetchedMessage(rest.data(), rest.size(), inner)) {
          QV_LOG(kModIntranet, kLogWarning, "fetched message of %zu bytes dropped.", rest.size());
          continue;
        }
        PeerRequest request;
        request.trust.road = Road::kFetched;
        request.trust.peer = "relay cache";
        request.header = inner;
        request.body = reinterpret_cast<const char*>(rest.data() + kCommandHeaderSize);
        request.bodyLen = rest.size() - kCommandHeaderSize;
        CDropReplies nowhere;  // the phone that left the data is not waiting for an answer
        Request_Run(request, nowhere);
        continue;
      }
      if (Trans_Count() == 0) break;
      if (WaitOrExit(backoff, g_ExitFlag)) break;
      backoff *= 2;
      if (backoff > kUploadBackoffMaxMs) {
        backoff = kUploadBackoffFirstMs;
        break;
      }
    }
    if (sock >= 0) shutdown(sock, SHUT_RDWR);
    CloseSock(&sock);
  }
  return 0;
}
