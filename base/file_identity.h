// A file as the file system knows it: its volume and its index there. A
// rename keeps it, a copy does not. Needs no operating system.
#pragma once

#include <cstdint>

struct FileIdentity {
  uint32_t volume;
  uint64_t index;
};

// Zero is "unknown" and matches nothing, not even itself.
inline bool SameFile(FileIdentity a, FileIdentity b) {
  return (a.volume | a.index) != 0 && a.volume == b.volume && a.index == b.index;
}
