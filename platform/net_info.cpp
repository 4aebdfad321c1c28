#include "platform/net_info.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <map>
#include <mutex>
#include <net/if.h>
#include <netinet/in.h>

#include <climits>
#include <fstream>
#include <sstream>

namespace {

std::mutex g_sourceMutex;
std::function<int(std::vector<AdapterInfo>&)> g_source;  // empty: the real machine

// An address label such as "eth0:1" belongs to the device "eth0".
std::string DeviceName(const char* ifaName) {
  std::string name = ifaName ? ifaName : "";
  const size_t colon = name.find(':');
  if (colon != std::string::npos) name.resize(colon);
  return name;
}

// RAII over the getifaddrs list.
class CIfAddrs {
 public:
  CIfAddrs() { if (getifaddrs(&m_list) != 0) m_list = nullptr; }
  ~CIfAddrs() { if (m_list) freeifaddrs(m_list); }
  CIfAddrs(const CIfAddrs&) = delete;
  CIfAddrs& operator=(const CIfAddrs&) = delete;
  const ifaddrs* Get() const { return m_list; }

 private:
  ifaddrs* m_list = nullptr;
};

// The interface of the IPv4 default route with the lowest metric ("" when there is none), from
// the kernel's routing table of this process's network namespace.
std::string DefaultRouteDevice() {
  std::ifstream in("/proc/net/route");
  std::string line, best;
  long bestMetric = LONG_MAX;
  std::getline(in, line);  // the column titles
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string iface, dest, gateway, mask;
    unsigned flags = 0;
    long refcnt = 0, use = 0, metric = 0;
    if (!(fields >> iface >> dest >> gateway >> std::hex >> flags >> std::dec >> refcnt >> use >>
          metric >> mask))
      continue;
    constexpr unsigned kRouteUp = 0x1;
    if (dest != "00000000" || mask != "00000000" || !(flags & kRouteUp)) continue;
    if (metric < bestMetric) {
      bestMetric = metric;
      best = iface;
    }
  }
  return best;
}

int ListRealAdapters(std::vector<AdapterInfo>& out) {
  out.clear();
  CIfAddrs list;
  if (!list.Get()) return -1;

  std::map<std::string, AdapterInfo> byName;
  for (const ifaddrs* ifa = list.Get(); ifa; ifa = ifa->ifa_next) {
    if (!ifa->ifa_name || (ifa->ifa_flags & IFF_LOOPBACK)) continue;
    const std::string name = DeviceName(ifa->ifa_name);
    if (name.empty()) continue;
    AdapterInfo& info = byName[name];
    if (info.name.empty()) {
      info.name = name;
      info.index = if_nametoindex(name.c_str());
    }
    // Flags of the device itself; an alias entry carries its own copy of them.
    if (ifa->ifa_name == name) {
      info.running = (ifa->ifa_flags & IFF_UP) && (ifa->ifa_flags & IFF_RUNNING);
    }
    if (!ifa->ifa_addr) continue;
    if (ifa->ifa_addr->sa_family == AF_PACKET) {
      const auto* ll = reinterpret_cast<const sockaddr_ll*>(ifa->ifa_addr);
      if (ll->sll_ifindex > 0) info.index = static_cast<unsigned>(ll->sll_ifindex);
      if (ll->sll_halen == 6) {
        std::copy(ll->sll_addr, ll->sll_addr + 6, info.mac);
        info.hasMac = true;
      }
    } else if (ifa->ifa_addr->sa_family == AF_INET) {
      AdapterAddress a;
      a.addr = reinterpret_cast<const sockaddr_in*>(ifa->ifa_addr)->sin_addr.s_addr;
      if (ifa->ifa_netmask && ifa->ifa_netmask->sa_family == AF_INET) {
        a.mask = reinterpret_cast<const sockaddr_in*>(ifa->ifa_netmask)->sin_addr.s_addr;
      }
      info.ipv4.push_back(a);
    }
  }

  const std::string routeDevice = DefaultRouteDevice();
  for (auto& entry : byName) {
    entry.second.defaultRoute = !routeDevice.empty() && entry.first == routeDevice;
    out.push_back(std::move(entry.second));
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const AdapterInfo& a, const AdapterInfo& b) { return a.index < b.index; });
  return 0;
}

}  // namespace

int Plat_ListAdapters(std::vector<AdapterInfo>& out) {
  std::function<int(std::vector<AdapterInfo>&)> source;
  {
    std::lock_guard<std::mutex> lock(g_sourceMutex);
    source = g_source;
  }
  if (source) {
    out.clear();
    return source(out);
  }
  return ListRealAdapters(out);
}

void Plat_SetAdapterSource(std::function<int(std::vector<AdapterInfo>&)> source) {
  std::lock_guard<std::mutex> lock(g_sourceMutex);
  g_source = std::move(source);
}

bool Plat_IsNetworkAlive() {
  std::vector<AdapterInfo> adapters;
  if (Plat_ListAdapters(adapters) != 0) return false;
  for (const AdapterInfo& a : adapters) {
    if (!a.running) continue;
    for (const AdapterAddress& addr : a.ipv4) {
      if (addr.addr != 0) return true;
    }
  }
  return false;
}

std::string Plat_Ipv4Text(uint32_t addrNetworkOrder) {
  const uint32_t h = ntohl(addrNetworkOrder);
  char text[16];
  std::snprintf(text, sizeof(text), "%u.%u.%u.%u", (h >> 24) & 0xffu, (h >> 16) & 0xffu,
                (h >> 8) & 0xffu, h & 0xffu);
  return text;
}
