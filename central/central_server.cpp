#include "central/central_server.h"

#include <arpa/inet.h>
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/listener.h>
#include <event2/thread.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <csignal>
#include <deque>
#include <map>
#include <optional>

#include "common/address_limits.h"
#include "common/log.h"
#include "common/proto_central.h"
#include "common/sockets.h"
#include "central/worker_pool.h"

namespace {

constexpr const char* kModCentral = "Central";

bool ParseIpv4(const std::string& host, uint16_t port, sockaddr_in& out) {
  out = sockaddr_in{};
  out.sin_family = AF_INET;
  out.sin_port = htons(port);
  return inet_pton(AF_INET, host.c_str(), &out.sin_addr) == 1;
}

uint16_t LocalPortOf(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (fd < 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
  return ntohs(a.sin_port);
}

}  // namespace

struct CCentralServer::Impl {
  struct Conn {
    Impl* owner = nullptr;
    uint64_t id = 0;
    bufferevent* bev = nullptr;
    std::string peerIp;
    event* delay = nullptr;
    event* retry = nullptr;        // the request goes back to the workers then
    CentralRequest retried;
    std::string retryAccount;
    int64_t retryTurn = 0;
    event* deadline = nullptr;     // the whole request must be in by then
    event* closeWatch = nullptr;   // while a worker has the request: the client leaving
    std::vector<uint8_t> pending;  // answer held back by a delay
    bool answered = false;
    std::shared_ptr<std::atomic<bool>> gone = std::make_shared<std::atomic<bool>>(false);
  };
  struct Job {
    uint64_t conn;
    CentralRequest request;
    std::shared_ptr<std::atomic<bool>> gone;
  };
  struct Done {
    uint64_t conn;
    CentralRequest request;
    CentralOutcome outcome;
  };

  CentralOptions options;
  std::map<uint16_t, ExchangeHandler> handlers;
  ICentralStreamOwner* streamOwner = nullptr;
  std::function<bool(const std::string&)> loggedOnAddress;
  std::function<void(const std::string&, const std::string&, int64_t)> abandon;
  event_base* base = nullptr;
  evconnlistener* listener = nullptr;
  int udpFd = -1;
  event* udpEvent = nullptr;
  CCentralServer::DatagramSink datagramSink;
  in_addr udpLocal{};  // the UDP socket's bound address
  event* sigTerm = nullptr;
  event* sigInt = nullptr;
  std::map<uint64_t, Conn*> conns;
  // Open connections by address; the last of the room is kept for PCs that are logged on.
  CAddressLimits<std::string> perAddress;
  uint64_t nextId = 1;

  CWorkerPool<Job, Done> workers;  // the exchanges' handlers

  void StopWatching(Conn* c) {
    if (c->deadline) event_free(c->deadline);
    if (c->closeWatch) event_free(c->closeWatch);
    c->deadline = c->closeWatch = nullptr;
  }

  void CloseConn(Conn* c) {
    c->gone->store(true);
    StopWatching(c);
    if (c->delay) event_free(c->delay);
    if (c->retry) {
      event_free(c->retry);
      if (abandon) abandon(c->peerIp, c->retryAccount, c->retryTurn);
    }
    if (c->bev) bufferevent_free(c->bev);
    perAddress.Release(c->peerIp);
    conns.erase(c->id);
    delete c;
  }

  void Send(Conn* c, const std::vector<uint8_t>& bytes) {
    c->answered = true;
    if (bytes.empty()) {
      CloseConn(c);
      return;
    }
    bufferevent_write(c->bev, bytes.data(), bytes.size());
    bufferevent_enable(c->bev, EV_WRITE);
  }

  void OnRead(Conn* c) {
    evbuffer* in = bufferevent_get_input(c->bev);
    const size_t have = evbuffer_get_length(in);
    if (have < kRelayHeaderSize) return;
    uint8_t raw[kRelayHeaderSize];
    evbuffer_copyout(in, raw, sizeof raw);
    const RelayHeader h = DecodeRelayHeader(raw);
    if (h.len < kRelayHeaderSize || h.len > options.maxTotal) {
      QV_LOG_REFUSAL(c->peerIp, kModCentral, kLogWarning, "closing %s: request total %u out of range.",
                     c->peerIp.c_str(), static_cast<unsigned>(h.len));
      CloseConn(c);
      return;
    }
    if (have < h.len) return;
    Job job{c->id, {}, c->gone};
    job.request.command = h.command;
    job.request.total = h.len;
    job.request.identity = h.identity;
    job.request.peerIp = c->peerIp;
    job.request.body.resize(h.len - kRelayHeaderSize);
    evbuffer_drain(in, kRelayHeaderSize);
    if (!job.request.body.empty()) evbuffer_remove(in, job.request.body.data(), job.request.body.size());
    // One request per connection: nothing more is read, so the read time-out stops too;
    // only the client's leaving is watched, so that its request is not worked on in vain.
    bufferevent_disable(c->bev, EV_READ);
    if (c->deadline) event_free(c->deadline);
    c->deadline = nullptr;
    c->closeWatch = event_new(base, bufferevent_getfd(c->bev), EV_CLOSED, &Impl::ClosedCb, c);
    if (c->closeWatch) event_add(c->closeWatch, nullptr);
    workers.Post(std::move(job));
  }

