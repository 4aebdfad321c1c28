#pragma once
// Network namespaces for tests that must not touch the host's network (UPnP discovery, fixed
// ports). Needs root (CAP_SYS_ADMIN); callers skip with the reason when it is refused.
#include <sys/types.h>

#include <string>
#include <vector>

// Moves the calling thread (and every process it starts afterwards) into a fresh network
// namespace with loopback up and one veth pair 10.66.0.2/24 <-> 10.66.0.3/24, so that the
// service finds a MAC address and a LAN address. False (and why) when not permitted.
bool EnterPrivateNetwork(std::string& why);

// As EnterPrivateNetwork, but the first adapter is an ifb link that is down and still holds an
// address (10.55.0.2/24), as a laptop's unplugged Ethernet does; the veth after it carries the
// default route.
bool EnterNetworkWithDownFirstAdapter(std::string& why);

struct UPnPMappingRow {
  std::string protocol;
  int externalPort = 0;
  std::string client;
  int internalPort = 0;
  std::string description;
};

// A home router: miniupnpd in a namespace of its own, its LAN side 10.77.0.1/24 joined by a
// veth pair to a client namespace (10.77.0.100, default route via the router) where the PC
// runs; the WAN side is a second veth pair inside the router namespace. Torn down on
// destruction.
class NamespaceRouter {
 public:
  NamespaceRouter() = default;
  ~NamespaceRouter();
  NamespaceRouter(const NamespaceRouter&) = delete;
  NamespaceRouter& operator=(const NamespaceRouter&) = delete;

  // False when namespaces or miniupnpd are unavailable (why says; callers skip), or when the
  // router did not come up (Failed() is then true: callers fail).
  bool Start(std::string& why);
  // Before Start: the client namespace gets, before its link to the router, an ifb adapter
  // that is down and holds 10.55.0.2/24.
  void PutDownAdapterFirst() { m_downFirst = true; }
  bool Failed() const { return !m_failure.empty(); }
  const std::string& ClientNs() const { return m_client; }
  std::string ClientAddress() const { return "10.77.0.100"; }
  // Moves the calling thread into the client namespace.
  bool EnterClient();
  // The router's own listing of its port mappings (upnpc -l from the client namespace).
  std::vector<UPnPMappingRow> Mappings() const;
  std::string Listing() const;
  std::string DaemonLog() const;  // miniupnpd's own output (-d), one line per SOAP action

 private:
  std::string m_router, m_client, m_dir;
  pid_t m_daemon = -1;
  std::string m_failure;
  bool m_downFirst = false;
};
