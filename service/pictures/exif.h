#pragma once
// The EXIF reader: walks the marker sections of a JPEG up to its scan and parses the EXIF
// block of its APP1 section into an ExifRecord. Every offset and count is checked in 64 bits
// against the block before use; directory links are followed to a bounded depth and never
// twice, so a looping file cannot recurse for ever. Problems leave their text in Error().
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

struct ExifRecord {  // zero-filled before use
  char version[5];
  char cameraMake[32];
  char cameraModel[40];
  char dateTime[20];  // "YYYY:MM:DD HH:MM:SS" as stored
  int height, width, orientation, isColor, process, flashUsed;
  float focalLength, exposureTime, apertureFNumber, distance, ccdWidth, exposureBias;
  int whitebalance, meteringMode, exposureProgram, isoEquivalent, compressionLevel;
  float focalplaneXRes, focalplaneYRes, focalplaneUnits, xResolution, yResolution,
      resolutionUnit, brightness;
  char comments[1000];
  // The embedded thumbnail as an offset into the EXIF block (from its TIFF header); the block
  // dies with the reader, so no pointer is kept.
  uint32_t thumbnailOffset;
  unsigned thumbnailSize;
  unsigned char hasExif;
};

constexpr int kExifMaxSections = 20;
constexpr int kExifMaxDepth = 4;  // IFD0 -> EXIF -> interoperability, plus IFD1

class CExifReader {
 public:
  explicit CExifReader(ExifRecord* record = nullptr);  // null: the reader owns one
  ~CExifReader();
  CExifReader(const CExifReader&) = delete;
  CExifReader& operator=(const CExifReader&) = delete;

  bool ReadJpegSections(FILE* file);  // true when the scan start was reached
  // data: the APP1 payload after its length bytes ("Exif\0\0" + TIFF block).
  bool ParseExifSegment(const uint8_t* data, size_t length);
  double ConvertValue(int format, const uint8_t* value) const;
  uint16_t Read16(const uint8_t* p) const;
  uint32_t Read32(const uint8_t* p) const;

  const ExifRecord& Record() const { return *m_record; }
  const std::string& Error() const { return m_error; }
  int SectionCount() const { return static_cast<int>(m_sections.size()); }

 private:
  struct Section {
    std::vector<uint8_t> data;  // with its two length bytes
    int marker;
  };
  bool ParseIfd(uint64_t dir, const uint8_t* base, uint64_t length, int depth);
  bool ParseSubIfd(uint32_t target, const uint8_t* base, uint64_t length, int depth);
  void StoreTag(uint16_t tag, int format, const uint8_t* value, uint64_t byteCount);
  void ParseComment(const uint8_t* data, size_t length);
  bool ParseFrameHeader(const uint8_t* data, size_t length, int marker);
  bool Fail(const char* text);

  ExifRecord* m_record;
  bool m_ownsRecord;
  std::string m_error;
  std::vector<Section> m_sections;
  bool m_motorola = false;
  int m_largestDimension = 0;
  uint64_t m_thumbOffset = 0, m_thumbLength = 0;
  bool m_seenThumbOffset = false, m_seenThumbLength = false;
  std::set<uint64_t> m_visited;  // directories already parsed in this block
};

// 0 when the file reads up to its scan data and carries EXIF data (record filled), else -1
// (record zero). Only regular files are read.
int GetExifInfo(const std::string& path, ExifRecord& record);
int GetExifInfoFd(int fd, ExifRecord& record);
