// Patches: a payload file carried as the difference from a file players
// already have (the base), applied as the file is written. OS-free: the base
// is read through a callback, the result goes to the same chunk writer as a
// raw or deflated file, in the same chunks, so progress and messages do not
// know which they see. docs/patch-format.md describes the format at length.
//
// A patch, little-endian:
//   0  "UPP1"
//   4  flags: kTransformBranches, kTransformRipRelative; no other bit
//   8  the base's size, 12 its byte sum, 16 its word XOR (verify/checksum.h)
//  20  the new file's size, 24 its byte sum, 28 its word XOR
//  32  one zlib stream (RFC 1950) to the patch's end, holding blocks:
//        n                       LEB128, 1 to kMaxBlockCommands
//        n x (copy, extra, seek) LEB128, LEB128, zigzag LEB128 (signed)
//        the extra bytes of all n commands (at most kMaxBlockExtra)
//        the diff bytes of all n copies, as runs: a LEB128 count of zero
//        bytes, then one byte, unless the run reaches the copies' end
//      until the commands have made the new file's size, then nothing.
// A command: `copy` bytes, each the base's byte at the base position plus a
// diff byte (mod 256), the position moving on; `extra` bytes as they are;
// then the base position moves by `seek`. With a transform flag both files
// are seen transformed (TransformSegment): the base as it is read, the new
// file's bytes undone before they are written.
#pragma once

#include <cstdint>

#include "apply/payload_source.h"
#include "verify/checksum.h"

namespace patch {

inline constexpr unsigned char kMagic[4] = {'U', 'P', 'P', '1'};
inline constexpr uint32_t kHeaderSize = 32;
inline constexpr uint32_t kTransformBranches = 1;     // E8/E9 call/jmp, 0F 8x jcc: rel32
inline constexpr uint32_t kTransformRipRelative = 2;  // x64: FF 15/25, REX.W 8B/8D with RIP-relative operand
inline constexpr uint32_t kSegmentSize = 1u << 15;    // transforms restart at each multiple
inline constexpr uint32_t kMaxBlockCommands = 1024;
inline constexpr uint32_t kMaxBlockExtra = 1u << 15;

struct Header {
  uint32_t flags;
  uint32_t baseSize;
  FileChecksum baseChecksum;
  uint32_t newSize;
  FileChecksum newChecksum;
};

// False when `patch` is too short for a header, or not a patch.
bool ReadHeader(const unsigned char* patch, uint32_t patchSize, Header* header);
void WriteHeader(const Header& header, unsigned char (&bytes)[kHeaderSize]);

// Gives `length` bytes (at most kSegmentSize) of the base from `offset`,
// valid until the next call: a window of a file mapping, or a buffer a read
// filled. Null when they cannot be had. Never asked past the base's size.
using BaseReader = const unsigned char* (*)(void* context, uint32_t offset, uint32_t length);

// Writes the file `patch` makes from the base `read` gives: kWritten when every
// byte went to `write` and the result has the size and checksum the patch
// names; kDamaged for a damaged or hostile patch, a base that could not be
// read, or memory not to be had. The caller has checked that the base is the
// one the header names. Memory: about 240 KiB, whatever the sizes.
payload::Outcome WritePatchedFile(const unsigned char* patch, uint32_t patchSize, BaseReader read,
                                  void* readContext, payload::ChunkWriter write, void* writeContext);

// The executable transform of one segment of a file, in place: the rel32
// targets of branches (and with kTransformRipRelative, of RIP-relative
// operands) made absolute (forward) or relative again. `offset` is where the
// segment starts in its file; segments start at multiples of kSegmentSize, so
// any window of the base can be transformed alone. Only the low 24 bits of a
// target change, and only where its high byte is 00 or FF (a near target),
// which the transform keeps: the same instructions are found either way.
void TransformSegment(unsigned char* bytes, uint32_t count, uint32_t offset, uint32_t flags, bool forward);

// The patches a build carries for one payload file: one resource ("BINPATCH",
// the file's name) holding a set of them, one per base:
//   0 "UPS1", 4 count, 8 count x (offset, size) of each patch in the set.
inline constexpr unsigned char kSetMagic[4] = {'U', 'P', 'S', '1'};
inline constexpr uint32_t kSetHeaderSize = 8;

struct SetEntry {
  const unsigned char* patch;
  uint32_t size;
  Header header;  // what it is made from (base size and checksum) and makes
};

// The `index`th patch of a set. False past the last one, or when the set or
// that patch's header is damaged.
bool PatchInSet(const unsigned char* set, uint32_t setSize, uint32_t index, SetEntry* entry);

}  // namespace patch
