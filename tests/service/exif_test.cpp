// The EXIF reader against exiftool on files it wrote in both byte orders, and against
// malformed blocks built here byte by byte.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <sstream>

#include "service/pictures/exif.h"
#include "tests/support/pictures.h"
#include "tests/support/temp_base.h"

namespace {

using Bytes = std::vector<uint8_t>;

// exiftool -s -n values by tag name.
std::map<std::string, std::string> ExifTool(const std::string& path, const std::vector<std::string>& tags) {
  std::vector<std::string> argv = {"/usr/bin/exiftool", "-s", "-n"};
  for (const auto& t : tags) argv.push_back("-" + t);
  argv.push_back(path);
  std::map<std::string, std::string> out;
  std::istringstream lines(Tool(argv));
  std::string line;
  while (std::getline(lines, line)) {
    const size_t colon = line.find(" : ");
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    name.erase(name.find_last_not_of(' ') + 1);
    out[name] = line.substr(colon + 3);
  }
  return out;
}

TEST(ExifReader, AgreesWithExiftoolInBothByteOrders) {
  TempBase base;
  for (const char* order : {"MM", "II"}) {
    SCOPED_TRACE(order);
    const std::string path = base.Dir() + "/" + order + ".jpg";
    MakePicture({"-size", "64x48", "plasma:", path});
    Tool({"/usr/bin/exiftool", "-q", "-overwrite_original", std::string("-ExifByteOrder=") + order,
          "-Make=Canon", "-Model=EOS 5D", "-DateTimeOriginal=2013:05:04 10:11:12",
          "-Orientation#=6", "-XResolution=300", "-YResolution=72", "-ResolutionUnit#=3",
          "-ExposureTime=0.004", "-FNumber=2.8", "-ISO=200", "-ExifIFD:Flash#=1", "-FocalLength=35",
          "-ExifImageWidth=4000", "-ExifImageHeight=3000", "-FocalPlaneXResolution=5000",
          "-FocalPlaneYResolution=4000", "-FocalPlaneResolutionUnit#=2", "-UserComment=hello there",
          "-MeteringMode#=5", "-LightSource#=1", "-ExposureProgram#=2",
          "-ExposureCompensation=-0.5", "-SubjectDistance=3.5", "-BrightnessValue=5.25",
          "-CompressedBitsPerPixel=4", "-ExifVersion=0230", "-InteropIndex=R98", path});
    auto t = ExifTool(path, {"Make", "Model", "DateTimeOriginal", "Orientation", "XResolution",
                             "YResolution", "ExposureTime", "FNumber", "ISO", "FocalLength",
                             "FocalPlaneXResolution", "FocalPlaneYResolution", "UserComment",
                             "MeteringMode", "LightSource", "ExposureProgram",
                             "ExposureCompensation", "SubjectDistance", "BrightnessValue",
                             "CompressedBitsPerPixel", "ExifVersion", "ImageWidth", "ImageHeight",
                             "ExifByteOrder"});
    ASSERT_EQ(t["ExifByteOrder"], order);

    ExifRecord r;
    ASSERT_EQ(GetExifInfo(path, r), 0);
    EXPECT_TRUE(r.hasExif);
    EXPECT_EQ(std::string(r.cameraMake), t["Make"]);
    EXPECT_EQ(std::string(r.cameraModel), t["Model"]);
    EXPECT_EQ(std::string(r.dateTime), t["DateTimeOriginal"]);
    EXPECT_EQ(std::string(r.version), t["ExifVersion"]);
    EXPECT_EQ(std::string(r.comments), t["UserComment"]);
    EXPECT_EQ(r.orientation, std::stoi(t["Orientation"]));
    EXPECT_EQ(r.width, std::stoi(t["ImageWidth"]));
    EXPECT_EQ(r.height, std::stoi(t["ImageHeight"]));
    EXPECT_EQ(r.isColor, 1);
    EXPECT_EQ(r.process, 0xC0);
    EXPECT_EQ(r.flashUsed, 1);
    EXPECT_EQ(r.meteringMode, std::stoi(t["MeteringMode"]));
    EXPECT_EQ(r.whitebalance, std::stoi(t["LightSource"]));
    EXPECT_EQ(r.exposureProgram, std::stoi(t["ExposureProgram"]));
    EXPECT_EQ(r.isoEquivalent, std::stoi(t["ISO"]));
    const std::pair<float, const char*> numbers[] = {
        {r.xResolution, "XResolution"}, {r.yResolution, "YResolution"},
        {r.exposureTime, "ExposureTime"}, {r.apertureFNumber, "FNumber"},
        {r.focalLength, "FocalLength"}, {r.focalplaneXRes, "FocalPlaneXResolution"},
        {r.focalplaneYRes, "FocalPlaneYResolution"}, {r.exposureBias, "ExposureCompensation"},
        {r.distance, "SubjectDistance"}, {r.brightness, "BrightnessValue"},
    };
    for (const auto& n : numbers) EXPECT_NEAR(n.first, std::stod(t[n.second]), 1e-4) << n.second;
    EXPECT_EQ(r.compressionLevel, 4);
    EXPECT_NEAR(r.resolutionUnit, 1 / 2.54, 1e-6);  // centimetres
    EXPECT_FLOAT_EQ(r.focalplaneUnits, 1.0f);
    EXPECT_NEAR(r.ccdWidth, 4000 * 1.0 / 5000, 1e-6);
  }
}

TEST(ExifReader, EmbeddedThumbnailIsLocated) {
  TempBase base;
  const std::string thumb = base.Dir() + "/t.jpg", path = base.Dir() + "/p.jpg";
  MakePicture({"-size", "16x12", "xc:blue", thumb});
  MakePicture({"-size", "64x48", "plasma:", path});
  Tool({"/usr/bin/exiftool", "-q", "-overwrite_original", "-DateTimeOriginal=2020:01:02 03:04:05",
        "-ThumbnailImage<=" + thumb, path});
  auto t = ExifTool(path, {"ThumbnailLength"});
  ExifRecord r;
  ASSERT_EQ(GetExifInfo(path, r), 0);
  EXPECT_EQ(r.thumbnailSize, std::stoul(t["ThumbnailLength"]));
  // The offset counts from the TIFF header: the thumbnail is a JPEG there.
  const Bytes file = ReadBytes(path);
  const long app1 = FindMarker(file, 0xE1);
  ASSERT_GT(app1, 0);
  const size_t at = size_t(app1) + 4 + 6 + r.thumbnailOffset;
  ASSERT_LT(at + 1, file.size());
  EXPECT_EQ(file[at], 0xFF);
  EXPECT_EQ(file[at + 1], 0xD8);
}

// A TIFF block built by hand: IFD0 at offset 8 with the given entries; blobs after it.
struct Entry {
  uint16_t tag, format;
  uint32_t count, value;  // value, or the index+1 of a blob whose offset goes here
  Bytes blob = {};
};

class Tiff {
 public:
  explicit Tiff(bool motorola) : m_mm(motorola) {
    m_b = {uint8_t(m_mm ? 'M' : 'I'), uint8_t(m_mm ? 'M' : 'I'), 0, 0, 0, 0, 0, 0};
    P16(2, 42);
    P32(4, 8);
  }
  // Appends a directory at the end; returns its offset.
  uint32_t Dir(const std::vector<Entry>& entries, uint32_t next = 0) {
    const uint32_t at = uint32_t(m_b.size());
    m_b.resize(m_b.size() + 2 + 12 * entries.size() + 4);
    P16(at, uint16_t(entries.size()));
    for (size_t i = 0; i < entries.size(); ++i) {
      const Entry& e = entries[i];
      const uint32_t p = at + 2 + 12 * uint32_t(i);
      P16(p, e.tag);
      P16(p + 2, e.format);
      P32(p + 4, e.count);
      if (!e.blob.empty()) {
        P32(p + 8, uint32_t(m_b.size()));
        m_b.insert(m_b.end(), e.blob.begin(), e.blob.end());
      } else if (m_mm && e.format == 3 && e.count == 1) {
        P16(p + 8, uint16_t(e.value));  // a short sits in the first two bytes
      } else {
        P32(p + 8, e.value);
      }
    }
    P32(at + 2 + 12 * uint32_t(entries.size()), next);
    return at;
  }
  void P16(size_t at, uint16_t v) {
    if (m_mm) { m_b[at] = uint8_t(v >> 8); m_b[at + 1] = uint8_t(v); }
    else { m_b[at] = uint8_t(v); m_b[at + 1] = uint8_t(v >> 8); }
  }
  void P32(size_t at, uint32_t v) {
    if (m_mm) { P16(at, uint16_t(v >> 16)); P16(at + 2, uint16_t(v)); }
    else { P16(at, uint16_t(v)); P16(at + 2, uint16_t(v >> 16)); }
  }
  Bytes& bytes() { return m_b; }

