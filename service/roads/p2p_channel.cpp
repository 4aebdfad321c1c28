#include "service/roads/p2p_channel.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <udt/udt.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "common/opcode_registry.h"
#include "common/os_layer.h"
#include "common/peer_trust.h"
#include "common/periods.h"
#include "common/proto_p2p.h"
#include "common/request_pipeline.h"
#include "common/settings.h"
#include "common/sockets.h"
#include "common/thread_pool.h"
#include "service/service_globals.h"
#include "service/transfers/transfer_sessions.h"

struct P2PPeerEntry {
  bool started = false;
  uint32_t ip = 0;     // network order
  uint16_t port = 0;   // host order
  UDTSOCKET sock = UDT::INVALID_SOCK;
  int udpFd = -1;      // the peer's own UDP socket, owned by its UDT socket
  bool ownSubnet = false;  // on one of the PC's subnets (else it must log in first)
};

namespace {

constexpr int kPollSliceMs = 250;  // how soon loops see the exit flag
constexpr int kSockTimeoutMs = 5000;
constexpr int kUdtErrNoData = 6002;
constexpr int kUdtErrTimeout = 6003;
constexpr int kPunchRepeats = 3;
constexpr int kConnectStepMs = 5;
constexpr int kIntroductionMs = 60000;  // how long the server's introduction admits a phone
constexpr size_t kMaxIntroductions = 256;
constexpr int kFlushWaitMs = 1000;  // a refusal's last message before its peer is closed

// Immortal: threads may still hold them while the service ends.
std::mutex& PeerMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}
std::condition_variable& PeerEvent() {
  static std::condition_variable* c = new std::condition_variable;
  return *c;
}
// Under PeerMutex: the peer list, the auto-reset event's state and the addresses being
// connected (they count against the cap and are not connected twice).
std::list<P2PPeerEntry>& PeerList() {
  static std::list<P2PPeerEntry>* l = new std::list<P2PPeerEntry>;
  return *l;
}
std::vector<std::pair<uint32_t, uint16_t>>& Connecting() {
  static auto* v = new std::vector<std::pair<uint32_t, uint16_t>>;
  return *v;
}
bool g_PeerSignalled = false;

// Phones the peer-to-peer server introduced (their address, network order) and when.
std::mutex g_introMutex;
std::map<uint32_t, std::chrono::steady_clock::time_point> g_introduced;  // under g_introMutex

void RecordIntroduction(uint32_t ip) {
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> lock(g_introMutex);
  for (auto it = g_introduced.begin(); it != g_introduced.end();) {
    if (now - it->second > std::chrono::milliseconds(kIntroductionMs))
      it = g_introduced.erase(it);
    else
      ++it;
  }
  if (g_introduced.size() >= kMaxIntroductions && g_introduced.count(ip) == 0) return;
  g_introduced[ip] = now;
}

bool IntroducedRecently(uint32_t ip) {
  std::lock_guard<std::mutex> lock(g_introMutex);
  const auto it = g_introduced.find(ip);
  return it != g_introduced.end() &&
         std::chrono::steady_clock::now() - it->second <= std::chrono::milliseconds(kIntroductionMs);
}

// A punch or acknowledgement is answered (and a slot reserved) only for a phone on the home
// network or one the server introduced: anything else would let any sender fill the slots and
// aim the PC's datagrams at a forged address.
bool MayPunch(const sockaddr_in& from) {
  return IntroducedRecently(from.sin_addr.s_addr) || IsOwnSubnetAddress(from.sin_addr.s_addr);
}

// The peer-to-peer server as the heartbeat resolved it; 0 until then.
std::atomic<uint32_t> g_P2PServerIp{0};  // network order
std::atomic<uint16_t> g_P2PServerPort{0};

std::string AddrText(uint32_t ipNetOrder) { return Plat_Ipv4Text(ipNetOrder); }

sockaddr_in MakeAddr(uint32_t ipNetOrder, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = ipNetOrder;
  a.sin_port = htons(port);
  return a;
}

