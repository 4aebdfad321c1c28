#pragma once
// Named (machine-wide) mutexes stand in as lock files taken with flock: the lock is released
// by the kernel when the holder dies. The files live in the named-object folder, which is
// $QUARLO_NAMESPACE when set (tests give each base folder its own), else $XDG_RUNTIME_DIR,
// else /tmp/quarlo-<uid>.
#include <string>

std::string Plat_NamedObjectDir();

// Creates or opens the named mutex and takes it. Returns a descriptor (>= 0) to keep open for
// the life of the owner, or -1 on failure. alreadyExists is set when another process holds it
// (Windows' ERROR_ALREADY_EXISTS): then nothing is held and -1 is returned.
int Plat_CreateNamedMutex(const std::string& name, bool& alreadyExists);
void Plat_CloseNamedMutex(int fd);

// The same lock taken on "<folder>/<name>.lock" (the folder is created when missing), for a
// lock that belongs to a place rather than to whoever's environment started the process.
int Plat_CreateNamedMutexIn(const std::string& folder, const std::string& name,
                            bool& alreadyExists);
