// The thumbnail scaler and the BMP/PNM converter against real pictures made by ImageMagick,
// checked with identify and by PSNR against libjpeg-turbo's own djpeg -scale.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "service/pictures/jpeg_convert.h"
#include "service/pictures/thumb_scaler.h"
#include "tests/support/pictures.h"
#include "tests/support/temp_base.h"

namespace {

class ThumbTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return m_base.Dir() + "/" + name; }

  // Scales `src` to w x h with the info markers on; the thumbnail lands in `out`.
  int Scale(const std::string& src, int w, int h, const std::string& out, int quality = 75) {
    ThumbImage* img = ThumbOpenFile(src);
    if (!img) return -1;
    ThumbSetDecodeSize(img, w, h);
    ThumbSetQuality(img, quality);
    ThumbEnableInfo(img, true);
    const int rc = ThumbGenerate(img);
    if (rc == kThumbOk) WriteBytes(out, ThumbTakeOutput(img));
    ThumbClose(img);
    return rc;
  }

  TempBase m_base;
};

TEST(ThumbScale, DenominatorIsTheSmallerRatioClampedToEight) {
  struct Case { int sw, sh, tw, th, s; };
  const Case cases[] = {
      {4000, 3000, 160, 120, 8}, {640, 480, 600, 100, 1}, {640, 480, 160, 240, 2},
      {640, 480, 200, 150, 3},   {640, 480, 800, 800, 1}, {100, 100, 0, 0, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ThumbScaleDenominator(c.sw, c.sh, c.tw, c.th), c.s) << c.sw << "x" << c.sh;
  }
}

