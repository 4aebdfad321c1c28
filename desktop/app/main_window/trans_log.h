#pragma once
// The transfer-log page's rows: what phones uploaded to and downloaded from the PC, newest
// first (each record arrives oldest first and is put on top).
#include <cstdint>
#include <optional>
#include <string>

namespace desktop {

// "1KB" below 1024 bytes (negative sizes too), then "%.2fKB" of the whole kilobytes,
// "%.2fMB", "%.2fGB": 1536 -> "1.00KB", 1572864 -> "1.50MB", 2^30 -> "1.00GB".
std::string FormatFileSize(int64_t size);

constexpr int kUploadImage = 1;    // bitmap 296
constexpr int kDownloadImage = 0;  // bitmap 297
// The transfer-log list's image list: index 0 bitmap 297, index 1 bitmap 296.
constexpr int kTransLogImages[2] = {297, 296};

struct TransLogRow {
  std::string name;  // the file's whole name, without its folder
  std::string size;
  int image;
  std::string time;
};

// The row of one record (type 0 upload, any other download); none for an empty path.
std::optional<TransLogRow> MakeTransLogRow(const std::string& path, const std::string& sizeText,
                                           int type, const std::string& time);

}  // namespace desktop
