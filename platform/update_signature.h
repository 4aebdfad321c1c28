#pragma once
// The proof of an update: a detached signature (the bytes `openssl dgst -sha256 -sign` makes
// with the operator's key, EC or RSA) over the whole package, checked with OpenSSL against
// the public key compiled into the programs (cmake/update_key.cmake). The page that names a
// package proves nothing; only this does.
#include <cstddef>
#include <string>

constexpr size_t kMaxUpdateSignatureBytes = 4096;  // an RSA-8192 signature is 1024

// The compiled-in public key (PEM).
const char* UpdatePublicKeyPem();

// True when signature holds over the whole content of fd (read with pread from offset 0)
// under publicKeyPem. why names the cause when false.
bool VerifyUpdateSignatureFd(int fd, const std::string& signature, std::string& why,
                             const char* publicKeyPem = UpdatePublicKeyPem());
// The same for a regular file by path (opened without following a last link).
bool VerifyUpdateSignatureFile(const std::string& path, const std::string& signature,
                               std::string& why, const char* publicKeyPem = UpdatePublicKeyPem());

// Reads a signature file: a regular file of 1 to kMaxUpdateSignatureBytes bytes.
bool ReadUpdateSignature(const std::string& path, std::string& signature, std::string& why);
