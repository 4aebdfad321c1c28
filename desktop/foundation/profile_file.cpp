#include "desktop/foundation/profile_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <sstream>

#include "desktop/foundation/text_encodings.h"
#include "platform/files.h"

namespace {

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

bool SameNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    std::string line = text.substr(start, nl - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = nl + 1;
  }
  return lines;
}

// "[name]" -> name; false when the line is not a section header.
bool SectionName(const std::string& trimmed, std::string& name) {
  if (trimmed.empty() || trimmed[0] != '[') return false;
  const size_t close = trimmed.find(']');
  name = Trim(trimmed.substr(1, close == std::string::npos ? std::string::npos : close - 1));
  return true;
}

std::string KeyOf(const std::string& line) {
  const size_t eq = line.find('=');
  return Trim(eq == std::string::npos ? line : line.substr(0, eq));
}

}  // namespace

std::vector<ProfileSection> ParseProfileText(const std::string& text) {
  std::vector<ProfileSection> sections;
  for (const std::string& raw : SplitLines(text)) {
    size_t b = 0;
    while (b < raw.size() && (raw[b] == ' ' || raw[b] == '\t')) ++b;
    const std::string line = raw.substr(b);
    if (line.empty() || line[0] == ';') continue;
    std::string name;
    if (SectionName(Trim(line), name)) {
      sections.push_back(ProfileSection{name, {}});
      continue;
    }
    if (!sections.empty()) sections.back().lines.push_back(line);
  }
  return sections;
}

bool ReadProfileText(const std::string& path, std::string& utf8) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  std::string raw = ss.str();
  if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF &&
      static_cast<unsigned char>(raw[1]) == 0xFE) {
    std::wstring w;
    for (size_t i = 2; i + 1 < raw.size(); i += 2) {
      char32_t u = static_cast<unsigned char>(raw[i]) |
                   (static_cast<char32_t>(static_cast<unsigned char>(raw[i + 1])) << 8);
      if (u >= 0xD800 && u <= 0xDBFF && i + 3 < raw.size()) {
        const char32_t lo = static_cast<unsigned char>(raw[i + 2]) |
                            (static_cast<char32_t>(static_cast<unsigned char>(raw[i + 3])) << 8);
        if (lo >= 0xDC00 && lo <= 0xDFFF) {
          u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
          i += 2;
        }
      }
      w.push_back(static_cast<wchar_t>(u));
    }
    utf8 = WideToUtf8(w);
    return true;
  }
  if (raw.size() >= 3 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0) raw.erase(0, 3);
  utf8 = raw;
  return true;
}

std::string ProfileGetString(const std::string& path, const std::string& section,
                             const std::string& key, const std::string& def) {
  std::string text;
  if (!ReadProfileText(path, text)) return def;
  for (const ProfileSection& s : ParseProfileText(text)) {
    if (!SameNoCase(s.name, section)) continue;
    for (const std::string& line : s.lines) {
      const size_t eq = line.find('=');
      if (eq == std::string::npos || !SameNoCase(Trim(line.substr(0, eq)), key)) continue;
      std::string value = Trim(line.substr(eq + 1));
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        value = value.substr(1, value.size() - 2);
      return value;
    }
    return def;  // only the first section of that name counts
  }
  return def;
}

bool ProfileWriteString(const std::string& path, const std::string& section,
                        const std::string& key, const std::string& value) {
  std::string text;
  ReadProfileText(path, text);
  std::vector<std::string> lines = SplitLines(text);
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  const std::string entry = key + "=" + value;
  bool inSection = false, done = false;
  size_t sectionEnd = std::string::npos;  // index after the last line of the section
  for (size_t i = 0; i < lines.size() && !done; ++i) {
    std::string name;
    if (SectionName(Trim(lines[i]), name)) {
      if (inSection) break;
      inSection = SameNoCase(name, section);
      if (inSection) sectionEnd = i + 1;
      continue;
    }
    if (!inSection) continue;
    const std::string t = Trim(lines[i]);
    if (t.empty() || t[0] == ';') continue;
    if (t.find('=') != std::string::npos && SameNoCase(KeyOf(t), key)) {
      lines[i] = entry;
      done = true;
    }
    sectionEnd = i + 1;
  }
  if (!done) {
    if (sectionEnd == std::string::npos) {
      lines.push_back("[" + section + "]");
      lines.push_back(entry);
    } else {
      lines.insert(lines.begin() + static_cast<long>(sectionEnd), entry);
    }
  }
  std::string out;
  for (const std::string& l : lines) out += l + "\n";
  return Plat_WriteFileAtomically(path, out);
}
