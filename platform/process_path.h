#pragma once
// The program's own full path is read from /proc/self/exe (the installed program is a real
// file, so the base folder is found from it).
//
// The base folder (settings database, log, service manager state) is the parent of the
// programs' folder, except for programs installed once for every user (a package under
// /usr/lib/quarlo): a file "per-user-base" in that parent says so, and each user's base is
// then ${XDG_DATA_HOME:-~/.local/share}/quarlo, with the programs themselves left where the
// package put them.
#include <string>

// 0 and the absolute path, or -1.
int Plat_ProgramPath(std::string& out);

constexpr char kPerUserBaseMark[] = "per-user-base";

// True when the programs under installRoot (the parent of their bin/ and system/ folders)
// keep a base folder per user.
bool Plat_IsPerUserInstall(const std::string& installRoot);
// ${XDG_DATA_HOME:-~/.local/share}/quarlo of the calling user.
std::string Plat_UserBaseFolder();
// The base folder of the programs in programDir: its parent, or the user's own base folder
// when that parent is a per-user installation. Empty for "/" and for a relative folder.
std::string Plat_BaseFolderOf(const std::string& programDir);
