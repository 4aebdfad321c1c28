#pragma once
// The central server's transport: one libevent thread frames requests (RelayHeader, total
// checked against 70 and a cap), enforces connection caps and time-outs, and hands each whole
// request to a few worker threads, which run the exchange's handler (database, password
// hashing: nothing slow on the event thread) and post the answer back. A request whose client
// has gone before a worker took it is dropped unserved. A command is served by the
// handler registered for it; later kinds of traffic register their own commands.
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct CentralRequest {
  uint16_t command = 0;
  uint16_t total = 0;     // as the header said (70 + body)
  std::string identity;   // the header's identity field
  std::vector<uint8_t> body;
  std::string peerIp;
  bool paced = false;     // handed back after a CentralOutcome::retryMs wait: its turn came
};

struct CentralOutcome {
  std::vector<uint8_t> reply;  // a whole answer (ServerReplyHeader and body); empty: close
  int delayMs = 0;             // held back this long before it is sent (repeated failures)
  // Not answered yet: the same request is handed to a worker again this much later, with
  // `paced` set (checks of an account paced against guessing). The client may leave meanwhile.
  int retryMs = 0;
  int64_t turnMs = 0;  // with retryMs: the turn it holds (for the abandon hook)
  uint16_t status = 0;         // for the exchange's log line
  // The connection stays open: after this outcome it belongs to the stream owner, which
  // writes `reply` itself. `account` and `session` are what the worker found or issued.
  bool keep = false;
  std::string account;
  std::string session;
  bool secretIdentity = false;  // the header's identity is a phone session: never logged
};

struct bufferevent;
struct event_base;

// Takes over connections whose first request was answered with keep (the relay, the relay
// cache, phones). Called on the event thread.
class ICentralStreamOwner {
 public:
  virtual ~ICentralStreamOwner() = default;
  virtual void Adopt(bufferevent* bev, const CentralRequest& first,
                     const CentralOutcome& outcome) = 0;
};

using ExchangeHandler = std::function<CentralOutcome(const CentralRequest&)>;

struct CentralOptions {
  std::string listenHost = "127.0.0.1";
  uint16_t listenPort = 15100;
  std::string p2pHost = "127.0.0.1";
  uint16_t p2pPort = 15101;
  int maxConnections = 256;
  int maxPerAddress = 16;
  int reservedForLoggedOn = 64;  // of maxConnections: only addresses with a logged-on PC
  int idleTimeoutSec = 10;     // a client that sends nothing for this long is dropped
  int requestDeadlineSec = 10;  // the whole first request must be in this long after accept
  unsigned maxTotal = 16384;   // largest request accepted (disk info of 55 file systems)
  int workers = 4;
};

class CCentralServer {
 public:
  CCentralServer();
  ~CCentralServer();
  CCentralServer(const CCentralServer&) = delete;
  CCentralServer& operator=(const CCentralServer&) = delete;

  void AddExchange(uint16_t command, ExchangeHandler handler);  // before Start
  void SetStreamOwner(ICentralStreamOwner* owner);              // before Start
  // Whether an address has a PC logged on (it may use the reserved room); called on the event
  // thread, before Start.
  void SetLoggedOnAddress(std::function<bool(const std::string& ip)> test);
  // Called on the event thread when a client leaves while its request waits for a retry:
  // (address, outcome.account, outcome.turnMs) give the turn back. Before Start.
  void SetAbandonHook(std::function<void(const std::string&, const std::string&, int64_t)> hook);
  event_base* Base() const;  // after Start; for the stream owner's timers
  bool Start(const CentralOptions& options, std::string& error);  // binds TCP and UDP
  uint16_t BoundPort() const;
  uint16_t BoundP2PPort() const;
  int UdpFd() const;  // the peer-to-peer UDP socket, -1 before Start
  // Called on the event thread with each datagram of the UDP port (before Start); without a
  // sink datagrams are read and dropped.
  // to: the address the datagram was sent to (this server as its sender sees it).
  using DatagramSink = std::function<void(const uint8_t* data, size_t len, const sockaddr_in& from,
                                          const in_addr& to)>;
  void SetDatagramSink(DatagramSink sink);
  int Run();    // until SIGTERM, SIGINT or Stop(); 0
  void Stop();  // from any thread

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

// Peer text for a log line: bytes outside printable ASCII as \xHH, at most 96 of them.
std::string LogText(const std::string& text);
