// Quarlo_Cmd <GUID> cmd_add_icon <language> <folder> <icon file>
#include <signal.h>

#include <clocale>
#include <cstdio>

#include "tools/cmd/cmd_tool.h"

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  std::setlocale(LC_ALL, "");
  if (argc < 4) {
    std::printf("Code:-1\n");
    return 1;
  }
  ApplyGuidToKeyTemplates(argv[1]);
  RunHelperCommand(argc, argv);
  return 0;
}
