#pragma once
// Time texts and printf formatting, which the logger needs too: nothing here logs, so the
// logger and the OS layer both stand on it.
#include <cstdarg>
#include <cstdint>
#include <string>

std::string OS_GetCurTimeStr();  // local time, "YYYY-MM-DD hh:mm:ss"
std::string OS_TimeToStr(int64_t t);
int64_t OS_StrToTime(const std::string& text);
std::string OS_FormatStr(const char* format, va_list args) __attribute__((format(printf, 1, 0)));
