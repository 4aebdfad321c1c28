// Pictures against their peers, measured in the same run and printed as ratios:
//  - a 12-megapixel JPEG to a 160x120 thumbnail against vipsthumbnail and djpeg | cjpeg;
//  - EXIF dates of 2000 files against exiftool -fast2 and exiv2;
//  - sorting 2000 photos into date folders against exiftool '-Directory<DateTimeOriginal'.
// The peers run as programs, so each peer's own start-up (the same command on a tiny input)
// is measured and taken off its time. Nothing here fails: it reports.
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "service/pictures/auto_sort.h"
#include "service/pictures/exif.h"
#include "service/pictures/thumb_request.h"
#include "bench/bench_util.h"
#include "tests/support/pictures.h"
#include "tests/support/service_process.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

using bench::FreePort;
using bench::MakeFile;
using bench::Seconds;
using bench::WarmCache;

// Seconds per run of a shell line (the best of `runs`), or -1 when it fails.
double TimeShell(const std::string& line, int runs) {
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    const auto t = Clock::now();
    if (RunProgram({"/bin/sh", "-c", line}).exitCode != 0) return -1;
    best = std::min(best, Seconds(t));
  }
  return best;
}

bool Have(const char* program) {
  return RunProgram({"/bin/sh", "-c", std::string("command -v ") + program}).exitCode == 0;
}

void Ratio(const char* what, double ours, double peer, const char* peerName) {
  if (peer <= 0) {
    std::printf("  %-34s ours %.4f s; %s not available\n", what, ours, peerName);
    return;
  }
  std::printf("  %-34s ours %.4f s, %s %.4f s: ours/peer = %.3g\n", what, ours, peerName, peer,
              ours / peer);
}

void SetOld(const std::string& path) {
  struct timeval tv[2];
  gettimeofday(&tv[0], nullptr);
  tv[0].tv_sec -= 3600;
  tv[1] = tv[0];
  utimes(path.c_str(), tv);
}

void Thumbnails(const std::string& dir) {
  const std::string src = dir + "/12mp.jpg", tiny = dir + "/tiny.jpg";
  MakePicture({"-seed", "3", "-size", "400x300", "plasma:fractal", "-resize", "4000x3000!",
               "-quality", "90", src});
  MakePicture({"-size", "8x8", "xc:gray", tiny});
  constexpr int kRuns = 10;
  double ours = 1e30;
  for (int i = 0; i < kRuns; ++i) {
    const int fd = ::open(src.c_str(), O_RDONLY | O_CLOEXEC);
    std::vector<uint8_t> out;
    const auto t = Clock::now();
    const bool ok = ThunmbNailIt(fd, src, 120, 160, out);
    ours = std::min(ours, Seconds(t));
    ::close(fd);
    if (!ok) {
      std::printf("  thumbnail failed\n");
      return;
    }
  }
  std::printf("12-megapixel JPEG -> 160x120 thumbnail (best of %d):\n", kRuns);
  if (Have("vipsthumbnail")) {
    const auto vips = [&](const std::string& in) {
      return TimeShell("vipsthumbnail '" + in + "' --size 160x120! -o '" + dir + "/v.jpg[Q=75]'", kRuns);
    };
    const double full = vips(src), start = vips(tiny);
    Ratio("vs vipsthumbnail", ours, full - start, "vipsthumbnail");
  } else {
    Ratio("vs vipsthumbnail", ours, -1, "vipsthumbnail");
  }
  const auto djpeg = [&](const std::string& in) {
    return TimeShell("djpeg -scale 1/8 -dct fast '" + in + "' | cjpeg -quality 75 > '" + dir + "/d.jpg'", kRuns);
  };
  const double full = djpeg(src), start = djpeg(tiny);
  Ratio("vs djpeg -scale 1/8 | cjpeg", ours, full - start, "djpeg|cjpeg");
}

