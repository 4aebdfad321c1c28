#include "desktop/app/main_window/trans_log.h"

#include <cstdio>
#include <filesystem>

namespace desktop {

std::string FormatFileSize(int64_t size) {
  char text[64];
  if (size < 1024) return "1KB";
  const int64_t k = size / 1024;
  if (k < 1024) {
    std::snprintf(text, sizeof text, "%.2fKB", static_cast<double>(k));
    return text;
  }
  const double m = static_cast<double>(k) / 1024.0;
  if (m < 1024) std::snprintf(text, sizeof text, "%.2fMB", m);
  else std::snprintf(text, sizeof text, "%.2fGB", m / 1024);
  return text;
}

std::optional<TransLogRow> MakeTransLogRow(const std::string& path, const std::string& sizeText,
                                           int type, const std::string& time) {
  if (path.empty()) return std::nullopt;
  // Phones may name a file with either separator.
  std::string p = path;
  for (char& c : p)
    if (c == '\\') c = '/';
  // The whole name: "big.bin" and "big.txt" are two files.
  const std::string name = std::filesystem::path(p).filename().string();
  return TransLogRow{name, sizeText, type == 0 ? kUploadImage : kDownloadImage, time};
}

}  // namespace desktop
