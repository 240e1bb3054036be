// The bytes of one payload file, handed to the writer chunk by chunk: chunks of
// at most progress::kChunkLimit bytes, straight from the resource or, when the
// profile stores its payload deflated, inflated from it. The chunks are the
// same either way, short writes included, so the writer's chunk, its progress
// and its messages do not know which it writes.
#pragma once

#include <cstdint>

#include "verify/checksum.h"

struct PayloadCodec;

namespace payload {

// A deflated payload resource: a 12-byte header, then a zlib stream (RFC 1950)
// of the file's bytes, whose Adler-32 check value covers them. The header is
// the magic, the file's size and the size's complement, little-endian: a size
// that is not the complement's is damage, found before anything is counted.
inline constexpr unsigned char kDeflatedMagic[4] = {'U', 'P', 'Z', '1'};
inline constexpr uint32_t kDeflatedHeaderSize = 12;

// The little-endian 32-bit fields of the payload's headers and records.
uint32_t Read32(const unsigned char* p);
void Write32(unsigned char* p, uint32_t v);

// The header of a deflated resource for a file of `size` bytes.
void WriteDeflatedHeader(uint32_t size, unsigned char (&header)[kDeflatedHeaderSize]);

// The build records each payload file's size and checksum, and carries the
// record beside the file's resource (type "BINSUM", the same name): 12 bytes,
// the size, byte sum and word XOR, little-endian. The updater checks every
// byte it writes against it, so a damaged download is never written as new.
inline constexpr uint32_t kCheckRecordSize = 12;
void WriteCheckRecord(uint32_t size, FileChecksum checksum, unsigned char (&record)[kCheckRecordSize]);
void ReadCheckRecord(const unsigned char* record, uint32_t* size, FileChecksum* checksum);

// The file's size as its resource states it: the resource's own size when it
// is raw (codec null). False for a deflated resource whose header is damaged.
bool FileSize(const unsigned char* resource, uint32_t resourceSize, const PayloadCodec* codec,
              uint32_t* size);

// Writes one chunk of `count` bytes, or the start of it: *stored says how many
// bytes it stored. False, or 0 stored, fails the file.
using ChunkWriter = bool (*)(void* context, const unsigned char* bytes, uint32_t count, uint32_t* stored);

enum class Outcome {
  kWritten,      // every byte, the deflated stream whole and its check value right
  kWriteFailed,  // the chunk writer failed
  kDamaged,      // the deflated header or stream is damaged, or its memory was not to be had
};

// Hands the file's bytes to `write` in the chunks a raw file is written in:
// ChunkSize of what is left, from where the last write stopped.
Outcome WriteChunks(const unsigned char* resource, uint32_t resourceSize, const PayloadCodec* codec,
                    ChunkWriter write, void* context);

}  // namespace payload

// How a profile's payload resources are stored when they are not raw. A
// profile reaches the inflate through this alone, so an updater whose payload
// is raw links none of it (nor zlib).
struct PayloadCodec {
  // Inflates a deflated resource's stream (what follows its header) of a file
  // of `size` bytes, handing the writer its chunks.
  payload::Outcome (*writeChunks)(const unsigned char* stream, uint32_t streamSize, uint32_t size,
                                  payload::ChunkWriter write, void* context);
};

// The payload deflated with zlib (payloadtool deflate), inflated with zlib's
// inflateBack into a 32 KiB window and one chunk: the only memory the writer
// takes, whatever the file's size.
extern const PayloadCodec kDeflatedPayload;
