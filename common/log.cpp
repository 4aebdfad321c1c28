#include "common/log.h"

#include <event2/event.h>
#include <unistd.h>

#include <cstdarg>

#include "common/os_layer.h"
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
        Plat_RenameNoReplace(m_path, m_path + "." + RotationSuffix(now));
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

void Log_RouteLibevent() { event_set_log_callback(LibeventLogCallback); }
