#include "service/pictures/jpeg_convert.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// clang-format off
#include <jpeglib.h>  // needs stdio first
// clang-format on

namespace {

constexpr int kQuality = 75;
constexpr uint64_t kMaxSide = 65500;  // JPEG's own limit

// Random access to the input: a descriptor (pread) or a memory block.
struct InputBytes {
  int fd = -1;
  const uint8_t* mem = nullptr;
  uint64_t size = 0;

  bool Read(uint64_t off, uint8_t* dst, size_t n) const {
    if (off > size || n > size - off) return false;
    if (mem) {
      std::memcpy(dst, mem + off, n);
      return true;
    }
    size_t done = 0;
    while (done < n) {
      const ssize_t r = pread(fd, dst + done, n - done, static_cast<off_t>(off + done));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return false;
      done += static_cast<size_t>(r);
    }
    return true;
  }
};

uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// A picture reader: header facts, then rows on demand in top-to-bottom order.
class IRowReader {
 public:
  virtual ~IRowReader() = default;
  virtual bool ReadHeader(std::string& why) = 0;
  virtual bool ReadRow(uint32_t y, uint8_t* out) = 0;  // width x components bytes
  uint32_t width = 0, height = 0;
  int components = 3;  // 1 grey, 3 RGB
};

// Channel of a 16- or 32-bit pixel described by a mask.
struct Channel {
  uint32_t mask = 0;
  int shift = 0;
  uint32_t max = 0;
  void Set(uint32_t m) {
    mask = m;
    shift = 0;
    max = 0;
    if (!m) return;
    while (!((m >> shift) & 1u)) ++shift;
    max = m >> shift;
  }
  uint8_t Of(uint32_t px) const {
    if (!max) return 0;
    return static_cast<uint8_t>(uint64_t((px & mask) >> shift) * 255u / max);
  }
};

class CBmpReader : public IRowReader {
 public:
  explicit CBmpReader(const InputBytes& in) : m_in(in) {}

  bool ReadHeader(std::string& why) override {
    uint8_t h[54] = {0};
    if (!m_in.Read(0, h, 18)) return Fail(why, "short BMP header");
    if (h[0] != 'B' || h[1] != 'M') return Fail(why, "not a BMP file");
    m_dataOff = Le32(h + 10);
    const uint32_t infoSize = Le32(h + 14);
    int64_t w = 0, hh = 0;
    uint32_t compression = 0, colorsUsed = 0;
    size_t paletteEntry = 4;
    if (infoSize == 12) {  // OS/2 core header
      if (!m_in.Read(0, h, 26)) return Fail(why, "short BMP header");
      w = Le16(h + 18);
      hh = Le16(h + 20);
      if (Le16(h + 22) != 1) return Fail(why, "bad plane count");
      m_bpp = Le16(h + 24);
      paletteEntry = 3;
    } else if (infoSize >= 40 && infoSize <= 124) {
      if (!m_in.Read(0, h, 54)) return Fail(why, "short BMP header");
      w = static_cast<int32_t>(Le32(h + 18));
      hh = static_cast<int32_t>(Le32(h + 22));
      if (Le16(h + 26) != 1) return Fail(why, "bad plane count");
      m_bpp = Le16(h + 28);
      compression = Le32(h + 30);
      colorsUsed = Le32(h + 46);
    } else {
      return Fail(why, "unsupported BMP header size");
    }
    if (hh < 0) {
      m_topDown = true;
      hh = -hh;
    }
    if (w <= 0 || hh <= 0 || uint64_t(w) > kMaxSide || uint64_t(hh) > kMaxSide)
      return Fail(why, "bad BMP dimensions");
    if (uint64_t(w) * uint64_t(hh) > kConvertMaxPixels) return Fail(why, "picture too large");
    width = static_cast<uint32_t>(w);
    height = static_cast<uint32_t>(hh);

    const bool bitfields = compression == 3 || compression == 6;
    if (compression != 0 && !(bitfields && (m_bpp == 16 || m_bpp == 32)))
      return Fail(why, "compressed BMP not supported");
    switch (m_bpp) {
      case 1: case 4: case 8: case 16: case 24: case 32: break;
      default: return Fail(why, "unsupported BMP bit depth");
    }
    if (m_bpp == 16 || m_bpp == 32) {
      uint32_t masks[3] = {m_bpp == 16 ? 0x7C00u : 0xFF0000u, m_bpp == 16 ? 0x3E0u : 0xFF00u,
                           m_bpp == 16 ? 0x1Fu : 0xFFu};
      if (bitfields) {
        uint8_t mb[12];
        if (!m_in.Read(54, mb, sizeof mb)) return Fail(why, "short BMP masks");
        for (int i = 0; i < 3; ++i) masks[i] = Le32(mb + 4 * i);
      }
      for (int i = 0; i < 3; ++i) m_ch[i].Set(masks[i]);
    }
    if (m_bpp <= 8) {
      const uint32_t full = 1u << m_bpp;
      m_colors = colorsUsed != 0 && colorsUsed < full ? colorsUsed : full;
      const uint64_t palOff = 14ull + infoSize;
      uint8_t pal[256 * 4];
      if (!m_in.Read(palOff, pal, m_colors * paletteEntry)) return Fail(why, "short BMP palette");
      for (uint32_t i = 0; i < m_colors; ++i) {
        const uint8_t* e = pal + i * paletteEntry;
        m_palette[i][0] = e[2];
        m_palette[i][1] = e[1];
        m_palette[i][2] = e[0];
      }
    }
    m_stride = ((uint64_t(width) * m_bpp + 31) / 32) * 4;
    if (m_dataOff < 14 || m_dataOff > m_in.size || m_stride * height > m_in.size - m_dataOff)
      return Fail(why, "BMP pixel data truncated");
    m_row.resize(static_cast<size_t>(m_stride));
    return true;
  }

