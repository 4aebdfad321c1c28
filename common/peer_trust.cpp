#include "common/peer_trust.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "platform/net_info.h"

namespace {

constexpr int kDiagWaitMs = 1000;

bool IsLoopbackIp(uint32_t ipNetOrder) { return (ntohl(ipNetOrder) >> 24) == 127; }

// The kernel's record of the TCP socket whose local end is `local` and remote end `remote`.
bool QueryTcpSocket(const sockaddr_in& local, const sockaddr_in& remote, inet_diag_msg& out) {
  const int nl = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (nl < 0) return false;
  struct {
    nlmsghdr nlh;
    inet_diag_req_v2 req;
  } msg{};
  msg.nlh.nlmsg_len = sizeof msg;
  msg.nlh.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  msg.nlh.nlmsg_flags = NLM_F_REQUEST;
  msg.nlh.nlmsg_seq = 1;
  msg.req.sdiag_family = AF_INET;
  msg.req.sdiag_protocol = IPPROTO_TCP;
  msg.req.idiag_states = ~0u;
  msg.req.id.idiag_sport = local.sin_port;
  msg.req.id.idiag_dport = remote.sin_port;
  msg.req.id.idiag_src[0] = local.sin_addr.s_addr;
  msg.req.id.idiag_dst[0] = remote.sin_addr.s_addr;
  msg.req.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  msg.req.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  bool found = false;
  if (sendto(nl, &msg, sizeof msg, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) ==
      static_cast<ssize_t>(sizeof msg)) {
    alignas(nlmsghdr) char buffer[8192];
    pollfd p{nl, POLLIN, 0};
    if (poll(&p, 1, kDiagWaitMs) == 1) {
      const ssize_t n = recv(nl, buffer, sizeof buffer, 0);
      if (n > 0) {
        auto* h = reinterpret_cast<nlmsghdr*>(buffer);
        unsigned int left = static_cast<unsigned int>(n);
        for (; NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
          if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY) break;  // NLMSG_ERROR: not found
          if (h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) break;
          std::memcpy(&out, NLMSG_DATA(h), sizeof out);
          found = true;
          break;
        }
      }
    }
  }
  close(nl);
  return found;
}

// Time-wait and half-open sockets are reported without an owner (as uid 0): never trusted.
bool IsFullSocketState(uint8_t state) {
  return state != TCP_TIME_WAIT && state != TCP_SYN_RECV && state != 12 /* TCP_NEW_SYN_RECV */ &&
         state != TCP_CLOSE;
}

struct LoginEntry {
  uint32_t ip = 0;
  LoginState state = LoginState::kNone;
};

// Key: the connection pointer, or the UDT socket for a UDT peer.
using LoginKey = std::pair<const void*, int>;
std::mutex& LoginMutex() {
  static std::mutex* m = new std::mutex;  // immortal: threads may use it while the service ends
  return *m;
}
std::map<LoginKey, LoginEntry>& Logins() {  // under LoginMutex
  static auto* m = new std::map<LoginKey, LoginEntry>;
  return *m;
}
LoginKey KeyOf(const void* conn, int udtSock) {
  return conn != nullptr ? LoginKey{conn, -1} : LoginKey{nullptr, udtSock};
}

}  // namespace

bool IsOwnSubnetAddress(uint32_t ipNetOrder, const std::vector<AdapterInfo>& adapters) {
  if (IsLoopbackIp(ipNetOrder)) return true;
  for (const AdapterInfo& a : adapters) {
    for (const AdapterAddress& addr : a.ipv4) {
      // A mask of 0 would put the whole Internet on the LAN.
      if (addr.mask == 0 || addr.addr == 0) continue;
      if ((addr.addr & addr.mask) == (ipNetOrder & addr.mask)) return true;
    }
  }
  return false;
}

bool IsOwnSubnetAddress(uint32_t ipNetOrder) {
  if (IsLoopbackIp(ipNetOrder)) return true;
  std::vector<AdapterInfo> adapters;
  if (Plat_ListAdapters(adapters) != 0) return false;
  return IsOwnSubnetAddress(ipNetOrder, adapters);
}

bool LoopbackPeerUid(int fd, uint32_t& uid, int waitMs) {
  sockaddr_in self{}, peer{};
  socklen_t selfLen = sizeof self, peerLen = sizeof peer;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&self), &selfLen) != 0 ||
      getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) != 0)
    return false;
  if (self.sin_family != AF_INET || peer.sin_family != AF_INET) return false;
  if (!IsLoopbackIp(peer.sin_addr.s_addr)) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    inet_diag_msg msg{};
    // The peer's socket: its local end is our remote end.
    if (!QueryTcpSocket(peer, self, msg)) return false;
    if (IsFullSocketState(msg.idiag_state)) {
      uid = msg.idiag_uid;
      return true;
    }
    const bool opening = msg.idiag_state == TCP_SYN_RECV || msg.idiag_state == 12;
    if (!opening || std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

bool LoopbackPeerIsSameUser(int fd, int waitMs) {
  uint32_t uid = 0;
  if (!LoopbackPeerUid(fd, uid, waitMs)) return false;
  return uid == 0 || uid == static_cast<uint32_t>(geteuid());
}

void PeerLogin_Set(const void* conn, int udtSock, uint32_t ipNetOrder, LoginState state) {
  std::lock_guard<std::mutex> lock(LoginMutex());
  LoginEntry& e = Logins()[KeyOf(conn, udtSock)];
  e.ip = ipNetOrder;
  // A refusal is final for its connection.
  if (e.state != LoginState::kRefused) e.state = state;
}

LoginState PeerLogin_Get(const void* conn, int udtSock) {
  std::lock_guard<std::mutex> lock(LoginMutex());
  const auto it = Logins().find(KeyOf(conn, udtSock));
  return it == Logins().end() ? LoginState::kNone : it->second.state;
}

void PeerLogin_Forget(const void* conn, int udtSock) {
  std::lock_guard<std::mutex> lock(LoginMutex());
  Logins().erase(KeyOf(conn, udtSock));
}

bool PeerLogin_AddressAccepted(uint32_t ipNetOrder) {
  std::lock_guard<std::mutex> lock(LoginMutex());
  for (const auto& kv : Logins())
    if (kv.second.ip == ipNetOrder && kv.second.state == LoginState::kAccepted) return true;
  return false;
}

void PeerLogin_Clear() {
  std::lock_guard<std::mutex> lock(LoginMutex());
  Logins().clear();
}
