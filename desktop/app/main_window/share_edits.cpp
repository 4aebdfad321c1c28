#include "desktop/app/main_window/share_edits.h"

#include <algorithm>

namespace desktop {

void AddPathToVector(const std::string& path, std::vector<std::string>& list) {
  if (std::find(list.begin(), list.end(), path) == list.end()) list.push_back(path);
}

void RemovePathFromVector(std::vector<std::string>& list, const std::string& path) {
  auto it = std::find(list.begin(), list.end(), path);
  if (it != list.end()) list.erase(it);
}

void CShareEdits::Fold(std::vector<std::string>& adds, std::vector<std::string>& removes) const {
  for (const ShareEdit& e : m_edits) {
    if (e.kind == 1) {
      AddPathToVector(e.path, adds);
      RemovePathFromVector(removes, e.path);
    } else if (e.kind == 2) {
      AddPathToVector(e.path, removes);
      RemovePathFromVector(adds, e.path);
    }
  }
}

void CShareEdits::Undo(IShareList& list) const {
  // Last edit first: each step sees the list as it was right after that edit.
  for (auto it = m_edits.rbegin(); it != m_edits.rend(); ++it) {
    if (it->kind == 1) {
      const int row = FindShareInList(it->path, list);
      if (row >= 0) list.DeleteRow(row);
    } else if (it->kind == 2 && FindShareInList(it->path, list) < 0) {
      const int at = it->row >= 0 && it->row <= list.RowCount() ? it->row : list.RowCount();
      list.InsertRow(at, FolderDisplayName(it->path), it->path);
    }
  }
}

}  // namespace desktop
