// The update checker and the registration against the real QuarloCentral site on a free
// loopback port (plain HTTP there, HTTPS with a certificate made for the test). The user's
// answer to the notice and pkexec are the stand-ins: the notice's window is tested apart.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "desktop/app/account/register_account.h"
#include "desktop/app/site/site_http.h"
#include "desktop/app/update/update_checker.h"
#include "desktop/app/update/update_info.h"
#include "tests/support/central_process.h"
#include "desktop/foundation/ui_data.h"
#include "tests/support/env_guard.h"
#include "tests/support/temp_base.h"
#include "tests/support/wait_for.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

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
    // The stand-in pkexec: records its argv, one argument a line.
    const std::string pkexec = m_dir + "/bin/pkexec";
    std::ofstream(pkexec) << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > " << m_dir
                          << "/pkexec.argv\n";
    chmod(pkexec.c_str(), 0755);
    setenv("PATH", (m_dir + "/bin:" + m_path).c_str(), 1);
    unsetenv("QUARLO_ELEVATE_CMD");
    unsetenv("QUARLO_SITE_CA_FILE");
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(m_dir, ec);
  }

  // A small real package of a version above ours, published with the operator's command.
  std::string PublishPackage(CentralProcess& central, const std::string& version) {
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
      m_ca{"QUARLO_SITE_CA_FILE"}, m_elevate{"QUARLO_ELEVATE_CMD"};
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
  EXPECT_EQ(Count(central.LogText(), "download quarlo_9.0.0.1_amd64.deb"), 1u);
  EXPECT_EQ(ReadFile(checker.PackagePath()), ReadFile(deb));
  EXPECT_FALSE(fs::exists(checker.PackagePath() + ".part"));
  EXPECT_EQ(PendingUpdatePackage(), checker.PackagePath());

  // At exit the package is checked again and handed to pkexec by argv.
  checker.Stop();
  EXPECT_EQ(InstallPendingUpdate(), 0);
  EXPECT_EQ(ReadFile(m_dir + "/pkexec.argv"), "apt-get\ninstall\n-y\n" + checker.PackagePath() + "\n");
  // A package changed after its check is not installed.
  std::ofstream(checker.PackagePath(), std::ios::app) << "x";
  fs::remove(m_dir + "/pkexec.argv");
  EXPECT_EQ(InstallPendingUpdate(), -1);
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
  EXPECT_EQ(Count(central.LogText(), "download quarlo_9.0.0.2_amd64.deb"), 5u);
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
