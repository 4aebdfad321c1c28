// Quarlo_Cmd <GUID> cmd_add_icon <language> <folder> <icon file>
#include <signal.h>

#include <clocale>
#include <cstdio>
#include <cstring>

#include "tools/cmd/cmd_tool.h"

namespace {

const char kUsage[] =
    "usage: Quarlo_Cmd GUID cmd_add_icon LANGUAGE FOLDER ICONFILE\n"
    "  shows FOLDER in the file manager: a folder-shortcut class under GUID\n"
    "  (XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX) in the registry store and a bookmark named in\n"
    "  LANGUAGE (0 simplified Chinese, 2 traditional Chinese, else English).\n"
    "  Prints one line, \"Code:\" and 1 when all of it was written, else -1 (exit status 1).\n";

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  std::setlocale(LC_ALL, "");
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  // Callers read the Code line on standard output; the usage goes to standard error.
  const bool understood = argc >= 6 && std::strcmp(argv[2], "cmd_add_icon") == 0;
  if (argc < 4) {
    std::printf("Code:-1\n");
    std::fflush(stdout);
    std::fputs(kUsage, stderr);
    return 1;
  }
  ApplyGuidToKeyTemplates(argv[1]);
  const int code = RunHelperCommand(argc, argv);
  if (!understood) std::fputs(kUsage, stderr);
  return code == 1 ? 0 : 1;
}
