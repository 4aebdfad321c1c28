#pragma once
// Signed update packages for the tests, made as `make package` makes them: a detached
// signature <package>.sig by `openssl dgst -sha256 -sign` with the build's signing key (the
// one whose public half the programs carry), or with another key for the refused cases.
#include <string>

// The build's signing key (QUARLO_UPDATE_SIGNING_KEY, else the development key).
std::string UpdateSigningKey();
// Writes <package>.sig signed with key; true on success.
bool SignPackage(const std::string& package, const std::string& key = UpdateSigningKey());
// Makes a fresh EC P-256 private key at path (a key the programs do not trust).
bool MakeOtherSigningKey(const std::string& path);
