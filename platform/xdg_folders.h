#pragma once
// The user's folders after the XDG rules: application data is $XDG_CONFIG_HOME (else
// ~/.config), the profile is $HOME (else the password entry), and the pictures, music, videos
// and documents folders come from user-dirs.dirs with the XDG defaults.
#include <string>

std::string Plat_ProfileDir();
std::string Plat_AppDataDir();
// kind: "PICTURES", "MUSIC", "VIDEOS", "DOCUMENTS", "DESKTOP", "DOWNLOAD"; "" for other kinds.
std::string Plat_UserDir(const std::string& kind);
