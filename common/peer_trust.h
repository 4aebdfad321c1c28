#pragma once
// What the PC knows of the peer behind a request: the road it came by, whether a loopback peer
// is this service's own user, whether the peer sits on one of the PC's own subnets, and the
// device log-in state of each command-server connection and UDT socket. Dispatch judges every
// request by these, so no transport can forget a rule.
#include <cstdint>
#include <string>
#include <vector>

struct AdapterInfo;

enum class Road {
  kCommand,  // a command-server connection
  kUdt,      // a peer-to-peer UDT connection
  kRelay,    // a relay data frame (the phone signed in at the central server)
  kFetched,  // upload data fetched from the central server's cache
};

struct CallerTrust {
  Road road = Road::kCommand;
  bool sameUser = false;   // loopback peer socket owned by the service's user or root
  bool ownSubnet = false;  // loopback or on one of the adapters' subnets
  const char* peer = "";   // for refusal lines
  std::string requester;   // the relay: the phone's session identity behind the frame
};

// Pure: whether ip (network order) is loopback or inside one adapter's address/netmask.
bool IsOwnSubnetAddress(uint32_t ipNetOrder, const std::vector<AdapterInfo>& adapters);
// The same against the adapters as they are now (false when they cannot be read).
bool IsOwnSubnetAddress(uint32_t ipNetOrder);

// The owner of the socket at the other end of a connected loopback TCP socket (IPv4), from
// the kernel's socket table (platform/socket_owner.h): only a connected socket its holder still
// holds tells its owner; a closed or half-open one is a stranger. waitMs > 0 waits that long
// for a connection still opening or not yet accepted (never on an event thread).
bool LoopbackPeerUid(int fd, uint32_t& uid, int waitMs = 0);
// Whether that owner is this process's user or root.
bool LoopbackPeerIsSameUser(int fd, int waitMs = 0);

enum class LoginState { kNone, kAccepted, kRefused };

// Device log-in state per connection (conn non-null) or UDT socket. The address is the peer's
// IPv4 address (network order), kept for the HTTP server's question below.
void PeerLogin_Set(const void* conn, int udtSock, uint32_t ipNetOrder, LoginState state);
LoginState PeerLogin_Get(const void* conn, int udtSock);
// The connection or socket ended: its state goes with it.
void PeerLogin_Forget(const void* conn, int udtSock);
// Whether a live connection or UDT socket from this address holds an accepted log-in.
bool PeerLogin_AddressAccepted(uint32_t ipNetOrder);
void PeerLogin_Clear();  // tests

// The same for a phone behind the relay, by the session identity the central server gave it;
// a refusal is final for that session. At most kMaxRelayLogins are kept, the oldest go first.
constexpr size_t kMaxRelayLogins = 1024;
void RelayLogin_Set(const std::string& requester, LoginState state);
LoginState RelayLogin_Get(const std::string& requester);
