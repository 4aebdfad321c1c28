#include "service/pictures/thumb_scaler.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <time.h>

#include <chrono>
#include <condition_variable>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

// clang-format off
#include <jpeglib.h>  // needs stdio first
// clang-format on

namespace {

constexpr int kDefaultQuality = 75;
constexpr unsigned kApp7MaxKept = 1024;
constexpr unsigned kComMaxKept = 65535;

// libjpeg's error exit jumps back to the step that armed the buffer.
struct ThumbErrorMgr {
  jpeg_error_mgr pub;
  jmp_buf jump;
};

[[noreturn]] void ThumbErrorExit(j_common_ptr cinfo) {
  ThumbErrorMgr* err = reinterpret_cast<ThumbErrorMgr*>(cinfo->err);
  longjmp(err->jump, 1);
}

void ThumbSilentMessage(j_common_ptr) {}  // a damaged picture is not worth a console line

// libjpeg's progress monitor with the job it watches.
struct ThumbProgressMgr {
  jpeg_progress_mgr pub;
  ThumbImage* img;
};

// Working memory beyond the coefficients and the decoded pixels: tables, row buffers.
constexpr uint64_t kCodecOverhead = 4ull << 20;

std::mutex g_budgetMutex;
std::condition_variable g_budgetFreed;
uint64_t g_budgetInUse = 0;                     // under g_budgetMutex
uint64_t g_budgetTotal = kThumbMemoryBudget;    // under g_budgetMutex

int64_t ThreadCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

struct ThumbImage {
  std::string srcPath;
  uint64_t srcBytes = 0;  // what the source file holds
  std::function<bool()> stillWanted;
  ThumbProgressMgr progress{};
  int64_t cpuStart = 0;
  bool stopped = false;   // ended by the progress monitor
  uint64_t reserved = 0;  // held of the shared budget until ThumbClose
  FILE* src = nullptr;
  std::vector<uint8_t> srcMem;  // source held in memory (the converter's output)
  bool fromMemory = false;
  int64_t mtime = 0;

  jpeg_decompress_struct dinfo;
  ThumbErrorMgr derr;
  bool dinfoLive = false;
  int srcW = 0, srcH = 0;
  J_COLOR_SPACE outCs = JCS_UNKNOWN;
  int mode = kThumbModeRgb;

  uint8_t* pixels = nullptr;
  size_t decW = 0, decH = 0, comps = 0;
  bool scaled = false;
  bool error = false;

  std::string outPath;
  FILE* out = nullptr;
  bool outOpened = false;
  jpeg_compress_struct cinfo;
  ThumbErrorMgr cerr;
  bool cinfoLive = false;
  unsigned char* memOut = nullptr;
  unsigned long memOutLen = 0;
  std::vector<uint8_t> output;

