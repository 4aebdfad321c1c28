#include "common/os_text.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <new>

namespace {

constexpr size_t kFormatStart = 1024;

std::string TimeText(time_t t) {
  struct tm local {};
  if (!localtime_r(&t, &local)) return "";
  char buf[32];
  if (strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local) == 0) return "";
  return buf;
}

}  // namespace

std::string OS_GetCurTimeStr() { return TimeText(time(nullptr)); }

std::string OS_TimeToStr(int64_t t) { return TimeText(static_cast<time_t>(t)); }

int64_t OS_StrToTime(const std::string& text) {
  struct tm local {};
  local.tm_year = atoi(text.c_str()) - 1900;
  size_t pos = text.find('-');
  if (pos == std::string::npos) return 0;
  local.tm_mon = atoi(text.c_str() + pos + 1) - 1;
  pos = text.find('-', pos + 1);
  if (pos == std::string::npos) return 0;
  local.tm_mday = atoi(text.c_str() + pos + 1);
  pos = text.find(' ', pos + 1);
  if (pos != std::string::npos) {
    local.tm_hour = atoi(text.c_str() + pos + 1);
    pos = text.find(':', pos + 1);
    if (pos != std::string::npos) {
      local.tm_min = atoi(text.c_str() + pos + 1);
      pos = text.find(':', pos + 1);
      if (pos != std::string::npos) local.tm_sec = atoi(text.c_str() + pos + 1);
    }
  }
  local.tm_isdst = -1;  // let the C library decide daylight saving for that date
  return static_cast<int64_t>(mktime(&local));
}

std::string OS_FormatStr(const char* format, va_list args) {
  if (!format) return "";
  try {
    std::string buffer(kFormatStart, '\0');
    for (;;) {
      va_list attempt;
      va_copy(attempt, args);
      const int n = vsnprintf(&buffer[0], buffer.size(), format, attempt);
      va_end(attempt);
      // glibc reports truncation by the needed length; a negative result is an encoding
      // error that no larger buffer mends.
      if (n < 0) return "";
      if (static_cast<size_t>(n) < buffer.size()) {
        buffer.resize(static_cast<size_t>(n));
        return buffer;
      }
      buffer.assign(static_cast<size_t>(n) + 1, '\0');
    }
  } catch (const std::bad_alloc&) {
    return "";
  }
}
