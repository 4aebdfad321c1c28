// The update checker and the registration against the real QuarloCentral site on a free
// loopback port (plain HTTP there, HTTPS with a certificate made for the test). The user's
// answer to the notice, pkexec and apt-get are the stand-ins: the notice's window is tested
// apart; the elevated install step is the real quarlo_update_install, its folder and install
// program pointed into the test's folder.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "desktop/app/account/register_account.h"
#include "desktop/app/site/site_http.h"
#include "desktop/app/update/update_checker.h"
#include "desktop/app/update/update_info.h"
#include "tests/support/central_process.h"
#include "desktop/foundation/ui_data.h"
#include "tests/support/env_guard.h"
#include "tests/support/free_port.h"
#include "tests/support/other_user.h"
#include "platform/update_install.h"
#include "tests/support/temp_base.h"
#include "tests/support/update_signing.h"
#include "tests/support/wait_for.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

constexpr char kHelper[] = QUARLO_UPDATE_INSTALL_HELPER;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

// The user's side of the checker's reports: yes (or no) to the notice, the window's record of
// the finished download, the install request.
class UserStandIn : public IUpdateCallback {
 public:
  explicit UserStandIn(UpdateChecker*& checker) : m_checker(checker) {}
  void OnInstallUpdate() override { ++installs; }
  void OnNoUpdate() override { ++noUpdates; }
  void OnNewVersion() override {
    ++notices;
    m_checker->ShowUpdateNotice();
  }
  void OnUpdateDownloaded() override {
    ++downloaded;
    m_checker->SetEvent();
  }
  std::atomic<int> installs{0}, noUpdates{0}, notices{0}, downloaded{0};

 private:
  UpdateChecker*& m_checker;
};

class PeripherySite : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/quarlo_periphery_XXXXXX";
    m_dir = mkdtemp(tmpl);
    fs::create_directories(m_dir + "/config");
    fs::create_directories(m_dir + "/bin");
    setenv("XDG_CONFIG_HOME", (m_dir + "/config").c_str(), 1);
    // The stand-in pkexec: records its argv, one argument a line, then runs it as root would.
    // With swap.deb present it first puts that over the package: the swap an attacker makes
    // while the elevation prompt waits.
    const std::string pkexec = m_dir + "/bin/pkexec";
    std::ofstream(pkexec) << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > " << m_dir
                          << "/pkexec.argv\nif [ -f " << m_dir << "/swap.deb ]; then cp " << m_dir
                          << "/swap.deb \"$2\"; fi\nexec \"$@\"\n";
    chmod(pkexec.c_str(), 0755);
    // The stand-in apt-get: records its argv and keeps what it was given to install.
    const std::string apt = m_dir + "/bin/apt-get";
    std::ofstream(apt) << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > " << m_dir
                       << "/apt.argv\ncp \"$3\" " << m_dir << "/installed.deb\n";
    chmod(apt.c_str(), 0755);
    setenv("PATH", (m_dir + "/bin:" + m_path).c_str(), 1);
    unsetenv("QUARLO_ELEVATE_CMD");
    unsetenv("QUARLO_SITE_CA_FILE");
    setenv("QUARLO_UPDATE_CACHE_DIR", RootCache().c_str(), 1);
    setenv("QUARLO_UPDATE_INSTALL_CMD", apt.c_str(), 1);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(m_dir, ec);
  }

  std::string RootCache() const { return m_dir + "/root-cache"; }

  // A small real package of a version above ours, signed with key (the build's key unless
  // another is named) and published with the operator's command.
  std::string PublishPackage(CentralProcess& central, const std::string& version,
                             const std::string& key = UpdateSigningKey()) {
    const std::string root = m_dir + "/pkg";
    fs::create_directories(root + "/DEBIAN");
    fs::create_directories(root + "/opt/quarlo");
    std::ofstream(root + "/DEBIAN/control") << "Package: quarlo\nVersion: " << version
                                            << "\nArchitecture: amd64\nMaintainer: t <t@example.com>\n"
                                               "Description: test\n";
    std::ofstream(root + "/opt/quarlo/README") << std::string(200000, 'q');
    const std::string deb = m_dir + "/quarlo_" + version + "_amd64.deb";
    const ProgramResult built = RunProgram({"/usr/bin/dpkg-deb", "--build", "--root-owner-group", root, deb});
    EXPECT_EQ(built.exitCode, 0) << built.output;
    EXPECT_TRUE(SignPackage(deb, key));
    const ProgramResult pub = central.Admin({"site", "publish", deb, central.SiteUrl()});
    EXPECT_EQ(pub.exitCode, 0) << pub.output;
    return deb;
  }

  UpdateChecker::Options Options(bool yes) {
    UpdateChecker::Options o;
    o.folder = m_dir + "/user";
    o.runNotice = [this, yes](const std::string& version) {
      noticeVersion = version;
      return yes;
    };
    return o;
  }

  std::string m_dir;
  std::string m_path = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
  CEnvGuard m_pathGuard{"PATH"}, m_xdg{"XDG_CONFIG_HOME"}, m_origin{"QUARLO_SITE_ORIGIN"},
      m_ca{"QUARLO_SITE_CA_FILE"}, m_elevate{"QUARLO_ELEVATE_CMD"},
      m_cache{"QUARLO_UPDATE_CACHE_DIR"}, m_install{"QUARLO_UPDATE_INSTALL_CMD"};
  std::string noticeVersion;
};

