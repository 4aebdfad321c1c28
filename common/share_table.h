#pragma once
// The shared and default folders kept in memory, so a peer's request costs no database read:
// read once per change of the stored settings (one generation counter, bumped by the writers),
// with each folder held open as a descriptor that peer paths are opened beneath. A folder
// renamed, replaced or made after the table was read is noticed by the request that meets it.
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/settings.h"
#include "platform/unique_fd.h"

// One allowed folder, as stored and as it really lies, open (O_PATH | O_DIRECTORY; -1 when it
// could not be opened when the table was read).
struct ShareRoot {
  std::string entry;                    // the text stored
  std::string canonical;                // its realpath
  std::vector<std::string> entryParts;  // the stored text by components ("" and "." dropped)
  std::vector<std::string> canonicalParts;
  UniqueFd fd;
  dev_t dev = 0;
  ino_t ino = 0;
};

struct ShareSnapshot {
  uint64_t generation = 0;
  std::vector<std::string> shares;   // as ParseShareInfo gives them
  DefaultDirSet defaults;
  std::vector<std::string> allowed;  // shares, then the non-blank default folders
  std::vector<ShareRoot> roots;      // one per allowed entry, same order
  ShareSnapshot() = default;
  ShareSnapshot(const ShareSnapshot&) = delete;
  ShareSnapshot& operator=(const ShareSnapshot&) = delete;
};

// The table as of the last change; read afresh when the generation moved. Never null.
std::shared_ptr<const ShareSnapshot> ShareTable_Current();
// The stored folders changed (or the database was opened or swapped): the next request reads
// them again. Any thread.
void ShareTable_Changed();
// A folder on disk no longer is what the table holds open: the next request opens the roots
// again from the same entries (no database read).
void ShareTable_RootsStale();
uint64_t ShareTable_Generation();
