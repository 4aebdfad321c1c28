#pragma once
// The system language comes from the messages' locale (LC_ALL, LC_MESSAGES, LANG): zh_CN is
// Chinese (PRC), zh_TW Chinese (Taiwan), everything else English. The code set is the
// character set of LC_CTYPE (nl_langinfo(CODESET) of the environment's locale, its name when it
// is not installed); the process never changes its own locale.
#include <string>

enum class SysLanguage { English, ChinesePRC, ChineseTaiwan };

SysLanguage Plat_SystemLanguage();
std::string Plat_LocaleName();   // the first set of LC_ALL, LC_MESSAGES, LANG; "C" otherwise
std::string Plat_LocaleCodeSet(); // upper-case character set of LC_CTYPE, "ANSI_X3.4-1968" for C

// Pure forms for tests.
SysLanguage Plat_LanguageOfLocale(const std::string& localeName);
std::string Plat_CodeSetOfLocale(const std::string& localeName);
