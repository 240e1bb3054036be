// File checksums as the installation check and the record library use them:
// a wrapping byte sum and an XOR of the little-endian words at offsets that
// are multiples of 4, optionally leaving out a 12-byte span (the record
// library's own record values).
#pragma once

#include <cstddef>
#include <cstdint>

struct FileChecksum {
  uint32_t byteSum;  // sum of all bytes taken, modulo 2^32
  uint32_t wordXor;  // XOR of the little-endian words that begin at offsets 0, 4, 8, ...
};

// Length of the span that a hole leaves out.
constexpr uint32_t kChecksumHoleLength = 12;

// Scans data[0, size). With hasHole, the scan skips the 12 bytes at
// holeOffset when it reaches exactly that offset; a hole at or beyond size
// skips nothing, and a span that reaches past the end ends the scan. Words
// are chosen by absolute offset: a word that begins before an unaligned hole
// is taken whole, one that begins inside it is left out.
//
// The last 1 to 3 bytes of a size that is not a multiple of 4 enter the word
// XOR as a little-endian word padded with zero bytes; nothing past data[size)
// is ever read.
FileChecksum ScanFileChecksum(const unsigned char* data, size_t size, bool hasHole, uint32_t holeOffset);

// The same result one byte at a time, exactly as the definition reads.
// Slow; kept as the oracle for tests and the baseline for benchmarks.
FileChecksum ScanFileChecksumReference(const unsigned char* data, size_t size, bool hasHole,
                                       uint32_t holeOffset);

// The block kernels a scan can use. ScanFileChecksum takes the fastest that
// the CPU runs (AVX-512 VL with VNNI, else AVX2, both on x86-64 only; else
// SSE2 where built; else portable); tests force each one against the reference.
enum class ChecksumKernel { kPortable, kSse2, kAvx2, kAvx512Vnni };

// True when this build has the kernel and this CPU runs it.
bool ChecksumKernelAvailable(ChecksumKernel kernel);

// ScanFileChecksum with the given kernel (the portable one if it is not available).
FileChecksum ScanFileChecksumWithKernel(ChecksumKernel kernel, const unsigned char* data, size_t size,
                                        bool hasHole, uint32_t holeOffset);

inline bool operator==(FileChecksum a, FileChecksum b) {
  return a.byteSum == b.byteSum && a.wordXor == b.wordXor;
}

// The checksum of a file taken piece by piece as it streams past (pieces of
// any length, in file order): the same result as one scan of the whole file.
class ChecksumRun {
 public:
  void Add(const unsigned char* data, size_t size);
  FileChecksum Value() const { return value_; }
  uint64_t Length() const { return length_; }

 private:
  FileChecksum value_{0, 0};
  uint64_t length_ = 0;
};