TEST_F(PeripherySite, NewerVersionNoticeYesDownloadVerifyInstallAtExit) {
  CentralProcess central;
  ASSERT_TRUE(central.StartWithSite()) << central.LogText();
  setenv("QUARLO_SITE_ORIGIN", central.SiteUrl().c_str(), 1);
  const std::string deb = PublishPackage(central, "9.0.0.1");

  UpdateChecker* self = nullptr;
  UserStandIn user(self);
  UpdateChecker checker(Options(true));
  self = &checker;
  checker.SetCallback(&user);
  checker.SetManual(false);
  checker.StartCheck();
  checker.StartCheck();  // a second request while one runs starts nothing
  ASSERT_TRUE(WaitFor([&] { return !checker.CheckRunning(); }, seconds(60)));
  EXPECT_EQ(user.notices, 1);
  EXPECT_EQ(noticeVersion, "9.0.0.1");
  EXPECT_EQ(user.downloaded, 1);
  EXPECT_EQ(user.installs, 1);
  EXPECT_EQ(Count(central.LogText(), "download quarlo_9.0.0.1_amd64.deb to"), 1u);
  EXPECT_EQ(Count(central.LogText(), "download quarlo_9.0.0.1_amd64.deb.sig to"), 1u);
  EXPECT_EQ(ReadFile(checker.PackagePath()), ReadFile(deb));
  EXPECT_FALSE(fs::exists(checker.PackagePath() + ".part"));
  EXPECT_EQ(PendingUpdatePackage(), checker.PackagePath());

  EXPECT_EQ(ReadFile(checker.SignaturePath()), ReadFile(deb + ".sig"));

  // At exit the package and its signature are handed to the elevated step by argv, which
  // installs its own checked copy.
  checker.Stop();
  EXPECT_EQ(InstallPendingUpdate(kHelper), 0);
  EXPECT_EQ(ReadFile(m_dir + "/pkexec.argv"),
            std::string(kHelper) + "\n" + checker.PackagePath() + "\n" + checker.SignaturePath() + "\n");
  EXPECT_EQ(ReadFile(m_dir + "/apt.argv"), "install\n-y\n" + RootCache() + "/Quarlo.deb\n");
  // A package changed after its check is not installed: no prompt even.
  std::ofstream(checker.PackagePath(), std::ios::app) << "x";
  fs::remove(m_dir + "/pkexec.argv");
  EXPECT_EQ(InstallPendingUpdate(kHelper), -1);
  EXPECT_FALSE(fs::exists(m_dir + "/pkexec.argv"));
}

