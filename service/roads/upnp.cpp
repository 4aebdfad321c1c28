#include "service/roads/upnp.h"

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "common/log.h"
#include "common/os_layer.h"

namespace {

constexpr const char* kDescription = "Quarlo";
constexpr int kErrOnlyPermanentLeases = 725;

std::string PortText(uint16_t port) { return std::to_string(port); }

// The background rounds of UPnPMapAllAsync. The mutex is never destroyed: the round thread may
// still hold it while the process exits.
struct RoundRequest {
  uint16_t commandPort = 0, udpPort = 0, httpPort = 0;
  std::function<void(uint16_t)> done;
};
std::mutex& RoundMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}
bool g_roundRunning = false;  // under RoundMutex
bool g_roundPending = false;  // under RoundMutex
RoundRequest g_nextRound;     // under RoundMutex

// Where this round's questions go: the routers' HTTP endpoints (IPv4, network order), named
// by the discovery. Under RoundEndpointMutex; only the round thread adds, the guard reads.
// Lock order: taken under a round guard's own mutex (its watch cuts while holding it), never
// before it; nothing is taken under it.
std::mutex& RoundEndpointMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}
std::vector<std::pair<uint32_t, uint16_t>> g_roundEndpoints;

void AddRoundEndpoint(const char* url) {
  // "http://10.0.0.1:5431/rootDesc.xml"; a router named by host name is not tracked.
  if (!url || std::strncmp(url, "http://", 7) != 0) return;
  const char* host = url + 7;
  const char* endHost = host + std::strcspn(host, ":/");
  std::string hostText(host, endHost);
  long port = 80;
  if (*endHost == ':') port = std::strtol(endHost + 1, nullptr, 10);
  in_addr addr{};
  if (port <= 0 || port > 65535 || inet_pton(AF_INET, hostText.c_str(), &addr) != 1) return;
  std::lock_guard<std::mutex> lock(RoundEndpointMutex());
  g_roundEndpoints.emplace_back(addr.s_addr, htons(static_cast<uint16_t>(port)));
}

// A router that answers drop by drop keeps the library's receive loop going for ever, and it
// has no time-out of its own for a whole answer. Once the round's budget is spent, this
// process's TCP sockets to the round's routers are shut down (not closed: the library still
// owns and closes them), so the question in progress fails at once; the ones after it are
// not asked (UPnPMapAll). Nothing else of the service talks to a router's UPnP port.
int CutRouterConnections() {
  std::vector<std::pair<uint32_t, uint16_t>> endpoints;
  {
    std::lock_guard<std::mutex> lock(RoundEndpointMutex());
    endpoints = g_roundEndpoints;
  }
  if (endpoints.empty()) return 0;
  int cut = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return 0;
  while (dirent* entry = readdir(dir)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd < 0 || fd == dirfd(dir)) continue;
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int type = 0;
    socklen_t typeLen = sizeof type;
    if (getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_TYPE, &type, &typeLen) != 0 ||
        type != SOCK_STREAM)
      continue;
    if (getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &len) != 0 ||
        peer.sin_family != AF_INET)
      continue;
    for (const auto& e : endpoints) {
      if (e.first == peer.sin_addr.s_addr && e.second == peer.sin_port) {
        shutdown(static_cast<int>(fd), SHUT_RDWR);
        ++cut;
        break;
      }
    }
  }
  closedir(dir);
  return cut;
}

constexpr int kCutEveryMs = 1000;

