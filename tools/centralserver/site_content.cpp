#include "tools/centralserver/site_content.h"

#include <cstdlib>
#include <sstream>

#include "tools/centralserver/site_form.h"

namespace {

bool IsDigits(const std::string& s, size_t maxLen) {
  if (s.empty() || s.size() > maxLen) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

bool IsHex32(const std::string& s) {
  if (s.size() != 32) return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  return true;
}

// An absolute web URL that goes into a JSON string unchanged apart from "\/".
bool IsPlainUrl(const std::string& url) {
  if (url.size() > 1024) return false;
  const bool https = url.compare(0, 8, "https://") == 0;
  if (!https && url.compare(0, 7, "http://") != 0) return false;
  if (url.size() <= (https ? 8u : 7u)) return false;
  for (char c : url)
    if (c <= 0x20 || c > 0x7E || c == '"' || c == '\\' || c == '<' || c == '>') return false;
  return true;
}

std::string Trim(const std::string& s) {
  size_t a = 0, b = s.size();
  while (a < b && (s[a] == ' ' || s[a] == '\t' || s[a] == '\r')) ++a;
  while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t' || s[b - 1] == '\r')) --b;
  return s.substr(a, b - a);
}

const char kStyle[] =
    "<style>body{font-family:sans-serif;margin:2em auto;max-width:40em;color:#333}"
    "h1{color:#1d4fae}code{background:#eee;padding:0 .3em}</style>";

std::string Page(const std::string& title, const std::string& body) {
  return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + title + "</title>" +
         kStyle + "</head><body>\n<h1>" + title + "</h1>\n" + body +
         "\n<p><a href=\"/download.html\">Download</a> &middot; <a href=\"/register.html\">"
         "Register</a> &middot; <a href=\"/changepwd.html\">Password</a> &middot; "
         "<a href=\"/faq.html\">Questions</a></p>\n</body></html>\n";
}

}  // namespace

bool IsFourPartVersion(const std::string& text) {
  int parts = 0;
  size_t start = 0;
  for (;;) {
    const size_t dot = text.find('.', start);
    const std::string part = text.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
    if (!IsDigits(part, 5) || std::atol(part.c_str()) > 65535) return false;
    ++parts;
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  return parts == 4;
}

bool ParseUpdateFile(const std::string& text, UpdateFileInfo& out, std::string& why) {
  out = UpdateFileInfo{};
  if (text.size() > kSiteTextFileMax) {
    why = "the update file is too long";
    return false;
  }
  // The four the page needs, then the optional signature address.
  constexpr int kKeys = 5, kRequired = 4;
  bool seen[kKeys] = {false, false, false, false, false};
  std::string* slots[kKeys] = {&out.version, &out.down, &out.md5, &out.size, &out.sig};
  const char* keys[kKeys] = {"version", "down", "md5", "size", "sig"};
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    line = Trim(line);
    if (line.empty() || line[0] == '#') continue;
    const size_t eq = line.find('=');
    const std::string where = "line " + std::to_string(number) + ": ";
    if (eq == std::string::npos) {
      why = where + "no '='";
      return false;
    }
    const std::string key = Trim(line.substr(0, eq));
    const std::string value = Trim(line.substr(eq + 1));
    int k = 0;
    while (k < kKeys && key != keys[k]) ++k;
    if (k == kKeys) {
      why = where + "unknown key \"" + key + "\"";
      return false;
    }
    if (seen[k]) {
      why = where + key + " given twice";
      return false;
    }
    seen[k] = true;
    *slots[k] = value;
  }
  for (int k = 0; k < kRequired; ++k)
    if (!seen[k]) {
      why = std::string("no ") + keys[k] + "=";
      return false;
    }
  if (!IsFourPartVersion(out.version)) why = "version is not four numbers";
  else if (!IsPlainUrl(out.down)) why = "down is not an http:// or https:// URL";
  else if (!IsHex32(out.md5)) why = "md5 is not 32 hexadecimal digits";
  else if (!IsDigits(out.size, 15)) why = "size is not a number of bytes";
  else if (seen[4] && !IsPlainUrl(out.sig)) why = "sig is not an http:// or https:// URL";
  else {
    out.md5 = LowerAscii(out.md5);
    why.clear();
    return true;
  }
  return false;
}

std::string UpdateFileText(const UpdateFileInfo& info) {
  return "# The desktop program's update: what /quarlo/update-pc.html announces.\n"
         "version=" + info.version + "\ndown=" + info.down + "\nmd5=" + info.md5 +
         "\nsize=" + info.size + "\n" + (info.sig.empty() ? "" : "sig=" + info.sig + "\n");
}

std::string UpdatePageBody(const UpdateFileInfo& info) {
  return "{\"version\":" + JsonString(info.version) + ",\"down\":" + JsonString(info.down) +
         ",\"md5\":" + JsonString(info.md5) + ",\"size\":" + JsonString(info.size) +
         (info.sig.empty() ? "" : ",\"sig\":" + JsonString(info.sig)) + "}";
}

std::string ReleaseNotesBody(const std::string& version, const std::string& notes) {
  std::string data = "{";
  if (!version.empty()) data += "\"version\":" + JsonString(version) + ",";
  data += "\"text\":" + JsonString(notes) + "}";
  return "{\"data\":" + data + "}";
}

std::string SiteLanguage(const std::string& value) {
  if (value == "cn" || value == "en" || value == "tw") return value;
  return "";
}

bool IsServedFileName(const std::string& name) {
  if (name.empty() || name.size() > 128 || name[0] == '.') return false;
  for (char c : name) {
    const bool ok = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                    c == '.' || c == '_' || c == '+' || c == '~' || c == '-';
    if (!ok) return false;
  }
  return true;
}

std::string HtmlEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '&': out += "&amp;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

std::string BannerPage(const std::string& lang) {
  std::string line;
  if (lang == "cn") line = "Quarlo：在手机上随时查看电脑里的照片、音乐和文件。";
  else if (lang == "tw") line = "Quarlo：在手機上隨時查看電腦裡的照片、音樂和檔案。";
  else line = "Quarlo: the photos, music and files of your PC, on your phone.";
  return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Quarlo</title>"
         "<style>html,body{margin:0;height:100%;overflow:hidden}"
         "body{background:linear-gradient(#2f6fd6,#1d4fae);color:#fff;font-family:sans-serif;"
         "display:flex;align-items:center;justify-content:center;text-align:center}"
         "p{margin:0 1em;font-size:15px}</style></head><body><p>" +
         HtmlEscape(line) + "</p></body></html>\n";
}

std::string BrowserPage(const std::string& path, const UpdateFileInfo* current) {
  if (path == "/register.html")
    return Page("Create an account",
                "<p>Accounts are made in the Quarlo program on your PC: in its log-in window "
                "choose <b>Register</b>, give your e-mail address and a password of 6 to 16 "
                "characters twice, accept the licence and press <b>Register and log in</b>. "
                "The program signs in with the new account at once.</p>\n"
                "<p>Each address may register a few accounts an hour.</p>");
  if (path == "/changepwd.html")
    return Page("Change your password",
                "<p>Passwords are changed by the operator of this server. Ask them; they set "
                "the new one with <code>QuarloCentral --data DIR account passwd "
                "you@example.com</code>. Then log in again in the Quarlo program with the new "
                "password.</p>");
  if (path == "/faq.html")
    return Page("Questions",
                "<h2>My phone does not see my PC</h2><p>The PC must be on and the Quarlo "
                "program signed in with the account your phone uses.</p>\n"
                "<h2>Which folders can a phone reach?</h2><p>Only the folders you share in the "
                "Quarlo program.</p>\n"
                "<h2>How do updates arrive?</h2><p>The program asks this site for a newer "
                "version when it starts, downloads the package, checks its MD5 and installs "
                "it when you leave the program.</p>");
  if (path == "/download.html") {
    std::string body;
    if (current) {
      body = "<p>The current version is <b>" + HtmlEscape(current->version) +
             "</b>: <a href=\"" + HtmlEscape(current->down) + "\">the Debian package</a> (" +
             HtmlEscape(current->size) + " bytes, MD5 <code>" + HtmlEscape(current->md5) +
             "</code>).</p>\n<p>Install it with <code>sudo apt-get install ./" +
             HtmlEscape(current->down.substr(current->down.rfind('/') + 1)) + "</code>.</p>";
    } else {
      body = "<p>No package has been published here yet.</p>";
    }
    return Page("Download Quarlo", body);
  }
  return "";
}
