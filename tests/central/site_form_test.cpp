// The site's pure parts: the registration form, the address rule, the update file and the
// JSON it becomes.
#include <gtest/gtest.h>

#include "central/site/site_content.h"
#include "central/site/site_form.h"

namespace {

const std::string kHash = "dlpa9KqwRD2syjTBL7nze1";  // crypt("secret", "$1$bramle$"), setting cut
const std::string kCheck = "&Check=5d2e8a71c04f93b6e18d7a2c9f305b4e";

TEST(RegisterForm, TheProgramsBytesParseAndFaultsGetTheirStatus) {
  struct Case {
    std::string body;
    int status;
    const char* email;
  };
  const Case cases[] = {
      {"Email=me@example.com&Password=" + kHash + kCheck, 0, "me@example.com"},
      // Order, extra fields, empty pairs and form encoding do not matter.
      {"Check=5d2e8a71c04f93b6e18d7a2c9f305b4e&Password=" + kHash + "&Email=Me%40Example.com&x=1&&",
       0, "Me@Example.com"},
      {"Email=me@mail.com.cn&Password=" + kHash + kCheck, 0, "me@mail.com.cn"},
      {"", kRegMalformed, ""},
      {"Email=me@example.com&Password=" + kHash, kRegMalformed, ""},
      {"Email=me@example.com&Email=you@example.com&Password=" + kHash + kCheck, kRegMalformed, ""},
      {"Email=me@example.com&Password" + kCheck, kRegMalformed, ""},
      {"Email=me%4@example.com&Password=" + kHash + kCheck, kRegMalformed, ""},
      {"Email=me%00@example.com&Password=" + kHash + kCheck, kRegMalformed, ""},
      {std::string(kRegisterBodyMax + 1, 'a'), kRegMalformed, ""},
      {"Email=me@example.com&Password=" + kHash + "&Check=5d2e8a71c04f93b6e18d7a2c9f305b4f",
       kRegBadCheck, ""},
      {"Email=me@example&Password=" + kHash + kCheck, kRegBadEmail, ""},
      {"Email=me'x@example.com&Password=" + kHash + kCheck, kRegBadEmail, ""},
      {"Email=me+x@example.com&Password=" + kHash + kCheck, kRegBadEmail, ""},  // '+' is a blank
      {"Email=me@mail.example.info&Password=" + kHash + kCheck, 0, "me@mail.example.info"},
      {"Email=abcdefghijklmnopqrstuvwx@abc.com&Password=" + kHash + kCheck, kRegBadEmail, ""},
      {"Email=me@example.com&Password=" + kHash.substr(1) + kCheck, kRegBadPassword, ""},
      {"Email=me@example.com&Password=&Check=5d2e8a71c04f93b6e18d7a2c9f305b4e", kRegBadPassword, ""},
      {"Email=me@example.com&Password=" + kHash.substr(1) + "%24" + kCheck, kRegBadPassword, ""},
  };
  for (const Case& c : cases) {
    RegisterForm form;
    std::string why;
    EXPECT_EQ(ParseRegisterForm(c.body, form, why), c.status) << c.body;
    EXPECT_EQ(form.email, c.email) << c.body;
    EXPECT_EQ(why.empty(), c.status == 0) << c.body;
  }
}

TEST(RegisterForm, AddressRuleIsTheDesktopPrograms) {
  // The rule's cases are tested with the rule (tests/common/email_address_test.cpp); the site
  // bounds the length to what an account record holds.
  const struct {
    const char* email;
    bool ok;
  } cases[] = {
      {"x@y.info", true},
      {"x@mail.example.com", true},
      {"x@y.c", false},
      {"", false},
      {"abcdefghijklmnopqrstuvwxy@a.com", true},  // 31 characters
      {"abcdefghijklmnopqrstuvwxyz@a.com", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsRegistrableEmail(c.email), c.ok) << c.email;
}

TEST(RegisterForm, AnswerIsJsonWithTheStatus) {
  EXPECT_EQ(RegisterAnswer(-11, "a \"b\"/c\n"),
            "{\"status\":-11,\"message\":\"a \\\"b\\\"\\/c\\n\"}");
}

TEST(UpdateFile, ValidFileBecomesThePageAndFaultsAreNamed) {
  const std::string good =
      "# comment\n\nversion = 3.4.0.12\ndown=https://site.example/quarlo/download/q.deb\n"
      "md5=0123456789ABCDEF0123456789abcdef\r\nsize=4096\n";
  UpdateFileInfo info;
  std::string why;
  ASSERT_TRUE(ParseUpdateFile(good, info, why)) << why;
  EXPECT_EQ(UpdatePageBody(info),
            "{\"version\":\"3.4.0.12\",\"down\":\"https:\\/\\/site.example\\/quarlo\\/download\\/"
            "q.deb\",\"md5\":\"0123456789abcdef0123456789abcdef\",\"size\":\"4096\"}");
  UpdateFileInfo again;
  EXPECT_TRUE(ParseUpdateFile(UpdateFileText(info), again, why));
  EXPECT_EQ(again.down, info.down);
  // The signature's address, when the file names one, goes onto the page and survives a rewrite.
  ASSERT_TRUE(ParseUpdateFile(good + "sig=https://site.example/quarlo/download/q.deb.sig\n", info, why)) << why;
  EXPECT_EQ(UpdatePageBody(info),
            "{\"version\":\"3.4.0.12\",\"down\":\"https:\\/\\/site.example\\/quarlo\\/download\\/"
            "q.deb\",\"md5\":\"0123456789abcdef0123456789abcdef\",\"size\":\"4096\",\"sig\":"
            "\"https:\\/\\/site.example\\/quarlo\\/download\\/q.deb.sig\"}");
  EXPECT_TRUE(ParseUpdateFile(UpdateFileText(info), again, why));
  EXPECT_EQ(again.sig, info.sig);

  const struct {
    std::string text;
    const char* why;
  } bad[] = {
      {"version=3.4.0\ndown=https://a/b\nmd5=0123456789abcdef0123456789abcdef\nsize=1\n", "version"},
      {"version=3.4.0.70000\ndown=https://a/b\nmd5=0123456789abcdef0123456789abcdef\nsize=1\n", "version"},
      {"version=3.4.0.1\ndown=ftp://a/b\nmd5=0123456789abcdef0123456789abcdef\nsize=1\n", "down"},
      {"version=3.4.0.1\ndown=https://a/\"b\nmd5=0123456789abcdef0123456789abcdef\nsize=1\n", "down"},
      {"version=3.4.0.1\ndown=https://a/b\nmd5=0123456789abcdef0123456789abcdeg\nsize=1\n", "md5"},
      {"version=3.4.0.1\ndown=https://a/b\nmd5=0123456789abcdef0123456789abcdef\nsize=1k\n", "size"},
      {"version=3.4.0.1\ndown=https://a/b\nmd5=0123456789abcdef0123456789abcdef\n", "no size"},
      {"version=3.4.0.1\nversion=3.4.0.2\n", "twice"},
      {"colour=blue\n", "unknown key"},
      {"version=3.4.0.1\ndown=https://a/b\nmd5=0123456789abcdef0123456789abcdef\nsize=1\nsig=ftp://a/b.sig\n", "sig"},
  };
  for (const auto& c : bad) {
    EXPECT_FALSE(ParseUpdateFile(c.text, info, why)) << c.text;
    EXPECT_NE(why.find(c.why), std::string::npos) << why;
  }
}

TEST(UpdateFile, ReleaseNotesAndNamesServed) {
  EXPECT_EQ(ReleaseNotesBody("3.4.0.2", "Neu: \"x\"\n"),
            "{\"data\":{\"version\":\"3.4.0.2\",\"text\":\"Neu: \\\"x\\\"\\n\"}}");
  EXPECT_EQ(ReleaseNotesBody("", "t"), "{\"data\":{\"text\":\"t\"}}");
  EXPECT_EQ(SiteLanguage("tw"), "tw");
  EXPECT_EQ(SiteLanguage("TW"), "");
  EXPECT_TRUE(IsServedFileName("quarlo_3.4.0.1_amd64.deb"));
  for (const char* name : {"", ".hidden", "a/b", "..", "a b", "a%2fb"})
    EXPECT_FALSE(IsServedFileName(name)) << name;
}

}  // namespace
