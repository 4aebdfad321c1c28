#include "central/central_exchanges.h"

#include <sys/random.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <vector>

#include "common/log.h"
#include "common/proto_central.h"
#include "central/password.h"

namespace {

constexpr const char* kModCentral = "Central";
constexpr size_t kBooksMax = 16384;  // addresses or accounts with failures remembered

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

CentralOutcome Answer(uint16_t status, const std::vector<uint8_t>& body = {}) {
  CentralOutcome o;
  o.status = status;
  o.reply = BuildServerReply(status, body);
  return o;
}

}  // namespace

CCentralExchanges::CCentralExchanges(CCentralStore& store) : m_store(store) {
  RefreshAddresses(true);
}

std::string NewIdentity() {
  unsigned char raw[16];
  size_t got = 0;
  while (got < sizeof raw) {
    const ssize_t n = getrandom(raw + got, sizeof raw - got, 0);
    if (n > 0) got += static_cast<size_t>(n);
  }
  static const char kHex[] = "0123456789abcdef";
  std::string id;
  for (unsigned char c : raw) {
    id += kHex[c >> 4];
    id += kHex[c & 15];
  }
  return id;
}

void CCentralExchanges::RegisterAll(CCentralServer& server) {
  server.AddExchange(kCmdLogOn, [this](const CentralRequest& r) { return LogOn(r); });
  server.AddExchange(kCmdLogOut, [this](const CentralRequest& r) { return LogOut(r); });
  server.AddExchange(kCmdHeartBeat, [this](const CentralRequest& r) { return HeartBeat(r); });
  server.AddExchange(kCmdServerInfo, [this](const CentralRequest& r) { return ServerInfo(r); });
  server.AddExchange(kCmdIdentity, [this](const CentralRequest& r) { return Identity(r); });
  server.AddExchange(kCmdPowerOn, [this](const CentralRequest& r) { return PowerOn(r); });
  server.AddExchange(kCmdDiskInfo, [this](const CentralRequest& r) { return Disks(r); });
}

int CCentralExchanges::ThrottleDelayMs(int failures) {
  if (failures < kThrottleFreeFailures) return 0;
  const int step = failures - kThrottleFreeFailures;
  if (step >= 15) return kThrottleMaxDelayMs;
  const int delay = 1000 << step;
  return delay < kThrottleMaxDelayMs ? delay : kThrottleMaxDelayMs;
}

void CCentralExchanges::RefreshAddresses(bool force) {
  const int64_t now = Now();
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!force && now - m_addressesRead < 60) return;
    m_addressesRead = now;
  }
  std::vector<std::string> addresses;
  if (!m_store.LoggedOnAddresses(now - kLogOnLifeSec, addresses)) return;
  std::lock_guard<std::mutex> lock(m_mutex);
  m_loggedOnAddresses = std::set<std::string>(addresses.begin(), addresses.end());
}

bool CCentralExchanges::LoggedOnAddress(const std::string& peerIp) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_loggedOnAddresses.count(peerIp) != 0;
}

std::string CCentralExchanges::SpeakingAccount(const std::string& identity,
                                               const std::string& peerIp) {
  if (identity.empty()) return "";
  return m_store.SpeakingAccount(identity, peerIp, Now() - kLogOnLifeSec);
}

