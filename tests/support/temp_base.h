#pragma once
// A temporary base folder laid out as the service expects: <dir>/bin, <dir>/etc/Quarlo.db
// (seeded with the shipped schema and one qv_conf row), <dir>/log. Everything is removed on
// destruction. The database helpers use their own SQLite connection, so they work whether or
// not g_DB (or a service process) has the file open.
#include <string>
#include <vector>

#include "common/settings.h"

struct TempBaseOptions {
  int localport = 0;  // 0: the command server binds a free port (parallel tests)
  int logPriority = 700;  // debug lines, so fixtures can read "Bind port %d." from the log
  int logConsole = 0;
  std::string svhost = "127.0.0.1";
  int svport = 0;  // no central server: tests that want one start QuarloCentral and set it
  std::string p2phost = "127.0.0.1";
  int p2pport = 15101;
};

class TempBase {
 public:
  explicit TempBase(const TempBaseOptions& opt = TempBaseOptions());  // throws on failure
  ~TempBase();
  TempBase(const TempBase&) = delete;
  TempBase& operator=(const TempBase&) = delete;

  const std::string& Dir() const { return m_dir; }
  std::string BinDir() const { return m_dir + "/bin"; }
  std::string EtcDir() const { return m_dir + "/etc"; }
  std::string LogDir() const { return m_dir + "/log"; }
  std::string DbPath() const { return m_dir + "/etc/Quarlo.db"; }

  // Creates <dir>/<rel> with its parents and returns its absolute path.
  std::string MakeDir(const std::string& rel) const;
  // Writes <dir>/<rel> (parents created) and returns its absolute path.
  std::string WriteFile(const std::string& rel, const std::string& content) const;

  // Database helpers; each throws std::runtime_error on a database error.
  void Exec(const std::string& sql) const;
  void AddShare(const std::string& path) const;                  // one more qv_share row
  void SetShares(const std::vector<std::string>& paths) const;   // qv_share rewritten
  void SetDefaultDirs(const DefaultDirSet& dirs) const;          // the one qv_defshare row
  // The default data folder <dir>/<rel> with its five category folders made and stored.
  DefaultDirSet MakeDefaultDirs(const std::string& rel = "data") const;

  // Opens g_DB on this base's database; the destructor closes it again.
  void OpenGlobalDb();

 private:
  std::string m_dir;
  bool m_openedGlobal = false;
};
