#pragma once
// What the site serves besides the registration: the update page built from the operator's
// update file, the release notes per language, the banner and the few browser pages. Pure
// functions over texts; the server reads the files and sends the results.
//
// The update file (<data>/site/update.ini, written by `site publish` or by hand) holds
// "key=value" lines (blank lines and lines starting with '#' are ignored), each key once:
//   version=3.4.0.2                                   four numbers
//   down=https://host/quarlo/download/quarlo.deb      http:// or https:// URL of the package
//   md5=<32 hex digits>                               of the package
//   size=<bytes>                                      of the package
//   sig=https://host/quarlo/download/quarlo.deb.sig   (optional) its detached signature,
//                                                     without which no program installs it
// The release notes are <data>/site/notes-cn.txt, notes-en.txt, notes-tw.txt (UTF-8).
#include <cstdint>
#include <string>

constexpr size_t kSiteTextFileMax = 64 * 1024;  // update file, notes, banner pages

struct UpdateFileInfo {
  std::string version, down, md5, size;
  std::string sig = {};  // "" when the file names none
};

// True with all four fields valid; otherwise why names the first fault (with its line).
bool ParseUpdateFile(const std::string& text, UpdateFileInfo& out, std::string& why);
std::string UpdateFileText(const UpdateFileInfo& info);
// {"version":"...","down":"...","md5":"...","size":"..."[,"sig":"..."]}, slashes escaped as "\/".
std::string UpdatePageBody(const UpdateFileInfo& info);
// {"data":{"version":"...","text":"..."}}; version left out when empty.
std::string ReleaseNotesBody(const std::string& version, const std::string& notes);

bool IsFourPartVersion(const std::string& text);
// The site's language codes: "cn", "en", "tw"; anything else is "".
std::string SiteLanguage(const std::string& value);
// A file name the download folder serves: 1 to 128 of [A-Za-z0-9._+~-], not starting with '.'.
bool IsServedFileName(const std::string& name);

std::string BannerPage(const std::string& lang);
// The browser pages "/register.html", "/changepwd.html", "/download.html", "/faq.html";
// "" for another path. current may be null (no update published).
std::string BrowserPage(const std::string& path, const UpdateFileInfo* current);
// The pages the desktop program opens in a language (cn, en, tw): "/quarlo/index.html" (the
// home page), "/quarlo/download.html" (the phone app, and the PC's package when one is
// published), "/quarlo/forgetpw.html", "/quarlo/license.html" and "/book" (feedback); "" for
// another path or language.
std::string ProgramPage(const std::string& path, const std::string& lang, const UpdateFileInfo* current);
std::string HtmlEscape(const std::string& text);