TEST_F(ThumbTest, SizesAndContentMatchDjpegScaledAndSampled) {
  struct Case {
    const char* name;
    int sw, sh, tw, th;   // source and request
    int ow, oh;           // expected output
    const char* djpegScale;
  };
  const Case cases[] = {
      {"big", 4000, 3000, 160, 120, 160, 120, "1/8"},
      {"stretch", 640, 480, 600, 100, 600, 100, "1/1"},
      {"larger", 640, 480, 800, 800, 640, 480, "1/1"},
      {"zero", 64, 48, 0, 0, 1, 1, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string src = Path(std::string(c.name) + ".jpg");
    // A small plasma blown up: photo-like detail without the cost of a 12-megapixel plasma.
    MakePicture({"-seed", "7", "-size", "160x120", "plasma:fractal", "-resize",
                 std::to_string(c.sw) + "x" + std::to_string(c.sh) + "!", "-quality", "92", src});
    const std::string out = Path(std::string(c.name) + "_t.jpg");
    ASSERT_EQ(Scale(src, c.tw, c.th, out), kThumbOk);
    EXPECT_EQ(Identify(out, "%w %h %[colorspace]"),
              std::to_string(c.ow) + " " + std::to_string(c.oh) + " sRGB");

    if (!c.djpegScale) continue;  // one pixel: which one is sampled is a convention
    // libjpeg-turbo scales in M/8 steps, so compare by PSNR, not bytes.
    const std::string ref = Path(std::string(c.name) + "_ref.ppm");
    Tool({"/bin/sh", "-c", "djpeg -scale " + std::string(c.djpegScale) + " -dct fast -nosmooth '" +
                               src + "' | /usr/bin/convert - -sample " + std::to_string(c.ow) +
                               "x" + std::to_string(c.oh) + "! '" + ref + "'"});
    EXPECT_GT(Psnr(ref, out), 26.0);
  }
}

TEST_F(ThumbTest, InfoMarkersDescribeTheSourceInOrder) {
  const std::string src = Path("m.jpg");
  MakePicture({"-size", "320x200", "gradient:red-blue", src});
  // A marker of the source is not carried over.
  Tool({"/usr/bin/exiftool", "-q", "-overwrite_original", "-Comment=source comment", src});
  ASSERT_EQ(Scale(src, 32, 20, Path("m_t.jpg")), kThumbOk);
  const std::vector<uint8_t> out = ReadBytes(Path("m_t.jpg"));
  struct stat st;
  ASSERT_EQ(stat(src.c_str(), &st), 0);
  const std::vector<std::string> expected = {
      "Thumb::URI\nfile://" + src, "Thumb::MTime\n" + std::to_string(st.st_mtime),
      "Thumb::Image::Width\n320", "Thumb::Image::Height\n200", "Thumb::Mimetype\nimage/jpeg"};
  EXPECT_EQ(JpegMarkers(out, 0xE7), expected);
  EXPECT_TRUE(JpegMarkers(out, 0xFE).empty());
  EXPECT_LT(FindMarker(out, 0xE7), FindMarker(out, 0xDA));
}

TEST_F(ThumbTest, ColourSpacesProgressiveAndQualityAreKept) {
  struct Case {
    const char* name;
    std::vector<std::string> make;  // convert options before the output
    int quality;
    const char* colourspace;
    const char* sampling;  // identify's jpeg:sampling-factor of the thumbnail
  };
  const Case cases[] = {
      {"grey", {"-colorspace", "Gray"}, 75, "Gray", "1x1"},
      {"cmyk", {"-colorspace", "CMYK"}, 75, "CMYK", "1x1,1x1,1x1,1x1"},
      {"progressive", {"-interlace", "JPEG"}, 75, "sRGB", "2x2,1x1,1x1"},
      {"q90", {}, 90, "sRGB", "1x1,1x1,1x1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string src = Path(std::string(c.name) + ".jpg");
    std::vector<std::string> args = {"-size", "400x300", "plasma:", "-seed", "3"};
    args.insert(args.end(), c.make.begin(), c.make.end());
    args.push_back(src);
    MakePicture(args);
    const std::string out = Path(std::string(c.name) + "_t.jpg");
    ASSERT_EQ(Scale(src, 100, 75, out, c.quality), kThumbOk);
    EXPECT_EQ(Identify(out, "%w %h %[colorspace] %[jpeg:sampling-factor]"),
              std::string("100 75 ") + c.colourspace + " " + c.sampling);
    // Same picture, same colours: both sides in sRGB against ImageMagick's own sampling.
    const std::string ref = Path(std::string(c.name) + "_ref.png"), ours = Path(std::string(c.name) + "_ours.png");
    MakePicture({src, "-sample", "100x75!", "-colorspace", "sRGB", ref});
    MakePicture({out, "-colorspace", "sRGB", ours});
    EXPECT_GT(Psnr(ref, ours), 25.0);
  }
}

TEST_F(ThumbTest, HostileHeadersFailCleanly) {
  const std::string src = Path("s.jpg");
  MakePicture({"-size", "64x48", "gradient:", src});
  const std::vector<uint8_t> good = ReadBytes(src);
  const long sof = FindMarker(good, 0xC0);
  ASSERT_GT(sof, 0);

  // 65500 x 65500 must be refused at the header, before any pixel memory.
  std::vector<uint8_t> huge = good;
  huge[size_t(sof) + 5] = 0xFF; huge[size_t(sof) + 6] = 0xDC;
  huge[size_t(sof) + 7] = 0xFF; huge[size_t(sof) + 8] = 0xDC;
  EXPECT_EQ(ThumbOpenMemory(huge.data(), huge.size(), "huge"), nullptr);

  std::vector<uint8_t> zero = good;
  zero[size_t(sof) + 5] = 0; zero[size_t(sof) + 6] = 0;
  EXPECT_EQ(ThumbOpenMemory(zero.data(), zero.size(), "zero"), nullptr);

  const std::vector<uint8_t> notJpeg = {'B', 'M', 0, 0, 0};
  EXPECT_EQ(ThumbOpenMemory(notJpeg.data(), notJpeg.size(), "bmp"), nullptr);
  EXPECT_EQ(ThumbOpenFile(Path("missing.jpg")), nullptr);
  EXPECT_EQ(ThumbOpenFile(m_base.Dir()), nullptr) << "a folder is not a picture";

  // Cut inside the header tables, or with the scan data cut off: no crash either way, and a
  // result is either a whole JPEG or a failure code.
  for (size_t cut : {size_t(sof) + 4, good.size() / 2, good.size() - 2}) {
    ThumbImage* img = ThumbOpenMemory(good.data(), cut, "cut");
    if (!img) continue;
    ThumbSetDecodeSize(img, 16, 12);
    const int rc = ThumbGenerate(img);
    if (rc == kThumbOk) {
      const std::vector<uint8_t> out = ThumbTakeOutput(img);
      ASSERT_GE(out.size(), 4u);
      EXPECT_EQ(out[out.size() - 2], 0xFF);
      EXPECT_EQ(out[out.size() - 1], 0xD9);
    }
    ThumbClose(img);
  }
}

// The source written with a new size in its frame header.
std::vector<uint8_t> WithDeclaredSize(std::vector<uint8_t> jpeg, uint16_t w, uint16_t h) {
  long sof = FindMarker(jpeg, 0xC0);
  if (sof < 0) sof = FindMarker(jpeg, 0xC2);
  if (sof < 0) return {};
  jpeg[size_t(sof) + 5] = uint8_t(h >> 8); jpeg[size_t(sof) + 6] = uint8_t(h);
  jpeg[size_t(sof) + 7] = uint8_t(w >> 8); jpeg[size_t(sof) + 8] = uint8_t(w);
  return jpeg;
}

TEST_F(ThumbTest, ASizeTheFileCannotHoldIsRefusedAtTheHeader) {
  const std::string src = Path("s.jpg");
  MakePicture({"-size", "64x48", "gradient:", "-colorspace", "Gray", src});
  const std::vector<uint8_t> good = ReadBytes(src);
  ASSERT_LT(good.size(), 1000u) << "a few hundred bytes";
  for (const bool progressive : {false, true}) {
    SCOPED_TRACE(progressive ? "progressive" : "baseline");
    std::vector<uint8_t> bytes = good;
    if (progressive) {
      Tool({"/bin/sh", "-c", "jpegtran -progressive '" + src + "' > '" + Path("p.jpg") + "'"});
      bytes = ReadBytes(Path("p.jpg"));
    }
    // 11000 x 11000 over a few hundred bytes: libjpeg would pad the missing data and decode it.
    const std::vector<uint8_t> crafted = WithDeclaredSize(bytes, 11000, 11000);
    ASSERT_FALSE(crafted.empty());
    EXPECT_EQ(ThumbOpenMemory(crafted.data(), crafted.size(), "crafted"), nullptr);
    WriteBytes(Path("crafted.jpg"), crafted);
    EXPECT_EQ(ThumbOpenFile(Path("crafted.jpg")), nullptr);
    EXPECT_EQ(ThumbBudget_InUse(), 0u);
  }
  // The same picture at its own size opens and scales.
  EXPECT_EQ(Scale(src, 16, 12, Path("s_t.jpg")), kThumbOk);
}

TEST_F(ThumbTest, JobsInFlightShareOneBudget) {
  const std::string src = Path("p.jpg");
  MakePicture({"-seed", "5", "-size", "100x100", "plasma:", "-resize", "1500x1500!",
               "-interlace", "JPEG", src});
  struct RestoreBudget {
    ~RestoreBudget() { ThumbBudget_SetTotal(kThumbMemoryBudget); }
  } restore;
  ThumbBudget_SetTotal(24ull << 20);

  // Another job holds most of the budget: this one does not fit, waits, and is refused.
  ASSERT_TRUE(ThumbBudget_Reserve(20ull << 20, 0, {}));
  EXPECT_EQ(Scale(src, 160, 160, Path("a.jpg")), kThumbRefused);
  EXPECT_EQ(ThumbBudget_InUse(), 20ull << 20) << "a refused job holds nothing";

  // Room made while it waits lets it go on.
  int rc = -1;
  std::thread job([&] { rc = Scale(src, 160, 160, Path("b.jpg")); });
  ThumbBudget_Release(20ull << 20);
  job.join();
  EXPECT_EQ(rc, kThumbOk);
  EXPECT_EQ(ThumbBudget_InUse(), 0u) << "what a job held is given back at its close";

  // More than the whole budget never fits, with no wait.
  ThumbBudget_SetTotal(4ull << 20);
  EXPECT_EQ(Scale(src, 160, 160, Path("c.jpg")), kThumbRefused);
  EXPECT_FALSE(ThumbBudget_Reserve(5ull << 20, kThumbBudgetWaitMs, {}));
}

TEST_F(ThumbTest, DecodesEndPastTheScanLimitOrWhenNobodyWaits) {
  const std::string src = Path("g.jpg");
  MakePicture({"-seed", "6", "-size", "320x240", "plasma:", "-colorspace", "Gray", Path("g.pgm")});
  // One scan per coefficient band, and the last one repeated: far more scans than any camera
  // writes (cjpeg itself stops at 100). Every FF DA in a file is a scan start, since the
  // coded data stuffs its FF bytes.
  std::string script = "0: 0 0 0 0;\n";
  for (int k = 1; k < 64; ++k) script += "0: " + std::to_string(k) + " " + std::to_string(k) + " 0 0;\n";
  WriteBytes(Path("scans.txt"), std::vector<uint8_t>(script.begin(), script.end()));
  Tool({"/usr/bin/cjpeg", "-grayscale", "-scans", Path("scans.txt"), "-outfile", Path("s64.jpg"), Path("g.pgm")});
  std::vector<uint8_t> many = ReadBytes(Path("s64.jpg"));
  size_t lastScan = 0;
  for (size_t i = 0; i + 1 < many.size(); ++i) {
    if (many[i] == 0xFF && many[i + 1] == 0xDA) lastScan = i;
  }
  ASSERT_GT(lastScan, 0u);
  const std::vector<uint8_t> scan(many.begin() + long(lastScan), many.end() - 2);  // up to EOI
  for (int i = 0; i < 300; ++i) many.insert(many.end() - 2, scan.begin(), scan.end());
  WriteBytes(src, many);
  EXPECT_EQ(Scale(src, 80, 60, Path("g_t.jpg")), kThumbRefused);

  // A picture of a normal progression is scaled, unless its asker has gone.
  const std::string plain = Path("plain.jpg");
  MakePicture({Path("g.pgm"), "-interlace", "JPEG", plain});
  EXPECT_EQ(Scale(plain, 80, 60, Path("plain_t.jpg")), kThumbOk);
  ThumbImage* img = ThumbOpenFile(plain);
  ASSERT_NE(img, nullptr);
  ThumbSetDecodeSize(img, 80, 60);
  ThumbSetStillWanted(img, [] { return false; });
  EXPECT_EQ(ThumbGenerate(img), kThumbRefused);
  ThumbClose(img);
  EXPECT_EQ(ThumbBudget_InUse(), 0u);
}

class ConvertTest : public ThumbTest {};

TEST_F(ConvertTest, SupportedPicturesConvertToTheSameSize) {
  struct Case {
    const char* name;
    std::vector<std::string> make;  // convert arguments before the output
    const char* output;             // output spec (format prefix and file name)
    double minPsnr;
  };
  const Case cases[] = {
      {"bmp24", {"-size", "97x61", "plasma:", "-seed", "5", "-type", "TrueColor"}, "BMP3:bmp24.bmp", 25},
      {"bmpv5", {"-size", "97x61", "plasma:", "-seed", "5", "-type", "TrueColor"}, "BMP:bmpv5.bmp", 25},
      {"bmp32", {"-size", "97x61", "plasma:", "-seed", "5", "-alpha", "set"}, "BMP:bmp32.bmp", 25},
      {"bmp8", {"-size", "97x61", "plasma:", "-seed", "5", "-colors", "200", "-type", "Palette", "-compress", "none"}, "BMP3:bmp8.bmp", 25},
      {"bmp4", {"-size", "97x61", "gradient:red-blue", "-colors", "16", "-type", "Palette", "-compress", "none"}, "BMP3:bmp4.bmp", 25},
      {"bmp1", {"-size", "97x61", "pattern:checkerboard", "-monochrome"}, "BMP3:bmp1.bmp", 20},
      {"ppm", {"-size", "97x61", "plasma:", "-seed", "5"}, "PPM:ppm.ppm", 25},
      {"pgm", {"-size", "97x61", "plasma:", "-seed", "5", "-colorspace", "Gray"}, "PGM:pgm.bmp", 25},
      {"pgm16", {"-size", "97x61", "gradient:", "-depth", "16"}, "PGM:pgm16.pgm", 25},
      {"ppmplain", {"-size", "97x61", "plasma:", "-seed", "5", "-compress", "none"}, "PPM:plain.ppm", 25},
      {"pbm", {"-size", "97x61", "pattern:checkerboard", "-monochrome"}, "PBM:pbm.pbm", 20},
      {"pbmplain", {"-size", "97x61", "pattern:checkerboard", "-monochrome", "-compress", "none"}, "PBM:plain.pbm", 20},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string spec = c.output;
    const std::string file = spec.substr(spec.find(':') + 1);
    std::vector<std::string> args = c.make;
    args.push_back(spec.substr(0, spec.find(':') + 1) + Path(file));
    MakePicture(args);
    const std::string out = Path(std::string(c.name) + ".jpg");
    ASSERT_EQ(ConvertToJpeg(Path(file), out), 1);
    EXPECT_EQ(Identify(out, "%m %w %h"), "JPEG 97 61");
    EXPECT_GT(Psnr(Path(file), out), c.minPsnr);
  }
}

TEST_F(ConvertTest, TopDownBmpIsNotFlipped) {
  MakePicture({"-size", "40x30", "gradient:white-black", "-type", "TrueColor", "BMP3:" + Path("up.bmp")});
  std::vector<uint8_t> bytes = ReadBytes(Path("up.bmp"));
  // Rewrite as a top-down file: negative height, rows in the other order.
  const size_t off = bytes[10] | (bytes[11] << 8), stride = ((40 * 24 + 31) / 32) * 4;
  std::vector<uint8_t> td = bytes;
  for (size_t r = 0; r < 30; ++r)
    std::memcpy(td.data() + off + r * stride, bytes.data() + off + (29 - r) * stride, stride);
  const int32_t h = -30;
  std::memcpy(td.data() + 22, &h, 4);
  WriteBytes(Path("down.bmp"), td);
  ASSERT_EQ(ConvertToJpeg(Path("down.bmp"), Path("down.jpg")), 1);
  EXPECT_GT(Psnr(Path("up.bmp"), Path("down.jpg")), 30.0);
}

TEST_F(ConvertTest, BadInputIsRefusedAndLeavesNoOutput) {
  MakePicture({"-size", "50x40", "plasma:", "BMP3:" + Path("ok.bmp")});
  std::vector<uint8_t> ok = ReadBytes(Path("ok.bmp"));
  std::vector<uint8_t> truncated(ok.begin(), ok.begin() + long(ok.size() / 2));
  WriteBytes(Path("truncated.bmp"), truncated);
  std::vector<uint8_t> huge = ok;  // 65500 x 65500 in a small file
  const int32_t side = 65500;
  std::memcpy(huge.data() + 18, &side, 4);
  std::memcpy(huge.data() + 22, &side, 4);
  WriteBytes(Path("huge.bmp"), huge);
  std::vector<uint8_t> rle = ok;
  rle[30] = 1;  // BI_RLE8
  WriteBytes(Path("rle.bmp"), rle);
  MakePicture({"-size", "20x20", "xc:red", "GIF:" + Path("gif.bmp")});
  MakePicture({"-size", "20x20", "xc:red", "JPEG:" + Path("jpeg.bmp")});
  WriteBytes(Path("empty.bmp"), {});
  WriteBytes(Path("ppmcut.ppm"), {'P', '6', ' ', '9', '9', '9', '9', ' ', '9', '9', ' ', '2', '5', '5', '\n', 1, 2});
  ASSERT_EQ(mkfifo(Path("fifo.bmp").c_str(), 0600), 0);

  for (const char* name : {"truncated.bmp", "huge.bmp", "rle.bmp", "gif.bmp", "jpeg.bmp", "empty.bmp",
                           "ppmcut.ppm", "fifo.bmp", "missing.bmp"}) {
    SCOPED_TRACE(name);
    const std::string out = Path(std::string(name) + ".jpg");
    EXPECT_EQ(ConvertToJpeg(Path(name), out), 0);
    EXPECT_NE(access(out.c_str(), F_OK), 0);
  }
  // The format comes from the bytes, not the name.
  const std::vector<uint8_t> jpeg = ReadBytes(Path("jpeg.bmp"));
  EXPECT_EQ(SelectInputFormat(jpeg.data(), jpeg.size()), PictureFormat::kJpeg);
  EXPECT_EQ(SelectInputFormat(nullptr, 0), PictureFormat::kEmpty);
}

TEST(ConvertSwitches, AbbreviationsDownToTheMinimum) {
  EXPECT_TRUE(MatchSwitch("outfile", "outfile", 4));
  EXPECT_TRUE(MatchSwitch("OUTF", "outfile", 4));
  EXPECT_FALSE(MatchSwitch("out", "outfile", 4));
  EXPECT_FALSE(MatchSwitch("outfiles", "outfile", 4));
  std::string out;
  EXPECT_EQ(ParseConvertSwitches({"cjpeg", "-outf", "o.jpg", "in.bmp"}, out), 3);
  EXPECT_EQ(out, "o.jpg");
  EXPECT_EQ(ParseConvertSwitches({"cjpeg", "-quality", "9", "in.bmp"}, out), -1);
  EXPECT_EQ(ParseConvertSwitches({"cjpeg", "-outfile"}, out), -1);
}

}  // namespace
