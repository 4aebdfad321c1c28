#include "desktop/app/wizard/wizard_logic.h"

#include <sys/stat.h>
#include <unistd.h>

#include "desktop/foundation/sys_utils.h"
#include "desktop/foundation/ui_data.h"

namespace {
constexpr size_t kMaxPathBytes = 259;
}

std::string ProposeBaseFolder(const std::string& currentDataFolder) {
  if (!currentDataFolder.empty()) {
    std::string base = DataFolderParent(currentDataFolder);
    if (base.size() > 1 && base.back() == '/') base.pop_back();
    if (!base.empty() && base != currentDataFolder) return base;
  }
  return desktop::DefaultBaseFolder();
}

int CheckBaseFolder(const std::string& base) {
  struct stat st;
  if (base.empty() || base[0] != '/' || stat(base.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return kBaseMissing;
  if (!IsAllowedShareFolder(base)) return kBaseSystemFolder;
  const std::string data = WizardDataFolder(base);
  struct stat dst;
  // An existing data folder must itself be writable; else the base must take a new folder.
  const std::string target = stat(data.c_str(), &dst) == 0 ? data : base;
  if (access(target.c_str(), W_OK | X_OK) != 0) return kBaseNotWritable;
  const desktop::DefShareInfo info = desktop::FillDefShareInfo(base);
  for (const std::string& p : info.path)
    if (p.size() > kMaxPathBytes) return kBaseTooLong;
  return kBaseOk;
}

std::string WizardDataFolder(const std::string& base) {
  return desktop::FillDefShareInfo(base).path[0];
}

void FillDefaultShareList(IShareList& list, const std::string& base, const std::vector<std::string>& shares) {
  while (list.RowCount() > 0) list.DeleteRow(list.RowCount() - 1);
  AddShareToList(WizardDataFolder(base), -1, list);
  for (const std::string& s : shares) AddShareToList(s, -1, list);
}

bool WizardRowDeletable(const std::string& rowPath, const std::string& base) {
  return rowPath != WizardDataFolder(base);
}

std::string MoveResultKey(int result) {
  switch (result) {
    case 0:
    case 1: return "";
    case -2: return "MSGBOX_MOVEFOLDER_FAILED_DEL";
    case -1: return "MSGBOX_MOVEFOLDER_FAILED_COPY";
    default: return "MSGBOX_MOVEFOLDER_FAILED";
  }
}
