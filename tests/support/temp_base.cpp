#include "tests/support/temp_base.h"

#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "common/share_table.h"
#include "common/sqlite_wrapper.h"
#include "tools/dbinit/schema.h"

namespace fs = std::filesystem;

namespace {

struct DbCloser {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};

std::unique_ptr<sqlite3, DbCloser> OpenFile(const std::string& path) {
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
  std::unique_ptr<sqlite3, DbCloser> db(raw);
  if (rc != SQLITE_OK) throw std::runtime_error("cannot open " + path);
  sqlite3_busy_timeout(raw, 60000);
  return db;
}

void ExecOn(sqlite3* db, const std::string& sql) {
  char* msg = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &msg) == SQLITE_OK) return;
  const std::string text = msg ? msg : sqlite3_errmsg(db);
  sqlite3_free(msg);
  throw std::runtime_error("sql failed: " + text + " in: " + sql);
}

std::string Quoted(const std::string& text) {
  char* q = sqlite3_mprintf("%Q", text.c_str());
  std::string out = q ? q : "NULL";
  sqlite3_free(q);
  return out;
}

}  // namespace

TempBase::TempBase(const TempBaseOptions& opt) {
  // Under $TMPDIR when one is set, so that a run that gives its fixtures a folder of its own
  // (a benchmark) takes what they made with it, however it ends.
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/quarlo-base-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed under " + pattern);
  m_dir = pattern;
  MakeDir("bin");
  MakeDir("etc");
  MakeDir("log");

  SchemaOptions so;
  so.localport = opt.localport;
  so.logPriority = opt.logPriority;
  so.logConsole = opt.logConsole;
  so.svhost = opt.svhost;
  so.svport = opt.svport;
  so.p2phost = opt.p2phost;
  so.p2pport = opt.p2pport;
  std::string error;
  if (CreateSettingsDatabase(DbPath(), so, error) != 0) {
    std::error_code ec;
    fs::remove_all(m_dir, ec);
    throw std::runtime_error("cannot seed the database: " + error);
  }
}

TempBase::~TempBase() {
  if (m_openedGlobal) {
    try {
      g_DB.Close();
    } catch (...) {
    }
    ShareTable_Changed();
  }
  std::error_code ec;
  fs::remove_all(m_dir, ec);  // symlinks are removed, never followed
}

std::string TempBase::MakeDir(const std::string& rel) const {
  const std::string path = m_dir + "/" + rel;
  std::error_code ec;
  fs::create_directories(path, ec);
  if (ec) throw std::runtime_error("cannot create " + path + ": " + ec.message());
  return path;
}

std::string TempBase::WriteFile(const std::string& rel, const std::string& content) const {
  const std::string path = m_dir + "/" + rel;
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path);
  return path;
}

void TempBase::Exec(const std::string& sql) const {
  auto db = OpenFile(DbPath());
  ExecOn(db.get(), sql);
  // The service's pieces in this process keep the folders in memory; the settings changed
  // behind the writers that would tell them.
  ShareTable_Changed();
}

void TempBase::AddShare(const std::string& path) const {
  Exec("insert into qv_share(path) values (" + Quoted(path) + ");");
}

void TempBase::SetShares(const std::vector<std::string>& paths) const {
  std::string sql = "begin transaction; delete from qv_share;";
  for (const std::string& p : paths) sql += "insert into qv_share(path) values (" + Quoted(p) + ");";
  sql += "commit transaction;";
  Exec(sql);
}

void TempBase::SetDefaultDirs(const DefaultDirSet& d) const {
  Exec("begin transaction; delete from qv_defshare;"
       "insert into qv_defshare(def,def_pic,def_music,def_video,def_doc,def_instant) values (" +
       Quoted(d.def) + "," + Quoted(d.pic) + "," + Quoted(d.music) + "," + Quoted(d.video) + "," +
       Quoted(d.doc) + "," + Quoted(d.instant) + "); commit transaction;");
}

DefaultDirSet TempBase::MakeDefaultDirs(const std::string& rel) const {
  DefaultDirSet d;
  d.def = MakeDir(rel);
  d.pic = MakeDir(rel + "/Pictures");
  d.music = MakeDir(rel + "/Music");
  d.video = MakeDir(rel + "/Videos");
  d.doc = MakeDir(rel + "/Documents");
  d.instant = MakeDir(rel + "/Pictures/Instant");
  SetDefaultDirs(d);
  return d;
}

void TempBase::OpenGlobalDb() {
  g_DB.Open(DbPath());
  m_openedGlobal = true;
  ShareTable_Changed();
}