bool FromP2PServer(const sockaddr_in& from) {
  const uint32_t ip = g_P2PServerIp.load();
  return ip != 0 && from.sin_addr.s_addr == ip && ntohs(from.sin_port) == g_P2PServerPort.load();
}

void SendRepeated(const uint8_t* data, size_t len, const sockaddr_in& to) {
  int sock = g_P2PUdpSock.load();
  SendToSock(&sock, static_cast<int>(len), reinterpret_cast<const char*>(data), &to);
}

size_t SlotsOfAddressLocked(uint32_t ip) {
  size_t n = 0;
  for (const P2PPeerEntry& e : PeerList()) n += e.ip == ip ? 1 : 0;
  for (const auto& c : Connecting()) n += c.first == ip ? 1 : 0;
  return n;
}

bool KnownPeerLocked(uint32_t ip, uint16_t port) {
  for (const P2PPeerEntry& e : PeerList())
    if (e.ip == ip && e.port == port) return true;
  for (const auto& c : Connecting())
    if (c.first == ip && c.second == port) return true;
  return false;
}

void DropConnecting(uint32_t ip, uint16_t port) {
  std::lock_guard<std::mutex> lock(PeerMutex());
  auto& v = Connecting();
  for (auto it = v.begin(); it != v.end(); ++it) {
    if (it->first == ip && it->second == port) {
      v.erase(it);
      return;
    }
  }
}

// Points a peer's UDP socket at an address nobody sends from, before its UDT socket is
// closed: UDT closes the descriptor only later, and until then it would still take the datagrams
// of a phone that comes back from the same address.
void ParkUdpSock(int fd) {
  if (fd < 0) return;
  sockaddr_in nowhere = MakeAddr(htonl(0xC0000201), 9);  // 192.0.2.1, a documentation address
  connect(fd, reinterpret_cast<const sockaddr*>(&nowhere), sizeof nowhere);
}

void CloseUdtPeerSock(UDTSOCKET u, int fd) {
  ParkUdpSock(fd);
  UDT::close(u);
}

// A UDP socket on the P2P port that receives only this peer's datagrams.
int PeerUdpSock(const sockaddr_in& peer) {
  const uint16_t port = P2P_BoundPort();
  if (port == 0) return -1;
  const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return -1;
  const int on = 1;
  sockaddr_in local = MakeAddr(htonl(INADDR_ANY), port);
  if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      connect(s, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
    close(s);
    return -1;
  }
  return s;
}

// A rendezvous UDT socket in message mode over udpSock, which UDT owns from here on (it closes
// it with the UDT socket). The connect does not block: the caller waits for the state.
int CreateUdtSock(UDTSOCKET* out, int udpSock) {
  const UDTSOCKET u = UDT::socket(AF_INET, SOCK_DGRAM, 0);
  if (u == UDT::INVALID_SOCK) {
    close(udpSock);
    return -1;
  }
  const bool yes = true, no = false;
  const linger off{0, 0};  // a closed peer's unsent data is dropped, never waited for
  if (UDT::setsockopt(u, 0, UDT_RENDEZVOUS, &yes, sizeof yes) == UDT::ERROR ||
      UDT::setsockopt(u, 0, UDT_RCVSYN, &no, sizeof no) == UDT::ERROR ||
      UDT::setsockopt(u, 0, UDT_LINGER, &off, sizeof off) == UDT::ERROR ||
      // Every phone's socket has the same port: with reuse on, UDT mixes up their
      // multiplexers and only the first rendezvous ever completes.
      UDT::setsockopt(u, 0, UDT_REUSEADDR, &no, sizeof no) == UDT::ERROR ||
      UDT::bind2(u, udpSock) == UDT::ERROR) {
    UDT::close(u);
    close(udpSock);
    return -1;
  }
  *out = u;
  return 0;
}