// Cuts the round's router connections once its budget is spent, until the round has ended.
class CRoundGuard {
 public:
  CRoundGuard() {
    {
      std::lock_guard<std::mutex> lock(RoundEndpointMutex());
      g_roundEndpoints.clear();
    }
    try {
      m_thread = std::thread([this] { Watch(); });
    } catch (const std::system_error&) {
    }
  }
  ~CRoundGuard() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_done = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) m_thread.join();
  }
  CRoundGuard(const CRoundGuard&) = delete;
  CRoundGuard& operator=(const CRoundGuard&) = delete;

 private:
  void Watch() {
    std::unique_lock<std::mutex> lock(m_mutex);
    auto done = [this] { return m_done; };
    if (m_wake.wait_for(lock, std::chrono::milliseconds(kUPnPRoundBudgetMs), done)) return;
    do {
      const int cut = CutRouterConnections();
      if (cut > 0)
        QV_LOG(kModUser, kLogWarning, "UPnP round over %d ms: %d question(s) to the router cut.",
               kUPnPRoundBudgetMs, cut);
    } while (!m_wake.wait_for(lock, std::chrono::milliseconds(kCutEveryMs), done));
  }
  std::mutex m_mutex;  // guards m_done; held by the watch as it cuts: before RoundEndpointMutex
  std::condition_variable m_wake;
  bool m_done = false;
  std::thread m_thread;
};

void RunRounds() {
  for (;;) {
    RoundRequest request;
    {
      std::lock_guard<std::mutex> lock(RoundMutex());
      request = std::move(g_nextRound);
      g_nextRound = RoundRequest();
      g_roundPending = false;
    }
    if (!g_ExitFlag.load()) {
      uint16_t external = 0;
      {
        CRoundGuard guard;
        external = UPnPMapAll(request.commandPort, request.udpPort, request.httpPort);
      }
      if (request.done && !g_ExitFlag.load()) request.done(external);
    }
    std::lock_guard<std::mutex> lock(RoundMutex());
    if (!g_roundPending) {
      g_roundRunning = false;
      return;
    }
  }
}

}  // namespace

struct CUPnPGateway::Impl {
  UPNPUrls urls{};
  IGDdatas data{};
  bool haveUrls = false;
};

CUPnPGateway::CUPnPGateway() : m_impl(new Impl) {}

CUPnPGateway::~CUPnPGateway() {
  if (m_impl->haveUrls) FreeUPNPUrls(&m_impl->urls);
}

const char* CUPnPGateway::ControlUrl() const { return m_impl->urls.controlURL; }
const char* CUPnPGateway::ServiceType() const { return m_impl->data.first.servicetype; }

bool CUPnPGateway::Discover(int delayMs) {
  int error = 0;
  UPNPDev* devices = upnpDiscover(delayMs, nullptr, nullptr, UPNP_LOCAL_PORT_ANY, 0, 2, &error);
  if (!devices) {
    QV_LOG(kModUser, kLogDebug, "No IGD UPnP Device found on the network !");
    return false;
  }
  for (const UPNPDev* d = devices; d; d = d->pNext) AddRoundEndpoint(d->descURL);
  char lan[64] = {};
#if MINIUPNPC_API_VERSION >= 18
  const int rc = UPNP_GetValidIGD(devices, &m_impl->urls, &m_impl->data, lan, sizeof lan,
                                  nullptr, 0);
#else
  const int rc = UPNP_GetValidIGD(devices, &m_impl->urls, &m_impl->data, lan, sizeof lan);
#endif
  freeUPNPDevlist(devices);
  // The URLs are allocated on every non-zero answer, also for a gateway we do not use.
  if (rc != 0) m_impl->haveUrls = true;
  if (rc != 1) {
    QV_LOG(kModUser, kLogDebug, "No valid UPNP Internet Gateway Device found.");
    return false;
  }
  m_lanAddr = lan;
  AddRoundEndpoint(m_impl->urls.controlURL);
  return true;
}

uint16_t UPnPExternalPort(const std::string& lanAddr, uint16_t base) {
  const size_t dot = lanAddr.rfind('.');
  if (dot == std::string::npos || dot + 1 >= lanAddr.size() || lanAddr.size() - dot > 4) return 0;
  unsigned octet = 0;
  for (size_t i = dot + 1; i < lanAddr.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(lanAddr[i]))) return 0;
    octet = octet * 10 + unsigned(lanAddr[i] - '0');
  }
  if (octet > 255) return 0;
  return static_cast<uint16_t>(base + octet);
}

