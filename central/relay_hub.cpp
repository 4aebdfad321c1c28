#include "central/relay_hub.h"

#include <arpa/inet.h>
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <sys/socket.h>

#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "common/address_limits.h"
#include "common/log.h"
#include "common/proto_relay.h"
#include "common/proto_transfer.h"

namespace {

constexpr const char* kModRelay = "Relay";
constexpr size_t kMaxFrame = 0xFFFF;

enum class Kind { kPcRelay, kPcCache, kPhone };

uint32_t Ipv4Number(const std::string& text) {
  in_addr a{};
  if (inet_pton(AF_INET, text.c_str(), &a) != 1) return 0;
  return ntohl(a.s_addr);
}

CentralOutcome Keep(const std::string& account, const std::string& session = {}) {
  CentralOutcome o;
  o.keep = true;
  o.account = account;
  o.session = session;
  return o;
}

CentralOutcome Refuse(std::vector<uint8_t> reply, uint16_t status) {
  CentralOutcome o;
  o.status = status;
  o.reply = std::move(reply);
  return o;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The failed end a phone gets for a download its PC left without one.
std::vector<uint8_t> FailedEnd(uint32_t session) {
  std::vector<uint8_t> over(kDownloadEndSize, 0);
  EncodeCommandHeader({static_cast<uint16_t>(kDownloadEndSize), xfer::kOpDownloadEnd, session},
                      over.data());
  over[8] = '1';
  return over;
}

}  // namespace

struct CRelayHub::Impl {
  struct Conn;
  struct Cached {
    uint32_t session;  // the download's session id
    std::vector<uint8_t> frame;
    bool counted = false;  // against the cache bounds (the server's own ends are not)
  };
  struct Left {
    std::string phone;
    std::vector<uint8_t> message;  // CommandHeader and body
  };
  // A download a phone receives through the cache, until its end came.
  struct Download {
    std::string pc;
    Conn* cache = nullptr;  // the connection that delivered last; null once it closed
    int64_t cutMs = 0;      // when that connection closed
  };
  struct Conn {
    Impl* owner = nullptr;
    Kind kind = Kind::kPhone;
    bufferevent* bev = nullptr;
    std::string name;     // PC identity (relay, cache) or phone session
    std::string account;
    std::string peerIp;
    std::deque<Cached> cache;  // phones: packages not yet in the socket buffer
    std::map<uint32_t, size_t> perDownload;
    size_t cacheBytes = 0;
    std::map<uint32_t, Download> downloads;  // phones: by session id
    std::chrono::steady_clock::time_point armed;  // when the idle time-outs last started
    event* flush = nullptr;  // phones: hands a batch of packages on that stayed small
  };
  // What one account holds of what all share.
  struct Share {
    size_t relays = 0, cacheConns = 0, phones = 0, cacheBytes = 0, leftBytes = 0;
  };

  CCentralExchanges& exchanges;
  RelayHubOptions options;
  event_base* base = nullptr;
  std::set<Conn*> conns;
  std::map<std::string, Conn*> relays;  // by PC identity
  std::map<std::string, Conn*> phones;  // by session
  std::map<std::string, std::deque<Left>> left;  // by PC identity
  std::map<std::string, size_t> leftBytes;
  size_t totalLeft = 0;
  size_t totalCache = 0;
  size_t cacheConns = 0;
  std::map<std::string, Share> shares;  // by account
  CAddressLimits<std::string> phonesFrom;  // phones by address
  event* cutTimer = nullptr;

  // Shared with the worker (the PC list, log-out); guards the three fields below.
  std::mutex shared;
  std::map<std::string, std::string> sessionAccount;  // phone session -> account
  std::map<std::string, std::string> onlinePcs;       // PC identity -> account
  std::set<std::string> loggedOut;                     // identities that logged out since

  Impl(CCentralExchanges& e, const RelayHubOptions& o)
      : exchanges(e), options(o), phonesFrom(o.phonesPerAddress) {}

  // ---- worker side -------------------------------------------------------------------------

