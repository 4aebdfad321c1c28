#include "tests/support/file_systems.h"

#include <sched.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>

#include "tests/support/service_process.h"

std::string MountPointOf(const std::string& path) {
  const ProgramResult r = RunProgram({"/usr/bin/stat", "--format=%m", path}, {}, std::chrono::seconds(20));
  if (r.exitCode != 0) return "";
  std::string out = r.output;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

bool EnterPrivateMounts(std::string& why) {
  if (unshare(CLONE_NEWNS) != 0) {
    why = "mount namespaces are not allowed here (unshare: " + std::string(strerror(errno)) + ")";
    return false;
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    why = "cannot make the mounts private (" + std::string(strerror(errno)) + ")";
    return false;
  }
  return true;
}

ScratchMount::~ScratchMount() {
  if (!m_dir.empty()) umount2(m_dir.c_str(), MNT_DETACH);  // the loop device clears itself
}

bool ScratchMount::MountExt2(const std::string& dir, std::string& why) {
  const std::string image = dir + ".img";
  const ProgramResult made = RunProgram({"/usr/sbin/mkfs.ext2", "-q", "-F", "-E", "root_owner", image, "16M"},
                                        {}, std::chrono::seconds(60));
  if (made.exitCode != 0) {
    why = "cannot make an ext2 image (mkfs.ext2: " + made.output + ")";
    return false;
  }
  const ProgramResult mounted = RunProgram({"/usr/bin/mount", "-o", "loop", image, dir}, {}, std::chrono::seconds(60));
  if (mounted.exitCode != 0) {
    why = "no second file system: a loop mount needs root and a loop device (" + mounted.output + ")";
    return false;
  }
  m_dir = dir;
  return true;
}

bool ScratchMount::MountTmpfs(const std::string& dir, std::string& why) {
  if (mount("quarlo-test", dir.c_str(), "tmpfs", 0, "size=64m,mode=0755") != 0) {
    why = "no second file system: mounting a tmpfs needs root (" + std::string(strerror(errno)) + ")";
    return false;
  }
  m_dir = dir;
  return true;
}
