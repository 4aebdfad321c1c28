#include "service/device_requests.h"

#include <arpa/inet.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <set>

#include "common/command_server.h"
#include "common/log.h"
#include "common/os_layer.h"
#include "common/proto_local_api.h"
#include "common/settings.h"
#include "common/sockets.h"
#include "common/thread_pool.h"
#include "service/deferred_reply.h"
#include "service/download.h"
#include "service/power_off.h"
#include "service/peer_send.h"
#include "service/request_args.h"
#include "service/service_globals.h"
#include "service/transfer_sessions.h"

namespace {

constexpr int kUISendTimeoutMs = 1000;

std::atomic<uint16_t> g_uiPort{kDefaultUIPushPort};
std::atomic<int> g_uiAnswerMs{kDefaultUIAnswerMs};

std::string g_strLastHBTime;  // under g_MutexLastHBTime

// The request id of the push: a counter, so two questions in one second stay apart.
std::atomic<uint32_t> g_nextRequestId{static_cast<uint32_t>(time(nullptr))};

// Guards the fields below. Never held while waiting for the desktop program.
std::mutex g_stateMutex;
std::set<std::string> g_acceptedPeers;  // peers with an accepted log-in
std::set<std::string> g_askingPeers;    // peers whose question is open

// One log-in question on its way to the desktop program.
struct Question {
  std::string peerKey;
  uint64_t token = 0;
  WireBytes push;
};

std::string ConnKey(const void* conn) {
  char text[32];
  std::snprintf(text, sizeof text, "c:%p", conn);
  return text;
}

// A peer is its command-server connection, its UDT socket, or its identity behind the relay.
std::string PeerKeyOf(const PeerRoute& route) {
  if (route.udtSock != -1) return "u:" + std::to_string(route.udtSock);
  if (!route.direct) return "r:" + route.requester;
  return ConnKey(route.conn);
}

// Runs where the reply is written, only while the peer's connection lives, so a closed
// connection's address can never inherit an accepted log-in.
void RecordOutcome(const std::string& peerKey, uint16_t result) {
  std::lock_guard<std::mutex> lock(g_stateMutex);
  if (result == kLoginAccepted)
    g_acceptedPeers.insert(peerKey);
  else
    g_acceptedPeers.erase(peerKey);
}

void SendLoginReply(const PeerRoute& route, uint16_t result) {
  const WireBytes reply = EncodeDeviceLoginReply(result);
  // UDT: one message, never dropped, not in order.
  if (SendToPeer(route, reply.data(), reply.size(), false) != 0)
    QV_LOG(kModIntranet, kLogError, "send device login reply error.");
}

// Pool task: asks the desktop program and hands the result back.
int AskDesktop(void* arg) {
  std::unique_ptr<Question> q(static_cast<Question*>(arg));
  uint16_t result = kLoginRefused;
  char answer[kLoginAnswerSize] = {};
  uint32_t decision = 1;
  if (SendUIRequest(reinterpret_cast<const char*>(q->push.data()), static_cast<int>(q->push.size()),
                    answer, static_cast<int>(sizeof answer)) == 0 &&
      DecodeDeviceLoginAnswer(reinterpret_cast<const uint8_t*>(answer), sizeof answer, decision)) {
    // Any non-zero answer refuses, whatever its width.
    result = decision == 0 ? kLoginAccepted : kLoginRefused;
  }
  {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    g_askingPeers.erase(q->peerKey);
  }
  const std::string peerKey = q->peerKey;
  DeferredReply_Finish(q->token, EncodeDeviceLoginReply(result),
                       [peerKey, result] { RecordOutcome(peerKey, result); });
  return 0;
}

void OnConnectionClosed(bufferevent* conn) {
  // First: a request still worked on a pool task then makes no entry for the connection.
  DeferredReply_OnConnectionClosed(conn);
  CloseTcpTransfers(conn);
  Download_OnConnectionClosed(conn);
  Device_OnConnectionClosed(conn);
}

}  // namespace

void Device_LoadSettings() {
  long v = 0;
  if (Service_TestSetting("ui_port", v) && v <= 65535) g_uiPort.store(static_cast<uint16_t>(v));
  if (Service_TestSetting("ui_answer_ms", v) && v > 0) g_uiAnswerMs.store(static_cast<int>(v));
}
void Device_SetUIPort(uint16_t port) { g_uiPort.store(port); }
void Device_SetUIAnswerTimeout(int ms) { g_uiAnswerMs.store(ms > 0 ? ms : 1); }

void Device_InstallHooks() {
  DeferredReply_Install();
  OS_SetConnectionClosedHook(&OnConnectionClosed);
}

void Device_OnConnectionClosed(bufferevent* conn) {
  if (!conn) return;
  std::lock_guard<std::mutex> lock(g_stateMutex);
  g_acceptedPeers.erase(ConnKey(conn));
}

int Device_OpenQuestions() {
  std::lock_guard<std::mutex> lock(g_stateMutex);
  return static_cast<int>(g_askingPeers.size());
}

std::string GetLastHeartBeatTime() {
  CMutexLock lock(g_MutexLastHBTime);
  return g_strLastHBTime;
}

