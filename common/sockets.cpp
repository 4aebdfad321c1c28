#include "common/sockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "common/log.h"
#include "common/settings.h"
#include "platform/socket_owner.h"

std::atomic<int> g_P2PUdpSock{kNoSocket};

namespace {

constexpr uint16_t kNoPort = 65535;
constexpr int kListenBacklog = 32;
constexpr const char* kNoMacText = "00-00-00-00-00-00";

bool HasSocket(const int* sock) { return sock && *sock >= 0; }

// First IPv4 address of the host, in network order.
bool ResolveIpv4(const char* host, in_addr& out) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* result = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &result) != 0 || !result) return false;
  bool found = false;
  for (const addrinfo* ai = result; ai; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET && ai->ai_addr) {
      out = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr;
      found = true;
      break;
    }
  }
  freeaddrinfo(result);
  return found;
}

// A connect interrupted by a signal goes on in the background: wait for its outcome.
int FinishInterruptedConnect(int fd) {
  timeval tv{};
  socklen_t len = sizeof tv;
  int waitMs = -1;
  if (getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, &len) == 0 && (tv.tv_sec || tv.tv_usec))
    waitMs = static_cast<int>(tv.tv_sec * 1000 + tv.tv_usec / 1000);
  pollfd pfd{fd, POLLOUT, 0};
  int r;
  do {
    r = poll(&pfd, 1, waitMs);
  } while (r < 0 && errno == EINTR);
  if (r <= 0) return -1;
  int error = 0;
  len = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) return -1;
  return 0;
}

timeval TimevalOfMs(int ms) {
  timeval tv{};
  if (ms > 0) {
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
  }
  return tv;
}

bool IsUsableAdapterIp(const std::string& ip) { return ip != "127.0.0.1" && ip != "0.0.0.0"; }

std::string MacText(const AdapterInfo& adapter) {
  if (!adapter.hasMac) return kNoMacText;
  char text[32];
  snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", adapter.mac[0], adapter.mac[1],
           adapter.mac[2], adapter.mac[3], adapter.mac[4], adapter.mac[5]);
  return text;
}

void AddOnce(std::vector<std::string>& list, const std::string& folder) {
  if (std::find(list.begin(), list.end(), folder) == list.end()) list.push_back(folder);
}

}  // namespace

// How long a loopback server may take to accept before its owner is told (off the event loops).
constexpr int kLoopbackOwnerWaitMs = 2000;

int SetNoDelay(int sock) {
  const int on = 1;
  return setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0 ? 0 : -1;
}