  CentralOutcome PcFirst(const CentralRequest& r) {
    // Only the PC that logged on with the identity, from its address, speaks for it.
    const std::string account = exchanges.SpeakingAccount(r.identity, r.peerIp);
    if (account.empty()) {
      QV_LOG_REFUSAL(r.peerIp, kModRelay, kLogWarning,
                     "relay 0x%04X from %s refused: identity not logged on from there.",
                     static_cast<unsigned>(r.command), r.peerIp.c_str());
      if (r.command == kCmdRelayRegister || r.command == kCmdRelayData)
        return Refuse(BuildShortReply(r.command, kStatusNotLoggedOn), kStatusNotLoggedOn);
      return Refuse(BuildServerReply(kStatusNotLoggedOn, {}), kStatusNotLoggedOn);
    }
    return Keep(account);
  }

  CentralOutcome SignIn(const CentralRequest& r) {
    AccountText a;
    if (!DecodeAccountText(r.body.data(), r.body.size(), a))
      return Refuse(BuildServerReply(kStatusBadRequest, {}), kStatusBadRequest);
    const AccountCheck check = exchanges.VerifyAccount(a.email, a.password, r);
    if (check.retryMs > 0) return CCentralExchanges::WaitForTurn(a.email, check);
    if (check.status != kStatusOk) {
      CentralOutcome o = Refuse(BuildServerReply(check.status, {}), check.status);
      o.delayMs = check.delayMs;
      return o;
    }
    // The session identity is ours, never one the phone chose.
    const std::string session = NewIdentity();
    CentralOutcome o = Keep(a.email, session);
    o.reply = BuildServerReply(kStatusOk, EncodeIdentityReply(session));
    return o;
  }

  CentralOutcome ListPcs(const CentralRequest& r) {
    CentralOutcome o = ListPcsOf(r);
    o.secretIdentity = true;
    return o;
  }

  CentralOutcome ListPcsOf(const CentralRequest& r) {
    std::string account;
    std::map<std::string, std::string> online;
    {
      std::lock_guard<std::mutex> lock(shared);
      const auto it = sessionAccount.find(r.identity);
      if (!r.identity.empty() && it != sessionAccount.end()) account = it->second;
      if (!account.empty())
        for (const auto& pc : onlinePcs)
          if (pc.second == account) online.insert(pc);
    }
    if (account.empty()) return Refuse(BuildServerReply(kStatusNotSignedIn, {}), kStatusNotSignedIn);
    std::vector<CentralDevice> devices;
    if (!exchanges.Store().AccountDevices(account, devices))
      return Refuse(BuildServerReply(kStatusServerError, {}), kStatusServerError);
    std::vector<PcEntry> pcs;
    for (const CentralDevice& d : devices) {
      PcEntry e;
      e.identity = d.identity;
      e.computerName = d.computer;
      e.localIp = Ipv4Number(d.localIp);
      e.seenIp = Ipv4Number(d.peerIp);
      e.commandPort = static_cast<uint16_t>(d.commandPort);
      e.externalPort = static_cast<uint16_t>(d.externalPort);
      const auto o = online.find(d.identity);
      e.online = o != online.end() && o->second == account;
      pcs.push_back(e);
      if (pcs.size() >= (kMaxFrame - 10) / kPcEntrySize) break;
    }
    CentralOutcome o;
    o.reply = BuildServerReply(kStatusOk, EncodePcList(pcs));
    return o;
  }

  // ---- event thread ------------------------------------------------------------------------

  void Write(Conn* c, const std::vector<uint8_t>& bytes) {
    if (bytes.empty()) return;
    size_t sent = 0;
    // With nothing queued ahead, the bytes go into the socket now instead of a turn of the loop
    // later: a PC waits for each answer before its next package. What the socket does not take
    // (or an error, which the buffered write then meets and reports) goes the buffered way.
    if (Pending(c) == 0) {
      const ssize_t r = send(bufferevent_getfd(c->bev), bytes.data(), bytes.size(),
                             MSG_NOSIGNAL | MSG_DONTWAIT);
      if (r > 0) sent = static_cast<size_t>(r);
    }
    if (sent < bytes.size()) bufferevent_write(c->bev, bytes.data() + sent, bytes.size() - sent);
  }

  size_t Pending(Conn* c) { return evbuffer_get_length(bufferevent_get_output(c->bev)); }

