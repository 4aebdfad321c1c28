#include "common/settings.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "common/log.h"
#include "common/os_layer.h"
#include "common/sqlite_wrapper.h"

namespace {

std::atomic<uint64_t> g_sharesGeneration{1};  // see Settings_SharesGeneration

constexpr const char* kIllegalChars = "'|;|\"|=|`|*|%|$|^|&|<|>|{|}|[|]|";
constexpr size_t kTransTimeMax = sizeof(TransLogRecord::time) - 1;
constexpr size_t kTransFileMax = sizeof(TransLogRecord::file) - 1;

// An entry of only blanks names no folder; storing it would admit nothing and confuse lists.
bool IsBlank(const std::string& text) {
  return text.find_first_not_of(" \t") == std::string::npos;
}

uint16_t PortOf(int value) { return static_cast<uint16_t>(value & 0xFFFF); }

void CopyCut(char* dest, size_t destSize, const std::string& text) {
  const size_t n = std::min(text.size(), destSize - 1);
  std::memcpy(dest, text.data(), n);
  dest[n] = '\0';
}

#define QV_LOG_DB_ERROR(e) \
  QV_LOG(kModCommLib, kLogDebug, "sqlite get a exception code %d,msg %s", (e).ErrorCode(), \
         (e).ErrorMessage())

}  // namespace

std::string FixedField(const char* field, size_t width) {
  if (!field) return std::string();
  return std::string(field, strnlen(field, width));
}

// ---- readers: each holds the write mutex for its query and iteration ----

void ParseLocalPort() {
  g_LocalPort.store(0);
  try {
    CMutexLock lock(g_DB.WriteMutex());
    CppSQLite3Query q = g_DB.ExecQuery("select * from qv_conf");
    if (!q.Eof()) g_LocalPort.store(PortOf(q.GetIntField("localport")));
  } catch (const CppSQLite3Exception& e) {
    QV_LOG_DB_ERROR(e);
  }
}

void ParseLogConf(int& console, int& priority) {
  console = 0;
  priority = static_cast<int>(kLogDefaultPriority);
  try {
    CMutexLock lock(g_DB.WriteMutex());
    CppSQLite3Query q = g_DB.ExecQuery("select * from qv_conf");
    if (q.Eof()) return;
    console = q.GetIntField("log_console");
    // A priority the settings do not give is the default, not 0 (which would log nothing).
    if (q.FieldDataType(q.FieldIndex("log_priority")) != SQLITE_NULL)
      priority = q.GetIntField("log_priority");
  } catch (const CppSQLite3Exception& e) {
    QV_LOG_DB_ERROR(e);
  }
}

namespace {

void ReadServer(const char* hostColumn, const char* portColumn, std::string& host,
                uint16_t& port) {
  CMutexLock lock(g_DB.WriteMutex());
  CppSQLite3Query q = g_DB.ExecQuery("select * from qv_conf");
  if (q.Eof()) return;
  host = q.GetStringField(hostColumn);
  port = PortOf(q.GetIntField(portColumn));
}

}  // namespace

void GetServerInfo(std::string& host, uint16_t& port) {
  host.clear();
  port = 0;
  try {
    ReadServer("svhost", "svport", host, port);
  } catch (const CppSQLite3Exception& e) {
    QV_LOG_DB_ERROR(e);
  }
}

void GetP2PServerInfo(std::string& host, uint16_t& port) {
  host.clear();
  port = 0;
  try {
    ReadServer("p2phost", "p2pport", host, port);
  } catch (const CppSQLite3Exception& e) {
    QV_LOG_DB_ERROR(e);
  }
}

void GetUsernfo(std::string& email, std::string& password) {
  email.clear();
  password.clear();
  try {
    CMutexLock lock(g_DB.WriteMutex());
    CppSQLite3Query q = g_DB.ExecQuery("select * from qv_user;");
    if (q.Eof()) return;
    email = q.GetStringField("email");
    password = q.GetStringField("psw");
  } catch (const CppSQLite3Exception& e) {
    QV_LOG_DB_ERROR(e);
  }
}

