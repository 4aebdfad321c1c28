// The operator's web site of the real QuarloCentral, on free loopback ports, driven by curl
// and raw sockets as a browser, the desktop program or a stranger would.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>

#include "common/proto_p2p.h"
#include "tests/central/loopback_peer.h"
#include "tests/support/central_process.h"
#include "tests/support/service_process.h"
#include "tests/support/text_files.h"
#include "tests/support/wait_for.h"

namespace {

const std::string kCheck = "5d2e8a71c04f93b6e18d7a2c9f305b4e";

struct Http {
  int code = 0;  // 0: curl failed (exit status in curlExit)
  int curlExit = 0;
  std::string body;
};

// curl with the given arguments; the body and the status code.
Http Curl(std::vector<std::string> args) {
  std::vector<std::string> argv{"/usr/bin/curl", "-s", "--max-time", "20", "-w", "\n%{http_code}"};
  argv.insert(argv.end(), args.begin(), args.end());
  const ProgramResult r = RunProgram(argv);
  Http h;
  h.curlExit = r.exitCode;
  const size_t nl = r.output.rfind('\n');
  if (nl == std::string::npos) return h;
  h.code = std::atoi(r.output.c_str() + nl + 1);
  h.body = r.output.substr(0, nl);
  return h;
}

std::string Form(const std::string& email, const std::string& password) {
  return "Email=" + email + "&Password=" + PcPasswordOf(password) + "&Check=" + kCheck;
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

class Site : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(central.StartWithSite()) << central.LogText(); }
  Http Register(const std::string& body, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{"--data-binary", body, "-H",
                                  "Content-Type: application/x-www-form-urlencoded"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(central.SiteUrl() + "/quarlo/register.html");
    return Curl(args);
  }
  std::string Accounts() { return central.Admin({"account", "list"}).output; }
  Http Get(const std::string& path) { return Curl({central.SiteUrl() + path}); }

  CentralProcess central;
};

TEST_F(Site, RegistersAnAddressOnceInAnyLetterCase) {
  Http h = Register(Form("New.User@Example.com", "secret1"));
  EXPECT_EQ(h.code, 200);
  EXPECT_NE(h.body.find("\"status\":2"), std::string::npos) << h.body;
  EXPECT_NE(Accounts().find("new.user@example.com  (added"), std::string::npos) << Accounts();
  // Stored as every account is: `account passwd` and the log-on find it under its lower case.
  h = Register(Form("new.user@example.com", "other99"));
  EXPECT_NE(h.body.find("\"status\":-11"), std::string::npos) << h.body;
  ASSERT_TRUE(central.AddAccount("Old@Example.com", "secret1"));
  h = Register(Form("old@example.COM", "secret1"));
  EXPECT_NE(h.body.find("\"status\":-11"), std::string::npos) << h.body;
  EXPECT_NE(central.LogText().find("registered account new.user@example.com from 127.0.0.1"),
            std::string::npos);
  EXPECT_EQ(central.LogText().find(PcPasswordOf("secret1")), std::string::npos)
      << "no password text in the log";
}

// Whether a process other than this one holds a POSIX lock on the file (/proc/locks).
bool LockedByAnother(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return false;
  std::ifstream locks("/proc/locks");
  const std::string inode = ":" + std::to_string(st.st_ino) + " ";
  const std::string self = " " + std::to_string(getpid()) + " ";
  for (std::string line; std::getline(locks, line);)
    if (line.find("POSIX") != std::string::npos && line.find(inode) != std::string::npos &&
        line.find(self) == std::string::npos)
      return true;
  return false;
}

// The running server, the operator's commands and the site's registrations share the database
// file: nobody's rows go missing, before or after a restart, and the server keeps its locks.
TEST_F(Site, TheDatabaseStaysWholeWhileTheCommandsUseIt) {
  const std::string db = central.DataDir() + "/central.db";
  // The rendezvous thread works too (it used to open the file a second time).
  ASSERT_EQ(ExchangeFrom("127.0.0.1", central.Port(), kCmdLogOn, "pc-1",
                         EncodeLogOnRequest({"first@example.org", PcPasswordOf("secret1"), 2, "L", "m"})),
            kStatusUnknownAccount);
  ASSERT_TRUE(central.AddAccount("first@example.org", "secret1"));
  ASSERT_EQ(ExchangeFrom("127.0.0.1", central.Port(), kCmdLogOn, "pc-1",
                         EncodeLogOnRequest({"first@example.org", PcPasswordOf("secret1"), 2, "L", "m"})),
            0);
  const int udp = UdpFrom("127.0.0.1");
  ASSERT_GE(udp, 0);
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(central.P2PPort());
  inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
  const uint8_t mac[6] = {2, 0, 0, 0, 0, 1};
  uint8_t beat[kHeartBeatSize];
  EncodeHeartBeat("pc", mac, "first@example.org", beat);
  uint8_t ask[kRendezvousSize];
  EncodeRendezvousRequest({"first@example.org", PcPasswordOf("secret1"), {}}, ask);
  timeval tv{5, 0};
  setsockopt(udp, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sendto(udp, beat, sizeof beat, 0, reinterpret_cast<sockaddr*>(&server), sizeof server);
  sendto(udp, ask, sizeof ask, 0, reinterpret_cast<sockaddr*>(&server), sizeof server);
  uint8_t answer[64];
  EXPECT_GT(recv(udp, answer, sizeof answer, 0), 0) << central.LogText();
  close(udp);

  EXPECT_EQ(Register(Form("second@example.org", "secret2")).code, 200);
  const ProgramResult status = central.Admin({"status"});
  EXPECT_EQ(status.exitCode, 0);
  EXPECT_NE(status.output.find("account first@example.org\n  pc pc-1"), std::string::npos)
      << status.output;
  EXPECT_TRUE(LockedByAnother(db)) << "the server holds its lock on the database";
  struct stat st {};
  EXPECT_EQ(stat((db + "-wal").c_str(), &st), 0) << "the live write-ahead log is still there";
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat(db.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // What the server writes after the command ran is seen by the next one.
  EXPECT_EQ(Register(Form("third@example.org", "secret3")).code, 200);
  const std::string listed = Accounts();
  for (const char* email : {"first@example.org", "second@example.org", "third@example.org"})
    EXPECT_NE(listed.find(email), std::string::npos) << email << "\n" << listed;

  ASSERT_TRUE(central.Stop());
  ASSERT_TRUE(central.StartWithSite()) << central.LogText();
  EXPECT_EQ(Accounts(), listed);
  EXPECT_NE(central.Admin({"status"}).output.find("pc pc-1"), std::string::npos);
  ASSERT_TRUE(central.Stop()) << central.LogText();
  EXPECT_EQ(RunProgram({"/usr/bin/sqlite3", db, "pragma integrity_check;"}).output, "ok\n");
}

TEST_F(Site, MalformedFormsGetAClearAnswerAndStoreNothing) {
  const struct {
    std::string body;
    int code;
    const char* status;
  } cases[] = {
      {"", 400, "-9"},
      {"Email=a@example.com&Password=" + PcPasswordOf("secret1"), 400, "-9"},
      {"Email=a@example.com&Password=%zz&Check=" + kCheck, 400, "-9"},
      {"Email=a@example.com&Password=" + PcPasswordOf("secret1") + "&Check=00", 400, "-8"},
      {"Email=a@example&Password=" + PcPasswordOf("secret1") + "&Check=" + kCheck, 200, "-7"},
      {"Email=a@example.com&Password=secret1&Check=" + kCheck, 200, "-6"},
      {"Email=a@example.com&Password=$1$bramle$" + PcPasswordOf("secret1") + "&Check=" + kCheck,
       200, "-6"},
  };
  for (const auto& c : cases) {
    const Http h = Register(c.body);
    EXPECT_EQ(h.code, c.code) << c.body << "\n" << h.body;
    EXPECT_NE(h.body.find(std::string("\"status\":") + c.status + ","), std::string::npos)
        << c.body << "\n" << h.body;
    EXPECT_NE(h.body.find("\"message\":\""), std::string::npos) << h.body;
  }
  // A body past the cap is refused before it is read, however it comes.
  const std::string big = Form("big@example.com", "secret1") + "&x=" + std::string(4000, 'a');
  EXPECT_EQ(Register(big).code, 413);
  EXPECT_EQ(Register(big, {"-H", "Transfer-Encoding: chunked"}).code, 413);
  EXPECT_EQ(Get("/quarlo/register.html").code, 405);
  EXPECT_EQ(Accounts(), "");
}

TEST_F(Site, RepeatedRegistrationsFromOneAddressMeetTheTimeLimit) {
  for (int i = 0; i < 3; ++i) {
    const Http h = Register(Form("user" + std::to_string(i) + "@example.com", "secret1"));
    EXPECT_NE(h.body.find("\"status\":2"), std::string::npos) << i << h.body;
  }
  Http h = Register(Form("user3@example.com", "secret1"));
  EXPECT_EQ(h.code, 200);
  EXPECT_NE(h.body.find("\"status\":-30"), std::string::npos) << h.body;
  EXPECT_EQ(Accounts().find("user3@"), std::string::npos);
  // Posts of any kind count too: a stranger cannot try addresses without end.
  for (int i = 0; i < 16; ++i) Register("Email=x");
  h = Register("Email=x");
  EXPECT_NE(h.body.find("\"status\":-30"), std::string::npos) << h.body;
}

TEST_F(Site, UpdatePageAndReleaseNotesComeFromTheSiteFolder) {
  EXPECT_EQ(Get("/quarlo/update-pc.html").code, 404);
  const std::string dir = central.SiteFolder();
  WriteFile(dir + "/update.ini",
            "version=3.4.0.2\ndown=https://updates.example/quarlo/download/q.deb\n"
            "md5=00112233445566778899AABBCCDDEEFF\nsize=1234\n");
  WriteFile(dir + "/notes-cn.txt", "新版本：更快。\n");
  WriteFile(dir + "/notes-en.txt", "New: \"faster\".\n");
  Http h = Get("/quarlo/update-pc.html");
  EXPECT_EQ(h.code, 200);
  EXPECT_EQ(h.body,
            "{\"version\":\"3.4.0.2\",\"down\":\"https:\\/\\/updates.example\\/quarlo\\/download\\/"
            "q.deb\",\"md5\":\"00112233445566778899aabbccddeeff\",\"size\":\"1234\"}");
  h = Get("/quarlo/update-pc.html?L=cn");
  EXPECT_EQ(h.code, 200);
  EXPECT_EQ(h.body, "{\"data\":{\"version\":\"3.4.0.2\",\"text\":\"新版本：更快。\\n\"}}");
  h = Get("/quarlo/update-pc.html?L=en");
  EXPECT_EQ(h.body, "{\"data\":{\"version\":\"3.4.0.2\",\"text\":\"New: \\\"faster\\\".\\n\"}}");
  EXPECT_EQ(Get("/quarlo/update-pc.html?L=tw").code, 404) << "no notes in that language";
  EXPECT_EQ(Get("/quarlo/update-pc.html?L=de").code, 400);
  // The download page names the package.
  h = Get("/download.html");
  EXPECT_NE(h.body.find("3.4.0.2"), std::string::npos);
  EXPECT_NE(h.body.find("00112233445566778899aabbccddeeff"), std::string::npos);
  // A broken file is the operator's fault, told in the log; the programs get no update.
  WriteFile(dir + "/update.ini", "version 3.4.0.2\n");
  EXPECT_EQ(Get("/quarlo/update-pc.html").code, 500);
  EXPECT_NE(central.LogText().find("update.ini: line 1"), std::string::npos);
}

TEST_F(Site, BannerAndBrowserPages) {
  const struct {
    const char* path;
    const char* text;
  } pages[] = {
      {"/quarlo/bannerpc?L=cn", "在手机上"}, {"/quarlo/bannerpc?L=tw", "在手機上"},
      {"/quarlo/bannerpc?L=en", "on your phone"}, {"/quarlo/bannerpc", "on your phone"},
      {"/register.html", "Register and log in"}, {"/changepwd.html", "account passwd"},
      {"/download.html", "No package"}, {"/faq.html", "Questions"},
  };
  for (const auto& p : pages) {
    const Http h = Get(p.path);
    EXPECT_EQ(h.code, 200) << p.path;
    EXPECT_NE(h.body.find(p.text), std::string::npos) << p.path << "\n" << h.body;
  }
  WriteFile(central.SiteFolder() + "/banner-en.html", "<p>operator's own</p>");
  EXPECT_EQ(Get("/quarlo/bannerpc?L=en").body, "<p>operator's own</p>");
  for (const char* path : {"/nothing.html", "/quarlo/download/..%2fcentral.db",
                           "/quarlo/download/central.db", "/../central.db"})
    EXPECT_EQ(Get(path).code, 404) << path;
}

// A package made with dpkg-deb, published with the command the operator uses, announced with
// its MD5 and size and served byte for byte.
TEST_F(Site, PublishedPackageIsAnnouncedAndServed) {
  const std::string work = central.DataDir() + "/pkg";
  ASSERT_EQ(mkdir(work.c_str(), 0700), 0);
  ASSERT_EQ(mkdir((work + "/DEBIAN").c_str(), 0755), 0);
  WriteFile(work + "/DEBIAN/control",
            "Package: quarlo-test\nVersion: 3.4.0.9\nArchitecture: all\n"
            "Maintainer: Test <t@example.com>\nDescription: test package\n");
  ASSERT_EQ(mkdir((work + "/opt").c_str(), 0755), 0);
  WriteFile(work + "/opt/payload", std::string(300000, 'q'));
  const std::string deb = central.DataDir() + "/quarlo-test_3.4.0.9_all.deb";
  ASSERT_EQ(RunProgram({"/usr/bin/dpkg-deb", "--root-owner-group", "--build", work, deb}).exitCode, 0);
  // Without its signature beside it the package is not published.
  EXPECT_NE(central.Admin({"site", "publish", deb, central.SiteUrl() + "/"}).exitCode, 0);
  EXPECT_EQ(Get("/quarlo/update-pc.html").code, 404);
  WriteFile(deb + ".sig", std::string("\x30\x44signature", 11));  // the site serves it as it is
  const ProgramResult pub = central.Admin({"site", "publish", deb, central.SiteUrl() + "/"});
  ASSERT_EQ(pub.exitCode, 0) << pub.output;
  const std::string md5 = RunProgram({"/usr/bin/md5sum", deb}).output.substr(0, 32);
  struct stat st {};
  ASSERT_EQ(stat(deb.c_str(), &st), 0);

  const Http page = Get("/quarlo/update-pc.html");
  std::string down = central.SiteUrl() + "/quarlo/download/quarlo-test_3.4.0.9_all.deb";
  std::string escaped;
  for (char c : down) escaped += c == '/' ? std::string("\\/") : std::string(1, c);
  EXPECT_EQ(page.body, "{\"version\":\"3.4.0.9\",\"down\":\"" + escaped + "\",\"md5\":\"" + md5 +
                           "\",\"size\":\"" + std::to_string(st.st_size) + "\",\"sig\":\"" + escaped +
                           ".sig\"}");
  const Http sig = Curl({down + ".sig"});
  EXPECT_EQ(sig.code, 200);
  EXPECT_EQ(sig.body, ReadFileText(deb + ".sig"));
  const std::string got = central.DataDir() + "/got.deb";
  const Http dl = Curl({"-o", got, down});
  EXPECT_EQ(dl.code, 200);
  EXPECT_EQ(ReadFileText(got), ReadFileText(deb));
  const Http head = Curl({"-I", down});
  EXPECT_EQ(head.code, 200);
  EXPECT_NE(head.body.find("Content-Length: " + std::to_string(st.st_size)), std::string::npos)
      << head.body;
  // Not a package: refused, and the announced update stays as it was.
  WriteFile(central.DataDir() + "/junk.deb", "junk");
  EXPECT_NE(central.Admin({"site", "publish", central.DataDir() + "/junk.deb", "https://x"}).exitCode, 0);
  EXPECT_EQ(Get("/quarlo/update-pc.html").body, page.body);
}

int ConnectTo(uint16_t port, const char* source = nullptr) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (source) {
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, source, &from.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
      close(fd);
      return -1;
    }
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// True once the server has closed the socket (end of stream or reset).
bool ClosedByServer(int fd) {
  char c;
  const ssize_t n = recv(fd, &c, 1, MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

TEST_F(Site, ConnectionsPerAddressAndTheRequestDeadlineAreBounded) {
  const uint16_t port = static_cast<uint16_t>(std::stoi(central.SiteUrl().substr(17)));
  std::vector<int> idle;
  for (int i = 0; i < 8; ++i) {
    idle.push_back(ConnectTo(port));
    ASSERT_GE(idle.back(), 0);
  }
  // One more from the same address is closed at once, and answered nothing.
  const int extra = ConnectTo(port);
  ASSERT_GE(extra, 0);
  EXPECT_TRUE(WaitFor([&] { return ClosedByServer(extra); }, std::chrono::seconds(5)));
  close(extra);
  // A slow sender keeps its connection only until the deadline of its request.
  ASSERT_EQ(send(idle[0], "GET / HTTP/1.1\r\n", 16, MSG_NOSIGNAL), 16);
  EXPECT_TRUE(WaitFor(
      [&] {
        send(idle[0], "X", 1, MSG_NOSIGNAL);
        return ClosedByServer(idle[0]);
      },
      std::chrono::seconds(30), std::chrono::milliseconds(200)));
  EXPECT_TRUE(WaitFor([&] {
    for (int fd : idle)
      if (!ClosedByServer(fd)) return false;
    return true;
  }, std::chrono::seconds(30)));
  for (int fd : idle) close(fd);
  EXPECT_NE(central.LogText().find("refusing 127.0.0.1: too many connections."), std::string::npos);
  // And the room is free again.
  EXPECT_TRUE(WaitFor([&] { return Get("/faq.html").code == 200; }, std::chrono::seconds(5)));
}

// Slow heads from sixteen addresses fill every slot; a seventeenth address is still served, in
// the place of the oldest of them.
TEST_F(Site, AFullSetOfSlowHeadsMakesRoomForANewcomer) {
  const uint16_t port = static_cast<uint16_t>(std::stoi(central.SiteUrl().substr(17)));
  std::vector<int> slow;
  for (int a = 2; a < 18; ++a)
    for (int i = 0; i < 8; ++i) {
      const int fd = ConnectTo(port, ("127.0.0." + std::to_string(a)).c_str());
      ASSERT_GE(fd, 0);
      ASSERT_EQ(send(fd, "GET / HTTP/1.1\r\n", 16, MSG_NOSIGNAL), 16);
      slow.push_back(fd);
    }
  // Every slow head must hold its slot before the newcomer comes, or the newcomer is simply let in.
  ASSERT_TRUE(WaitFor([&] { return WaitingToBeAccepted(port) == 0; }, std::chrono::seconds(10)));
  const Http h = Curl({"--interface", "127.0.0.30", central.SiteUrl() + "/faq.html"});
  EXPECT_EQ(h.code, 200) << central.LogText();
  EXPECT_TRUE(WaitFor([&] { return ClosedByServer(slow.front()); }, std::chrono::seconds(5)))
      << "the oldest head made the room";
  EXPECT_TRUE(WaitFor([&] { return central.LogText().find("room for 127.0.0.30") != std::string::npos; },
                      std::chrono::seconds(5)))
      << central.LogText();
  for (int fd : slow) close(fd);
}

// The site over HTTPS with a certificate made for the test and trusted by curl alone.
TEST(SiteTls, ServesHttpsThatVerifiesWithItsCertificate) {
  CentralProcess central;
  const std::string cert = central.DataDir() + "/cert.pem", key = central.DataDir() + "/key.pem";
  ASSERT_TRUE(MakeTestCertificate(cert, key));
  ASSERT_TRUE(central.StartWithSite(cert, key)) << central.LogText();
  ASSERT_EQ(central.SiteUrl().compare(0, 8, "https://"), 0) << central.SiteUrl();
  const std::string url = central.SiteUrl();

  Http h = Curl({"--cacert", cert, "--data-binary", Form("tls@example.com", "secret1"),
                 url + "/quarlo/register.html"});
  EXPECT_EQ(h.code, 200) << h.curlExit;
  EXPECT_NE(h.body.find("\"status\":2"), std::string::npos) << h.body;
  h = Curl({"--cacert", cert, url + "/quarlo/bannerpc?L=en"});
  EXPECT_EQ(h.code, 200);
  // Without the certificate the client refuses the server; plain HTTP gets nothing.
  h = Curl({url + "/faq.html"});
  EXPECT_EQ(h.code, 0);
  EXPECT_EQ(h.curlExit, 60) << "certificate not trusted";
  std::string plain = url;
  plain.replace(0, 5, "http");
  EXPECT_NE(Curl({plain + "/faq.html"}).code, 200);
  EXPECT_NE(central.Admin({"account", "list"}).output.find("tls@example.com"), std::string::npos);
  // A hand-shake that never comes counts against the request's deadline.
  const int silent = ConnectTo(static_cast<uint16_t>(std::stoi(url.substr(18))));
  ASSERT_GE(silent, 0);
  EXPECT_TRUE(WaitFor([&] { return ClosedByServer(silent); }, std::chrono::seconds(30),
                      std::chrono::milliseconds(100)));
  close(silent);
}

TEST(SiteTls, StartRefusesAKeyThatIsNotTheCertificates) {
  CentralProcess central;
  const std::string dir = central.DataDir();
  for (const char* name : {"a", "b"})
    ASSERT_TRUE(MakeTestCertificate(dir + "/" + name + ".pem", dir + "/" + name + ".key"));
  EXPECT_FALSE(central.StartWithSite(dir + "/a.pem", dir + "/b.key"));
  EXPECT_NE(central.LogText().find("cannot use the key"), std::string::npos) << central.LogText();
}

}  // namespace
