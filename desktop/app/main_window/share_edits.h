#pragma once
// The shares page's pending edits: nothing reaches the service until Apply folds them, in the
// order the user made them, into one list of folders to add and one to remove; Cancel undoes
// them in the list. Paths are UTF-8 with "/".
#include <string>
#include <vector>

#include "desktop/foundation/share_list.h"

namespace desktop {

struct ShareEdit {
  int kind;  // 1 add, 2 remove
  std::string path;
  int row;  // the row a removed folder had; -1 for adds
};

void AddPathToVector(const std::string& path, std::vector<std::string>& list);  // once, exact
void RemovePathFromVector(std::vector<std::string>& list, const std::string& path);

class CShareEdits {
 public:
  void Added(const std::string& path) { m_edits.push_back({1, path, -1}); }
  void Removed(const std::string& path, int row) { m_edits.push_back({2, path, row}); }
  // A folder added and removed again ends in neither list; each path occurs once.
  void Fold(std::vector<std::string>& adds, std::vector<std::string>& removes) const;
  // Puts the list back as it was before the edits.
  void Undo(IShareList& list) const;
  void Clear() { m_edits.clear(); }
  bool Empty() const { return m_edits.empty(); }
  const std::vector<ShareEdit>& Edits() const { return m_edits; }

 private:
  std::vector<ShareEdit> m_edits;
};

}  // namespace desktop
