// The BMP and PBM/PGM/PPM readers of the converter: any bytes as a picture file.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "service/pictures/jpeg_convert.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> out;
  ConvertMemoryToJpeg(data, size, out);
  return 0;
}