// Rendezvous with the peer over a socket of its own; gives up after 6 s (UDT itself would wait
// 30 s). Runs on a pool task. 0 with the socket connected and blocking, else -1.
int ConnectUdtPeer(UDTSOCKET* out, int* udpOut, const sockaddr_in& peer) {
  const int udp = PeerUdpSock(peer);
  if (udp < 0) return -1;
  UDTSOCKET u = UDT::INVALID_SOCK;
  if (CreateUdtSock(&u, udp) != 0) return -1;
  if (UDT::connect(u, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == UDT::ERROR) {
    CloseUdtPeerSock(u, udp);
    return -1;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRendezvousTimeoutMs);
  for (;;) {
    const UDTSTATUS state = UDT::getsockstate(u);
    if (state == CONNECTED) break;
    if (state != CONNECTING || g_ExitFlag.load() || std::chrono::steady_clock::now() >= deadline) {
      CloseUdtPeerSock(u, udp);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kConnectStepMs));
  }
  // Data sockets block without a receive time-out: a finite one delays every queued message.
  const bool yes = true;
  UDT::setsockopt(u, 0, UDT_RCVSYN, &yes, sizeof yes);
  *out = u;
  *udpOut = udp;
  return 0;
}

struct ConnectJob {
  sockaddr_in peer;
  const char* okText;
  const char* errorText;
};

int ConnectTask(void* arg) {
  std::unique_ptr<ConnectJob> job(static_cast<ConnectJob*>(arg));
  const uint32_t ip = job->peer.sin_addr.s_addr;
  const uint16_t port = ntohs(job->peer.sin_port);
  UDTSOCKET u = UDT::INVALID_SOCK;
  int udp = -1;
  const bool ownSubnet = IsOwnSubnetAddress(ip);  // off the receive loop: reads the adapters
  const int rc = ConnectUdtPeer(&u, &udp, job->peer);
  if (rc != 0) {
    DropConnecting(ip, port);
    QV_LOG(kModCommLib, kLogDebug, "%s", job->errorText);
    return 0;
  }
  QV_LOG(kModCommLib, kLogDebug, "%s", job->okText);
  {
    std::lock_guard<std::mutex> lock(PeerMutex());
    auto& v = Connecting();
    for (auto it = v.begin(); it != v.end(); ++it) {
      if (it->first == ip && it->second == port) {
        v.erase(it);
        break;
      }
    }
    if (g_ExitFlag.load()) {
      CloseUdtPeerSock(u, udp);
      return 0;
    }
    P2PPeerEntry entry;
    entry.ip = ip;
    entry.port = port;
    entry.sock = u;
    entry.udpFd = udp;
    entry.ownSubnet = ownSubnet;
    PeerList().push_back(entry);
    g_PeerSignalled = true;
    PeerEvent().notify_all();
    QV_LOG(kModCommLib, kLogDebug, "p2p --- init udt ok singnal.");
  }
  return 0;
}

// Reserves the peer (one per address, at most kMaxP2PPeers) and connects on a pool task: the
// receive loop never waits for a rendezvous.
void BeginPeerConnect(const sockaddr_in& peer, const char* okText, const char* errorText) {
  const uint32_t ip = peer.sin_addr.s_addr;
  const uint16_t port = ntohs(peer.sin_port);
  {
    std::lock_guard<std::mutex> lock(PeerMutex());
    if (KnownPeerLocked(ip, port)) {
      QV_LOG(kModCommLib, kLogDebug, "p2p peer %s:%d is connected or connecting already.",
             AddrText(ip).c_str(), port);
      return;
    }
    const size_t count = PeerList().size() + Connecting().size();
    if (count >= static_cast<size_t>(kMaxP2PPeers)) {
      QV_LOG(kModCommLib, kLogWarning, "p2p peers full (%d), %s:%d refused.", kMaxP2PPeers,
             AddrText(ip).c_str(), port);
      return;
    }
    // Loopback is this PC itself: its phones-under-test and tools share one address.
    const bool loopback = (ntohl(ip) >> 24) == 127;
    if (!loopback && SlotsOfAddressLocked(ip) >= static_cast<size_t>(kMaxP2PPeersPerAddress)) {
      QV_LOG(kModCommLib, kLogWarning, "p2p peers of %s full (%d), port %d refused.",
             AddrText(ip).c_str(), kMaxP2PPeersPerAddress, port);
      return;
    }
    Connecting().emplace_back(ip, port);
  }
  auto* job = new ConnectJob{peer, okText, errorText};
  if (ThreadPool_TryAddTask(g_pThreadPool, ConnectTask, job) != 0) {
    delete job;
    DropConnecting(ip, port);
    QV_LOG(kModCommLib, kLogError, "%s", errorText);
  }
}

