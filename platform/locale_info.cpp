#include "platform/locale_info.h"

#include <langinfo.h>
#include <locale.h>

#include <cctype>
#include <cstdlib>

namespace {

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// "zh_CN.UTF-8@mod" -> "ZH_CN"
std::string TerritoryPart(const std::string& localeName) {
  return Upper(localeName.substr(0, localeName.find_first_of(".@")));
}

// "zh_CN.UTF-8@mod" -> "UTF-8"; "" without a code set part.
std::string CodeSetPart(const std::string& localeName) {
  const size_t dot = localeName.find('.');
  if (dot == std::string::npos) return "";
  const size_t at = localeName.find('@', dot);
  return localeName.substr(dot + 1, at == std::string::npos ? std::string::npos : at - dot - 1);
}

// Spelling variants compare equal without case, '-' and '_'.
std::string Squeezed(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c != '-' && c != '_') out.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  }
  return out;
}

}  // namespace

SysLanguage Plat_LanguageOfLocale(const std::string& localeName) {
  const std::string territory = TerritoryPart(localeName);
  if (territory == "ZH_CN") return SysLanguage::ChinesePRC;
  if (territory == "ZH_TW") return SysLanguage::ChineseTaiwan;
  return SysLanguage::English;
}

std::string Plat_CodeSetOfLocale(const std::string& localeName) {
  const std::string codeSet = CodeSetPart(localeName);
  if (codeSet.empty()) {
    const std::string territory = TerritoryPart(localeName);
    if (territory.empty() || territory == "C" || territory == "POSIX") return "ANSI_X3.4-1968";
    if (territory == "ZH_CN") return "GB2312";
    if (territory == "ZH_TW") return "BIG5";
    return "ISO-8859-1";
  }
  const std::string key = Squeezed(codeSet);
  if (key == "UTF8") return "UTF-8";
  if (key == "GB2312") return "GB2312";
  if (key == "GBK") return "GBK";
  if (key == "GB18030") return "GB18030";
  if (key == "BIG5") return "BIG5";
  // iso88591, ISO8859-1, ISO-8859-1 ... all name ISO-8859-n.
  if (key.rfind("ISO8859", 0) == 0 && key.size() > 7) return "ISO-8859-" + key.substr(7);
  return Upper(codeSet);
}

std::string Plat_LocaleName() {
  for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* v = std::getenv(var);
    if (v && *v) return v;
  }
  return "C";
}

SysLanguage Plat_SystemLanguage() { return Plat_LanguageOfLocale(Plat_LocaleName()); }

// The character set is LC_CTYPE's (LC_ALL, LC_CTYPE, LANG), not the messages' locale. Asked of
// the C library for the environment's locale without touching the process's own; a locale that
// is not installed is judged by its name.
std::string Plat_LocaleCodeSet() {
  locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
  if (loc != static_cast<locale_t>(nullptr)) {
    const std::string codeSet = nl_langinfo_l(CODESET, loc);
    freelocale(loc);
    if (!codeSet.empty()) return Plat_CodeSetOfLocale("C." + codeSet);
  }
  for (const char* var : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* v = std::getenv(var);
    if (v && *v) return Plat_CodeSetOfLocale(v);
  }
  return Plat_CodeSetOfLocale("C");
}