TEST_F(PeripherySite, NoToTheNoticeDownloadsNothingAndSameVersionSaysSo) {
  CentralProcess central;
  ASSERT_TRUE(central.StartWithSite()) << central.LogText();
  setenv("QUARLO_SITE_ORIGIN", central.SiteUrl().c_str(), 1);
  PublishPackage(central, "9.0.0.1");
  UpdateChecker* self = nullptr;
  UserStandIn user(self);
  UpdateChecker checker(Options(false));
  self = &checker;
  checker.SetCallback(&user);
  EXPECT_EQ(checker.CheckUpdate(1), 0);
  EXPECT_EQ(user.notices, 1);
  EXPECT_EQ(user.downloaded, 0);
  EXPECT_EQ(Count(central.LogText(), "download quarlo_"), 0u);
  EXPECT_FALSE(fs::exists(checker.PackagePath()));

  // The running version on the page: the version file goes, and a user's check hears so.
  PublishPackage(central, OwnVersion());
  fs::create_directories(m_dir + "/user");
  std::ofstream(checker.VersionFilePath()) << "x";
  EXPECT_EQ(checker.CheckUpdate(0), 0);
  EXPECT_EQ(user.noUpdates, 1);
  EXPECT_FALSE(fs::exists(checker.VersionFilePath()));
  EXPECT_EQ(checker.CheckUpdate(1), 0);  // automatic: silent
  EXPECT_EQ(user.noUpdates, 1);
}

TEST_F(PeripherySite, CorruptDownloadTriedFiveTimesLeavesNoFile) {
  CentralProcess central;
  ASSERT_TRUE(central.StartWithSite()) << central.LogText();
  setenv("QUARLO_SITE_ORIGIN", central.SiteUrl().c_str(), 1);
  const std::string deb = PublishPackage(central, "9.0.0.2");
  // Same size, other bytes: every try fails its digest.
  const std::string served = central.SiteFolder() + "/download/quarlo_9.0.0.2_amd64.deb";
  std::string bytes = ReadFile(served);
  ASSERT_FALSE(bytes.empty());
  bytes[bytes.size() / 2] ^= 0x55;
  std::ofstream(served, std::ios::binary | std::ios::trunc) << bytes;

  UpdateChecker* self = nullptr;
  UserStandIn user(self);
  UpdateChecker checker(Options(true));
  self = &checker;
  checker.SetCallback(&user);
  EXPECT_EQ(checker.CheckUpdate(1), 0);
  EXPECT_EQ(Count(central.LogText(), "download quarlo_9.0.0.2_amd64.deb to"), 5u);
  EXPECT_EQ(user.downloaded, 0);
  EXPECT_FALSE(fs::exists(checker.PackagePath()));
  EXPECT_FALSE(fs::exists(checker.PackagePath() + ".part"));

  // A page that names a smaller size than the file: the transfer stops at the size.
  std::string ini = ReadFile(central.SiteFolder() + "/update.ini");
  const size_t at = ini.find("size=");
  ini = ini.substr(0, at) + "size=1000\n";
  std::ofstream(central.SiteFolder() + "/update.ini", std::ios::trunc) << ini;
  EXPECT_EQ(checker.CheckUpdate(1), 0);
  EXPECT_FALSE(fs::exists(checker.PackagePath() + ".part"));
  EXPECT_FALSE(fs::exists(checker.PackagePath()));
}

