#pragma once
// A network namespace joined to this one by a veth pair: a peer whose address is not
// loopback, for tests of what only local peers may do. Removed on destruction. Needs root.
#include <cstdint>
#include <functional>
#include <string>

class PeerNamespace {
 public:
  PeerNamespace();
  ~PeerNamespace();
  PeerNamespace(const PeerNamespace&) = delete;
  PeerNamespace& operator=(const PeerNamespace&) = delete;

  std::string Create();      // empty on success, else what failed
  // A second address inside (198.18.x.y, on none of the host's subnets), routed from the host
  // through the veth pair: a phone outside the PC's own networks. Empty on success.
  std::string AddOutsideAddress();
  // A socket made inside, connected to the host side (from the given source address when not
  // empty); -1 on failure.
  int Connect(uint16_t port, const std::string& sourceIp = "");
  // Runs fn on a thread that joined the namespace (sockets it makes stay inside); false when
  // it could not join.
  bool RunInside(const std::function<void()>& fn);
  const std::string& Name() const { return m_ns; }
  const std::string& PeerIp() const { return m_peerIp; }
  const std::string& HostIp() const { return m_hostIp; }
  const std::string& OutsideIp() const { return m_outsideIp; }

 private:
  std::string m_ns, m_hostIf, m_peerIf, m_hostIp, m_peerIp, m_outsideIp;
  bool m_nsMade = false;
  bool m_linkMade = false;
};
