#include "common/path_parts.h"

bool SplitComponents(const std::string& path, std::vector<std::string>& out) {
  out.clear();
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string piece = path.substr(start, end - start);
    if (piece == "..") return false;
    if (!piece.empty() && piece != ".") out.push_back(piece);
    start = end + 1;
  }
  return true;
}
