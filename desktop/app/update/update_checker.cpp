#include "desktop/app/update/update_checker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "desktop/app/site/site_http.h"
#include "desktop/app/update/update_dlg.h"
#include "desktop/app/update/update_info.h"
#include "desktop/foundation/diy_message_box.h"
#include "desktop/foundation/languages.h"
#include "desktop/foundation/sys_utils.h"
#include "platform/registry.h"
#include "platform/files.h"
#include "platform/run_command.h"
#include "platform/update_install.h"
#include "platform/update_signature.h"

namespace {

constexpr char kUpdatePagePath[] = "/quarlo/update-pc.html";
constexpr size_t kMaxPageBytes = 64 * 1024;
constexpr int kDownloadTries = 5;
constexpr char kPackageName[] = "Quarlo.deb";
constexpr char kSignatureSuffix[] = ".sig";
constexpr char kVersionFileName[] = "QuarloUpdateVerSion.ini";

std::mutex g_pendingLock;
std::string g_pendingPackage;  // guarded by g_pendingLock
std::string g_pendingMd5;
std::string g_pendingSignature;  // path of the package's signature file

void RemoveQuietly(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove(path, ec);
}

}  // namespace

bool IsUpdateNoticeWanted() {
  if (Reg_OpenKey(RegRoot::CurrentUser, kQuarloKey, false) != kRegOk) return true;
  uint32_t value = 0;
  Reg_GetDword(RegRoot::CurrentUser, kQuarloKey, "UpdateNotice", value);
  return value == 0;
}

UpdateChecker::UpdateChecker() : UpdateChecker(Options{}) {}

UpdateChecker::UpdateChecker(Options options) : m_options(std::move(options)) {
  if (m_options.folder.empty()) m_options.folder = GetAppDataDir();
  if (!m_options.runNotice) m_options.runNotice = &RunUpdateNotice;
}

UpdateChecker::~UpdateChecker() { Stop(); }

void UpdateChecker::SetCallback(IUpdateCallback* callback) { m_callback = callback; }

void UpdateChecker::SetManual(bool manual) { m_mode = manual ? 0 : 1; }

int UpdateCheckThread(UpdateChecker* checker) {
  checker->CheckUpdate(checker->m_mode);
  std::lock_guard<std::mutex> done(checker->m_lock);
  checker->m_checkRunning = false;
  return 0;
}

void UpdateChecker::StartCheck() {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_shutdown || m_checkRunning) return;
    m_checkRunning = true;
  }
  m_tasks.Run([this](const std::atomic<bool>&) { UpdateCheckThread(this); });
}

bool UpdateChecker::CheckRunning() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_checkRunning;
}

std::string UpdateChecker::RemoteVersion() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_remoteVersion;
}

std::string UpdateChecker::PackagePath() const { return m_options.folder + "/" + kPackageName; }

std::string UpdateChecker::SignaturePath() const { return PackagePath() + kSignatureSuffix; }

std::string UpdateChecker::VersionFilePath() const {
  return m_options.folder + "/" + kVersionFileName;
}

void UpdateChecker::ShowUpdateNotice() {
  std::string version;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_waitingForAnswer) return;  // a late report: nobody waits
    version = m_remoteVersion;
  }
  bool update = false;
  if (m_options.runNotice) update = m_options.runNotice(version);
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_answer == Answer::Pending) m_answer = update ? Answer::Update : Answer::Cancel;
  m_wake.notify_all();
}

void UpdateChecker::SetEvent() {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_waitingForRecord) m_recorded = true;
  m_wake.notify_all();
}

void UpdateChecker::ShowNoUpdate() {
  ILanguages* l = CLanguages::Instance();
  if (!l) return;
  DiyMessageBox(l, l->GetText("MESSAGEBOX", "MSGBOX_NOUPDATE"), l->GetText("MESSAGEBOX", "MSGBOX_UPDATETITLE"),
                kMessageBoxOk);
}

void UpdateChecker::StartInstaller() { InstallPendingUpdate(); }

void UpdateChecker::Stop() {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_shutdown = true;
    m_answer = Answer::Shutdown;
    m_wake.notify_all();
  }
  m_tasks.Stop();  // raises the transfer's cancel flag and joins
  std::lock_guard<std::mutex> guard(m_lock);
  m_checkRunning = false;  // also a check that was dropped before it began
}

