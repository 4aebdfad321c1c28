// The registration form a stranger posts to the site: whatever it is, the parse ends with a
// known status, and what it accepts is an address the desktop program accepts and a password
// text of the crypt alphabet; the answer is JSON whatever the reason text holds.
#include <cstddef>
#include <cstdint>
#include <string>

#include "central/site/site_content.h"
#include "central/site/site_form.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  RegisterForm form;
  std::string why;
  const int status = ParseRegisterForm(body, form, why);
  switch (status) {
    case 0:
      if (!IsRegistrableEmail(form.email) || !IsPcPasswordText(form.password) || !why.empty())
        __builtin_trap();
      break;
    case kRegMalformed:
    case kRegBadCheck:
    case kRegBadEmail:
    case kRegBadPassword:
      if (why.empty() || !form.email.empty()) __builtin_trap();
      break;
    default:
      __builtin_trap();
  }
  const std::string answer = RegisterAnswer(status, body);
  for (unsigned char c : answer)
    if (c < 0x20) __builtin_trap();  // control bytes are escaped
  // The operator's update file goes through the same kind of checks.
  UpdateFileInfo info;
  if (ParseUpdateFile(body, info, why) && UpdatePageBody(info).find("\"\"") != std::string::npos)
    __builtin_trap();
  return 0;
}