  void Close(Conn* c, const char* why) {
    // A phone's name is its session: the log names its account instead.
    const std::string who = c->kind == Kind::kPhone ? "of " + c->account : LogText(c->name);
    QV_LOG_REFUSAL(c->peerIp, kModRelay, kLogInfo, "closing %s connection %s (%s): %s.",
                   c->kind == Kind::kPhone ? "phone" : c->kind == Kind::kPcRelay ? "relay" : "cache",
                   who.c_str(), c->peerIp.c_str(), why);
    Share& share = shares[c->account];
    if (c->kind == Kind::kPhone) {
      totalCache -= c->cacheBytes;
      share.cacheBytes -= c->cacheBytes;
      --share.phones;
      phonesFrom.Release(c->peerIp);
      phones.erase(c->name);
      // Nothing is kept for a phone that has gone: its upload data left for PCs goes too.
      for (auto& q : left) {
        for (auto it = q.second.begin(); it != q.second.end();) {
          if (it->phone != c->name) {
            ++it;
            continue;
          }
          leftBytes[q.first] -= it->message.size();
          totalLeft -= it->message.size();
          share.leftBytes -= it->message.size();
          it = q.second.erase(it);
        }
      }
      std::lock_guard<std::mutex> lock(shared);
      sessionAccount.erase(c->name);
    } else if (c->kind == Kind::kPcRelay) {
      --share.relays;
      const auto it = relays.find(c->name);
      if (it != relays.end() && it->second == c) {
        relays.erase(it);
        std::lock_guard<std::mutex> lock(shared);
        onlinePcs.erase(c->name);
      }
    } else {
      --cacheConns;
      --share.cacheConns;
      // Downloads it carried wait a little for the PC to come back on another connection.
      const int64_t now = NowMs();
      for (auto& p : phones) {
        if (p.second->account != c->account) continue;
        for (auto& d : p.second->downloads)
          if (d.second.cache == c) {
            d.second.cache = nullptr;
            d.second.cutMs = now;
          }
      }
    }
    if (share.relays == 0 && share.cacheConns == 0 && share.phones == 0 && share.cacheBytes == 0 &&
        share.leftBytes == 0)
      shares.erase(c->account);
    if (c->flush) event_free(c->flush);
    bufferevent_free(c->bev);
    conns.erase(c);
    delete c;
  }

  // Downloads whose PC left without an end get a failed end, after what was cached for them.
  void EndCutDownloads() {
    const int64_t now = NowMs();
    for (auto& p : phones) {
      Conn* phone = p.second;
      for (auto it = phone->downloads.begin(); it != phone->downloads.end();) {
        const Download& d = it->second;
        if (d.cache || now - d.cutMs < options.cutGraceMs) {
          ++it;
          continue;
        }
        QV_LOG(kModRelay, kLogInfo, "download %u of a phone of %s: PC %s left without an end.",
               static_cast<unsigned>(it->first), phone->account.c_str(), LogText(d.pc).c_str());
        const std::vector<uint8_t> end = FailedEnd(it->first);
        std::vector<uint8_t> frame =
            BuildAddressedFrame(kCmdCacheDeliver, d.pc, phone->name, end.data(), end.size());
        // Not counted against the cache: one small end per download.
        phone->cache.push_back({it->first, std::move(frame)});
        it = phone->downloads.erase(it);
      }
      PumpEnds(phone);
    }
  }

  static void CutTimerCb(evutil_socket_t, short, void* arg) {
    static_cast<Impl*>(arg)->EndCutDownloads();
  }

  bool LoggedOut(const std::string& identity) {
    std::lock_guard<std::mutex> lock(shared);
    return loggedOut.count(identity) != 0;
  }

  // The relay of a PC of this account, or null.
  Conn* RelayOf(const std::string& identity, const std::string& account) {
    const auto it = relays.find(identity);
    if (it == relays.end() || it->second->account != account) return nullptr;
    if (LoggedOut(identity)) {
      Close(it->second, "logged out");
      return nullptr;
    }
    return it->second;
  }

  Conn* PhoneOf(const std::string& session, const std::string& account) {
    const auto it = phones.find(session);
    if (it == phones.end() || it->second->account != account) return nullptr;
    return it->second;
  }

