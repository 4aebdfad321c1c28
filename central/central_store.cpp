#include "central/central_store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <arpa/inet.h>

namespace {

constexpr const char* kSchema =
    "create table if not exists accounts (email text primary key, hash text not null,"
    "  created integer not null);"
    "create table if not exists devices (identity text primary key, email text,"
    "  logged_on integer not null default 0, os text, mac text, computer text, peer_ip text,"
    "  local_ip text, command_port integer default 0, external_port integer default 0,"
    "  issued integer default 0, last_logon integer default 0, last_seen integer default 0,"
    "  power_on integer default 0, logon_ip text, released_by text);"
    "create table if not exists disks (identity text not null, drive text not null,"
    "  free_mib integer not null, reported integer not null, primary key (identity, drive));";
// Databases made before the log-on address (or the account that released the identity) was
// kept get their columns; then the index.
constexpr const char* kIndex = "create index if not exists devices_email on devices (email);";

constexpr const char* kDeviceColumns =
    "select identity, ifnull(email, ''), logged_on, ifnull(os, ''), ifnull(mac, ''),"
    " ifnull(computer, ''), ifnull(peer_ip, ''), ifnull(local_ip, ''), command_port,"
    " external_port, issued, last_logon, last_seen, power_on, ifnull(logon_ip, ''),"
    " ifnull(released_by, '') from devices";

// One prepared statement, finalised on every path.
class CStmt {
 public:
  CStmt(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK) m_stmt = nullptr;
  }
  ~CStmt() { sqlite3_finalize(m_stmt); }
  CStmt(const CStmt&) = delete;
  CStmt& operator=(const CStmt&) = delete;
  bool Ok() const { return m_stmt != nullptr; }
  CStmt& Text(int i, const std::string& v) {
    if (m_stmt) sqlite3_bind_text(m_stmt, i, v.c_str(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  CStmt& Int(int i, int64_t v) {
    if (m_stmt) sqlite3_bind_int64(m_stmt, i, v);
    return *this;
  }
  int Step() { return m_stmt ? sqlite3_step(m_stmt) : SQLITE_ERROR; }
  bool Done() { return Step() == SQLITE_DONE; }
  std::string ColText(int i) const {
    const unsigned char* t = sqlite3_column_text(m_stmt, i);
    return t ? reinterpret_cast<const char*>(t) : "";
  }
  int64_t ColInt(int i) const { return sqlite3_column_int64(m_stmt, i); }

 private:
  sqlite3_stmt* m_stmt = nullptr;
};

std::string Ipv4Text(uint32_t v) {
  in_addr a{};
  a.s_addr = htonl(v);
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

}  // namespace

CCentralStore::~CCentralStore() { sqlite3_close(m_db); }

bool CCentralStore::Exec(const char* sql) {
  return sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool CCentralStore::Open(const std::string& path, std::string& error) {
  // SQLite makes the file itself: a descriptor of our own on it, once closed, would take every
  // POSIX lock of this process on the file with it -- SQLite's too -- and another process
  // would then think the database idle and remove its write-ahead log. The file holds password
  // hashes: made under a umask that leaves it (and the log files SQLite gives its mode) 0600.
  const mode_t saved = umask(077);
  const int rc = sqlite3_open_v2(path.c_str(), &m_db,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                                 nullptr);
  umask(saved);
  if (rc != SQLITE_OK) {
    error = "cannot open database " + path;
    return false;
  }
  // An older file made with a wider mode is narrowed (by name: no descriptor of ours).
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && (st.st_mode & 077) != 0) chmod(path.c_str(), 0600);
  sqlite3_busy_timeout(m_db, 5000);
  if (!Exec("pragma journal_mode=wal;") || !Exec(kSchema)) {
    error = std::string("cannot create tables: ") + sqlite3_errmsg(m_db);
    return false;
  }
  for (const char* column : {"logon_ip", "released_by"}) {
    bool have = false;
    {
      CStmt s(m_db, "select 1 from pragma_table_info('devices') where name = ?;");
      have = s.Text(1, column).Step() == SQLITE_ROW;
    }
    if (!have && !Exec(("alter table devices add column " + std::string(column) + " text;").c_str())) {
      error = std::string("cannot update tables: ") + sqlite3_errmsg(m_db);
      return false;
    }
  }
  if (!Exec(kIndex)) {
    error = std::string("cannot update tables: ") + sqlite3_errmsg(m_db);
    return false;
  }
  return true;
}

int CCentralStore::AddAccount(const std::string& email, const std::string& hash, int64_t now) {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  CStmt s(m_db, "insert or ignore into accounts (email, hash, created) values (?, ?, ?);");
  if (!s.Text(1, email).Text(2, hash).Int(3, now).Done()) return -1;
  return sqlite3_changes(m_db) == 1 ? 0 : 1;
}

int CCentralStore::RemoveAccount(const std::string& email) {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  if (!Exec("begin;")) return -1;
  CStmt s(m_db, "delete from accounts where email = ?;");
  CStmt d(m_db, "update devices set email = null, logged_on = 0, released_by = null"
                " where email = ?1 or released_by = ?1;");
  const bool ok = s.Text(1, email).Done();
  const int changed = sqlite3_changes(m_db);
  if (!ok || !d.Text(1, email).Done()) {
    Exec("rollback;");
    return -1;
  }
  if (!Exec("commit;")) return -1;
  return changed == 1 ? 0 : 1;
}

int CCentralStore::SetAccountHash(const std::string& email, const std::string& hash) {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  CStmt s(m_db, "update accounts set hash = ? where email = ?;");
  if (!s.Text(1, hash).Text(2, email).Done()) return -1;
  return sqlite3_changes(m_db) == 1 ? 0 : 1;
}

bool CCentralStore::ListAccounts(std::vector<CentralAccount>& out) {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  out.clear();
  CStmt s(m_db, "select email, created from accounts order by email;");
  int rc;
  while ((rc = s.Step()) == SQLITE_ROW) out.push_back({s.ColText(0), s.ColInt(1)});
  return rc == SQLITE_DONE;
}

int CCentralStore::AccountHash(const std::string& email, std::string& hash) {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  CStmt s(m_db, "select hash from accounts where email = ?;");
  const int rc = s.Text(1, email).Step();
  if (rc == SQLITE_ROW) {
    hash = s.ColText(0);
    return 0;
  }
  return rc == SQLITE_DONE ? 1 : -1;
}

int CCentralStore::AddNewAccount(const std::string& email, const std::string& hash, int64_t now) {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  CStmt s(m_db, "insert or ignore into accounts (email, hash, created) select ?1, ?2, ?3"
                " where not exists (select 1 from accounts where email = ?1 collate nocase);");
  if (!s.Text(1, email).Text(2, hash).Int(3, now).Done()) return -1;
  return sqlite3_changes(m_db) == 1 ? 0 : 1;
}

int CCentralStore::FindAccountNoCase(const std::string& email) {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  CStmt s(m_db, "select 1 from accounts where email = ? collate nocase limit 1;");
  const int rc = s.Text(1, email).Step();
  if (rc == SQLITE_ROW) return 0;
  return rc == SQLITE_DONE ? 1 : -1;
}

bool CCentralStore::IssueIdentity(const std::string& identity, const std::string& peerIp,
                                  int64_t now) {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  CStmt s(m_db, "insert into devices (identity, issued, peer_ip) values (?, ?, ?);");
  return s.Text(1, identity).Int(2, now).Text(3, peerIp).Done();
}

int CCentralStore::Binding(const std::string& identity, CentralBinding& out) {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  out = CentralBinding{};
  CStmt s(m_db, "select ifnull(email, ''), logged_on, ifnull(released_by, ''), ifnull(logon_ip, '')"
                " from devices where identity = ?;");
  const int rc = s.Text(1, identity).Step();
  if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? 1 : -1;
  out.email = s.ColText(0);
  out.loggedOn = s.ColInt(1) != 0;
  out.releasedBy = s.ColText(2);
  out.logOnIp = s.ColText(3);
  return 0;
}

bool IdentityFreeFor(const CentralBinding& b, const std::string& email, const std::string& peerIp) {
  if (!b.email.empty()) return b.email == email;
  // Released by a log-out: the account that released it takes it back from anywhere; another
  // account only from where the PC last logged on (the PC switching accounts), so that nobody
  // elsewhere who knows the identity takes it while its PC is off.
  return b.releasedBy.empty() || b.releasedBy == email || b.logOnIp == peerIp;
}

int CCentralStore::BindDevice(const std::string& identity, const std::string& email,
                              const LogOnRequest& req, const std::string& peerIp, int64_t now) {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  // The same rule as IdentityFreeFor, in the statement itself: two log-ons at once cannot both
  // pass a check made before either wrote.
  CStmt s(m_db,
          "insert into devices (identity, email, logged_on, os, mac, peer_ip, last_logon, last_seen,"
          " logon_ip)"
          " values (?1, ?2, 1, ?3, ?4, ?5, ?6, ?6, ?5) on conflict(identity) do update set"
          " email = ?2, logged_on = 1, os = ?3, mac = ?4, peer_ip = ?5, last_logon = ?6,"
          " last_seen = ?6, logon_ip = ?5, released_by = null where devices.email = ?2 or"
          " (devices.email is null and (devices.released_by is null or devices.released_by = ?2"
          " or devices.logon_ip = ?5));");
  const bool done = s.Text(1, identity).Text(2, email).Text(3, req.osName).Text(4, req.mac)
                        .Text(5, peerIp).Int(6, now).Done();
  if (!done) return -1;
  if (sqlite3_changes(m_db) != 1) return 1;
  LogOnCounter().fetch_add(1);
  return 0;
}

std::atomic<uint64_t>& CCentralStore::LogOnCounter() {
  static std::atomic<uint64_t> count{0};
  return count;
}

bool CCentralStore::LogOutDevice(const std::string& identity, const std::string& email) {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  // The account lets the identity go: the PC may log on with another one (a switch of
  // accounts) without asking for a new identity.
  CStmt s(m_db, "update devices set logged_on = 0, email = null, released_by = ?2"
                " where identity = ?1 and email = ?2;");
  return s.Text(1, identity).Text(2, email).Done();
}

std::string CCentralStore::SpeakingAccount(const std::string& identity, const std::string& peerIp,
                                           int64_t since) {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  CStmt s(m_db, "select email from devices where identity = ? and logged_on = 1 and"
                " email is not null and logon_ip = ? and last_logon >= ?;");
  if (s.Text(1, identity).Text(2, peerIp).Int(3, since).Step() != SQLITE_ROW) return "";
  return s.ColText(0);
}

bool CCentralStore::ReportsFrom(const std::string& identity, const std::string& peerIp) {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  CStmt s(m_db, "select 1 from devices where identity = ? and"
                " ((email is not null and logon_ip = ?2) or (email is null and peer_ip = ?2));");
  return s.Text(1, identity).Text(2, peerIp).Step() == SQLITE_ROW;
}

bool CCentralStore::AccountLoggedOnFrom(const std::string& email, const std::string& peerIp,
                                        int64_t since) {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  CStmt s(m_db, "select 1 from devices where email = ? and logged_on = 1 and logon_ip = ? and"
                " last_logon >= ? limit 1;");
  return s.Text(1, email).Text(2, peerIp).Int(3, since).Step() == SQLITE_ROW;
}

bool CCentralStore::LoggedOnAddresses(int64_t since, std::vector<std::string>& out) {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  out.clear();
  CStmt s(m_db, "select distinct logon_ip from devices where logged_on = 1 and"
                " logon_ip is not null and last_logon >= ?;");
  s.Int(1, since);
  int rc;
  while ((rc = s.Step()) == SQLITE_ROW) out.push_back(s.ColText(0));
  return rc == SQLITE_DONE;
}

bool CCentralStore::Touch(const std::string& identity, int64_t now) {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  CStmt s(m_db, "update devices set last_seen = ? where identity = ?;");
  return s.Int(1, now).Text(2, identity).Done();
}

bool CCentralStore::SetServerInfo(const std::string& identity, const SVInfo& info, int64_t now) {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  CStmt s(m_db,
          "update devices set local_ip = ?, external_port = ?, command_port = ?, computer = ?,"
          " last_seen = ? where identity = ?;");
  return s.Text(1, Ipv4Text(info.localIp)).Int(2, info.externalPort).Int(3, info.commandPort)
      .Text(4, info.computerName).Int(5, now).Text(6, identity).Done();
}

bool CCentralStore::SetPowerOn(const std::string& identity, const PowerOnInfo& info, int64_t now) {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  CStmt s(m_db, "update devices set power_on = ?, computer = ?, last_seen = ? where identity = ?;");
  return s.Int(1, now).Text(2, info.computerName).Int(3, now).Text(4, identity).Done();
}

bool CCentralStore::SetDisks(const std::string& identity, const std::vector<DiskInfo>& disks,
                             int64_t now) {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  if (!Exec("begin;")) return false;
  bool ok = CStmt(m_db, "delete from disks where identity = ?;").Text(1, identity).Done();
  for (const DiskInfo& d : disks) {
    if (!ok) break;
    CStmt s(m_db, "insert or replace into disks (identity, drive, free_mib, reported)"
                  " values (?, ?, ?, ?);");
    ok = s.Text(1, identity).Text(2, d.drive).Int(3, d.freeMiB).Int(4, now).Done();
  }
  ok = ok && CStmt(m_db, "update devices set last_seen = ? where identity = ?;")
                 .Int(1, now).Text(2, identity).Done();
  if (!ok) {
    Exec("rollback;");
    return false;
  }
  return Exec("commit;");
}

namespace {

CentralDevice DeviceRow(const CStmt& s) {
  CentralDevice d;
  d.identity = s.ColText(0);
  d.email = s.ColText(1);
  d.loggedOn = s.ColInt(2) != 0;
  d.os = s.ColText(3);
  d.mac = s.ColText(4);
  d.computer = s.ColText(5);
  d.peerIp = s.ColText(6);
  d.localIp = s.ColText(7);
  d.commandPort = static_cast<int>(s.ColInt(8));
  d.externalPort = static_cast<int>(s.ColInt(9));
  d.issued = s.ColInt(10);
  d.lastLogOn = s.ColInt(11);
  d.lastSeen = s.ColInt(12);
  d.powerOn = s.ColInt(13);
  d.logOnIp = s.ColText(14);
  d.releasedBy = s.ColText(15);
  return d;
}

}  // namespace

bool CCentralStore::Devices(std::vector<CentralDevice>& out) {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  out.clear();
  CStmt s(m_db, (std::string(kDeviceColumns) + " order by email, identity;").c_str());
  int rc;
  while ((rc = s.Step()) == SQLITE_ROW) out.push_back(DeviceRow(s));
  if (rc != SQLITE_DONE) return false;
  for (CentralDevice& d : out) {
    CStmt k(m_db, "select drive, free_mib from disks where identity = ? order by rowid;");
    k.Text(1, d.identity);
    while (k.Step() == SQLITE_ROW) {
      DiskInfo disk;
      disk.drive = k.ColText(0);
      disk.freeMiB = static_cast<uint32_t>(k.ColInt(1));
      d.disks.push_back(disk);
    }
  }
  return true;
}

bool CCentralStore::AccountDevices(const std::string& email, std::vector<CentralDevice>& out) {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  out.clear();
  CStmt s(m_db, (std::string(kDeviceColumns) +
                 " where email = ? and logged_on = 1 order by identity;").c_str());
  s.Text(1, email);
  int rc;
  while ((rc = s.Step()) == SQLITE_ROW) out.push_back(DeviceRow(s));
  return rc == SQLITE_DONE;
}
