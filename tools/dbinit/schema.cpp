#include "tools/dbinit/schema.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "schema_sql.h"

namespace {

constexpr mode_t kDbMode = 0600;

struct DbCloser {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct StmtFinalizer {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using DbPtr = std::unique_ptr<sqlite3, DbCloser>;
using StmtPtr = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

bool ValidPort(int port) { return port >= 0 && port <= 0xFFFF; }

// Binds the named values of the qv_conf row; any other parameter is a fault of the schema.
bool BindParameters(sqlite3_stmt* stmt, const SchemaOptions& opt, std::string& error) {
  const int count = sqlite3_bind_parameter_count(stmt);
  for (int i = 1; i <= count; ++i) {
    const char* raw = sqlite3_bind_parameter_name(stmt, i);
    const std::string name = raw ? raw : "";
    int rc;
    if (name == ":localport") rc = sqlite3_bind_int(stmt, i, opt.localport);
    else if (name == ":log_console") rc = sqlite3_bind_int(stmt, i, opt.logConsole);
    else if (name == ":log_priority") rc = sqlite3_bind_int(stmt, i, opt.logPriority);
    else if (name == ":svhost") rc = sqlite3_bind_text(stmt, i, opt.svhost.c_str(), -1, SQLITE_TRANSIENT);
    else if (name == ":svport") rc = sqlite3_bind_int(stmt, i, opt.svport);
    else if (name == ":p2phost") rc = sqlite3_bind_text(stmt, i, opt.p2phost.c_str(), -1, SQLITE_TRANSIENT);
    else if (name == ":p2pport") rc = sqlite3_bind_int(stmt, i, opt.p2pport);
    else {
      error = "unknown parameter in the schema: " + name;
      return false;
    }
    if (rc != SQLITE_OK) {
      error = std::string("cannot bind ") + name + ": " + sqlite3_errstr(rc);
      return false;
    }
  }
  return true;
}

bool Exec(sqlite3* db, const char* sql, std::string& error) {
  char* msg = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &msg) == SQLITE_OK) return true;
  error = msg ? msg : sqlite3_errmsg(db);
  sqlite3_free(msg);
  return false;
}

// Runs every statement of the schema, in order, inside one transaction.
bool RunSchema(sqlite3* db, const SchemaOptions& opt, std::string& error) {
  if (!Exec(db, "begin transaction;", error)) return false;
  const char* next = kSchemaSql;
  while (next && *next) {
    sqlite3_stmt* raw = nullptr;
    const char* tail = nullptr;
    if (sqlite3_prepare_v2(db, next, -1, &raw, &tail) != SQLITE_OK) {
      error = std::string("schema: ") + sqlite3_errmsg(db);
      return false;
    }
    StmtPtr stmt(raw);
    next = tail;
    if (!stmt) continue;  // blank text or a comment
    if (!BindParameters(stmt.get(), opt, error)) return false;
    const int rc = sqlite3_step(stmt.get());
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) {
      error = std::string("schema: ") + sqlite3_errmsg(db);
      return false;
    }
  }
  return Exec(db, "commit transaction;", error);
}

}  // namespace

const char* SettingsSchemaSql() { return kSchemaSql; }

int CreateSettingsDatabase(const std::string& path, const SchemaOptions& opt, std::string& error) {
  error.clear();
  if (path.empty()) {
    error = "no database path given";
    return -1;
  }
  if (!ValidPort(opt.localport) || !ValidPort(opt.svport) || !ValidPort(opt.p2pport)) {
    error = "a port must lie between 0 and 65535";
    return -1;
  }
  if (opt.overwrite && unlink(path.c_str()) != 0 && errno != ENOENT) {
    error = "cannot remove " + path + ": " + std::strerror(errno);
    return -1;
  }
  // O_EXCL: an existing database (with its account and shares) is never replaced by accident.
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kDbMode);
  if (fd < 0) {
    error = errno == EEXIST ? path + " already exists (use --force to replace it)"
                            : "cannot create " + path + ": " + std::strerror(errno);
    return -1;
  }
  // The umask may only have narrowed the mode; make it exactly 0600.
  const bool modeSet = fchmod(fd, kDbMode) == 0;
  close(fd);
  if (!modeSet) {
    error = "cannot set the mode of " + path + ": " + std::strerror(errno);
    unlink(path.c_str());
    return -1;
  }

  bool ok = false;
  {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
    DbPtr db(raw);
    if (rc != SQLITE_OK) {
      error = "cannot open " + path + ": " + (raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc));
    } else {
      ok = RunSchema(db.get(), opt, error);
    }
  }
  if (!ok) {
    unlink(path.c_str());
    return -1;
  }
  return 0;
}