  // A phone that receives a long download sends nothing meanwhile: what it is sent counts as
  // activity too (the time-outs restart at most once a second).
  void StillActive(Conn* c) {
    const auto now = std::chrono::steady_clock::now();
    if (now - c->armed < std::chrono::seconds(1)) return;
    c->armed = now;
    const timeval tv{options.idleSec, 0};
    bufferevent_set_timeouts(c->bev, &tv, &tv);
  }

  void Pump(Conn* phone) {
    if (!phone->cache.empty()) StillActive(phone);
    while (!phone->cache.empty() && Pending(phone) < options.phoneOutputBytes) {
      Cached& m = phone->cache.front();
      Write(phone, m.frame);
      const size_t n = m.counted ? m.frame.size() : 0;
      phone->cacheBytes -= n;
      totalCache -= n;
      shares[phone->account].cacheBytes -= n;
      auto d = phone->perDownload.find(m.session);
      if (n && d != phone->perDownload.end() && (d->second -= n) == 0) phone->perDownload.erase(d);
      phone->cache.pop_front();
    }
  }
  void PumpEnds(Conn* phone) { Pump(phone); }

  // Cached packages reach the phone in batches: a write per package would cost the server a
  // wake-up of the phone each time, on the road of a PC that waits for every answer. A batch
  // that stays small leaves after a moment all the same.
  static constexpr size_t kPhoneBatchBytes = 32 * 1024;
  static constexpr int kPhoneBatchUs = 2000;

  void PumpBatch(Conn* phone, bool now) {
    if (now || phone->cacheBytes >= kPhoneBatchBytes) {
      Pump(phone);
      return;
    }
    if (!phone->flush) phone->flush = evtimer_new(base, &Impl::FlushCb, phone);
    if (!phone->flush) {
      Pump(phone);
      return;
    }
    if (evtimer_pending(phone->flush, nullptr)) return;
    const timeval soon{0, kPhoneBatchUs};
    if (evtimer_add(phone->flush, &soon) != 0) Pump(phone);
  }

  static void FlushCb(evutil_socket_t, short, void* arg) {
    Conn* c = static_cast<Conn*>(arg);
    c->owner->Pump(c);
  }

  void Adopt(bufferevent* bev, const CentralRequest& first, const CentralOutcome& outcome) {
    Kind kind = Kind::kPhone;
    if (first.command == kCmdRelayRegister) kind = Kind::kPcRelay;
    else if (first.command == kCmdCacheDeliver || first.command == kCmdCacheFetch) kind = Kind::kPcCache;
    if (!base) {
      base = bufferevent_get_base(bev);
      cutTimer = event_new(base, -1, EV_PERSIST, &Impl::CutTimerCb, this);
      const timeval second{1, 0};
      if (cutTimer) event_add(cutTimer, &second);
    }
    const Share& share = shares[outcome.account];
    const bool full =
        (kind == Kind::kPhone &&
         (phones.size() >= options.maxPhones || share.phones >= options.phonesPerAccount ||
          phonesFrom.AddressFull(first.peerIp))) ||
        (kind == Kind::kPcRelay &&
         (relays.size() >= options.maxRelays || share.relays >= options.relaysPerAccount)) ||
        (kind == Kind::kPcCache &&
         ((cacheConns >= options.maxCacheConns && share.cacheConns >= options.cacheConnsFloor) ||
          share.cacheConns >= options.cacheConnsPerAccount));
    if (full) {
      QV_LOG_REFUSAL(first.peerIp, kModRelay, kLogWarning,
                     "refusing %s: too many connections of its kind.", first.peerIp.c_str());
      bufferevent_free(bev);
      if (shares[outcome.account].relays == 0 && share.cacheConns == 0 && share.phones == 0 &&
          share.cacheBytes == 0 && share.leftBytes == 0)
        shares.erase(outcome.account);
      return;
    }
    Conn* c = new Conn;
    c->owner = this;
    c->kind = kind;
    c->bev = bev;
    c->account = outcome.account;
    c->peerIp = first.peerIp;
    c->name = kind == Kind::kPhone ? outcome.session : first.identity;
    conns.insert(c);
    bufferevent_setcb(bev, ReadCb, WriteCb, EventCb, c);
    const int idle = kind == Kind::kPcCache ? options.cacheIdleSec : options.idleSec;
    const timeval tv{idle, 0};
    bufferevent_set_timeouts(bev, &tv, &tv);
    c->armed = std::chrono::steady_clock::now();
    bufferevent_setwatermark(bev, EV_READ, 0, kMaxFrame);
    bufferevent_setwatermark(bev, EV_WRITE, options.phoneOutputBytes / 2, 0);
    bufferevent_enable(bev, EV_READ | EV_WRITE);

    if (kind == Kind::kPhone) {
      phones[c->name] = c;
      ++shares[c->account].phones;
      phonesFrom.Take(c->peerIp);  // its room was checked above
      {
        std::lock_guard<std::mutex> lock(shared);
        sessionAccount[c->name] = c->account;
      }
      QV_LOG(kModRelay, kLogInfo, "phone of %s signed in from %s.", c->account.c_str(),
             c->peerIp.c_str());
      Write(c, outcome.reply);
    } else if (kind == Kind::kPcRelay) {
      ++shares[c->account].relays;
      const auto old = relays.find(c->name);
      if (old != relays.end()) Close(old->second, "replaced by a new relay connection");
      relays[c->name] = c;
      {
        std::lock_guard<std::mutex> lock(shared);
        onlinePcs[c->name] = c->account;
        loggedOut.erase(c->name);
      }
      QV_LOG(kModRelay, kLogInfo, "relay of %s (%s) registered from %s.", LogText(c->name).c_str(),
             c->account.c_str(), c->peerIp.c_str());
      Write(c, BuildShortReply(kCmdRelayRegister, kStatusOk));
    } else {
      ++cacheConns;
      ++shares[c->account].cacheConns;
      if (!OnFrame(c, first.command, first.body)) return;
    }
    OnRead(c);  // what came right behind the first request
  }