  int thumbW = 0, thumbH = 0;
  int quality = kDefaultQuality;
  bool info = false;
};

namespace {

void DestroyCodecs(ThumbImage* img) {
  if (img->dinfoLive) {
    jpeg_destroy_decompress(&img->dinfo);
    img->dinfoLive = false;
  }
  if (img->cinfoLive) {
    jpeg_destroy_compress(&img->cinfo);
    img->cinfoLive = false;
  }
  if (img->src) {
    std::fclose(img->src);
    img->src = nullptr;
  }
  if (img->out) {
    std::fclose(img->out);
    img->out = nullptr;
  }
}

int ModeOf(J_COLOR_SPACE cs) {
  if (cs == JCS_GRAYSCALE) return kThumbModeGrey;
  if (cs == JCS_CMYK) return kThumbModeCmyk;
  return kThumbModeRgb;
}

// Creates the decoder and reads the header. False on any error (the caller frees the image).
bool ThumbReadHeader(ThumbImage* img) {
  img->dinfo.err = jpeg_std_error(&img->derr.pub);
  img->derr.pub.error_exit = ThumbErrorExit;
  img->derr.pub.output_message = ThumbSilentMessage;
  if (setjmp(img->derr.jump)) return false;

  jpeg_create_decompress(&img->dinfo);
  img->dinfoLive = true;
  img->dinfo.mem->max_memory_to_use = static_cast<long>(kThumbMaxLibjpegMemory);
  jpeg_save_markers(&img->dinfo, JPEG_APP0 + 7, kApp7MaxKept);
  jpeg_save_markers(&img->dinfo, JPEG_COM, kComMaxKept);
  if (img->fromMemory) {
    jpeg_mem_src(&img->dinfo, img->srcMem.data(), static_cast<unsigned long>(img->srcMem.size()));
  } else {
    jpeg_stdio_src(&img->dinfo, img->src);
  }
  if (jpeg_read_header(&img->dinfo, TRUE) != JPEG_HEADER_OK) return false;

  const uint64_t w = img->dinfo.image_width;
  const uint64_t h = img->dinfo.image_height;
  if (w == 0 || h == 0) return false;
  // A crafted header must not get as far as allocating its pixels.
  if (w * h > kThumbMaxSourcePixels) return false;
  // Huffman coding spends at least one bit on the DC of every block of the first component; a
  // file too small for that is a header over missing data, which libjpeg would pad out and
  // decode at full cost. (Arithmetic coding can legitimately go below a bit per block; the
  // budget bounds those.)
  const jpeg_component_info& first = img->dinfo.comp_info[0];
  const uint64_t blocks = static_cast<uint64_t>(first.width_in_blocks) * first.height_in_blocks;
  if (!img->dinfo.arith_code && img->srcBytes < blocks / 8) return false;
  img->srcW = static_cast<int>(w);
  img->srcH = static_cast<int>(h);
  img->thumbW = img->srcW;
  img->thumbH = img->srcH;
  img->mode = ModeOf(img->dinfo.out_color_space);
  return true;
}

ThumbImage* FinishOpen(ThumbImage* img) {
  if (!ThumbReadHeader(img)) {
    ThumbClose(img);
    return nullptr;
  }
  return img;
}

// 0 ok, 1 refused, 2 decoder error.
int ThumbDecode(ThumbImage* img) {
  if (img->pixels || img->thumbW < 1 || img->thumbH < 1) return 1;
  jpeg_decompress_struct& d = img->dinfo;
  d.scale_num = 1;
  d.scale_denom = static_cast<unsigned>(
      ThumbScaleDenominator(img->srcW, img->srcH, img->thumbW, img->thumbH));
  d.dct_method = JDCT_IFAST;
  d.do_fancy_upsampling = FALSE;
  d.do_block_smoothing = FALSE;
  if (img->mode == kThumbModeGrey) {
    d.out_color_space = JCS_GRAYSCALE;
  } else if (img->mode == kThumbModeCmyk) {
    d.out_color_space = JCS_CMYK;
  } else {
    d.out_color_space = JCS_RGB;
  }

  if (setjmp(img->derr.jump)) return img->stopped ? 3 : 2;
  jpeg_calc_output_dimensions(&d);
  const size_t w = d.output_width, h = d.output_height, c = static_cast<size_t>(d.out_color_components);
  if (w == 0 || h == 0 || c == 0 || c > 4) return 1;
  if (w > SIZE_MAX / c || w * c > SIZE_MAX / h) return 1;
  const size_t bytes = w * c * h;
  if (bytes > kThumbMaxDecodedBytes) return 1;
  // The scale always yields at least the thumbnail; anything else is a decoder surprise.
  if (w < static_cast<size_t>(img->thumbW) || h < static_cast<size_t>(img->thumbH)) return 1;

  // What libjpeg will hold: a progressive picture keeps every coefficient of the source (at
  // full size, whatever the scale), any picture a few rows of each component.
  uint64_t codec = kCodecOverhead +
                   static_cast<uint64_t>(d.image_width) * static_cast<uint64_t>(d.num_components) *
                       static_cast<uint64_t>(d.max_v_samp_factor) * DCTSIZE * 4;
  if (d.progressive_mode) {
    for (int ci = 0; ci < d.num_components; ++ci) {
      const jpeg_component_info& comp = d.comp_info[ci];
      codec += (static_cast<uint64_t>(comp.width_in_blocks) + static_cast<uint64_t>(comp.h_samp_factor)) *
               (static_cast<uint64_t>(comp.height_in_blocks) + static_cast<uint64_t>(comp.v_samp_factor)) *
               sizeof(JBLOCK);
    }
  }
  if (codec > kThumbMaxLibjpegMemory) return 3;
  if (!ThumbBudget_Reserve(codec + bytes, kThumbBudgetWaitMs, img->stillWanted)) return 3;
  img->reserved = codec + bytes;
  d.mem->max_memory_to_use = static_cast<long>(codec);

  img->progress.pub.progress_monitor = [](j_common_ptr cinfo) {
    ThumbImage* job = reinterpret_cast<ThumbProgressMgr*>(cinfo->progress)->img;
    const int scans = reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number;
    if (scans > kThumbMaxScans || ThreadCpuMs() - job->cpuStart > kThumbCpuBudgetMs ||
        (job->stillWanted && !job->stillWanted())) {
      job->stopped = true;
      ThumbErrorExit(cinfo);
    }
  };
  img->progress.img = img;
  img->cpuStart = ThreadCpuMs();
  d.progress = &img->progress.pub;
  img->pixels = new (std::nothrow) uint8_t[bytes];
  if (!img->pixels) return 1;
  img->decW = w;
  img->decH = h;
  img->comps = c;
  img->outCs = d.out_color_space;

  jpeg_start_decompress(&d);
  while (d.output_scanline < d.output_height) {
    JSAMPROW row = img->pixels + static_cast<size_t>(d.output_scanline) * w * c;
    if (jpeg_read_scanlines(&d, &row, 1) != 1) {
      jpeg_abort_decompress(&d);
      return 1;
    }
  }
  jpeg_finish_decompress(&d);
  return 0;
}

// Nearest neighbour, in place: every source row and column read lies at or after the one
// written, so the rows can share the decoded buffer (stride stays the decoded width).
void ThumbScale(ThumbImage* img) {
  if (img->scaled || img->thumbW < 1 || img->thumbH < 1) return;
  if (static_cast<size_t>(img->thumbW) == img->decW &&
      static_cast<size_t>(img->thumbH) == img->decH)
    return;
  img->scaled = true;
  const size_t c = img->comps, stride = img->decW * c;
  const size_t tw = static_cast<size_t>(img->thumbW), th = static_cast<size_t>(img->thumbH);
  for (size_t i = 0; i < th; ++i) {
    const uint8_t* srcRow = img->pixels + (i * img->decH / th) * stride;
    uint8_t* dstRow = img->pixels + i * stride;
    for (size_t j = 0; j < tw; ++j) {
      std::memmove(dstRow + j * c, srcRow + (j * img->decW / tw) * c, c);
    }
  }
}

void WriteInfoMarkers(ThumbImage* img) {
  char text[4200];
  const auto put = [img](const char* t, int n) {
    if (n > 0) {
      const size_t len = static_cast<size_t>(n) < 4199 ? static_cast<size_t>(n) : 4199;
      jpeg_write_marker(&img->cinfo, JPEG_APP0 + 7, reinterpret_cast<const JOCTET*>(t),
                        static_cast<unsigned>(len));
    }
  };
  put(text, std::snprintf(text, sizeof text, "Thumb::URI\nfile://%s", img->srcPath.c_str()));
  put(text, std::snprintf(text, sizeof text, "Thumb::MTime\n%llu",
                          static_cast<unsigned long long>(img->mtime)));
  put(text, std::snprintf(text, sizeof text, "Thumb::Image::Width\n%i", img->srcW));
  put(text, std::snprintf(text, sizeof text, "Thumb::Image::Height\n%i", img->srcH));
  put(text, std::snprintf(text, sizeof text, "Thumb::Mimetype\nimage/jpeg"));
}

// 0 ok, 1 failed.
int ThumbWriteFile(ThumbImage* img) {
  if (img->thumbW < 1 || img->thumbH < 1 || img->outOpened || !img->pixels) return 1;
  img->outOpened = true;
  if (!img->outPath.empty()) {
    img->out = std::fopen(img->outPath.c_str(), "wb");
    if (!img->out) {
      img->error = true;
      return 1;
    }
  }
  img->cinfo.err = jpeg_std_error(&img->cerr.pub);
  img->cerr.pub.error_exit = ThumbErrorExit;
  img->cerr.pub.output_message = ThumbSilentMessage;
  if (setjmp(img->cerr.jump)) {
    img->error = true;
    return 1;
  }
  jpeg_create_compress(&img->cinfo);
  img->cinfoLive = true;
  if (img->out) {
    jpeg_stdio_dest(&img->cinfo, img->out);
  } else {
    jpeg_mem_dest(&img->cinfo, &img->memOut, &img->memOutLen);
  }
  img->cinfo.image_width = static_cast<JDIMENSION>(img->thumbW);
  img->cinfo.image_height = static_cast<JDIMENSION>(img->thumbH);
  img->cinfo.input_components = static_cast<int>(img->comps);
  img->cinfo.in_color_space = img->outCs;
  jpeg_set_defaults(&img->cinfo);
  img->cinfo.dct_method = JDCT_IFAST;
  jpeg_set_quality(&img->cinfo, img->quality, TRUE);
  if (img->quality >= 90) {
    for (int i = 0; i < 3 && i < img->cinfo.num_components; ++i) {
      img->cinfo.comp_info[i].h_samp_factor = 1;
      img->cinfo.comp_info[i].v_samp_factor = 1;
    }
  }
  jpeg_start_compress(&img->cinfo, TRUE);
  if (img->info) WriteInfoMarkers(img);
  const size_t stride = img->decW * img->comps;
  while (img->cinfo.next_scanline < img->cinfo.image_height) {
    JSAMPROW row = img->pixels + static_cast<size_t>(img->cinfo.next_scanline) * stride;
    jpeg_write_scanlines(&img->cinfo, &row, 1);
  }
  jpeg_finish_compress(&img->cinfo);
  if (img->out && std::fflush(img->out) != 0) {
    img->error = true;
    return 1;
  }
  if (!img->out) img->output.assign(img->memOut, img->memOut + img->memOutLen);
  DestroyCodecs(img);
  return 0;
}

}  // namespace

int ThumbScaleDenominator(int srcW, int srcH, int thumbW, int thumbH) {
  if (thumbW < 1 || thumbH < 1) return 1;
  int s = srcW / thumbW;
  const int sh = srcH / thumbH;
  if (sh < s) s = sh;
  if (s < 1) s = 1;
  if (s > 8) s = 8;
  return s;
}

ThumbImage* ThumbOpenFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  ThumbImage* img = ThumbOpenFd(fd, path);
  ::close(fd);
  return img;
}

