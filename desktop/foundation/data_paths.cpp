#include "desktop/foundation/data_paths.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace {

// The path without trailing separators ("/" stays "/").
fs::path Trimmed(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return fs::path(p);
}

}  // namespace

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return (Trimmed(folder) / name).string();
}

std::string DataFolderUnder(const std::string& base) { return base.empty() ? "" : JoinPath(base, "Quarlo"); }

std::string BaseFolderOf(const std::string& dataFolder) {
  if (dataFolder.empty()) return "";
  const fs::path p = Trimmed(dataFolder);
  if (!p.has_relative_path()) return "";  // "/" has no parent
  return p.parent_path().string();
}

std::string CanonicalFolder(const std::string& path) {
  if (path.empty()) return "";
  std::error_code ec;
  const fs::path c = fs::weakly_canonical(Trimmed(path), ec);
  if (ec) return "";
  return Trimmed(c.string()).string();
}

bool SameFolder(const std::string& a, const std::string& b) {
  const std::string ca = CanonicalFolder(a), cb = CanonicalFolder(b);
  return !ca.empty() && ca == cb;
}

bool FolderInside(const std::string& inner, const std::string& outer) {
  const std::string i = CanonicalFolder(inner), o = CanonicalFolder(outer);
  if (i.empty() || o.empty()) return false;
  if (i == o) return true;
  if (o == "/") return i[0] == '/';
  return i.size() > o.size() && i.compare(0, o.size(), o) == 0 && i[o.size()] == '/';
}
