#include "common/email_address.h"

namespace {

bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLabelChar(char c) { return IsAsciiLetter(c) || IsAsciiDigit(c) || c == '-' || c == '_'; }
bool IsUserChar(char c) { return IsLabelChar(c) || c == '.'; }

}  // namespace

bool IsEmailAddress(std::string_view text) {
  const size_t at = text.find('@');
  if (at == std::string_view::npos || at == 0) return false;
  for (char c : text.substr(0, at))
    if (!IsUserChar(c)) return false;
  const std::string_view domain = text.substr(at + 1);
  const size_t lastDot = domain.rfind('.');
  if (lastDot == std::string_view::npos) return false;  // one label is a host, not a domain
  // Every label before the last: not empty, of label characters (a second "@" is none).
  size_t start = 0;
  while (start <= lastDot) {
    const size_t dot = domain.find('.', start);
    if (dot == start) return false;
    for (char c : domain.substr(start, dot - start))
      if (!IsLabelChar(c)) return false;
    start = dot + 1;
  }
  const std::string_view last = domain.substr(lastDot + 1);
  if (last.size() < 2) return false;
  for (char c : last)
    if (!IsAsciiLetter(c)) return false;
  return true;
}