int ConnectSock(int* sock, uint16_t port, const char* host) {
  if (!HasSocket(sock) || !host || port == kNoPort) return -1;
  SetNoDelay(*sock);  // every caller exchanges requests and answers
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (!ResolveIpv4(host, addr.sin_addr)) return -1;
  if (connect(*sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return 0;
  if (errno == EINTR) return FinishInterruptedConnect(*sock);
  return -1;
}

int ConnectServerSock(int* sock, uint16_t port, const char* host) {
  if (ConnectSock(sock, port, host) != 0) return -1;
  // On loopback any local user may hold the server's port while the server is down: only a
  // listener of this user (or root) is sent a log-on's password text.
  if (Plat_IsLoopbackConnection(*sock) && !Plat_LoopbackPeerIsSameUser(*sock, kLoopbackOwnerWaitMs)) {
    QV_LOG(kModCommLib, kLogError, "port %u on this PC is held by another user's program; nothing sent.",
           static_cast<unsigned>(port));
    return -1;
  }
  return 0;
}

int ListenSock(uint16_t port, int* sock) {
  if (!sock || port == 0 || port == kNoPort) return -1;
  const bool created = *sock < 0;
  int fd = created ? socket(AF_INET, SOCK_STREAM, 0) : *sock;
  if (fd < 0) return -1;
  // A restarted service must get its port back while old connections linger in TIME_WAIT.
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(fd, kListenBacklog) != 0) {
    if (created) close(fd);
    return -1;
  }
  *sock = fd;
  return 0;
}

int RecvSock(int* sock, int count, char* buffer) {
  if (count == 0) return 0;
  if (!HasSocket(sock) || count < 0 || !buffer) return -1;
  int got = 0;
  while (got < count) {
    const ssize_t r = recv(*sock, buffer + got, static_cast<size_t>(count - got), 0);
    if (r > 0) {
      got += static_cast<int>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    return -1;  // error, time-out, or the peer closed before the count was complete
  }
  return 0;
}

int SendSock(int* sock, int count, const char* data) {
  if (!HasSocket(sock) || !data || count < 0) return -1;
  int sent = 0;
  while (sent < count) {
    const ssize_t r = send(*sock, data + sent, static_cast<size_t>(count - sent), MSG_NOSIGNAL);
    if (r > 0) {
      sent += static_cast<int>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    return -1;
  }
  return 0;
}

int SendToSock(int* sock, int count, const char* data, const sockaddr_in* to) {
  if (!HasSocket(sock) || !data || count < 0 || !to) return -1;
  int sent = 0;
  while (sent < count) {
    const ssize_t r = sendto(*sock, data + sent, static_cast<size_t>(count - sent), MSG_NOSIGNAL,
                             reinterpret_cast<const sockaddr*>(to), sizeof *to);
    if (r > 0) {
      sent += static_cast<int>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    return -1;
  }
  return 0;
}

int SendUdpToHost(const uint16_t* port, const char* data, int count, const char* host) {
  int sock = g_P2PUdpSock.load();
  if (sock < 0 || !port || !host) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(*port);
  if (!ResolveIpv4(host, addr.sin_addr)) return -1;
  return SendToSock(&sock, count, data, &addr);
}

int CloseSock(int* sock) {
  if (!HasSocket(sock)) return -1;
  shutdown(*sock, SHUT_RDWR);
  const int r = close(*sock);
  *sock = kNoSocket;
  return r == 0 ? 0 : -1;
}

std::string IpToStr(const unsigned char ip[4]) {
  char text[16];
  snprintf(text, sizeof text, "%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]);
  return text;
}

int SetSockTimeout(int sock, int recvMs, int sendMs) {
  if (sock < 0) return -1;
  const timeval recvTv = TimevalOfMs(recvMs);
  const timeval sendTv = TimevalOfMs(sendMs);
  if (setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &recvTv, sizeof recvTv) != 0) return -1;
  if (setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &sendTv, sizeof sendTv) != 0) return -1;
  return 0;
}

std::vector<AdapterInfo> PreferredAdapters(const std::vector<AdapterInfo>& adapters) {
  // The adapter that carries the default route speaks for the PC; the other adapters that are
  // up follow in their own order. A down adapter (an unplugged cable) may still hold an old
  // address and a MAC, but nothing reaches the PC through it.
  std::vector<AdapterInfo> out;
  for (const AdapterInfo& a : adapters)
    if (a.running && a.defaultRoute) out.push_back(a);
  for (const AdapterInfo& a : adapters)
    if (a.running && !a.defaultRoute) out.push_back(a);
  return out;
}

std::string LocalIpFrom(const std::vector<AdapterInfo>& adapters) {
  for (const AdapterInfo& adapter : PreferredAdapters(adapters)) {
    for (const AdapterAddress& address : adapter.ipv4) {
      const uint32_t host = ntohl(address.addr);
      if (host == 0 || (host >> 24) == 127) continue;
      return Plat_Ipv4Text(address.addr);
    }
  }
  return "";
}

int GetLoaclIp(std::string& out) {
  out.clear();
  std::vector<AdapterInfo> adapters;
  const int rc = Plat_ListAdapters(adapters);
  if (rc != 0) {
    QV_LOG(kModCommLib, kLogError, "get gethostname error return code %d.", rc);
    return -1;
  }
  out = LocalIpFrom(adapters);
  if (out.empty()) {
    QV_LOG(kModCommLib, kLogError, "get gethostbyname error.");
    return -1;
  }
  return 0;
}

int GetLocalIpAddr(uint32_t& out) {
  std::string text;
  if (GetLoaclIp(text) != 0) return -1;
  in_addr addr{};
  if (inet_pton(AF_INET, text.c_str(), &addr) != 1) return -1;
  out = addr.s_addr;
  return 0;
}

void AdapterIpListFrom(const std::vector<AdapterInfo>& adapters, std::vector<std::string>& out) {
  out.clear();
  for (const AdapterInfo& adapter : PreferredAdapters(adapters)) {
    if (adapter.ipv4.empty()) continue;
    // An adapter whose first address is unusable (not configured yet) gives nothing.
    if (!IsUsableAdapterIp(Plat_Ipv4Text(adapter.ipv4.front().addr))) continue;
    for (const AdapterAddress& address : adapter.ipv4) {
      const std::string ip = Plat_Ipv4Text(address.addr);
      if (IsUsableAdapterIp(ip)) out.push_back(ip);
    }
  }
}

void MacAddrListFrom(const std::vector<AdapterInfo>& adapters, std::vector<std::string>& out) {
  out.clear();
  for (const AdapterInfo& adapter : PreferredAdapters(adapters)) out.push_back(MacText(adapter));
  // Down adapters last: a PC that starts with every link down still gets its MAC text (and
  // starts); as soon as one link is up, its MAC comes first.
  for (const AdapterInfo& adapter : adapters)
    if (!adapter.running) out.push_back(MacText(adapter));
}

int GetAdapterIpList(std::vector<std::string>& out) {
  out.clear();
  std::vector<AdapterInfo> adapters;
  if (Plat_ListAdapters(adapters) != 0) return -1;
  AdapterIpListFrom(adapters, out);
  return 0;
}

int GetMacAddrList(std::vector<std::string>& out) {
  out.clear();
  std::vector<AdapterInfo> adapters;
  if (Plat_ListAdapters(adapters) != 0) return -1;
  MacAddrListFrom(adapters, out);
  return 0;
}

std::string GetMacAddr() {
  std::vector<std::string> macs;
  if (GetMacAddrList(macs) != 0) return "";
  for (const std::string& mac : macs) {
    if (!mac.empty() && mac != kNoMacText) return mac;
  }
  return "";
}

void DefaultDirListFrom(const DefaultDirSet& dirs, std::vector<std::string>& out) {
  for (const std::string* folder : {&dirs.def, &dirs.doc, &dirs.music, &dirs.pic, &dirs.video, &dirs.instant})
    AddOnce(out, *folder);
}

void GetDefaultDirList(std::vector<std::string>& out) {
  DefaultDirSet dirs;
  ParseDefaultDir(dirs);
  DefaultDirListFrom(dirs, out);
}
