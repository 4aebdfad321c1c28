#include "service/account/device_requests.h"

#include <arpa/inet.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <udt/udt.h>
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
#include <map>
#include <set>
#include <vector>

#include "common/command_server.h"
#include "common/log.h"
#include "common/os_layer.h"
#include "common/peer_trust.h"
#include "common/proto_local_api.h"
#include "common/settings.h"
#include "common/sockets.h"
#include "common/thread_pool.h"
#include "service/core/deferred_reply.h"
#include "service/transfers/download.h"
#include "service/roads/p2p_channel.h"
#include "service/account/power_off.h"
#include "service/core/peer_send.h"
#include "service/core/request_args.h"
#include "service/service_globals.h"
#include "service/transfers/transfer_sessions.h"

namespace {

constexpr int kUISendTimeoutMs = 1000;
constexpr int kMaxQuestionsPerAddress = 2;

std::atomic<uint16_t> g_uiPort{kDefaultUIPushPort};
std::atomic<int> g_uiAnswerMs{kDefaultUIAnswerMs};

std::string g_strLastHBTime;  // under g_MutexLastHBTime

// The request id of the push: a counter, so two questions in one second stay apart.
std::atomic<uint32_t> g_nextRequestId{static_cast<uint32_t>(time(nullptr))};

// Guards the fields below. Never held while waiting for the desktop program.
std::mutex g_stateMutex;
std::set<std::string> g_askingPeers;    // peers whose question is open
std::map<std::string, int> g_askingAddresses;  // open questions of each address

// A log-in the peer repeated while its question was open: answered with that question's answer.
struct Repeat {
  PeerRoute route;
  uint64_t token = 0;
};
constexpr size_t kMaxRepeatsPerQuestion = 8;
std::map<std::string, std::vector<Repeat>> g_repeats;  // by peer key, under g_stateMutex

// One log-in question on its way to the desktop program.
struct Question {
  std::string peerKey;
  std::string addressKey;
  PeerRoute route;
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

// The peer's IPv4 address (network order) on a command connection or UDT socket; 0 when
// it has none (relay).
uint32_t PeerIpOf(const PeerRoute& route) {
  sockaddr_in peer{};
  if (route.udtSock != -1) {
    int len = sizeof peer;
    if (UDT::getpeername(route.udtSock, reinterpret_cast<sockaddr*>(&peer), &len) == UDT::ERROR)
      return 0;
    return peer.sin_family == AF_INET ? peer.sin_addr.s_addr : 0;
  }
  if (!route.direct || route.conn == nullptr) return 0;
  const int fd = static_cast<int>(bufferevent_getfd(route.conn));
  socklen_t len = sizeof peer;
  if (fd < 0 || getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0) return 0;
  return peer.sin_family == AF_INET ? peer.sin_addr.s_addr : 0;
}

// Whose open questions count together: the peer's address, or its identity behind the relay.
std::string AddressKeyOf(const PeerRoute& route) {
  if (route.udtSock == -1 && !route.direct) return "r:" + route.requester;
  return "a:" + Plat_Ipv4Text(PeerIpOf(route));
}

// Closes the question; the repeats that waited for it are handed back to be answered.
std::vector<Repeat> ForgetQuestion(const std::string& peerKey, const std::string& addressKey) {
  std::lock_guard<std::mutex> lock(g_stateMutex);
  g_askingPeers.erase(peerKey);
  auto it = g_askingAddresses.find(addressKey);
  if (it != g_askingAddresses.end() && --it->second <= 0) g_askingAddresses.erase(it);
  std::vector<Repeat> repeats;
  auto r = g_repeats.find(peerKey);
  if (r != g_repeats.end()) {
    repeats.swap(r->second);
    g_repeats.erase(r);
  }
  return repeats;
}

// Before the reply goes out (the phone's next request must find it), and for a command
// connection on its loop while it lives, so a closed connection's address can never inherit an
// accepted log-in. A command or UDT connection keeps its state with the dispatch, which serves
// nothing more after a refusal.
void RecordOutcome(const PeerRoute& route, uint16_t result) {
  if (route.udtSock == -1 && !route.direct) {
    RelayLogin_Set(route.requester, result == kLoginAccepted ? LoginState::kAccepted : LoginState::kRefused);
    return;
  }
  const uint32_t ip = PeerIpOf(route);
  const void* conn = route.udtSock != -1 ? nullptr : route.conn;
  PeerLogin_Set(conn, route.udtSock, ip,
                result == kLoginAccepted ? LoginState::kAccepted : LoginState::kRefused);
  // A UDT peer that ended meanwhile has had its state forgotten already: no stale entry.
  if (route.udtSock != -1 && UDT::getsockstate(route.udtSock) != CONNECTED)
    PeerLogin_Forget(nullptr, route.udtSock);
}

// After the reply: a direct peer (TCP or UDT) whose log-in was refused is closed once the
// refusal went out, on the LAN too: a refused connection is answered nothing more, so keeping
// it open would only leave the phone waiting on silence. A relay phone's session is the
// server's to close; the dispatch serves it nothing more.
void CloseIfRefused(const PeerRoute& route, uint16_t result) {
  if (result == kLoginAccepted) return;
  if (route.udtSock == -1 && !route.direct) {
    QV_LOG(kModIntranet, kLogInfo, "device login of a relay phone refused; served nothing more.");
    return;
  }
  const uint32_t ip = PeerIpOf(route);
  QV_LOG(kModIntranet, kLogInfo, "device login from %s refused; closing.", Plat_Ipv4Text(ip).c_str());
  if (route.udtSock != -1)
    P2P_ClosePeerWhenSent(route.udtSock);
  else
    OS_CloseWhenSent(route.conn);
}

bool LoginAccepted(const PeerRoute& route) {
  if (route.udtSock == -1 && !route.direct) return RelayLogin_Get(route.requester) == LoginState::kAccepted;
  return PeerLogin_Get(route.udtSock != -1 ? nullptr : route.conn, route.udtSock) ==
         LoginState::kAccepted;
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
  const PeerRoute route = q->route;
  // A command connection's state is written on its loop while it lives; a UDT socket's and a
  // relay identity's here, before any reply goes out and before the question closes (a repeat
  // that comes after finds the outcome, not a question to ask again).
  const bool onLoop = route.udtSock == -1 && route.direct;
  if (!onLoop) RecordOutcome(route, result);
  const std::vector<Repeat> repeats = ForgetQuestion(q->peerKey, q->addressKey);
  const WireBytes reply = EncodeDeviceLoginReply(result);
  // Every request of the peer hears the answer before a refused peer is closed. A command
  // connection never has repeats here: it is held until its reply went out.
  DeferredReply_Finish(q->token, reply, [route, result, onLoop, last = repeats.empty()] {
    if (onLoop) RecordOutcome(route, result);
    if (last) CloseIfRefused(route, result);
  });
  for (size_t i = 0; i < repeats.size(); ++i) {
    const PeerRoute again = repeats[i].route;
    DeferredReply_Finish(repeats[i].token, reply, [again, result, last = i + 1 == repeats.size()] {
      if (last) CloseIfRefused(again, result);
    });
  }
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
  PeerLogin_Forget(conn, -1);
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
  SetNoDelay(sock);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(g_uiPort.load());
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int rc = -1;
  // Any local user could listen there first: the question (the phone's e-mail) goes only to a
  // listener of the service's own user or root.
  const bool connected = connect(sock, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
  if (connected && !LoopbackPeerIsSameUser(sock, kUISendTimeoutMs)) {
    QV_LOG(kModIntranet, kLogWarning, "the listener on port %u is not this user's; not asked.",
           static_cast<unsigned>(g_uiPort.load()));
  } else if (connected) {
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
  const int udt = UdtOf(udtSock);
  const char dir = DirectOf(direct);
  const PeerRoute route = RouteOf(body, HandlerBodyLength(header, ViaRelay(udt, dir)), conn, udt, dir);
  if (!LoginAccepted(route)) {
    QV_LOG(kModIntranet, kLogWarning, "shutdown refused: no accepted device login.");
    return -1;
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
  const int udt = UdtOf(udtSock);
  const char dir = DirectOf(direct);
  const bool viaRelay = ViaRelay(udt, dir);
  const size_t len = HandlerBodyLength(header, viaRelay);
  const PeerRoute route = RouteOf(body, len, conn, udt, dir);
  const std::string peerKey = PeerKeyOf(route);
  // Through the relay the request follows the requester's identity and the inner header.
  const size_t at = viaRelay ? kRelayBodyOffset : 0;
  const char* request = len > at ? body + at : nullptr;
  const size_t requestLen = len > at ? len - at : 0;

  std::string storedEmail, storedPassword;
  GetUsernfo(storedEmail, storedPassword);
  const std::string email = FieldWithin(body, len, at, kAccountTextSize);
  const std::string password = FieldWithin(body, len, at + kAccountTextSize, kAccountTextSize);
  if (!storedEmail.empty() && !storedPassword.empty() && storedEmail == email &&
      storedPassword == password) {
    RecordOutcome(route, kLoginAccepted);
    SendLoginReply(route, kLoginAccepted);
    return 0;
  }

  const std::string addressKey = AddressKeyOf(route);
  bool admitted = false;
  {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    if (g_askingPeers.count(peerKey) != 0) {
      // A repeat while the peer's question is open waits for that question's answer; refusing
      // it would close the peer under its own open question.
      std::vector<Repeat>& waiting = g_repeats[peerKey];
      if (waiting.size() >= kMaxRepeatsPerQuestion) {
        QV_LOG(kModIntranet, kLogWarning, "device login repeated too often; the repeat is dropped.");
        return 0;
      }
      const uint64_t token = DeferredReply_Begin(route);
      if (token != 0) waiting.push_back({route, token});
      QV_LOG(kModIntranet, kLogDebug, "device login repeated; it waits for the open question.");
      return 0;
    }
    int total = 0;
    for (const auto& kv : g_askingAddresses) total += kv.second;
    auto it = g_askingAddresses.find(addressKey);
    const int ofAddress = it == g_askingAddresses.end() ? 0 : it->second;
    // Loopback is this PC itself (its tools share one address); the total still bounds it.
    const bool loopback = addressKey.compare(0, 6, "a:127.") == 0;
    if ((loopback || ofAddress < kMaxQuestionsPerAddress) && total < kMaxOpenQuestions) {
      g_askingPeers.insert(peerKey);
      ++g_askingAddresses[addressKey];
      admitted = true;
    }
  }
  if (!admitted) {
    QV_LOG(kModIntranet, kLogWarning, "device login refused: too many open questions.");
    RecordOutcome(route, kLoginRefused);
    SendLoginReply(route, kLoginRefused);
    CloseIfRefused(route, kLoginRefused);
    return 0;
  }
  std::unique_ptr<Question> q(new (std::nothrow) Question);
  const uint64_t token = q ? DeferredReply_Begin(route) : 0;
  if (token != 0) {
    q->peerKey = peerKey;
    q->addressKey = addressKey;
    q->route = route;
    q->token = token;
    q->push = EncodeDeviceLoginPush(g_nextRequestId.fetch_add(1),
                                    reinterpret_cast<const uint8_t*>(request), requestLen);
    if (ThreadPool_TryAddTask(g_pThreadPool, AskDesktop, q.get()) == 0) {
      q.release();  // the task owns it now
      return 0;
    }
    QV_LOG(kModIntranet, kLogWarning, "device login refused: no worker for the question.");
    RecordOutcome(route, kLoginRefused);
    DeferredReply_Finish(token, EncodeDeviceLoginReply(kLoginRefused),
                         [route] { CloseIfRefused(route, kLoginRefused); });
  } else {
    if (!q) QV_LOG(kModUser, kLogError, "Allocate memory error.");
    RecordOutcome(route, kLoginRefused);
    SendLoginReply(route, kLoginRefused);
    CloseIfRefused(route, kLoginRefused);
  }
  // The peer's requests are handled one after another, so nothing repeated it meanwhile; a
  // repeat would hear the same refusal.
  for (const Repeat& r : ForgetQuestion(peerKey, addressKey))
    DeferredReply_Finish(r.token, EncodeDeviceLoginReply(kLoginRefused));
  return 0;
}
