// The body of a thumbnail request as a phone sends it: sizes, path field, path resolution and
// the share check (with no shares configured every path must be refused, never crash).
#include <cstddef>
#include <cstdint>
#include <string>

#include "service/pictures/thumb_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint16_t w = 0, h = 0;
  std::string path;
  const int rc = Parse_ThumbTransStatusHead(data, size, w, h, path);
  if (rc == kThumbParseExists) __builtin_trap();  // nothing is shared here
  return 0;
}
