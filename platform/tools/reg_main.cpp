// reg: the registry tool over the file-backed registry. query, add and delete with the
// Windows tool's switches (/v, /ve, /va, /t, /d, /f, /s); output follows the Windows tool.
#include <signal.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace {

const char kNotFound[] =
    "ERROR: The system was unable to find the specified registry key or value.\n";

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

const char kUsage[] =
    "REG QUERY KeyName [/v ValueName | /ve] [/s]\n"
    "REG ADD KeyName [/v ValueName | /ve] [/t REG_SZ | REG_EXPAND_SZ | REG_DWORD] [/d Data] [/f]\n"
    "REG DELETE KeyName [/v ValueName | /ve | /va] [/f]\n\n"
    "    KeyName  ROOT\\SubKey, ROOT one of HKLM, HKCU, HKCR\n"
    "             (the file-backed registry of this machine)\n";

int Usage() {
  std::fprintf(stderr, "ERROR: Invalid syntax.\nType \"REG /?\" for usage.\n%s", kUsage);
  return 1;
}

// "HKCU\\Software\\X" -> root and key.
bool SplitKey(const std::string& full, RegRoot& root, std::string& key) {
  const size_t slash = full.find('\\');
  if (!Reg_ParseRoot(full.substr(0, slash), root)) return false;
  key = slash == std::string::npos ? "" : full.substr(slash + 1);
  return true;
}

void PrintValue(const RegValue& v) {
  const std::string name = v.name.empty() ? "(Default)" : v.name;
  if (v.type == kRegDword) {
    std::printf("    %s    REG_DWORD    0x%x\n", name.c_str(), v.dword);
  } else {
    std::printf("    %s    %s    %s\n", name.c_str(), v.type == kRegExpandSz ? "REG_EXPAND_SZ" : "REG_SZ",
                v.text.c_str());
  }
}

int QueryKey(RegRoot root, const std::string& key, bool recurse) {
  std::vector<RegValue> values;
  std::vector<std::string> subkeys;
  if (Reg_ListValues(root, key, values) != kRegOk || Reg_ListSubkeys(root, key, subkeys) != kRegOk)
    return -1;
  const std::string full = Reg_RootName(root) + (key.empty() ? "" : "\\" + key);
  std::printf("\n%s\n", full.c_str());
  for (const RegValue& v : values) PrintValue(v);
  for (const std::string& sub : subkeys) {
    const std::string child = key.empty() ? sub : key + "\\" + sub;
    if (recurse) {
      QueryKey(root, child, true);
    } else {
      std::printf("\n%s\\%s", full.c_str(), sub.c_str());
    }
  }
  if (!recurse && !subkeys.empty()) std::printf("\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  if (argc == 2 && (std::string(argv[1]) == "/?" || std::string(argv[1]) == "--help" ||
                    std::string(argv[1]) == "-h")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc < 3) return Usage();
  const std::string op = Upper(argv[1]);
  RegRoot root;
  std::string key;
  if (!SplitKey(argv[2], root, key)) {
    std::printf("ERROR: Invalid key name.\nType \"REG %s /?\" for usage.\n", op.c_str());
    return 1;
  }
  bool hasValue = false, allValues = false, recurse = false;
  std::string valueName, type = "REG_SZ", data;
  for (int i = 3; i < argc; ++i) {
    const std::string a = Upper(argv[i]);
    if (a == "/V" && i + 1 < argc) {
      hasValue = true;
      valueName = argv[++i];
    } else if (a == "/VE") {
      hasValue = true;
      valueName.clear();
    } else if (a == "/VA") {
      allValues = true;
    } else if (a == "/T" && i + 1 < argc) {
      type = Upper(argv[++i]);
    } else if (a == "/D" && i + 1 < argc) {
      data = argv[++i];
    } else if (a == "/F" || a == "/REG:64" || a == "/REG:32") {
    } else if (a == "/S") {
      recurse = true;
    } else {
      return Usage();
    }
  }
  if (op == "QUERY") {
    if (hasValue) {
      RegValue v;
      if (Reg_GetValue(root, key, valueName, v) != kRegOk) {
        std::printf("%s", kNotFound);
        return 1;
      }
      std::printf("\n%s\\%s\n", Reg_RootName(root).c_str(), key.c_str());
      PrintValue(v);
      std::printf("\n");
      return 0;
    }
    if (QueryKey(root, key, recurse) != 0) {
      std::printf("%s", kNotFound);
      return 1;
    }
    std::printf("\n");
    return 0;
  }
  if (op == "ADD") {
    int rc = Reg_CreateKey(root, key);
    if (rc == kRegOk && hasValue) {
      if (type == "REG_DWORD") {
        char* end = nullptr;
        const unsigned long long n = std::strtoull(data.c_str(), &end, 0);
        if (data.empty() || *end || n > 0xFFFFFFFFull) return Usage();
        rc = Reg_SetDword(root, key, valueName, static_cast<uint32_t>(n));
      } else if (type == "REG_SZ" || type == "REG_EXPAND_SZ") {
        rc = Reg_SetString(root, key, valueName, data, type == "REG_SZ" ? kRegSz : kRegExpandSz);
      } else {
        return Usage();
      }
    }
    if (rc != kRegOk) {
      std::printf("ERROR: Access is denied.\n");
      return 1;
    }
    std::printf("The operation completed successfully.\n");
    return 0;
  }
  if (op == "DELETE") {
    int rc = kRegOk;
    if (hasValue) {
      rc = Reg_DeleteValue(root, key, valueName);
    } else if (allValues) {
      std::vector<RegValue> values;
      rc = Reg_ListValues(root, key, values);
      for (const RegValue& v : values)
        if (rc == kRegOk) rc = Reg_DeleteValue(root, key, v.name);
    } else {
      rc = Reg_DeleteKey(root, key);
    }
    if (rc != kRegOk) {
      std::printf("%s", rc == kRegAccessDenied ? "ERROR: Access is denied.\n" : kNotFound);
      return 1;
    }
    std::printf("The operation completed successfully.\n");
    return 0;
  }
  return Usage();
}
