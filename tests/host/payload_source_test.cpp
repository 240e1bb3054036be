#include "apply/payload_source.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "apply/progress.h"
#include "tools/payload_deflate.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Text-like bytes that deflate well, or random ones that do not deflate at all.
Bytes FileOf(size_t size, bool random) {
  Bytes file(size);
  std::mt19937 generator(static_cast<unsigned>(size));
  for (size_t i = 0; i < size; ++i) {
    file[i] = random ? static_cast<unsigned char>(generator())
                     : static_cast<unsigned char>("update "[i % 7] + i / 4096 % 3);
  }
  return file;
}

Bytes Deflated(const Bytes& file) {
  std::istringstream in(std::string(file.begin(), file.end()));
  std::ostringstream out;
  std::string error;
  EXPECT_TRUE(tools::DeflatePayload(in, file.size(), out, &error)) << error;
  const std::string text = out.str();
  return Bytes(text.begin(), text.end());
}

// What the writer sees of one file: every chunk offered and the bytes written.
// Each write stores at most `storeAtMost` bytes of the chunk (a short write
// leaves the rest for the next).
struct Written {
  payload::Outcome outcome = payload::Outcome::kDamaged;
  std::vector<uint32_t> chunks;
  Bytes bytes;
  uint32_t storeAtMost = UINT32_MAX;
};

bool Store(void* context, const unsigned char* bytes, uint32_t count, uint32_t* stored) {
  auto& w = *static_cast<Written*>(context);
  EXPECT_LE(count, progress::kChunkLimit);
  w.chunks.push_back(count);
  *stored = std::min(count, w.storeAtMost);
  w.bytes.insert(w.bytes.end(), bytes, bytes + *stored);
  return true;
}

Written WriteAll(const Bytes& resource, bool deflated, uint32_t storeAtMost = UINT32_MAX) {
  Written w;
  w.storeAtMost = storeAtMost;
  w.outcome = payload::WriteChunks(resource.data(), static_cast<uint32_t>(resource.size()),
                                   deflated ? &kDeflatedPayload : nullptr, Store, &w);
  return w;
}

// Deflated, a file goes to the writer in the chunks it would raw, short writes
// included, and comes out byte for byte.
TEST(PayloadSource, DeflatedFileComesInTheChunksOfTheRawOne) {
  const size_t sizes[] = {0, 1, 65533, 65534, 65535, 3 * 65534 + 7, (1 << 20) + 32};
  for (bool random : {false, true}) {
    for (size_t size : sizes) {
      for (uint32_t storeAtMost : {UINT32_MAX, 40000u}) {
        SCOPED_TRACE(std::to_string(size) + (random ? " random" : " text") + ", stores at most " +
                     std::to_string(storeAtMost));
        const Bytes file = FileOf(size, random);
        const Written raw = WriteAll(file, false, storeAtMost);
        const Written deflated = WriteAll(Deflated(file), true, storeAtMost);
        ASSERT_EQ(raw.outcome, payload::Outcome::kWritten);
        ASSERT_EQ(deflated.outcome, payload::Outcome::kWritten);
        EXPECT_EQ(deflated.chunks, raw.chunks);
        EXPECT_TRUE(deflated.bytes == file);
        EXPECT_TRUE(raw.bytes == file);
      }
    }
  }
  // The chunks are the writer's: 65534 bytes, then the rest.
  EXPECT_EQ(WriteAll(Deflated(FileOf(65535, false)), true).chunks, (std::vector<uint32_t>{65534, 1}));
  EXPECT_TRUE(WriteAll(Deflated(Bytes{}), true).chunks.empty());
}

TEST(PayloadSource, StatedSizeIsReadWithoutInflating) {
  const Bytes file = FileOf(100000, false);
  const Bytes resource = Deflated(file);
  uint32_t size = 0;
  ASSERT_TRUE(
      payload::FileSize(resource.data(), static_cast<uint32_t>(resource.size()), &kDeflatedPayload, &size));
  EXPECT_EQ(size, 100000u);
  ASSERT_TRUE(payload::FileSize(resource.data(), static_cast<uint32_t>(resource.size()), nullptr, &size));
  EXPECT_EQ(size, resource.size());
  EXPECT_LT(resource.size(), file.size() / 10);
}

