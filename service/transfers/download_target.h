#pragma once
// The file a download names, from the phone's path to an open descriptor: opened once beneath
// its share with no link on the way, so what is checked is what is hashed and later sent,
// whatever a local program does to the names meanwhile.
#include <cstdint>
#include <string>

#include "service/core/request_args.h"

struct TransferEntry;

constexpr uint64_t kDownloadSizeLimit = 0xFFFFFFFFull;  // the u32 size field cannot say more

// Opens a resolved path beneath its share for reading, never blocking on a FIFO; -1 with errno
// set when it cannot. real: the path that was opened.
int OpenDownloadTarget(const std::string& path, std::string& real);
// Why a path that could not be opened (errno openError) is refused: the share check's code, or
// 0 when its folder is shared after all.
int DownloadShareRefusal(const std::string& path, int openError);

// What a download request needs from the disk, taken on the connection's loop when the kernel
// holds all of it in its caches.
struct CachedOpen {
  UniqueFd fd;
  std::string real;
  uint64_t size = 0;  // the size hashed
  unsigned char fingerprint[16];
};
// Opens and hashes a regular file of less than `below` bytes when every lookup and page it
// needs is cached; false for anything else, with nothing to keep.
bool OpenSmallCachedTarget(const std::string& path, uint64_t below, CachedOpen& out);

struct OpenedFile {
  UniqueFd fd;
  uint64_t size = 0;
};
// Takes the descriptor that passed the download request's check out of its entry: the file
// sent is the file that was checked. Only regular files below the u32 size limit.
bool TakeCheckedFile(TransferEntry& entry, OpenedFile& out);
