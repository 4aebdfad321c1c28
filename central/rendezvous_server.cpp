#include "central/rendezvous_server.h"

#include <arpa/inet.h>
#include <sys/random.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "common/address_limits.h"
#include "common/log.h"
#include "common/proto_p2p.h"
#include "central/central_exchanges.h"
#include "central/central_store.h"
#include "central/password.h"

namespace {

constexpr const char* kModRendezvous = "Rendezvous";

constexpr int kBelievedSec = 10;  // how long a "logged on from there" answer is reused

constexpr size_t kBelievedMax = 4096;

struct Datagram {
  std::vector<uint8_t> bytes;
  sockaddr_in from{};
  in_addr to{};  // the server's address it was sent to
  int verdict = -1;  // rendezvous requests: -1 not checked yet, 0 right password, 1 wrong
};

constexpr size_t kChecksWaitingMax = 64;  // password checks waiting for the checker thread

// A punch the server sent to where a heartbeat came from; only who receives it there can
// send its random bytes back, so a forged source never gets an entry.
struct Challenge {
  uint32_t ip = 0;    // network order
  uint16_t port = 0;  // host order
  uint8_t nonce[12] = {};
  int64_t sentMs = 0;
  std::string name;   // the computer name of the heartbeat that asked for it
};

struct PcSeen {
  std::string email, name;
  uint8_t mac[6] = {};
  uint32_t ip = 0;     // network order, as seen; 0 until a challenge came back
  uint16_t port = 0;   // host order, as seen
  int64_t seen = 0;
  std::vector<Challenge> challenges;  // sent, not answered yet
};

constexpr size_t kChallengesPerPc = 8;   // unanswered punches kept per PC
constexpr int64_t kChallengeEveryMs = 1000;  // per address and port of a PC
constexpr int64_t kChallengeLifeMs = 10000;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void NonceInto(const uint8_t nonce[12], HolePunchBody& b) {
  b.extra = static_cast<uint32_t>(nonce[0]) << 24 | static_cast<uint32_t>(nonce[1]) << 16 |
            static_cast<uint32_t>(nonce[2]) << 8 | nonce[3];
  for (int i = 0; i < 4; ++i)
    b.extraWords[i] = static_cast<uint16_t>(nonce[4 + 2 * i] << 8 | nonce[5 + 2 * i]);
}

std::string Text(const sockaddr_in& a) {
  char ip[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
  return std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
}

std::string MacKey(const uint8_t mac[6]) {
  char t[18];
  std::snprintf(t, sizeof t, "%02x%02x%02x%02x%02x%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
  return t;
}

// The MAC a PC named at its log-on, as the 6 bytes its heartbeat carries; false for none.
bool ParseMacText(const std::string& text, uint8_t out[6]) {
  ParseMacAddr(text, out);
  static const uint8_t kNone[6] = {};
  return std::memcmp(out, kNone, 6) != 0;
}

}  // namespace

struct CRendezvousServer::Impl {
  int udpFd = -1;
  uint16_t serverPort = 0;  // the UDP port, host order
  CCentralStore* store = nullptr;  // the server's own connection (its calls take its lock)
  CCentralExchanges* exchanges = nullptr;  // the texts accepted recently
  // Password hashing runs on a thread of its own, never on the datagram thread: at most one
  // check per account waits, kChecksWaitingMax in all. Guards the three fields below.
  std::thread checker;
  std::deque<Datagram> checks;
  std::set<std::string> checking;  // accounts with a check waiting
  std::thread thread;
  std::mutex mutex;  // guards queue, queuedFrom and stopping
  std::condition_variable cv;
  std::deque<Datagram> queue;
  // Datagrams waiting per source address; answers coming back from the checker are not counted.
  CAddressLimits<uint32_t> queuedFrom{kRendezvousQueuedPerAddress};
  bool stopping = false;

  // The thread's own state.
  std::map<std::string, PcSeen> pcs;  // by the identity of the logged-on PC
  // (address, port) a challenge went to -> the identity it was for: an answer is found at once.
  std::map<std::pair<uint32_t, uint16_t>, std::string> challenged;
  struct Failures {
    int count = 0;
    int64_t last = 0;
  };
  std::map<std::pair<uint32_t, std::string>, Failures> failures;  // address and account
  std::map<std::string, Failures> accountFailures;
  // (account, address) -> whether a PC of the account is logged on from there, and when read.
  // (e-mail, address) -> the answer, when it was read, the log-on count then. A "no" holds only
  // until the next log-on: a PC's heartbeat sent just before its log-on must not shut out the
  // one after it.
  struct Belief {
    bool yes = false;
    int64_t at = 0;
    uint64_t logOns = 0;
  };
  std::map<std::pair<std::string, uint32_t>, Belief> believed;
  // (e-mail, MAC, address) -> the identity whose log-on vouches for such a heartbeat ("" none).
  struct Vouch {
    std::string identity;
    int64_t at = 0;
    uint64_t logOns = 0;
  };
  std::map<std::string, Vouch> vouched;

  void Loop() {
    for (;;) {
      Datagram d;
      {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [this] { return stopping || !queue.empty(); });
        if (stopping) return;
        d = std::move(queue.front());
        queue.pop_front();
        if (d.verdict < 0) queuedFrom.Release(d.from.sin_addr.s_addr);
      }
      Handle(d);
    }
  }

  void CheckerLoop() {
    for (;;) {
      Datagram d;
      {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [this] { return stopping || !checks.empty(); });
        if (stopping) return;
        d = std::move(checks.front());
        checks.pop_front();
      }
      const RendezvousRequest req = DecodeRendezvousBody(d.bytes.data() + kP2PHeaderSize);
      std::string hash;
      const bool known = store->AccountHash(req.email, hash) == 0;
      if (!known) VerifyAgainstDummy(req.password);
      const bool right = known && VerifySecret(req.password, hash);
      if (right) exchanges->RememberGood(req.email, hash, req.password);
      d.verdict = right ? 0 : 1;
      {
        std::lock_guard<std::mutex> lock(mutex);
        checking.erase(req.email);
        queue.push_back(std::move(d));  // back to the datagram thread, past the per-address cap
      }
      cv.notify_all();
    }
  }

