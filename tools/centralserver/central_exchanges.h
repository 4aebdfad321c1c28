#pragma once
// The single exchanges of a PC with the central server (log-on, log-out, heartbeat, server
// info, identity, power-on, disk info): validate, store per identity, answer with a status.
// Run on the server's workers (several at once): the failure books are under their own lock.
//
// An identity is not a secret (any phone on the PC's network learns it), so it proves
// nothing alone: an identity stays with the account that first logged it on, and what is said
// under it later (reports, the relay, the cache) is believed only from the address of its last
// successful log-on, within that log-on's life.
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "tools/centralserver/central_server.h"
#include "tools/centralserver/central_store.h"

constexpr int kThrottleFreeFailures = 3;  // failures from one address before answers slow down
constexpr int kThrottleMaxDelayMs = 30000;
constexpr int kThrottleForgetSec = 900;
constexpr int kIdentitiesPerHour = 60;  // new identities one address may get in an hour
// A PC logs on again every minute; without that for this long it has to log on anew.
constexpr int kLogOnLifeSec = 600;
// Failed checks of one account, from all addresses, before its checks wait out the window
// (the account's own PCs logged on from their addresses are still checked).
constexpr int kAccountFailuresMax = 10;
constexpr int kAccountWindowSec = 300;

class CCentralExchanges {
 public:
  explicit CCentralExchanges(CCentralStore& store);
  void RegisterAll(CCentralServer& server);

  CentralOutcome LogOn(const CentralRequest& r);
  CentralOutcome LogOut(const CentralRequest& r);
  CentralOutcome HeartBeat(const CentralRequest& r);
  CentralOutcome ServerInfo(const CentralRequest& r);
  CentralOutcome Identity(const CentralRequest& r);
  CentralOutcome PowerOn(const CentralRequest& r);
  CentralOutcome Disks(const CentralRequest& r);

  // The account check of log-on, for phones signing in (same failure books).
  uint16_t VerifyAccount(const std::string& email, const std::string& pcText,
                         const std::string& peerIp, int& delayMs) {
    return CheckAccount(email, pcText, peerIp, delayMs);
  }
  // The account the identity speaks for from this address now, "" when none.
  std::string SpeakingAccount(const std::string& identity, const std::string& peerIp);
  // Whether a PC is logged on from the address (its connections get the reserved room).
  bool LoggedOnAddress(const std::string& peerIp);
  CCentralStore& Store() { return m_store; }

  // Delay before answering the next failure from an address that failed `failures` times.
  static int ThrottleDelayMs(int failures);

 private:
  // 0, kStatusUnknownAccount, kStatusWrongPassword or kStatusWaitToRetry; counts failures
  // per address and per account.
  uint16_t CheckAccount(const std::string& email, const std::string& pcText,
                        const std::string& peerIp, int& delayMs);
  // Log-on and log-out: the account's password, then that the identity is not another
  // account's. True to go on (loggedOn tells whether the identity is logged on now); false
  // with the refusal in refused.
  bool AccountMayUseIdentity(const char* what, const std::string& email,
                             const std::string& pcText, const CentralRequest& r, bool& loggedOn,
                             CentralOutcome& refused);
  CentralOutcome ForBoundDevice(const CentralRequest& r, const std::function<bool()>& store);
  void RefreshAddresses(bool force);

  CCentralStore& m_store;
  std::mutex m_mutex;  // guards everything below
  struct Failures {
    int count = 0;
    int64_t last = 0;       // seconds
    int64_t lastMs = 0;     // monotonic milliseconds of the last failure
  };
  std::map<std::string, Failures> m_failures;  // per address
  struct AccountFailures {
    int count = 0;
    int64_t windowStart = 0;
  };
  std::map<std::string, AccountFailures> m_accountFailures;  // per e-mail
  struct Issued {
    int count = 0;
    int64_t windowStart = 0;
  };
  std::map<std::string, Issued> m_issued;  // per address, against a flood of new identities
  std::set<std::string> m_loggedOnAddresses;
  int64_t m_addressesRead = 0;
};

std::string NewIdentity();  // 32 random hex digits
// Peer text for a log line: bytes outside printable ASCII as \xHH, at most 96 of them.
std::string LogText(const std::string& text);
