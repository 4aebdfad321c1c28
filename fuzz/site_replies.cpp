// What the operator's site answers the desktop program: the update page, the release notes and
// the registration's status. Whatever arrives, the parsers end; a page that passes the checks
// names an address the site road accepts and a size and digest of their form.
#include <cstddef>
#include <cstdint>
#include <string>

#include "desktop/app/account/register_account.h"
#include "desktop/app/site/site_http.h"
#include "desktop/app/update/update_info.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string reply(reinterpret_cast<const char*>(data), size);
  UpdateInfo info;
  info.ParseReply(reply);
  if (info.Valid()) {
    if (!IsAllowedSiteUrl(info.down) || info.md5.size() != 32 || info.SizeBytes() == 0) __builtin_trap();
    if (!IsVersionText(info.version)) __builtin_trap();
    if (!info.sig.empty() && !IsAllowedSiteUrl(info.sig)) __builtin_trap();
  }
  IsNewerVersion(info.version, reply.substr(0, 40));
  std::string notes;
  ParseReleaseNotes(reply, notes);
  const int status = ParseRegisterReply(reply);
  if (RegisterResultKey(status).empty()) __builtin_trap();
  return 0;
}