// 2000 dated photos in `folder`, all with distinct contents and a settled age.
void MakePhotos(const std::string& dir, const std::string& folder, int count) {
  const std::string templ = dir + "/template.jpg";
  const std::string placeholder = "2099:09:09 09:09:09";
  MakePicture({"-size", "64x48", "plasma:", "-seed", "5", templ});
  Tool({"/usr/bin/exiftool", "-q", "-overwrite_original", "-DateTimeOriginal=" + placeholder, templ});
  const std::vector<uint8_t> base = ReadBytes(templ);
  fs::create_directories(folder);
  for (int i = 0; i < count; ++i) {
    std::vector<uint8_t> b = base;
    auto at = std::search(b.begin(), b.end(), placeholder.begin(), placeholder.end());
    char date[32];
    std::snprintf(date, sizeof date, "20%02d:%02d:%02d 10:11:12", 10 + i % 10, 1 + i % 12, 1 + i % 28);
    std::copy(date, date + 19, at);
    const std::string tag = "photo " + std::to_string(i);
    std::vector<uint8_t> com = {0xFF, 0xFE, 0, uint8_t(tag.size() + 2)};
    com.insert(com.end(), tag.begin(), tag.end());
    b.insert(b.begin() + 2, com.begin(), com.end());
    const std::string path = folder + "/p" + std::to_string(i) + ".jpg";
    WriteBytes(path, b);
    SetOld(path);
  }
}

void ExifDates(const std::string& dir, int count) {
  const std::string folder = dir + "/exif";
  MakePhotos(dir, folder, count);
  std::vector<std::string> files;
  for (const auto& e : fs::directory_iterator(folder)) files.push_back(e.path());
  double ours = 1e30;
  int read = 0;
  for (int round = 0; round < 3; ++round) {
    const auto t = Clock::now();
    read = 0;
    for (const std::string& f : files) {
      ExifRecord r;
      if (GetExifInfo(f, r) == 0 && r.dateTime[0]) ++read;
    }
    ours = std::min(ours, Seconds(t));
  }
  std::printf("EXIF dates of %d files (%d read; %.0f files/s):\n", count, read, count / ours);
  const std::string one = files.front();
  const auto exiftool = [&](const std::string& what) {
    return TimeShell("exiftool -fast2 -q -s3 -DateTimeOriginal " + what + " > /dev/null", 2);
  };
  Ratio("vs exiftool -fast2", ours, exiftool("'" + folder + "'") - exiftool("'" + one + "'"), "exiftool");
  if (Have("exiv2")) {
    const auto exiv2 = [&](const std::string& what) {
      return TimeShell("exiv2 -q -g Exif.Photo.DateTimeOriginal -Pv " + what + " > /dev/null", 2);
    };
    Ratio("vs exiv2", ours, exiv2("'" + folder + "'/*.jpg") - exiv2("'" + one + "'"), "exiv2");
  } else {
    Ratio("vs exiv2", ours, -1, "exiv2");
  }
}

void Sorting(const std::string& dir, int count) {
  const std::string ours = dir + "/sort_ours", theirs = dir + "/sort_exiftool";
  MakePhotos(dir, ours, count);
  fs::create_directories(theirs);
  for (const auto& e : fs::directory_iterator(ours)) fs::copy_file(e.path(), theirs + "/" + e.path().filename().string());
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(ours)) names.push_back(e.path().filename());
  const auto t = Clock::now();
  const int moved = TidingFileList(ours, names);
  const double oursTime = Seconds(t);
  const double peer = TimeShell("cd '" + theirs + "' && exiftool -q -d %Y-%m-%d '-Directory<DateTimeOriginal' .", 1);
  std::printf("Sorting %d photos into date folders (%d moved):\n", count, moved);
  Ratio("vs exiftool '-Directory<...'", oursTime, peer, "exiftool");
}

}  // namespace

int main(int argc, char** argv) {
  bench::StartRun(argc, argv,
                  "usage: picture_bench [PHOTOS]\n"
                  "  Thumbnails, EXIF dates and sorting of PHOTOS pictures (default 2000) against\n"
                  "  vipsthumbnail, djpeg|cjpeg, exiftool and exiv2.\n", 1);
  const int count = argc > 1 ? std::max(10, std::atoi(argv[1])) : 2000;
  char templ[] = "/tmp/quarlo-picture-bench-XXXXXX";
  if (!mkdtemp(templ)) return 0;
  const std::string dir = templ;
  try {
    Thumbnails(dir);
    ExifDates(dir, count);
    Sorting(dir, count);
  } catch (const std::exception& e) {
    std::printf("picture benchmark stopped: %s\n", e.what());
  }
  fs::remove_all(dir);
  return 0;
}