  // On a worker.
  std::optional<Done> Work(Job& job) {
    if (job.gone->load()) return std::nullopt;  // the client left: nobody waits for the answer
    CentralOutcome outcome;
    const auto it = handlers.find(job.request.command);
    if (it == handlers.end()) {
      outcome.status = kStatusUnknownCommand;
      outcome.reply = BuildServerReply(kStatusUnknownCommand, {});
      outcome.secretIdentity = true;  // it may be a phone's session on a stray frame
    } else {
      outcome = it->second(job.request);
    }
    return Done{job.conn, std::move(job.request), std::move(outcome)};
  }

  void OnDone(std::deque<Done>& ready) {
    for (Done& d : ready) {
      const std::string identity =
          d.outcome.secretIdentity ? std::string("(session)") : LogText(d.request.identity);
      if (d.outcome.retryMs > 0) {
        // Not answered yet: logged when it is.
      } else if (d.outcome.status == kStatusOk) {
        QV_LOG(kModCentral, kLogInfo, "exchange 0x%04X from %s identity \"%s\" total %u status 0x%04X",
               static_cast<unsigned>(d.request.command), d.request.peerIp.c_str(),
               identity.c_str(), static_cast<unsigned>(d.request.total),
               static_cast<unsigned>(d.outcome.status));
      } else {
        QV_LOG_REFUSAL(d.request.peerIp, kModCentral, kLogInfo,
                       "exchange 0x%04X from %s identity \"%s\" total %u status 0x%04X",
                       static_cast<unsigned>(d.request.command), d.request.peerIp.c_str(),
                       identity.c_str(), static_cast<unsigned>(d.request.total),
                       static_cast<unsigned>(d.outcome.status));
      }
      const auto it = conns.find(d.conn);
      if (it == conns.end()) continue;  // the client left meanwhile
      Conn* c = it->second;
      if (d.outcome.retryMs > 0 && !c->retry) {
        // Still watched for the client leaving while it waits for its turn.
        c->retried = std::move(d.request);
        c->retried.paced = true;
        c->retryAccount = d.outcome.account;
        c->retryTurn = d.outcome.turnMs;
        c->retry = evtimer_new(base, &Impl::RetryCb, c);
        const timeval tv{d.outcome.retryMs / 1000, (d.outcome.retryMs % 1000) * 1000};
        if (c->retry && evtimer_add(c->retry, &tv) == 0) continue;
        CloseConn(c);
        continue;
      }
      StopWatching(c);
      if (d.outcome.keep && streamOwner) {
        // Leaves this transport's books (and caps); the owner keeps its own.
        bufferevent* bev = c->bev;
        c->bev = nullptr;
        CloseConn(c);
        streamOwner->Adopt(bev, d.request, d.outcome);
        continue;
      }
      if (d.outcome.delayMs > 0 && !d.outcome.reply.empty()) {
        c->pending = std::move(d.outcome.reply);
        c->delay = evtimer_new(base, &Impl::DelayCb, c);
        const timeval tv{d.outcome.delayMs / 1000, (d.outcome.delayMs % 1000) * 1000};
        evtimer_add(c->delay, &tv);
        continue;
      }
      Send(c, d.outcome.reply);
    }
  }

  static void ClosedCb(evutil_socket_t, short, void* arg) {
    Conn* c = static_cast<Conn*>(arg);
    c->owner->CloseConn(c);
  }
  static void DeadlineCb(evutil_socket_t, short, void* arg) {
    Conn* c = static_cast<Conn*>(arg);
    QV_LOG_REFUSAL(c->peerIp, kModCentral, kLogWarning, "closing %s: no complete request in time.",
                   c->peerIp.c_str());
    c->owner->CloseConn(c);
  }
  static void RetryCb(evutil_socket_t, short, void* arg) {
    Conn* c = static_cast<Conn*>(arg);
    Impl* m = c->owner;
    event_free(c->retry);
    c->retry = nullptr;
    m->workers.Post(Job{c->id, std::move(c->retried), c->gone});
  }
  static void DelayCb(evutil_socket_t, short, void* arg) {
    Conn* c = static_cast<Conn*>(arg);
    c->owner->Send(c, c->pending);
  }

