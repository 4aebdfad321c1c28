#include "common/test_settings.h"

#include <cstdlib>
#include <string>

bool Service_TestSetting(const char* key, long& value) {
  const char* text = std::getenv("QUARLO_TEST_SETTINGS");
  if (!text || !key) return false;
  const std::string all = text;
  const std::string want = std::string(key) + "=";
  bool found = false;
  size_t pos = 0;
  while (pos <= all.size()) {
    size_t end = all.find(',', pos);
    if (end == std::string::npos) end = all.size();
    const std::string item = all.substr(pos, end - pos);
    pos = end + 1;
    if (item.compare(0, want.size(), want) != 0) continue;
    const char* start = item.c_str() + want.size();
    char* stop = nullptr;
    const long v = std::strtol(start, &stop, 10);
    if (stop == start || *stop != 0 || v < 0 || v > 1000000) continue;
    value = v;  // a later item overrides an earlier one
    found = true;
  }
  return found;
}