const char* UPnPCheckProtocol(const char* text) {
  if (!text) return nullptr;
  auto match = [text](const char* name) {
    for (int i = 0; i < 3; ++i)
      if (std::toupper(static_cast<unsigned char>(text[i])) != name[i]) return false;
    return text[3] == '\0' || text[3] == ' ' || text[3] == '\t';
  };
  if (match("TCP")) return "TCP";
  if (match("UDP")) return "UDP";
  return nullptr;
}

UPnPAction UPnPDecide(bool found, const std::string& client, const std::string& port,
                      const std::string& lease, const std::string& wantClient, uint16_t wantPort) {
  if (!found) return UPnPAction::kAdd;
  if (client != wantClient || port != PortText(wantPort)) return UPnPAction::kReplace;
  const long left = std::strtol(lease.c_str(), nullptr, 10);
  if (lease == "0" || left >= kUPnPRenewBelowSeconds) return UPnPAction::kKeep;
  return UPnPAction::kAdd;  // the same mapping again renews its lease
}

int UPnPDeleteMapping(const char* protocol, const char* externalPort, const CUPnPGateway& gw) {
  if (!protocol || !externalPort) {
    QV_LOG(kModUser, kLogDebug, "invalid arguments");
    return 1;
  }
  const char* proto = UPnPCheckProtocol(protocol);
  if (!proto) {
    QV_LOG(kModUser, kLogDebug, "protocol invalid");
    return 2;
  }
  const int r = UPNP_DeletePortMapping(gw.ControlUrl(), gw.ServiceType(), externalPort, proto,
                                       nullptr);
  QV_LOG(kModUser, kLogDebug, "UPNP_DeletePortMapping() returned : %d", r);
  return 0;
}

int UPnPAddMapping(const CUPnPGateway& gw, const char* internalPort, const char* externalPort,
                   const char* internalClient, const char* protocol) {
  if (!internalPort || !externalPort || !internalClient || !protocol) {
    QV_LOG(kModUser, kLogDebug, "invalid arguments");
    return 1;
  }
  const char* proto = UPnPCheckProtocol(protocol);
  if (!proto) {
    QV_LOG(kModUser, kLogDebug, "invalid protocol");
    return 2;
  }
  char external[40] = {};
  if (UPNP_GetExternalIPAddress(gw.ControlUrl(), gw.ServiceType(), external) == 0)
    QV_LOG(kModUser, kLogDebug, "ExternalIPAddress = %s", external);
  else
    QV_LOG(kModUser, kLogDebug, "GetExternalIPAddress failed.");

  const std::string lease = std::to_string(kUPnPLeaseSeconds);
  int r = UPNP_AddPortMapping(gw.ControlUrl(), gw.ServiceType(), externalPort, internalPort,
                              internalClient, kDescription, proto, nullptr, lease.c_str());
  // Some routers take only permanent mappings.
  if (r == kErrOnlyPermanentLeases)
    r = UPNP_AddPortMapping(gw.ControlUrl(), gw.ServiceType(), externalPort, internalPort,
                            internalClient, kDescription, proto, nullptr, "0");
  if (r != 0)
    QV_LOG(kModUser, kLogDebug, "AddPortMapping(%s, %s, %s) failed with code %d (%s)",
           externalPort, internalPort, internalClient, r, strupnperror(r));

  char client[40] = {}, port[6] = {}, desc[80] = {}, enabled[4] = {}, duration[16] = {};
  r = UPNP_GetSpecificPortMappingEntry(gw.ControlUrl(), gw.ServiceType(), externalPort, proto,
                                       nullptr, client, port, desc, enabled, duration);
  if (r != 0) {
    QV_LOG(kModUser, kLogDebug, "GetSpecificPortMappingEntry() failed with code %d (%s)", r,
           strupnperror(r));
  } else if (client[0]) {
    QV_LOG(kModUser, kLogDebug, "InternalIP:Port = %s:%s", client, port);
    QV_LOG(kModUser, kLogDebug, "external %s:%s %s is redirected to internal %s:%s (duration=%s)",
           external, externalPort, proto, client, port, duration);
  }
  return 0;
}

