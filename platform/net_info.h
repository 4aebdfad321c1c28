#pragma once
// Network adapters through getifaddrs: AF_PACKET gives the MAC, AF_INET the addresses with
// their netmasks; loopback is left out. A seam lets tests supply the adapter list.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct AdapterAddress {
  uint32_t addr = 0;  // IPv4, network order
  uint32_t mask = 0;  // network order
};

struct AdapterInfo {
  std::string name;
  unsigned index = 0;
  bool running = false;  // IFF_UP and IFF_RUNNING
  bool defaultRoute = false;  // carries the IPv4 default route of the lowest metric
  std::vector<AdapterAddress> ipv4;
  unsigned char mac[6] = {0, 0, 0, 0, 0, 0};
  bool hasMac = false;
};

// Adapters in interface-index order; 0 on success, -1 when the list cannot be read.
int Plat_ListAdapters(std::vector<AdapterInfo>& out);

// Replaces the adapter source (tests); an empty function restores the real one.
void Plat_SetAdapterSource(std::function<int(std::vector<AdapterInfo>&)> source);

// Any non-loopback interface up and running with an IPv4 address.
bool Plat_IsNetworkAlive();

// "%u.%u.%u.%u" of an address in network order.
std::string Plat_Ipv4Text(uint32_t addrNetworkOrder);