  bool ReadRow(uint32_t y, uint8_t* out) override {
    const uint64_t fileRow = m_topDown ? y : height - 1 - y;
    if (!m_in.Read(m_dataOff + fileRow * m_stride, m_row.data(), m_row.size())) return false;
    const uint8_t* p = m_row.data();
    for (uint32_t x = 0; x < width; ++x, out += 3) {
      switch (m_bpp) {
        case 24:
          out[0] = p[x * 3 + 2]; out[1] = p[x * 3 + 1]; out[2] = p[x * 3];
          break;
        case 32: {
          const uint32_t px = Le32(p + x * 4);
          out[0] = m_ch[0].Of(px); out[1] = m_ch[1].Of(px); out[2] = m_ch[2].Of(px);
          break;
        }
        case 16: {
          const uint32_t px = Le16(p + x * 2);
          out[0] = m_ch[0].Of(px); out[1] = m_ch[1].Of(px); out[2] = m_ch[2].Of(px);
          break;
        }
        default: {
          const uint32_t perByte = 8u / m_bpp;
          const uint8_t byte = p[x / perByte];
          const uint32_t shift = 8u - m_bpp * (x % perByte + 1);
          const uint32_t idx = (byte >> shift) & ((1u << m_bpp) - 1);
          // An index past the palette is black rather than a read past it.
          if (idx < m_colors) {
            std::memcpy(out, m_palette[idx], 3);
          } else {
            std::memset(out, 0, 3);
          }
        }
      }
    }
    return true;
  }

 private:
  static bool Fail(std::string& why, const char* text) {
    why = text;
    return false;
  }

  InputBytes m_in;
  uint64_t m_dataOff = 0, m_stride = 0;
  uint32_t m_bpp = 0, m_colors = 0;
  bool m_topDown = false;
  uint8_t m_palette[256][3] = {};
  Channel m_ch[3];
  std::vector<uint8_t> m_row;
};

// PBM, PGM and PPM, plain (P1-P3) and raw (P4-P6).
class CPnmReader : public IRowReader {
 public:
  explicit CPnmReader(const InputBytes& in) : m_in(in) {}

