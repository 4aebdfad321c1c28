#include "platform/socket_owner.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace {

constexpr int kDiagWaitMs = 1000;
constexpr uint8_t kTcpNewSynRecv = 12;

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

enum class Owner { kKnown, kNotYet, kNone };

// A socket keeps its owner only while it is connected and held: established, or told by us
// that we are done (close-wait). A socket its holder closed (fin-wait, closing, time-wait) is
// an orphan the kernel reports as root's; a half-open one has no owner yet. A connection not
// yet accepted carries no inode: some kernels report it as root's, so root is believed only
// for a socket with an inode.
Owner OwnerOf(const inet_diag_msg& msg) {
  const uint8_t state = msg.idiag_state;
  if (state == TCP_SYN_RECV || state == kTcpNewSynRecv || state == TCP_SYN_SENT) return Owner::kNotYet;
  if (state != TCP_ESTABLISHED && state != TCP_CLOSE_WAIT) return Owner::kNone;
  if (msg.idiag_uid == 0 && msg.idiag_inode == 0) return Owner::kNotYet;
  return Owner::kKnown;
}

bool Endpoints(int fd, sockaddr_in& self, sockaddr_in& peer) {
  socklen_t selfLen = sizeof self, peerLen = sizeof peer;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&self), &selfLen) != 0 ||
      getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) != 0)
    return false;
  return self.sin_family == AF_INET && peer.sin_family == AF_INET;
}

}  // namespace

bool Plat_IsLoopbackConnection(int fd) {
  sockaddr_in self{}, peer{};
  return Endpoints(fd, self, peer) && IsLoopbackIp(peer.sin_addr.s_addr);
}

bool Plat_LoopbackPeerUid(int fd, uint32_t& uid, int waitMs) {
  sockaddr_in self{}, peer{};
  if (!Endpoints(fd, self, peer) || !IsLoopbackIp(peer.sin_addr.s_addr)) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    inet_diag_msg msg{};
    // The peer's socket: its local end is our remote end.
    if (!QueryTcpSocket(peer, self, msg)) return false;
    const Owner owner = OwnerOf(msg);
    if (owner == Owner::kKnown) {
      uid = msg.idiag_uid;
      return true;
    }
    if (owner == Owner::kNone || std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

bool Plat_LoopbackPeerIsSameUser(int fd, int waitMs) {
  uint32_t uid = 0;
  if (!Plat_LoopbackPeerUid(fd, uid, waitMs)) return false;
  return uid == 0 || uid == static_cast<uint32_t>(geteuid());
}