// Ends a peer: its open transfer first (the transfer-map mutex is released inside), then its
// entry and its UDT socket under the peer-list mutex. An entry the stopping loop took has its
// socket closed already (and its descriptor may be gone): nothing more to do.
void ClosePeer(const P2PPeerEntry& peer) {
  CloseUdtTransfers(peer.sock);
  {
    std::lock_guard<std::mutex> lock(PeerMutex());
    auto& list = PeerList();
    for (auto it = list.begin(); it != list.end(); ++it) {
      if (it->ip == peer.ip && it->port == peer.port && it->sock == peer.sock) {
        list.erase(it);
        CloseUdtPeerSock(peer.sock, peer.udpFd);
        break;
      }
    }
  }
  // After the close: a log-in recorded meanwhile sees the socket gone and forgets itself.
  PeerLogin_Forget(nullptr, peer.sock);
}

int HeartBeatPeriodMs() {
  long v = 0;
  if (Service_TestSetting("p2p_heartbeat_ms", v) && v > 0 && v < kP2PHeartBeatMs)
    return static_cast<int>(v);
  return kP2PHeartBeatMs;
}

bool ResolveFirstIpv4(const std::string& host, uint32_t& out) {
  if (host.empty()) return false;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* res = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) return false;
  out = reinterpret_cast<const sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(res);
  return true;
}

}  // namespace