ThumbImage* ThumbOpenFd(int fd, const std::string& path) {
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  const int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (own < 0) return nullptr;
  if (lseek(own, 0, SEEK_SET) != 0) {
    ::close(own);
    return nullptr;
  }
  FILE* f = fdopen(own, "rb");
  if (!f) {
    ::close(own);
    return nullptr;
  }
  ThumbImage* img = new (std::nothrow) ThumbImage;
  if (!img) {
    std::fclose(f);
    return nullptr;
  }
  img->srcPath = path;
  img->srcBytes = static_cast<uint64_t>(st.st_size);
  img->src = f;
  img->mtime = static_cast<int64_t>(st.st_mtime);
  return FinishOpen(img);
}

ThumbImage* ThumbOpenMemory(const uint8_t* data, size_t len, const std::string& path) {
  if (!data || len == 0) return nullptr;
  ThumbImage* img = new (std::nothrow) ThumbImage;
  if (!img) return nullptr;
  img->srcPath = path;
  img->srcMem.assign(data, data + len);
  img->srcBytes = len;
  img->fromMemory = true;
  struct stat st;
  if (!path.empty() && ::stat(path.c_str(), &st) == 0) img->mtime = static_cast<int64_t>(st.st_mtime);
  return FinishOpen(img);
}

