#pragma once
// The skin pictures are PNG files compiled into the program and found by their number, each
// drawn twice: at its natural size (1x) and at twice that for HiDPI screens (2x).
#include <cstddef>

struct SkinResource {
  int id;
  const unsigned char* data;  // 1x
  size_t size;
  const unsigned char* data2x;
  size_t size2x;
};

const SkinResource* SkinResources(size_t& count);
// The bytes of picture id, or nullptr.
const SkinResource* FindSkinResource(int id);
