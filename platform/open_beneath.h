#pragma once
// Opening by descriptor instead of by name: a path is opened beneath a folder descriptor
// without following any link on the way (openat2 RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS; where
// the kernel lacks openat2, one openat with O_NOFOLLOW per component), and an open descriptor
// tells the path it really names through /proc/self/fd.
#include <sys/types.h>

#include <string>

// `rel` is relative to rootFd ("" or "." is the folder itself); ".." and absolute paths are
// refused (EXDEV), as is a link anywhere on the way, the last component included (ELOOP).
// O_CLOEXEC is always added. The descriptor, or -1 with errno.
int Plat_OpenBeneath(int rootFd, const std::string& rel, int flags, mode_t mode = 0);
// The same, only when every component is in the kernel's lookup cache (no O_CREAT): -1 with
// EAGAIN when the lookup would have to read the disk, or the kernel cannot tell.
int Plat_OpenBeneathCached(int rootFd, const std::string& rel, int flags);
// The same by one openat per component: the fallback for kernels without openat2.
int Plat_OpenBeneathByWalk(int rootFd, const std::string& rel, int flags, mode_t mode = 0);

// The path the descriptor names now ("" when unknown or the file was removed).
std::string Plat_FdPath(int fd);
