#pragma once
// The single exchanges of a PC with the central server (log-on, log-out, heartbeat, server
// info, identity, power-on, disk info): validate, store per identity, answer with a status.
// Run on the server's workers (several at once): the failure books are under their own lock.
//
// An identity is not a secret (any phone on the PC's network learns it), so it proves
// nothing alone: an identity stays with the account that logged it on until that account logs
// it out (a switch of accounts on the PC), and what is said
// under it later (reports, the relay, the cache) is believed only from the address of its last
// successful log-on, within that log-on's life.
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "central/central_server.h"
#include "central/central_store.h"

// Failed answers to one address are held back after this many failures: 1 s, doubling, at
// most 30 s; a success or 15 quiet minutes end it. Only the failure waits: a right password is
// answered at once.
constexpr int kThrottleFreeFailures = 3;
constexpr int kThrottleMaxDelayMs = 30000;
constexpr int kThrottleForgetSec = 900;
constexpr int kIdentitiesPerHour = 60;  // new identities one address may get in an hour
// A PC logs on again every minute; without that for this long it has to log on anew.
constexpr int kLogOnLifeSec = 600;
// Guesses at one account, from all addresses together: after this many failures within the
// window, its checks take turns, one per kAccountCheckSpacingMs; a check waits for its turn
// (it is never refused for others' failures), except that one address may have at most
// kAccountWaitingPerAddress checks waiting and the account kAccountWaitingMax in all (a client
// that leaves gives its turn back).
// A right password the server already accepted recently, and a PC's log-on with its own
// identity from its own address, take no turn. A log-on or log-out under an identity of the
// account from another address (the household got a new public address) waits for its turn
// in room of its own beside the slots others can fill, and is never refused unchecked; that
// room's turns are spaced as the shared ones (at most two checks of the account per spacing).
constexpr int kAccountFailuresFree = 5;
constexpr int kAccountWindowSec = 900;
constexpr int kAccountCheckSpacingMs = 2000;
constexpr int kAccountWaitingPerAddress = 4;
constexpr int kAccountWaitingMax = 256;
constexpr size_t kGoodTextsMax = 65536;  // accounts whose last accepted text is remembered

// What a check of an account's password came to.
struct AccountCheck {
  uint16_t status = 0;  // 0, kStatusUnknownAccount, kStatusWrongPassword, kStatusServerError,
                        // kStatusWaitToRetry (too many checks of it waiting from there)
  int delayMs = 0;      // hold the (failure) answer back this long
  int retryMs = 0;      // not checked yet: its turn comes this much later
  int64_t turnMs = 0;   // that turn (monotonic), for Abandon
};

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

  // The account check of log-on, for phones signing in (same books).
  AccountCheck VerifyAccount(const std::string& email, const std::string& pcText,
                             const CentralRequest& r) {
    return CheckAccount(email, pcText, r, CheckRoom::kShared);
  }
  // Whether the text is one accepted recently for the account (its stored hash unchanged):
  // right without hashing. RememberGood records one (after a check elsewhere succeeded).
  bool KnownGood(const std::string& email, const std::string& pcText);
  void RememberGood(const std::string& email, const std::string& hash, const std::string& pcText);
  // A client left while its check waited for its turn: the turn is free again.
  void Abandon(const std::string& peerIp, const std::string& email, int64_t turnMs);
  // The outcome of a check that waits for its turn.
  static CentralOutcome WaitForTurn(const std::string& email, const AccountCheck& check);
  // The account the identity speaks for from this address now, "" when none.
  std::string SpeakingAccount(const std::string& identity, const std::string& peerIp);
  // Whether a PC is logged on from the address (its connections get the reserved room).
  bool LoggedOnAddress(const std::string& peerIp);
  CCentralStore& Store() { return m_store; }

  // Delay before answering the next failure from an address that failed `failures` times.
  static int ThrottleDelayMs(int failures);

 private:
  // Whose check it is: a PC's log-on with the identity it logged on with, from that address
  // (no turn); under an identity of the account from elsewhere (a turn in room of its own);
  // anyone else (a turn in the shared slots).
  enum class CheckRoom { kOwnPc, kAccountIdentity, kShared };
  // Checks the password text (or says when its turn comes); counts failures per address and
  // per account.
  AccountCheck CheckAccount(const std::string& email, const std::string& pcText,
                            const CentralRequest& r, CheckRoom room);
  // Log-on and log-out: the account's password, then that the identity is not another
  // account's. True to go on (loggedOn tells whether the identity is logged on now); false
  // with the refusal in refused.
  bool AccountMayUseIdentity(const char* what, bool logOn, const std::string& email,
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
  struct AccountBook {
    int failures = 0;
    int64_t lastFailure = 0;  // seconds
    int64_t lastTurnMs = 0;   // monotonic: when the last paced check ran
    struct Waiting {
      std::string peerIp;
      int64_t turnMs = 0;    // monotonic
      std::string identity;  // set: waits in the identity's own room
    };
    std::vector<Waiting> waiting;
  };
  std::map<std::string, AccountBook> m_accounts;  // per e-mail
  struct GoodText {
    std::string hash;    // the stored hash it was accepted against
    std::string digest;  // keyed digest of the accepted text
  };
  std::map<std::string, GoodText> m_goodTexts;  // per e-mail
  struct Issued {
    int count = 0;
    int64_t windowStart = 0;
  };
  std::map<std::string, Issued> m_issued;  // per address, against a flood of new identities
  std::set<std::string> m_loggedOnAddresses;
  int64_t m_addressesRead = 0;
};

std::string NewIdentity();  // 32 random hex digits
