#include "service/pictures/exif.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <new>

namespace {

constexpr int kFormatSizes[13] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
constexpr size_t kTiffStart = 6;    // after "Exif\0\0"
constexpr size_t kMaxComment = 999;  // bytes of a COM section looked at

enum Tag : uint16_t {
  kTagMake = 271, kTagModel = 272, kTagOrientation = 274, kTagXRes = 282, kTagYRes = 283,
  kTagResUnit = 296, kTagThumbOffset = 513, kTagThumbLength = 514, kTagExposure = 33434,
  kTagFNumber = 33437, kTagExifIfd = 34665, kTagExposureProgram = 34850, kTagIso = 34855,
  kTagVersion = 0x9000, kTagDateOriginal = 36867, kTagCompression = 37122, kTagShutter = 37377,
  kTagAperture = 37378, kTagBrightness = 37379, kTagBias = 37380, kTagMaxAperture = 37381,
  kTagDistance = 37382, kTagMetering = 37383, kTagWhiteBalance = 37384, kTagFlash = 37385,
  kTagFocalLength = 37386, kTagUserComment = 37510, kTagWidth = 40962, kTagHeight = 40963,
  kTagInteropIfd = 40965, kTagFocalXRes = 41486, kTagFocalYRes = 41487, kTagFocalUnit = 41488,
};

// Copies at most `max` characters of a value of `count` bytes, stopping at a zero byte.
void CopyText(char* dst, size_t max, const uint8_t* src, uint64_t count) {
  const size_t n = count < max ? static_cast<size_t>(count) : max;
  size_t i = 0;
  for (; i < n && src[i] != 0; ++i) dst[i] = static_cast<char>(src[i]);
  dst[i] = '\0';
}

float UnitFactor(int unit) {
  switch (unit) {
    case 1: case 2: return 1.0f;
    case 3: return static_cast<float>(1 / 2.54);
    case 4: return static_cast<float>(1 / 25.4);
    case 5: return static_cast<float>(1 / 25400.0);
    default: return 0.0f;
  }
}

// Values of any format land in int and float fields; out-of-range and NaN values become the
// nearest representable value (or 0) instead of an undefined conversion.
int ToInt(double v) {
  if (!(v == v)) return 0;
  if (v >= 2147483647.0) return 2147483647;
  if (v <= -2147483648.0) return -2147483647 - 1;
  return static_cast<int>(v);
}

float ToFloat(double v) {
  if (!(v == v)) return 0.0f;
  constexpr double kMax = 3.4028234663852886e38;
  if (v > kMax) return static_cast<float>(kMax);
  if (v < -kMax) return static_cast<float>(-kMax);
  return static_cast<float>(v);
}

uint64_t ToOffset(double v) {
  if (!(v >= 0)) return 0;
  if (v >= 18446744073709551615.0) return UINT64_MAX;
  return static_cast<uint64_t>(v);
}

}  // namespace

CExifReader::CExifReader(ExifRecord* record)
    : m_record(record ? record : new ExifRecord()), m_ownsRecord(record == nullptr) {}

CExifReader::~CExifReader() {
  if (m_ownsRecord) delete m_record;
}

bool CExifReader::Fail(const char* text) {
  m_error = text;
  return false;
}

uint16_t CExifReader::Read16(const uint8_t* p) const {
  return m_motorola ? uint16_t((p[0] << 8) | p[1]) : uint16_t(p[0] | (p[1] << 8));
}

uint32_t CExifReader::Read32(const uint8_t* p) const {
  return m_motorola
             ? (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3]
             : uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) |
                   (uint32_t(p[3]) << 24);
}

double CExifReader::ConvertValue(int format, const uint8_t* v) const {
  switch (format) {
    case 1: return v[0];
    case 3: return Read16(v);
    case 4: return Read32(v);
    case 5: case 10: {
      const int32_t num = static_cast<int32_t>(Read32(v));
      const int32_t den = static_cast<int32_t>(Read32(v + 4));
      return den == 0 ? 0.0 : double(num) / double(den);
    }
    case 6: return static_cast<int8_t>(v[0]);
    case 8: return static_cast<int16_t>(Read16(v));
    case 9: return static_cast<int32_t>(Read32(v));
    case 11: {
      float f;
      std::memcpy(&f, v, sizeof f);
      return f;
    }
    case 12: {
      double d;
      std::memcpy(&d, v, sizeof d);
      return d;
    }
    default: return 0.0;
  }
}