// Only what the operator signed is offered, and root installs only the copy it checked itself:
// a page without a signature, a signature the site does not serve, a package signed with
// another key, and a package swapped while the elevation prompt waits reach no apt-get; a
// rightly signed package does, from the folder only root can write.
TEST_F(PeripherySite, OnlyARightlySignedPackageIsOfferedAndInstalled) {
  CentralProcess central;
  ASSERT_TRUE(central.StartWithSite()) << central.LogText();
  setenv("QUARLO_SITE_ORIGIN", central.SiteUrl().c_str(), 1);
  const std::string otherKey = m_dir + "/other-key.pem";
  ASSERT_TRUE(MakeOtherSigningKey(otherKey));
  enum class Road { PageNamesNoSignature, SignatureNotServed, OtherKey, SwappedAtThePrompt, Signed };
  struct Row {
    const char* what;
    Road road;
    bool offered;    // the checker downloaded and verified the package
    int installRc;   // InstallPendingUpdate's result (when offered)
    const char* log; // the checker's line on stderr ("" for none)
  };
  const Row rows[] = {
      {"the page names no signature", Road::PageNamesNoSignature, false, 0,
       "not offered: the update page names no signature"},
      {"the signature is not served", Road::SignatureNotServed, false, 0, "not offered: no signature at"},
      {"signed with another key", Road::OtherKey, false, 0, "the signature does not hold"},
      {"swapped while the prompt waits", Road::SwappedAtThePrompt, true, kUpdateInstallBadSignature, ""},
      {"rightly signed", Road::Signed, true, 0, ""},
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string version = "9.0.1." + std::to_string(++n);
    const std::string name = "quarlo_" + version + "_amd64.deb";
    const std::string deb = PublishPackage(central, version, row.road == Road::OtherKey ? otherKey : UpdateSigningKey());
    const std::string ini = central.SiteFolder() + "/update.ini";
    if (row.road == Road::PageNamesNoSignature) {
      std::string text = ReadFile(ini);
      text.erase(text.find("sig="));
      std::ofstream(ini, std::ios::trunc) << text;
    }
    if (row.road == Road::SignatureNotServed) fs::remove(central.SiteFolder() + "/download/" + name + ".sig");
    fs::remove(m_dir + "/swap.deb");
    for (const char* f : {"/pkexec.argv", "/apt.argv", "/installed.deb"}) fs::remove(m_dir + f);

    UpdateChecker* self = nullptr;
    UserStandIn user(self);
    UpdateChecker::Options o = Options(true);
    o.folder = m_dir + "/user-" + std::to_string(n);
    UpdateChecker checker(o);
    self = &checker;
    checker.SetCallback(&user);
    testing::internal::CaptureStderr();
    const int checked = checker.CheckUpdate(1);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(checked, row.offered ? 1 : 0);
    EXPECT_EQ(user.downloaded, row.offered ? 1 : 0);
    EXPECT_EQ(fs::exists(checker.PackagePath()), row.offered);
    EXPECT_FALSE(fs::exists(checker.PackagePath() + ".part"));
    if (*row.log) {
      EXPECT_NE(log.find(row.log), std::string::npos) << log;
    }
    // Nothing unsigned even asks the user; a refused package is fetched once, not five times.
    EXPECT_EQ(user.notices, row.road == Road::PageNamesNoSignature ? 0 : 1);
    EXPECT_EQ(Count(central.LogText(), "download " + name + " to"), row.road == Road::OtherKey || row.offered ? 1u : 0u);
    if (!row.offered) {
      EXPECT_NE(PendingUpdatePackage(), checker.PackagePath());
      continue;
    }

    if (row.road == Road::SwappedAtThePrompt) {
      // Another package under the checked one's name: the same bytes and a few more.
      const std::string other = m_dir + "/pkg-other.deb";
      fs::copy_file(deb, other, fs::copy_options::overwrite_existing);
      std::ofstream(other, std::ios::app) << "tampered";
      fs::rename(other, m_dir + "/swap.deb");
    }
    checker.Stop();
    testing::internal::CaptureStderr();
    EXPECT_EQ(InstallPendingUpdate(kHelper), row.installRc);
    const std::string installLog = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(fs::exists(m_dir + "/pkexec.argv"));  // the elevated step ran either way
    if (row.installRc != 0) {
      EXPECT_FALSE(fs::exists(m_dir + "/apt.argv"));
      EXPECT_NE(installLog.find("the signature does not hold"), std::string::npos) << installLog;
    } else {
      EXPECT_EQ(ReadFile(m_dir + "/apt.argv"), "install\n-y\n" + RootCache() + "/Quarlo.deb\n");
      EXPECT_EQ(ReadFile(m_dir + "/installed.deb"), ReadFile(deb));
    }
    // The copy lies in a folder of root's alone and does not outlive the step.
    struct stat st {};
    ASSERT_EQ(lstat(RootCache().c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_FALSE(fs::exists(RootCache() + "/Quarlo.deb"));
  }

  // The elevated step trusts its caller for nothing: a signed package is still not installed
  // through a folder that others can change, nor with a signature that is not the package's.
  const std::string deb = PublishPackage(central, "9.0.1.9");
  fs::create_directories(m_dir + "/open");
  chmod((m_dir + "/open").c_str(), 0777);
  for (const char* f : {"/apt.argv", "/installed.deb"}) fs::remove(m_dir + f);
  const std::string apt = "QUARLO_UPDATE_INSTALL_CMD=" + m_dir + "/bin/apt-get";
  EXPECT_EQ(RunProgram({kHelper, deb, deb + ".sig"}, {"QUARLO_UPDATE_CACHE_DIR=" + m_dir + "/open/cache", apt}).exitCode,
            kUpdateInstallNoSafeFolder);
  EXPECT_EQ(RunProgram({kHelper, deb, m_dir + "/other-key.pem"}, {"QUARLO_UPDATE_CACHE_DIR=" + RootCache(), apt}).exitCode,
            kUpdateInstallBadSignature);
  EXPECT_EQ(RunProgram({kHelper, deb}, {"QUARLO_UPDATE_CACHE_DIR=" + RootCache(), apt}).exitCode, kUpdateInstallUsage);
  EXPECT_FALSE(fs::exists(m_dir + "/apt.argv"));
  EXPECT_EQ(RunProgram({kHelper, deb, deb + ".sig"}, {"QUARLO_UPDATE_CACHE_DIR=" + RootCache(), apt}).exitCode, 0);
  EXPECT_EQ(ReadFile(m_dir + "/installed.deb"), ReadFile(deb));
}

TEST_F(PeripherySite, StalledPageEndsTheCheckSilently) {
  // A site that takes the connection and never answers.
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(s, 4), 0);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  setenv("QUARLO_SITE_ORIGIN", ("http://127.0.0.1:" + std::to_string(ntohs(a.sin_port))).c_str(), 1);
  UpdateChecker* self = nullptr;
  UserStandIn user(self);
  UpdateChecker::Options o = Options(true);
  o.pageTimeoutMs = 1000;
  UpdateChecker checker(o);
  self = &checker;
  checker.SetCallback(&user);
  EXPECT_EQ(checker.CheckUpdate(0), 0);
  EXPECT_EQ(user.notices + user.noUpdates + user.downloaded, 0);

  // And Stop() ends a check that waits on such a site at once, joining its thread.
  o.pageTimeoutMs = 600000;
  UpdateChecker slow(o);
  slow.StartCheck();
  slow.Stop();
  EXPECT_FALSE(slow.CheckRunning());
  close(s);
}

TEST_F(PeripherySite, RegistrationCreatesAnAccountOnceAndTheServiceLogsOnWithIt) {
  CentralProcess central;
  ASSERT_TRUE(central.StartWithSite()) << central.LogText();
  setenv("QUARLO_SITE_ORIGIN", central.SiteUrl().c_str(), 1);
  EXPECT_EQ(RegisterAccount("new.user@example.com", "secret1"), kRegCreated);
  EXPECT_EQ(RegisterAccount("new.user@example.com", "secret1"), kRegAlreadyRegistered);
  EXPECT_EQ(RegisterResultKey(kRegAlreadyRegistered), "REGACCOUNT_INFO_EMAILREGISTERED");
  EXPECT_EQ(RegisterAccount("new.user", "secret1"), kRegBadEmail);  // refused before sending
  // The site takes what the program takes: a long last label, more than three labels.
  EXPECT_EQ(RegisterAccount("x@y.info", "secret1"), kRegCreated);
  EXPECT_EQ(RegisterAccount("a@mail.dept.example.museum", "secret1"), kRegCreated);
  const std::string list = central.Admin({"account", "list"}).output;
  for (const char* account : {"new.user@example.com", "x@y.info", "a@mail.dept.example.museum"})
    EXPECT_NE(list.find(account), std::string::npos) << list;

  // The new account logs on like any other: the real service with the hash the desktop
  // program stores for the typed password.
  TempBase base;
  base.Exec("update qv_conf set svport = " + std::to_string(central.Port()) + ";");
  char hash[64] = {};
  ASSERT_EQ(desktop::CryptPassword(hash, "secret1"), 0);
  base.Exec("delete from qv_user;");
  base.Exec(std::string("insert into qv_user (email, psw) values ('new.user@example.com', '") + hash + "');");
  ServiceProcess svc(base.Dir());
  svc.AddEnv("QUARLO_TEST_SETTINGS=http_port=0");
  ASSERT_TRUE(svc.Start()) << svc.LogText();
  EXPECT_TRUE(WaitFor([&] { return svc.LogText().find("log on successfully.") != std::string::npos; },
                      seconds(30)))
      << svc.LogText();
  svc.NetStop();
}

TEST_F(PeripherySite, HttpsWithATrustedTestCertificateAndNothingElse) {
  CentralProcess central;
  const std::string cert = central.DataDir() + "/cert.pem", key = central.DataDir() + "/key.pem";
  ASSERT_TRUE(MakeTestCertificate(cert, key));
  ASSERT_TRUE(central.StartWithSite(cert, key)) << central.LogText();
  ASSERT_EQ(central.SiteUrl().compare(0, 8, "https://"), 0);
  setenv("QUARLO_SITE_ORIGIN", central.SiteUrl().c_str(), 1);
  // Not trusted yet: nothing is sent.
  EXPECT_EQ(RegisterAccount("tls@example.com", "secret1"), kRegNoReply);
  setenv("QUARLO_SITE_CA_FILE", cert.c_str(), 1);
  EXPECT_EQ(RegisterAccount("tls@example.com", "secret1"), kRegCreated);
  PublishPackage(central, "9.0.0.3");
  UpdateChecker* self = nullptr;
  UserStandIn user(self);
  UpdateChecker checker(Options(true));
  self = &checker;
  checker.SetCallback(&user);
  EXPECT_EQ(checker.CheckUpdate(1), 1);
  EXPECT_TRUE(fs::exists(checker.PackagePath()));
  // The same site as plain HTTP on a name that is not loopback is never asked.
  setenv("QUARLO_SITE_ORIGIN", "http://quarlo.example.org", 1);
  EXPECT_EQ(RegisterAccount("plain@example.com", "secret1"), kRegNoReply);
  EXPECT_EQ(HttpGet(SiteUrl("/quarlo/update-pc.html"), 5000, 1000).result, HttpResult::Refused);
}

}  // namespace

