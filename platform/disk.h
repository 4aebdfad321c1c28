#pragma once
// Drives are mount points on Linux: the "drive" of a path is the mount point that holds it
// (longest match in /proc/self/mountinfo of the nearest existing ancestor); free space comes
// from statvfs in 64 bits.
#include <cstdint>
#include <istream>
#include <string>
#include <vector>

// 0 and the bytes available to unprivileged users, or -1.
int Plat_DiskFreeBytes(const std::string& path, uint64_t& freeBytes);

// Mount point of the path ("/" when nothing better is known); "" for an empty path.
std::string Plat_MountPointOf(const std::string& path);

// Pure form: the longest mount point of a mountinfo listing that holds the canonical path
// (octal escapes such as \040 decoded); "/" when none does.
std::string Plat_MountPointIn(const std::string& realPath, std::istream& mountinfo);

// The "drive roots" a user browses: "/" first, then mount points under /media, /mnt and
// /run/media, each with a trailing "/".
std::vector<std::string> Plat_DriveRoots();
std::vector<std::string> Plat_DriveRootsIn(std::istream& mountinfo);  // pure form
