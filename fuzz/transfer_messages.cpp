// Transfer messages as either end reads them: a phone's requests (path, upload announcement,
// start offset) and the PC's answers a phone stand-in decodes (share list, listing packages
// and their lines, download info, packages, refusals, end and upload allowance).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/proto_transfer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FilePathRequest path;
  DecodeFilePathRequest(data, size, path);
  UploadRequest upload;
  DecodeUploadRequest(data, size, upload);
  uint32_t offset = 0;
  DecodeStartOffset(data, size, offset);

  std::vector<std::string> folders;
  DecodeShareList(data, size, folders);
  FileListPackage package;
  if (DecodeFileListPackage(data, size, package)) {
    std::vector<FileListEntry> entries;
    ParseFileListLines(package.lines, entries);
  }
  DownloadInfo info;
  DecodeDownloadInfo(data, size, info);
  Package p;
  if (DecodePackage(data, size, p) && p.data.size() > kPackageData) __builtin_trap();
  TransError error;
  DecodeTransError(data, size, error);
  DownloadEnd end;
  DecodeDownloadEnd(data, size, end);
  uint32_t param = 0, allowed = 0;
  DecodeUploadAllow(data, size, param, allowed);
  return 0;
}