  // Output a connection may have waiting before it counts as one that does not read.
  size_t OutputBound(const Conn* c) const {
    return c->kind == Kind::kPhone ? options.phoneReplyBytes + options.phoneOutputBytes + kMaxFrame
                                   : options.pcConnOutputBytes;
  }

  // ---- frames ------------------------------------------------------------------------------

  void OnRead(Conn* c) {
    evbuffer* in = bufferevent_get_input(c->bev);
    for (;;) {
      const size_t have = evbuffer_get_length(in);
      uint8_t lenField[2];
      if (have < sizeof lenField) return;
      evbuffer_copyout(in, lenField, sizeof lenField);
      size_t total = 0;
      const RelayChunk chunk = ClassifyInboundFrame(lenField, have, total);
      if (chunk == RelayChunk::kNeedMore) return;
      if (chunk == RelayChunk::kBroken) {
        Close(c, "frame total below its header");
        return;
      }
      // Every answer goes into the output: a peer that sends and never reads is let go.
      if (Pending(c) > OutputBound(c)) {
        Close(c, "does not read what it is sent");
        return;
      }
      std::vector<uint8_t> frame(total);
      evbuffer_remove(in, frame.data(), total);
      const RelayHeader h = DecodeRelayHeader(frame.data());
      const std::vector<uint8_t> body(frame.begin() + kRelayHeaderSize, frame.end());
      if (!OnFrame(c, h.command, body)) return;  // closed
    }
  }

  // False when the connection was closed.
  bool OnFrame(Conn* c, uint16_t command, const std::vector<uint8_t>& body) {
    switch (c->kind) {
      case Kind::kPhone: return PhoneFrame(c, command, body);
      case Kind::kPcRelay: return RelayFrame(c, command, body);
      case Kind::kPcCache: return CacheFrame(c, command, body);
    }
    return true;
  }

  static bool InnerFits(const std::vector<uint8_t>& body, CommandHeader& inner, bool exact) {
    return InnerMessageFits(body.data(), body.size(), exact, inner);
  }

