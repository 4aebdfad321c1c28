#include "central/password.h"

#include <crypt.h>
#include <openssl/hmac.h>
#include <sys/random.h>

#include <cstring>
#include <memory>

namespace {

constexpr const char* kPcSetting = "$1$bramle$";
constexpr size_t kPcSettingLen = 10;
constexpr const char* kHashPrefix = "$y$";

// crypt_r's working area is large (about 32 KiB): keep it off the stack.
std::string CryptR(const std::string& phrase, const std::string& setting) {
  auto data = std::make_unique<crypt_data>();
  std::memset(data.get(), 0, sizeof(crypt_data));
  const char* out = crypt_r(phrase.c_str(), setting.c_str(), data.get());
  if (!out || out[0] == '*') return "";
  return out;
}

bool ConstantTimeEqual(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

}  // namespace

std::string PcPasswordText(const std::string& password) {
  const std::string full = CryptR(password, kPcSetting);
  if (full.size() <= kPcSettingLen) return "";
  return full.substr(kPcSettingLen);
}

std::string HashSecret(const std::string& pcText) {
  char setting[CRYPT_GENSALT_OUTPUT_SIZE];
  if (!crypt_gensalt_rn(kHashPrefix, 0, nullptr, 0, setting, sizeof setting)) return "";
  return CryptR(pcText, setting);
}

bool VerifySecret(const std::string& pcText, const std::string& storedHash) {
  if (storedHash.empty() || pcText.empty()) return false;
  const std::string computed = CryptR(pcText, storedHash);
  return !computed.empty() && ConstantTimeEqual(computed, storedHash);
}

void VerifyAgainstDummy(const std::string& pcText) {
  static const std::string dummy = HashSecret("no such account");
  VerifySecret(pcText, dummy);
}

std::string QuickDigest(const std::string& pcText) {
  static const std::string key = [] {
    std::string k(32, '\0');
    size_t got = 0;
    while (got < k.size()) {
      const ssize_t n = getrandom(&k[got], k.size() - got, 0);
      if (n > 0) got += static_cast<size_t>(n);
    }
    return k;
  }();
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
            reinterpret_cast<const unsigned char*>(pcText.data()), pcText.size(), out, &len))
    return "";
  return std::string(reinterpret_cast<const char*>(out), len);
}
