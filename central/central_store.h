#pragma once
// The central server's own SQLite database (<data>/central.db, mode 0600): accounts (e-mail
// and the hash of the PC's password text), the identities it issued, and per identity what
// the PC last reported and when. Used by one thread at a time (the exchange worker, or the
// administration commands); every call is one statement or one transaction, under the
// store's own lock (the exchanges run on several workers).
#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <atomic>
#include <string>
#include <vector>

#include "common/proto_central.h"

struct CentralAccount {
  std::string email;
  int64_t created = 0;
};

struct CentralDevice {
  std::string identity;
  std::string email;      // "" until a log-on binds it
  bool loggedOn = false;  // false after a log-out
  std::string os, mac, computer;
  std::string peerIp;     // the address the server saw
  std::string logOnIp;    // the address of the last successful log-on
  std::string releasedBy;  // the account whose log-out released it ("" when bound or never)
  std::string localIp;    // as the PC reported it
  int commandPort = 0, externalPort = 0;
  int64_t issued = 0, lastLogOn = 0, lastSeen = 0, powerOn = 0;
  std::vector<DiskInfo> disks;
};

// Whose an identity is: bound to an account, or released by one (a log-out), or neither.
struct CentralBinding {
  std::string email;       // bound to, "" when not
  bool loggedOn = false;
  std::string releasedBy;  // the account whose log-out released it, "" when none
  std::string logOnIp;     // the address of its last successful log-on
};
// Whether a log-on of `email` from peerIp may bind the identity.
bool IdentityFreeFor(const CentralBinding& b, const std::string& email, const std::string& peerIp);

class CCentralStore {
 public:
  CCentralStore() = default;
  ~CCentralStore();
  CCentralStore(const CCentralStore&) = delete;
  CCentralStore& operator=(const CCentralStore&) = delete;

  bool Open(const std::string& path, std::string& error);

  // 0 done, 1 already there (add) / not there (remove), -1 database error.
  int AddAccount(const std::string& email, const std::string& hash, int64_t now);
  int RemoveAccount(const std::string& email);
  // A new password hash: 0 done, 1 no such account, -1 database error.
  int SetAccountHash(const std::string& email, const std::string& hash);
  bool ListAccounts(std::vector<CentralAccount>& out);
  // 0 found, 1 unknown, -1 error.
  int AccountHash(const std::string& email, std::string& hash);
  // A registration: 0 added, 1 an account of that address exists (in any letter case),
  // -1 database error.
  int AddNewAccount(const std::string& email, const std::string& hash, int64_t now);
  // 0 an account of that address exists (in any letter case), 1 none, -1 error.
  int FindAccountNoCase(const std::string& email);

  bool IssueIdentity(const std::string& identity, const std::string& peerIp, int64_t now);
  // 0 found, 1 unknown identity, -1 error.
  int Binding(const std::string& identity, CentralBinding& out);
  // Successful log-ons in this process so far: a cached "not logged on there" answer is stale
  // once it moved.
  static std::atomic<uint64_t>& LogOnCounter();
  // Binds the identity to the account and logs it on (as IdentityFreeFor allows): 0 done,
  // 1 the identity is not free for the account, -1 error.
  int BindDevice(const std::string& identity, const std::string& email, const LogOnRequest& req,
                 const std::string& peerIp, int64_t now);
  // Logs the identity out and releases it from the account.
  bool LogOutDevice(const std::string& identity, const std::string& email);
  // The account of an identity logged on from peerIp at or after `since` (its last log-on
  // came from there), "" when none: what the PC itself says later is believed only then.
  std::string SpeakingAccount(const std::string& identity, const std::string& peerIp,
                              int64_t since);
  // Whether a report of the identity may come from peerIp: the address of its last log-on,
  // or, for an identity never bound, the address it was issued to.
  bool ReportsFrom(const std::string& identity, const std::string& peerIp);
  // Whether a PC of the account is logged on from peerIp at or after `since`.
  bool AccountLoggedOnFrom(const std::string& email, const std::string& peerIp, int64_t since);
  // Addresses with a logged-on PC since `since`.
  bool LoggedOnAddresses(int64_t since, std::vector<std::string>& out);
  bool Touch(const std::string& identity, int64_t now);
  bool SetServerInfo(const std::string& identity, const SVInfo& info, int64_t now);
  bool SetPowerOn(const std::string& identity, const PowerOnInfo& info, int64_t now);
  bool SetDisks(const std::string& identity, const std::vector<DiskInfo>& disks, int64_t now);
  bool Devices(std::vector<CentralDevice>& out);  // by account, then identity
  // The logged-on PCs of one account, by identity (no disk records).
  bool AccountDevices(const std::string& email, std::vector<CentralDevice>& out);

 private:
  bool Exec(const char* sql);
  sqlite3* m_db = nullptr;
  std::recursive_mutex m_lock;
};