  bool ReadHeader(std::string& why) override {
    uint8_t magic[2];
    if (!m_in.Read(0, magic, 2) || magic[0] != 'P' || magic[1] < '1' || magic[1] > '6') {
      why = "not a PNM file";
      return false;
    }
    m_kind = magic[1] - '0';
    m_pos = 2;
    uint32_t w = 0, h = 0, maxval = 1;
    if (!Number(w) || !Number(h)) return Fail(why, "bad PNM header");
    if (m_kind != 1 && m_kind != 4 && (!Number(maxval) || maxval == 0 || maxval > 65535))
      return Fail(why, "bad PNM maximum value");
    if (w == 0 || h == 0 || w > kMaxSide || h > kMaxSide) return Fail(why, "bad PNM dimensions");
    if (uint64_t(w) * h > kConvertMaxPixels) return Fail(why, "picture too large");
    width = w;
    height = h;
    m_maxval = maxval;
    components = (m_kind == 3 || m_kind == 6) ? 3 : 1;
    if (m_kind >= 4) {
      ++m_pos;  // the one whitespace byte after the header
      const uint64_t sample = maxval > 255 ? 2 : 1;
      m_rowBytes = m_kind == 4 ? (uint64_t(w) + 7) / 8 : uint64_t(w) * uint64_t(components) * sample;
      if (m_pos > m_in.size || m_rowBytes * h > m_in.size - m_pos)
        return Fail(why, "PNM pixel data truncated");
      m_row.resize(static_cast<size_t>(m_rowBytes));
    }
    return true;
  }

  bool ReadRow(uint32_t y, uint8_t* out) override {
    const size_t n = size_t(width) * size_t(components);
    if (m_kind <= 3) {  // plain rows come in order
      for (size_t i = 0; i < n; ++i) {
        uint32_t v = 0;
        if (m_kind == 1) {
          if (!Bit(v)) return false;
          out[i] = v ? 0 : 255;
        } else {
          if (!Number(v) || v > m_maxval) return false;
          out[i] = Scale(v);
        }
      }
      return true;
    }
    if (!m_in.Read(m_pos + uint64_t(y) * m_rowBytes, m_row.data(), m_row.size())) return false;
    const uint8_t* p = m_row.data();
    for (size_t i = 0; i < n; ++i) {
      if (m_kind == 4) {
        out[i] = ((p[i / 8] >> (7 - i % 8)) & 1) ? 0 : 255;
      } else if (m_maxval > 255) {
        out[i] = Scale(uint32_t(p[2 * i] << 8) | p[2 * i + 1]);
      } else {
        out[i] = Scale(p[i]);
      }
    }
    return true;
  }

 private:
  static bool Fail(std::string& why, const char* text) {
    why = text;
    return false;
  }
  uint8_t Scale(uint32_t v) const {
    if (v > m_maxval) v = m_maxval;
    return static_cast<uint8_t>((uint64_t(v) * 255 + m_maxval / 2) / m_maxval);
  }
  bool Byte(uint8_t& c) {
    if (m_bufPos >= m_bufLen) {
      if (m_pos >= m_in.size) return false;
      const uint64_t left = m_in.size - m_pos;
      m_bufLen = left < sizeof m_buf ? static_cast<size_t>(left) : sizeof m_buf;
      if (!m_in.Read(m_pos, m_buf, m_bufLen)) return false;
      m_bufStart = m_pos;
      m_bufPos = 0;
    }
    c = m_buf[m_bufPos++];
    m_pos = m_bufStart + m_bufPos;
    return true;
  }
  bool SkipSpace(uint8_t& c) {
    for (;;) {
      if (!Byte(c)) return false;
      if (c == '#') {
        while (c != '\n' && c != '\r') {
          if (!Byte(c)) return false;
        }
        continue;
      }
      if (!std::isspace(c)) return true;
    }
  }
  bool Number(uint32_t& v) {
    uint8_t c = 0;
    if (!SkipSpace(c) || !std::isdigit(c)) return false;
    uint64_t acc = 0;
    for (;;) {
      acc = acc * 10 + (c - '0');
      if (acc > 0xFFFFFFFFull) return false;
      if (!Byte(c)) break;  // a number may end the file
      if (!std::isdigit(c)) {
        Unread();
        break;
      }
    }
    v = static_cast<uint32_t>(acc);
    return true;
  }
  bool Bit(uint32_t& v) {  // plain PBM digits need no separators
    uint8_t c = 0;
    if (!SkipSpace(c) || (c != '0' && c != '1')) return false;
    v = c - '0';
    return true;
  }
  void Unread() {
    --m_bufPos;
    m_pos = m_bufStart + m_bufPos;
  }

