#include "common/log.h"

#include <dirent.h>
#include <event2/event.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <ctime>
#include <vector>

#include "common/os_text.h"
#include "platform/files.h"

CLog g_Log;

namespace {

// "2013-05-02 14:03:27" -> "20130502140327": the suffix of a rotated log.
std::string RotationSuffix(const std::string& timeText) {
  std::string digits;
  for (char c : timeText) {
    if (c != '-' && c != ':' && c != ' ') digits += c;
  }
  return digits;
}

constexpr unsigned kRefusalBurst = 20;        // lines per peer and window
constexpr long long kRefusalWindowSeconds = 60;
constexpr size_t kMaxTrackedPeers = 4096;

long long MonotonicSeconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec);
}

unsigned LevelOfLibeventSeverity(int severity) {
  switch (severity) {
    case EVENT_LOG_DEBUG: return kLogDebug;
    case EVENT_LOG_MSG: return kLogInfo;
    case EVENT_LOG_WARN: return kLogWarning;
    default: return kLogError;
  }
}

void LibeventLogCallback(int severity, const char* message) {
  QV_LOG(kModCommLib, LevelOfLibeventSeverity(severity), "%s", message ? message : "");
}

}  // namespace

CLog::CLog() = default;

CLog::~CLog() {
  m_mutex.Lock();
  if (m_file) {
    fclose(m_file);
    m_file = nullptr;
  }
  m_mutex.Unlock();
}

std::string CLog::GetLevelName(unsigned level) {
  switch (level) {
    case kLogError: return "ERROR";
    case kLogWarning: return "WARNING";
    case kLogInfo: return "INFO";
    case kLogDebug: return "DEBUG";
    default: return "OTHER";
  }
}

bool CLog::Open() {
  CMutexLock lock(&m_mutex);
  if (m_file) fclose(m_file);
  m_file = fopen(m_path.c_str(), "a");
  return m_file != nullptr;
}

void CLog::Close() {
  CMutexLock lock(&m_mutex);
  if (m_file) fclose(m_file);
  m_file = nullptr;
}

void CLog::Flush() {
  CMutexLock lock(&m_mutex);
  if (m_file) fflush(m_file);
}

int CLog::WriteLog(const char* module, unsigned level, const char* function, int line,
                   const char* format, ...) {
  if (level > m_priority) return 0;
  if (!format || !module || !function) return 0;

  // Formatting and line building run outside the lock.
  va_list args;
  va_start(args, format);
  const std::string message = OS_FormatStr(format, args);
  va_end(args);

  const std::string now = OS_GetCurTimeStr();
  std::string text = "[" + now + "][" + module + " " + function + " " + std::to_string(line) +
                     "][" + std::to_string(static_cast<unsigned>(gettid())) + "][" +
                     GetLevelName(level) + "] " + message + "\n";

  {
    CMutexLock lock(&m_mutex);
    if (!m_file) return 0;  // not open yet, or lost after a failed reopen
    if (fseek(m_file, 0, SEEK_END) == 0) {
      const long pos = ftell(m_file);
      if (pos > 0 && static_cast<unsigned long>(pos) > m_sizeLimit) {
        fclose(m_file);
        // Never replaces an older rotated log: when the name is taken, the same file is
        // appended to and the next call tries again.
        if (Plat_RenameNoReplace(m_path, m_path + "." + RotationSuffix(now)) == 0) {
          RemoveOldRotated();
        }
        m_file = fopen(m_path.c_str(), "a");
        if (!m_file) return 0;
      }
    }
    fwrite(text.data(), 1, text.size(), m_file);
    fflush(m_file);
  }

  if (m_console) {
    fwrite(text.data(), 1, text.size(), stdout);
    fflush(stdout);
  }
  return 0;
}

// Rotated logs are "<name>.<14 digits>": sorted by name they are sorted by age.
void CLog::RemoveOldRotated() {
  const size_t slash = m_path.find_last_of('/');
  const std::string dir = slash == std::string::npos ? "." : m_path.substr(0, slash);
  const std::string prefix = (slash == std::string::npos ? m_path : m_path.substr(slash + 1)) + ".";
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  std::vector<std::string> rotated;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name.size() != prefix.size() + 14 || name.compare(0, prefix.size(), prefix) != 0) continue;
    if (name.find_first_not_of("0123456789", prefix.size()) != std::string::npos) continue;
    rotated.push_back(name);
  }
  closedir(d);
  if (rotated.size() <= m_keepRotated) return;
  std::sort(rotated.begin(), rotated.end());
  for (size_t i = 0; i + m_keepRotated < rotated.size(); ++i) {
    unlink((dir + "/" + rotated[i]).c_str());
  }
}

bool CLog::RefusalAllowed(const std::string& peer) {
  const long long now = MonotonicSeconds();
  unsigned leftOut = 0;
  {
    CMutexLock lock(&m_peerMutex);
    if (m_peers.size() >= kMaxTrackedPeers && m_peers.find(peer) == m_peers.end()) {
      m_peers.clear();  // many peers at once: forget the old windows rather than grow
    }
    PeerWindow& w = m_peers[peer];
    if (now - w.windowStart >= kRefusalWindowSeconds) {
      leftOut = w.suppressed;
      w = PeerWindow();
      w.windowStart = now;
    }
    if (w.written >= kRefusalBurst) {
      ++w.suppressed;
      return false;
    }
    ++w.written;
  }
  if (leftOut > 0) {
    WriteLog(kModCommLib, kLogWarning, __func__, __LINE__,
             "%u more refusals from %s were not logged.", leftOut, peer.c_str());
  }
  return true;
}

void CLog::ForgetRefusals() {
  CMutexLock lock(&m_peerMutex);
  m_peers.clear();
}

void Log_RouteLibevent() { event_set_log_callback(LibeventLogCallback); }