bool ParseDefaultDir(DefaultDirSet& out) {
  out = DefaultDirSet();
  try {
    CMutexLock lock(g_DB.WriteMutex());
    CppSQLite3Query q = g_DB.ExecQuery("select * from qv_defshare");
    if (q.Eof()) return true;
    out.def = q.GetStringField("def");
    out.pic = q.GetStringField("def_pic");
    out.music = q.GetStringField("def_music");
    out.video = q.GetStringField("def_video");
    out.doc = q.GetStringField("def_doc");
    out.instant = q.GetStringField("def_instant");
  } catch (const CppSQLite3Exception& e) {
    QV_LOG_DB_ERROR(e);
    return false;
  }
  return true;
}

void GetDefShareInfo(DefShareInfo& out) {
  std::memset(&out, 0, sizeof(out));
  DefaultDirSet dirs;
  ParseDefaultDir(dirs);
  CopyCut(out.def, sizeof(out.def), dirs.def);
  CopyCut(out.pic, sizeof(out.pic), dirs.pic);
  CopyCut(out.music, sizeof(out.music), dirs.music);
  CopyCut(out.video, sizeof(out.video), dirs.video);
  CopyCut(out.doc, sizeof(out.doc), dirs.doc);
  CopyCut(out.instant, sizeof(out.instant), dirs.instant);
}

bool ParseShareInfo(std::vector<std::string>& out) {
  out.clear();
  try {
    CMutexLock lock(g_DB.WriteMutex());
    CppSQLite3Query q = g_DB.ExecQuery("select * from qv_share order by rowid");
    for (; !q.Eof(); q.NextRow()) {
      std::string path = q.GetStringField("path");
      if (IsBlank(path)) continue;
      if (std::find(out.begin(), out.end(), path) != out.end()) continue;
      out.push_back(std::move(path));
    }
  } catch (const CppSQLite3Exception& e) {
    QV_LOG_DB_ERROR(e);
    return false;
  }
  return true;
}

void GetTransLog(std::vector<TransLogRecord>& out) {
  out.clear();
  try {
    CMutexLock lock(g_DB.WriteMutex());
    CppSQLite3Query q = g_DB.ExecQuery("select * from qv_trans order by id");
    for (; !q.Eof(); q.NextRow()) {
      TransLogRecord r;
      std::memset(&r, 0, sizeof(r));
      r.type = static_cast<uint16_t>(q.GetIntField("type"));
      r.status = static_cast<uint16_t>(q.GetIntField("status"));
      // The record's size is 32 bits; a larger file shows as the largest value, not wrapped.
      const long long size = q.GetInt64Field("size");
      r.size = size < 0 ? 0 : size > 0xFFFFFFFFLL ? 0xFFFFFFFFu : static_cast<uint32_t>(size);
      const std::string time = q.GetStringField("time");
      const std::string file = q.GetStringField("file");
      std::memcpy(r.time, time.data(), std::min(time.size(), kTransTimeMax));
      std::memcpy(r.file, file.data(), std::min(file.size(), kTransFileMax));
      out.push_back(r);
    }
  } catch (const CppSQLite3Exception& e) {
    QV_LOG_DB_ERROR(e);
  }
}

std::string GetPsw() {
  try {
    CMutexLock lock(g_DB.WriteMutex());
    CppSQLite3Query q = g_DB.ExecQuery("select * from qv_psw");
    if (q.Eof()) return std::string();
    return q.GetStringField("psw");
  } catch (const CppSQLite3Exception& e) {
    QV_LOG_DB_ERROR(e);
  }
  return std::string();
}

// ---- writers ----

int ClearLogOnInfo() {
  try {
    RunWriteTransaction([] { g_DB.ExecDML("delete from qv_user"); });
    return 0;
  } catch (const CppSQLite3Exception& e) {
    QV_LOG_DB_ERROR(e);
    return -1;
  }
}

int WriteLogOnInfo(const AccountInfo& account) {
  const std::string email = FixedField(account.email, sizeof(account.email));
  const std::string password = FixedField(account.password, sizeof(account.password));
  try {
    RunWriteTransaction([&] {
      g_DB.ExecDML("delete from qv_user");
      CppSQLite3Buffer sql;
      g_DB.ExecDML(sql.Format("insert into qv_user (email, psw) values (%Q,%Q)", email.c_str(),
                              password.c_str()));
    });
    return 0;
  } catch (const CppSQLite3Exception& e) {
    QV_LOG_DB_ERROR(e);
    return -1;
  }
}

