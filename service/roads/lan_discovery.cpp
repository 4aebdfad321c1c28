#include "service/roads/lan_discovery.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "common/log.h"
#include "common/os_layer.h"
#include "common/periods.h"
#include "common/proto_p2p.h"
#include "common/settings.h"
#include "common/sockets.h"
#include "service/service_globals.h"

namespace {

constexpr int kSocketTimeoutMs = 5000;
constexpr int kPollSliceMs = 250;  // how soon the loop sees the exit flag
constexpr uint32_t kBroadcastAll = 0xFFFFFFFFu;

// Owned by the discovery task's thread only.
int g_BroadcastSock = kNoSocket;
uint16_t g_BroadcastPort = kDiscoveryPort;
std::map<std::string, AdapterAddress> g_AdapterMap;

}  // namespace

std::vector<uint32_t> ReplyAdaptersFor(const std::map<std::string, AdapterAddress>& adapters,
                                       uint32_t requesterNetOrder) {
  std::vector<uint32_t> out;
  for (const auto& item : adapters) {
    const AdapterAddress& a = item.second;
    if (a.addr == 0 || a.mask == 0) continue;
    if ((a.addr & a.mask) == (requesterNetOrder & a.mask)) out.push_back(a.addr);
  }
  return out;
}

int InitUdpSock(const std::string& localIp, int* sock, uint16_t port) {
  if (!sock) return -1;
  const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    QV_LOG(kModCommLib, kLogError, "init BROADPORT creat sock error.");
    return -1;
  }
  const int on = 1;
  if (setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
    const int err = errno;
    QV_LOG(kModCommLib, kLogError, "Got an error %d (%s) on init BROADPORT sock.", err,
           strerror(err));
    close(s);
    return -1;
  }
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  SetSockTimeout(s, kSocketTimeoutMs, kSocketTimeoutMs);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!localIp.empty() && inet_pton(AF_INET, localIp.c_str(), &addr.sin_addr) != 1) {
    QV_LOG(kModCommLib, kLogError, "init BROADPORT bind %s,%d error", localIp.c_str(), port);
    close(s);
    return -1;
  }
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    QV_LOG(kModCommLib, kLogError, "init BROADPORT bind %s,%d error", localIp.c_str(), port);
    close(s);
    return -1;
  }
  *sock = s;
  return 0;
}

int ParseBroadcastData(const uint8_t* data, size_t len) {
  // Only the magic and the device type decide; nothing else of a request is used.
  return IsDiscoveryRequest(data, len) ? 0 : -1;
}

int UpdateAdapterMap() {
  g_AdapterMap.clear();
  std::vector<AdapterInfo> adapters;
  if (Plat_ListAdapters(adapters) != 0) return 0;
  for (const AdapterInfo& a : adapters)
    for (const AdapterAddress& ip : a.ipv4) g_AdapterMap.emplace(Plat_Ipv4Text(ip.addr), ip);
  return 0;
}

int RevAndSendBroadcastData(const std::string& requesterIp) {
  if (g_BroadcastSock == kNoSocket) return -1;
  in_addr requester{};
  if (inet_pton(AF_INET, requesterIp.c_str(), &requester) != 1) return -1;

  DiscoveryReply reply;
  reply.sysType = g_nSysType;
  std::string password;  // read with the e-mail, never sent
  GetUsernfo(reply.email, password);
  reply.commandPort = g_LocalPort.load();
  std::string name;
  if (OS_GetHostName(name) == 0) reply.name = LocalToWire(name);
  reply.identity.assign(g_szUUID, strnlen(g_szUUID, sizeof g_szUUID));

  int result = 0;
  for (uint32_t adapter : ReplyAdaptersFor(g_AdapterMap, requester.s_addr)) {
    reply.adapterIp = ntohl(adapter);
    uint8_t bytes[kDiscoveryReplySize];
    EncodeDiscoveryReply(reply, bytes);
    int sock = kNoSocket;
    if (InitUdpSock(Plat_Ipv4Text(adapter), &sock, g_BroadcastPort) != 0) {
      result = -1;
      continue;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(g_BroadcastPort);
    to.sin_addr.s_addr = htonl(kBroadcastAll);
    if (SendToSock(&sock, static_cast<int>(sizeof bytes), reinterpret_cast<const char*>(bytes),
                   &to) != 0) {
      QV_LOG(kModCommLib, kLogDebug, "send broadcast error");
      result = -1;
    }
    CloseSock(&sock);
  }
  return result;
}

int StartBroadcastServer(void* /*unused*/) {
  if (InitUdpSock("", &g_BroadcastSock, g_BroadcastPort) != 0) {
    QV_LOG(kModCommLib, kLogError, "init BROADPORT udp socket error");
    return 0;
  }
  uint8_t buffer[kDiscoveryRequestMax];
  while (!g_ExitFlag.load()) {
    pollfd p{g_BroadcastSock, POLLIN, 0};
    if (poll(&p, 1, kPollSliceMs) <= 0) continue;
    std::memset(buffer, 0, sizeof buffer);
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    const ssize_t n = recvfrom(g_BroadcastSock, buffer, sizeof buffer, MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n < static_cast<ssize_t>(kDiscoveryRequestMin)) continue;
    if (ParseBroadcastData(buffer, static_cast<size_t>(n)) == 0) {
      UpdateAdapterMap();
      RevAndSendBroadcastData(Plat_Ipv4Text(from.sin_addr.s_addr));
      g_AdapterMap.clear();
    }
    // A short breath after every whole datagram keeps a flood from owning the thread.
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  CloseSock(&g_BroadcastSock);
  return 0;
}