  static void ReadCb(bufferevent*, void* arg);
  static void WriteCb(bufferevent*, void* arg);
  static void EventCb(bufferevent*, short what, void* arg);
  static void AcceptCb(evconnlistener*, evutil_socket_t fd, sockaddr* addr, int, void* arg);
  static void SignalCb(evutil_socket_t, short, void* arg) {
    QV_LOG(kModCentral, kLogInfo, "stop requested.");
    event_base_loopexit(static_cast<Impl*>(arg)->base, nullptr);
  }
  static void UdpCb(evutil_socket_t fd, short, void* arg) {
    Impl* m = static_cast<Impl*>(arg);
    uint8_t buf[2048];
    for (;;) {
      sockaddr_in from{};
      iovec iov{buf, sizeof buf};
      alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
      msghdr msg{};
      msg.msg_name = &from;
      msg.msg_namelen = sizeof from;
      msg.msg_iov = &iov;
      msg.msg_iovlen = 1;
      msg.msg_control = control;
      msg.msg_controllen = sizeof control;
      const ssize_t n = recvmsg(fd, &msg, MSG_DONTWAIT);
      if (n < 0) break;
      // Where it was sent to: the bound address, or (bound to all) what the packet says.
      in_addr to = m->udpLocal;
      for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO) continue;
        in_pktinfo info;
        std::memcpy(&info, CMSG_DATA(c), sizeof info);
        to = info.ipi_addr;
      }
      if (m->datagramSink) m->datagramSink(buf, static_cast<size_t>(n), from, to);
    }
  }
};

void CCentralServer::Impl::ReadCb(bufferevent*, void* arg) {
  Conn* c = static_cast<Conn*>(arg);
  c->owner->OnRead(c);
}

void CCentralServer::Impl::WriteCb(bufferevent* bev, void* arg) {
  Conn* c = static_cast<Conn*>(arg);
  // The answer is out: this exchange is over.
  if (c->answered && evbuffer_get_length(bufferevent_get_output(bev)) == 0) c->owner->CloseConn(c);
}

void CCentralServer::Impl::EventCb(bufferevent*, short what, void* arg) {
  Conn* c = static_cast<Conn*>(arg);
  if (what & BEV_EVENT_TIMEOUT)
    QV_LOG_REFUSAL(c->peerIp, kModCentral, kLogWarning, "closing %s: no complete request in time.",
                   c->peerIp.c_str());
  c->owner->CloseConn(c);
}

void CCentralServer::Impl::AcceptCb(evconnlistener*, evutil_socket_t fd, sockaddr* addr, int,
                                    void* arg) {
  Impl* self = static_cast<Impl*>(arg);
  char ip[INET_ADDRSTRLEN] = "?";
  if (addr && addr->sa_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(addr)->sin_addr, ip, sizeof ip);
  const std::string peer = ip;
  // The last of the room is kept for PCs that are logged on: a crowd of strangers cannot
  // keep them from their log-ons and heartbeats.
  const bool loggedOn = self->perAddress.InReserve() && !self->perAddress.AllFull() &&
                        !self->perAddress.AddressFull(peer) && self->loggedOnAddress &&
                        self->loggedOnAddress(peer);
  if (self->perAddress.Take(peer, loggedOn) != AddressRoom::kTaken) {
    QV_LOG_REFUSAL(peer, kModCentral, kLogWarning, "refusing %s: too many connections.", ip);
    evutil_closesocket(fd);
    return;
  }
  // Each answer leaves as soon as it is written, never held for an acknowledgement.
  SetNoDelay(fd);
  bufferevent* bev = bufferevent_socket_new(self->base, fd, BEV_OPT_CLOSE_ON_FREE);
  if (!bev) {
    self->perAddress.Release(peer);
    evutil_closesocket(fd);
    return;
  }
  Conn* c = new Conn;
  c->owner = self;
  c->id = self->nextId++;
  c->bev = bev;
  c->peerIp = peer;
  self->conns[c->id] = c;
  bufferevent_setcb(bev, ReadCb, WriteCb, EventCb, c);
  const timeval idle{self->options.idleTimeoutSec, 0};
  bufferevent_set_timeouts(bev, &idle, &idle);
  // Frames are small; more than the largest frame waiting unread is not needed.
  bufferevent_setwatermark(bev, EV_READ, 0, self->options.maxTotal);
  // A byte now and then restarts the idle time-out; the request as a whole has a deadline.
  c->deadline = evtimer_new(self->base, &Impl::DeadlineCb, c);
  const timeval whole{self->options.requestDeadlineSec, 0};
  if (c->deadline) evtimer_add(c->deadline, &whole);
  bufferevent_enable(bev, EV_READ);
}

