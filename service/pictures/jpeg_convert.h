#pragma once
// Converts BMP and PBM/PGM/PPM pictures to JPEG (quality 75) so the thumbnail scaler can read
// them. The readers are our own and bounded: the format comes from the magic bytes, every size
// is checked in 64 bits against the file's length and a pixel budget before anything is
// allocated, and rows are read one at a time (no whole-picture buffer). libjpeg errors come
// back as a failed conversion.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr uint64_t kConvertMaxPixels = 1ull << 26;  // 67 megapixels

enum class PictureFormat { kEmpty, kUnknown, kJpeg, kBmp, kPnm, kGif };

// The format of a file from its first bytes.
PictureFormat SelectInputFormat(const uint8_t* head, size_t len);
PictureFormat SelectInputFormatFd(int fd);

// 1 when the JPEG file was written without warnings, else 0 (nothing is left at outPath).
// Only regular files are read.
int ConvertToJpeg(const std::string& inPath, const std::string& outPath);
// The same from an open descriptor or from memory into a buffer; false on any failure or
// warning, with the reason in *why when given.
bool ConvertFdToJpeg(int fd, std::vector<uint8_t>& out, std::string* why = nullptr);
bool ConvertMemoryToJpeg(const uint8_t* data, size_t len, std::vector<uint8_t>& out,
                         std::string* why = nullptr);

// Switch matching of the converter's argument list: case-insensitive, text may abbreviate the
// keyword down to minChars characters.
bool MatchSwitch(const char* text, const char* keyword, int minChars);
// Runs over {"cjpeg", "-outfile", out, in}-style lists: the output path of -outfile and the
// index of the first non-switch argument; -1 for an unknown switch or a missing value.
int ParseConvertSwitches(const std::vector<std::string>& argv, std::string& outFile);
