#pragma once
// File helpers. Linux has no hidden attribute: a name is hidden when it starts with "." or
// ends with one of the upload side-file suffixes, and "desktop.ini" is hidden; setting the
// attribute is a no-op. Moves never overwrite (renameat2 with RENAME_NOREPLACE).
#include <cstddef>
#include <cstdint>
#include <string>

bool Plat_IsHiddenName(const std::string& name);  // the name without its folder
int Plat_SetHidden(const std::string& path, bool hidden);  // no-op, 0

// 0 on success; -1 with errno (EEXIST when the target exists).
int Plat_RenameNoReplace(const std::string& from, const std::string& to);
// The same between folder descriptors (AT_FDCWD for the working folder); names are taken as
// they stand in their folders, a link among them moved as a link.
int Plat_RenameAtNoReplace(int fromDir, const std::string& from, int toDir, const std::string& to);

// Writes all size bytes to fd (a file or a pipe), again after a signal; false on an error.
bool Plat_WriteAll(int fd, const void* data, size_t size);

// Writes content to a temporary file beside path and renames it over path, so readers see
// the old file or the new one, never a part. False (and no temporary left) on failure.
bool Plat_WriteFileAtomically(const std::string& path, const std::string& content);

bool Plat_IsDirectory(const std::string& path);     // stat, follows links
bool Plat_IsRegularFile(const std::string& path);   // stat, follows links
bool Plat_PathExists(const std::string& path);      // lstat: a dangling link exists too
// 0 and the size of the file, or -1.
int Plat_FileSize(const std::string& path, uint64_t& size);
// 0 and the modification time, or -1.
int Plat_FileMTime(const std::string& path, int64_t& mtime);
