#pragma once
// Quarlo_Cmd: shows the data folder in the user's file manager. Its one command,
// "cmd_add_icon", registers a folder-shortcut class under the caller's GUID in the registry
// (read back by the desktop program) and adds the folder to the user's bookmarks, named with
// the language text UI/DIRVER_NAME.
//   Quarlo_Cmd <GUID> cmd_add_icon <language> <folder> <icon file>
// It prints one line, "Code:1" when everything was written, else "Code:-1".
#include <string>

#include "platform/registry.h"

constexpr int kNamespaceKeyCount = 9;

struct NamespaceKeyTemplate {
  RegRoot root;
  const char* key;  // "<GUID>" stands for the class GUID
};
extern const NamespaceKeyTemplate kNamespaceKeyTemplates[kNamespaceKeyCount];

// The shell's folder-shortcut class that the registered class stands for.
extern const char* const kFolderShortcutClsid;

// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" in hex digits, without braces.
bool IsValidClassGuid(const std::string& guid);

// Fills the nine keys with the GUID. A GUID of another form is refused (it would make the key
// paths point elsewhere): the keys stay empty and the registration fails.
bool ApplyGuidToKeyTemplates(const std::string& guid);
// Key 1..9 of the templates after ApplyGuidToKeyTemplates; "" before or after a refusal.
const std::string& NamespaceKey(int number);

// Writes the registration and the bookmark; true only when all of it was written.
bool RegisterComputerNamespaceIcon(const std::string& folder, const std::string& iconFile,
                                   int languageId);

// Runs the command of argv and prints its line; returns 1 or -1 as printed.
int RunHelperCommand(int argc, char** argv);