int SendUIRequest(const char* message, int messageLen, char* answer, int answerLen) {
  if (!message || messageLen <= 0 || !answer || answerLen <= 0) return -1;
  const int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return -1;
  const timeval sendTimeout{kUISendTimeoutMs / 1000, (kUISendTimeoutMs % 1000) * 1000};
  setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(g_uiPort.load());
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int rc = -1;
  if (connect(sock, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
    int sent = 0;
    while (sent < messageLen) {
      const ssize_t n = send(sock, message + sent, static_cast<size_t>(messageLen - sent),
                             MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      sent += static_cast<int>(n);
    }
    if (sent == messageLen) {
      // The whole answer within the time-out, however the desktop trickles it.
      const auto deadline =
          std::chrono::steady_clock::now() + std::chrono::milliseconds(g_uiAnswerMs.load());
      int got = 0;
      while (got < answerLen) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) break;
        pollfd pfd{sock, POLLIN, 0};
        const int ready = poll(&pfd, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        const ssize_t n = recv(sock, answer + got, static_cast<size_t>(answerLen - got), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<int>(n);
      }
      if (got == answerLen) rc = 0;
    }
  }
  close(sock);
  return rc;
}

int ReqDeviceHeartBeat(const char* body, const CommandHeader* header, bufferevent* /*conn*/,
                       char** reply, int* replyLen, int* /*udtSock*/, char* /*direct*/) {
  if (!body || !header) {
    QV_LOG(kModIntranet, kLogError, "Input msg buffer pointer is null.");
    return kErrNoBody;
  }
  const WireBytes bytes = EncodeDeviceHeartBeatReply(header->param);
  char* out = new (std::nothrow) char[bytes.size()];
  if (!out) {
    QV_LOG(kModIntranet, kLogError, "Allocate memory error.");
    return kErrAllocate;
  }
  std::memcpy(out, bytes.data(), bytes.size());
  *reply = out;
  *replyLen = static_cast<int>(bytes.size());
  const std::string now = OS_GetCurTimeStr();
  CMutexLock lock(g_MutexLastHBTime);
  g_strLastHBTime = now;
  return 0;
}

int ReqShutDownSystem(const char* body, const CommandHeader* header, bufferevent* conn,
                      char** /*reply*/, int* /*replyLen*/, int* udtSock, char* direct) {
  if (!body || !header) {
    QV_LOG(kModIntranet, kLogError, "Input msg buffer pointer is null.");
    return -1;
  }
  const PeerRoute route =
      RouteOf(body, HandlerBodyLength(header, false), conn, udtSock ? *udtSock : -1,
              direct ? *direct : 1);
  {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    if (g_acceptedPeers.count(PeerKeyOf(route)) == 0) {
      QV_LOG(kModIntranet, kLogWarning, "shutdown refused: no accepted device login.");
      return -1;
    }
  }
  if (ThreadPool_TryAddTask(g_pThreadPool, PowerOffTask, nullptr) != 0) {
    QV_LOG(kModIntranet, kLogWarning, "shutdown error.");
    return -1;
  }
  return 0;
}

int ReqDeviceLogin(const char* body, const CommandHeader* header, bufferevent* conn,
                   char** /*reply*/, int* /*replyLen*/, int* udtSock, char* direct) {
  if (!body || !header) {
    QV_LOG(kModIntranet, kLogError, "Input msg buffer pointer is null.");
    return -1;
  }
  const size_t len = HandlerBodyLength(header, false);
  const PeerRoute route = RouteOf(body, len, conn, udtSock ? *udtSock : -1, direct ? *direct : 1);
  const std::string peerKey = PeerKeyOf(route);

  std::string storedEmail, storedPassword;
  GetUsernfo(storedEmail, storedPassword);
  const std::string email = FieldWithin(body, len, 0, kAccountTextSize);
  const std::string password = FieldWithin(body, len, kAccountTextSize, kAccountTextSize);
  if (!storedEmail.empty() && !storedPassword.empty() && storedEmail == email &&
      storedPassword == password) {
    RecordOutcome(peerKey, kLoginAccepted);
    SendLoginReply(route, kLoginAccepted);
    return 0;
  }

  bool admitted = false;
  {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    if (g_askingPeers.count(peerKey) == 0 &&
        g_askingPeers.size() < static_cast<size_t>(kMaxOpenQuestions)) {
      g_askingPeers.insert(peerKey);
      admitted = true;
    }
  }
  if (!admitted) {
    QV_LOG(kModIntranet, kLogWarning, "device login refused: too many open questions.");
    RecordOutcome(peerKey, kLoginRefused);
    SendLoginReply(route, kLoginRefused);
    return 0;
  }
  std::unique_ptr<Question> q(new (std::nothrow) Question);
  const uint64_t token = q ? DeferredReply_Begin(route) : 0;
  if (token != 0) {
    q->peerKey = peerKey;
    q->token = token;
    q->push = EncodeDeviceLoginPush(g_nextRequestId.fetch_add(1),
                                    reinterpret_cast<const uint8_t*>(body), len);
    if (ThreadPool_TryAddTask(g_pThreadPool, AskDesktop, q.get()) == 0) {
      q.release();  // the task owns it now
      return 0;
    }
    QV_LOG(kModIntranet, kLogWarning, "device login refused: no worker for the question.");
    DeferredReply_Finish(token, EncodeDeviceLoginReply(kLoginRefused),
                         [peerKey] { RecordOutcome(peerKey, kLoginRefused); });
  } else {
    if (!q) QV_LOG(kModUser, kLogError, "Allocate memory error.");
    RecordOutcome(peerKey, kLoginRefused);
    SendLoginReply(route, kLoginRefused);
  }
  {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    g_askingPeers.erase(peerKey);
  }
  return 0;
}
