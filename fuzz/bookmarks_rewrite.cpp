// The bookmarks rewrite: the input's first line is the folder of ours, the rest the file.
// Whatever the bytes, the result is the file's own lines, in order, with ours last and once,
// and rewriting it again changes nothing.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/bookmarks.h"

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t nl = input.find('\n');
  const std::string folder = "/" + input.substr(0, nl);
  const std::string content = nl == std::string::npos ? std::string() : input.substr(nl + 1);
  const std::string ours = Plat_FileUri(folder) + " Label";

  const std::string out = Plat_RewriteBookmarks(content, {folder}, ours);
  const std::vector<std::string> before = Lines(content);
  const std::vector<std::string> after = Lines(out);
  if (out.empty() || out.back() != '\n' || after.empty() || after.back() != ours) std::abort();
  // Every kept line is a line of the file, in the file's order.
  size_t at = 0;
  for (size_t i = 0; i + 1 < after.size(); ++i) {
    while (at < before.size() && before[at] != after[i]) ++at;
    if (at == before.size()) std::abort();
    ++at;
  }
  // Lines that are no file location are never dropped.
  size_t plainBefore = 0, plainAfter = 0;
  for (const std::string& l : before) plainBefore += l.compare(0, 7, "file://") != 0;
  for (size_t i = 0; i + 1 < after.size(); ++i) plainAfter += after[i].compare(0, 7, "file://") != 0;
  if (plainBefore != plainAfter) std::abort();
  if (Plat_RewriteBookmarks(out, {folder}, ours) != out) std::abort();
  return 0;
}
