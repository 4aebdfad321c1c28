#include "tools/cmd/cmd_tool.h"

#include <cstdio>
#include <cstring>

#include "desktop/foundation/languages.h"
#include "desktop/foundation/text_encodings.h"
#include "platform/bookmarks.h"

const NamespaceKeyTemplate kNamespaceKeyTemplates[kNamespaceKeyCount] = {
    {RegRoot::ClassesRoot, "CLSID\\{<GUID>}"},
    {RegRoot::ClassesRoot, "CLSID\\{<GUID>}\\InprocServer32"},
    {RegRoot::ClassesRoot, "CLSID\\{<GUID>}\\DefaultIcon"},
    {RegRoot::ClassesRoot, "CLSID\\{<GUID>}\\Instance"},
    {RegRoot::ClassesRoot, "CLSID\\{<GUID>}\\Instance\\InitPropertyBag"},
    {RegRoot::ClassesRoot, "CLSID\\{<GUID>}\\shell"},
    {RegRoot::ClassesRoot, "CLSID\\{<GUID>}\\shellex\\PropertySheetHandlers\\{<GUID>}"},
    {RegRoot::ClassesRoot, "CLSID\\{<GUID>}\\ShellFolder"},
    {RegRoot::LocalMachine,
     "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\explorer\\MyComputer\\NameSpace\\{<GUID>}"},
};

const char* const kFolderShortcutClsid = "{0AFACED1-E828-11D1-9187-B532F1E9575D}";

namespace {

const char kCommandAddIcon[] = "cmd_add_icon";
constexpr uint32_t kShellFolderAttributes = 0xF8801108;

std::string g_keys[kNamespaceKeyCount];

bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Collects the result of each registry call; a failure is reported and the rest still runs,
// so one key that cannot be written does not hide the others.
class Writes {
 public:
  void Check(int rc, const char* what, const std::string& key) {
    if (rc == kRegOk) return;
    m_ok = false;
    std::fprintf(stderr, "Quarlo_Cmd: cannot write %s of %s (error %d)\n", what, key.c_str(), rc);
  }
  bool Ok() const { return m_ok; }
  void Fail() { m_ok = false; }

 private:
  bool m_ok = true;
};

}  // namespace

bool IsValidClassGuid(const std::string& guid) {
  static const char kShape[] = "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX";
  if (guid.size() != std::strlen(kShape)) return false;
  for (size_t i = 0; i < guid.size(); ++i) {
    if (kShape[i] == '-' ? guid[i] != '-' : !IsHex(guid[i])) return false;
  }
  return true;
}

bool ApplyGuidToKeyTemplates(const std::string& guid) {
  for (std::string& k : g_keys) k.clear();
  if (!IsValidClassGuid(guid)) return false;
  for (int i = 0; i < kNamespaceKeyCount; ++i) {
    std::string key = kNamespaceKeyTemplates[i].key;
    for (size_t at = key.find("<GUID>"); at != std::string::npos; at = key.find("<GUID>", at))
      key.replace(at, 6, guid), at += guid.size();
    g_keys[i] = key;
  }
  return true;
}

const std::string& NamespaceKey(int number) {
  static const std::string none;
  if (number < 1 || number > kNamespaceKeyCount) return none;
  return g_keys[number - 1];
}

bool RegisterComputerNamespaceIcon(const std::string& folder, const std::string& iconFile,
                                   int languageId) {
  if (NamespaceKey(1).empty()) {
    std::fprintf(stderr, "Quarlo_Cmd: the class GUID is not of the form %s\n",
                 "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX");
    return false;
  }
  if (folder.empty() || iconFile.empty()) {
    std::fprintf(stderr, "Quarlo_Cmd: the folder and the icon file must not be empty\n");
    return false;
  }
  const RegRoot cr = RegRoot::ClassesRoot;
  auto key = [](int n) -> const std::string& { return NamespaceKey(n); };

  // The folder of our earlier bookmark, so that a moved data folder replaces it.
  std::string previousFolder;
  if (Reg_GetString(cr, key(5), "Target", previousFolder) != kRegOk) previousFolder.clear();

  Writes w;
  for (int n : {1, 3, 2, 4, 5, 7, 6, 8}) w.Check(Reg_CreateKey(cr, key(n)), "the key", key(n));

  // The tool's first language follows the system alone (no per-user settings file is read or
  // restored); the command line then sets it.
  CLanguages::UseSystemLanguageOnly(true);
  ILanguages* lang = CLanguages::GetInstance();
  lang->SetLanguage(languageId);
  // Registry and bookmarks hold UTF-8 text, whatever the locale of this run.
  const std::string label = WideToUtf8(lang->GetText("UI", "DIRVER_NAME"));
  lang->Release();

  w.Check(Reg_SetString(cr, key(1), "", label), "the name", key(1));
  w.Check(Reg_SetString(cr, key(1), "InfoTip", label), "InfoTip", key(1));
  w.Check(Reg_SetString(cr, key(3), "", iconFile + ",0"), "the icon", key(3));
  w.Check(Reg_SetString(cr, key(2), "", "shdocvw.dll"), "the server", key(2));
  w.Check(Reg_SetString(cr, key(2), "ThreadingModel", "ApartMent"), "ThreadingModel", key(2));
  w.Check(Reg_SetDword(cr, key(8), "Attributes", kShellFolderAttributes), "Attributes", key(8));
  w.Check(Reg_SetString(cr, key(8), "WantsFORPARSING", ""), "WantsFORPARSING", key(8));
  w.Check(Reg_SetString(cr, key(8), "PinToNameSpaceTree", ""), "PinToNameSpaceTree", key(8));
  w.Check(Reg_SetString(cr, key(4), "CLSID", kFolderShortcutClsid), "CLSID", key(4));
  w.Check(Reg_SetString(cr, key(5), "Target", folder), "Target", key(5));
  w.Check(Reg_CreateKey(RegRoot::LocalMachine, key(9)), "the key", key(9));

  std::string error;
  if (Plat_SetFolderBookmark(folder, label, previousFolder, error) != 0) {
    std::fprintf(stderr, "Quarlo_Cmd: the bookmark was not written: %s\n", error.c_str());
    w.Fail();
  }
  return w.Ok();
}

int RunHelperCommand(int argc, char** argv) {
  int code = -1;
  // Linux arguments are bytes already: the folder is used exactly as given.
  if (argc >= 6 && std::strcmp(argv[2], kCommandAddIcon) == 0) {
    const std::string language = argv[3];
    const int languageId = language == "0"   ? kLangChineseSimplified
                           : language == "2" ? kLangChineseTraditional
                                             : kLangEnglish;
    if (RegisterComputerNamespaceIcon(argv[4], argv[5], languageId)) code = 1;
  } else if (argc >= 3) {
    std::fprintf(stderr, "Quarlo_Cmd: unknown command or missing arguments\n");
  }
  std::printf("Code:%d\n", code);
  std::fflush(stdout);
  return code;
}