  // Hands a request to the checker; false when its room is taken (the request is dropped).
  bool PostCheck(const Datagram& d, const std::string& email) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (checks.size() >= kChecksWaitingMax || checking.count(email)) return false;
      checking.insert(email);
      checks.push_back(d);
    }
    cv.notify_all();
    return true;
  }

  void Handle(const Datagram& d) {
    const size_t len = d.bytes.size();
    if (len < kP2PHeaderSize) return;
    const P2PHeader h = DecodeP2PHeader(d.bytes.data());
    if (h.len != len) return;
    if (h.command == kP2PCmdHeartBeat && len == kHeartBeatSize) HeartBeat(d);
    else if (h.command == kP2PCmdRendezvous && len == kRendezvousSize) Introduce(d);
    else if (h.command == kP2PCmdHolePunch && len == kHolePunchSize) Answered(d);
  }

  // Whether a PC of the account is logged on from the address (read again every few seconds).
  bool LoggedOnFrom(const std::string& email, uint32_t ip) {
    const int64_t now = time(nullptr);
    const auto key = std::make_pair(email, ip);
    const auto it = believed.find(key);
    const uint64_t logOns = CCentralStore::LogOnCounter().load();
    if (it != believed.end() && now - it->second.at < kBelievedSec &&
        (it->second.yes || it->second.logOns == logOns))
      return it->second.yes;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &ip, text, sizeof text);
    const bool yes = store->AccountLoggedOnFrom(email, text, now - kLogOnLifeSec);
    if (believed.size() >= kBelievedMax) believed.clear();
    believed[key] = {yes, now, logOns};
    return yes;
  }

  // The logged-on PC that vouches for a heartbeat: the identity whose log-on (within its life)
  // named this account and this MAC and came from this address; "" when none. Read again every
  // few seconds; a "no" holds only until the next log-on.
  std::string Voucher(const std::string& email, const uint8_t mac[6], uint32_t ip) {
    const int64_t now = time(nullptr);
    const std::string key = email + "|" + MacKey(mac) + "|" + std::to_string(ip);
    const uint64_t logOns = CCentralStore::LogOnCounter().load();
    const auto it = vouched.find(key);
    if (it != vouched.end() && now - it->second.at < kBelievedSec &&
        (!it->second.identity.empty() || it->second.logOns == logOns))
      return it->second.identity;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &ip, text, sizeof text);
    std::string identity;
    std::vector<CentralDevice> devices;
    if (store->AccountDevices(email, devices)) {
      for (const CentralDevice& dev : devices) {
        uint8_t logged[6];
        if (dev.logOnIp == text && dev.lastLogOn >= now - kLogOnLifeSec &&
            ParseMacText(dev.mac, logged) && std::memcmp(logged, mac, 6) == 0) {
          identity = dev.identity;
          break;
        }
      }
    }
    if (vouched.size() >= kBelievedMax) vouched.clear();
    vouched[key] = {identity, now, logOns};
    return identity;
  }

  void HeartBeat(const Datagram& d) {
    const HeartBeatInfo info = DecodeHeartBeatBody(d.bytes.data() + kP2PHeaderSize);
    if (info.email.empty()) return;
    const uint32_t ip = d.from.sin_addr.s_addr;
    // Only the PC's own log-on speaks for its heartbeat: the same account and MAC, logged on
    // from this address. Anything else neither moves a PC nor takes room, and one entry per
    // logged-on PC is all the table ever holds.
    const std::string identity = Voucher(info.email, info.mac, ip);
    if (identity.empty()) {
      QV_LOG_REFUSAL(Text(d.from), kModRendezvous, kLogWarning,
                     "heartbeat of \"%s\" from %s ignored: no PC of the account logged on there with that MAC.",
                     LogText(info.email).c_str(), Text(d.from).c_str());
      return;
    }
    const int64_t now = time(nullptr);
    auto found = pcs.find(identity);
    if (found == pcs.end()) {
      size_t ofAccount = 0, ofAddress = 0;
      auto count = [&] {
        ofAccount = ofAddress = 0;
        for (const auto& item : pcs) {
          ofAccount += item.second.email == info.email;
          ofAddress += item.second.ip == ip;
        }
      };
      count();
      if (pcs.size() >= kRendezvousPcsMax || ofAccount >= kRendezvousPcsPerKey ||
          ofAddress >= kRendezvousPcsPerKey) {
        Forget();
        count();
      }
      if (pcs.size() >= kRendezvousPcsMax || ofAccount >= kRendezvousPcsPerKey ||
          ofAddress >= kRendezvousPcsPerKey)
        return;
      found = pcs.emplace(identity, PcSeen{}).first;
    }
    PcSeen& pc = found->second;
    if (pc.email != info.email || std::memcmp(pc.mac, info.mac, 6) != 0) {
      // A new log-on of the identity (another account, another adapter): heard anew.
      pc = PcSeen{};
      pc.email = info.email;
      std::memcpy(pc.mac, info.mac, 6);
    }
    const uint16_t port = ntohs(d.from.sin_port);
    if (pc.ip == ip && pc.port == port) {  // where the PC answered from before
      pc.name = info.name;
      pc.seen = now;
      return;
    }
    if (Holds(pc, ip, port, now, d.from)) return;
    // Anywhere else is taken only once a punch sent there comes back.
    const int64_t nowMs = NowMs();
    for (const Challenge& c : pc.challenges)
      if (c.ip == ip && c.port == port && nowMs - c.sentMs < kChallengeEveryMs) return;
    if (d.to.s_addr == 0 || serverPort == 0) return;
    Challenge c;
    c.ip = ip;
    c.port = port;
    c.sentMs = nowMs;
    c.name = info.name;
    size_t got = 0;
    while (got < sizeof c.nonce) {
      const ssize_t n = getrandom(c.nonce + got, sizeof c.nonce - got, 0);
      if (n > 0) got += static_cast<size_t>(n);
    }
    if (pc.challenges.size() >= kChallengesPerPc) {
      const auto old = challenged.find({pc.challenges.front().ip, pc.challenges.front().port});
      if (old != challenged.end() && old->second == identity) challenged.erase(old);
      pc.challenges.erase(pc.challenges.begin());
    }
    pc.challenges.push_back(c);
    // Stale keys (a PC forgotten meanwhile) are checked against the PC's own list on use.
    if (challenged.size() >= kRendezvousPcsMax * kChallengesPerPc) challenged.clear();
    challenged[{ip, port}] = identity;
    // The PC sends it back to the server (and to address A, here the server too).
    HolePunchBody punch;
    punch.source = 1;
    punch.addrA = ntohl(d.to.s_addr);
    punch.portA = serverPort;
    punch.addrB = ntohl(ip);
    punch.portB = port;
    NonceInto(c.nonce, punch);
    uint8_t bytes[kHolePunchSize];
    EncodeHolePunch(punch, bytes);
    sendto(udpFd, bytes, sizeof bytes, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&d.from),
           sizeof d.from);
  }

  // What a PC holds is not moved by another port of the same address while the PC keeps it
  // fresh; a new log-on address (the vouch moved) takes it once it answers.
  bool Holds(const PcSeen& pc, uint32_t ip, uint16_t port, int64_t now, const sockaddr_in& from) {
    if (pc.ip != ip || pc.port == port || now - pc.seen > kRendezvousPcFreshSec) return false;
    QV_LOG_REFUSAL(Text(from), kModRendezvous, kLogWarning,
                   "heartbeat of \"%s\" from %s ignored: the PC is heard from another port.",
                   LogText(pc.email).c_str(), Text(from).c_str());
    return true;
  }

  // A PC's copy of the server's punch: the answer to a challenge.
  void Answered(const Datagram& d) {
    const HolePunchBody b = DecodeHolePunchBody(d.bytes.data() + kP2PHeaderSize);
    if (b.source != 0) return;
    const uint32_t ip = d.from.sin_addr.s_addr;
    const uint16_t port = ntohs(d.from.sin_port);
    const int64_t nowMs = NowMs();
    const auto key = challenged.find({ip, port});
    if (key == challenged.end()) return;
    const std::string identity = key->second;  // a wrong answer does not spend the challenge
    const auto item = pcs.find(identity);
    if (item == pcs.end()) return;
    {
      PcSeen& pc = item->second;
      for (auto c = pc.challenges.begin(); c != pc.challenges.end(); ++c) {
        if (c->ip != ip || c->port != port || nowMs - c->sentMs > kChallengeLifeMs) continue;
        HolePunchBody expected;
        NonceInto(c->nonce, expected);
        if (expected.extra != b.extra ||
            std::memcmp(expected.extraWords, b.extraWords, sizeof b.extraWords) != 0)
          continue;
        const std::string name = c->name;
        pc.challenges.erase(c);
        challenged.erase(key);
        const int64_t now = time(nullptr);
        // The vouch may have moved since the punch went out.
        if (Voucher(pc.email, pc.mac, ip) != identity || Holds(pc, ip, port, now, d.from))
          return;
        pc.name = name;
        pc.ip = ip;
        pc.port = port;
        pc.seen = now;
        QV_LOG(kModRendezvous, kLogInfo, "heartbeat of %s (%s) from %s", LogText(pc.email).c_str(),
               LogText(name).c_str(), Text(d.from).c_str());
        return;
      }
    }
  }

  void Forget() {
    const int64_t now = time(nullptr);
    for (auto it = pcs.begin(); it != pcs.end();) {
      if (now - it->second.seen > kRendezvousPcFreshSec) it = pcs.erase(it);
      else ++it;
    }
  }

  // Checks for this account from this address wait: too many wrong passwords.
  bool Paused(uint32_t ip, const std::string& email) {
    const int64_t now = time(nullptr);
    for (auto it = failures.begin(); it != failures.end();)
      it = now - it->second.last > kRendezvousPauseSec ? failures.erase(it) : std::next(it);
    for (auto it = accountFailures.begin(); it != accountFailures.end();)
      it = now - it->second.last > kRendezvousPauseSec ? accountFailures.erase(it) : std::next(it);
    const auto f = failures.find({ip, email});
    if (f != failures.end() && f->second.count >= kRendezvousFailuresMax) return true;
    const auto a = accountFailures.find(email);
    return a != accountFailures.end() && a->second.count >= kRendezvousAccountFailuresMax &&
           !LoggedOnFrom(email, ip);
  }

  void CountFailure(uint32_t ip, const std::string& email) {
    // A forged request from the address of the account's own PC never pauses that address.
    if (LoggedOnFrom(email, ip)) return;
    const int64_t now = time(nullptr);
    if (failures.size() >= kBelievedMax) failures.clear();
    if (accountFailures.size() >= kBelievedMax) accountFailures.clear();
    Failures& f = failures[{ip, email}];
    ++f.count;
    f.last = now;
    Failures& a = accountFailures[email];
    ++a.count;
    a.last = now;
  }

  void Answer(const sockaddr_in& to, const HoleAckBody& body) {
    uint8_t bytes[kHoleAckSize];
    EncodeHoleAck(kP2PCmdAck, body, bytes);
    sendto(udpFd, bytes, sizeof bytes, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }

  void Introduce(const Datagram& d) {
    const uint32_t phoneIp = d.from.sin_addr.s_addr;
    const uint16_t phonePort = ntohs(d.from.sin_port);
    // A refusal (account, password, empty fields) is all zero behind source 2; a right request
    // that finds no PC online names no PC but the phone as seen, behind source 1.
    HoleAckBody refused;
    refused.source = kRendezvousRefused;
    const RendezvousRequest req = DecodeRendezvousBody(d.bytes.data() + kP2PHeaderSize);
    if (req.email.empty() || req.password.empty()) {
      QV_LOG_REFUSAL(Text(d.from), kModRendezvous, kLogWarning,
                     "rendezvous from %s refused: empty account or password.", Text(d.from).c_str());
      Answer(d.from, refused);
      return;
    }
    // A text accepted recently is right without hashing, and passes any pause (the pauses are
    // against guesses); anything else is hashed on the checker thread and comes back here with
    // its verdict.
    const bool known = d.verdict < 0 && exchanges->KnownGood(req.email, req.password);
    if (!known && d.verdict != 0 && Paused(phoneIp, req.email)) return;
    if (d.verdict < 0) {
      if (!known) {
        if (!PostCheck(d, req.email))
          QV_LOG_REFUSAL(Text(d.from), kModRendezvous, kLogWarning,
                         "rendezvous for \"%s\" from %s dropped: a check of it is waiting.",
                         LogText(req.email).c_str(), Text(d.from).c_str());
        return;
      }
    } else if (d.verdict != 0) {
      CountFailure(phoneIp, req.email);
      QV_LOG_REFUSAL(Text(d.from), kModRendezvous, kLogWarning,
                     "rendezvous for \"%s\" from %s refused: account or password.",
                     LogText(req.email).c_str(), Text(d.from).c_str());
      Answer(d.from, refused);
      return;
    }
    failures.erase({phoneIp, req.email});
    const bool anyPc = MacKey(req.mac) == "000000000000";
    const int64_t now = time(nullptr);
    const PcSeen* best = nullptr;
    for (const auto& item : pcs) {
      const PcSeen& pc = item.second;
      if (pc.email != req.email || pc.ip == 0 || now - pc.seen > kRendezvousPcFreshSec) continue;
      if (!anyPc && std::memcmp(pc.mac, req.mac, 6) != 0) continue;
      if (Voucher(pc.email, pc.mac, pc.ip) != item.first) continue;  // logged out or moved
      if (!best || pc.seen > best->seen) best = &pc;
    }
    if (!best) {
      QV_LOG(kModRendezvous, kLogInfo, "rendezvous for %s from %s: no PC of the account is there.",
             LogText(req.email).c_str(), Text(d.from).c_str());
      Answer(d.from, {kRendezvousIntroduced, 0, 0, ntohl(phoneIp), phonePort});
      return;
    }
    HolePunchBody punch;
    punch.source = 1;
    punch.addrA = ntohl(phoneIp);
    punch.portA = phonePort;
    punch.addrB = ntohl(best->ip);
    punch.portB = best->port;
    uint8_t bytes[kHolePunchSize];
    EncodeHolePunch(punch, bytes);
    sockaddr_in pcAddr{};
    pcAddr.sin_family = AF_INET;
    pcAddr.sin_addr.s_addr = best->ip;
    pcAddr.sin_port = htons(best->port);
    sendto(udpFd, bytes, sizeof bytes, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&pcAddr), sizeof pcAddr);
    Answer(d.from, {kRendezvousIntroduced, ntohl(best->ip), best->port, ntohl(phoneIp), phonePort});
    QV_LOG(kModRendezvous, kLogInfo, "introduced %s to %s (%s)", Text(d.from).c_str(),
           Text(pcAddr).c_str(), LogText(best->name).c_str());
  }
};

