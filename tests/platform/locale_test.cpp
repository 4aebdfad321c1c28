#include "platform/locale_info.h"

#include <clocale>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>
#include "tests/support/env_guard.h"

namespace {


TEST(Locale, LanguageAndCodeSetOfLocaleNames) {
  struct Case {
    const char* name;
    SysLanguage language;
    const char* codeSet;
  };
  const Case cases[] = {
      {"zh_CN.UTF-8", SysLanguage::ChinesePRC, "UTF-8"},
      {"zh_CN.utf8", SysLanguage::ChinesePRC, "UTF-8"},
      {"zh_CN.gb2312", SysLanguage::ChinesePRC, "GB2312"},
      {"zh_CN.GBK", SysLanguage::ChinesePRC, "GBK"},
      {"zh_CN.gb18030", SysLanguage::ChinesePRC, "GB18030"},
      {"zh_CN", SysLanguage::ChinesePRC, "GB2312"},
      {"zh_TW.Big5", SysLanguage::ChineseTaiwan, "BIG5"},
      {"zh_TW.UTF-8", SysLanguage::ChineseTaiwan, "UTF-8"},
      {"zh_TW", SysLanguage::ChineseTaiwan, "BIG5"},
      {"zh_HK.UTF-8", SysLanguage::English, "UTF-8"},
      {"zh_SG", SysLanguage::English, "ISO-8859-1"},
      {"en_US.UTF-8", SysLanguage::English, "UTF-8"},
      {"en_US", SysLanguage::English, "ISO-8859-1"},
      {"de_DE.iso88591", SysLanguage::English, "ISO-8859-1"},
      {"ru_RU.koi8-r", SysLanguage::English, "KOI8-R"},
      {"ca_ES.UTF-8@valencia", SysLanguage::English, "UTF-8"},
      {"sr_RS@latin", SysLanguage::English, "ISO-8859-1"},
      {"C.UTF-8", SysLanguage::English, "UTF-8"},
      {"C", SysLanguage::English, "ANSI_X3.4-1968"},
      {"POSIX", SysLanguage::English, "ANSI_X3.4-1968"},
      {"", SysLanguage::English, "ANSI_X3.4-1968"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Plat_LanguageOfLocale(c.name), c.language) << c.name;
    EXPECT_EQ(Plat_CodeSetOfLocale(c.name), c.codeSet) << c.name;
  }
}

TEST(Locale, FirstNonEmptyVariableDecidesAndTheLocaleStaysAsItWas) {
  CEnvGuard all("LC_ALL");
  CEnvGuard messages("LC_MESSAGES");
  CEnvGuard lang("LANG");
  const std::string before = std::setlocale(LC_ALL, nullptr);

  CEnvGuard ctype("LC_CTYPE");
  setenv("LC_ALL", "", 1);
  unsetenv("LC_CTYPE");
  setenv("LC_MESSAGES", "zh_TW.UTF-8", 1);
  setenv("LANG", "zh_CN.GBK", 1);
  EXPECT_EQ(Plat_LocaleName(), "zh_TW.UTF-8");
  EXPECT_EQ(Plat_SystemLanguage(), SysLanguage::ChineseTaiwan);
  // The character set is LC_CTYPE's, which LANG gives here, not the messages' locale.
  EXPECT_EQ(Plat_LocaleCodeSet(), "GBK");
  setenv("LC_CTYPE", "C.UTF-8", 1);  // installed everywhere: asked of the C library
  EXPECT_EQ(Plat_LocaleCodeSet(), "UTF-8");
  unsetenv("LC_CTYPE");

  unsetenv("LC_MESSAGES");
  EXPECT_EQ(Plat_SystemLanguage(), SysLanguage::ChinesePRC);
  EXPECT_EQ(Plat_LocaleCodeSet(), "GBK");

  setenv("LC_ALL", "en_GB.UTF-8", 1);
  EXPECT_EQ(Plat_SystemLanguage(), SysLanguage::English);

  unsetenv("LC_ALL");
  unsetenv("LANG");
  EXPECT_EQ(Plat_LocaleName(), "C");
  EXPECT_EQ(Plat_LocaleCodeSet(), "ANSI_X3.4-1968");

  EXPECT_EQ(std::setlocale(LC_ALL, nullptr), before);
}

}  // namespace
