#include "apply/progress.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using progress::ChunkSize;
using progress::Megabytes;
using progress::Percent;
using progress::PercentDisplay;

// The percentages the writer would show for files of these sizes, written in
// order: one entry per change, as the dialog's text would see them.
std::vector<int> ShownPercentages(const std::vector<uint32_t>& sizes, int* chunks = nullptr) {
  uint32_t grandTotal = 0;
  for (uint32_t size : sizes) grandTotal += size;
  PercentDisplay display;
  std::vector<int> shown;
  uint32_t running = 0;
  int count = 0;
  for (uint32_t size : sizes) {
    const float total = static_cast<float>(grandTotal);
    for (uint32_t left = size; left != 0;) {
      const uint32_t chunk = ChunkSize(left);
      left -= chunk;
      running += chunk;
      ++count;
      const int percent = Percent(running, total);
      if (display.Update(percent)) shown.push_back(percent);
    }
  }
  if (chunks) *chunks = count;
  return shown;
}

TEST(ProgressTest, SamplePayloadShowsSixSteps) {
  int chunks = 0;
  EXPECT_EQ(ShownPercentages({325632, 2560}, &chunks), (std::vector<int>{19, 39, 59, 79, 99, 100}));
  EXPECT_EQ(chunks, 6);
}

TEST(ProgressTest, ChunksStopShortOf64KiB) {
  EXPECT_EQ(ChunkSize(0), 0u);
  EXPECT_EQ(ChunkSize(1), 1u);
  EXPECT_EQ(ChunkSize(65534), 65534u);
  EXPECT_EQ(ChunkSize(65535), 65534u);
  EXPECT_EQ(ChunkSize(0xFFFFFFFFu), 65534u);

  int chunks = 0;
  ShownPercentages({65534}, &chunks);
  EXPECT_EQ(chunks, 1);
  EXPECT_EQ(ShownPercentages({65535}, &chunks), (std::vector<int>{99, 100}));
  EXPECT_EQ(chunks, 2);
  // Empty files add no chunk and no change.
  EXPECT_TRUE(ShownPercentages({0, 0}, &chunks).empty());
  EXPECT_EQ(chunks, 0);
}

TEST(ProgressTest, LastChunkShowsHundredBelowTwoTo24) {
  // Totals whose single-precision value is exact end on exactly 100, whatever
  // the split into files.
  const std::vector<std::vector<uint32_t>> payloads = {
      {1}, {3, 7}, {65535, 1, 0}, {99999, 1}, {(1u << 24) - 1}, {(1u << 24) - 3, 1, 1}, {12345678, 3333333},
  };
  for (const auto& sizes : payloads) {
    const std::vector<int> shown = ShownPercentages(sizes);
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.back(), 100) << sizes.size() << " files, first " << sizes[0];
    for (size_t i = 1; i < shown.size(); ++i) EXPECT_LT(shown[i - 1], shown[i]);
  }
}

TEST(ProgressTest, PercentUsesTheSinglePrecisionTotal) {
  // 2^24 + 3 rounds up to 2^24 + 4 in single precision, so the whole payload
  // falls just short of 100.
  const uint32_t total = (1u << 24) + 3;
  EXPECT_EQ(Percent(total, static_cast<float>(total)), 99);
  // 2^24 + 1 rounds down; the quotient passes 100 only by a rounding error.
  EXPECT_EQ(Percent((1u << 24) + 1, static_cast<float>((1u << 24) + 1)), 100);
  EXPECT_EQ(Percent(0, 100.0f), 0);
  EXPECT_EQ(Percent(1, 100.0f), 1);
  EXPECT_EQ(Percent(199, 200.0f), 99);
  EXPECT_EQ(Percent(0xFFFFFFFFu, static_cast<float>(0xFFFFFFFFu)), 99);
  // A total that cannot be divided by never reaches the integer conversion.
  EXPECT_EQ(Percent(5, 0.0f), 100);
  EXPECT_EQ(Percent(5, 4.0f), 100);
}

TEST(ProgressTest, PercentDisplayReportsOnlyChanges) {
  PercentDisplay display;
  EXPECT_TRUE(display.Update(0));  // the first value is always shown, even 0
  EXPECT_FALSE(display.Update(0));
  EXPECT_TRUE(display.Update(1));
  EXPECT_FALSE(display.Update(1));
  EXPECT_TRUE(display.Update(0));
}

TEST(ProgressTest, MegabytesKeepTheLow32Bits) {
  struct Case {
    uint64_t bytes;
    uint32_t megabytes;
  };
  const Case cases[] = {
      {0, 0},
      {(1u << 20) - 1, 0},
      {1u << 20, 1},
      {0xFFFFFFFFull, 4095},
      {uint64_t{3} << 30, 3072},
      // 2^52 bytes is 2^32 megabytes: the count wraps to 0.
      {uint64_t{1} << 52, 0},
      {(uint64_t{1} << 52) + (uint64_t{5} << 20) + 7, 5},
      // The low half's top 12 bits joined with the high half's low 20 bits.
      {0x00012345'FFF00000ull, 0x12345FFFu},
      {0xFFFFFFFF'FFFFFFFFull, 0xFFFFFFFFu},
  };
  for (const Case& c : cases) EXPECT_EQ(Megabytes(c.bytes), c.megabytes) << std::hex << c.bytes;
}

}  // namespace
