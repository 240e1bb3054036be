// Arithmetic of the payload writer that needs no operating system: how the
// payload is cut into chunks, the percentage shown after each chunk, and the
// megabyte counts of the free-space check.
#pragma once

#include <cstdint>

namespace progress {

// One WriteFile moves at most this many bytes (0xFFFE, not 64 KiB).
inline constexpr uint32_t kChunkLimit = 0xFFFE;

// The next chunk when `remaining` bytes of a file are still to be written.
constexpr uint32_t ChunkSize(uint32_t remaining) { return remaining < kChunkLimit ? remaining : kChunkLimit; }

// The whole percentage for `running` bytes of `grandTotal`. The grand total is
// taken as the single-precision value the writer converts once per file, so a
// total of 2^24 bytes or more may end on 99. Never above 100, and 100 when the
// total is zero, so a bad total cannot make the truncation overflow.
int Percent(uint32_t running, float grandTotal);

// Bytes to megabytes (2^20): the 64-bit count shifted, keeping the low 32 bits.
constexpr uint32_t Megabytes(uint64_t bytes) { return static_cast<uint32_t>(bytes >> 20); }

// Remembers the percentage last shown, so the controls are only set when it
// changes: setting the same value again repaints them for nothing.
class PercentDisplay {
 public:
  // True, and the value taken as shown, when `percent` differs from the last one.
  bool Update(int percent) {
    if (percent == shown_) return false;
    shown_ = percent;
    return true;
  }

 private:
  int shown_ = -1;  // nothing shown yet
};

}  // namespace progress
