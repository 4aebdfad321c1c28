#include "platform/process_path.h"

#include <unistd.h>
#include <vector>

int Plat_ProgramPath(std::string& out) {
  out.clear();
  // readlink does not say when it truncated: grow until the text fits with room to spare.
  for (size_t size = 256; size <= 65536; size *= 2) {
    std::vector<char> buf(size);
    const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return -1;
    if (static_cast<size_t>(n) < buf.size()) {
      out.assign(buf.data(), static_cast<size_t>(n));
      return out.empty() || out[0] != '/' ? (out.clear(), -1) : 0;
    }
  }
  return -1;
}