AccountCheck CCentralExchanges::CheckAccount(const std::string& email, const std::string& pcText,
                                             const CentralRequest& r, CheckRoom room) {
  const int64_t now = Now();
  const int64_t nowMs = NowMs();
  AccountCheck out;
  std::string hash;
  const int found = m_store.AccountHash(email, hash);
  const std::string digest = QuickDigest(pcText);
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_failures.begin(); it != m_failures.end();)
      it = now - it->second.last > kThrottleForgetSec ? m_failures.erase(it) : std::next(it);
    if (m_failures.size() > kBooksMax) {
      // Many addresses with a failure or two must not wipe out the books that hold guessers back.
      for (auto it = m_failures.begin(); it != m_failures.end();)
        it = it->second.count < kThrottleFreeFailures ? m_failures.erase(it) : std::next(it);
      if (m_failures.size() > kBooksMax) m_failures.clear();
    }
    // A text accepted before against the same stored hash is right: no turn, no hashing.
    const auto good = m_goodTexts.find(email);
    if (found == 0 && good != m_goodTexts.end() && good->second.hash == hash &&
        !digest.empty() && good->second.digest == digest) {
      m_failures.erase(r.peerIp);
      return out;
    }
    auto book = m_accounts.find(email);
    if (book != m_accounts.end()) {
      std::vector<AccountBook::Waiting>& w = book->second.waiting;
      // A turn whose time has come was taken (or its client left).
      w.erase(std::remove_if(w.begin(), w.end(),
                             [nowMs](const AccountBook::Waiting& e) { return e.turnMs <= nowMs; }),
              w.end());
      if (w.empty() && now - book->second.lastFailure > kAccountWindowSec) {
        m_accounts.erase(book);
        book = m_accounts.end();
      }
    }
    if (room != CheckRoom::kOwnPc && !r.paced && book != m_accounts.end() &&
        book->second.failures >= kAccountFailuresFree) {
      AccountBook& a = book->second;
      // After the last check that ran and after every turn still held in the same room: an
      // identity's check does not queue behind the strangers' (at most one check of each room
      // per spacing).
      const std::string ownRoom = room == CheckRoom::kAccountIdentity ? r.identity : std::string();
      int64_t turn = std::max(nowMs, a.lastTurnMs + kAccountCheckSpacingMs);
      for (const auto& e : a.waiting)
        if (e.identity.empty() == ownRoom.empty())
          turn = std::max(turn, e.turnMs + kAccountCheckSpacingMs);
      if (turn > nowMs) {
        // Strangers fill the shared slots; an identity of the account waits in room of its
        // own, never refused unchecked (each check there holds one of the server's
        // connections, which are capped per address and in all).
        bool full = false;
        if (room == CheckRoom::kShared) {
          size_t fromHere = 0, shared = 0;
          for (const auto& e : a.waiting) {
            if (!e.identity.empty()) continue;
            ++shared;
            fromHere += e.peerIp == r.peerIp;
          }
          full = fromHere >= static_cast<size_t>(kAccountWaitingPerAddress) ||
                 shared >= static_cast<size_t>(kAccountWaitingMax);
        }
        if (full) {
          out.status = kStatusWaitToRetry;
          return out;
        }
        a.waiting.push_back({r.peerIp, turn, ownRoom});
        out.retryMs = static_cast<int>(turn - nowMs);
        out.turnMs = turn;
        return out;
      }
      a.lastTurnMs = nowMs;
    } else if (r.paced && book != m_accounts.end()) {
      book->second.lastTurnMs = std::max(book->second.lastTurnMs, nowMs);
    }
  }

  uint16_t status = kStatusOk;
  if (found != 0) {
    VerifyAgainstDummy(pcText);
    status = found < 0 ? kStatusServerError : kStatusUnknownAccount;
  } else if (!VerifySecret(pcText, hash)) {
    status = kStatusWrongPassword;
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  if (status == kStatusUnknownAccount || status == kStatusWrongPassword) {
    Failures& f = m_failures[r.peerIp];
    out.delayMs = ThrottleDelayMs(f.count);
    ++f.count;
    f.last = now;
    f.lastMs = nowMs;
    if (m_accounts.size() > kBooksMax) {
      // Made-up accounts with a failure or two must not wipe out the pacing of a guessed one.
      for (auto it = m_accounts.begin(); it != m_accounts.end();)
        it = it->second.failures < kAccountFailuresFree && it->second.waiting.empty()
                 ? m_accounts.erase(it)
                 : std::next(it);
      if (m_accounts.size() > kBooksMax) m_accounts.clear();
    }
    AccountBook& a = m_accounts[email];
    ++a.failures;
    a.lastFailure = now;
  } else if (status == kStatusOk) {
    m_failures.erase(r.peerIp);
    if (m_goodTexts.size() >= kGoodTextsMax) m_goodTexts.clear();
    m_goodTexts[email] = {hash, digest};
  }
  out.status = status;
  return out;
}

