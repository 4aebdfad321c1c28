#pragma once
// The names of an upload's files: the target as the phone named it, the hidden temporary file
// the data goes to, the side file that proves a resume, and the free ".(n)" name a finished
// upload is published under. Every file is looked at beside the descriptor of its folder
// (`dirFd`), by its last component only, never through a link.
#include <sys/types.h>

#include <cstdint>
#include <set>
#include <string>

#include "common/share_paths.h"

// The last component of a path; a path in a folder.
std::string NameOf(const std::string& path);
std::string InFolder(const std::string& folder, const std::string& name);

// The target with its folder in canonical form; the name itself is kept as given so that a
// link of that name is never written through. "" when it cannot name a file.
std::string ResolveTarget(const std::string& path);
// The temporary file and the side file of a target, beside it.
inline std::string TemporaryPathOf(const std::string& target) { return target + kRenameSuffix; }
inline std::string SidePathOf(const std::string& target) { return target + kRenameTmpSuffix; }
// A temporary name of our own beside the target that no file and no open upload (`held`)
// has: the plain one, else a ".(n)" one with the suffix kept at the end, so such a file is
// hidden and cleaned like any other.
std::string UniqueTemporaryName(int dirFd, const std::string& target,
                                const std::set<std::string>& held);

// Beside the folder's descriptor: whether the name is taken (a dangling link too), removing
// it, the size of a regular file (0, or -1 for anything else), and opening it with
// O_NOFOLLOW | O_CLOEXEC added.
bool ExistsAt(int dirFd, const std::string& path);
void RemoveAt(int dirFd, const std::string& path);
int FileSizeAt(int dirFd, const std::string& path, uint64_t& size);
int OpenAt(int dirFd, const std::string& path, int flags, mode_t mode = 0);

// Publishes the temporary file `tmpName` of the folder as `name` there, or under the first
// free ".(n)" name, never replacing a file; the name published, or "" with errno.
std::string RenameUploadFileAt(int dirFd, const std::string& tmpName, const std::string& name);
// The same for two paths in one folder (EXDEV for any others); the path published.
std::string RenameUploadFile(const std::string& tmpPath, const std::string& target);