CRendezvousServer::CRendezvousServer() : m_impl(new Impl) {}

CRendezvousServer::~CRendezvousServer() { Stop(); }

bool CRendezvousServer::Start(CCentralExchanges& exchanges, int udpFd, std::string& error) {
  if (udpFd < 0) {
    error = "no UDP socket for the rendezvous";
    return false;
  }
  m_impl->store = &exchanges.Store();
  m_impl->exchanges = &exchanges;
  m_impl->udpFd = udpFd;
  sockaddr_in bound{};
  socklen_t boundLen = sizeof bound;
  if (getsockname(udpFd, reinterpret_cast<sockaddr*>(&bound), &boundLen) == 0)
    m_impl->serverPort = ntohs(bound.sin_port);
  Impl* impl = m_impl.get();
  m_impl->thread = std::thread([impl] { impl->Loop(); });
  m_impl->checker = std::thread([impl] { impl->CheckerLoop(); });
  return true;
}

void CRendezvousServer::Stop() {
  {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->stopping = true;
  }
  m_impl->cv.notify_all();
  if (m_impl->thread.joinable()) m_impl->thread.join();
  if (m_impl->checker.joinable()) m_impl->checker.join();
}

void CRendezvousServer::Post(const uint8_t* data, size_t len, const sockaddr_in& from,
                             const in_addr& to) {
  if (!data || len < kP2PHeaderSize || len > kP2PDatagramMax) return;
  {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    if (m_impl->stopping || m_impl->queue.size() >= kRendezvousQueueMax) return;
    // One address cannot fill the queue for the others.
    if (m_impl->queuedFrom.Take(from.sin_addr.s_addr) != AddressRoom::kTaken) return;
    Datagram d;
    d.bytes.assign(data, data + len);
    d.from = from;
    d.to = to;
    m_impl->queue.push_back(std::move(d));
  }
  m_impl->cv.notify_all();  // the checker waits on it too
}
