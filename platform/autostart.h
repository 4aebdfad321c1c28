#pragma once
// Programs started when the user logs in: XDG autostart entries,
// $XDG_CONFIG_HOME/autostart/<file> (else ~/.config/autostart), which every freedesktop session
// runs. The Run value of the registry and the AUTO_START services of the service manager are
// kept as such entries. An entry names its program in TryExec, so it does nothing once the
// program is gone.
#include <string>
#include <vector>

// Writes (replaces) the entry that runs argv, with icon (a theme name or a whole path) when it
// is not empty; false when it could not be written.
bool Plat_WriteAutostart(const std::string& file, const std::string& name,
                         const std::vector<std::string>& argv, const std::string& icon = "");
// The icon of the program at path: the scalable one of a hicolor tree beside it (icons/ in its
// folder, or <prefix>/share/icons for <prefix>/bin/program) when there is one, else the theme
// name.
std::string Plat_ProgramIcon(const std::string& programPath, const std::string& iconName);
void Plat_RemoveAutostart(const std::string& file);
std::string Plat_AutostartPath(const std::string& file);
