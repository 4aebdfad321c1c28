#include "platform/update_signature.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "platform/unique_fd.h"
#include "update_public_key.h"

namespace {

struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};

}  // namespace

const char* UpdatePublicKeyPem() { return kUpdatePublicKeyPem; }

bool VerifyUpdateSignatureFd(int fd, const std::string& signature, std::string& why,
                             const char* publicKeyPem) {
  if (signature.empty() || signature.size() > kMaxUpdateSignatureBytes) {
    why = "no signature, or one of an impossible size";
    return false;
  }
  std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(publicKeyPem, -1));
  std::unique_ptr<EVP_PKEY, PkeyFree> key(
      bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!key) {
    why = "the program's public key does not load";
    return false;
  }
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1) {
    why = "the program's public key cannot check SHA-256 signatures";
    return false;
  }
  char buf[65536];
  off_t offset = 0;
  for (;;) {
    const ssize_t n = pread(fd, buf, sizeof buf, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      why = "the package cannot be read";
      return false;
    }
    if (n == 0) break;
    if (EVP_DigestVerifyUpdate(ctx.get(), buf, static_cast<size_t>(n)) != 1) {
      why = "the package cannot be digested";
      return false;
    }
    offset += n;
  }
  if (EVP_DigestVerifyFinal(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                            signature.size()) != 1) {
    why = "the signature does not hold under the program's key";
    return false;
  }
  return true;
}

bool VerifyUpdateSignatureFile(const std::string& path, const std::string& signature,
                               std::string& why, const char* publicKeyPem) {
  UniqueFd f;
  f.fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat st {};
  if (f.fd < 0 || fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    why = "the package is not a readable regular file";
    return false;
  }
  return VerifyUpdateSignatureFd(f.fd, signature, why, publicKeyPem);
}

bool ReadUpdateSignature(const std::string& path, std::string& signature, std::string& why) {
  signature.clear();
  UniqueFd f;
  f.fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat st {};
  if (f.fd < 0 || fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    why = "no signature file";
    return false;
  }
  if (st.st_size <= 0 || static_cast<size_t>(st.st_size) > kMaxUpdateSignatureBytes) {
    why = "the signature file has an impossible size";
    return false;
  }
  char buf[kMaxUpdateSignatureBytes + 1];
  size_t got = 0;
  for (;;) {
    const ssize_t n = read(f.fd, buf + got, sizeof buf - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      why = "the signature file cannot be read";
      return false;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
    if (got > kMaxUpdateSignatureBytes) {
      why = "the signature file has an impossible size";
      return false;
    }
  }
  if (got == 0) {
    why = "the signature file is empty";
    return false;
  }
  signature.assign(buf, got);
  return true;
}
