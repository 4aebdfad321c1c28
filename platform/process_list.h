#pragma once
// The processes of this user (and of this desktop session) by program name, from /proc. A
// process belongs to the session when its XDG_SESSION_ID (else its DISPLAY) equals the
// caller's; when the caller has neither, the user alone decides.
#include <string>
#include <vector>

// Pids whose program file name (or, when that cannot be read, its command name) equals name
// without case; a trailing ".exe" of name is ignored. The calling process is never listed.
std::vector<int> Plat_FindSessionProcesses(const std::string& name);
// True when the process exists and belongs to the calling user.
bool Plat_ProcessOfThisUser(int pid);
