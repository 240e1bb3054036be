#include "verify/checksum.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace {

std::vector<unsigned char> RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<unsigned char> bytes(size);
  for (auto& b : bytes) b = static_cast<unsigned char>(rng());
  return bytes;
}

FileChecksum Scan(const std::vector<unsigned char>& bytes, bool hasHole = false, uint32_t hole = 0) {
  return ScanFileChecksum(bytes.data(), bytes.size(), hasHole, hole);
}

TEST(ChecksumTest, KnownVectors) {
  EXPECT_EQ(Scan({}), (FileChecksum{0, 0}));
  EXPECT_EQ(Scan({1, 2, 3, 4, 5, 6, 7, 8}), (FileChecksum{0x24, 0x0C040404}));
  // Every byte 0xFF over 8 KiB: the sum passes 16 bits, the words cancel.
  EXPECT_EQ(Scan(std::vector<unsigned char>(8192, 0xFF)), (FileChecksum{8192u * 255u, 0}));
  // A short tail is a word padded with zero bytes.
  EXPECT_EQ(Scan({1, 2, 3, 4, 5, 6}), (FileChecksum{21, 0x04030201u ^ 0x0605u}));
}

TEST(ChecksumTest, SwappingWholeWordsKeepsTheChecksum) {
  auto bytes = RandomBytes(4096, 1);
  FileChecksum before = Scan(bytes);
  std::swap_ranges(bytes.begin() + 8, bytes.begin() + 12, bytes.begin() + 2000);
  EXPECT_EQ(Scan(bytes), before);
  // Moving four bytes to another place in the word shifts them between XOR lanes.
  std::swap_ranges(bytes.begin() + 9, bytes.begin() + 13, bytes.begin() + 2002);
  EXPECT_NE(Scan(bytes), before);
}

TEST(ChecksumTest, HoleRules) {
  // 32 bytes 1..32; the expected values are worked out by hand from the rules.
  std::vector<unsigned char> bytes(32);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i + 1);
  auto word = [&](size_t at) {
    uint32_t w = 0;
    for (size_t j = 0; j < 4 && at + j < bytes.size(); ++j) w |= uint32_t{bytes[at + j]} << (8 * j);
    return w;
  };
  auto sum = [&](size_t from, size_t to) {
    uint32_t s = 0;
    for (size_t i = from; i < to; ++i) s += bytes[i];
    return s;
  };
  const struct {
    const char* what;
    uint32_t hole;
    FileChecksum expected;
  } cases[] = {
      {"aligned: its three words left out",
       8,
       {sum(0, 8) + sum(20, 32), word(0) ^ word(4) ^ word(20) ^ word(24) ^ word(28)}},
      {"unaligned: word at 8 taken whole, word at 20 left out",
       10,
       {sum(0, 10) + sum(22, 32), word(0) ^ word(4) ^ word(8) ^ word(24) ^ word(28)}},
      {"reaching exactly to the end", 20, {sum(0, 20), word(0) ^ word(4) ^ word(8) ^ word(12) ^ word(16)}},
      {"reaching past the end ends the scan",
       30,
       {sum(0, 30), word(0) ^ word(4) ^ word(8) ^ word(12) ^ word(16) ^ word(20) ^ word(24) ^ word(28)}},
      {"at the size skips nothing", 32, Scan(bytes)},
      {"beyond the size skips nothing", 0xFFFFFFFFu, Scan(bytes)},
      {"at offset 0", 0, {sum(12, 32), word(12) ^ word(16) ^ word(20) ^ word(24) ^ word(28)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Scan(bytes, true, c.hole), c.expected);
    EXPECT_EQ(ScanFileChecksumReference(bytes.data(), bytes.size(), true, c.hole), c.expected);
  }
}

// The fast scan takes different paths by length, alignment and hole position;
// every combination over small sizes must agree with the definition.
TEST(ChecksumTest, FastScanMatchesReferenceForEverySizeAndHole) {
  auto bytes = RandomBytes(320, 2);
  for (size_t size = 0; size <= 300; ++size) {
    // Also from an odd address, so no path depends on the buffer's alignment.
    for (size_t shift : {size_t{0}, size_t{3}}) {
      const unsigned char* data = bytes.data() + shift;
      ASSERT_EQ(ScanFileChecksum(data, size, false, 0), ScanFileChecksumReference(data, size, false, 0))
          << "size " << size << " shift " << shift;
      for (uint32_t hole = 0; hole <= size + 1; ++hole)
        ASSERT_EQ(ScanFileChecksum(data, size, true, hole), ScanFileChecksumReference(data, size, true, hole))
            << "size " << size << " hole " << hole << " shift " << shift;
    }
  }
}

TEST(ChecksumTest, FastScanMatchesReferenceOnLargeBuffers) {
  // Large enough for many flushes of the 16-bit lanes and for the prefetch.
  auto bytes = RandomBytes(3 * 1024 * 1024 + 7, 3);
  for (uint32_t hole : {0u, 5u, 0x548u, 1234567u, 3u * 1024 * 1024 - 1}) {
    SCOPED_TRACE(hole);
    EXPECT_EQ(Scan(bytes, true, hole), ScanFileChecksumReference(bytes.data(), bytes.size(), true, hole));
  }
  EXPECT_EQ(Scan(bytes), ScanFileChecksumReference(bytes.data(), bytes.size(), false, 0));
  // All 0xFF stresses the lane arithmetic at its limits.
  std::vector<unsigned char> ones(1 << 20, 0xFF);
  EXPECT_EQ(Scan(ones), ScanFileChecksumReference(ones.data(), ones.size(), false, 0));
}