int UPnPMapPort(CUPnPGateway& gw, uint16_t internalPort, uint16_t* externalPort, bool tcp,
                bool alternative) {
  if (internalPort == 0) return -1;
  const char* proto = tcp ? "TCP" : "UDP";
  uint16_t external = internalPort;  // UDP keeps its own number outside
  if (tcp) external = UPnPExternalPort(gw.LanAddr(), alternative ? kUPnPHttpBase : kUPnPCommandBase);
  if (external == 0) {
    QV_LOG(kModUser, kLogDebug, "bad LAN address %s from the gateway.", gw.LanAddr().c_str());
    return -1;
  }
  if (externalPort) *externalPort = external;

  const std::string ext = PortText(external);
  const std::string in = PortText(internalPort);
  char client[40] = {}, port[6] = {}, desc[80] = {}, enabled[4] = {}, duration[16] = {};
  const bool found =
      UPNP_GetSpecificPortMappingEntry(gw.ControlUrl(), gw.ServiceType(), ext.c_str(), proto,
                                       nullptr, client, port, desc, enabled, duration) == 0;
  switch (UPnPDecide(found, client, port, duration, gw.LanAddr(), internalPort)) {
    case UPnPAction::kKeep:
      QV_LOG(kModUser, kLogDebug, "mapping %s %s -> %s:%s is in place.", proto, ext.c_str(),
             client, port);
      return 0;
    case UPnPAction::kReplace:
      UPnPDeleteMapping(proto, ext.c_str(), gw);
      break;
    case UPnPAction::kAdd:
      break;
  }
  return UPnPAddMapping(gw, in.c_str(), ext.c_str(), gw.LanAddr().c_str(), proto);
}

uint16_t UPnPMapAll(uint16_t commandPort, uint16_t udpPort, uint16_t httpPort) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kUPnPRoundBudgetMs);
  // A router that answers slowly costs one round its budget, never more: each question starts
  // only while budget is left, and one still running then is interrupted (CRoundGuard).
  auto overBudget = [&deadline](const char* what) {
    if (std::chrono::steady_clock::now() < deadline) return false;
    QV_LOG(kModUser, kLogWarning, "UPnP round over %d ms: %s mapping left for the next round.",
           kUPnPRoundBudgetMs, what);
    return true;
  };
  CUPnPGateway gw;
  if (!gw.Discover()) return 0;
  uint16_t commandExternal = 0;
  if (overBudget("command port")) return 0;
  UPnPMapPort(gw, commandPort, &commandExternal, true, false);
  if (overBudget("UDP")) return commandExternal;
  if (udpPort != 0) {
    uint16_t ignored = 0;
    UPnPMapPort(gw, udpPort, &ignored, false, false);
  } else {
    QV_LOG(kModUser, kLogDebug, "no peer-to-peer socket bound yet: no UDP mapping.");
  }
  if (overBudget("HTTP")) return commandExternal;
  if (httpPort != 0) {
    uint16_t httpExternal = 0;
    UPnPMapPort(gw, httpPort, &httpExternal, true, true);
  }
  return commandExternal;
}

void UPnPMapAllAsync(uint16_t commandPort, uint16_t udpPort, uint16_t httpPort,
                     std::function<void(uint16_t)> done) {
  std::lock_guard<std::mutex> lock(RoundMutex());
  g_nextRound = RoundRequest{commandPort, udpPort, httpPort, std::move(done)};
  if (g_roundRunning) {
    g_roundPending = true;
    return;
  }
  try {
    std::thread(RunRounds).detach();
    g_roundRunning = true;
  } catch (const std::system_error& e) {
    QV_LOG(kModUser, kLogError, "UPnP round thread error: %s.", e.what());
  }
}
