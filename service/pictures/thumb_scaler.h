#pragma once
// The thumbnail scaler: decodes a JPEG at the coarsest DCT scale that still covers the
// requested size, resamples by nearest neighbour to exactly that size (aspect not kept) and
// encodes the result with "Thumb::" APP7 markers describing the source. libjpeg errors come
// back as failures (never exit()); sizes are checked against pixel budgets right after the
// header is read, so a crafted header fails fast with bounded memory.
// All jobs in flight share one memory budget: a job reserves what its header says it will need
// before it decodes (waiting a little for room while its asker still wants it), and libjpeg's
// progress monitor ends a decode past a scan count or a CPU budget, or once nobody waits.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct ThumbImage;  // one scaling job, owned by the caller between open and ThumbClose

// Source pixels (width x height) a header may announce, and decoded bytes the scaler may hold.
constexpr uint64_t kThumbMaxSourcePixels = 1ull << 27;  // 134 megapixels
constexpr uint64_t kThumbMaxDecodedBytes = 160ull << 20;
constexpr size_t kThumbMaxLibjpegMemory = 256u << 20;  // progressive coefficients and the like
constexpr uint64_t kThumbMemoryBudget = 320ull << 20;  // all jobs in flight together
constexpr int kThumbBudgetWaitMs = 5000;               // a job waits this long for room
constexpr int kThumbMaxScans = 100;                    // far beyond any camera's picture
constexpr int kThumbCpuBudgetMs = 3000;                // decoding CPU time of one job

constexpr int kThumbModeGrey = 0;
constexpr int kThumbModeRgb = 2;
constexpr int kThumbModeCmyk = 7;

constexpr int kThumbOk = 0;
constexpr int kThumbEncodeFailed = 2;
constexpr int kThumbDecodeFailed = 3;
constexpr int kThumbDecoderError = 4;
constexpr int kThumbRefused = 5;  // over the budget, too many scans or work, or nobody waits

// Openers read the header; null when the input is not a JPEG, is over budget or unreadable.
// `path` is the text of the URI marker. The descriptor is duplicated, the memory copied.
ThumbImage* ThumbOpenFile(const std::string& path);
ThumbImage* ThumbOpenFd(int fd, const std::string& path);
ThumbImage* ThumbOpenMemory(const uint8_t* data, size_t len, const std::string& path);

void ThumbSetDecodeSize(ThumbImage* img, int width, int height);  // clamped to 1..source
void ThumbSetQuality(ThumbImage* img, int quality);               // clamped to 0..100
void ThumbEnableInfo(ThumbImage* img, bool on);
// Output to a file (created, replaced); without one the output stays in memory.
void ThumbSetOutputFile(ThumbImage* img, const std::string& path);
// Asked during the work: false ends it (the asker is gone). Empty: always wanted.
void ThumbSetStillWanted(ThumbImage* img, std::function<bool()> stillWanted);
int ThumbGenerate(ThumbImage* img);  // kThumbOk or one of the failure codes
// The encoded thumbnail after a successful ThumbGenerate to memory (moved out).
std::vector<uint8_t> ThumbTakeOutput(ThumbImage* img);
void ThumbClose(ThumbImage* img);  // null is fine

// Read-only facts of an open image.
int ThumbSourceWidth(const ThumbImage* img);
int ThumbSourceHeight(const ThumbImage* img);
int ThumbColourMode(const ThumbImage* img);

// The shared budget. Reserve waits up to waitMs for room while stillWanted holds; false when
// the bytes do not fit (more than the whole budget never fits).
bool ThumbBudget_Reserve(uint64_t bytes, int waitMs, const std::function<bool()>& stillWanted);
void ThumbBudget_Release(uint64_t bytes);
uint64_t ThumbBudget_InUse();
void ThumbBudget_SetTotal(uint64_t bytes);  // tests; kThumbMemoryBudget by default

// The DCT scale denominator for a source and a thumbnail size: min of the integer ratios,
// clamped to 1..8.
int ThumbScaleDenominator(int srcW, int srcH, int thumbW, int thumbH);