int UpdateChecker::CheckUpdate(int mode) {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_shutdown) return 0;
  }
  const HttpReply reply = HttpGet(SiteUrl(kUpdatePagePath), m_options.pageTimeoutMs, kMaxPageBytes,
                                  &m_tasks.CancelFlag());
  // Only the page itself counts: an error page or a time-out ends the check silently.
  if (reply.result != HttpResult::Ok || reply.code != 200) return 0;
  UpdateInfo info;
  info.ParseReply(reply.body);
  if (info.down.empty() || info.version.empty() || info.size.empty() || info.md5.empty()) return 0;
  if (!info.Valid()) {
    std::fprintf(stderr, "the update page names a version, size, digest or address of no use.\n");
    return 0;
  }
  return CompareAndAct(info, mode);
}

int UpdateChecker::CompareAndAct(const UpdateInfo& info, int mode) {
  IUpdateCallback* callback = m_callback;
  const std::string own = OwnVersion();
  if (own == info.version) {
    RemoveQuietly(VersionFilePath());
    if (mode == 0 && callback) callback->OnNoUpdate();
    return 0;
  }
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_remoteVersion = info.version;
  }
  if (!IsNewerVersion(own, info.version)) {
    if (mode == 0 && callback) callback->OnNoUpdate();
    return 0;
  }
  // Only the operator's signature proves a package: a page that names none offers nothing.
  if (info.sig.empty()) {
    std::fprintf(stderr, "Quarlo: update %s not offered: the update page names no signature.\n",
                 info.version.c_str());
    return 0;
  }
  if (IsUpdateNoticeWanted() && !AskUser()) return 0;
  return DownloadUpdate(info);
}

bool UpdateChecker::AskUser() {
  IUpdateCallback* callback = m_callback;
  if (!callback) return false;  // nobody to ask: no download without a yes
  std::unique_lock<std::mutex> lock(m_lock);
  if (m_shutdown) return false;
  m_answer = Answer::Pending;
  m_waitingForAnswer = true;
  lock.unlock();
  callback->OnNewVersion();
  lock.lock();
  m_wake.wait(lock, [this] { return m_answer != Answer::Pending; });
  m_waitingForAnswer = false;
  return m_answer == Answer::Update;
}

UpdateChecker::Try UpdateChecker::DownloadOnce(const UpdateInfo& info) {
  const std::string final = PackagePath();
  const std::string part = final + ".part";
  // The signature first: it is small, and without it the package is of no use.
  const HttpReply sigReply =
      HttpGet(info.sig, m_options.pageTimeoutMs, kMaxUpdateSignatureBytes, &m_tasks.CancelFlag());
  if (sigReply.result == HttpResult::TooLarge || sigReply.code == 404 ||
      (sigReply.result == HttpResult::Ok && sigReply.code == 200 && sigReply.body.empty())) {
    std::fprintf(stderr, "Quarlo: update %s not offered: no signature at %s.\n", info.version.c_str(),
                 info.sig.c_str());
    return Try::Refused;
  }
  if (sigReply.result != HttpResult::Ok || sigReply.code != 200) return Try::Failed;
  const std::string& signature = sigReply.body;
  std::error_code ec;
  std::filesystem::create_directories(m_options.folder, ec);
  RemoveQuietly(part);
  const int fd = open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return Try::Failed;
  uint64_t written = 0;
  const HttpReply reply =
      HttpDownloadToFd(info.down, fd, info.SizeBytes(), m_options.stallSeconds, written, &m_tasks.CancelFlag());
  bool ok = reply.result == HttpResult::Ok && reply.code == 200 && written == info.SizeBytes();
  if (ok && fsync(fd) != 0) ok = false;
  if (close(fd) != 0) ok = false;
  if (ok) ok = VerifyFileMd5(info.md5, part);
  if (!ok) {
    RemoveQuietly(part);
    return Try::Failed;  // a broken transfer: the next try may do better
  }
  std::string why;
  if (!VerifyUpdateSignatureFile(part, signature, why)) {
    std::fprintf(stderr, "Quarlo: update %s not offered: %s (package %s, signature %s).\n",
                 info.version.c_str(), why.c_str(), info.down.c_str(), info.sig.c_str());
    RemoveQuietly(part);
    return Try::Refused;
  }
  if (!Plat_WriteFileAtomically(SignaturePath(), signature) ||
      std::rename(part.c_str(), final.c_str()) != 0) {
    RemoveQuietly(part);
    return Try::Failed;
  }
  // What was renamed is what gets installed: check the file under its final name again.
  if (!VerifyFileMd5(info.md5, final) || !VerifyUpdateSignatureFile(final, signature, why)) {
    std::fprintf(stderr, "Quarlo: update %s not offered: the package changed after its check.\n",
                 info.version.c_str());
    RemoveQuietly(final);
    return Try::Failed;
  }
  return Try::Verified;
}

