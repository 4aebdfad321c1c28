#pragma once
// The update page and what the checker decides from it: the page's four values, the version
// order, the file digest, the release-notes query and reply. Pure functions, no network.
#include <string>

// Registry values under the current user's SOFTWARE\Quarlo.
constexpr char kQuarloKey[] = "SOFTWARE\\Quarlo";
// The version of the package the checker downloaded, written beside "UpdateFinish": the
// release notes show only once the running program is that version.
constexpr char kUpdateVersionValue[] = "UpdateFinishVersion";

// The update page's values. Each is written as "key":"value" (no blank after the colon); the
// order of the keys does not matter and "\/" in the address stands for "/".
struct UpdateInfo {
  std::string down;     // address of the package
  std::string version;  // four dot-separated numbers
  std::string size;     // decimal byte count
  std::string md5;      // 32 hexadecimal digits, either case
  std::string sig = {};  // address of the package's detached signature (the proof; the MD5 is not)

  void ParseReply(const std::string& reply);
  // All four present and of their form: a version of four numbers, a size of 1 to 10 digits
  // that is not 0, 32 hex digits, an address the site road accepts (https, or loopback http);
  // a signature address, when given, of that kind too (the checker refuses a page without one).
  bool Valid() const;
  unsigned long long SizeBytes() const;  // 0 unless Valid()
};

// Replaces every pattern by replacement, left to right, going on after each replacement.
void ReplaceAll(std::string& text, const std::string& pattern, const std::string& replacement);

// True when remote is a later version than own (first differing of four parts decides; a
// part is the leading digits of its text, an empty part is 0). False when either is empty or
// longer than 29 characters.
bool IsNewerVersion(const std::string& own, const std::string& remote);
bool IsVersionText(const std::string& text);  // four numbers of 1 to 5 digits

// The program's own version, "a.b.c.d" from the one version constant.
std::string OwnVersion();

// MD5 of the whole file against expected (case ignored); false when unreadable.
bool VerifyFileMd5(const std::string& expectedMd5, const std::string& path);

// The language query of the release notes: the interface language, except that on a
// traditional-Chinese system ("?L=tw") only English stays English. "" for an unknown id.
std::string ReleaseNotesQuery(int systemLangId, int uiLanguage);
// The banner and notice pages' query: "?L=cn", "?L=en", "?L=tw", "" for another id.
std::string LanguageQuery(int uiLanguage);

// The release notes of the update page's JSON reply: root "data", its "text" (UTF-8). False
// for a reply that does not parse or where either member is missing or of another type.
bool ParseReleaseNotes(const std::string& reply, std::string& utf8Text);
