#include "tools/centralserver/central_exchanges.h"

#include <sys/random.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <vector>

#include "common/log.h"
#include "common/proto_central.h"
#include "tools/centralserver/password.h"

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

uint16_t CCentralExchanges::CheckAccount(const std::string& email, const std::string& pcText,
                                         const std::string& peerIp, int& delayMs) {
  const int64_t now = Now();
  const int64_t nowMs = NowMs();
  delayMs = 0;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_failures.begin(); it != m_failures.end();)
      it = now - it->second.last > kThrottleForgetSec ? m_failures.erase(it) : std::next(it);
    for (auto it = m_accountFailures.begin(); it != m_accountFailures.end();)
      it = now - it->second.windowStart >= kAccountWindowSec ? m_accountFailures.erase(it)
                                                             : std::next(it);
    if (m_failures.size() > kBooksMax) m_failures.clear();
    if (m_accountFailures.size() > kBooksMax) m_accountFailures.clear();
    // An address that failed often is not checked again before its wait is over: a burst of
    // guesses costs it nothing but costs the server no hashing either.
    const auto f = m_failures.find(peerIp);
    if (f != m_failures.end() && f->second.count >= kThrottleFreeFailures &&
        nowMs < f->second.lastMs + ThrottleDelayMs(f->second.count))
      return kStatusWaitToRetry;
  }
  bool accountLocked = false;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto a = m_accountFailures.find(email);
    accountLocked = a != m_accountFailures.end() && a->second.count >= kAccountFailuresMax;
  }
  // Guessers elsewhere do not lock out the account's own PCs, logged on from their address.
  if (accountLocked && !m_store.AccountLoggedOnFrom(email, peerIp, now - kLogOnLifeSec))
    return kStatusWaitToRetry;

  std::string hash;
  const int found = m_store.AccountHash(email, hash);
  uint16_t status = kStatusOk;
  if (found != 0) {
    VerifyAgainstDummy(pcText);
    status = found < 0 ? kStatusServerError : kStatusUnknownAccount;
  } else if (!VerifySecret(pcText, hash)) {
    status = kStatusWrongPassword;
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  if (status == kStatusUnknownAccount || status == kStatusWrongPassword) {
    Failures& f = m_failures[peerIp];
    delayMs = ThrottleDelayMs(f.count);
    ++f.count;
    f.last = now;
    f.lastMs = nowMs;
    AccountFailures& a = m_accountFailures[email];
    if (a.count == 0) a.windowStart = now;
    ++a.count;
  } else if (status == kStatusOk) {
    m_failures.erase(peerIp);
  }
  return status;
}

bool CCentralExchanges::AccountMayUseIdentity(const char* what, const std::string& email,
                                              const std::string& pcText, const CentralRequest& r,
                                              bool& loggedOn, CentralOutcome& refused) {
  int delayMs = 0;
  const uint16_t status = CheckAccount(email, pcText, r.peerIp, delayMs);
  if (status != kStatusOk) {
    refused = Answer(status);
    refused.delayMs = delayMs;
    return false;
  }
  // An identity stays with the account that first logged it on, and only that account logs
  // it out.
  std::string bound;
  loggedOn = false;
  const int rc = m_store.BoundAccount(r.identity, bound, loggedOn);
  if (rc < 0) {
    refused = Answer(kStatusServerError);
    return false;
  }
  if (rc == 0 && !bound.empty() && bound != email) {
    QV_LOG_REFUSAL(r.peerIp, kModCentral, kLogWarning,
                   "%s of identity \"%s\" from %s refused: it belongs to another account.", what,
                   LogText(r.identity).c_str(), r.peerIp.c_str());
    refused = Answer(kStatusOtherAccount);
    return false;
  }
  if (rc != 0) loggedOn = false;  // an identity the store does not know is not logged on
  return true;
}

CentralOutcome CCentralExchanges::LogOn(const CentralRequest& r) {
  LogOnRequest req;
  if (!DecodeLogOnRequest(r.body.data(), r.body.size(), req) || r.identity.empty())
    return Answer(kStatusBadRequest);
  bool loggedOn = false;
  CentralOutcome refused;
  if (!AccountMayUseIdentity("log-on", req.email, req.password, r, loggedOn, refused))
    return refused;
  if (!m_store.BindDevice(r.identity, req.email, req, r.peerIp, Now()))
    return Answer(kStatusServerError);
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
  if (!AccountMayUseIdentity("log-out", account.email, account.password, r, loggedOn, refused))
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