// Damage is never written as a whole file: the header is refused before any
// chunk, the stream when it does not inflate, ends early or late, or fails its
// check value.
TEST(PayloadSource, DamagedDeflatedDataNeverEndsWhole) {
  const Bytes file = FileOf(200000, false);
  const Bytes good = Deflated(file);
  const auto stateSize = [](Bytes b, uint32_t size) {
    unsigned char header[payload::kDeflatedHeaderSize];
    payload::WriteDeflatedHeader(size, header);
    std::copy(header, header + sizeof header, b.begin());
    return b;
  };
  struct Case {
    const char* what;
    Bytes resource;
    bool anyChunk;  // whether chunks may be written before the damage is found
  };
  std::vector<Case> cases = {
      {"too short for its header", Bytes(good.begin(), good.begin() + 11), false},
      {"magic", good, false},
      {"size without its complement", good, false},
      {"size one more, header consistent", stateSize(good, 200001), true},
      {"size one less, header consistent", stateSize(good, 199999), true},
      {"stream cut short", Bytes(good.begin(), good.end() - 1), true},
      {"stream cut in half", Bytes(good.begin(), good.begin() + good.size() / 2), true},
      {"bytes after the stream", good, true},
      {"check value", good, true},
      {"block in the middle", good, true},
  };
  cases[1].resource[0] ^= 0x20;
  cases[2].resource[5] ^= 0x01;
  cases[7].resource.push_back(0);
  cases[8].resource.back() ^= 0x01;
  for (size_t i = good.size() / 2; i < good.size() / 2 + 8; ++i) cases[9].resource[i] ^= 0xA5;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Written w = WriteAll(c.resource, true);
    EXPECT_EQ(w.outcome, payload::Outcome::kDamaged);
    if (!c.anyChunk) {
      EXPECT_TRUE(w.chunks.empty());
    }
  }
}

// Random damage anywhere in the stream: either found, or harmless.
TEST(PayloadSource, RandomDamageIsFoundOrHarmless) {
  const Bytes file = FileOf(150000, false);
  const Bytes good = Deflated(file);
  std::mt19937 generator(7);
  for (int round = 0; round < 300; ++round) {
    Bytes damaged = good;
    const size_t at =
        payload::kDeflatedHeaderSize + generator() % (good.size() - payload::kDeflatedHeaderSize);
    damaged[at] ^= static_cast<unsigned char>(1 + generator() % 255);
    const Written w = WriteAll(damaged, true);
    if (w.outcome == payload::Outcome::kWritten) {
      EXPECT_TRUE(w.bytes == file) << "byte " << at;
    }
  }
}

// A chunk the writer fails stops the file there, raw or deflated.
TEST(PayloadSource, FailedWriteStopsTheFile) {
  const Bytes file = FileOf(5 * 65534, false);
  for (bool deflated : {false, true}) {
    struct Failing {
      int calls = 0;
    } failing;
    const Bytes resource = deflated ? Deflated(file) : file;
    const auto failThird = [](void* context, const unsigned char*, uint32_t count, uint32_t* stored) {
      *stored = count;
      return ++static_cast<Failing*>(context)->calls < 3;
    };
    EXPECT_EQ(payload::WriteChunks(resource.data(), static_cast<uint32_t>(resource.size()),
                                   deflated ? &kDeflatedPayload : nullptr, failThird, &failing),
              payload::Outcome::kWriteFailed);
    EXPECT_EQ(failing.calls, 3);
  }
}

TEST(PayloadDeflate, RefusesAFileTooLargeToCount) {
  std::istringstream in("");
  std::ostringstream out;
  std::string error;
  EXPECT_FALSE(tools::DeflatePayload(in, uint64_t{1} << 32, out, &error));
  EXPECT_NE(error.find("32 bits"), std::string::npos) << error;
  EXPECT_FALSE(tools::DeflatePayload(in, 10, out, &error));  // the file is shorter than its size
}

}  // namespace

namespace {

// The record the build carries beside a payload file, read in the pieces the
// tool reads, is the file's size and checksum, and reads back as written.
TEST(PayloadCheckRecord, HoldsTheFilesSizeAndChecksum) {
  for (const size_t size : {size_t{0}, size_t{3}, size_t{(1 << 20) + 5}}) {
    SCOPED_TRACE(size);
    const Bytes file = FileOf(size, true);
    std::istringstream in(std::string(file.begin(), file.end()));
    std::ostringstream out;
    std::string error;
    ASSERT_TRUE(tools::WriteCheckRecord(in, file.size(), out, &error)) << error;
    const std::string record = out.str();
    ASSERT_EQ(record.size(), payload::kCheckRecordSize);
    uint32_t stated = 0;
    FileChecksum checksum{};
    payload::ReadCheckRecord(reinterpret_cast<const unsigned char*>(record.data()), &stated, &checksum);
    EXPECT_EQ(stated, size);
    EXPECT_EQ(checksum, ScanFileChecksum(file.data(), file.size(), false, 0));
  }
  // A file that ends before its size was read whole by nobody.
  std::istringstream shortFile("abc");
  std::ostringstream out;
  std::string error;
  EXPECT_FALSE(tools::WriteCheckRecord(shortFile, 4, out, &error));
}

}  // namespace
