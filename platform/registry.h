#pragma once
// A file-backed registry. HKEY_CURRENT_USER lives in $XDG_CONFIG_HOME/Quarlo/registry.ini,
// HKEY_LOCAL_MACHINE in <system folder>/registry.ini; HKEY_CLASSES_ROOT is
// HKEY_LOCAL_MACHINE\SOFTWARE\Classes. Key and value names compare without case (ASCII); the
// 64-bit view flag of the callers has no meaning here. Each change is made under an flock of
// the store and written atomically (temp + rename). The current user's Run value "Quarlo" is
// mirrored as the XDG autostart entry $XDG_CONFIG_HOME/autostart/Quarlo.desktop.
// Results are Windows error numbers: 0, 2 (key or value missing), 5 (store not writable),
// 87 (bad argument), 13 (value of another type).
#include <cstdint>
#include <string>
#include <vector>

enum class RegRoot { CurrentUser, LocalMachine, ClassesRoot };

constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegDword = 4;

constexpr int kRegOk = 0;
constexpr int kRegNotFound = 2;
constexpr int kRegAccessDenied = 5;
constexpr int kRegInvalidData = 13;
constexpr int kRegInvalidParameter = 87;

struct RegValue {
  std::string name;  // "" is the key's default value
  uint32_t type = kRegSz;
  std::string text;  // kRegSz / kRegExpandSz
  uint32_t dword = 0;
};

// "HKCU", "HKEY_CURRENT_USER", "HKLM", "HKEY_LOCAL_MACHINE", "HKCR", "HKEY_CLASSES_ROOT".
bool Reg_ParseRoot(const std::string& text, RegRoot& root);
std::string Reg_RootName(RegRoot root);  // "HKEY_CURRENT_USER", ...

// The file of a root's store (tests and tools).
std::string Reg_StorePath(RegRoot root);

int Reg_CreateKey(RegRoot root, const std::string& key);  // with missing parents
// 0 when the key exists; with forWrite, 5 when the store may not be written by this process.
int Reg_OpenKey(RegRoot root, const std::string& key, bool forWrite);
int Reg_DeleteKey(RegRoot root, const std::string& key);  // with its subkeys
int Reg_SetString(RegRoot root, const std::string& key, const std::string& name,
                  const std::string& value, uint32_t type = kRegSz);
int Reg_SetDword(RegRoot root, const std::string& key, const std::string& name, uint32_t value);
int Reg_GetValue(RegRoot root, const std::string& key, const std::string& name, RegValue& out);
int Reg_GetString(RegRoot root, const std::string& key, const std::string& name,
                  std::string& out);
int Reg_GetDword(RegRoot root, const std::string& key, const std::string& name, uint32_t& out);
int Reg_DeleteValue(RegRoot root, const std::string& key, const std::string& name);
// The key's values in stored order, and the names of its direct subkeys.
int Reg_ListValues(RegRoot root, const std::string& key, std::vector<RegValue>& out);
int Reg_ListSubkeys(RegRoot root, const std::string& key, std::vector<std::string>& out);
