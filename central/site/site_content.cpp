#include "central/site/site_content.h"

#include <cstdlib>
#include <initializer_list>
#include <sstream>
#include <utility>

#include "central/site/site_form.h"

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

namespace {

// One language's texts of the program's pages.
struct PageTexts {
  const char* htmlLang;
  const char* home;
  const char* homeBody;
  const char* download;
  const char* downloadBody;
  const char* pcHeading;
  const char* pcPackage;  // version, link, size and MD5 go between its parts
  const char* pcNone;
  const char* forgot;
  const char* forgotBody;
  const char* licence;
  const char* licenceBody;
  const char* feedback;
  const char* feedbackBody;
  const char* questions;
};

const char kPasswdCommand[] = "<code>QuarloCentral --data DIR account passwd you@example.com</code>";

const PageTexts kEnglish = {
    "en",
    "Quarlo",
    "<p>Quarlo shows the photos, music and files of your PC on your phone, at home or away.</p>\n"
    "<ol><li>Install the Quarlo program on your PC and log in (or register) in its log-in "
    "window.</li><li>On the program's Shares page, choose the folders your phone may see.</li>"
    "<li>Get the phone app and log in with the same account.</li></ol>",
    "Get the phone app",
    "<p>Install the Quarlo app from your phone's app store and log in with the account of your "
    "PC. The phone then finds the PC whenever both are online.</p>",
    "The program for your PC",
    "<p>Version <b>%v</b>: <a href=\"%d\">the Debian package</a> (%s bytes, MD5 <code>%m</code>).</p>",
    "<p>No package for the PC has been published here yet.</p>",
    "Forgot your password?",
    "<p>The passwords of this server are reset by its operator. Ask them for a new one; they "
    "set it with %c. Then log in again in the Quarlo program with the new password.</p>",
    "Licence terms",
    "<ul><li>The account is yours alone: do not share it, and keep your password to yourself."
    "</li><li>This server keeps your e-mail address, a hash of your password and, while your PC "
    "is logged on, its network addresses, so that your phones can find it. It keeps none of "
    "your files: they go from your PC to your phone, directly or passed on by this server.</li>"
    "<li>The operator may close an account that is misused.</li><li>The software is provided as "
    "it is, without any warranty.</li></ul>",
    "Feedback",
    "<p>Tell the operator of this server what works and what does not: what you did, what you "
    "expected and what happened instead. The log of the PC program helps: the file "
    "<code>log/Log.txt</code> in the program's folder.</p>",
    "Questions",
};

const PageTexts kSimplified = {
    "zh-CN",
    "Quarlo",
    "<p>Quarlo 让你在手机上随时查看电脑里的照片、音乐和文件，在家或外出都可以。</p>\n"
    "<ol><li>在电脑上安装 Quarlo 程序，在登录窗口中登录（或注册）。</li>"
    "<li>在程序的“共享”页中选择手机可以查看的文件夹。</li>"
    "<li>下载手机客户端，用同一个账号登录。</li></ol>",
    "下载手机客户端",
    "<p>从手机的应用商店安装 Quarlo 客户端，并用电脑上的账号登录。只要两者都在线，手机就能找到电脑。</p>",
    "电脑程序",
    "<p>当前版本 <b>%v</b>：<a href=\"%d\">Debian 安装包</a>（%s 字节，MD5 <code>%m</code>）。</p>",
    "<p>这里还没有发布电脑程序的安装包。</p>",
    "忘记密码？",
    "<p>本服务器的密码由其管理员重置。请向管理员索取新密码，管理员用 %c 设置。"
    "然后在 Quarlo 程序中用新密码重新登录。</p>",
    "用户协议",
    "<ul><li>账号只供你本人使用：请勿与他人共用，并妥善保管密码。</li>"
    "<li>本服务器保存你的电子邮件地址、密码的散列值，以及电脑登录期间的网络地址，以便手机找到电脑。"
    "服务器不保存你的任何文件：文件从电脑直接传到手机，或经本服务器转发。</li>"
    "<li>管理员可以关闭被滥用的账号。</li><li>本软件按原样提供，不附带任何担保。</li></ul>",
    "意见反馈",
    "<p>请告诉本服务器的管理员哪些功能好用、哪些有问题：你做了什么，期望什么，实际发生了什么。"
    "电脑程序的日志会有帮助：程序文件夹中的 <code>log/Log.txt</code> 文件。</p>",
    "帮助",
};

const PageTexts kTraditional = {
    "zh-TW",
    "Quarlo",
    "<p>Quarlo 讓你在手機上隨時查看電腦裡的照片、音樂和檔案，在家或外出都可以。</p>\n"
    "<ol><li>在電腦上安裝 Quarlo 程式，在登入視窗中登入（或註冊）。</li>"
    "<li>在程式的「共用」頁中選擇手機可以查看的資料夾。</li>"
    "<li>下載手機程式，用同一個帳號登入。</li></ol>",
    "下載手機程式",
    "<p>從手機的應用程式商店安裝 Quarlo 手機程式，並用電腦上的帳號登入。只要兩者都在線上，手機就能找到電腦。</p>",
    "電腦程式",
    "<p>目前版本 <b>%v</b>：<a href=\"%d\">Debian 安裝套件</a>（%s 位元組，MD5 <code>%m</code>）。</p>",
    "<p>這裡還沒有發佈電腦程式的安裝套件。</p>",
    "忘記密碼？",
    "<p>本伺服器的密碼由其管理員重設。請向管理員索取新密碼，管理員用 %c 設定。"
    "然後在 Quarlo 程式中用新密碼重新登入。</p>",
    "使用者條款",
    "<ul><li>帳號只供你本人使用：請勿與他人共用，並妥善保管密碼。</li>"
    "<li>本伺服器保存你的電子郵件地址、密碼的雜湊值，以及電腦登入期間的網路位址，以便手機找到電腦。"
    "伺服器不保存你的任何檔案：檔案從電腦直接傳到手機，或經本伺服器轉送。</li>"
    "<li>管理員可以關閉被濫用的帳號。</li><li>本軟體按原樣提供，不附帶任何擔保。</li></ul>",
    "意見回饋",
    "<p>請告訴本伺服器的管理員哪些功能好用、哪些有問題：你做了什麼，期望什麼，實際發生了什麼。"
    "電腦程式的記錄檔會有幫助：程式資料夾中的 <code>log/Log.txt</code> 檔案。</p>",
    "說明",
};

// text with each "%x" of `values` put in its place (values come escaped for HTML).
std::string Fill(const std::string& text, std::initializer_list<std::pair<char, std::string>> values) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 1 < text.size()) {
      bool done = false;
      for (const auto& [key, value] : values)
        if (text[i + 1] == key) {
          out += value;
          done = true;
          break;
        }
      if (done) {
        ++i;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

std::string LanguagePage(const PageTexts& t, const std::string& lang, const std::string& title,
                         const std::string& body) {
  const std::string q = "?L=" + lang;
  return std::string("<!DOCTYPE html>\n<html lang=\"") + t.htmlLang +
         "\"><head><meta charset=\"utf-8\"><title>" + title + "</title>" + kStyle +
         "</head><body>\n<h1>" + title + "</h1>\n" + body + "\n<p><a href=\"/quarlo/index.html" + q +
         "\">" + t.home + "</a> &middot; <a href=\"/quarlo/download.html" + q + "\">" + t.download +
         "</a> &middot; <a href=\"/faq.html\">" + t.questions + "</a> &middot; <a href=\"/book" + q +
         "\">" + t.feedback + "</a></p>\n</body></html>\n";
}

}  // namespace

std::string ProgramPage(const std::string& path, const std::string& lang, const UpdateFileInfo* current) {
  const PageTexts* t = lang == "en" ? &kEnglish : lang == "cn" ? &kSimplified : lang == "tw" ? &kTraditional
                                                                                              : nullptr;
  if (!t) return "";
  if (path == "/quarlo/index.html") return LanguagePage(*t, lang, t->home, t->homeBody);
  if (path == "/quarlo/forgetpw.html") {
    return LanguagePage(*t, lang, t->forgot, Fill(t->forgotBody, {{'c', kPasswdCommand}}));
  }
  if (path == "/quarlo/license.html") return LanguagePage(*t, lang, t->licence, t->licenceBody);
  if (path == "/book") return LanguagePage(*t, lang, t->feedback, t->feedbackBody);
  if (path == "/quarlo/download.html") {
    std::string body = std::string(t->downloadBody) + "\n<h2>" + t->pcHeading + "</h2>\n";
    if (current) {
      body += Fill(t->pcPackage, {{'v', HtmlEscape(current->version)},
                                  {'d', HtmlEscape(current->down)},
                                  {'s', HtmlEscape(current->size)},
                                  {'m', HtmlEscape(current->md5)}});
    } else {
      body += t->pcNone;
    }
    return LanguagePage(*t, lang, t->download, body);
  }
  return "";
}
