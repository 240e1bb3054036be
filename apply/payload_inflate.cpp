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

#include "apply/inflate_stream.h"

namespace payload {
namespace {

// One stream's inflation: the input, the sink and the running check value.
struct Inflation {
  const unsigned char* stream;
  uint32_t streamSize;
  uLong adler;  // Adler-32 of the bytes inflated so far
  InflateSink sink;
  void* context;
  bool inputGiven;
};

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
  f.adler = adler32(f.adler, bytes, count);
  return f.sink(f.context, bytes, count) ? 0 : 1;
}

uint32_t ReadBigEndian32(const unsigned char* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

// A deflated payload file: its bytes, no more than its stated size, to the chunks.
struct DeflatedFile {
  uint32_t received;
  ChunkGather gather;
};

bool TakeFileBytes(void* context, const unsigned char* bytes, uint32_t count) {
  auto& f = *static_cast<DeflatedFile*>(context);
  if (count > f.gather.size - f.received) return false;  // longer than stated: damaged
  f.received += count;
  return GatherChunks(f.gather, bytes, count);
}

Outcome WriteDeflatedChunks(const unsigned char* stream, uint32_t streamSize, uint32_t size,
                            ChunkWriter write, void* context) {
  struct Memory {
    unsigned char window[kInflateWindowSize];
    DeflatedFile file;
  };
  auto* m = static_cast<Memory*>(std::malloc(sizeof(Memory)));
  if (!m) return Outcome::kDamaged;
  m->file.received = 0;
  StartChunks(m->file.gather, size, write, context);
  const bool whole = InflateStream(stream, streamSize, m->window, TakeFileBytes, &m->file);
  const Outcome outcome = m->file.gather.writeFailed                ? Outcome::kWriteFailed
                          : whole && m->file.gather.written == size ? Outcome::kWritten
                                                                    : Outcome::kDamaged;
  std::free(m);
  return outcome;
}

}  // namespace

bool InflateStream(const unsigned char* stream, uint32_t streamSize,
                   unsigned char (&window)[kInflateWindowSize], InflateSink sink, void* context) {
  // The zlib stream's header: deflate, a window of at most 32 KiB, no preset
  // dictionary, and its check bits; then the deflate data and, last, the
  // Adler-32 of the inflated bytes (big-endian).
  if (streamSize < 2 + 4 || (stream[0] & 0x0F) != 8 || (stream[0] >> 4) > 7 || (stream[1] & 0x20) != 0 ||
      (stream[0] * 256u + stream[1]) % 31 != 0) {
    return false;
  }
  Inflation f = {stream + 2, streamSize - 2, adler32(0, nullptr, 0), sink, context, false};
  z_stream z = {};
  if (inflateBackInit(&z, 15, window) != Z_OK) return false;
  const int result = inflateBack(&z, GiveInput, &f, TakeOutput, &f);
  // What inflateBack left of the input is the check value, and no more.
  const bool whole = result == Z_STREAM_END && z.avail_in == 4 && ReadBigEndian32(z.next_in) == f.adler;
  inflateBackEnd(&z);
  return whole;
}

void StartChunks(ChunkGather& g, uint32_t size, ChunkWriter write, void* context) {
  g.write = write;
  g.context = context;
  g.size = size;
  g.written = g.pending = 0;
  g.writeFailed = false;
}

bool GatherChunks(ChunkGather& g, const unsigned char* bytes, uint32_t count) {
  while (count != 0) {
    const uint32_t take = std::min<uint32_t>(count, progress::kChunkLimit - g.pending);
    std::memcpy(g.chunk + g.pending, bytes, take);
    g.pending += take;
    bytes += take;
    count -= take;
    // Every chunk the gathered bytes fill: ChunkSize of what is left, as for a
    // raw file. After a short write the rest waits for more bytes.
    for (;;) {
      const uint32_t want = progress::ChunkSize(g.size - g.written);
      if (want == 0 || g.pending < want) break;
      uint32_t stored = 0;
      if (!g.write(g.context, g.chunk, want, &stored) || stored == 0 || stored > want) {
        g.writeFailed = true;
        return false;
      }
      g.written += stored;
      g.pending -= stored;
      std::memmove(g.chunk, g.chunk + stored, g.pending);
    }
  }
  return true;
}

}  // namespace payload

extern const PayloadCodec kDeflatedPayload = {payload::WriteDeflatedChunks};