bool CExifReader::ReadJpegSections(FILE* file) {
  if (!file) return false;
  if (std::fgetc(file) != 0xFF || std::fgetc(file) != 0xD8) return Fail("Not a JPEG file");
  while (m_sections.size() < kExifMaxSections) {
    int marker = 0;
    for (int a = 0;; ++a) {
      marker = std::fgetc(file);
      if (marker == EOF) return Fail("Premature end of file?");
      if (marker != 0xFF) break;
      if (a >= 6) return Fail("too many padding unsigned chars");
    }
    const int lh = std::fgetc(file), ll = std::fgetc(file);
    if (lh == EOF || ll == EOF) return Fail("Premature end of file?");
    const size_t itemLen = (size_t(lh) << 8) | size_t(ll);
    if (itemLen < 2) return Fail("invalid marker");
    Section s;
    s.marker = marker;
    try {
      s.data.resize(itemLen);
    } catch (const std::bad_alloc&) {
      return Fail("Could not allocate memory");
    }
    s.data[0] = uint8_t(lh);
    s.data[1] = uint8_t(ll);
    if (std::fread(s.data.data() + 2, 1, itemLen - 2, file) != itemLen - 2)
      return Fail("Premature end of file?");

    const uint8_t* payload = s.data.data() + 2;
    const size_t payloadLen = itemLen - 2;
    switch (marker) {
      case 0xC0: case 0xC1: case 0xC2: case 0xC3: case 0xC5: case 0xC6: case 0xC7:
      case 0xC9: case 0xCA: case 0xCB: case 0xCD: case 0xCE: case 0xCF:
        if (!ParseFrameHeader(s.data.data(), itemLen, marker)) return false;
        m_sections.push_back(std::move(s));
        break;
      case 0xD9:
        return Fail("No image in jpeg!");
      case 0xDA:
        return true;
      case 0xE0:
        break;
      case 0xE1:
        if (payloadLen >= 4 && std::memcmp(payload, "Exif", 4) == 0) {
          m_sections.push_back(std::move(s));
          const Section& held = m_sections.back();
          m_record->hasExif = ParseExifSegment(held.data.data() + 2, held.data.size() - 2) ? 1 : 0;
        }
        break;
      case 0xFE: {
        bool first = true;
        for (const Section& h : m_sections) first = first && h.marker != 0xFE;
        if (first) {
          ParseComment(payload, payloadLen);
          m_sections.push_back(std::move(s));
        }
        break;
      }
      default:
        m_sections.push_back(std::move(s));
    }
  }
  return Fail("Too many sections in jpg file");
}

// Height at bytes 3-4, width at 5-6, components at 7, counting from the length bytes; a
// section too short to hold them is refused rather than read past.
bool CExifReader::ParseFrameHeader(const uint8_t* data, size_t length, int marker) {
  if (length < 8) return Fail("Short frame header");
  m_record->height = (data[3] << 8) | data[4];
  m_record->width = (data[5] << 8) | data[6];
  m_record->isColor = data[7] == 3 ? 1 : 0;
  m_record->process = marker;
  return true;
}

void CExifReader::ParseComment(const uint8_t* data, size_t length) {
  // The section counts its two length bytes; at most byte 999 of it is looked at.
  size_t n = length;
  if (n > kMaxComment - 2) n = kMaxComment - 2;
  char* out = m_record->comments;
  size_t o = 0;
  for (size_t i = 0; i < n && o < sizeof m_record->comments - 1; ++i) {
    const uint8_t c = data[i];
    if (c == '\r' && i + 1 < n && data[i + 1] == '\n') continue;
    if (c == '\t' || c == '\n' || c >= 0x20) {
      out[o++] = static_cast<char>(c);
    } else {
      out[o++] = '?';
    }
  }
  out[o] = '\0';
}

