#include "tools/centralserver/password.h"

#include <crypt.h>

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
