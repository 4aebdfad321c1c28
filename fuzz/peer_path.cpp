// A peer's path against one share: whatever the bytes, the check either refuses or admits a
// folder whose canonical path lies inside the share (a link out of the share is in the tree).
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/share_paths.h"

namespace {

struct Tree {
  std::string share;
  std::string canonicalShare;
};

const Tree& Fixture() {
  static const Tree tree = [] {
    Tree t;
    const char* tmp = std::getenv("TMPDIR");
    const std::string root = std::string(tmp && *tmp ? tmp : "/tmp") + "/quarlo_fuzz_path_" +
                             std::to_string(getuid());
    t.share = root + "/share";
    mkdir(root.c_str(), 0700);
    mkdir(t.share.c_str(), 0700);
    mkdir((t.share + "/sub").c_str(), 0700);
    mkdir((root + "/outside").c_str(), 0700);
    // An existing link is fine; the tree is the same each run.
    (void)symlink("../outside", (t.share + "/out").c_str());
    t.canonicalShare = CanonicalPath(t.share);
    if (t.canonicalShare.empty()) std::abort();
    return t;
  }();
  return tree;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Tree& tree = Fixture();
  std::string text(reinterpret_cast<const char*>(data), size);
  if (text.find('\0') != std::string::npos) text.resize(text.find('\0'));
  std::string path = NormalizePeerPath(text);
  if (path.empty() || path[0] != '/') path = tree.share + "/" + path;
  if (CheckSharePathIn(path, {tree.share}) != 0) return 0;
  const std::string canonical = CanonicalPath(path);
  const std::string& base = tree.canonicalShare;
  const bool inside = canonical.compare(0, base.size(), base) == 0 &&
                      (canonical.size() == base.size() || canonical[base.size()] == '/');
  if (!inside) std::abort();
  return 0;
}
