#include "desktop/app/update/update_info.h"

#include <json/json.h>

#include <cstdlib>
#include <fstream>
#include <memory>

#include "common/md5.h"
#include "desktop/app/site/site_http.h"

namespace {

bool AllDigits(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

std::string LowerHex(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// The value after the first "key" of the reply: the quoted key directly followed by ":\"",
// then the text up to the next double quote. A value farther away (a blank after the colon)
// is not taken, so one key's value never comes from the next key.
std::string ValueOf(const std::string& reply, const std::string& key) {
  const size_t k = reply.find("\"" + key + "\"");
  if (k == std::string::npos) return std::string();
  const size_t colon = k + key.size() + 2;
  if (reply.compare(colon, 2, ":\"") != 0) return std::string();
  const size_t start = colon + 2;
  const size_t end = reply.find('"', start);
  if (end == std::string::npos) return std::string();
  return reply.substr(start, end - start);
}

}  // namespace

void UpdateInfo::ParseReply(const std::string& reply) {
  version = ValueOf(reply, "version");
  down = ValueOf(reply, "down");
  md5 = ValueOf(reply, "md5");
  size = ValueOf(reply, "size");
  sig = ValueOf(reply, "sig");
  ReplaceAll(down, "\\/", "/");
  ReplaceAll(sig, "\\/", "/");
}

bool UpdateInfo::Valid() const {
  if (!IsVersionText(version)) return false;
  if (md5.size() != 32) return false;
  for (char c : md5)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  if (!AllDigits(size) || size.size() > 10 || std::strtoull(size.c_str(), nullptr, 10) == 0)
    return false;
  if (!sig.empty() && !IsAllowedSiteUrl(sig)) return false;
  return IsAllowedSiteUrl(down);
}

unsigned long long UpdateInfo::SizeBytes() const {
  return Valid() ? std::strtoull(size.c_str(), nullptr, 10) : 0;
}

void ReplaceAll(std::string& text, const std::string& pattern, const std::string& replacement) {
  if (pattern.empty()) return;
  size_t pos = 0;
  while ((pos = text.find(pattern, pos)) != std::string::npos) {
    text.replace(pos, pattern.size(), replacement);
    pos += replacement.size();
  }
}

bool IsVersionText(const std::string& text) {
  int parts = 0;
  size_t start = 0;
  for (;;) {
    const size_t dot = text.find('.', start);
    const std::string part = text.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
    if (!AllDigits(part) || part.size() > 5) return false;
    ++parts;
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  return parts == 4;
}

bool IsNewerVersion(const std::string& own, const std::string& remote) {
  if (own.empty() || remote.empty() || own.size() > 29 || remote.size() > 29) return false;
  auto parts = [](const std::string& v, long out[4]) {
    size_t start = 0;
    for (int i = 0; i < 4; ++i) {
      out[i] = 0;
      if (start > v.size()) continue;
      const size_t dot = v.find('.', start);
      const std::string part = v.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
      out[i] = std::atol(part.c_str());
      start = dot == std::string::npos ? v.size() + 1 : dot + 1;
    }
  };
  long a[4], b[4];
  parts(own, a);
  parts(remote, b);
  for (int i = 0; i < 4; ++i) {
    if (b[i] > a[i]) return true;
    if (b[i] < a[i]) return false;
  }
  return false;
}

std::string OwnVersion() {
  return std::to_string(QUARLO_VERSION_MAJOR) + "." + std::to_string(QUARLO_VERSION_MINOR) + "." +
         std::to_string(QUARLO_VERSION_PATCH) + "." + std::to_string(QUARLO_VERSION_TWEAK);
}

bool VerifyFileMd5(const std::string& expectedMd5, const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  CMd5Hash hash;
  hash.UpdateFromStream(in);
  if (in.bad()) return false;
  return hash.HexDigest() == LowerHex(expectedMd5);
}

std::string ReleaseNotesQuery(int systemLangId, int uiLanguage) {
  // Chinese (primary language 4) of Taiwan (ids 1024..2047): only English stays English.
  if ((systemLangId & 0x3FF) == 4 && systemLangId >= 1024 && systemLangId <= 2047)
    return uiLanguage == 1 ? "?L=en" : "?L=tw";
  return LanguageQuery(uiLanguage);
}

std::string LanguageQuery(int uiLanguage) {
  switch (uiLanguage) {
    case 0: return "?L=cn";
    case 1: return "?L=en";
    case 2: return "?L=tw";
    default: return "";
  }
}

bool ParseReleaseNotes(const std::string& reply, std::string& utf8Text) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  std::string errors;
  if (!reader->parse(reply.data(), reply.data() + reply.size(), &root, &errors)) return false;
  if (!root.isObject()) return false;
  const Json::Value& data = root["data"];
  if (!data.isObject()) return false;
  const Json::Value& text = data["text"];
  if (!text.isString()) return false;
  utf8Text = text.asString();
  return true;
}
