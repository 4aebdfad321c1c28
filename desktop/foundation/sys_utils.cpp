#include "desktop/foundation/sys_utils.h"

#include <fcntl.h>
#include <grp.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <vector>

#include "common/email_address.h"
#include "platform/locale_info.h"
#include "platform/process_path.h"
#include "platform/run_command.h"
#include "platform/scm.h"
#include "platform/xdg_folders.h"

namespace {

const char* const kTools[] = {"sc", "net", "taskkill", "netsh", "reg"};

bool IsSystemTool(const std::string& name) {
  for (const char* t : kTools)
    if (name == t) return true;
  return false;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

int LangIdOfLocale(const std::string& localeName) {
  const std::string base = localeName.substr(0, localeName.find_first_of(".@"));
  const std::string lang = Lower(base.substr(0, base.find('_')));
  std::string territory = base.find('_') == std::string::npos ? "" : base.substr(base.find('_') + 1);
  for (char& c : territory) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (lang == "zh") {
    if (territory == "TW") return 0x0404;
    if (territory == "HK") return 0x0C04;
    if (territory == "MO") return 0x1404;
    if (territory == "SG") return 0x1004;
    return 0x0804;
  }
  struct Entry {
    const char* lang;
    int id;
  };
  static const Entry kIds[] = {{"de", 0x0407}, {"fr", 0x040C}, {"es", 0x0C0A}, {"it", 0x0410},
                               {"ja", 0x0411}, {"ko", 0x0412}, {"nl", 0x0413}, {"pt", 0x0416},
                               {"ru", 0x0419}, {"sv", 0x041D}, {"pl", 0x0415}, {"tr", 0x041F}};
  for (const Entry& e : kIds)
    if (lang == e.lang) return e.id;
  if (lang == "en" && territory == "GB") return 0x0809;
  return 0x0409;
}

int GetSystemDefaultLangId() { return LangIdOfLocale(Plat_LocaleName()); }

bool IsSimplifiedChineseSystem() {
  const int id = GetSystemDefaultLangId();
  return (id & 0x3FF) == 4 && (id & 0xFC00) == 0x800;
}

std::string RunCommandCapture(const Args& command, bool capture, int timeoutMs) {
  if (command.empty() || command[0].empty()) return "ERROR";
  Args argv = command;
  if (IsSystemTool(argv[0])) argv[0] = Scm_ToolsDir() + "/" + argv[0];
  if (!capture) {
    Plat_RunDetached(argv);
    return "ERROR";
  }
  const RunResult r = Plat_RunCapture(argv, timeoutMs);
  if (!r.started) {
    std::printf("Error on CreateProcess()\n");
    return "ERROR";
  }
  return r.output;
}

int RunElevated(const std::string& tool, const Args& args) {
  Args argv{IsSystemTool(tool) ? Scm_ToolsDir() + "/" + tool : tool};
  argv.insert(argv.end(), args.begin(), args.end());
  const int status = Plat_RunElevated(argv);
  return status;
}

bool IsVistaOrLater() { return true; }

bool IsUacEnabled() { return NeedsElevation(); }

bool IsUserInAdministrators() {
  if (geteuid() == 0) return true;
  const int n = getgroups(0, nullptr);
  if (n <= 0) return false;
  std::vector<gid_t> groups(static_cast<size_t>(n));
  if (getgroups(n, groups.data()) < 0) return false;
  for (const char* name : {"sudo", "wheel", "admin"}) {
    group g{};
    group* found = nullptr;
    char buf[4096];
    if (getgrnam_r(name, &g, buf, sizeof buf, &found) != 0 || !found) continue;
    for (gid_t gid : groups)
      if (gid == found->gr_gid) return true;
  }
  return false;
}

bool IsAdminByRegQuery() {
  static const bool admin = Plat_IsElevated();
  return admin;
}

bool IsServiceAutoStart() {
  return RunCommandCapture({"sc", "qc", "Quarlo"}, true).find("AUTO_START") != std::string::npos;
}

std::string GetAppDataDir() { return Plat_AppDataDir() + "/Quarlo"; }

namespace {
std::string g_moduleDirOverride;
}  // namespace

void SetModuleDirOverride(const std::string& dir) { g_moduleDirOverride = dir; }

std::string GetModuleDir() {
  if (!g_moduleDirOverride.empty()) return g_moduleDirOverride;
  std::string path;
  if (Plat_ProgramPath(path) != 0) return ".";
  const size_t slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string GetSystemDir() { return Scm_SystemDir(); }

std::string IntToString(int value) { return std::to_string(value); }

bool WriteAppDataFile(const std::string& name, const std::string& content, int length) {
  const std::string path = GetAppDataDir() + "/" + name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  const size_t n = length < 0 ? content.size()
                              : std::min(content.size(), static_cast<size_t>(length));
  out.write(content.data(), static_cast<std::streamsize>(n));
  out.close();
  return FileExists(path);
}

bool DeleteAppDataFile(const std::string& name) {
  const std::string path = GetAppDataDir() + "/" + name;
  unlink(path.c_str());
  return access(path.c_str(), F_OK) != 0;
}

bool FileExists(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  close(fd);
  return true;
}

bool IsValidEmail(const char* text) { return text && IsEmailAddress(text); }

std::string PercentEncodeUtf8(const std::string& utf8) {
  if (utf8.empty()) return utf8;
  std::string out;
  char buf[4];
  for (unsigned char c : utf8) {
    std::snprintf(buf, sizeof buf, "%%%02x", c);
    out += buf;
  }
  return out;
}

std::string LocalizedFolderName(const std::string& key) {
  struct Entry {
    const char* key;
    const char* chinese;
    const char* other;
  };
  static const Entry kNames[] = {
      {"PICTURE", "照片", "Photos"},   {"MUSIC", "音乐", "Music"},
      {"VIDEO", "视频", "Videos"},     {"DOCUMENT", "文档", "Files"},
      {"INSTANT", "即拍即传", "Album"}};
  for (const Entry& e : kNames)
    if (key == e.key) return IsSimplifiedChineseSystem() ? e.chinese : e.other;
  return "null";
}

std::string DataFolderParent(const std::string& path) {
  if (path.size() <= 3) return path;
  // "Quarlo" counts only as a whole component: /data/MyQuarlo/Quarlo -> /data/MyQuarlo/.
  size_t from = 0;
  for (;;) {
    const size_t at = path.find("Quarlo", from);
    if (at == std::string::npos) return path;
    const bool startsComponent = at == 0 || path[at - 1] == '/';
    const size_t end = at + 6;
    const bool endsComponent = end == path.size() || path[end] == '/';
    if (startsComponent && endsComponent) return path.substr(0, at);
    from = at + 1;
  }
}

namespace {
ElevationNoticeHandler g_noticeHandler = nullptr;
}  // namespace

bool NeedsElevation() {
  if (Plat_IsElevated()) return false;
  const std::string system = GetSystemDir();
  return system.empty() || access(system.c_str(), W_OK) != 0;
}

void SetElevationNoticeHandler(ElevationNoticeHandler handler) { g_noticeHandler = handler; }

bool RunMaybeElevated(ILanguages* languages, const std::string& tool, const Args& args,
                      const std::wstring& notice) {
  if (!NeedsElevation()) {
    Args argv{IsSystemTool(tool) ? Scm_ToolsDir() + "/" + tool : tool};
    argv.insert(argv.end(), args.begin(), args.end());
    return Plat_RunCapture(argv, kDefaultCaptureTimeoutMs).exitStatus == 0;
  }
  if (g_noticeHandler) g_noticeHandler(languages, notice);
  return RunElevated(tool, args) == 0;
}