 private:
  bool m_mm;
  Bytes m_b;
};

Bytes Text(const std::string& s) {
  Bytes b(s.begin(), s.end());
  b.push_back(0);
  return b;
}

Bytes Section(uint8_t marker, const Bytes& payload) {
  Bytes s = {0xFF, marker, uint8_t((payload.size() + 2) >> 8), uint8_t(payload.size() + 2)};
  s.insert(s.end(), payload.begin(), payload.end());
  return s;
}

Bytes Jpeg(const std::vector<Bytes>& sections) {
  Bytes j = {0xFF, 0xD8};
  for (const Bytes& s : sections) j.insert(j.end(), s.begin(), s.end());
  const Bytes sos = Section(0xDA, {1, 1, 0, 0, 63, 0});
  j.insert(j.end(), sos.begin(), sos.end());
  j.insert(j.end(), {0x00, 0xFF, 0xD9});
  return j;
}

Bytes App1(const Bytes& tiff) {
  Bytes p = {'E', 'x', 'i', 'f', 0, 0};
  p.insert(p.end(), tiff.begin(), tiff.end());
  return Section(0xE1, p);
}

const Bytes kSof = Section(0xC0, {8, 0, 48, 0, 64, 3, 1, 0x22, 0, 2, 0x11, 1, 3, 0x11, 1});
const Entry kDate = {36867, 2, 20, 0, Text("2013:05:04 10:11:12")};

struct Outcome {
  int rc;
  std::string date;
  std::string error;
};

Outcome Read(const TempBase& base, const Bytes& jpeg) {
  const std::string path = base.Dir() + "/x.jpg";
  WriteBytes(path, jpeg);
  ExifRecord r;
  Outcome o;
  o.rc = GetExifInfo(path, r);
  o.date = r.dateTime;
  FILE* f = std::fopen(path.c_str(), "rb");
  CExifReader reader;
  reader.ReadJpegSections(f);
  std::fclose(f);
  o.error = reader.Error();
  return o;
}

TEST(ExifReader, MalformedBlocksAreRefusedOrContained) {
  TempBase base;
  struct Case {
    const char* name;
    Bytes jpeg;
    int rc;
    const char* date;
    const char* error;
  };
  std::vector<Case> cases;

  for (bool mm : {true, false}) {
    Tiff t(mm);
    t.Dir({{271, 2, 6, 0, Text("Maker")}, kDate});
    cases.push_back({mm ? "valid MM" : "valid II", Jpeg({App1(t.bytes()), kSof}), 0,
                     "2013:05:04 10:11:12", ""});
  }
  {
    Tiff t(true);
    t.Dir({{271, 2, 6, 0, {}}, kDate});
    Bytes& b = t.bytes();
    t.P32(8 + 2 + 8, uint32_t(b.size() + 10));  // the make's text lies past the end
    cases.push_back({"pointer past the end", Jpeg({App1(b), kSof}), -1, "",
                     "Illegal pointer offset value in EXIF."});
  }
  {
    Tiff t(false);
    // 0x40000000 longs are 4 GiB: wraps to 0 in 32 bits, refused in 64.
    t.Dir({{271, 4, 0x40000000, 8, {}}, kDate});
    cases.push_back({"32-bit count overflow", Jpeg({App1(t.bytes()), kSof}), -1, "",
                     "Illegal pointer offset value in EXIF."});
  }
  {
    Tiff t(true);
    t.Dir({{34665, 4, 1, 8}, kDate}, 8);  // the EXIF link and the next link point at itself
    cases.push_back({"self-link", Jpeg({App1(t.bytes()), kSof}), 0, "2013:05:04 10:11:12",
                     "Subdirectory link loops"});
  }
  {
    Tiff t(true);
    t.Dir({{34665, 4, 1, 0x7FFFFFF0}, kDate});
    cases.push_back({"sub-directory outside", Jpeg({App1(t.bytes()), kSof}), 0,
                     "2013:05:04 10:11:12", "Illegal subdirectory link"});
  }
  {
    Tiff t(true);
    const uint32_t at = uint32_t(t.bytes().size()) + 2 + 12 * 2 + 4 + 20;
    t.Dir({{34665, 4, 1, at}, kDate});
    Bytes& b = t.bytes();
    b.insert(b.end(), {0x00, 0x30});  // 48 entries announced, none there
    cases.push_back({"sub-directory cut short", Jpeg({App1(b), kSof}), 0, "2013:05:04 10:11:12",
                     "Illegally sized directory"});
  }
  {
    Tiff t(false);
    t.P32(4, 20);
    t.Dir({kDate});
    cases.push_back({"first directory at 20", Jpeg({App1(t.bytes()), kSof}), -1, "",
                     "Suspicious offset of first IFD value"});
  }
  {
    Tiff t(true);
    t.Dir({{274, 3, 1, 9}, kDate});
    cases.push_back({"orientation 9", Jpeg({App1(t.bytes()), kSof}), 0, "2013:05:04 10:11:12",
                     "Undefined rotation value"});
  }
  {
    Tiff t(true);
    // A double far outside int's range where an int is kept: clamped, not undefined.
    Bytes huge = {0x9C, 0x75, 0x00, 0x88, 0x3C, 0xE4, 0x37, 0x7E};  // 1e300 as stored (host order)
    t.Dir({{274, 12, 1, 0, huge}, {34855, 12, 1, 0, huge}, kDate});
    cases.push_back({"huge double as orientation and ISO", Jpeg({App1(t.bytes()), kSof}), 0,
                     "2013:05:04 10:11:12", "Undefined rotation value"});
  }
  {
    Tiff t(true);
    t.Dir({{271, 13, 1, 0}, kDate});
    cases.push_back({"format 13", Jpeg({App1(t.bytes()), kSof}), -1, "",
                     "Illegal format code in EXIF dir"});
  }
  {
    Tiff t(true);
    t.Dir({kDate});
    Bytes app1 = App1(t.bytes());
    app1[2] = 0;
    app1[3] = 10;  // "Exif\0\0" and two bytes
    app1.resize(12);
    cases.push_back({"short APP1", Jpeg({app1, kSof}), -1, "", "Short Exif section"});
  }
  {
    Tiff t(true);
    t.Dir({kDate});
    cases.push_back({"short SOF", Jpeg({App1(t.bytes()), Section(0xC0, {8, 0, 48})}), -1, "",
                     "Short frame header"});
  }
  {
    Tiff t(true);
    t.Dir({kDate});
    std::vector<Bytes> many = {App1(t.bytes())};
    for (int i = 0; i < 20; ++i) many.push_back(Section(0xE2, {1, 2, 3}));
    cases.push_back({"21 sections", Jpeg(many), -1, "",
                     "Too many sections in jpg file"});
  }
  cases.push_back({"no EXIF", Jpeg({Section(0xE0, {'J', 'F', 'I', 'F', 0}), kSof}), -1, "", ""});
  cases.push_back({"not a JPEG", Bytes{'B', 'M', 1, 2, 3}, -1, "", "Not a JPEG file"});
  {
    Tiff t(true);
    t.Dir({kDate});
    Bytes j = Jpeg({App1(t.bytes()), kSof});
    j.resize(j.size() - 12);  // cut before the scan
    cases.push_back({"cut before the scan", j, -1, "", "Premature end of file?"});
  }

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome o = Read(base, c.jpeg);
    EXPECT_EQ(o.rc, c.rc);
    // A failed read leaves the record zero.
    EXPECT_EQ(o.date, c.rc == 0 ? std::string(c.date) : std::string());
    EXPECT_EQ(o.error, c.error);
  }
}

