#pragma once
// INI files as the desktop programs keep them: "[section]" lines followed by "key=value"
// lines. Files are UTF-8 (a UTF-8 or UTF-16LE byte-order mark is understood); lines starting
// with ";" are comments. Section and key names of the string functions compare without case,
// as the classic profile functions do; writes replace the file atomically (temp + rename).
#include <string>
#include <vector>

struct ProfileSection {
  std::string name;
  std::vector<std::string> lines;  // every non-comment line of the section, as written
};

// Splits a file's text into its sections in file order (duplicates kept).
std::vector<ProfileSection> ParseProfileText(const std::string& text);
// The file's text as UTF-8; false when it cannot be read.
bool ReadProfileText(const std::string& path, std::string& utf8);

// The value of the first matching key of the first matching section, trimmed; def when absent.
std::string ProfileGetString(const std::string& path, const std::string& section,
                             const std::string& key, const std::string& def);
// Sets key in section (added when missing; the file is created when missing). False on failure.
bool ProfileWriteString(const std::string& path, const std::string& section,
                        const std::string& key, const std::string& value);
