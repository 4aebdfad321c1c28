#include "desktop/foundation/share_list.h"

#include <filesystem>

int FindShareInList(const std::string& path, const IShareList& list) {
  for (int row = 0; row < list.RowCount(); ++row)
    if (list.RowText(row, 1) == path) return row;
  return -1;
}

bool IsAllowedShareFolder(const std::string& path) {
  if (path.empty() || path[0] != '/') return false;
  std::error_code ec;
  const std::filesystem::path canonical = std::filesystem::weakly_canonical(path, ec);
  if (ec) return false;
  auto it = canonical.begin();
  if (it == canonical.end()) return false;
  ++it;  // the root
  if (it == canonical.end() || it->empty()) return false;  // "/" itself
  const std::string top = it->string();
  static const char* const kSystem[] = {"usr", "etc", "var", "opt", "bin", "sbin",
                                        "boot", "proc", "sys", "dev", "run"};
  for (const char* s : kSystem)
    if (top == s) return false;
  if (top.compare(0, 3, "lib") == 0) return false;  // lib, lib32, lib64, libx32
  return true;
}

std::string FolderDisplayName(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  if (p == "/") return p;
  const size_t slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

int AddShareToList(const std::string& path, int position, IShareList& list) {
  if (FindShareInList(path, list) != -1) return -1;
  if (!IsAllowedShareFolder(path)) return -2;
  const int at = position < 0 || position > list.RowCount() ? list.RowCount() : position;
  list.InsertRow(at, FolderDisplayName(path), path);
  return 1;
}

int RemoveShareFromList(IShareList& list, const std::string& path) {
  const int row = FindShareInList(path, list);
  if (row < 0) return -1;
  list.DeleteRow(row);
  return 1;
}
