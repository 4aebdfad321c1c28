#pragma once
// The skin pictures are PNG files compiled into the program and found by their number.
#include <cstddef>

struct SkinResource {
  int id;
  const unsigned char* data;
  size_t size;
};

const SkinResource* SkinResources(size_t& count);
// The bytes of picture id, or nullptr.
const SkinResource* FindSkinResource(int id);
