#include "common/share_table.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <utility>

#include "common/path_parts.h"

namespace {

// Starts above any snapshot's generation, so the first request reads the settings.
std::atomic<bool> g_rootsStale{false};

// Lock order: g_buildMutex before g_snapshotMutex. Both live as long as the process.
std::mutex g_buildMutex;     // one reader of the settings at a time
std::mutex g_snapshotMutex;  // guards g_snapshot only; held for a pointer copy
std::shared_ptr<const ShareSnapshot> g_snapshot;

bool IsBlank(const std::string& text) {
  return text.find_first_not_of(" \t") == std::string::npos;
}

// The folder opened through its stored name and checked against its realpath, so that the
// descriptor is the folder the canonical text names. fd stays -1 when either fails.
ShareRoot OpenRoot(const std::string& entry) {
  ShareRoot root;
  root.entry = entry;
  if (IsBlank(entry) || entry[0] != '/' || !SplitComponents(entry, root.entryParts)) return root;
  char real[PATH_MAX];
  if (!realpath(entry.c_str(), real)) return root;
  root.canonical = real;
  SplitComponents(root.canonical, root.canonicalParts);
  UniqueFd fd(::open(entry.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (fd.fd < 0) return root;
  struct stat byFd, byName;
  if (fstat(fd.fd, &byFd) != 0 || stat(root.canonical.c_str(), &byName) != 0 ||
      byFd.st_dev != byName.st_dev || byFd.st_ino != byName.st_ino) {
    return root;
  }
  root.fd = std::move(fd);
  root.dev = byFd.st_dev;
  root.ino = byFd.st_ino;
  return root;
}

std::shared_ptr<const ShareSnapshot> Published() {
  std::lock_guard<std::mutex> lock(g_snapshotMutex);
  return g_snapshot;
}

bool Fresh(const std::shared_ptr<const ShareSnapshot>& s, uint64_t generation) {
  return s && s->generation == generation && !g_rootsStale.load();
}

}  // namespace

std::shared_ptr<const ShareSnapshot> ShareTable_Current() {
  const uint64_t generation = Settings_SharesGeneration();
  std::shared_ptr<const ShareSnapshot> current = Published();
  if (Fresh(current, generation)) return current;

  std::lock_guard<std::mutex> build(g_buildMutex);
  current = Published();
  if (Fresh(current, generation)) return current;
  auto next = std::make_shared<ShareSnapshot>();
  // Cleared before the roots are opened: a folder that changes while they are opened marks
  // them stale again, for the next request.
  g_rootsStale.store(false);
  bool read = true;
  if (current && current->generation == generation) {
    next->shares = current->shares;
    next->defaults = current->defaults;
  } else {
    // The generation was read before the settings: a write after that read moves it again.
    read = ParseShareInfo(next->shares);
    read = ParseDefaultDir(next->defaults) && read;
  }
  // A table the database could not give is used for this request only, never kept.
  next->generation = read ? generation : 0;
  next->allowed = next->shares;
  for (const std::string* d : {&next->defaults.def, &next->defaults.pic, &next->defaults.music,
                               &next->defaults.video, &next->defaults.doc,
                               &next->defaults.instant}) {
    if (!IsBlank(*d)) next->allowed.push_back(*d);
  }
  for (const std::string& entry : next->allowed) next->roots.push_back(OpenRoot(entry));
  std::shared_ptr<const ShareSnapshot> out = std::move(next);
  {
    std::lock_guard<std::mutex> lock(g_snapshotMutex);
    g_snapshot = out;
  }
  return out;
}

void ShareTable_Changed() { Settings_SharesChanged(); }

void ShareTable_RootsStale() { g_rootsStale.store(true); }

uint64_t ShareTable_Generation() { return Settings_SharesGeneration(); }