  InputBytes m_in;
  int m_kind = 0;
  uint32_t m_maxval = 1;
  uint64_t m_pos = 0, m_rowBytes = 0;
  std::vector<uint8_t> m_row;
  uint8_t m_buf[4096];
  uint64_t m_bufStart = 0;
  size_t m_bufPos = 0, m_bufLen = 0;
};

struct ConvertErrorMgr {
  jpeg_error_mgr pub;
  jmp_buf jump;
};

[[noreturn]] void ConvertErrorExit(j_common_ptr cinfo) {
  longjmp(reinterpret_cast<ConvertErrorMgr*>(cinfo->err)->jump, 1);
}
void ConvertSilentMessage(j_common_ptr) {}

// Encodes the reader's rows; the jump buffer keeps libjpeg's errors in this frame.
bool Encode(IRowReader& reader, std::vector<uint8_t>& out, std::string& why) {
  std::vector<uint8_t> row(size_t(reader.width) * size_t(reader.components));
  jpeg_compress_struct cinfo;
  ConvertErrorMgr jerr;
  unsigned char* mem = nullptr;
  unsigned long memLen = 0;
  cinfo.err = jpeg_std_error(&jerr.pub);
  jerr.pub.error_exit = ConvertErrorExit;
  jerr.pub.output_message = ConvertSilentMessage;
  if (setjmp(jerr.jump)) {
    jpeg_destroy_compress(&cinfo);
    std::free(mem);
    why = "JPEG encoder error";
    return false;
  }
  jpeg_create_compress(&cinfo);
  jpeg_mem_dest(&cinfo, &mem, &memLen);
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  cinfo.image_width = reader.width;
  cinfo.image_height = reader.height;
  cinfo.input_components = reader.components;
  cinfo.in_color_space = reader.components == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_default_colorspace(&cinfo);
  jpeg_set_quality(&cinfo, kQuality, FALSE);
  jpeg_start_compress(&cinfo, TRUE);
  bool ok = true;
  while (cinfo.next_scanline < cinfo.image_height) {
    if (!reader.ReadRow(cinfo.next_scanline, row.data())) {
      ok = false;
      break;
    }
    JSAMPROW p = row.data();
    jpeg_write_scanlines(&cinfo, &p, 1);
  }
  if (ok) {
    jpeg_finish_compress(&cinfo);
    ok = cinfo.err->num_warnings == 0;
    if (!ok) why = "JPEG encoder warnings";
    if (ok) out.assign(mem, mem + memLen);
  } else {
    why = "picture data unreadable";
    jpeg_abort_compress(&cinfo);
  }
  jpeg_destroy_compress(&cinfo);
  std::free(mem);
  return ok;
}

bool ConvertInput(const InputBytes& in, std::vector<uint8_t>& out, std::string& why) {
  uint8_t head[4] = {0};
  const size_t n = in.size < sizeof head ? static_cast<size_t>(in.size) : sizeof head;
  if (n > 0 && !in.Read(0, head, n)) {
    why = "unreadable input";
    return false;
  }
  switch (SelectInputFormat(head, n)) {
    case PictureFormat::kBmp: {
      CBmpReader r(in);
      return r.ReadHeader(why) && Encode(r, out, why);
    }
    case PictureFormat::kPnm: {
      CPnmReader r(in);
      return r.ReadHeader(why) && Encode(r, out, why);
    }
    case PictureFormat::kGif:
      why = "GIF input not supported";
      return false;
    case PictureFormat::kEmpty:
      why = "empty input file";
      return false;
    default:
      why = "unrecognised input file format";
      return false;
  }
}

}  // namespace