// On loopback another local user may hold the site's port while the site is down: the program
// sends such a listener nothing (a registration would hand it the password's text), and a
// listener of this user is served as before.
TEST(SiteOwner, AnotherUsersLoopbackListenerIsSentNothing) {
  OtherUser other;
  const std::string why = other.Create();
  if (!why.empty()) GTEST_SKIP() << why;

  const struct {
    const char* name;
    bool otherUser;
  } rows[] = {{"another user's listener", true}, {"this user's listener", false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const int fd = row.otherUser ? other.SocketAsUser([] { return ListenOnLoopback(); }) : ListenOnLoopback();
    ASSERT_GE(fd, 0);
    const std::string url = "http://127.0.0.1:" + std::to_string(LocalPortOf(fd)) + "/quarlo/register.html";
    std::string got;
    if (row.otherUser) {
      // Nobody accepts while the program decides: what waits in the queue is the other
      // user's (a process of this test accepting would make it this test's own).
      const HttpReply r = HttpPostForm(url, "mail=x%40y.info&pass=secret1", 3000, 4096);
      EXPECT_NE(r.result, HttpResult::Ok);
      for (pollfd p{fd, POLLIN, 0}; poll(&p, 1, 0) == 1;) {
        const int c = accept(fd, nullptr, nullptr);
        if (c < 0) break;
        char buf[4096];
        for (ssize_t n; (n = recv(c, buf, sizeof buf, MSG_DONTWAIT)) > 0;) got.append(buf, static_cast<size_t>(n));
        close(c);
      }
      close(fd);
      EXPECT_EQ(got, "") << "the request reached another user's listener";
      continue;
    }
    // Serves every connection (the program's probe of the listener is one) until the form came.
    std::thread server([fd, &got] {
      while (got.find("secret1") == std::string::npos) {
        const int c = accept(fd, nullptr, nullptr);
        if (c < 0) return;
        timeval t{5, 0};
        setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
        char buf[4096];
        for (ssize_t n; (n = recv(c, buf, sizeof buf, 0)) > 0;) {
          got.append(buf, static_cast<size_t>(n));
          if (got.find("secret1") != std::string::npos) {
            const char reply[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
            send(c, reply, sizeof reply - 1, MSG_NOSIGNAL);
            break;
          }
        }
        close(c);
      }
    });
    const HttpReply r = HttpPostForm(url, "mail=x%40y.info&pass=secret1", 10000, 4096);
    shutdown(fd, SHUT_RDWR);  // ends the accept when nothing came
    server.join();
    close(fd);
    EXPECT_EQ(r.code, 200);
    EXPECT_NE(got.find("secret1"), std::string::npos);
  }
}
