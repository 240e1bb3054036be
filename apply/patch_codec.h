// The patches as the updater reaches them: through its title profile alone, so
// that an updater whose profile names no bases (UPDATER_BASE) links none of
// the decoder. OS-free.
#pragma once

#include <cstdint>

#include "apply/patch_apply.h"
#include "apply/payload_source.h"

struct PatchCodec {
  // patch::PatchInSet and patch::WritePatchedFile.
  bool (*patchInSet)(const unsigned char* set, uint32_t setSize, uint32_t index, patch::SetEntry* entry);
  payload::Outcome (*writePatchedFile)(const unsigned char* patch, uint32_t patchSize, patch::BaseReader read,
                                       void* readContext, payload::ChunkWriter write, void* writeContext);
  // Writes the `size` bytes `read` gives, unchanged, in the chunks of a raw
  // file: an installed file that is already the new one (an update finished
  // by recovery, or run again) is staged from itself, for no patch is made
  // from the new file.
  payload::Outcome (*writeBaseFile)(uint32_t size, patch::BaseReader read, void* readContext,
                                    payload::ChunkWriter write, void* writeContext);
};

namespace patch {
payload::Outcome WriteBaseFile(uint32_t size, BaseReader read, void* readContext, payload::ChunkWriter write,
                               void* writeContext);
}  // namespace patch

extern const PatchCodec kPatchedPayload;
