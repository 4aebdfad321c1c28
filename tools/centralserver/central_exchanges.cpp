#include "tools/centralserver/central_exchanges.h"

#include <sys/random.h>

#include <ctime>

#include "common/log.h"
#include "common/proto_central.h"
#include "tools/centralserver/password.h"

namespace {

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

CentralOutcome Answer(uint16_t status, const std::vector<uint8_t>& body = {}) {
  CentralOutcome o;
  o.status = status;
  o.reply = BuildServerReply(status, body);
  return o;
}

}  // namespace

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

uint16_t CCentralExchanges::CheckAccount(const std::string& email, const std::string& pcText,
                                         const std::string& peerIp, int& delayMs) {
  const int64_t now = Now();
  for (auto it = m_failures.begin(); it != m_failures.end();)
    it = now - it->second.last > kThrottleForgetSec ? m_failures.erase(it) : std::next(it);

  std::string hash;
  const int found = m_store.AccountHash(email, hash);
  uint16_t status = kStatusOk;
  if (found != 0) {
    VerifyAgainstDummy(pcText);
    status = found < 0 ? kStatusServerError : kStatusUnknownAccount;
  } else if (!VerifySecret(pcText, hash)) {
    status = kStatusWrongPassword;
  }
  delayMs = 0;
  if (status == kStatusUnknownAccount || status == kStatusWrongPassword) {
    Failures& f = m_failures[peerIp];
    delayMs = ThrottleDelayMs(f.count);
    ++f.count;
    f.last = now;
  } else if (status == kStatusOk) {
    m_failures.erase(peerIp);
  }
  return status;
}

CentralOutcome CCentralExchanges::LogOn(const CentralRequest& r) {
  LogOnRequest req;
  if (!DecodeLogOnRequest(r.body.data(), r.body.size(), req) || r.identity.empty())
    return Answer(kStatusBadRequest);
  int delayMs = 0;
  const uint16_t status = CheckAccount(req.email, req.password, r.peerIp, delayMs);
  CentralOutcome o = Answer(status);
  o.delayMs = delayMs;
  if (status == kStatusOk && !m_store.BindDevice(r.identity, req.email, req, r.peerIp, Now()))
    return Answer(kStatusServerError);
  return o;
}

CentralOutcome CCentralExchanges::LogOut(const CentralRequest& r) {
  AccountText account;
  if (!DecodeAccountText(r.body.data(), r.body.size(), account) || r.identity.empty())
    return Answer(kStatusBadRequest);
  int delayMs = 0;
  const uint16_t status = CheckAccount(account.email, account.password, r.peerIp, delayMs);
  CentralOutcome o = Answer(status);
  o.delayMs = delayMs;
  if (status == kStatusOk && !m_store.LogOutDevice(r.identity, account.email))
    return Answer(kStatusServerError);
  return o;
}

CentralOutcome CCentralExchanges::ForBoundDevice(const CentralRequest& r,
                                                 const std::function<bool()>& store) {
  if (r.identity.empty() || m_store.LoggedOnAccount(r.identity).empty())
    return Answer(kStatusNotLoggedOn);
  if (!m_store.Touch(r.identity, r.peerIp, Now()) || !store()) return Answer(kStatusServerError);
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
  // The first disk report of a starting PC races its log-on: a known identity is enough.
  if (r.identity.empty() || !m_store.KnownIdentity(r.identity)) return Answer(kStatusNotLoggedOn);
  if (!m_store.SetDisks(r.identity, disks, Now())) return Answer(kStatusServerError);
  return Answer(kStatusOk);
}

CentralOutcome CCentralExchanges::Identity(const CentralRequest& r) {
  // Each identity is a row for good: one address cannot fill the database with them.
  const int64_t now = Now();
  for (auto it = m_issued.begin(); it != m_issued.end();)
    it = now - it->second.windowStart >= 3600 ? m_issued.erase(it) : std::next(it);
  Issued& issued = m_issued[r.peerIp];
  if (issued.count == 0) issued.windowStart = now;
  if (issued.count >= kIdentitiesPerHour) return Answer(kStatusTooMany);
  ++issued.count;
  // A collision of 128 random bits does not happen; the primary key would refuse it anyway.
  const std::string id = NewIdentity();
  if (!m_store.IssueIdentity(id, Now())) return Answer(kStatusServerError);
  return Answer(kStatusOk, EncodeIdentityReply(id));
}
