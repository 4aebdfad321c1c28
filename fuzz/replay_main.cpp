// Replays fuzz inputs without libFuzzer: every file named on the command line (or found in a
// named folder) is fed as is, then as a few thousand deterministic mutations (cuts, byte flips,
// inserted bytes, duplicated halves), so the normal build catches shallow faults in every
// parser while the libFuzzer build searches deeply.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

constexpr int kMutationsPerSeed = 2000;

void Feed(const std::vector<uint8_t>& bytes) {
  // A copy of its own, so reads past the end show up under a sanitizer or valgrind.
  std::vector<uint8_t> copy(bytes);
  LLVMFuzzerTestOneInput(copy.empty() ? nullptr : copy.data(), copy.size());
}

std::vector<uint8_t> Mutate(const std::vector<uint8_t>& seed, std::mt19937& rng) {
  std::vector<uint8_t> out(seed);
  const int edits = 1 + static_cast<int>(rng() % 4);
  for (int e = 0; e < edits; ++e) {
    const size_t pos = out.empty() ? 0 : rng() % out.size();
    switch (rng() % 6) {
      case 0: out.resize(pos); break;
      case 1: if (!out.empty()) out[pos] ^= static_cast<uint8_t>(1u << (rng() % 8)); break;
      case 2: if (!out.empty()) out[pos] = static_cast<uint8_t>(rng()); break;
      case 3: out.insert(out.begin() + static_cast<long>(pos), static_cast<uint8_t>(rng())); break;
      case 4: {
        static const uint8_t kEdges[] = {0x00, 0x01, 0x7f, 0x80, 0xff, '/', '.', '\\', '%'};
        if (!out.empty()) out[pos] = kEdges[rng() % sizeof(kEdges)];
        break;
      }
      default: {
        std::vector<uint8_t> tail(out.begin() + static_cast<long>(pos), out.end());
        out.insert(out.end(), tail.begin(), tail.end());
        break;
      }
    }
  }
  return out;
}

bool ReadFile(const std::filesystem::path& p, std::vector<uint8_t>& out) {
  std::ifstream in(p, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    std::error_code ec;
    const std::filesystem::path arg(argv[i]);
    if (std::filesystem::is_directory(arg, ec)) {
      for (const auto& entry : std::filesystem::directory_iterator(arg, ec))
        if (entry.is_regular_file()) files.push_back(entry.path());
    } else {
      files.push_back(arg);
    }
  }
  if (files.empty()) {
    std::fprintf(stderr, "usage: %s SEED_FILE_OR_FOLDER...\n", argv[0]);
    return 2;
  }
  std::mt19937 rng(20261210);
  Feed({});
  for (const auto& f : files) {
    std::vector<uint8_t> seed;
    if (!ReadFile(f, seed)) {
      std::fprintf(stderr, "cannot read %s\n", f.c_str());
      return 2;
    }
    Feed(seed);
    for (int i = 0; i < kMutationsPerSeed; ++i) Feed(Mutate(seed, rng));
  }
  std::printf("replayed %zu seeds with %d mutations each\n", files.size(), kMutationsPerSeed);
  return 0;
}
