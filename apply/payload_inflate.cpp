// The deflated payload's codec. zlib's inflateBack inflates a whole stream in
// one call into a window the caller owns and hands out each window as it
// fills; here the windows are gathered into the writer's chunks. It is the
// smaller half of zlib's inflate (no gzip, so no CRC-32 tables), which keeps
// the updater that links it small; an updater with a raw payload links none.
#define ZLIB_CONST
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "apply/payload_source.h"
#include "apply/progress.h"

namespace payload {
namespace {

constexpr uint32_t kWindowSize = 1u << 15;  // zlib's largest, as payloadtool deflates

// One file's inflation: the stream, the window inflateBack fills, and the chunk
// the writer is handed, gathered from windows.
struct Inflation {
  const unsigned char* stream;
  uint32_t streamSize;
  uint32_t size;      // the file's stated size
  uint32_t received;  // bytes inflated so far
  uint32_t written;   // bytes the writer has stored
  uint32_t pending;   // bytes at the chunk's start not yet stored
  uLong adler;        // Adler-32 of the bytes inflated so far
  ChunkWriter write;
  void* context;
  bool inputGiven;
  bool writeFailed;
  unsigned char window[kWindowSize];
  unsigned char chunk[progress::kChunkLimit];
};

// Hands the writer every chunk the gathered bytes fill: ChunkSize of what is
// left, as for a raw file. After a short write the rest waits for more bytes.
bool WriteFullChunks(Inflation& f) {
  for (;;) {
    const uint32_t want = progress::ChunkSize(f.size - f.written);
    if (want == 0 || f.pending < want) return true;
    uint32_t stored = 0;
    if (!f.write(f.context, f.chunk, want, &stored) || stored == 0 || stored > want) {
      f.writeFailed = true;
      return false;
    }
    f.written += stored;
    f.pending -= stored;
    std::memmove(f.chunk, f.chunk + stored, f.pending);
  }
}

// inflateBack's input: the whole stream at once; asked again, there is no more.
unsigned GiveInput(void* descriptor, const unsigned char** input) {
  auto& f = *static_cast<Inflation*>(descriptor);
  if (f.inputGiven) return 0;
  f.inputGiven = true;
  *input = f.stream;
  return f.streamSize;
}

// inflateBack's output: a window's worth of bytes. Non-zero stops it.
int TakeOutput(void* descriptor, unsigned char* bytes, unsigned count) {
  auto& f = *static_cast<Inflation*>(descriptor);
  if (count > f.size - f.received) return 1;  // longer than stated: damaged
  f.received += count;
  f.adler = adler32(f.adler, bytes, count);
  while (count != 0) {
    const uint32_t take = std::min<uint32_t>(count, progress::kChunkLimit - f.pending);
    std::memcpy(f.chunk + f.pending, bytes, take);
    f.pending += take;
    bytes += take;
    count -= take;
    if (!WriteFullChunks(f)) return 1;
  }
  return 0;
}

uint32_t ReadBigEndian32(const unsigned char* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

Outcome WriteDeflatedChunks(const unsigned char* stream, uint32_t streamSize, uint32_t size,
                            ChunkWriter write, void* context) {
  // The zlib stream's header: deflate, a window of at most 32 KiB, no preset
  // dictionary, and its check bits; then the deflate data and, last, the
  // Adler-32 of the file's bytes (big-endian).
  if (streamSize < 2 + 4 || (stream[0] & 0x0F) != 8 || (stream[0] >> 4) > 7 || (stream[1] & 0x20) != 0 ||
      (stream[0] * 256u + stream[1]) % 31 != 0) {
    return Outcome::kDamaged;
  }
  auto* f = static_cast<Inflation*>(std::malloc(sizeof(Inflation)));
  if (!f) return Outcome::kDamaged;
  f->stream = stream + 2;
  f->streamSize = streamSize - 2;
  f->size = size;
  f->received = f->written = f->pending = 0;
  f->adler = adler32(0, nullptr, 0);
  f->write = write;
  f->context = context;
  f->inputGiven = f->writeFailed = false;

  Outcome outcome = Outcome::kDamaged;
  z_stream z = {};
  if (inflateBackInit(&z, 15, f->window) == Z_OK) {
    const int result = inflateBack(&z, GiveInput, f, TakeOutput, f);
    // What inflateBack left of the input is the check value, and no more.
    if (f->writeFailed) {
      outcome = Outcome::kWriteFailed;
    } else if (result == Z_STREAM_END && f->received == size && f->written == size && z.avail_in == 4 &&
               ReadBigEndian32(z.next_in) == f->adler) {
      outcome = Outcome::kWritten;
    }
    inflateBackEnd(&z);
  }
  std::free(f);
  return outcome;
}

}  // namespace
}  // namespace payload

extern const PayloadCodec kDeflatedPayload = {payload::WriteDeflatedChunks};
