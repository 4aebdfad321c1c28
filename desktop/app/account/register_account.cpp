#include "desktop/app/account/register_account.h"

#include <json/json.h>

#include <cstring>
#include <memory>

#include "desktop/app/site/site_http.h"
#include "desktop/foundation/sys_utils.h"
#include "desktop/foundation/ui_data.h"

namespace {

constexpr long kRegisterTimeoutMs = 30000;
constexpr size_t kMaxReplyBytes = 16 * 1024;

bool IsAlnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

size_t Utf8Chars(const std::string& s) {
  size_t n = 0;
  for (unsigned char c : s)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

}  // namespace

std::string RegisterRequest::BuildFormBody() const {
  return "Email=" + Email + "&Password=" + Password + "&Check=" + Check;
}

bool RegisterRequest::FieldsSendable() const {
  if (Email.empty() || Email.size() > 31) return false;
  int ats = 0;
  for (char c : Email) {
    if (c == '@') ++ats;
    else if (!IsAlnum(c) && c != '-' && c != '_' && c != '.') return false;
  }
  if (ats != 1) return false;
  if (Password.size() != 22) return false;
  for (char c : Password)
    if (!IsAlnum(c) && c != '.' && c != '/') return false;
  if (Check.size() != 32) return false;
  for (char c : Check)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

int ParseRegisterReply(const std::string& reply) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  std::string errors;
  if (!reader->parse(reply.data(), reply.data() + reply.size(), &root, &errors)) return kRegNoReply;
  if (!root.isObject()) return kRegNoReply;
  if (!root.isMember("status")) return 0;
  const Json::Value& status = root["status"];
  if (!status.isInt()) return kRegNoReply;  // text, fractions, out of range
  return status.asInt();
}

int HashRegisterPassword(const char* password, std::string& hash) {
  if (!password || !*password) return kRegBadPassword;
  for (const char* p = password; *p; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c > 0x7E) return kRegBadPassword;
  }
  char out[64] = {};
  // Without a hash the page would get an empty password: refuse here instead.
  if (desktop::CryptPassword(out, password) != 0) return kRegBadPassword;
  hash = out;
  return 0;
}

int RegisterAccountHashed(const std::string& email, const std::string& hash,
                          const std::atomic<bool>* cancel) {
  RegisterRequest request;
  request.Email = email;
  request.Password = hash;
  if (!request.FieldsSendable()) {
    if (request.Password.size() != 22) return kRegBadPassword;
    return kRegBadEmail;
  }
  const HttpReply reply =
      HttpPostForm(SiteUrl(kRegisterPagePath), request.BuildFormBody(), kRegisterTimeoutMs, kMaxReplyBytes, cancel);
  if (reply.result == HttpResult::TimedOut) return kRegTimedOut;
  if (reply.result != HttpResult::Ok || reply.code != 200) return kRegNoReply;
  return ParseRegisterReply(reply.body);
}

int RegisterAccount(const char* email, const char* password, const std::atomic<bool>* cancel) {
  std::string hash;
  if (HashRegisterPassword(password, hash) != 0) return kRegBadPassword;
  return RegisterAccountHashed(email ? email : "", hash, cancel);
}

std::string RegisterResultKey(int status) {
  switch (status) {
    case kRegCreated: return "REGACCOUNT_INFO_EMPTY";
    case kRegBadPassword: return "REGACCOUNT_INFO_INVALIDPASS";
    case kRegBadEmail: return "REGACCOUNT_INFO_INVALIDEMAIL";
    case kRegAlreadyRegistered: return "REGACCOUNT_INFO_EMAILREGISTERED";
    case kRegTimeLimit: return "REGACCOUNT_INFO_TIMELIMIT";
    default: return "REGACCOUNT_INFO_NETWORKERR";
  }
}

int CheckRegisterChars(const std::string& text) {
  static const char kForbidden[] = "';\"=`*%$^&<>{}[]";
  return text.find_first_of(kForbidden) == std::string::npos ? 1 : 0;
}

RegisterCheck CheckRegisterInput(const std::string& email, const std::string& password,
                                 const std::string& repeat, bool licenceTicked) {
  RegisterCheck r;
  if (!CheckRegisterChars(email) || !IsValidEmail(email.c_str())) {
    r.field = kFieldEmail;
    r.key = "REGACCOUNT_INFO_INVALIDEMAIL";
  } else if (Utf8Chars(email) >= 32) {
    r.field = kFieldEmail;
    r.key = "REGACCOUNT_INFO_ADDRTOOLONG";
  } else if (!CheckRegisterChars(password)) {
    r.field = kFieldPassword;
    r.key = "REGACCOUNT_INFO_INVALIDPASS";
  } else if (!CheckRegisterChars(repeat)) {
    r.field = kFieldRepeat;
    r.key = "REGACCOUNT_INFO_INVALIDPASS";
  } else if (Utf8Chars(password) < 6 || Utf8Chars(password) > 16) {
    r.field = kFieldPassword;
    r.key = "REGACCOUNT_INFO_INVALIDPASS";
  } else if (password != repeat) {
    r.field = kFieldPassword;
    r.key = "REGACCOUNT_INFO_PASSMISMATCH";
  } else if (!licenceTicked) {
    r.field = kFieldLicence;
    r.key = "REGACCOUNT_INFO_NOTCHECKED";
  }
  return r;
}