CCentralServer::CCentralServer() : m_impl(new Impl) {}

CCentralServer::~CCentralServer() {
  Impl& m = *m_impl;
  m.workers.Stop();
  while (!m.conns.empty()) m.CloseConn(m.conns.begin()->second);
  if (m.listener) evconnlistener_free(m.listener);
  for (event* e : {m.udpEvent, m.sigTerm, m.sigInt})
    if (e) event_free(e);
  if (m.udpFd >= 0) close(m.udpFd);
  if (m.base) event_base_free(m.base);
}

void CCentralServer::AddExchange(uint16_t command, ExchangeHandler handler) {
  m_impl->handlers[command] = std::move(handler);
}

void CCentralServer::SetStreamOwner(ICentralStreamOwner* owner) { m_impl->streamOwner = owner; }

void CCentralServer::SetLoggedOnAddress(std::function<bool(const std::string& ip)> test) {
  m_impl->loggedOnAddress = std::move(test);
}

void CCentralServer::SetAbandonHook(
    std::function<void(const std::string&, const std::string&, int64_t)> hook) {
  m_impl->abandon = std::move(hook);
}

event_base* CCentralServer::Base() const { return m_impl->base; }

bool CCentralServer::Start(const CentralOptions& options, std::string& error) {
  Impl& m = *m_impl;
  m.options = options;
  const auto cap = [](int n) { return static_cast<size_t>(std::max(0, n)); };
  m.perAddress.SetCaps(cap(options.maxPerAddress), cap(options.maxConnections),
                       cap(options.reservedForLoggedOn));
  evthread_use_pthreads();
  m.base = event_base_new();
  if (!m.base) {
    error = "cannot create the event loop";
    return false;
  }
  sockaddr_in tcp{};
  if (!ParseIpv4(options.listenHost, options.listenPort, tcp)) {
    error = "--listen wants an IPv4 address, not " + options.listenHost;
    return false;
  }
  m.listener = evconnlistener_new_bind(m.base, &Impl::AcceptCb, &m,
                                       LEV_OPT_CLOSE_ON_FREE | LEV_OPT_REUSEABLE, 128,
                                       reinterpret_cast<sockaddr*>(&tcp), sizeof tcp);
  if (!m.listener) {
    error = "cannot listen on " + options.listenHost + ":" + std::to_string(options.listenPort);
    return false;
  }
  sockaddr_in udp{};
  if (!ParseIpv4(options.p2pHost, options.p2pPort, udp)) {
    error = "--p2p wants an IPv4 address, not " + options.p2pHost;
    return false;
  }
  m.udpFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (m.udpFd < 0 || bind(m.udpFd, reinterpret_cast<sockaddr*>(&udp), sizeof udp) != 0) {
    error = "cannot bind UDP " + options.p2pHost + ":" + std::to_string(options.p2pPort);
    return false;
  }
  m.udpLocal = udp.sin_addr;
  const int on = 1;
  setsockopt(m.udpFd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
  m.udpEvent = event_new(m.base, m.udpFd, EV_READ | EV_PERSIST, &Impl::UdpCb, &m);
  m.sigTerm = evsignal_new(m.base, SIGTERM, &Impl::SignalCb, &m);
  m.sigInt = evsignal_new(m.base, SIGINT, &Impl::SignalCb, &m);
  if (!m.udpEvent || !m.sigTerm || !m.sigInt || event_add(m.udpEvent, nullptr) != 0 ||
      event_add(m.sigTerm, nullptr) != 0 || event_add(m.sigInt, nullptr) != 0) {
    error = "cannot set up events";
    return false;
  }
  if (!m.workers.Start(m.base, options.workers, [&m](Impl::Job& job) { return m.Work(job); },
                       [&m](std::deque<Impl::Done>& ready) { m.OnDone(ready); })) {
    error = "cannot set up events";
    return false;
  }
  return true;
}

uint16_t CCentralServer::BoundPort() const {
  return m_impl->listener ? LocalPortOf(evconnlistener_get_fd(m_impl->listener)) : 0;
}

int CCentralServer::UdpFd() const { return m_impl->udpFd; }

void CCentralServer::SetDatagramSink(DatagramSink sink) { m_impl->datagramSink = std::move(sink); }

uint16_t CCentralServer::BoundP2PPort() const { return LocalPortOf(m_impl->udpFd); }

int CCentralServer::Run() {
  event_base_dispatch(m_impl->base);
  return 0;
}

void CCentralServer::Stop() {
  if (m_impl->base) event_base_loopexit(m_impl->base, nullptr);
}

std::string LogText(const std::string& text) {
  std::string out;
  size_t n = 0;
  for (unsigned char c : text) {
    if (++n > 96) {
      out += "...";
      break;
    }
    if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') {
      out += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}
