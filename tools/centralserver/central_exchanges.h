#pragma once
// The single exchanges of a PC with the central server (log-on, log-out, heartbeat, server
// info, identity, power-on, disk info): validate, store per identity, answer with a status.
// Run on the server's worker thread only; they own the failure throttle.
#include <cstdint>
#include <map>
#include <string>

#include "tools/centralserver/central_server.h"
#include "tools/centralserver/central_store.h"

constexpr int kThrottleFreeFailures = 3;  // failures from one address before answers slow down
constexpr int kThrottleMaxDelayMs = 30000;
constexpr int kThrottleForgetSec = 900;
constexpr int kIdentitiesPerHour = 60;  // new identities one address may get in an hour

class CCentralExchanges {
 public:
  explicit CCentralExchanges(CCentralStore& store) : m_store(store) {}
  void RegisterAll(CCentralServer& server);

  CentralOutcome LogOn(const CentralRequest& r);
  CentralOutcome LogOut(const CentralRequest& r);
  CentralOutcome HeartBeat(const CentralRequest& r);
  CentralOutcome ServerInfo(const CentralRequest& r);
  CentralOutcome Identity(const CentralRequest& r);
  CentralOutcome PowerOn(const CentralRequest& r);
  CentralOutcome Disks(const CentralRequest& r);

  // The account check of log-on, for phones signing in (same failure throttle).
  uint16_t VerifyAccount(const std::string& email, const std::string& pcText,
                         const std::string& peerIp, int& delayMs) {
    return CheckAccount(email, pcText, peerIp, delayMs);
  }
  CCentralStore& Store() { return m_store; }

  // Delay before answering the next failure from an address that failed `failures` times.
  static int ThrottleDelayMs(int failures);

 private:
  // 0, kStatusUnknownAccount or kStatusWrongPassword; counts failures per address.
  uint16_t CheckAccount(const std::string& email, const std::string& pcText,
                        const std::string& peerIp, int& delayMs);
  CentralOutcome ForBoundDevice(const CentralRequest& r, const std::function<bool()>& store);

  CCentralStore& m_store;
  struct Failures {
    int count = 0;
    int64_t last = 0;
  };
  std::map<std::string, Failures> m_failures;
  struct Issued {
    int count = 0;
    int64_t windowStart = 0;
  };
  std::map<std::string, Issued> m_issued;  // per address, against a flood of new identities
};

std::string NewIdentity();  // 32 random hex digits
