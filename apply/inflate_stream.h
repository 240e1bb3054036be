// What the deflated payload and the patch decoder share: one zlib stream
// inflated with zlib's inflateBack into a window the caller owns, and the
// gathering of bytes into the writer's chunks (ChunkSize of what is left, a
// short write continued by the next chunk), so that both hand the writer the
// chunks a raw file is written in.
#pragma once

#include <cstdint>

#include "apply/payload_source.h"
#include "apply/progress.h"

namespace payload {

inline constexpr uint32_t kInflateWindowSize = 1u << 15;  // zlib's largest, as the tools deflate

// Takes the next piece of inflated bytes (at most a window's worth). False
// stops the stream: the sink has recorded why.
using InflateSink = bool (*)(void* context, const unsigned char* bytes, uint32_t count);

// Inflates the zlib stream (RFC 1950: deflate, a window of at most 32 KiB, no
// preset dictionary) that fills `stream` exactly, handing its bytes to `sink`.
// True only when the stream ends, its Adler-32 check value follows it and
// matches, nothing else follows, and the sink took every piece.
bool InflateStream(const unsigned char* stream, uint32_t streamSize,
                   unsigned char (&window)[kInflateWindowSize], InflateSink sink, void* context);

// The writer's chunks of a file of `size` bytes, gathered from pieces.
struct ChunkGather {
  ChunkWriter write;
  void* context;
  uint32_t size;     // the file's size
  uint32_t written;  // bytes the writer has stored
  uint32_t pending;  // bytes at the chunk's start not yet stored
  bool writeFailed;
  unsigned char chunk[progress::kChunkLimit];
};

void StartChunks(ChunkGather& g, uint32_t size, ChunkWriter write, void* context);

// Adds `count` bytes (the caller keeps the total within the size) and hands
// the writer every chunk they fill. False when the writer failed.
bool GatherChunks(ChunkGather& g, const unsigned char* bytes, uint32_t count);

}  // namespace payload