void ThumbSetDecodeSize(ThumbImage* img, int width, int height) {
  if (!img || img->pixels) return;
  if (width < 1) width = 1;
  if (height < 1) height = 1;
  if (width > img->srcW) width = img->srcW;
  if (height > img->srcH) height = img->srcH;
  img->thumbW = width;
  img->thumbH = height;
}

void ThumbSetQuality(ThumbImage* img, int quality) {
  if (!img) return;
  img->quality = quality < 0 ? 0 : (quality > 100 ? 100 : quality);
}

void ThumbEnableInfo(ThumbImage* img, bool on) {
  if (img) img->info = on;
}

void ThumbSetOutputFile(ThumbImage* img, const std::string& path) {
  if (img) img->outPath = path;
}

int ThumbGenerate(ThumbImage* img) {
  if (!img) return kThumbDecodeFailed;
  const int d = ThumbDecode(img);
  if (d == 1) return kThumbDecodeFailed;
  if (d == 2) return kThumbDecoderError;
  if (d == 3) return kThumbRefused;
  ThumbScale(img);
  if (ThumbWriteFile(img) != 0) return kThumbEncodeFailed;
  return kThumbOk;
}

std::vector<uint8_t> ThumbTakeOutput(ThumbImage* img) {
  if (!img) return {};
  return std::move(img->output);
}