  bool PhoneFrame(Conn* c, uint16_t command, const std::vector<uint8_t>& body) {
    CommandHeader inner;
    switch (command) {
      case kCmdRelayRegister:
        Write(c, BuildPhoneStatus(command, kStatusOk));
        return true;
      case kCmdRelayData: {
        if (!InnerFits(body, inner, false)) {
          Write(c, BuildPhoneStatus(command, kStatusBadRequest));
          return true;
        }
        const std::string target = wire::GetFixedText(body.data(), kIdentityFieldSize);
        Conn* pc = RelayOf(target, c->account);
        if (!pc) {
          QV_LOG_REFUSAL(c->peerIp, kModRelay, kLogWarning,
                         "phone of %s from %s: no PC \"%s\" of its account online.",
                         c->account.c_str(), c->peerIp.c_str(), LogText(target).c_str());
          Write(c, BuildPhoneStatus(command, kStatusNoSuchPc));
          return true;
        }
        if (Pending(pc) > options.pcOutputBytes) {
          Write(c, BuildPhoneStatus(command, kStatusCacheFull));
          return true;
        }
        Write(pc, BuildRelayFrame(kCmdRelayData, c->name, body.data(), body.size()));
        return true;
      }
      case kCmdLeaveForPc: {
        // Only upload data and upload ends are left for a PC, whole.
        if (!InnerFits(body, inner, true) || (inner.opcode != 2 && inner.opcode != 3)) {
          Write(c, BuildPhoneStatus(command, kStatusBadRequest));
          return true;
        }
        const std::string target = wire::GetFixedText(body.data(), kIdentityFieldSize);
        if (!RelayOf(target, c->account)) {
          Write(c, BuildPhoneStatus(command, kStatusNoSuchPc));
          return true;
        }
        const size_t n = body.size() - kIdentityFieldSize;
        Share& share = shares[c->account];
        if (leftBytes[target] + n > options.perPcLeftBytes ||
            totalLeft + n > options.totalLeftBytes ||
            share.leftBytes + n > options.leftBytesPerAccount) {
          Write(c, BuildPhoneStatus(command, kStatusCacheFull));
          return true;
        }
        left[target].push_back({c->name, {body.begin() + kIdentityFieldSize, body.end()}});
        leftBytes[target] += n;
        totalLeft += n;
        share.leftBytes += n;
        Write(c, BuildPhoneStatus(command, kStatusOk));
        return true;
      }
      default:
        Write(c, BuildPhoneStatus(command, kStatusUnknownCommand));
        return true;
    }
  }

  bool RelayFrame(Conn* c, uint16_t command, const std::vector<uint8_t>& body) {
    if (LoggedOut(c->name)) {
      Close(c, "logged out");
      return false;
    }
    if (command == kCmdRelayRegister) {
      Write(c, BuildShortReply(kCmdRelayRegister, kStatusOk));
      return true;
    }
    CommandHeader inner;
    if (command != kCmdRelayData || !InnerFits(body, inner, false)) {
      QV_LOG_REFUSAL(c->peerIp, kModRelay, kLogWarning, "relay of %s: frame 0x%04X of %zu bytes dropped.",
                     LogText(c->name).c_str(), static_cast<unsigned>(command), body.size());
      return true;
    }
    const std::string requester = wire::GetFixedText(body.data(), kIdentityFieldSize);
    Conn* phone = PhoneOf(requester, c->account);
    if (!phone) return true;  // gone, or never of this account: nothing is kept
    Write(phone, BuildRelayFrame(kCmdRelayData, c->name, body.data(), body.size()));
    StillActive(phone);
    if (Pending(phone) > options.phoneReplyBytes) {
      Close(phone, "does not read its replies");
    }
    return true;
  }

