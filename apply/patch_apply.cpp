// The patch decoder: one pass over one zlib stream, with fixed buffers. The
// commands of a block are checked against the sizes before any of their bytes
// are made, so a hostile patch never reads or writes out of bounds; what it
// makes is checked against the size and checksum the patch names.
#include "apply/patch_apply.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "apply/inflate_stream.h"

namespace patch {
namespace {

using payload::Read32;
using payload::Write32;

enum class Stage : uint8_t { kCount, kControls, kExtras, kDiffs };

// Copies jump between a few places of the base (the code and the data a
// change touched): the transform costs a whole segment for each window loaded,
// so a few windows are kept, not one.
inline constexpr uint32_t kBaseWindows = 4;

struct BaseWindow {
  uint32_t start;
  uint32_t end;     // the window holds the base's bytes from start to here, transformed; empty at first
  uint32_t loaded;  // the clock when it was loaded
};

// Everything one patched file needs, allocated once.
struct Decoder {
  Header header;
  BaseReader read;
  void* readContext;
  bool damaged;
  Stage stage;
  uint32_t varint;  // the LEB128 value being read,
  uint32_t shift;   // and where its next 7 bits go
  uint32_t commands;
  uint32_t fields;  // control fields read so far
  uint32_t control[kMaxBlockCommands][3];
  uint32_t extraTotal;  // extra bytes of the block
  uint32_t extraRead;   // of them, read so far
  uint32_t extraUsed;   // of them, written
  uint32_t command;     // the one whose copy is under way
  uint32_t copyLeft;
  uint32_t diffLeft;  // diff bytes of the block not yet read
  bool literal;       // a diff byte is due (after a run of zeros)
  uint64_t planned;   // bytes the blocks read so far make
  uint32_t basePos;   // where the next copy reads the base
  uint32_t window;    // the one holding basePos, after BaseAvailable
  uint32_t clock;     // counts window loads, for the least recently loaded
  BaseWindow windows[kBaseWindows];
  uint32_t segmentFill;
  uint32_t segmentStart;  // the output segment's offset in the new file
  ChecksumRun run;
  payload::ChunkGather gather;
  unsigned char windowBytes[kBaseWindows][kSegmentSize];
  unsigned char segment[kSegmentSize];
  unsigned char extra[kMaxBlockExtra];
  unsigned char inflateWindow[payload::kInflateWindowSize];
};

// Hands a finished output segment to the writer, its transform undone.
bool FlushSegment(Decoder& d) {
  TransformSegment(d.segment, d.segmentFill, d.segmentStart, d.header.flags, false);
  d.run.Add(d.segment, d.segmentFill);
  d.segmentStart += d.segmentFill;
  const uint32_t count = d.segmentFill;
  d.segmentFill = 0;
  return payload::GatherChunks(d.gather, d.segment, count);
}

// Room left in the output segment; flushes it first when it is full.
uint32_t SegmentRoom(Decoder& d) {
  if (d.segmentFill == kSegmentSize && !FlushSegment(d)) return 0;
  return kSegmentSize - d.segmentFill;
}

// Makes the base's bytes at basePos readable in windowBytes[window]: a window
// that holds them, or else the one loaded longest ago, loaded with the segment
// that does. 0 when they cannot be had.
uint32_t BaseAvailable(Decoder& d) {
  const BaseWindow* w = &d.windows[d.window];
  if (d.basePos >= w->start && d.basePos < w->end) return w->end - d.basePos;
  uint32_t oldest = 0;
  for (uint32_t i = 0; i < kBaseWindows; ++i) {
    w = &d.windows[i];
    if (d.basePos >= w->start && d.basePos < w->end) {
      d.window = i;
      return w->end - d.basePos;
    }
    if (w->loaded < d.windows[oldest].loaded) oldest = i;
  }
  const uint32_t start = d.basePos / kSegmentSize * kSegmentSize;
  const uint32_t length = std::min(kSegmentSize, d.header.baseSize - start);
  const unsigned char* bytes = d.read(d.readContext, start, length);
  if (!bytes) return 0;
  std::memcpy(d.windowBytes[oldest], bytes, length);
  TransformSegment(d.windowBytes[oldest], length, start, d.header.flags, true);
  d.windows[oldest] = {start, start + length, ++d.clock};
  d.window = oldest;
  return length - (d.basePos - start);
}

// Checks a block's commands against the sizes before any of it is used: every
// copy within the base, every seek landing within it, the output within the
// new file's size, the extra bytes within their buffer.
bool PlanBlock(Decoder& d) {
  uint64_t position = d.basePos;
  uint64_t extra = 0, diff = 0;
  for (uint32_t i = 0; i < d.commands; ++i) {
    const uint32_t copy = d.control[i][0];
    position += copy;
    diff += copy;
    extra += d.control[i][1];
    d.planned += uint64_t{copy} + d.control[i][1];
    const int32_t seek = static_cast<int32_t>(d.control[i][2] >> 1 ^ (0u - (d.control[i][2] & 1)));
    if (position > d.header.baseSize) return false;
    position += static_cast<uint64_t>(int64_t{seek});  // wraps below 0 into a huge value
    if (position > d.header.baseSize) return false;
  }
  d.extraTotal = static_cast<uint32_t>(extra);
  d.diffLeft = static_cast<uint32_t>(diff);  // within the new file's size, checked next
  return extra <= kMaxBlockExtra && d.planned <= d.header.newSize;
}

// Applies `count` diff bytes (null: zeros) to the block's copies, and runs
// every command that needs no more: its extra bytes, its seek. At the block's
// end the next block's count is due.
bool RunCommands(Decoder& d, const unsigned char* diff, uint32_t count) {
  for (;;) {
    while (d.copyLeft != 0) {
      if (count == 0) return true;
      const uint32_t room = SegmentRoom(d);
      const uint32_t base = room ? BaseAvailable(d) : 0;
      if (base == 0) return false;
      const uint32_t n = std::min({d.copyLeft, room, base, count});
      const unsigned char* from = d.windowBytes[d.window] + (d.basePos - d.windows[d.window].start);
      unsigned char* to = d.segment + d.segmentFill;
      for (uint32_t i = 0; i < n; ++i) to[i] = static_cast<unsigned char>(from[i] + (diff ? diff[i] : 0));
      d.segmentFill += n;
      d.basePos += n;
      d.copyLeft -= n;
      count -= n;
    }
    if (d.command == d.commands) {
      d.stage = Stage::kCount;
      return count == 0;
    }
    const uint32_t* c = d.control[d.command];
    for (uint32_t left = c[1]; left != 0;) {
      const uint32_t n = std::min(left, SegmentRoom(d));
      if (n == 0) return false;
      std::memcpy(d.segment + d.segmentFill, d.extra + d.extraUsed, n);
      d.segmentFill += n;
      d.extraUsed += n;
      left -= n;
    }
    d.basePos += c[2] >> 1 ^ (0u - (c[2] & 1));  // PlanBlock keeps it within the base
    if (++d.command < d.commands) d.copyLeft = d.control[d.command][0];
  }
}

// Starts the block's diff bytes once its extra bytes are all read.
bool StartDiffs(Decoder& d) {
  d.stage = Stage::kDiffs;
  d.command = 0;
  d.extraUsed = 0;
  d.copyLeft = d.control[0][0];
  return RunCommands(d, nullptr, 0);
}

// Takes the next piece of the inflated stream, whatever stage it reaches into.
bool Feed(void* context, const unsigned char* bytes, uint32_t count) {
  auto& d = *static_cast<Decoder*>(context);
  const unsigned char* end = bytes + count;
  while (bytes != end && !d.damaged) {
    if (d.stage == Stage::kExtras) {
      const uint32_t n = std::min(d.extraTotal - d.extraRead, static_cast<uint32_t>(end - bytes));
      std::memcpy(d.extra + d.extraRead, bytes, n);
      d.extraRead += n;
      bytes += n;
      if (d.extraRead == d.extraTotal && !StartDiffs(d)) d.damaged = true;
      continue;
    }
    const unsigned char* b = bytes++;
    if (d.literal) {  // the diff byte after a run of zeros
      d.literal = false;
      --d.diffLeft;
      if (!RunCommands(d, b, 1)) d.damaged = true;
      continue;
    }
    // A LEB128 number: a count, a control field or a run of zero diff bytes.
    // Nothing may follow the block that completes the file, and no number may
    // pass 32 bits.
    if (d.planned == d.header.newSize && d.stage == Stage::kCount) {
      d.damaged = true;
      break;
    }
    if (d.shift == 28 && *b > 0x0F) {  // a fifth byte holds the top 4 bits, and ends the number
      d.damaged = true;
      break;
    }
    d.varint |= uint32_t{*b & 0x7Fu} << d.shift;
    if (*b & 0x80) {
      d.shift += 7;
      continue;
    }
    const uint32_t value = d.varint;
    d.varint = d.shift = 0;
    if (d.stage == Stage::kCount) {
      if (value == 0 || value > kMaxBlockCommands) d.damaged = true;
      d.commands = value;
      d.fields = 0;
      d.stage = Stage::kControls;
    } else if (d.stage == Stage::kControls) {
      d.control[d.fields / 3][d.fields % 3] = value;
      if (++d.fields == 3 * d.commands) {
        d.extraRead = 0;
        d.stage = Stage::kExtras;
        if (!PlanBlock(d) || (d.extraTotal == 0 && !StartDiffs(d))) d.damaged = true;
      }
    } else {
      // A run of zeros, then a diff byte unless the run ends the block's diff bytes.
      if (value > d.diffLeft) {
        d.damaged = true;
        break;
      }
      d.diffLeft -= value;
      d.literal = d.diffLeft != 0;
      if (!RunCommands(d, nullptr, value)) d.damaged = true;
    }
  }
  return !d.damaged;
}

}  // namespace

bool ReadHeader(const unsigned char* patch, uint32_t patchSize, Header* header) {
  if (patchSize < kHeaderSize || std::memcmp(patch, kMagic, sizeof kMagic) != 0) return false;
  *header = {Read32(patch + 4),
             Read32(patch + 8),
             {Read32(patch + 12), Read32(patch + 16)},
             Read32(patch + 20),
             {Read32(patch + 24), Read32(patch + 28)}};
  return (header->flags & ~(kTransformBranches | kTransformRipRelative)) == 0;
}

void WriteHeader(const Header& h, unsigned char (&bytes)[kHeaderSize]) {
  const uint32_t fields[] = {h.flags,
                             h.baseSize,
                             h.baseChecksum.byteSum,
                             h.baseChecksum.wordXor,
                             h.newSize,
                             h.newChecksum.byteSum,
                             h.newChecksum.wordXor};
  std::memcpy(bytes, kMagic, sizeof kMagic);
  for (int i = 0; i < 7; ++i) Write32(bytes + 4 + 4 * i, fields[i]);
}

payload::Outcome WritePatchedFile(const unsigned char* patch, uint32_t patchSize, BaseReader read,
                                  void* readContext, payload::ChunkWriter write, void* writeContext) {
  Header header;
  if (!ReadHeader(patch, patchSize, &header)) return payload::Outcome::kDamaged;
  auto* d = static_cast<Decoder*>(std::calloc(1, sizeof(Decoder)));
  if (!d) return payload::Outcome::kDamaged;
  d->header = header;
  d->read = read;
  d->readContext = readContext;
  d->run = ChecksumRun();
  payload::StartChunks(d->gather, header.newSize, write, writeContext);
  bool whole =
      payload::InflateStream(patch + kHeaderSize, patchSize - kHeaderSize, d->inflateWindow, Feed, d);
  // The stream ended between blocks; the bytes written must be the file's size.
  whole = whole && d->stage == Stage::kCount && d->shift == 0 && (d->segmentFill == 0 || FlushSegment(*d));
  payload::Outcome outcome = payload::Outcome::kDamaged;
  if (d->gather.writeFailed) {
    outcome = payload::Outcome::kWriteFailed;
  } else if (whole && d->gather.written == header.newSize && d->run.Value() == header.newChecksum) {
    outcome = payload::Outcome::kWritten;
  }
  std::free(d);
  return outcome;
}

void TransformSegment(unsigned char* bytes, uint32_t count, uint32_t offset, uint32_t flags, bool forward) {
  if (flags == 0) return;
  const bool rip = (flags & kTransformRipRelative) != 0;
  // Which instruction starts where is read only from bytes no conversion
  // changes (opcodes, ModRM, the operand's high byte), and every pattern,
  // matched, takes its whole length, converted or not: so the same operands
  // are found in the file and in its transformed form.
  for (uint32_t i = 0; i < count;) {
    const uint32_t left = count - i;
    const unsigned char* p = bytes + i;
    uint32_t operand = 0;  // where the rel32 starts in the instruction
    if (p[0] == 0xE8 || p[0] == 0xE9) {
      operand = 1;
    } else if (left > 1 && p[0] == 0x0F && (p[1] & 0xF0) == 0x80) {
      operand = 2;
    } else if (rip && left > 1 && p[0] == 0xFF && (p[1] == 0x15 || p[1] == 0x25)) {
      operand = 2;
    } else if (rip && left > 2 && (p[0] == 0x48 || p[0] == 0x4C) && (p[1] == 0x8B || p[1] == 0x8D) &&
               (p[2] & 0xC7) == 0x05) {
      operand = 3;
    }
    if (operand == 0) {
      ++i;
      continue;
    }
    const uint32_t length = operand + 4;
    if (length > left) break;  // runs past the segment: left as it is
    unsigned char* v = bytes + i + operand;
    if (v[3] == 0x00 || v[3] == 0xFF) {
      const uint32_t next = offset + i + length;  // the target counts from the next instruction
      const uint32_t value =
          (uint32_t{v[0]} | uint32_t{v[1]} << 8 | uint32_t{v[2]} << 16) + (forward ? next : 0u - next);
      v[0] = static_cast<unsigned char>(value);
      v[1] = static_cast<unsigned char>(value >> 8);
      v[2] = static_cast<unsigned char>(value >> 16);
    }
    i += length;
  }
}

bool PatchInSet(const unsigned char* set, uint32_t setSize, uint32_t index, SetEntry* entry) {
  if (setSize < kSetHeaderSize || std::memcmp(set, kSetMagic, sizeof kSetMagic) != 0) return false;
  const uint32_t count = Read32(set + 4);
  if (index >= count || (setSize - kSetHeaderSize) / 8 < count) return false;
  const uint32_t offset = Read32(set + kSetHeaderSize + 8 * index);
  const uint32_t size = Read32(set + kSetHeaderSize + 8 * index + 4);
  if (offset > setSize || size > setSize - offset) return false;
  entry->patch = set + offset;
  entry->size = size;
  return ReadHeader(entry->patch, size, &entry->header);
}

}  // namespace patch
