#include "desktop/foundation/text_encodings.h"

#include <iconv.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "desktop/foundation/sys_utils.h"
#include "platform/locale_info.h"

namespace {

bool LocaleIsUtf8() { return Plat_LocaleCodeSet() == "UTF-8"; }

char* CopyAlloc(const std::string& s) {
  char* out = static_cast<char*>(std::malloc(s.size() + 1));
  if (!out) return nullptr;
  std::memcpy(out, s.data(), s.size());
  out[s.size()] = '\0';
  return out;
}

// Converts the whole text; false on any error. The output grows as needed.
bool Convert(const char* to, const std::string& in, const char* from, std::string& out) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  out.assign(in.size() * 3 + 8, '\0');
  char* inPtr = const_cast<char*>(in.data());
  size_t inLeft = in.size();
  size_t used = 0;
  bool ok = true;
  while (inLeft > 0) {
    char* outPtr = &out[used];
    size_t outLeft = out.size() - used;
    const size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    used = out.size() - outLeft;
    if (rc != static_cast<size_t>(-1)) continue;
    if (errno == E2BIG) {
      out.resize(out.size() * 2);
      continue;
    }
    ok = false;
    break;
  }
  if (ok) {  // flush any shift state
    char* outPtr = &out[used];
    size_t outLeft = out.size() - used;
    if (iconv(cd, nullptr, nullptr, &outPtr, &outLeft) == static_cast<size_t>(-1)) ok = false;
    used = out.size() - outLeft;
  }
  iconv_close(cd);
  out.resize(ok ? used : 0);
  return ok;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace

std::string LocalCharsetOfSystem() {
  const int langId = GetSystemDefaultLangId();
  const int primary = langId & 0x3FF;
  const int sub = langId & 0xFC00;
  if (primary == 4 && sub == 0x800) return "GB2312";
  if (primary == 4 && sub == 0x400) return "BIG5";
  if (primary == 9) return "ASCII";
  return "";
}

std::wstring Utf8ToWide(const std::string& s) {
  std::wstring out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    int len = 0;
    char32_t cp = 0;
    if (c < 0x80) {
      len = 1;
      cp = c;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
      cp = c & 0x07;
    }
    bool ok = len > 0 && i + static_cast<size_t>(len) <= s.size();
    for (int k = 1; ok && k < len; ++k) {
      const unsigned char cc = static_cast<unsigned char>(s[i + static_cast<size_t>(k)]);
      if ((cc & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not characters.
    static const char32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (ok && (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
    if (!ok) {
      out.push_back(static_cast<wchar_t>(0xFFFD));
      ++i;
      continue;
    }
    out.push_back(static_cast<wchar_t>(cp));
    i += static_cast<size_t>(len);
  }
  return out;
}

std::string WideToUtf8(const std::wstring& w) {
  std::string out;
  out.reserve(w.size());
  for (wchar_t wc : w) {
    char32_t c = static_cast<char32_t>(wc);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    AppendUtf8(out, c);
  }
  return out;
}

std::string WideToAnsi(const std::wstring& text) {
  const std::string utf8 = WideToUtf8(text);
  if (LocaleIsUtf8()) return utf8;
  const std::string codeSet = Plat_LocaleCodeSet();
  std::string out;
  for (wchar_t wc : text) {  // one character at a time, so one that has no form becomes '?'
    std::string piece;
    if (Convert(codeSet.c_str(), WideToUtf8(std::wstring(1, wc)), "UTF-8", piece))
      out += piece;
    else
      out += '?';
  }
  return out;
}

std::wstring AnsiToWide(const std::string& text) {
  if (LocaleIsUtf8()) return Utf8ToWide(text);
  std::string utf8;
  if (Convert("UTF-8", text, Plat_LocaleCodeSet().c_str(), utf8)) return Utf8ToWide(utf8);
  return Utf8ToWide(text);
}

char* WideToAnsiAlloc(const wchar_t* text) {
  if (!text) return nullptr;
  return CopyAlloc(WideToAnsi(text));
}

wchar_t* Utf8ToWideAlloc(const char* text) {
  if (!text) return nullptr;
  const std::wstring w = Utf8ToWide(text);
  wchar_t* out = static_cast<wchar_t*>(std::calloc(w.size() + 1, sizeof(wchar_t)));
  if (!out) return nullptr;
  std::memcpy(out, w.data(), w.size() * sizeof(wchar_t));
  return out;
}

std::string IconvConvert(const char* toCharset, const char* text, const char* fromCharset) {
  if (!toCharset || !text || !fromCharset) return "";
  std::string out;
  if (!Convert(toCharset, text, fromCharset, out)) return "";
  return out;
}

namespace {

// Tries each source/target pair in order; nullptr when none converts a non-empty text.
char* ConvertWithFallback(const char* text, bool toUtf8) {
  if (!text) return nullptr;
  const std::string in = text;
  if (in.empty()) return CopyAlloc("");
  if (LocaleIsUtf8()) return CopyAlloc(in);
  const std::string local = LocalCharsetOfSystem();
  if (local.empty()) return CopyAlloc(in);
  std::vector<std::string> sets{local};
  if (local == "GB2312") sets.push_back("BIG5");
  if (local == "BIG5" && !toUtf8) sets.push_back("GB2312");
  for (const std::string& set : sets) {
    std::string out;
    const bool ok = toUtf8 ? Convert("UTF-8", in, set.c_str(), out)
                           : Convert(set.c_str(), in, "UTF-8", out);
    if (ok && !out.empty()) return CopyAlloc(out);
  }
  return nullptr;
}

}  // namespace

char* LocalToUtf8(const char* text) { return ConvertWithFallback(text, true); }
char* Utf8ToLocal(const char* text) { return ConvertWithFallback(text, false); }