void ThumbSetStillWanted(ThumbImage* img, std::function<bool()> stillWanted) {
  if (img) img->stillWanted = std::move(stillWanted);
}

void ThumbClose(ThumbImage* img) {
  if (!img) return;
  DestroyCodecs(img);
  delete[] img->pixels;
  std::free(img->memOut);
  ThumbBudget_Release(img->reserved);
  delete img;
}

bool ThumbBudget_Reserve(uint64_t bytes, int waitMs, const std::function<bool()>& stillWanted) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  std::unique_lock<std::mutex> lock(g_budgetMutex);
  for (;;) {
    if (bytes > g_budgetTotal) return false;
    if (g_budgetTotal - g_budgetInUse >= bytes) {
      g_budgetInUse += bytes;
      return true;
    }
    if (stillWanted && !stillWanted()) return false;
    // Woken by every release; the short step also notices an asker that left.
    const auto step = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    if (std::chrono::steady_clock::now() >= deadline) return false;
    g_budgetFreed.wait_until(lock, step < deadline ? step : deadline);
  }
}

void ThumbBudget_Release(uint64_t bytes) {
  if (bytes == 0) return;
  {
    std::lock_guard<std::mutex> lock(g_budgetMutex);
    g_budgetInUse = bytes > g_budgetInUse ? 0 : g_budgetInUse - bytes;
  }
  g_budgetFreed.notify_all();
}

uint64_t ThumbBudget_InUse() {
  std::lock_guard<std::mutex> lock(g_budgetMutex);
  return g_budgetInUse;
}

void ThumbBudget_SetTotal(uint64_t bytes) {
  {
    std::lock_guard<std::mutex> lock(g_budgetMutex);
    g_budgetTotal = bytes;
  }
  g_budgetFreed.notify_all();
}

int ThumbSourceWidth(const ThumbImage* img) { return img ? img->srcW : 0; }
int ThumbSourceHeight(const ThumbImage* img) { return img ? img->srcH : 0; }
int ThumbColourMode(const ThumbImage* img) { return img ? img->mode : kThumbModeRgb; }
