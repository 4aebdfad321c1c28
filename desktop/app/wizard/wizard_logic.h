#pragma once
// The first-run wizard's decisions, apart from its window: which base folder it proposes,
// whether a chosen base may hold the data folder, the rows of its folder list, and the text
// for the result of the data-folder move.
#include <string>
#include <vector>

#include "desktop/foundation/share_list.h"

// The base of the data folder the service already has (its parent above "Quarlo"), else the
// user's home folder.
std::string ProposeBaseFolder(const std::string& currentDataFolder);

enum BaseFolderCheck {
  kBaseOk = 0,
  kBaseMissing,      // not an existing folder
  kBaseNotWritable,  // this user may not create the data folder in it
  kBaseSystemFolder, // "/" or a system folder
  kBaseTooLong,      // a category folder under it would pass 259 bytes
};
int CheckBaseFolder(const std::string& base);

// base + "/Quarlo" without doubling the separator.
std::string WizardDataFolder(const std::string& base);

// The folder list of step 2: the data folder's row first, then the folders the user added
// (kept across Previous and Next).
void FillDefaultShareList(IShareList& list, const std::string& base, const std::vector<std::string>& shares);
// The data folder's row may not be deleted.
bool WizardRowDeletable(const std::string& rowPath, const std::string& base);

// The message key (section "MESSAGEBOX") for CUIData::SetDefShare's result: "" for 0 and 1.
std::string MoveResultKey(int result);
