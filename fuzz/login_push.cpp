// What the service (or anything that reaches 127.0.0.1) sends the desktop program: device
// log-in pushes, the texts the phone prompt shows of them, and the entry lists of share and
// folder replies.
#include <cstddef>
#include <cstdint>
#include <string>

#include "desktop/app/prompts/mobile_login_queue.h"
#include "desktop/foundation/ui_data.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  desktop::MobileLoginRequest request;
  if (desktop::DecodeLoginPush(data, size, request)) {
    (void)request.sender[63];
    for (const char* field : {request.sender, request.network}) {
      const std::wstring text = desktop::PromptText(field, 64);
      if (text.size() > 64) __builtin_trap();
      for (wchar_t c : text)
        if (c < 0x20) __builtin_trap();  // shown as plain text: no control character left
    }
  }
  // The prompt bounds its fields itself, whatever bytes they hold.
  const size_t width = size < 64 ? size : 64;
  std::string field(reinterpret_cast<const char*>(data), width);
  field.push_back('\0');
  if (desktop::PromptText(field.data(), width).size() > width) __builtin_trap();
  for (const std::string& entry : desktop::SplitReplyEntries(data, size)) {
    if (entry.size() > 259) __builtin_trap();
  }
  return 0;
}
