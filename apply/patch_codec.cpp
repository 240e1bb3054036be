#include "apply/patch_codec.h"

#include <algorithm>
#include <cstdlib>

#include "apply/inflate_stream.h"

namespace patch {

payload::Outcome WriteBaseFile(uint32_t size, BaseReader read, void* readContext, payload::ChunkWriter write,
                               void* writeContext) {
  auto* gather = static_cast<payload::ChunkGather*>(std::malloc(sizeof(payload::ChunkGather)));
  if (!gather) return payload::Outcome::kDamaged;
  payload::StartChunks(*gather, size, write, writeContext);
  payload::Outcome outcome = payload::Outcome::kWritten;
  for (uint32_t at = 0; at < size && outcome == payload::Outcome::kWritten;) {
    const uint32_t length = std::min(kSegmentSize, size - at);
    const unsigned char* bytes = read(readContext, at, length);
    if (!bytes) {
      outcome = payload::Outcome::kDamaged;
    } else if (!payload::GatherChunks(*gather, bytes, length)) {
      outcome = payload::Outcome::kWriteFailed;
    }
    at += length;
  }
  std::free(gather);
  return outcome;
}

}  // namespace patch

extern const PatchCodec kPatchedPayload = {patch::PatchInSet, patch::WritePatchedFile, patch::WriteBaseFile};
