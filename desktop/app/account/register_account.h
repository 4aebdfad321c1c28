#pragma once
// Registering a new account on the operator's web site: the form the registration page takes,
// its JSON answer, and the checks of what the user typed. RegisterAccount blocks for the whole
// exchange (a worker thread runs it).
#include <atomic>
#include <string>

// The page's fixed check token.
constexpr char kRegisterCheckToken[] = "5d2e8a71c04f93b6e18d7a2c9f305b4e";
constexpr char kRegisterPagePath[] = "/quarlo/register.html";

// Results besides the page's own statuses (2 created, -6, -7, -11, -30).
constexpr int kRegCreated = 2;
constexpr int kRegBadPassword = -6;
constexpr int kRegBadEmail = -7;
constexpr int kRegAlreadyRegistered = -11;
constexpr int kRegTimeLimit = -30;
constexpr int kRegTimedOut = -42;
constexpr int kRegNoReply = -43;

struct RegisterRequest {
  std::string Email;     // as typed
  std::string Password;  // the MD5-crypt text without its setting prefix (22 characters)
  std::string Check = kRegisterCheckToken;
  // "Email=...&Password=...&Check=..." without URL encoding: the fields' alphabets (checked by
  // FieldsSendable) need none.
  std::string BuildFormBody() const;
  // The e-mail holds only letters, digits, "-", "_", "." and one "@"; the hash 22 characters
  // of "./0-9A-Za-z"; the token 32 lower-case hex digits.
  bool FieldsSendable() const;
};

// The status of the page's JSON answer: its integer member "status" (0 when missing);
// kRegNoReply for text that is not a JSON object or a status that is not an integer.
int ParseRegisterReply(const std::string& reply);

// Hashes the password and posts the form. kRegBadPassword (nothing sent) for an empty
// password or one with a byte outside 0x20..0x7E, or when the crypt library cannot hash it;
// kRegBadEmail (nothing sent) for an e-mail the form cannot carry; kRegTimedOut; kRegNoReply
// for any other failure (refused address, no answer, an answer other than 200, bad JSON);
// else the page's status.
// cancel (may be null) aborts the exchange.
int RegisterAccount(const char* email, const char* password,
                    const std::atomic<bool>* cancel = nullptr);

// The same after the caller has hashed the password (the crypt library's result buffer is
// shared, so the dialog hashes on the main thread where the log-on hashes too): the checks of
// the form, then the post.
int RegisterAccountHashed(const std::string& email, const std::string& hash,
                          const std::atomic<bool>* cancel = nullptr);
// The password checks and the hash of RegisterAccount; kRegBadPassword or 0.
int HashRegisterPassword(const char* password, std::string& hash);

// The UI text key of a registration result.
std::string RegisterResultKey(int status);

// The log-in dialog's check: 1 when text has none of ' ; " = ` * % $ ^ & < > { } [ ].
int CheckRegisterChars(const std::string& text);

// What the dialog checks before anything is sent, in its order. The result names the field
// (kFieldNone when all passed) and the UI text key to show.
enum RegisterField { kFieldNone, kFieldEmail, kFieldPassword, kFieldRepeat, kFieldLicence };
struct RegisterCheck {
  RegisterField field = kFieldNone;
  std::string key;  // "" when all passed
};
RegisterCheck CheckRegisterInput(const std::string& email, const std::string& password,
                                 const std::string& repeat, bool licenceTicked);