  bool CacheFrame(Conn* c, uint16_t command, const std::vector<uint8_t>& body) {
    if (command == kCmdCacheFetch) {
      auto q = left.find(c->name);
      if (q == left.end() || q->second.empty()) {
        Write(c, BuildServerReply(kStatusNothingWaits, {}));
        return true;
      }
      Left m = std::move(q->second.front());
      q->second.pop_front();
      leftBytes[c->name] -= m.message.size();
      totalLeft -= m.message.size();
      const auto from = phones.find(m.phone);
      if (from != phones.end()) shares[from->second->account].leftBytes -= m.message.size();
      if (q->second.empty()) {
        left.erase(q);
        leftBytes.erase(c->name);
      }
      Write(c, BuildServerReply(kStatusOk, m.message));
      return true;
    }
    CommandHeader inner;
    if (command != kCmdCacheDeliver || !InnerFits(body, inner, true)) {
      Write(c, BuildServerReply(kStatusBadRequest, {}));
      return true;
    }
    const std::string requester = wire::GetFixedText(body.data(), kIdentityFieldSize);
    Conn* phone = PhoneOf(requester, c->account);
    if (!phone) {
      Write(c, BuildServerReply(kStatusNoSuchPhone, {}));
      return true;
    }
    std::vector<uint8_t> frame = BuildRelayFrame(kCmdCacheDeliver, c->name, body.data(), body.size());
    const size_t n = frame.size();
    // Each account has its share of the cache, and a floor that the others cannot take.
    Share& share = shares[c->account];
    const bool overTotal = totalCache + n > options.totalCacheBytes &&
                           share.cacheBytes + n > options.cacheBytesFloor;
    if (phone->perDownload[inner.param] + n > options.perDownloadBytes || overTotal ||
        share.cacheBytes + n > options.cacheBytesPerAccount) {
      if (phone->perDownload[inner.param] == 0) phone->perDownload.erase(inner.param);
      Write(c, BuildServerReply(kStatusCacheFull, {}));
      return true;
    }
    phone->perDownload[inner.param] += n;
    phone->cacheBytes += n;
    totalCache += n;
    share.cacheBytes += n;
    if (inner.opcode == xfer::kOpDownloadEnd) {
      phone->downloads.erase(inner.param);
    } else if (phone->downloads.size() < 256 || phone->downloads.count(inner.param)) {
      Download& d = phone->downloads[inner.param];
      d.pc = c->name;
      d.cache = c;
    }
    // The PC hears the answer first: it reads its next package while the phone is served.
    Write(c, BuildServerReply(kStatusOk, {}));
    phone->cache.push_back({inner.param, std::move(frame), true});
    PumpBatch(phone, inner.opcode == xfer::kOpDownloadEnd);
    return true;
  }

  static void ReadCb(bufferevent*, void* arg) {
    Conn* c = static_cast<Conn*>(arg);
    c->owner->OnRead(c);
  }
  static void WriteCb(bufferevent*, void* arg) {
    Conn* c = static_cast<Conn*>(arg);
    if (c->kind == Kind::kPhone) c->owner->Pump(c);
  }
  static void EventCb(bufferevent*, short what, void* arg) {
    Conn* c = static_cast<Conn*>(arg);
    c->owner->Close(c, (what & BEV_EVENT_TIMEOUT) ? "idle" : "closed");
  }
};

CRelayHub::CRelayHub(CCentralExchanges& exchanges, const RelayHubOptions& options)
    : m_impl(new Impl(exchanges, options)) {}

CRelayHub::~CRelayHub() {
  if (m_impl->cutTimer) event_free(m_impl->cutTimer);
  while (!m_impl->conns.empty()) {
    Impl::Conn* c = *m_impl->conns.begin();
    if (c->flush) event_free(c->flush);
    bufferevent_free(c->bev);
    m_impl->conns.erase(c);
    delete c;
  }
}

void CRelayHub::RegisterAll(CCentralServer& server) {
  Impl* m = m_impl.get();
  for (uint16_t cmd : {kCmdRelayRegister, kCmdCacheDeliver, kCmdCacheFetch})
    server.AddExchange(cmd, [m](const CentralRequest& r) { return m->PcFirst(r); });
  server.AddExchange(kCmdPhoneSignIn, [m](const CentralRequest& r) { return m->SignIn(r); });
  server.AddExchange(kCmdPhoneListPcs, [m](const CentralRequest& r) { return m->ListPcs(r); });
  CCentralExchanges* ex = &m->exchanges;
  server.AddExchange(kCmdLogOut, [m, ex](const CentralRequest& r) {
    CentralOutcome o = ex->LogOut(r);
    if (o.status == kStatusOk && !r.identity.empty()) {
      std::lock_guard<std::mutex> lock(m->shared);
      m->loggedOut.insert(r.identity);
      m->onlinePcs.erase(r.identity);
    }
    return o;
  });
  server.SetStreamOwner(this);
}

void CRelayHub::Adopt(bufferevent* bev, const CentralRequest& first, const CentralOutcome& outcome) {
  m_impl->Adopt(bev, first, outcome);
}