TEST(ExifReader, TextsStopAtTheirCountAndLimit) {
  TempBase base;
  Tiff t(true);
  Bytes longMake(60, 'M');  // no terminating zero, longer than the field
  t.Dir({{271, 2, 60, 0, longMake}, {36867, 2, 4, 0x32303133}, {37510, 7, 24, 0,
         Bytes{'A', 'S', 'C', 'I', 'I', 0, 0, 0, 'n', 'i', 'c', 'e', ' ', 's', 'h', 'o', 't', ' ', ' ', ' ', 0, 0, ' ', ' '}}});
  ExifRecord r;
  WriteBytes(base.Dir() + "/t.jpg", Jpeg({App1(t.bytes()), kSof}));
  ASSERT_EQ(GetExifInfo(base.Dir() + "/t.jpg", r), 0);
  EXPECT_EQ(std::string(r.cameraMake), std::string(31, 'M'));
  EXPECT_EQ(std::string(r.dateTime), "2013") << "four bytes held in the entry itself";
  EXPECT_EQ(std::string(r.comments), "nice shot");
}

TEST(ExifReader, OnlyRegularFiles) {
  TempBase base;
  ExifRecord r;
  EXPECT_EQ(GetExifInfo(base.Dir(), r), -1);
  EXPECT_EQ(GetExifInfo(base.Dir() + "/missing.jpg", r), -1);
}

}  // namespace
