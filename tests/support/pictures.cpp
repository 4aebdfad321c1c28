#include "tests/support/pictures.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "tests/support/service_process.h"

std::string Tool(const std::vector<std::string>& argv) {
  const ProgramResult r = RunProgram(argv);
  if (r.exitCode != 0) {
    std::string line;
    for (const auto& a : argv) line += a + " ";
    throw std::runtime_error(line + "failed: " + r.output);
  }
  return r.output;
}

void MakePicture(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"/usr/bin/convert"};
  argv.insert(argv.end(), args.begin(), args.end());
  Tool(argv);
}

std::string Identify(const std::string& path, const std::string& format) {
  return Tool({"/usr/bin/identify", "-format", format, path});
}

double Psnr(const std::string& a, const std::string& b) {
  // compare exits 1 when the pictures differ; the metric goes to stderr.
  const ProgramResult r = RunProgram({"/usr/bin/compare", "-metric", "PSNR", a, b, "null:"});
  if (r.exitCode != 0 && r.exitCode != 1) throw std::runtime_error("compare failed: " + r.output);
  if (r.output.find("inf") != std::string::npos) return 1000.0;
  return std::stod(r.output);
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

namespace {
// Walks the marker sections before the scan; calls f(code, offset, payload offset, length).
template <typename F>
void WalkMarkers(const std::vector<uint8_t>& j, F f) {
  size_t p = 2;
  while (p + 4 <= j.size() && j[p] == 0xFF) {
    const uint8_t code = j[p + 1];
    const size_t len = (size_t(j[p + 2]) << 8) | j[p + 3];
    if (len < 2 || p + 2 + len > j.size()) return;
    if (!f(code, p, p + 4, len - 2)) return;
    if (code == 0xDA) return;
    p += 2 + len;
  }
}
}  // namespace

std::vector<std::string> JpegMarkers(const std::vector<uint8_t>& jpeg, uint8_t code) {
  std::vector<std::string> out;
  WalkMarkers(jpeg, [&](uint8_t c, size_t, size_t payload, size_t n) {
    if (c == code) out.emplace_back(jpeg.begin() + long(payload), jpeg.begin() + long(payload + n));
    return true;
  });
  return out;
}

long FindMarker(const std::vector<uint8_t>& jpeg, uint8_t code) {
  long at = -1;
  WalkMarkers(jpeg, [&](uint8_t c, size_t off, size_t, size_t) {
    if (c == code) {
      at = long(off);
      return false;
    }
    return true;
  });
  return at;
}
