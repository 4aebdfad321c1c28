// What the service (or anything that reaches 127.0.0.1) sends the desktop program: device
// log-in pushes and the entry lists of share and folder replies.
#include <cstddef>
#include <cstdint>

#include "desktop/foundation/ui_data.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  desktop::MobileLoginRequest request;
  if (desktop::DecodeLoginPush(data, size, request)) {
    (void)request.sender[63];
  }
  for (const std::string& entry : desktop::SplitReplyEntries(data, size)) {
    if (entry.size() > 259) __builtin_trap();
  }
  return 0;
}
