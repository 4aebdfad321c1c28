// One line's value in the key=value files the platform layer writes (the service manager's
// config, desktop entries): a backslash is doubled and line breaks are written as \n and \r, so
// that any text stays on its line.
#pragma once

#include <string>

inline std::string Plat_EscapeLineValue(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += c;
    }
  }
  return out;
}
