#include "central/site/site_form.h"

#include <cstdio>
#include <vector>

#include "common/email_address.h"

namespace {

bool IsAlnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// application/x-www-form-urlencoded value; false on a broken escape or a NUL byte.
bool FormDecode(const std::string& in, std::string& out) {
  out.clear();
  for (size_t i = 0; i < in.size(); ++i) {
    char c = in[i];
    if (c == '+') {
      c = ' ';
    } else if (c == '%') {
      if (i + 2 >= in.size()) return false;
      const int hi = HexValue(in[i + 1]);
      const int lo = HexValue(in[i + 2]);
      if (hi < 0 || lo < 0) return false;
      c = static_cast<char>(hi * 16 + lo);
      i += 2;
    }
    if (c == '\0') return false;
    out.push_back(c);
  }
  return true;
}

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t at = s.find(sep, start);
    parts.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

}  // namespace

std::string LowerAscii(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

bool IsRegistrableEmail(const std::string& email) {
  return email.size() <= kRegisterEmailMax && IsEmailAddress(email);
}

bool IsPcPasswordText(const std::string& text) {
  if (text.size() != kPcPasswordTextLen) return false;
  for (char c : text)
    if (!IsAlnum(c) && c != '.' && c != '/') return false;
  return true;
}

int ParseRegisterForm(const std::string& body, RegisterForm& out, std::string& why) {
  out = RegisterForm{};
  if (body.empty() || body.size() > kRegisterBodyMax) {
    why = body.empty() ? "empty form" : "form too long";
    return kRegMalformed;
  }
  std::string email, password, check;
  bool haveEmail = false, havePassword = false, haveCheck = false;
  for (const std::string& pair : Split(body, '&')) {
    const size_t eq = pair.find('=');
    if (eq == std::string::npos) {
      if (pair.empty()) continue;  // "a=1&&b=2"
      why = "a form field without '='";
      return kRegMalformed;
    }
    const std::string key = pair.substr(0, eq);
    std::string value;
    if (!FormDecode(pair.substr(eq + 1), value)) {
      why = "a broken %-escape in the form";
      return kRegMalformed;
    }
    std::string* slot = nullptr;
    bool* seen = nullptr;
    if (key == "Email") slot = &email, seen = &haveEmail;
    else if (key == "Password") slot = &password, seen = &havePassword;
    else if (key == "Check") slot = &check, seen = &haveCheck;
    else continue;
    if (*seen) {
      why = "field " + key + " given twice";
      return kRegMalformed;
    }
    *seen = true;
    *slot = value;
  }
  if (!haveEmail || !havePassword || !haveCheck) {
    why = "the form needs Email, Password and Check";
    return kRegMalformed;
  }
  if (check != kRegisterCheckToken) {
    why = "wrong check token";
    return kRegBadCheck;
  }
  if (!IsRegistrableEmail(email)) {
    why = "not a valid e-mail address";
    return kRegBadEmail;
  }
  if (!IsPcPasswordText(password)) {
    why = "the password is not a 22-character MD5-crypt text";
    return kRegBadPassword;
  }
  out.email = email;
  out.password = password;
  why.clear();
  return 0;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '/': out += "\\/"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char esc[8];
          std::snprintf(esc, sizeof esc, "\\u%04x", c);
          out += esc;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  return out + "\"";
}

std::string RegisterAnswer(int status, const std::string& message) {
  return "{\"status\":" + std::to_string(status) + ",\"message\":" + JsonString(message) + "}";
}