int UpdateChecker::DownloadUpdate(const UpdateInfo& info) {
  bool verified = false;
  for (int attempt = 0; attempt < kDownloadTries && !m_tasks.CancelFlag(); ++attempt) {
    const Try t = DownloadOnce(info);
    if (t == Try::Refused) break;
    if (t == Try::Verified) {
      verified = true;
      break;
    }
  }
  if (!verified) return 0;
  {
    std::lock_guard<std::mutex> guard(g_pendingLock);
    g_pendingPackage = PackagePath();
    g_pendingMd5 = info.md5;
    g_pendingSignature = SignaturePath();
  }
  if (Reg_OpenKey(RegRoot::CurrentUser, kQuarloKey, true) == kRegOk)
    Reg_SetString(RegRoot::CurrentUser, kQuarloKey, kUpdateVersionValue, info.version);
  IUpdateCallback* callback = m_callback;
  if (!callback) return 1;
  std::unique_lock<std::mutex> lock(m_lock);
  if (m_shutdown) return 1;
  m_recorded = false;
  m_waitingForRecord = true;
  lock.unlock();
  callback->OnUpdateDownloaded();
  lock.lock();
  m_wake.wait(lock, [this] { return m_recorded || m_shutdown; });
  m_waitingForRecord = false;
  const bool install = !m_shutdown;
  lock.unlock();
  if (install) callback->OnInstallUpdate();
  return 1;
}

std::string PendingUpdatePackage() {
  std::lock_guard<std::mutex> guard(g_pendingLock);
  return g_pendingPackage;
}

std::string UpdateInstallHelper() {
  // pkexec runs the helper as root: the package's own copy, which only root can change, is
  // taken over the per-user copy beside the program (a build tree, or `make run`'s base).
  const std::string installed = "/usr/lib/quarlo/bin/quarlo_update_install";
  struct stat st {};
  std::string why;
  if (lstat(installed.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0 &&
      (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 &&
      Plat_AncestorsAreSafe(installed.substr(0, installed.rfind('/')), why))
    return installed;
  return GetModuleDir() + "/quarlo_update_install";
}

std::vector<std::string> InstallCommand(const std::string& helper, const std::string& package,
                                        const std::string& signature) {
  const char* elevate = std::getenv("QUARLO_ELEVATE_CMD");
  return {elevate && *elevate ? elevate : "pkexec", helper, package, signature};
}

int InstallPendingUpdate(const std::string& helper) {
  std::string package, md5, signaturePath;
  {
    std::lock_guard<std::mutex> guard(g_pendingLock);
    package = g_pendingPackage;
    md5 = g_pendingMd5;
    signaturePath = g_pendingSignature;
  }
  if (package.empty() || !IsUserInAdministrators()) return -1;
  // Asked here only to spare the user a prompt for a package that changed: the elevated step
  // checks its own copy, whatever happens to this file meanwhile.
  std::string signature, why;
  if (!VerifyFileMd5(md5, package) || !ReadUpdateSignature(signaturePath, signature, why) ||
      !VerifyUpdateSignatureFile(package, signature, why)) {
    std::fprintf(stderr, "Quarlo: the update %s is not installed: it changed after its check.\n",
                 package.c_str());
    return -1;
  }
  // The user answers the helper's prompt: wait as long as it takes (six hours at most).
  const RunResult r = Plat_RunCapture(InstallCommand(helper, package, signaturePath), 6 * 3600 * 1000);
  if (!r.started) return -1;
  if (r.exitStatus != 0)
    std::fprintf(stderr, "Quarlo: the update install ended with %d: %s\n", r.exitStatus,
                 r.output.c_str());
  return r.exitStatus;
}