// Each kernel, forced, against the definition. The kernels start on an aligned
// address and scan the unaligned head and the tail by bytes, so the start
// address matters as much as the size and the hole: starts are taken at
// several distances from a 64-byte boundary.
class ChecksumKernelTest : public ::testing::TestWithParam<ChecksumKernel> {
 protected:
  void SetUp() override {
    if (!ChecksumKernelAvailable(GetParam())) GTEST_SKIP() << "kernel not available on this build or CPU";
  }
  FileChecksum Fast(const unsigned char* data, size_t size, bool hasHole, uint32_t hole) const {
    return ScanFileChecksumWithKernel(GetParam(), data, size, hasHole, hole);
  }
};

// The first byte of `bytes` at or after a 64-byte boundary.
const unsigned char* Aligned64(const std::vector<unsigned char>& bytes) {
  const auto address = reinterpret_cast<uintptr_t>(bytes.data());
  return bytes.data() + (64 - address % 64) % 64;
}

TEST_P(ChecksumKernelTest, MatchesReferenceForEverySizeHoleAndStart) {
  // Up to past a 256-byte round after the longest head, with a 16-byte tail.
  auto bytes = RandomBytes(700, 4);
  for (size_t shift : {size_t{0}, size_t{3}, size_t{16}, size_t{33}, size_t{62}}) {
    const unsigned char* data = Aligned64(bytes) + shift;
    for (size_t size = 0; size <= 600; ++size) {
      ASSERT_EQ(Fast(data, size, false, 0), ScanFileChecksumReference(data, size, false, 0))
          << "size " << size << " shift " << shift;
      for (uint32_t hole = 0; hole <= size + 1; ++hole)
        ASSERT_EQ(Fast(data, size, true, hole), ScanFileChecksumReference(data, size, true, hole))
            << "size " << size << " hole " << hole << " shift " << shift;
    }
  }
}

TEST_P(ChecksumKernelTest, MatchesReferenceOnLargeBuffers) {
  // Many flushes of the narrow lane sums, from several starts.
  auto bytes = RandomBytes(3 * 1024 * 1024 + 200, 5);
  for (size_t shift : {size_t{0}, size_t{1}, size_t{34}}) {
    const unsigned char* data = Aligned64(bytes) + shift;
    const size_t size = 3 * 1024 * 1024 + 7;
    for (uint32_t hole : {0u, 5u, 0x548u, 1234567u, 3u * 1024 * 1024 - 1}) {
      SCOPED_TRACE(testing::Message() << "hole " << hole << " shift " << shift);
      EXPECT_EQ(Fast(data, size, true, hole), ScanFileChecksumReference(data, size, true, hole));
    }
    EXPECT_EQ(Fast(data, size, false, 0), ScanFileChecksumReference(data, size, false, 0));
  }
  // All 0xFF drives every lane sum to its limit before each flush.
  std::vector<unsigned char> ones((1 << 20) + 64 + 5, 0xFF);
  const unsigned char* data = Aligned64(ones) + 5;
  EXPECT_EQ(Fast(data, 1 << 20, false, 0), ScanFileChecksumReference(data, 1 << 20, false, 0));
}

INSTANTIATE_TEST_SUITE_P(Kernels, ChecksumKernelTest,
                         ::testing::Values(ChecksumKernel::kPortable, ChecksumKernel::kSse2,
                                           ChecksumKernel::kAvx2, ChecksumKernel::kAvx512Vnni),
                         [](const ::testing::TestParamInfo<ChecksumKernel>& kernel) {
                           switch (kernel.param) {
                             case ChecksumKernel::kPortable:
                               return "Portable";
                             case ChecksumKernel::kSse2:
                               return "Sse2";
                             case ChecksumKernel::kAvx2:
                               return "Avx2";
                             case ChecksumKernel::kAvx512Vnni:
                               return "Avx512Vnni";
                           }
                           return "Unknown";
                         });

#if defined(__x86_64__)
// Every x86-64 CPU runs SSE2, so a host test run never skips that kernel; the
// scan's own cpuid check must agree with the compiler's on the others.
TEST(ChecksumTest, KernelsAvailableAsTheCpuSays) {
  EXPECT_TRUE(ChecksumKernelAvailable(ChecksumKernel::kSse2));
  __builtin_cpu_init();
  EXPECT_EQ(ChecksumKernelAvailable(ChecksumKernel::kAvx2), __builtin_cpu_supports("avx2") != 0);
  EXPECT_EQ(ChecksumKernelAvailable(ChecksumKernel::kAvx512Vnni),
            __builtin_cpu_supports("avx512vl") != 0 && __builtin_cpu_supports("avx512vnni") != 0);
}
#endif

}  // namespace

// Taken as a file streams past, in pieces of any length (the writer's chunks
// are 65534 bytes, and a short write leaves odd ones), the checksum is the
// file's: every piece's bytes land in the lanes of their place in the file.
TEST(ChecksumTest, RunOverPiecesMatchesOneScan) {
  const auto bytes = RandomBytes(200000, 4);
  const std::vector<std::vector<size_t>> cuts = {
      {}, {1}, {2, 3}, {65534, 65534, 65534}, {3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5}, {7, 65534, 13, 0, 99999}};
  for (const auto& pieces : cuts) {
    ChecksumRun run;
    size_t at = 0;
    for (size_t piece : pieces) {
      piece = std::min(piece, bytes.size() - at);
      run.Add(bytes.data() + at, piece);
      at += piece;
    }
    run.Add(bytes.data() + at, bytes.size() - at);
    EXPECT_EQ(run.Value(), Scan(bytes));
    EXPECT_EQ(run.Length(), bytes.size());
  }
  // One byte changed anywhere changes it.
  auto changed = bytes;
  changed.back() ^= 0x01;
  ChecksumRun run;
  run.Add(changed.data(), changed.size());
  EXPECT_FALSE(run.Value() == Scan(bytes));
}
