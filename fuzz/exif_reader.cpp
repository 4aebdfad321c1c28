// The EXIF reader: any bytes as a JPEG file's sections, and as an APP1 payload on its own.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "service/pictures/exif.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if (data[0] & 1) {
    CExifReader reader;
    reader.ParseExifSegment(data + 1, size - 1);
    return 0;
  }
  FILE* f = fmemopen(const_cast<uint8_t*>(data + 1), size - 1, "rb");
  if (!f) return 0;
  CExifReader reader;
  reader.ReadJpegSections(f);
  std::fclose(f);
  return 0;
}
