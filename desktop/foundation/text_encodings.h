#pragma once
// Conversions between the service's UTF-8 and the desktop's local character set. The local set
// follows the system language (GB2312 for simplified Chinese, BIG5 for traditional Chinese,
// ASCII for English, none for the rest) but only under a locale that is not UTF-8: under a
// UTF-8 locale local text already is UTF-8 and nothing is converted, as in the service.
// Buffers are malloc'ed and zero-terminated; the caller frees them. A conversion that fails
// yields nullptr (never "" for non-empty input), so callers refuse to send instead of sending an
// empty text.
#include <string>

// "GB2312", "BIG5", "ASCII", or "" (texts pass unchanged).
std::string LocalCharsetOfSystem();

char* WideToAnsiAlloc(const wchar_t* text);
wchar_t* Utf8ToWideAlloc(const char* text);
// iconv from one character set to another; "" on any failure, never a partial result.
std::string IconvConvert(const char* toCharset, const char* text, const char* fromCharset);
char* LocalToUtf8(const char* text);
char* Utf8ToLocal(const char* text);

// Plain UTF-8 <-> wide (UTF-32) text; invalid UTF-8 bytes become U+FFFD.
std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);
// Wide text in the ANSI code page of the process (the locale's code set); unmappable
// characters become '?'.
std::string WideToAnsi(const std::wstring& text);
// Narrow text of the ANSI code page to wide.
std::wstring AnsiToWide(const std::string& text);