PictureFormat SelectInputFormat(const uint8_t* head, size_t len) {
  if (!head || len == 0) return PictureFormat::kEmpty;
  if (len >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF) return PictureFormat::kJpeg;
  if (len >= 2 && head[0] == 'B' && head[1] == 'M') return PictureFormat::kBmp;
  if (len >= 2 && head[0] == 'P' && head[1] >= '1' && head[1] <= '6') return PictureFormat::kPnm;
  if (len >= 4 && std::memcmp(head, "GIF8", 4) == 0) return PictureFormat::kGif;
  return PictureFormat::kUnknown;
}

PictureFormat SelectInputFormatFd(int fd) {
  uint8_t head[4];
  ssize_t r;
  do {
    r = pread(fd, head, sizeof head, 0);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return PictureFormat::kUnknown;
  return SelectInputFormat(head, static_cast<size_t>(r));
}

bool ConvertFdToJpeg(int fd, std::vector<uint8_t>& out, std::string* why) {
  std::string reason;
  struct stat st;
  bool ok = false;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    reason = "not a regular file";
  } else {
    InputBytes in;
    in.fd = fd;
    in.size = static_cast<uint64_t>(st.st_size);
    ok = ConvertInput(in, out, reason);
  }
  if (why) *why = reason;
  return ok;
}

bool ConvertMemoryToJpeg(const uint8_t* data, size_t len, std::vector<uint8_t>& out,
                         std::string* why) {
  InputBytes in;
  in.mem = data;
  in.size = data ? len : 0;
  std::string reason;
  const bool ok = ConvertInput(in, out, reason);
  if (why) *why = reason;
  return ok;
}

bool MatchSwitch(const char* text, const char* keyword, int minChars) {
  if (!text || !keyword) return false;
  int n = 0;
  for (; *text; ++text, ++keyword, ++n) {
    if (std::tolower(static_cast<unsigned char>(*text)) != *keyword) return false;
  }
  return n >= minChars;
}

int ParseConvertSwitches(const std::vector<std::string>& argv, std::string& outFile) {
  for (size_t i = 1; i < argv.size(); ++i) {
    const std::string& a = argv[i];
    if (a.empty() || a[0] != '-') return static_cast<int>(i);
    if (MatchSwitch(a.c_str() + 1, "outfile", 4)) {
      if (++i >= argv.size()) return -1;
      outFile = argv[i];
    } else {
      return -1;
    }
  }
  return -1;
}

int ConvertToJpeg(const std::string& inPath, const std::string& outPath) {
  const std::vector<std::string> argv = {"cjpeg", "-outfile", outPath, inPath};
  std::string outFile;
  const int first = ParseConvertSwitches(argv, outFile);
  if (first < 0) return 0;
  const std::string& input = argv[static_cast<size_t>(first)];

  const int fd = ::open(input.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    std::fprintf(stderr, " can't open infile %s\n", input.c_str());
    return 0;
  }
  std::vector<uint8_t> jpeg;
  const bool ok = ConvertFdToJpeg(fd, jpeg);
  ::close(fd);
  if (!ok) return 0;
  FILE* f = std::fopen(outFile.c_str(), "wb");
  if (!f) {
    std::fprintf(stderr, "can't open outfile %s\n", outFile.c_str());
    return 0;
  }
  const bool written = std::fwrite(jpeg.data(), 1, jpeg.size(), f) == jpeg.size();
  if (std::fclose(f) != 0 || !written) {
    std::remove(outFile.c_str());
    return 0;
  }
  return 1;
}
