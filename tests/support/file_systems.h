#pragma once
// File systems for tests that need a path on a second one (disk reports, moves across file
// systems). The temporary folder may itself be a mount of its own (a tmpfs /tmp), so tests ask
// the system where a path lies instead of assuming "/", and make the second file system.
#include <string>

// The mount point of the file system that holds path, as stat(1) reports it ("" on failure).
std::string MountPointOf(const std::string& path);

// Gives the calling thread (and what it starts afterwards) a mount namespace of its own whose
// mounts do not propagate to the host. False (and why) when not permitted; callers skip.
bool EnterPrivateMounts(std::string& why);

// A small file system of the test's own mounted on an existing folder, unmounted on
// destruction. Both need CAP_SYS_ADMIN: false (and why) when refused; callers skip.
class ScratchMount {
 public:
  ScratchMount() = default;
  ~ScratchMount();
  ScratchMount(const ScratchMount&) = delete;
  ScratchMount& operator=(const ScratchMount&) = delete;

  bool MountTmpfs(const std::string& dir, std::string& why);
  // An ext2 image "<dir>.img" on a loop device: a file system as a user's disk is (the desktop's
  // file library keeps no trash on tmpfs, which it counts as the system's own).
  bool MountExt2(const std::string& dir, std::string& why);
  const std::string& Dir() const { return m_dir; }

 private:
  std::string m_dir;
};
