#pragma once
// The system language and character set come from the locale (LC_ALL, LC_MESSAGES, LANG):
// zh_CN is Chinese (PRC), zh_TW Chinese (Taiwan), everything else English. The code set is
// read from the locale name ("zh_CN.gbk" -> "GBK"), so the process never changes its locale.
#include <string>

enum class SysLanguage { English, ChinesePRC, ChineseTaiwan };

SysLanguage Plat_SystemLanguage();
std::string Plat_LocaleName();   // the first set of LC_ALL, LC_MESSAGES, LANG; "C" otherwise
std::string Plat_LocaleCodeSet(); // upper-case code set of that locale, "ANSI_X3.4-1968" for C

// Pure forms for tests.
SysLanguage Plat_LanguageOfLocale(const std::string& localeName);
std::string Plat_CodeSetOfLocale(const std::string& localeName);
