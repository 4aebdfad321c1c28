#pragma once
// A network namespace joined to this one by a veth pair: a peer whose address is not
// loopback, for tests of what only local peers may do. Removed on destruction. Needs root.
#include <cstdint>
#include <string>

class PeerNamespace {
 public:
  PeerNamespace();
  ~PeerNamespace();
  PeerNamespace(const PeerNamespace&) = delete;
  PeerNamespace& operator=(const PeerNamespace&) = delete;

  std::string Create();      // empty on success, else what failed
  int Connect(uint16_t port);  // a socket made inside, connected to the host side; -1 on failure
  const std::string& PeerIp() const { return m_peerIp; }
  const std::string& HostIp() const { return m_hostIp; }

 private:
  std::string m_ns, m_hostIf, m_peerIf, m_hostIp, m_peerIp;
  bool m_nsMade = false;
  bool m_linkMade = false;
};
