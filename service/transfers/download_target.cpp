#include "service/transfers/download_target.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "common/share_paths.h"
#include "service/transfers/transfer_sessions.h"

int OpenDownloadTarget(const std::string& path, std::string& real) {
  return OpenSharedPath(path, O_RDONLY | O_NONBLOCK, &real);
}

int DownloadShareRefusal(const std::string& path, int openError) {
  const std::string canonical = CanonicalPath(path);
  int shareCode = canonical.empty() ? kErrNotShared : CheckSharePath(ParentOf(canonical));
  if (shareCode == 0 && openError == EACCES) shareCode = kErrNotShared;
  return shareCode;
}

bool OpenSmallCachedTarget(const std::string& path, uint64_t below, CachedOpen& out) {
  out.fd.fd = OpenSharedPathCached(path, O_RDONLY | O_NONBLOCK, &out.real);
  struct stat st;
  if (out.fd.fd < 0 || fstat(out.fd.fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<uint64_t>(st.st_size) >= below) {
    return false;
  }
  out.size = static_cast<uint64_t>(st.st_size);
  return QuickFingerprintCached(out.fd.fd, out.size, out.fingerprint);
}

bool TakeCheckedFile(TransferEntry& entry, OpenedFile& out) {
  if (!entry.file) return false;
  out.fd.fd = fcntl(fileno(entry.file), F_DUPFD_CLOEXEC, 0);
  std::fclose(entry.file);
  entry.file = nullptr;
  if (out.fd.fd < 0) return false;
  struct stat st;
  if (fstat(out.fd.fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (static_cast<uint64_t>(st.st_size) > kDownloadSizeLimit) return false;
  out.size = static_cast<uint64_t>(st.st_size);
  return true;
}
