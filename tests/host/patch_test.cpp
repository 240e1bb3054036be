#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "apply/patch_apply.h"
#include "apply/progress.h"
#include "tests/host/random_bytes.h"
#include "tools/patch_make.h"

namespace {

using tools::Bytes;

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

Bytes Slice(const Bytes& b, size_t from, size_t to) { return Bytes(b.begin() + from, b.begin() + to); }

// A small x64 program: a PE header, then functions whose calls, branches and
// RIP-relative loads reach each other and a data area. `inserted` bytes go in
// after the first third of the functions, so every target behind them moves
// and the rel32 of each reference across the gap changes: most of the code
// behind the gap, which calls the first functions.
Bytes Program(size_t functions, size_t inserted, unsigned seed) {
  Bytes image(0x400, 0);
  image[0] = 'M', image[1] = 'Z', image[0x3C] = 0x80;
  std::memcpy(image.data() + 0x80, "PE\0\0\x64\x86", 6);
  std::mt19937 generator(seed);
  std::vector<size_t> starts;
  std::vector<std::pair<size_t, size_t>> references;  // operand offset, target function
  for (size_t f = 0; f < functions; ++f) {
    if (f == functions / 3) {
      const Bytes filler = Random(inserted, seed + 1);
      image.insert(image.end(), filler.begin(), filler.end());
    }
    starts.push_back(image.size());
    for (int i = 0; i < 12; ++i) {
      static const Bytes kPlain[] = {{0x48, 0x89, 0xC3}, {0x31, 0xC0}, {0x48, 0x83, 0xEC, 0x28}, {0xC3}};
      const Bytes& plain = kPlain[generator() % 4];
      image.insert(image.end(), plain.begin(), plain.end());
      static const Bytes kReference[] = {{0xE8}, {0xE9}, {0x0F, 0x85}, {0xFF, 0x15}, {0x48, 0x8D, 0x05}};
      const Bytes& opcode = kReference[generator() % 5];
      image.insert(image.end(), opcode.begin(), opcode.end());
      // Most calls go to the first functions (a runtime library), before the gap.
      references.push_back({image.size(), generator() % (generator() % 8 ? functions / 8 : functions)});
      image.insert(image.end(), 4, 0);
    }
  }
  for (const auto& [operand, function] : references) {
    const uint32_t rel = static_cast<uint32_t>(starts[function] - (operand + 4));
    for (int i = 0; i < 4; ++i) image[operand + i] = static_cast<unsigned char>(rel >> (8 * i));
  }
  return image;
}

struct Reads {
  const Bytes* base = nullptr;
  Bytes copy;  // each read is copied: the decoder may keep nothing past the next call
  bool outOfBounds = false;
  bool fail = false;
};

const unsigned char* ReadBase(void* context, uint32_t offset, uint32_t length) {
  auto& r = *static_cast<Reads*>(context);
  if (offset > r.base->size() || length > r.base->size() - offset || length > patch::kSegmentSize) {
    r.outOfBounds = true;
    return nullptr;
  }
  if (r.fail) return nullptr;
  r.copy.assign(r.base->begin() + offset, r.base->begin() + offset + length);
  return r.copy.data();
}

// What the writer sees: the chunks offered and the bytes stored, each write
// storing at most `storeAtMost` bytes.
struct Written {
  std::vector<uint32_t> chunks;
  Bytes bytes;
  uint32_t storeAtMost = UINT32_MAX;
  int failAt = -1;  // the write that fails
};

bool Store(void* context, const unsigned char* bytes, uint32_t count, uint32_t* stored) {
  auto& w = *static_cast<Written*>(context);
  if (static_cast<int>(w.chunks.size()) == w.failAt) return false;
  w.chunks.push_back(count);
  *stored = std::min(count, w.storeAtMost);
  w.bytes.insert(w.bytes.end(), bytes, bytes + *stored);
  return true;
}

payload::Outcome Apply(const Bytes& base, const Bytes& patch, Written* written, Reads* reads = nullptr) {
  Reads own;
  if (!reads) reads = &own;
  reads->base = &base;
  const payload::Outcome outcome = patch::WritePatchedFile(patch.data(), static_cast<uint32_t>(patch.size()),
                                                           ReadBase, reads, Store, written);
  EXPECT_FALSE(reads->outOfBounds);
  return outcome;
}

Bytes Make(Bytes base, Bytes target) {
  Bytes patch;
  std::string error;
  const Bytes given = base, wanted = target;
  EXPECT_TRUE(tools::MakePatch(base, target, &patch, &error)) << error;
  EXPECT_TRUE(base == given && target == wanted) << "files left transformed";
  return patch;
}

// The chunks a raw file of `size` bytes is written in.
std::vector<uint32_t> RawChunks(uint32_t size, uint32_t storeAtMost) {
  std::vector<uint32_t> chunks;
  for (uint32_t left = size; left != 0;) {
    chunks.push_back(progress::ChunkSize(left));
    left -= std::min(progress::ChunkSize(left), storeAtMost);
  }
  return chunks;
}

// Every pair makes its new file exactly, in the chunks a raw file is written in
// (short writes included), and names both files by size and checksum.
TEST(Patch, RoundTripsATableOfPairs) {
  const Bytes text = [] {
    Bytes t;
    for (int i = 0; t.size() < 300000; ++i) {
      const std::string line = "entry " + std::to_string(i * 7919 % 100003) + ";\n";
      t.insert(t.end(), line.begin(), line.end());
    }
    return t;
  }();
  const Bytes random = Random(200000, 1);
  Bytes sparse = text;  // a byte changed every 997 bytes: copies with diff bytes
  for (size_t i = 0; i < sparse.size(); i += 997) sparse[i] ^= 0x11;
  Bytes manyEdits = text;  // more commands than a block holds, and extras across blocks
  for (size_t i = 500; i + 40 < manyEdits.size(); i += 150) {
    const Bytes fresh = Random(24, static_cast<unsigned>(i));
    std::copy(fresh.begin(), fresh.end(), manyEdits.begin() + static_cast<long>(i));
  }
  struct Case {
    const char* what;
    Bytes base, target;
  };
  const Case cases[] = {
      {"identical", text, text},
      {"appended", Slice(text, 0, 200000), text},
      {"truncated", text, Slice(text, 0, 123457)},
      {"shifted", text, Join({Random(333, 2), text})},
      {"middle removed", text, Join({Slice(text, 0, 70000), Slice(text, 90000, text.size())})},
      {"blocks swapped", text, Join({Slice(text, 150000, text.size()), Slice(text, 0, 150000)})},
      {"sparse changes", text, sparse},
      {"many edits", text, manyEdits},
      {"random, unrelated", random, Random(150000, 3)},
      {"empty to file", {}, Slice(random, 0, 100000)},
      {"file to empty", random, {}},
      {"empty to empty", {}, {}},
      {"one byte", {0x42}, {0x43}},
      {"program with code inserted", Program(3000, 0, 4), Program(3000, 100, 4)},
      {"program, new functions", Program(2000, 0, 5), Program(2400, 37, 5)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes patch = Make(c.base, c.target);
    patch::Header header;
    ASSERT_TRUE(patch::ReadHeader(patch.data(), static_cast<uint32_t>(patch.size()), &header));
    EXPECT_EQ(header.baseSize, c.base.size());
    EXPECT_EQ(header.newSize, c.target.size());
    EXPECT_EQ(header.baseChecksum, ScanFileChecksum(c.base.data(), c.base.size(), false, 0));
    EXPECT_EQ(header.newChecksum, ScanFileChecksum(c.target.data(), c.target.size(), false, 0));
    for (uint32_t storeAtMost : {UINT32_MAX, 40000u}) {
      Written w;
      w.storeAtMost = storeAtMost;
      ASSERT_EQ(Apply(c.base, patch, &w), payload::Outcome::kWritten);
      EXPECT_TRUE(w.bytes == c.target);
      EXPECT_EQ(w.chunks, RawChunks(static_cast<uint32_t>(c.target.size()), storeAtMost));
    }
    EXPECT_TRUE(Make(c.base, c.target) == patch) << "not deterministic";
  }
}

// What patches are for: a small change to a large file makes a small patch,
// and a program whose code moved is patched with its branch targets
// transformed, smaller than without.
TEST(Patch, SmallChangesMakeSmallPatches) {
  const Bytes base = Random(1 << 20, 6);
  Bytes target = base;
  target[1000] ^= 1;
  target.insert(target.begin() + 500000, 100, 0x5A);
  EXPECT_LT(Make(base, target).size(), 400u);

  const Bytes program = Program(6000, 0, 7), moved = Program(6000, 64, 7);
  const Bytes patch = Make(program, moved);
  patch::Header header;
  ASSERT_TRUE(patch::ReadHeader(patch.data(), static_cast<uint32_t>(patch.size()), &header));
  EXPECT_EQ(header.flags, patch::kTransformBranches | patch::kTransformRipRelative);
  Bytes plainProgram = program, plainMoved = moved;  // not a PE: no transform tried
  plainProgram[0] = plainMoved[0] = 0;
  EXPECT_LT(patch.size() * 2, Make(plainProgram, plainMoved).size());
}

// Above 16 MiB whether the transform pays is decided on pieces of the file:
// it is still taken for moved code and left out for data that an insertion
// shifted (there every transformed E8 operand would change), and the whole
// file comes out exact either way.
TEST(Patch, LargeFilesChooseTheTransformFromPieces) {
  Bytes data = Random(17 << 20, 12);
  std::copy_n(Program(16, 0, 12).begin(), 0x100, data.begin());  // a PE header
  Bytes shifted = data;
  shifted.insert(shifted.begin() + (1 << 20), 3, 0x90);
  struct Case {
    const char* what;
    Bytes base, target;
    uint32_t flags;
  };
  const Case cases[] = {
      {"moved code", Program(175000, 0, 13), Program(175000, 64, 13),
       patch::kTransformBranches | patch::kTransformRipRelative},
      {"shifted data", data, shifted, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_GT(c.target.size(), 16u << 20);
    const Bytes patch = Make(c.base, c.target);
    patch::Header header;
    ASSERT_TRUE(patch::ReadHeader(patch.data(), static_cast<uint32_t>(patch.size()), &header));
    EXPECT_EQ(header.flags, c.flags);
    Written w;
    ASSERT_EQ(Apply(c.base, patch, &w), payload::Outcome::kWritten);
    EXPECT_TRUE(w.bytes == c.target);
  }
}

// The transform is undone exactly, whatever the bytes: code, random data,
// every segment length, any offset.
TEST(Patch, TransformIsUndoneExactly) {
  std::mt19937 generator(8);
  const Bytes program = Program(500, 0, 9);
  for (int round = 0; round < 400; ++round) {
    Bytes bytes(1 + generator() % 300);
    // Mostly opcodes and the bytes that follow them, so patterns overlap.
    static const unsigned char kBytes[] = {0xE8, 0xE9, 0x0F, 0x85, 0xFF, 0x15, 0x25, 0x48,
                                           0x4C, 0x8B, 0x8D, 0x05, 0x00, 0xFF, 0x3D};
    for (auto& b : bytes) b = round % 4 == 0 ? generator() : kBytes[generator() % sizeof kBytes];
    if (round % 4 == 1) bytes.assign(program.begin() + round, program.begin() + round + bytes.size());
    const uint32_t offset = generator();
    for (uint32_t flags :
         {patch::kTransformBranches, patch::kTransformBranches | patch::kTransformRipRelative}) {
      Bytes t = bytes;
      patch::TransformSegment(t.data(), static_cast<uint32_t>(t.size()), offset, flags, true);
      patch::TransformSegment(t.data(), static_cast<uint32_t>(t.size()), offset, flags, false);
      ASSERT_TRUE(t == bytes) << "round " << round << " flags " << flags;
    }
  }
  // It does change code: a call's target becomes absolute.
  Bytes call = {0xE8, 0x10, 0x00, 0x00, 0x00};
  patch::TransformSegment(call.data(), 5, 0x100, patch::kTransformBranches, true);
  EXPECT_EQ(call, (Bytes{0xE8, 0x15, 0x01, 0x00, 0x00}));
}

void PutNumber(Bytes& b, uint32_t v) {
  for (; v >= 0x80; v >>= 7) b.push_back(static_cast<unsigned char>(v | 0x80));
  b.push_back(static_cast<unsigned char>(v));
}

// A patch around a stream written by hand, naming the sizes and checksums given.
Bytes Wrap(const Bytes& stream, const Bytes& base, const Bytes& target, uint32_t flags = 0) {
  const patch::Header header = {
      flags, static_cast<uint32_t>(base.size()), ScanFileChecksum(base.data(), base.size(), false, 0),
      static_cast<uint32_t>(target.size()), ScanFileChecksum(target.data(), target.size(), false, 0)};
  unsigned char bytes[patch::kHeaderSize];
  patch::WriteHeader(header, bytes);
  uLongf size = compressBound(static_cast<uLong>(stream.size()));
  Bytes out(bytes, bytes + sizeof bytes);
  out.resize(out.size() + size);
  compress2(out.data() + patch::kHeaderSize, &size, stream.data(), static_cast<uLong>(stream.size()), 9);
  out.resize(patch::kHeaderSize + size);
  return out;
}

// A block: its commands (copy, extra, seek), then the extra bytes and the diff runs given.
Bytes Block(std::initializer_list<std::array<int64_t, 3>> commands, const Bytes& extra, const Bytes& diff) {
  Bytes b;
  PutNumber(b, static_cast<uint32_t>(commands.size()));
  for (const auto& c : commands) {
    PutNumber(b, static_cast<uint32_t>(c[0]));
    PutNumber(b, static_cast<uint32_t>(c[1]));
    const auto seek = static_cast<int32_t>(c[2]);
    PutNumber(b, static_cast<uint32_t>(seek) << 1 ^ static_cast<uint32_t>(seek >> 31));
  }
  return Join({b, extra, diff});
}

// Hand-written streams: a sound one works, and each hostile change is refused
// without reading or writing out of bounds (ASan runs these too).
TEST(Patch, RefusesHostileStreams) {
  const Bytes base = Random(100000, 10);
  // Copy 1000 bytes with one byte changed, 3 extra bytes, skip ahead, copy 500.
  Bytes target = Join({Slice(base, 0, 1000), {1, 2, 3}, Slice(base, 5000, 5500)});
  target[10] = static_cast<unsigned char>(target[10] + 7);
  Bytes wrong = target;
  wrong[10] ^= 0xFF;
  Bytes runs;
  PutNumber(runs, 10);
  runs.push_back(7);
  PutNumber(runs, 1489);
  const Bytes good = Block({{1000, 3, 4000}, {500, 0, 0}}, {1, 2, 3}, runs);
  {
    Written w;
    ASSERT_EQ(Apply(base, Wrap(good, base, target), &w), payload::Outcome::kWritten);
    EXPECT_TRUE(w.bytes == target);
  }
  // The first copy's length (1000) written in five bytes, with a 33rd bit set.
  Bytes overflow = good;
  overflow.erase(overflow.begin() + 1, overflow.begin() + 3);
  overflow.insert(overflow.begin() + 1, {0xE8, 0x87, 0x80, 0x80, 0x10});
  // A copy of 1000 bytes, then a seek that leaves the base, then only extra
  // bytes: the seek alone is wrong.
  const Bytes seekTarget = Join({Slice(target, 0, 1003), {4, 5}});
  Bytes seekRuns;
  PutNumber(seekRuns, 10);
  seekRuns.push_back(7);
  PutNumber(seekRuns, 989);
  const auto seekThenExtra = [&](int64_t seek) {
    return Block({{1000, 3, seek}, {0, 2, 0}}, {1, 2, 3, 4, 5}, seekRuns);
  };
  Bytes longRun;
  PutNumber(longRun, 1501);  // more zeros than the copies hold
  Bytes tooMany;
  PutNumber(tooMany, patch::kMaxBlockCommands + 1);
  struct Case {
    const char* what;
    Bytes stream;
    Bytes target;  // what the header names
  };
  const Case cases[] = {
      {"copy past the base's end", Block({{1000, 3, 98999}, {2, 0, 0}}, {1, 2, 3}, seekRuns),
       Join({Slice(target, 0, 1003), {base.back(), 0}})},
      {"seek past the base's end", seekThenExtra(99001), seekTarget},
      {"seek before the base's start", seekThenExtra(-1001), seekTarget},
      {"seek far below zero", seekThenExtra(INT32_MIN), seekTarget},
      {"copy as large as 32 bits go", Block({{UINT32_MAX, 0, 0}}, {}, {}), target},
      {"more bytes than the new file", Join({good, Block({{0, 1, 0}}, {9}, {})}), target},
      {"a stray byte after the file is whole", Join({good, {0}}), target},
      {"stream ends inside a block's extra bytes", Slice(good, 0, 11), target},
      {"stream ends inside its diff runs", Slice(good, 0, good.size() - 1), target},
      {"fewer bytes than the new file", good, Join({target, {0}})},
      {"a run past the copies' end", Block({{1000, 3, 4000}, {500, 0, 0}}, {1, 2, 3}, longRun), target},
      {"a number past 32 bits", overflow, target},
      {"a block of no commands", {0}, target},
      {"a block of too many commands", tooMany, target},
      {"extra bytes past the block's buffer", Block({{0, patch::kMaxBlockExtra + 1, 0}}, {}, {}),
       Random(patch::kMaxBlockExtra + 1, 16)},
      {"a wrong result", good, wrong},
  };
  {
    Written w;  // the seek cases' stream is sound with a seek that stays inside,
    ASSERT_EQ(Apply(base, Wrap(seekThenExtra(0), base, seekTarget), &w), payload::Outcome::kWritten);
    // and the overlong number is, in 32 bits
    ASSERT_EQ(
        Apply(base,
              Wrap(Join({Slice(overflow, 0, 5), {0x00}, Slice(overflow, 6, overflow.size())}), base, target),
              &w),
        payload::Outcome::kWritten);
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Written w;
    EXPECT_EQ(Apply(base, Wrap(c.stream, base, c.target), &w), payload::Outcome::kDamaged);
  }

  // The zlib stream followed by a stray byte; the header: unknown flags, too
  // short, not a patch.
  Bytes patch = Join({Wrap(good, base, target), {0}});
  Written w;
  EXPECT_EQ(Apply(base, patch, &w), payload::Outcome::kDamaged);
  patch = Wrap(good, base, target);
  patch[4] = 4;
  EXPECT_EQ(Apply(base, patch, &w), payload::Outcome::kDamaged);
  EXPECT_EQ(Apply(base, Slice(patch, 0, patch::kHeaderSize - 1), &w), payload::Outcome::kDamaged);
  patch = Wrap(good, base, target);
  patch[0] = 'X';
  EXPECT_EQ(Apply(base, patch, &w), payload::Outcome::kDamaged);
  EXPECT_TRUE(w.chunks.empty());
}

// Damage anywhere in a made patch is found or harmless; a base that cannot
// be read, or a writer that fails, fails the file.
TEST(Patch, DamageIsFoundAndFailuresStopTheFile) {
  const Bytes base = Program(3000, 0, 11), target = Program(3100, 50, 11);
  const Bytes good = Make(base, target);
  std::mt19937 generator(12);
  for (int round = 0; round < 300; ++round) {
    Bytes damaged = good;
    const size_t at = patch::kHeaderSize + generator() % (good.size() - patch::kHeaderSize);
    damaged[at] ^= static_cast<unsigned char>(1 + generator() % 255);
    if (round % 3 == 0) damaged.resize(at);
    Written w;
    if (Apply(base, damaged, &w) == payload::Outcome::kWritten) {
      EXPECT_TRUE(w.bytes == target) << at;
    }
  }
  Written w;
  Reads failing;
  failing.fail = true;
  EXPECT_EQ(Apply(base, good, &w, &failing), payload::Outcome::kDamaged);
  Written failingWriter;
  failingWriter.failAt = 1;
  EXPECT_EQ(Apply(base, good, &failingWriter), payload::Outcome::kWriteFailed);
  EXPECT_EQ(failingWriter.chunks.size(), 1u);
}

// The patches a build carries for one file, one per base.
TEST(Patch, SetListsItsPatches) {
  const Bytes a = Random(5000, 13), b = Random(6000, 14), target = Join({a, b});
  const Bytes fromA = Make(a, target), fromB = Make(b, target);
  Bytes set = {'U', 'P', 'S', '1', 2, 0, 0, 0};
  for (const Bytes* p : {&fromA, &fromB}) {
    const uint32_t offset = static_cast<uint32_t>(24 + (p == &fromB ? fromA.size() : 0));
    for (uint32_t v : {offset, static_cast<uint32_t>(p->size())})
      for (int i = 0; i < 4; ++i) set.push_back(static_cast<unsigned char>(v >> (8 * i)));
  }
  set = Join({set, fromA, fromB});
  patch::SetEntry entry;
  ASSERT_TRUE(patch::PatchInSet(set.data(), static_cast<uint32_t>(set.size()), 1, &entry));
  EXPECT_EQ(entry.header.baseSize, b.size());
  EXPECT_EQ(entry.header.baseChecksum, ScanFileChecksum(b.data(), b.size(), false, 0));
  Written w;
  EXPECT_EQ(Apply(b, Bytes(entry.patch, entry.patch + entry.size), &w), payload::Outcome::kWritten);
  EXPECT_TRUE(w.bytes == target);
  ASSERT_TRUE(patch::PatchInSet(set.data(), static_cast<uint32_t>(set.size()), 0, &entry));
  EXPECT_EQ(entry.header.baseSize, a.size());
  EXPECT_FALSE(patch::PatchInSet(set.data(), static_cast<uint32_t>(set.size()), 2, &entry));
  // A count or an entry that points past the set.
  EXPECT_FALSE(patch::PatchInSet(set.data(), 23, 1, &entry));
  Bytes huge = set;
  huge[4] = 0xFF, huge[7] = 0x7F;
  EXPECT_FALSE(patch::PatchInSet(huge.data(), static_cast<uint32_t>(huge.size()), 0, &entry));
}

// The commands a maker runs: diff, then patch makes the new file; a patch
// applied to another file is refused and writes nothing.
TEST(Patch, ToolCommands) {
  const std::string dir = testing::TempDir() + "patch-tool/";
  std::filesystem::create_directories(dir);
  const Bytes old = Program(1000, 0, 15), next = Program(1100, 9, 15);
  ASSERT_TRUE(tools::WriteWholeFile(dir + "old", old));
  ASSERT_TRUE(tools::WriteWholeFile(dir + "new", next));
  ASSERT_TRUE(tools::WriteWholeFile(dir + "other", next));
  std::ostringstream err;
  ASSERT_EQ(tools::DiffFiles(dir + "old", dir + "new", dir + "patch", err), 0) << err.str();
  ASSERT_EQ(tools::PatchFile(dir + "old", dir + "patch", dir + "out", err), 0) << err.str();
  Bytes out;
  ASSERT_TRUE(tools::ReadWholeFile(dir + "out", &out));
  EXPECT_TRUE(out == next);
  EXPECT_EQ(tools::PatchFile(dir + "other", dir + "patch", dir + "wrong", err), 1);
  EXPECT_NE(err.str().find("not made from this file"), std::string::npos) << err.str();
  EXPECT_FALSE(std::filesystem::exists(dir + "wrong"));
  std::filesystem::remove_all(dir);
}

}  // namespace