bool CCentralExchanges::KnownGood(const std::string& email, const std::string& pcText) {
  std::string hash;
  if (m_store.AccountHash(email, hash) != 0) return false;
  const std::string digest = QuickDigest(pcText);
  std::lock_guard<std::mutex> lock(m_mutex);
  const auto good = m_goodTexts.find(email);
  return !digest.empty() && good != m_goodTexts.end() && good->second.hash == hash &&
         good->second.digest == digest;
}

void CCentralExchanges::RememberGood(const std::string& email, const std::string& hash,
                                     const std::string& pcText) {
  const std::string digest = QuickDigest(pcText);
  if (digest.empty()) return;
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_goodTexts.size() >= kGoodTextsMax) m_goodTexts.clear();
  m_goodTexts[email] = {hash, digest};
}

void CCentralExchanges::Abandon(const std::string& peerIp, const std::string& email,
                                int64_t turnMs) {
  std::lock_guard<std::mutex> lock(m_mutex);
  const auto book = m_accounts.find(email);
  if (book == m_accounts.end()) return;
  auto& w = book->second.waiting;
  const auto it = std::find_if(w.begin(), w.end(), [&](const AccountBook::Waiting& e) {
    return e.peerIp == peerIp && e.turnMs == turnMs;
  });
  if (it != w.end()) w.erase(it);
}

CentralOutcome CCentralExchanges::WaitForTurn(const std::string& email, const AccountCheck& check) {
  CentralOutcome o;
  o.retryMs = check.retryMs;
  o.turnMs = check.turnMs;
  o.account = email;
  o.secretIdentity = true;
  return o;
}

bool CCentralExchanges::AccountMayUseIdentity(const char* what, bool logOn,
                                              const std::string& email,
                                              const std::string& pcText, const CentralRequest& r,
                                              bool& loggedOn, CentralOutcome& refused) {
  // An identity stays with the account that logged it on until that account logs it out.
  CentralBinding binding;
  const int rc = m_store.Binding(r.identity, binding);
  if (rc < 0) {
    refused = Answer(kStatusServerError);
    return false;
  }
  // The PC that logged on with this identity, from where it did: others' guesses at the
  // account do not make it wait.
  const bool ofAccount =
      rc == 0 && (binding.email == email || (binding.email.empty() && binding.releasedBy == email));
  const CheckRoom room = !ofAccount                     ? CheckRoom::kShared
                         : binding.logOnIp == r.peerIp ? CheckRoom::kOwnPc
                                                       : CheckRoom::kAccountIdentity;
  const AccountCheck check = CheckAccount(email, pcText, r, room);
  if (check.retryMs > 0) {
    refused = WaitForTurn(email, check);
    return false;
  }
  if (check.status != kStatusOk) {
    refused = Answer(check.status);
    refused.delayMs = check.delayMs;
    return false;
  }
  loggedOn = rc == 0 && binding.loggedOn;
  const bool free = rc != 0 || (logOn ? IdentityFreeFor(binding, email, r.peerIp)
                                      : binding.email.empty() || binding.email == email);
  if (!free) {
    QV_LOG_REFUSAL(r.peerIp, kModCentral, kLogWarning,
                   "%s of identity \"%s\" from %s refused: it belongs to another account.", what,
                   LogText(r.identity).c_str(), r.peerIp.c_str());
    refused = Answer(kStatusOtherAccount);
    return false;
  }
  return true;
}

