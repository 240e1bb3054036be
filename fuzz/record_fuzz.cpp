// Record texts and hex fields from arbitrary bytes, and the block checksum
// against the byte-at-a-time one with a fuzzed hole.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "verify/checksum.h"
#include "verify/record.h"

namespace {

// The hex field read the way its description puts it, by other means: the
// leading run of [0-9a-fx] (capitals folded), the digits after its last x,
// of which only the last eight fit in 32 bits.
uint32_t HexModel(const std::string& text) {
  std::string run;
  for (char c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == 'x')) break;
    run.push_back(c);
  }
  const size_t x = run.rfind('x');
  std::string digits = x == std::string::npos ? run : run.substr(x + 1);
  if (digits.size() > 8) digits = digits.substr(digits.size() - 8);
  return digits.empty() ? 0 : static_cast<uint32_t>(std::strtoul(digits.c_str(), nullptr, 16));
}

// Text up to the first zero byte, at most limit bytes.
std::string TextOf(const unsigned char* bytes, size_t limit) {
  size_t n = 0;
  while (n < limit && bytes[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(bytes), n);
}

uint32_t Little32(const unsigned char* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void CheckHexFields(const std::vector<unsigned char>& record, size_t bound) {
  const std::string text = TextOf(record.data(), record.size());
  // With a terminator: a C string.
  FUZZ_CHECK(ParseHexField(text.c_str()) == HexModel(text));
  // Without one: an exact heap copy, so reading one byte too far trips ASan.
  std::unique_ptr<char[]> exact(new char[record.size() ? record.size() : 1]);
  if (!record.empty()) std::memcpy(exact.get(), record.data(), record.size());
  FUZZ_CHECK(ParseHexFieldBounded(exact.get(), record.size()) == HexModel(text));
  bound = bound % (record.size() + 1);
  FUZZ_CHECK(ParseHexFieldBounded(exact.get(), bound) == HexModel(text.substr(0, bound)));
}

void CheckRecordBuffer(const std::vector<unsigned char>& record, unsigned char (&buffer)[kRecordBufferSize],
                       bool* loaded) {
  std::memset(buffer, 0xA5, sizeof buffer);
  *loaded = CopyRecordToBuffer(record.data(), record.size(), buffer);
  FUZZ_CHECK(*loaded == (record.size() <= kRecordBufferSize));
  for (size_t i = 0; i < kRecordBufferSize; ++i) {
    const unsigned char expected = !*loaded ? 0xA5 : i < record.size() ? record[i] : 0;
    FUZZ_CHECK(buffer[i] == expected);
  }
  if (!*loaded) return;

  const FileChecksum file = ReadFileRecord(buffer);
  FUZZ_CHECK(file.byteSum == HexModel(TextOf(buffer, 8)));
  FUZZ_CHECK(file.wordXor == HexModel(TextOf(buffer + 8, kRecordBufferSize - 8)));
  const SelfRecordValues self = ReadSelfRecord(buffer);
  FUZZ_CHECK(self.holeOffset == Little32(buffer + 4));
  FUZZ_CHECK(self.checksum.byteSum == Little32(buffer + 8));
  FUZZ_CHECK(self.checksum.wordXor == Little32(buffer + 12));
}

void CheckChecksums(const unsigned char* file, size_t size, uint32_t hole) {
  const FileChecksum whole = ScanFileChecksumReference(file, size, false, 0);
  FUZZ_CHECK(ScanFileChecksum(file, size, false, 0) == whole);
  // The hole flag off ignores the offset.
  FUZZ_CHECK(ScanFileChecksum(file, size, false, hole) == whole);
  const FileChecksum holed = ScanFileChecksumReference(file, size, true, hole);
  FUZZ_CHECK(ScanFileChecksum(file, size, true, hole) == holed);
  // Every kernel this CPU can run, not only the one picked for it.
  for (ChecksumKernel kernel : {ChecksumKernel::kPortable, ChecksumKernel::kSse2, ChecksumKernel::kAvx2,
                                ChecksumKernel::kAvx512Vnni}) {
    if (!ChecksumKernelAvailable(kernel)) continue;
    FUZZ_CHECK(ScanFileChecksumWithKernel(kernel, file, size, false, 0) == whole);
    FUZZ_CHECK(ScanFileChecksumWithKernel(kernel, file, size, true, hole) == holed);
  }
}

// Records written for a file's checksums must match that file, through the
// same buffer the check reads them from.
void CheckWrittenRecordsMatch(const unsigned char* file, size_t size, uint32_t hole) {
  unsigned char buffer[kRecordBufferSize];
  char text[kFileRecordLength + 1];
  FormatFileRecord(ScanFileChecksumReference(file, size, false, 0), text);
  FUZZ_CHECK(CopyRecordToBuffer(reinterpret_cast<const unsigned char*>(text), kFileRecordLength, buffer));
  FUZZ_CHECK(MatchFileRecord(buffer, file, size) == 1);

  const SelfRecordValues values{hole, ScanFileChecksumReference(file, size, true, hole)};
  unsigned char self[kSelfRecordSize];
  FormatSelfRecord(values, self);
  FUZZ_CHECK(std::memcmp(self, "/**/", 4) == 0);
  FUZZ_CHECK(CopyRecordToBuffer(self, sizeof self, buffer));
  const SelfRecordValues read = ReadSelfRecord(buffer);
  FUZZ_CHECK(read.holeOffset == hole && read.checksum == values.checksum);
  FUZZ_CHECK(MatchSelfRecord(buffer, file, size) == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const uint8_t flags = in.ConsumeIntegral<uint8_t>();
  const uint32_t holeRaw = in.ConsumeIntegral<uint32_t>();
  const uint16_t bound = in.ConsumeIntegral<uint16_t>();
  const uint16_t grownWords = in.ConsumeIntegral<uint16_t>();
  const std::vector<unsigned char> record =
      in.ConsumeBytes<unsigned char>(in.ConsumeIntegralInRange<size_t>(0, kRecordBufferSize + 8));
  std::vector<unsigned char> content = in.ConsumeRemainingBytes<unsigned char>();

  CheckHexFields(record, bound);
  unsigned char buffer[kRecordBufferSize];
  bool loaded = false;
  CheckRecordBuffer(record, buffer, &loaded);

  // Larger files (to 16 KiB) repeat the content, so the block loop's lane
  // flushes (every 8 KiB) are reached too.
  if ((flags & 0x40) != 0 && !content.empty()) {
    const size_t grown = size_t{grownWords} % 4096 * 4 + (flags & 3);
    std::vector<unsigned char> repeated(grown);
    for (size_t i = 0; i < grown; ++i) repeated[i] = content[i % content.size()];
    content.swap(repeated);
  }
  // The file sits at the end of an exact allocation, starting off any alignment.
  const size_t misalign = flags & 15;
  std::unique_ptr<unsigned char[]> storage(new unsigned char[misalign + content.size()]);
  unsigned char* file = storage.get() + misalign;
  if (!content.empty()) std::memcpy(file, content.data(), content.size());
  const size_t fileSize = content.size();
  std::unique_ptr<unsigned char[]> exact(new unsigned char[fileSize]);
  if (fileSize) std::memcpy(exact.get(), content.data(), fileSize);

  // Holes near the content are the interesting ones; keep a few raw values too.
  const uint32_t hole = (flags & 0x80) != 0 ? holeRaw : static_cast<uint32_t>(holeRaw % (fileSize + 16));
  CheckChecksums(file, fileSize, hole);
  CheckChecksums(exact.get(), fileSize, hole);
  CheckWrittenRecordsMatch(exact.get(), fileSize, hole);

  if (loaded) {
    const bool fileMatch =
        ScanFileChecksumReference(exact.get(), fileSize, false, 0) == ReadFileRecord(buffer);
    FUZZ_CHECK(MatchFileRecord(buffer, exact.get(), fileSize) == (fileMatch ? 1 : 0));
    const SelfRecordValues stated = ReadSelfRecord(buffer);
    const bool selfMatch =
        ScanFileChecksumReference(exact.get(), fileSize, true, stated.holeOffset) == stated.checksum;
    FUZZ_CHECK(MatchSelfRecord(buffer, exact.get(), fileSize) == (selfMatch ? 1 : 0));
  }
  return 0;
}
