#pragma once
// The service's one process-wide logger. Lines go to one file (rotated past 5 MiB under a
// time-suffixed name that never overwrites an older one; only the newest rotated files are
// kept) and, when configured, to stdout.
#include <cstddef>
#include <cstdio>
#include <map>
#include <string>

#include "platform/sync.h"

constexpr unsigned kLogError = 300;
constexpr unsigned kLogWarning = 400;
constexpr unsigned kLogInfo = 600;
constexpr unsigned kLogDebug = 700;
constexpr unsigned kLogDefaultPriority = 600;

constexpr const char* kModCommLib = "CommLib";
constexpr const char* kModClient = "QuarloClient";
constexpr const char* kModUser = "USER";
constexpr const char* kModShow = "Show";
constexpr const char* kModIntranet = "Intranet tran";

class CLog {
 public:
  CLog();
  virtual ~CLog();
  CLog(const CLog&) = delete;
  CLog& operator=(const CLog&) = delete;

  // One line: "[time][module function line][thread][LEVEL] message\n". Result has no meaning.
  int WriteLog(const char* module, unsigned level, const char* function, int line,
               const char* format, ...) __attribute__((format(printf, 6, 7)));
  static std::string GetLevelName(unsigned level);

  // Start-up configuration, set before other threads run.
  void SetPath(const std::string& path) { m_path = path; }
  void SetConsole(bool console) { m_console = console; }
  void SetPriority(unsigned priority) { m_priority = priority; }
  unsigned Priority() const { return m_priority; }
  bool Open();   // fopen(path, "a"); false when it cannot be opened
  void Close();  // closes the file; later calls write nothing
  void Flush();
  void SetSizeLimit(unsigned bytes) { m_sizeLimit = bytes; }  // tests
  void SetKeepRotated(size_t count) { m_keepRotated = count; }  // tests

  // Whether a refusal line for this peer may be written now: a burst per peer and minute, so
  // a peer sending malformed messages cannot flood the log. The first line after a quiet spell
  // says how many were left out. Thread-safe.
  bool RefusalAllowed(const std::string& peer);
  void ForgetRefusals();  // tests: every peer starts a fresh burst

 private:
  CSysMutex m_mutex;
  bool m_console = false;
  FILE* m_file = nullptr;
  unsigned m_priority = kLogDefaultPriority;
  std::string m_path;
  unsigned m_sizeLimit = 0x500000;
  size_t m_keepRotated = 10;
  struct PeerWindow {
    long long windowStart = 0;
    unsigned written = 0;
    unsigned suppressed = 0;
  };
  CSysMutex m_peerMutex;
  std::map<std::string, PeerWindow> m_peers;  // under m_peerMutex

  void RemoveOldRotated();  // under m_mutex
};

extern CLog g_Log;

// Level check first: a line above the priority costs only the comparison.
#define QV_LOG(module, level, ...)                                          \
  do {                                                                      \
    if ((unsigned)(level) <= g_Log.Priority())                              \
      g_Log.WriteLog((module), (level), __func__, __LINE__, __VA_ARGS__);   \
  } while (0)

// A refusal caused by a peer: logged only while that peer's burst allows it.
#define QV_LOG_REFUSAL(peer, module, level, ...)                            \
  do {                                                                      \
    if ((unsigned)(level) <= g_Log.Priority() && g_Log.RefusalAllowed(peer)) \
      g_Log.WriteLog((module), (level), __func__, __LINE__, __VA_ARGS__);   \
  } while (0)

// Routes libevent's own log messages into the logger (module "CommLib").
void Log_RouteLibevent();
