// The thumbnail scaler's input: any bytes as a JPEG, scaled to a size taken from the input.
#include <cstddef>
#include <cstdint>

#include "service/pictures/thumb_scaler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int w = data[0] % 65, h = data[1] % 65;
  ThumbImage* img = ThumbOpenMemory(data + 2, size - 2, "fuzz");
  if (!img) return 0;
  ThumbSetDecodeSize(img, w, h);
  ThumbSetQuality(img, w > 40 ? 95 : 75);
  ThumbEnableInfo(img, true);
  ThumbGenerate(img);
  ThumbClose(img);
  return 0;
}
