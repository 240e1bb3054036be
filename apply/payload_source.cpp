#include "apply/payload_source.h"

#include <cstring>

#include "apply/progress.h"

namespace payload {

uint32_t Read32(const unsigned char* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void Write32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

void WriteDeflatedHeader(uint32_t size, unsigned char (&header)[kDeflatedHeaderSize]) {
  std::memcpy(header, kDeflatedMagic, sizeof kDeflatedMagic);
  Write32(header + 4, size);
  Write32(header + 8, ~size);
}

void WriteCheckRecord(uint32_t size, FileChecksum checksum, unsigned char (&record)[kCheckRecordSize]) {
  Write32(record, size);
  Write32(record + 4, checksum.byteSum);
  Write32(record + 8, checksum.wordXor);
}

void ReadCheckRecord(const unsigned char* record, uint32_t* size, FileChecksum* checksum) {
  *size = Read32(record);
  *checksum = {Read32(record + 4), Read32(record + 8)};
}

bool FileSize(const unsigned char* resource, uint32_t resourceSize, const PayloadCodec* codec,
              uint32_t* size) {
  if (!codec) {
    *size = resourceSize;
    return true;
  }
  if (resourceSize < kDeflatedHeaderSize || std::memcmp(resource, kDeflatedMagic, sizeof kDeflatedMagic) != 0)
    return false;
  const uint32_t stated = Read32(resource + 4);
  if (stated != ~Read32(resource + 8)) return false;
  *size = stated;
  return true;
}

Outcome WriteChunks(const unsigned char* resource, uint32_t resourceSize, const PayloadCodec* codec,
                    ChunkWriter write, void* context) {
  if (codec) {
    uint32_t size = 0;
    if (!FileSize(resource, resourceSize, codec, &size)) return Outcome::kDamaged;
    return codec->writeChunks(resource + kDeflatedHeaderSize, resourceSize - kDeflatedHeaderSize, size, write,
                              context);
  }
  // Straight from the resource; a short write is continued by the next chunk.
  for (uint32_t left = resourceSize; left != 0;) {
    uint32_t stored = 0;
    const uint32_t count = progress::ChunkSize(left);
    if (!write(context, resource, count, &stored) || stored == 0 || stored > count)
      return Outcome::kWriteFailed;
    resource += stored;
    left -= stored;
  }
  return Outcome::kWritten;
}

}  // namespace payload
