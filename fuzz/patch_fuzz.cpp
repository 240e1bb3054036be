// The patch decoder on any input: it never reads the base outside its size,
// hands the writer only the chunks a raw file of the stated size is written
// in and never more bytes than that size, and says kWritten only for exactly
// the file the patch names.
//
// Input: byte 0, then a base (a 2-byte length, then its bytes), then either a
// whole patch as the updater carries it (byte 0 odd; its base fields are set
// to the base's, as the updater applies a patch only to the base it names) or
// (byte 0 even) the new file's size and checksum (4, 4 and 4 bytes, as the
// header holds them) and the inflated stream, which is wrapped
// here in a zlib stream and a header with the transform flags of byte 0's
// bits 1-2, so that the fuzzer reaches the blocks without first having to
// make deflate data.
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "apply/patch_apply.h"
#include "apply/progress.h"
#include "fuzz/fuzz_check.h"
#include "verify/checksum.h"

namespace {

struct Base {
  const unsigned char* bytes;
  uint32_t size;
  std::vector<unsigned char> window;  // each read is a copy: the decoder may keep no pointer past the next
};

const unsigned char* ReadBase(void* context, uint32_t offset, uint32_t length) {
  auto& b = *static_cast<Base*>(context);
  FUZZ_CHECK(length != 0 && length <= patch::kSegmentSize);
  FUZZ_CHECK(offset <= b.size && length <= b.size - offset);
  b.window.assign(b.bytes + offset, b.bytes + offset + length);
  return b.window.data();
}

struct Output {
  uint32_t size;  // the new file's stated size
  std::vector<unsigned char> bytes;
};

bool Store(void* context, const unsigned char* bytes, uint32_t count, uint32_t* stored) {
  auto& o = *static_cast<Output*>(context);
  FUZZ_CHECK(o.bytes.size() < o.size);
  FUZZ_CHECK(count == progress::ChunkSize(o.size - static_cast<uint32_t>(o.bytes.size())));
  // Every third chunk stores a little less, as a short write would.
  *stored = count > 3 && o.bytes.size() % 3 == 1 ? count - 3 : count;
  o.bytes.insert(o.bytes.end(), bytes, bytes + *stored);
  return true;
}

uint32_t Read32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3 || size > (1u << 20)) return 0;
  const uint8_t mode = data[0];
  const uint32_t baseSize = uint32_t{data[1]} | uint32_t{data[2]} << 8;
  if (size - 3 < baseSize) return 0;
  Base base{data + 3, baseSize, {}};
  const uint8_t* rest = data + 3 + baseSize;
  const size_t restSize = size - 3 - baseSize;
  const FileChecksum baseChecksum = ScanFileChecksum(base.bytes, base.size, false, 0);

  std::vector<unsigned char> patch;
  if (mode & 1) {
    patch.assign(rest, rest + restSize);
  } else {
    if (restSize < 12) return 0;
    // Sizes up to 256 KiB: beyond, a stream of zero runs only takes longer.
    const uint32_t newSize = Read32(rest) & 0x3FFFF;
    const patch::Header header = {
        (mode >> 1) & 3u, baseSize, baseChecksum, newSize, {Read32(rest + 4), Read32(rest + 8)}};
    unsigned char bytes[patch::kHeaderSize];
    patch::WriteHeader(header, bytes);
    patch.assign(bytes, bytes + sizeof bytes);
    uLongf deflated = compressBound(static_cast<uLong>(restSize - 12));
    patch.resize(patch::kHeaderSize + deflated);
    FUZZ_CHECK(compress2(patch.data() + patch::kHeaderSize, &deflated, rest + 12,
                         static_cast<uLong>(restSize - 12), 1) == Z_OK);
    patch.resize(patch::kHeaderSize + deflated);
  }
  patch::Header header;
  if (!patch::ReadHeader(patch.data(), static_cast<uint32_t>(patch.size()), &header)) return 0;
  // The updater applies a patch only to the base it names.
  if (patch.size() >= 20) {
    for (int i = 0; i < 4; ++i) {
      patch[8 + i] = static_cast<unsigned char>(baseSize >> (8 * i));
      patch[12 + i] = static_cast<unsigned char>(baseChecksum.byteSum >> (8 * i));
      patch[16 + i] = static_cast<unsigned char>(baseChecksum.wordXor >> (8 * i));
    }
  }
  FUZZ_CHECK(patch::ReadHeader(patch.data(), static_cast<uint32_t>(patch.size()), &header));
  if (header.newSize > (1u << 18)) return 0;

  Output output{header.newSize, {}};
  const payload::Outcome outcome = patch::WritePatchedFile(patch.data(), static_cast<uint32_t>(patch.size()),
                                                           ReadBase, &base, Store, &output);
  FUZZ_CHECK(outcome != payload::Outcome::kWriteFailed);
  if (outcome == payload::Outcome::kWritten) {
    FUZZ_CHECK(output.bytes.size() == header.newSize);
    FUZZ_CHECK(ScanFileChecksum(output.bytes.data(), output.bytes.size(), false, 0) == header.newChecksum);
  }
  return 0;
}
