#include "central/site/site_publish.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <vector>

#include "common/md5.h"
#include "central/site/site_content.h"

extern char** environ;

namespace {

constexpr size_t kMaxSignatureBytes = 4096;  // what the programs take

// The package's Version field, from `dpkg-deb --field FILE Version`; "" on failure.
std::string PackageVersion(const std::string& deb) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return "";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<std::string> args{"dpkg-deb", "--field", deb, "Version"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, "dpkg-deb", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  std::string text;
  if (rc == 0) {
    char buf[256];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0 && text.size() < 4096)
      text.append(buf, static_cast<size_t>(n));
  }
  close(out[0]);
  int status = 0;
  if (rc != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return "";
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    text.pop_back();
  return text;
}

bool WriteAll(int fd, const char* data, size_t len) {
  while (len > 0) {
    const ssize_t n = write(fd, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// Reads the whole regular file path (at most maxBytes) into out.
bool ReadSmall(const std::string& path, size_t maxBytes, std::string& out) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 ||
      static_cast<uint64_t>(st.st_size) > maxBytes) {
    if (fd >= 0) close(fd);
    return false;
  }
  out.clear();
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0 && out.size() <= maxBytes)
    out.append(buf, static_cast<size_t>(n));
  close(fd);
  return n == 0 && !out.empty() && out.size() <= maxBytes;
}

// Writes through a temporary file beside the target and renames it into place.
bool ReplaceFile(const std::string& target, const std::function<bool(int fd)>& fill) {
  const std::string temp = target + ".tmp";
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return false;
  const bool ok = fill(fd) && fsync(fd) == 0;
  if (close(fd) != 0 || !ok || rename(temp.c_str(), target.c_str()) != 0) {
    unlink(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace

bool PublishUpdate(const std::string& siteFolder, const std::string& debPath,
                   const std::string& urlBase, std::string& summary, std::string& error) {
  const std::string name = debPath.substr(debPath.rfind('/') + 1);
  if (!IsServedFileName(name) || !IsServedFileName(name + ".sig")) {
    error = "the package's file name must be letters, digits and . _ + ~ - only: " + name;
    return false;
  }
  std::string base = urlBase;
  while (!base.empty() && base.back() == '/') base.pop_back();
  const std::string version = PackageVersion(debPath);
  if (version.empty()) {
    error = "dpkg-deb cannot read the version of " + debPath;
    return false;
  }
  if (!IsFourPartVersion(version)) {
    error = "the package's version " + version + " is not four numbers";
    return false;
  }
  // The operator's signature, made by `make package` beside the package: without it no
  // program installs the package, so publishing it would only announce an update nobody gets.
  const std::string sigName = name + ".sig";
  std::string signature;
  if (!ReadSmall(debPath + ".sig", kMaxSignatureBytes, signature)) {
    error = "no signature " + debPath + ".sig beside the package (`make package` signs it: "
            "openssl dgst -sha256 -sign KEY -out " + sigName + " " + name + ")";
    return false;
  }
  const int in = open(debPath.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (in < 0 || fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (in >= 0) close(in);
    error = "cannot read " + debPath;
    return false;
  }
  mkdir(siteFolder.c_str(), 0755);
  const std::string downloads = siteFolder + "/download";
  mkdir(downloads.c_str(), 0755);
  CMd5Hash md5;
  uint64_t size = 0;
  const bool copied = ReplaceFile(downloads + "/" + name, [&](int out) {
    char buf[65536];
    ssize_t n;
    while ((n = read(in, buf, sizeof buf)) > 0) {
      md5.Update(reinterpret_cast<const unsigned char*>(buf), static_cast<size_t>(n));
      size += static_cast<uint64_t>(n);
      if (!WriteAll(out, buf, static_cast<size_t>(n))) return false;
    }
    return n == 0;
  });
  close(in);
  if (!copied) {
    error = "cannot copy the package into " + downloads;
    return false;
  }
  if (!ReplaceFile(downloads + "/" + sigName,
                   [&](int out) { return WriteAll(out, signature.data(), signature.size()); })) {
    error = "cannot copy the signature into " + downloads;
    return false;
  }
  UpdateFileInfo info{version, base + "/quarlo/download/" + name, md5.HexDigest(),
                      std::to_string(size), base + "/quarlo/download/" + sigName};
  const std::string text = UpdateFileText(info);
  UpdateFileInfo check;
  std::string why;
  if (!ParseUpdateFile(text, check, why)) {
    error = "the update would not be valid: " + why;
    return false;
  }
  if (!ReplaceFile(siteFolder + "/update.ini",
                   [&](int out) { return WriteAll(out, text.data(), text.size()); })) {
    error = "cannot write " + siteFolder + "/update.ini";
    return false;
  }
  summary = "published " + name + " version " + version + " (" + info.size + " bytes, md5 " +
            info.md5 + ") at " + info.down + ", signed (" + info.sig + ")";
  return true;
}
