#pragma once
// The registration form the desktop program posts to the site
// ("Email=<address>&Password=<22-character MD5-crypt text>&Check=<token>") and the JSON
// status it reads back. Pure functions: the site's handler and the fuzz target call them.
#include <cstddef>
#include <string>

// Statuses of the answer's "status" member; the desktop program shows a text for each.
constexpr int kRegCreated = 2;
constexpr int kRegBadPassword = -6;   // not an MD5-crypt text
constexpr int kRegBadEmail = -7;      // not an address the desktop program accepts
constexpr int kRegBadCheck = -8;      // the fixed token is wrong: not our program
constexpr int kRegMalformed = -9;     // not a form of the three fields
constexpr int kRegServerError = -10;  // the database failed
constexpr int kRegExists = -11;       // the address is registered already (in any case)
constexpr int kRegTimeLimit = -30;    // too many registrations from one address

constexpr size_t kRegisterBodyMax = 1024;  // the real form is about 100 bytes
constexpr size_t kRegisterEmailMax = 31;   // what an account record holds
constexpr size_t kPcPasswordTextLen = 22;
constexpr const char kRegisterCheckToken[] = "5d2e8a71c04f93b6e18d7a2c9f305b4e";

struct RegisterForm {
  std::string email;     // as sent (validated, not yet lower-cased)
  std::string password;  // the MD5-crypt text without its setting
};

// 0 with the fields filled, or the status to answer and in `why` a short reason for the
// answer and the log. Values are form-decoded (%XX, '+'); each field exactly once; other
// fields are ignored.
int ParseRegisterForm(const std::string& body, RegisterForm& out, std::string& why);

// The e-mail rule the desktop program's dialogs use (common/email_address.h), at most 31
// characters (what an account record holds).
bool IsRegistrableEmail(const std::string& email);
// 22 characters of the crypt alphabet "./0-9A-Za-z".
bool IsPcPasswordText(const std::string& text);
std::string LowerAscii(std::string text);

// {"status":N,"message":"..."}
std::string RegisterAnswer(int status, const std::string& message);
// A JSON string literal of UTF-8 text (quotes included); "/" is written "\/".
std::string JsonString(const std::string& text);
