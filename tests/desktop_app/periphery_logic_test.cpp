// The decisions of the update checker, the registration and the site road, without a display
// or a network.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "desktop/app/account/register_account.h"
#include "desktop/app/site/site_http.h"
#include "desktop/app/update/update_info.h"
#include "desktop/foundation/ui_data.h"
#include "desktop/foundation/sys_utils.h"
#include "tests/support/env_guard.h"
#include "tests/support/temp_base.h"

namespace {

constexpr char kMd5[] = "0123456789abcdef0123456789ABCDEF";

TEST(UpdatePage, ParseReply) {
  struct Case {
    const char* what;
    std::string reply;
    std::string down, version, size, md5;
  };
  const std::vector<Case> cases = {
      {"page order",
       R"({"version":"3.5.0.10","down":"https:\/\/h.example\/a\/Quarlo.deb","md5":"0123456789abcdef0123456789ABCDEF","size":"1234"})",
       "https://h.example/a/Quarlo.deb", "3.5.0.10", "1234", kMd5},
      {"reordered keys",
       R"({"size":"7","md5":"0123456789abcdef0123456789ABCDEF","down":"https://h/x","version":"1.0.0.1"})",
       "https://h/x", "1.0.0.1", "7", kMd5},
      {"missing key", R"({"version":"1.0.0.1","down":"https://h/x","md5":"0123456789abcdef0123456789ABCDEF"})",
       "https://h/x", "1.0.0.1", "", kMd5},
      {"blank after the colon", R"({"version": "1.0.0.1","down":"https://h/x"})", "https://h/x", "", "", ""},
      {"empty value", R"({"version":"","down":"https://h/x"})", "https://h/x", "", "", ""},
      {"unterminated value", R"({"version":"1.0.0.1)", "", "", "", ""},
      {"not JSON at all", "<html>502</html>", "", "", "", ""},
  };
  for (const Case& c : cases) {
    UpdateInfo info;
    info.ParseReply(c.reply);
    EXPECT_EQ(info.down, c.down) << c.what;
    EXPECT_EQ(info.version, c.version) << c.what;
    EXPECT_EQ(info.size, c.size) << c.what;
    EXPECT_EQ(info.md5, c.md5) << c.what;
  }
}

TEST(UpdatePage, ValidValuesOnly) {
  UpdateInfo good{"https://h.example/Quarlo.deb", "3.5.0.10", "1234", kMd5};
  EXPECT_TRUE(good.Valid());
  EXPECT_EQ(good.SizeBytes(), 1234u);
  struct Case {
    const char* what;
    UpdateInfo info;
  };
  const std::vector<Case> bad = {
      {"three parts", {good.down, "3.5.0", good.size, good.md5}},
      {"five parts", {good.down, "3.5.0.1.2", good.size, good.md5}},
      {"letters in the version", {good.down, "3.5.0.a", good.size, good.md5}},
      {"short digest", {good.down, good.version, good.size, "0123"}},
      {"digest with a non-hex letter", {good.down, good.version, good.size, "g123456789abcdef0123456789abcdef"}},
      {"zero size", {good.down, good.version, "0", good.md5}},
      {"negative size", {good.down, good.version, "-5", good.md5}},
      {"huge size", {good.down, good.version, "12345678901", good.md5}},
      {"plain http elsewhere", {"http://h.example/Quarlo.deb", good.version, good.size, good.md5}},
      {"file address", {"file:///etc/passwd", good.version, good.size, good.md5}},
  };
  for (const Case& c : bad) EXPECT_FALSE(c.info.Valid()) << c.what;
  UpdateInfo loopback = good;
  loopback.down = "http://127.0.0.1:8080/Quarlo.deb";
  EXPECT_TRUE(loopback.Valid());
}

// The signature's address comes from the page like the package's, and only over the site's
// road (the checker refuses a page that names none).
TEST(UpdatePage, SignatureAddress) {
  UpdateInfo info;
  info.ParseReply(R"({"version":"3.5.0.10","down":"https:\/\/h\/q.deb","md5":"0123456789abcdef0123456789ABCDEF",)"
                  R"("size":"1234","sig":"https:\/\/h\/q.deb.sig"})");
  EXPECT_EQ(info.sig, "https://h/q.deb.sig");
  EXPECT_TRUE(info.Valid());
  for (const char* bad : {"http://h.example/q.deb.sig", "file:///etc/passwd", "q.deb.sig"}) {
    info.sig = bad;
    EXPECT_FALSE(info.Valid()) << bad;
  }
  info.sig = "http://127.0.0.1:8080/q.deb.sig";
  EXPECT_TRUE(info.Valid());
}

TEST(UpdatePage, ReplaceAllGoesOnAfterEachReplacement) {
  std::string s = "a\\/\\/b\\/";
  ReplaceAll(s, "\\/", "/");
  EXPECT_EQ(s, "a//b/");
  std::string t = "aaa";
  ReplaceAll(t, "a", "aa");
  EXPECT_EQ(t, "aaaaaa");
}

TEST(UpdatePage, IsNewerVersion) {
  struct Case {
    const char* own;
    const char* remote;
    bool newer;
  };
  const std::vector<Case> cases = {
      {"3.5.0.9", "3.5.0.10", true},  {"3.5.0.10", "3.5.0.10", false},
      {"3.5.0.10", "3.5.0.9", false}, {"3.5.0.0", "03.5.0.0", false},
      {"3.5.0.0", "4.0.0.0", true},   {"3.5.0.0", "3.4.9.9", false},
      {"3.5.0.0", "3.5.1", true},     {"3.5.0.0", "3.5..1", true},
      {"", "1.0.0.0", false},         {"1.0.0.0", "", false},
      {"1.0.0.0", "1.0.0.0.1", false}, {"1.0.0.0", "2x.0.0.0", true},
      {"1.0.0.0", "1.0.0.1111111111111111111111111", false},  // over 29 characters
  };
  for (const Case& c : cases) EXPECT_EQ(IsNewerVersion(c.own, c.remote), c.newer) << c.own << " vs " << c.remote;
}

TEST(UpdatePage, OwnVersionIsTheBuildsVersion) {
  EXPECT_TRUE(IsVersionText(OwnVersion())) << OwnVersion();
  EXPECT_EQ(OwnVersion().rfind(QUARLO_VERSION_TEXT, 0), 0u);
}

TEST(UpdatePage, VerifyFileMd5IgnoresCase) {
  const std::string path = testing::TempDir() + "/md5_case.bin";
  std::ofstream(path, std::ios::binary) << "abc";
  EXPECT_TRUE(VerifyFileMd5("900150983cd24fb0d6963f7d28e17f72", path));
  EXPECT_TRUE(VerifyFileMd5("900150983CD24FB0D6963F7D28E17F72", path));
  EXPECT_FALSE(VerifyFileMd5("900150983cd24fb0d6963f7d28e17f73", path));
  EXPECT_FALSE(VerifyFileMd5("900150983cd24fb0d6963f7d28e17f72", path + ".missing"));
  std::remove(path.c_str());
}

TEST(ReleaseNotes, QueryPerLanguage) {
  struct Case {
    int systemLang;
    int ui;
    const char* query;
  };
  const std::vector<Case> cases = {
      {0x0804, 0, "?L=cn"}, {0x0804, 1, "?L=en"}, {0x0804, 2, "?L=tw"}, {0x0804, 7, ""},
      {0x0409, 0, "?L=cn"}, {0x0409, 1, "?L=en"}, {0x0409, 2, "?L=tw"},
      {0x0404, 0, "?L=tw"}, {0x0404, 1, "?L=en"}, {0x0404, 2, "?L=tw"}, {0x0404, 9, "?L=tw"},
      {0x0C04, 0, "?L=cn"},  // Hong Kong is outside the Taiwan range
  };
  for (const Case& c : cases)
    EXPECT_EQ(ReleaseNotesQuery(c.systemLang, c.ui), c.query) << std::hex << c.systemLang << " " << c.ui;
  EXPECT_EQ(LanguageQuery(0), "?L=cn");
  EXPECT_EQ(LanguageQuery(3), "");
}

TEST(ReleaseNotes, ParseReply) {
  std::string text;
  EXPECT_TRUE(ParseReleaseNotes(R"({"data":{"text":"Neu\nzwei \u4e2d"}})", text));
  EXPECT_EQ(text, "Neu\nzwei \xe4\xb8\xad");
  for (const char* bad : {"", "[]", "{}", R"({"data":5})", R"({"data":{"text":5}})",
                          R"({"data":{"text":["a"]}})", R"({"data":{}})", "{\"data\":", "null"}) {
    text = "kept";
    EXPECT_FALSE(ParseReleaseNotes(bad, text)) << bad;
    EXPECT_EQ(text, "kept") << bad;
  }
}

TEST(Registration, FormBytesAndCryptVector) {
  char hash[64] = {};
  ASSERT_EQ(desktop::CryptPassword(hash, "secret"), 0);
  EXPECT_STREQ(hash, "dlpa9KqwRD2syjTBL7nze1");
  RegisterRequest r;
  r.Email = "new.user@example.com";
  r.Password = hash;
  EXPECT_TRUE(r.FieldsSendable());
  EXPECT_EQ(r.BuildFormBody(),
            "Email=new.user@example.com&Password=dlpa9KqwRD2syjTBL7nze1&Check=5d2e8a71c04f93b6e18d7a2c9f305b4e");
  struct Case {
    const char* what;
    std::string email, password, check;
  };
  const std::vector<Case> unsendable = {
      {"ampersand in the e-mail", "a&b@example.com", hash, kRegisterCheckToken},
      {"plus in the e-mail", "a+b@example.com", hash, kRegisterCheckToken},
      {"two at signs", "a@b@example.com", hash, kRegisterCheckToken},
      {"no at sign", "example.com", hash, kRegisterCheckToken},
      {"empty hash", "a@example.com", "", kRegisterCheckToken},
      {"hash with an equals sign", "a@example.com", "dlpa9KqwRD2syjTBL7nze=", kRegisterCheckToken},
      {"upper-case token", "a@example.com", hash, "5D2E8A71C04F93B6E18D7A2C9F305B4E"},
  };
  for (const Case& c : unsendable) {
    RegisterRequest bad;
    bad.Email = c.email;
    bad.Password = c.password;
    bad.Check = c.check;
    EXPECT_FALSE(bad.FieldsSendable()) << c.what;
  }
}

TEST(Registration, ReplyStatus) {
  struct Case {
    const char* reply;
    int status;
  };
  const std::vector<Case> cases = {
      {R"({"status":2})", 2},        {R"({"status":-11,"msg":"x"})", -11},
      {R"({"msg":"no status"})", 0}, {R"({"status":"2"})", -43},
      {R"({"status":2.5})", -43},    {R"({"status":99999999999})", -43},
      {R"([2])", -43},               {"not json", -43},
      {"", -43},                     {R"({"status":null})", -43},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseRegisterReply(c.reply), c.status) << c.reply;
}

TEST(Registration, ResultKeys) {
  struct Case {
    int status;
    const char* key;
  };
  const std::vector<Case> cases = {
      {2, "REGACCOUNT_INFO_EMPTY"},         {-6, "REGACCOUNT_INFO_INVALIDPASS"},
      {-7, "REGACCOUNT_INFO_INVALIDEMAIL"}, {-11, "REGACCOUNT_INFO_EMAILREGISTERED"},
      {-30, "REGACCOUNT_INFO_TIMELIMIT"},   {-8, "REGACCOUNT_INFO_NETWORKERR"},
      {-9, "REGACCOUNT_INFO_NETWORKERR"},   {-10, "REGACCOUNT_INFO_NETWORKERR"},
      {-12, "REGACCOUNT_INFO_NETWORKERR"},  {-42, "REGACCOUNT_INFO_NETWORKERR"},
      {-43, "REGACCOUNT_INFO_NETWORKERR"},  {0, "REGACCOUNT_INFO_NETWORKERR"},
      {17, "REGACCOUNT_INFO_NETWORKERR"},
  };
  for (const Case& c : cases) EXPECT_EQ(RegisterResultKey(c.status), c.key) << c.status;
}

TEST(Registration, InputChecksInOrder) {
  struct Case {
    const char* what;
    std::string email, pass, repeat;
    bool licence;
    RegisterField field;
    const char* key;
  };
  const std::string ok = "a.b@example.com";
  const std::vector<Case> cases = {
      {"all good", ok, "secret", "secret", true, kFieldNone, ""},
      {"16 characters", ok, std::string(16, 'p'), std::string(16, 'p'), true, kFieldNone, ""},
      {"a four-letter suffix", "x@y.info", "secret", "secret", true, kFieldNone, ""},
      {"a domain of three labels", "me@mail.example.org", "secret", "secret", true, kFieldNone, ""},
      {"a one-letter suffix", "x@y.c", "secret", "secret", true, kFieldEmail, "REGACCOUNT_INFO_INVALIDEMAIL"},
      {"forbidden character in the e-mail", "a'b@example.com", "secret", "secret", true, kFieldEmail,
       "REGACCOUNT_INFO_INVALIDEMAIL"},
      {"not an e-mail", "nobody", "secret", "secret", true, kFieldEmail, "REGACCOUNT_INFO_INVALIDEMAIL"},
      {"32 characters", std::string(20, 'a') + "@example.com", "secret", "secret", true, kFieldEmail,
       "REGACCOUNT_INFO_ADDRTOOLONG"},
      {"forbidden character in the password", ok, "sec;ret", "sec;ret", true, kFieldPassword,
       "REGACCOUNT_INFO_INVALIDPASS"},
      {"forbidden character in the repetition", ok, "secret", "sec<ret", true, kFieldRepeat,
       "REGACCOUNT_INFO_INVALIDPASS"},
      {"5 characters", ok, "short", "short", true, kFieldPassword, "REGACCOUNT_INFO_INVALIDPASS"},
      {"17 characters", ok, std::string(17, 'p'), std::string(17, 'p'), true, kFieldPassword,
       "REGACCOUNT_INFO_INVALIDPASS"},
      {"mismatch", ok, "secret1", "secret2", true, kFieldPassword, "REGACCOUNT_INFO_PASSMISMATCH"},
      {"licence not ticked", ok, "secret", "secret", false, kFieldLicence, "REGACCOUNT_INFO_NOTCHECKED"},
  };
  for (const Case& c : cases) {
    const RegisterCheck r = CheckRegisterInput(c.email, c.pass, c.repeat, c.licence);
    EXPECT_EQ(r.field, c.field) << c.what;
    EXPECT_EQ(r.key, c.key) << c.what;
  }
}

TEST(Registration, PasswordOutsidePrintableAsciiIsNotSent) {
  CEnvGuard origin("QUARLO_SITE_ORIGIN");
  setenv("QUARLO_SITE_ORIGIN", "http://127.0.0.1:1", 1);  // nothing listens: a send would say -43
  EXPECT_EQ(RegisterAccount("a@example.com", "caf\xc3\xa9pass"), kRegBadPassword);
  EXPECT_EQ(RegisterAccount("a@example.com", "tab\tpass"), kRegBadPassword);
  EXPECT_EQ(RegisterAccount("a@example.com", ""), kRegBadPassword);
  EXPECT_EQ(RegisterAccount("a@example.com", "goodpass"), kRegNoReply);
}

TEST(SiteRoad, AllowedUrls) {
  struct Case {
    const char* url;
    bool allowed;
  };
  const std::vector<Case> cases = {
      {"https://quarlo.example.org/quarlo/update-pc.html", true},
      {"HTTPS://quarlo.example.org/", true},
      {"http://127.0.0.1:8080/quarlo/register.html", true},
      {"http://127.5.6.7/", true},
      {"http://localhost:99/x", true},
      {"http://[::1]:80/x", true},
      {"http://quarlo.example.org/quarlo/register.html", false},
      {"http://127.0.0.1.example.org/", false},
      {"http://128.0.0.1/", false},
      {"http://user@127.0.0.1/", false},
      {"ftp://127.0.0.1/", false},
      {"file:///etc/passwd", false},
      {"https://quarlo.example.org/a b", false},
      {"https:///nohost", false},
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsAllowedSiteUrl(c.url), c.allowed) << c.url;
  CEnvGuard origin("QUARLO_SITE_ORIGIN");
  setenv("QUARLO_SITE_ORIGIN", "http://127.0.0.1:5/", 1);
  EXPECT_EQ(SiteUrl("/quarlo/bannerpc?L=en"), "http://127.0.0.1:5/quarlo/bannerpc?L=en");
}

// Started outside `make run` (no QUARLO_SITE_ORIGIN), the program reaches the site beside the
// central server the service is configured with: qv_conf svhost of <base>/etc/Quarlo.db.
TEST(SiteRoad, TheOriginDefaultsToTheServicesCentralServer) {
  CEnvGuard origin("QUARLO_SITE_ORIGIN");
  unsetenv("QUARLO_SITE_ORIGIN");
  TempBase base;
  SetModuleDirOverride(base.BinDir());
  base.Exec("update qv_conf set svhost = '127.0.0.1';");
  EXPECT_EQ(SiteOrigin(), "http://127.0.0.1:15180");
  EXPECT_EQ(SiteUrl("/quarlo/update-pc.html"), "http://127.0.0.1:15180/quarlo/update-pc.html");
  base.Exec("update qv_conf set svhost = 'central.quarlo.net';");
  EXPECT_EQ(ConfiguredCentralHost(), "central.quarlo.net");
  EXPECT_EQ(SiteOrigin(), "https://central.quarlo.net");
  base.Exec("update qv_conf set svhost = 'bad host/x';");
  EXPECT_EQ(SiteOrigin(), "http://127.0.0.1:15180");  // no usable host: the installation's default
  // The setting, when given, is the origin.
  setenv("QUARLO_SITE_ORIGIN", "https://site.example.net/", 1);
  EXPECT_EQ(SiteOrigin(), "https://site.example.net");
  // The language files name the site's pages by path.
  EXPECT_EQ(SitePage("/quarlo/forgetpw.html?L=en"), "https://site.example.net/quarlo/forgetpw.html?L=en");
  EXPECT_EQ(SitePage("https://elsewhere.example.org/x"), "https://elsewhere.example.org/x");
  EXPECT_EQ(SitePage("javascript:alert(1)"), "");
  SetModuleDirOverride("");
  // Without any settings database: the installation's default central server.
  unsetenv("QUARLO_SITE_ORIGIN");
  SetModuleDirOverride("/nonexistent/bin");
  EXPECT_EQ(SiteOrigin(), "http://127.0.0.1:15180");
  SetModuleDirOverride("");
}

TEST(SiteRoad, OneUrlParser) {
  UrlParts p;
  ASSERT_TRUE(ParseUrl("HTTP://Example.ORG:8080/a/b?x=1#frag", p));
  EXPECT_EQ(p.scheme, "http");
  EXPECT_EQ(p.host, "example.org");
  EXPECT_EQ(p.port, "8080");
  EXPECT_EQ(p.path, "/a/b");
  EXPECT_EQ(p.query, "x=1");
  EXPECT_EQ(UrlOrigin(p), "http://example.org:8080");
  ASSERT_TRUE(ParseUrl("https://[::1]/", p));
  EXPECT_EQ(p.host, "::1");
  EXPECT_EQ(UrlOrigin(p), "https://[::1]");
  ASSERT_TRUE(ParseUrl("https://h.example?q", p));
  EXPECT_EQ(p.path, "/");
  EXPECT_EQ(p.query, "q");
  for (const char* bad : {"", "nohost", "https://", "https://u@h/", "https://h:8x/", "ht tp://h/"})
    EXPECT_FALSE(ParseUrl(bad, p)) << bad;
}

TEST(SiteRoad, PlainHttpElsewhereIsNeverSent) {
  const HttpReply r = HttpGet("http://192.0.2.1/quarlo/update-pc.html", 5000, 1000);
  EXPECT_EQ(r.result, HttpResult::Refused);
  EXPECT_EQ(r.code, 0);
}

}  // namespace