int SetDefaultDir(const DefShareInfo& dirs) {
  const std::string def = FixedField(dirs.def, sizeof(dirs.def));
  const std::string pic = FixedField(dirs.pic, sizeof(dirs.pic));
  const std::string music = FixedField(dirs.music, sizeof(dirs.music));
  const std::string video = FixedField(dirs.video, sizeof(dirs.video));
  const std::string doc = FixedField(dirs.doc, sizeof(dirs.doc));
  const std::string instant = FixedField(dirs.instant, sizeof(dirs.instant));
  try {
    RunWriteTransaction([&] {
      g_DB.ExecDML("delete from qv_defshare");
      CppSQLite3Buffer sql;
      g_DB.ExecDML(sql.Format(
          "insert into qv_defshare(def,def_pic,def_music,def_video,def_doc,def_instant)"
          "values(%Q,%Q,%Q,%Q,%Q,%Q)",
          def.c_str(), pic.c_str(), music.c_str(), video.c_str(), doc.c_str(), instant.c_str()));
    });
    Settings_SharesChanged();
    return 0;
  } catch (const CppSQLite3Exception& e) {
    QV_LOG_DB_ERROR(e);
    Settings_SharesChanged();  // whatever the database holds now is read again
    return -1;
  }
}

int SetShareInfo(const std::vector<std::string>& shares) {
  try {
    RunWriteTransaction([&] {
      g_DB.ExecDML("delete from qv_share");
      CppSQLite3Buffer sql;
      for (const std::string& path : shares) {
        if (IsBlank(path)) continue;
        g_DB.ExecDML(sql.Format("insert into qv_share(path) values (%Q)", path.c_str()));
      }
    });
    Settings_SharesChanged();
    return 0;
  } catch (const CppSQLite3Exception& e) {
    QV_LOG_DB_ERROR(e);
    Settings_SharesChanged();  // whatever the database holds now is read again
    return -1;
  }
}

int ClearLog() {
  try {
    RunWriteTransaction([] { g_DB.ExecDML("delete from qv_trans"); });
    return 0;
  } catch (const CppSQLite3Exception& e) {
    QV_LOG_DB_ERROR(e);
    return 1;
  }
}

int SetPsw(const std::string& password) {
  try {
    RunWriteTransaction([&] {
      g_DB.ExecDML("delete from qv_psw");
      CppSQLite3Buffer sql;
      g_DB.ExecDML(sql.Format("insert into qv_psw (psw) values (%Q)", password.c_str()));
    });
    return 0;
  } catch (const CppSQLite3Exception& e) {
    QV_LOG_DB_ERROR(e);
    return -1;
  }
}

void RunWriteTransaction(const std::function<void()>& body) {
  MutexHandle mutex = g_DB.WriteMutex();
  if (mutex) mutex->Lock();
  try {
    g_DB.ExecDML("begin transaction;");
    body();
    g_DB.ExecDML("commit transaction;");
  } catch (const CppSQLite3Exception&) {
    RollbackTransaction();  // releases the mutex
    throw;
  }
  if (mutex) mutex->Unlock();
}

void RollbackTransaction() {
  try {
    g_DB.ExecDML("rollback transaction;");
  } catch (const CppSQLite3Exception&) {
    // Nothing was open, or the database is gone; the mutex is released all the same.
  }
  MutexHandle mutex = g_DB.WriteMutex();
  if (mutex) mutex->Unlock();
}

int CheckIllegalChar(const std::string& text) {
  const std::string set = kIllegalChars;
  size_t start = 0;
  while (start < set.size()) {
    size_t end = set.find('|', start);
    if (end == std::string::npos) end = set.size();
    const std::string piece = set.substr(start, end - start);
    if (!piece.empty() && text.find(piece) != std::string::npos) return -1;
    start = end + 1;
  }
  return 0;
}

void Settings_SharesChanged() { g_sharesGeneration.fetch_add(1); }

uint64_t Settings_SharesGeneration() { return g_sharesGeneration.load(); }
