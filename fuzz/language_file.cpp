// Language files are read from the program folder; a damaged or hostile one must load without
// a crash, a hang or unbounded memory.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "desktop/foundation/languages.h"
#include "desktop/foundation/sys_utils.h"

namespace {
std::string folder;
void RemoveFolder() {
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ILanguages* service = nullptr;
  if (!service) {
    char tmpl[] = "/tmp/quarlo_fuzz_lang_XXXXXX";
    folder = mkdtemp(tmpl);
    std::atexit(RemoveFolder);
    SetModuleDirOverride(folder);
    CLanguages::UseSystemLanguageOnly(true);
    service = CLanguages::GetInstance();
  }
  {
    std::ofstream out(folder + "/English.qvl", std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  service->SetLanguage(kLangEnglish);
  service->GetText("UI", "DIALOG_TITLE");
  service->GetTextA("MESSAGEBOX", "MSGBOX_UAC");
  if (const FontInfo* f = service->GetFont("FONT_MESSAGEBOX_BUTTON")) {
    (void)f->name.size();
  }
  service->HasTexts();
  return 0;
}
