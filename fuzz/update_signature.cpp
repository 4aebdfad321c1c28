// The signature of an update package, as the site serves it (any bytes): the first input byte
// is the signature's length, then the signature, then the package. Whatever arrives, the check
// ends, and no signature but the operator's holds under the program's key.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/files.h"
#include "platform/update_signature.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t sigLen = data[0] < size - 1 ? data[0] : size - 1;
  const std::string signature(reinterpret_cast<const char*>(data + 1), sigLen);
  const int fd = memfd_create("package", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (Plat_WriteAll(fd, data + 1 + sigLen, size - 1 - sigLen)) {
    std::string why;
    if (VerifyUpdateSignatureFd(fd, signature, why)) __builtin_trap();
    if (why.empty()) __builtin_trap();
  }
  close(fd);
  return 0;
}