uint16_t P2P_BoundPort() {
  const int sock = g_P2PUdpSock.load();
  if (sock < 0) return 0;
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (getsockname(sock, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return ntohs(addr.sin_port);
}

int InitP2PSock() {
  const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return -1;
  const int on = 1;
  sockaddr_in local = MakeAddr(htonl(INADDR_ANY), 0);
  if (SetSockTimeout(s, kSockTimeoutMs, kSockTimeoutMs) != 0 ||
      setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    close(s);
    return -1;
  }
  g_P2PUdpSock = s;
  return 0;
}

void P2P_ClosePeerWhenSent(int udtSock) {
  // What was queued (the refusal) goes out first, within a bound.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kFlushWaitMs);
  for (;;) {
    int pending = 0;
    int len = sizeof pending;
    if (UDT::getsockopt(udtSock, 0, UDT_SNDDATA, &pending, &len) == UDT::ERROR || pending <= 0 ||
        std::chrono::steady_clock::now() >= deadline)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(kConnectStepMs));
  }
  std::lock_guard<std::mutex> lock(PeerMutex());
  auto& list = PeerList();
  for (auto it = list.begin(); it != list.end(); ++it) {
    if (it->sock == udtSock) {
      // Its worker sees the receive fail and finds the entry gone.
      const P2PPeerEntry e = *it;
      list.erase(it);
      CloseUdtPeerSock(e.sock, e.udpFd);
      return;
    }
  }
}

void P2PHolePunch(const uint8_t* body, const sockaddr_in& from) {
  QV_LOG(kModCommLib, kLogDebug, "recv hole punch msg.");
  const HolePunchBody in = DecodeHolePunchBody(body);
  if (in.source != 0) {
    // Only the server may send the PC's datagrams to a third address.
    if (!FromP2PServer(from)) {
      QV_LOG(kModCommLib, kLogDebug, "hole punch msg with source %u from %s:%d is not from the p2p server, ignored.",
             in.source, AddrText(from.sin_addr.s_addr).c_str(), ntohs(from.sin_port));
      return;
    }
    QV_LOG(kModCommLib, kLogDebug, "recv p2p hole punch msg from p2p server.");
    if (in.addrA == 0 || in.portA == 0) return;
    RecordIntroduction(htonl(in.addrA));
    HolePunchBody out = in;
    out.source = 0;
    out.addrA = in.addrB;
    out.portA = in.portB;
    out.addrB = in.addrA;
    out.portB = in.portA;
    uint8_t bytes[kHolePunchSize];
    EncodeHolePunch(out, bytes);
    const sockaddr_in peer = MakeAddr(htonl(in.addrA), in.portA);
    for (int i = 0; i < kPunchRepeats; ++i) {
      SendRepeated(bytes, sizeof bytes, peer);
      SendRepeated(bytes, sizeof bytes, from);
    }
    return;
  }
  QV_LOG(kModCommLib, kLogDebug, "recv p2p hole punch msg from client.");
  if (!MayPunch(from)) {
    QV_LOG_REFUSAL(AddrText(from.sin_addr.s_addr), kModCommLib, kLogDebug,
                   "hole punch from %s:%d was not introduced, ignored.",
                   AddrText(from.sin_addr.s_addr).c_str(), ntohs(from.sin_port));
    return;
  }
  uint8_t bytes[kHoleAckSize];
  EncodeHoleAck(kP2PCmdHolePunch, {0, in.addrB, in.portB, in.addrA, ntohs(from.sin_port)}, bytes);
  for (int i = 0; i < kPunchRepeats; ++i) SendRepeated(bytes, sizeof bytes, from);
  BeginPeerConnect(from, "recv p2p hole punch msg from client, init udt ok.",
                   "recv p2p hole punch msg from client, init udt error.");
}

void P2PHoleACK(const uint8_t* body, const sockaddr_in& from) {
  const HoleAckBody ack = DecodeHoleAckBody(body);
  QV_LOG(kModCommLib, kLogDebug, "recv ack msg ip %s(%u), port %d",
         AddrText(from.sin_addr.s_addr).c_str(), static_cast<unsigned>(from.sin_addr.s_addr),
         ntohs(from.sin_port));
  if (ack.source != 0) return;
  if (!MayPunch(from)) {
    QV_LOG_REFUSAL(AddrText(from.sin_addr.s_addr), kModCommLib, kLogDebug,
                   "ack from %s:%d was not introduced, ignored.",
                   AddrText(from.sin_addr.s_addr).c_str(), ntohs(from.sin_port));
    return;
  }
  BeginPeerConnect(from, "recv ack, init udt ok.", "recv ack, init udt error.");
}

void P2PHandleDatagram(const uint8_t* data, size_t len, const sockaddr_in& from) {
  if (!data || len < kP2PHeaderSize) return;
  const P2PHeader h = DecodeP2PHeader(data);
  size_t need = 0;
  if (h.command == kP2PCmdHolePunch) {
    need = kHolePunchSize;
    if (len < need) {
      QV_LOG(kModCommLib, kLogDebug, "hole punch msg lens error: %d", static_cast<int>(len));
      return;
    }
  } else if (h.command == kP2PCmdAck) {
    need = kHoleAckSize;
    if (len < need) {
      QV_LOG(kModCommLib, kLogDebug, "ack msg lens error: %d", static_cast<int>(len));
      return;
    }
  } else {
    return;
  }
  if (h.len != len) {
    QV_LOG(kModCommLib, kLogDebug, "p2p msg of %d bytes says %u, ignored.", static_cast<int>(len), h.len);
    return;
  }
  if (h.command == kP2PCmdHolePunch) P2PHolePunch(data + kP2PHeaderSize, from);
  else P2PHoleACK(data + kP2PHeaderSize, from);
}

int SendP2PHearBeat(void* /*unused*/) {
  std::string host;
  uint16_t port = 0;
  GetP2PServerInfo(host, port);
  std::string name;
  if (OS_GetHostName(name) == 0) name = LocalToWire(name);
  uint8_t mac[6];
  ParseMacAddr(g_strMacAddr, mac);
  QV_LOG(kModCommLib, kLogInfo, "p2p heart beat started.");
  uint32_t serverIp = 0;
  while (!g_ExitFlag.load()) {
    if (ResolveFirstIpv4(host, serverIp)) break;
    QV_LOG(kModCommLib, kLogWarning, "gethostbyname error host %s", host.c_str());
    if (WaitOrExit(kP2PResolveRetryMs, g_ExitFlag)) return 0;
  }
  g_P2PServerPort = port;
  g_P2PServerIp = serverIp;
  const sockaddr_in server = MakeAddr(serverIp, port);
  while (!g_ExitFlag.load()) {
    std::string email, password;
    GetUsernfo(email, password);
    uint8_t bytes[kHeartBeatSize];
    EncodeHeartBeat(name, mac, email, bytes);
    int sock = g_P2PUdpSock.load();
    if (sock >= 0) SendToSock(&sock, static_cast<int>(sizeof bytes), reinterpret_cast<const char*>(bytes), &server);
    // The server believes a heartbeat only from a PC logged on where it comes from: after one
    // sent before a log-on, the next goes out as soon as the log-on succeeds.
    const bool loggedOn = g_nLogOnRtn.load() == 0;
    const auto start = std::chrono::steady_clock::now();
    WaitUntilOrExit(
        [&] {
          return (!loggedOn && g_nLogOnRtn.load() == 0) ||
                 std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(HeartBeatPeriodMs());
        },
        g_ExitFlag);
  }
  return 0;
}

int P2PTrans(void* /*unused*/) {
  while (!g_ExitFlag.load()) {
    std::vector<P2PPeerEntry> fresh;
    {
      std::unique_lock<std::mutex> lock(PeerMutex());
      PeerEvent().wait_for(lock, std::chrono::milliseconds(kPollSliceMs),
                           [] { return g_PeerSignalled || g_ExitFlag.load(); });
      if (!g_PeerSignalled) continue;
      g_PeerSignalled = false;
      QV_LOG(kModCommLib, kLogDebug, "p2p --- wait singnal ok.");
      for (P2PPeerEntry& e : PeerList()) {
        if (e.started) continue;
        e.started = true;
        fresh.push_back(e);
      }
    }
    // Workers are added with the lock released: at the pool's limit the add waits.
    for (const P2PPeerEntry& e : fresh) {
      QV_LOG(kModCommLib, kLogDebug, "add udt in thread");
      auto* copy = new P2PPeerEntry(e);
      if (ThreadPool_AddTask(g_pThreadPool, P2PTransThread, copy) != 0) {
        delete copy;
        ClosePeer(e);
      }
    }
  }
  return 0;
}

namespace {

// A handler's reply goes back as one UDT message.
class CUdtReplies : public IReplyChannel {
 public:
  explicit CUdtReplies(int sock) : m_sock(sock) {}
  void Send(const char* bytes, size_t len) override {
    const int n = static_cast<int>(len);
    if (UDT::sendmsg(m_sock, bytes, n, -1, true) != n)
      QV_LOG(kModCommLib, kLogDebug, "Write return message error");
  }

 private:
  int m_sock;
};

}  // namespace

int P2PTransThread(void* arg) {
  std::unique_ptr<P2PPeerEntry> entry(static_cast<P2PPeerEntry*>(arg));
  std::unique_ptr<char[]> buffer(new char[kUdtMessageMax]);
  const std::string peerText = AddrText(entry->ip);
  CallerTrust trust;
  trust.road = Road::kUdt;
  trust.ownSubnet = entry->ownSubnet;
  trust.peer = peerText.c_str();
  CUdtReplies replies(entry->sock);
  QV_LOG(kModCommLib, kLogDebug, "p2p peer %s:%d connected, sock %d.", AddrText(entry->ip).c_str(),
         entry->port, entry->sock);
  while (!g_ExitFlag.load()) {
    std::memset(buffer.get(), 0, kUdtMessageMax);
    const int n = UDT::recvmsg(entry->sock, buffer.get(), static_cast<int>(kUdtMessageMax));
    if (n == UDT::ERROR) {
      UDT::ERRORINFO& err = UDT::getlasterror();
      const int code = err.getErrorCode();
      QV_LOG(kModCommLib, kLogDebug, "======udt recv: errno = %d, errinfo = %s======", code,
             err.getErrorMessage());
      if (code == kUdtErrNoData || code == kUdtErrTimeout) continue;
      break;
    }
    if (n < static_cast<int>(kCommandHeaderSize)) {
      QV_LOG(kModCommLib, kLogDebug, "udt ==== read lens eeror");
      continue;
    }
    CommandHeader h;
    const uint8_t* msg = reinterpret_cast<const uint8_t*>(buffer.get());
    if (!UdtMessageHeader(msg, static_cast<size_t>(n), h)) {
      if (h.len > kUdtMessageMax) QV_LOG(kModCommLib, kLogDebug, "udu datasize more than 2048");
      else QV_LOG(kModCommLib, kLogDebug, "udt message of %d bytes says %u, not dispatched.", n, h.len);
      continue;
    }
    PeerRequest request;
    request.trust = trust;
    request.header = h;
    request.body = h.len > kCommandHeaderSize ? buffer.get() + kCommandHeaderSize : nullptr;
    request.bodyLen = h.len - kCommandHeaderSize;
    request.udtSock = entry->sock;
    Request_Run(request, replies);
  }
  QV_LOG(kModCommLib, kLogDebug, "p2p peer %s:%d closed, sock %d.", AddrText(entry->ip).c_str(),
         entry->port, entry->sock);
  ClosePeer(*entry);
  return 0;
}

int StartP2PClient(void* /*unused*/) {
  if (ThreadPool_AddTask(g_pThreadPool, P2PTrans, nullptr) != 0) return 0;
  if (InitP2PSock() != 0) {
    QV_LOG(kModCommLib, kLogError, "init udp socket error");
    return 0;
  }
  if (UDT::startup() == UDT::ERROR) {
    QV_LOG(kModCommLib, kLogError, "bind udt to udp socket error");
    int sock = g_P2PUdpSock.exchange(kNoSocket);
    CloseSock(&sock);
    return 0;
  }
  const uint16_t port = P2P_BoundPort();
  if (port == 0) {
    QV_LOG(kModCommLib, kLogError, "get udp bind port error");
    int sock = g_P2PUdpSock.exchange(kNoSocket);
    CloseSock(&sock);
    return 0;
  }
  if (ThreadPool_AddTask(g_pThreadPool, SendP2PHearBeat, nullptr) != 0) {
    int sock = g_P2PUdpSock.exchange(kNoSocket);
    CloseSock(&sock);
    return 0;
  }
  QV_LOG(kModCommLib, kLogInfo, "p2p client started.");
  QV_LOG(kModCommLib, kLogInfo, "p2p udp port %u.", static_cast<unsigned>(port));
  const int sock = g_P2PUdpSock.load();
  uint8_t buffer[kP2PDatagramMax];
  while (!g_ExitFlag.load()) {
    pollfd p{sock, POLLIN, 0};
    if (poll(&p, 1, kPollSliceMs) <= 0) continue;
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    const ssize_t n = recvfrom(sock, buffer, sizeof buffer, MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n < 0) continue;  // EAGAIN and the like: nothing yet
    P2PHandleDatagram(buffer, static_cast<size_t>(n), from);
  }
  // Workers block in recvmsg without a time-out: closing their sockets ends them now. The
  // entries leave the list here, so a worker does not close them a second time.
  std::list<P2PPeerEntry> open;
  {
    std::lock_guard<std::mutex> lock(PeerMutex());
    QV_LOG(kModCommLib, kLogDebug, "p2p --- exit loop singnal.");
    g_PeerSignalled = true;
    PeerEvent().notify_all();
    open.swap(PeerList());
  }
  for (const P2PPeerEntry& e : open) CloseUdtPeerSock(e.sock, e.udpFd);
  int own = g_P2PUdpSock.exchange(kNoSocket);
  CloseSock(&own);
  return 0;
}