bool CExifReader::ParseExifSegment(const uint8_t* data, size_t length) {
  m_record->flashUsed = 0;
  m_record->comments[0] = '\0';
  m_largestDimension = 0;
  m_visited.clear();
  m_seenThumbOffset = m_seenThumbLength = false;

  if (!data || length < 6 || std::memcmp(data, "Exif\0\0", 6) != 0)
    return Fail("Incorrect Exif header");
  if (length < kTiffStart + 8) return Fail("Short Exif section");
  if (data[6] == 'I' && data[7] == 'I') {
    m_motorola = false;
  } else if (data[6] == 'M' && data[7] == 'M') {
    m_motorola = true;
  } else {
    return Fail("Invalid Exif alignment marker.");
  }
  if (Read16(data + 8) != 42) return Fail("Invalid Exif start (1)");
  const uint32_t first = Read32(data + 10);
  if (first < 8 || first > 16) return Fail("Suspicious offset of first IFD value");

  const uint8_t* base = data + kTiffStart;
  const uint64_t blockLen = length - kTiffStart;
  // The directory lies where the header says, not at a fixed place.
  if (!ParseIfd(first, base, blockLen, 0)) return false;

  if (m_record->focalplaneXRes != 0) {
    m_record->ccdWidth = ToFloat(double(m_largestDimension) * m_record->focalplaneUnits /
                                 m_record->focalplaneXRes);
  }
  return true;
}

bool CExifReader::ParseSubIfd(uint32_t target, const uint8_t* base, uint64_t length, int depth) {
  if (target >= length) return Fail("Illegal subdirectory link");
  if (depth >= kExifMaxDepth) return Fail("Subdirectories nested too deep");
  if (m_visited.count(target)) return Fail("Subdirectory link loops");
  return ParseIfd(target, base, length, depth + 1);
}

bool CExifReader::ParseIfd(uint64_t dir, const uint8_t* base, uint64_t length, int depth) {
  m_visited.insert(dir);
  if (dir > length || 2 > length - dir) return Fail("Illegally sized directory");
  const uint64_t n = Read16(base + dir);
  if (2 + 12 * n > length - dir) return Fail("Illegally sized directory");

  for (uint64_t e = 0; e < n; ++e) {
    const uint8_t* entry = base + dir + 2 + 12 * e;
    const uint16_t tag = Read16(entry);
    const int format = Read16(entry + 2);
    const uint64_t count = Read32(entry + 4);
    if (format > 12) return Fail("Illegal format code in EXIF dir");
    const uint64_t byteCount = count * uint64_t(kFormatSizes[format]);
    const uint8_t* value = entry + 8;
    if (byteCount > 4) {
      const uint64_t off = Read32(entry + 8);
      if (off > length || byteCount > length - off) return Fail("Illegal pointer offset value in EXIF.");
      value = base + off;
    }

    if (tag == kTagExifIfd || tag == kTagInteropIfd) {
      // A problem inside a sub-directory does not stop this one.
      // Four readable bytes: either the entry's own value field or a checked run of more.
      ParseSubIfd(Read32(value), base, length, depth);
      continue;
    }
    StoreTag(tag, format, value, byteCount);
  }

  // The link to the next directory is 32 bits; it may be left out at the very end.
  const uint64_t linkAt = dir + 2 + 12 * n;
  if (linkAt <= length && 4 <= length - linkAt) {
    const uint32_t next = Read32(base + linkAt);
    if (next != 0) ParseSubIfd(next, base, length, depth);
  }

  if (m_seenThumbOffset && m_seenThumbLength && m_thumbOffset <= length &&
      m_thumbLength <= length - m_thumbOffset) {
    m_record->thumbnailOffset = static_cast<uint32_t>(m_thumbOffset);
    m_record->thumbnailSize = static_cast<unsigned>(m_thumbLength);
  }
  return true;
}