CentralOutcome CCentralExchanges::LogOn(const CentralRequest& r) {
  LogOnRequest req;
  if (!DecodeLogOnRequest(r.body.data(), r.body.size(), req) || r.identity.empty())
    return Answer(kStatusBadRequest);
  bool loggedOn = false;
  CentralOutcome refused;
  if (!AccountMayUseIdentity("log-on", true, req.email, req.password, r, loggedOn, refused))
    return refused;
  const int bound = m_store.BindDevice(r.identity, req.email, req, r.peerIp, Now());
  if (bound < 0) return Answer(kStatusServerError);
  if (bound > 0) return Answer(kStatusOtherAccount);  // another log-on took it meanwhile
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_loggedOnAddresses.insert(r.peerIp);
  }
  RefreshAddresses(false);
  return Answer(kStatusOk);
}

CentralOutcome CCentralExchanges::LogOut(const CentralRequest& r) {
  AccountText account;
  if (!DecodeAccountText(r.body.data(), r.body.size(), account) || r.identity.empty())
    return Answer(kStatusBadRequest);
  bool loggedOn = false;
  CentralOutcome refused;
  if (!AccountMayUseIdentity("log-out", false, account.email, account.password, r, loggedOn, refused))
    return refused;
  if (!loggedOn) return Answer(kStatusNotLoggedOn);
  if (!m_store.LogOutDevice(r.identity, account.email)) return Answer(kStatusServerError);
  RefreshAddresses(true);
  return Answer(kStatusOk);
}

CentralOutcome CCentralExchanges::ForBoundDevice(const CentralRequest& r,
                                                 const std::function<bool()>& store) {
  if (SpeakingAccount(r.identity, r.peerIp).empty()) return Answer(kStatusNotLoggedOn);
  if (!m_store.Touch(r.identity, Now()) || !store()) return Answer(kStatusServerError);
  return Answer(kStatusOk);
}

CentralOutcome CCentralExchanges::HeartBeat(const CentralRequest& r) {
  return ForBoundDevice(r, [] { return true; });
}

CentralOutcome CCentralExchanges::ServerInfo(const CentralRequest& r) {
  SVInfo info;
  if (!DecodeSVInfo(r.body.data(), r.body.size(), info)) return Answer(kStatusBadRequest);
  return ForBoundDevice(r, [&] { return m_store.SetServerInfo(r.identity, info, Now()); });
}

CentralOutcome CCentralExchanges::PowerOn(const CentralRequest& r) {
  PowerOnInfo info;
  if (!DecodePowerOnInfo(r.body.data(), r.body.size(), info)) return Answer(kStatusBadRequest);
  return ForBoundDevice(r, [&] { return m_store.SetPowerOn(r.identity, info, Now()); });
}

CentralOutcome CCentralExchanges::Disks(const CentralRequest& r) {
  std::vector<DiskInfo> disks;
  if (!DecodeDiskInfoList(r.body.data(), r.body.size(), disks)) return Answer(kStatusBadRequest);
  // The first disk report of a starting PC races its log-on: the address of its last log-on
  // (or, before any, the one the identity was issued to) is enough.
  if (r.identity.empty() || !m_store.ReportsFrom(r.identity, r.peerIp))
    return Answer(kStatusNotLoggedOn);
  if (!m_store.SetDisks(r.identity, disks, Now())) return Answer(kStatusServerError);
  return Answer(kStatusOk);
}

CentralOutcome CCentralExchanges::Identity(const CentralRequest& r) {
  // Each identity is a row for good: one address cannot fill the database with them.
  const int64_t now = Now();
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_issued.begin(); it != m_issued.end();)
      it = now - it->second.windowStart >= 3600 ? m_issued.erase(it) : std::next(it);
    Issued& issued = m_issued[r.peerIp];
    if (issued.count == 0) issued.windowStart = now;
    if (issued.count >= kIdentitiesPerHour) return Answer(kStatusTooMany);
    ++issued.count;
  }
  // A collision of 128 random bits does not happen; the primary key would refuse it anyway.
  const std::string id = NewIdentity();
  if (!m_store.IssueIdentity(id, r.peerIp, Now())) return Answer(kStatusServerError);
  return Answer(kStatusOk, EncodeIdentityReply(id));
}
