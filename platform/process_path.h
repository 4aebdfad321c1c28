#pragma once
// The program's own full path is read from /proc/self/exe (the installed program is a real
// file, so the base folder is found from it).
#include <string>

// 0 and the absolute path, or -1.
int Plat_ProgramPath(std::string& out);