void CExifReader::StoreTag(uint16_t tag, int format, const uint8_t* value, uint64_t byteCount) {
  ExifRecord& r = *m_record;
  // A numeric value needs a whole value of its format; a shorter one reads as 0.
  const bool whole = format > 0 && byteCount >= uint64_t(kFormatSizes[format]);
  const double v = whole ? ConvertValue(format, value) : 0.0;
  switch (tag) {
    case kTagVersion: CopyText(r.version, 4, value, byteCount); break;
    case kTagMake: CopyText(r.cameraMake, 31, value, byteCount); break;
    case kTagModel: CopyText(r.cameraModel, 39, value, byteCount); break;
    case kTagDateOriginal: CopyText(r.dateTime, 19, value, byteCount); break;
    case kTagOrientation:
      r.orientation = ToInt(v);
      if (r.orientation < 1 || r.orientation > 8) {
        m_error = "Undefined rotation value";
        r.orientation = 0;
      }
      break;
    case kTagXRes: r.xResolution = ToFloat(v); break;
    case kTagYRes: r.yResolution = ToFloat(v); break;
    case kTagResUnit: r.resolutionUnit = UnitFactor(ToInt(v)); break;
    case kTagThumbOffset: m_thumbOffset = ToOffset(v); m_seenThumbOffset = true; break;
    case kTagThumbLength: m_thumbLength = ToOffset(v); m_seenThumbLength = true; break;
    case kTagExposure: r.exposureTime = ToFloat(v); break;
    case kTagFNumber: r.apertureFNumber = ToFloat(v); break;
    case kTagExposureProgram: r.exposureProgram = ToInt(v); break;
    case kTagIso:
      r.isoEquivalent = ToInt(v);
      if (r.isoEquivalent < 50) r.isoEquivalent = ToInt(double(r.isoEquivalent) * 200);
      break;
    case kTagCompression: r.compressionLevel = ToInt(v); break;
    case kTagShutter:
      if (r.exposureTime == 0) r.exposureTime = ToFloat(1 / std::exp(v * std::log(2.0)));
      break;
    case kTagAperture: case kTagMaxAperture:
      if (r.apertureFNumber == 0) r.apertureFNumber = ToFloat(std::exp(v * std::log(2.0) * 0.5));
      break;
    case kTagBrightness: r.brightness = ToFloat(v); break;
    case kTagBias: r.exposureBias = ToFloat(v); break;
    case kTagDistance: r.distance = ToFloat(v); break;
    case kTagMetering: r.meteringMode = ToInt(v); break;
    case kTagWhiteBalance: r.whitebalance = ToInt(v); break;
    case kTagFlash: r.flashUsed = (ToInt(v) & 7) ? 1 : 0; break;
    case kTagFocalLength: r.focalLength = ToFloat(v); break;
    case kTagUserComment: {
      uint64_t end = byteCount;
      while (end > 0 && (value[end - 1] == ' ' || value[end - 1] == '\0')) --end;
      uint64_t start = 0;
      if (end >= 5 && std::memcmp(value, "ASCII", 5) == 0) {
        start = 5;
        for (uint64_t a = 5; a < 10 && a < end; ++a) {
          if (value[a] != '\0' && value[a] != ' ') {
            start = a;
            break;
          }
          start = a + 1;
        }
      }
      CopyText(r.comments, 199, value + start, end - start);
      break;
    }
    case kTagWidth: case kTagHeight:
      if (ToInt(v) > m_largestDimension) m_largestDimension = ToInt(v);
      break;
    case kTagFocalXRes: r.focalplaneXRes = ToFloat(v); break;
    case kTagFocalYRes: r.focalplaneYRes = ToFloat(v); break;
    case kTagFocalUnit: r.focalplaneUnits = UnitFactor(ToInt(v)); break;
    default: break;
  }
}

int GetExifInfoFd(int fd, ExifRecord& record) {
  record = ExifRecord();
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  const int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (own < 0) return -1;
  FILE* f = fdopen(own, "rb");
  if (!f) {
    ::close(own);
    return -1;
  }
  std::fseek(f, 0, SEEK_SET);
  ExifRecord parsed = ExifRecord();
  bool ok = false;
  {
    CExifReader reader(&parsed);
    ok = reader.ReadJpegSections(f) && parsed.hasExif;
  }
  std::fclose(f);
  if (!ok) return -1;
  record = parsed;
  return 0;
}

int GetExifInfo(const std::string& path, ExifRecord& record) {
  record = ExifRecord();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) return -1;
  const int rc = GetExifInfoFd(fd, record);
  ::close(fd);
  return rc;
}
