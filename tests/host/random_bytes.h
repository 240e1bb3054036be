// Bytes that look like nothing (no match, no run), the same for the same seed.
#pragma once

#include <cstddef>
#include <random>

#include "tools/patch_make.h"

inline tools::Bytes Random(size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  tools::Bytes bytes(size);
  for (auto& b : bytes) b = static_cast<unsigned char>(generator());
  return bytes;
}
