#include "common/peer_trust.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <string>

#include "platform/net_info.h"
#include "platform/socket_owner.h"

namespace {

bool IsLoopbackIp(uint32_t ipNetOrder) { return (ntohl(ipNetOrder) >> 24) == 127; }

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

struct RelayEntry {
  LoginState state = LoginState::kNone;
  uint64_t order = 0;  // when it was first set: the oldest is dropped for a newcomer
};
std::map<std::string, RelayEntry>& RelayLogins() {  // under LoginMutex
  static auto* m = new std::map<std::string, RelayEntry>;
  return *m;
}
uint64_t g_relayOrder = 0;  // under LoginMutex

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

bool LoopbackPeerUid(int fd, uint32_t& uid, int waitMs) { return Plat_LoopbackPeerUid(fd, uid, waitMs); }

bool LoopbackPeerIsSameUser(int fd, int waitMs) { return Plat_LoopbackPeerIsSameUser(fd, waitMs); }

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

void RelayLogin_Set(const std::string& requester, LoginState state) {
  std::lock_guard<std::mutex> lock(LoginMutex());
  auto& m = RelayLogins();
  auto it = m.find(requester);
  if (it == m.end()) {
    if (m.size() >= kMaxRelayLogins) {
      auto oldest = m.begin();
      for (auto e = m.begin(); e != m.end(); ++e)
        if (e->second.order < oldest->second.order) oldest = e;
      m.erase(oldest);
    }
    it = m.emplace(requester, RelayEntry{LoginState::kNone, ++g_relayOrder}).first;
  }
  if (it->second.state != LoginState::kRefused) it->second.state = state;
}

LoginState RelayLogin_Get(const std::string& requester) {
  std::lock_guard<std::mutex> lock(LoginMutex());
  const auto it = RelayLogins().find(requester);
  return it == RelayLogins().end() ? LoginState::kNone : it->second.state;
}
