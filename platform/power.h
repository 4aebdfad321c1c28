#pragma once
// Power-off of the machine. Linux has no shutdown privilege to enable: the request goes to
// systemd ("systemctl poweroff", by argv); QUARLO_POWEROFF_CMD replaces that command (words
// split at blanks), so tests never power anything off.
#include <string>
#include <vector>

// 0 when the command ran and exited with status 0; -1 otherwise. Waits at most 60 seconds.
int Plat_PowerOff();
// The argv that Plat_PowerOff runs.
std::vector<std::string> Plat_PowerOffCommand();
