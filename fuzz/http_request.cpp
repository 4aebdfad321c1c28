// The HTTP request head as a peer sends it: finding its end, line splitting, the request line,
// URL decoding and the mapping of the URL to a local path.
#include <cstddef>
#include <cstdint>
#include <string>

#include "service/roads/http_server.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  // Complete stays complete as more bytes arrive.
  if (HttpHeadComplete(text, size / 2) && !HttpHeadComplete(text, size)) __builtin_trap();
  HttpCursor in{text, size, 0};
  char line[kHttpLineSize];
  while (in.pos < in.size) {
    const int n = HttpReadLine(in, line);
    if (n <= 0 || n >= static_cast<int>(kHttpLineSize)) __builtin_trap();
  }
  const HttpRequest req = ParseHttpRequest(text, size);
  if (req.method.size() > kHttpTokenMax || req.url.size() > kHttpTokenMax) __builtin_trap();
  const std::string decoded = HttpUrlDecode(req.url);
  if (decoded.size() > req.url.size()) __builtin_trap();
  // Without a virtual folder token the mapping needs no settings.
  if (req.url.find('$') == std::string::npos && req.url.find("%24") == std::string::npos) {
    const std::string path = HttpMapPath(req.url);
    if (!path.empty() && (path[0] != '/' || path.find("/../") != std::string::npos ||
                          path.size() > kHttpPathMax))
      __builtin_trap();
  }
  HttpIsExecutableName(req.url);
  return 0;
}
