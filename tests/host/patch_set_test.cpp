// The build's side of patches: the set it carries per file, and the staging of
// an installed file that is the new one already.
#include "tools/patch_set.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "apply/patch_codec.h"
#include "apply/progress.h"
#include "tests/host/random_bytes.h"
#include "tools/patch_make.h"

namespace {

using tools::Bytes;

struct Written {
  Bytes bytes;
  std::vector<uint32_t> chunks;
  size_t failAt = 0;  // the write (from 1) that fails; 0: none
};

bool Write(void* context, const unsigned char* bytes, uint32_t count, uint32_t* stored) {
  auto& w = *static_cast<Written*>(context);
  w.chunks.push_back(count);
  if (w.chunks.size() == w.failAt) return false;
  w.bytes.insert(w.bytes.end(), bytes, bytes + count);
  *stored = count;
  return true;
}

struct Base {
  const Bytes* bytes;
  size_t reads;
  size_t failAt;  // the read (from 1) that fails; 0: none
};

const unsigned char* Read(void* context, uint32_t offset, uint32_t length) {
  auto& b = *static_cast<Base*>(context);
  if (++b.reads == b.failAt || offset + uint64_t{length} > b.bytes->size()) return nullptr;
  return b.bytes->data() + offset;
}

// Each base's patch is found by its index, and makes the new file from that base.
TEST(PatchSet, CarriesEachBasesPatch) {
  Bytes a = Random(70000, 1), b = Random(50000, 2), target = a;
  target.insert(target.begin() + 30000, b.begin(), b.begin() + 2000);
  const std::vector<Bytes*> bases = {&a, &b};
  std::vector<Bytes> patches(bases.size());
  std::string error;
  for (size_t i = 0; i < bases.size(); ++i)
    ASSERT_TRUE(tools::MakePatch(*bases[i], target, &patches[i], &error));
  Bytes set;
  ASSERT_TRUE(tools::MakePatchSet(patches, &set, &error)) << error;
  for (uint32_t i = 0; i < bases.size(); ++i) {
    SCOPED_TRACE(i);
    patch::SetEntry entry;
    ASSERT_TRUE(kPatchedPayload.patchInSet(set.data(), static_cast<uint32_t>(set.size()), i, &entry));
    EXPECT_EQ(entry.header.baseSize, bases[i]->size());
    Base base{bases[i], 0, 0};
    Written w;
    EXPECT_EQ(kPatchedPayload.writePatchedFile(entry.patch, entry.size, Read, &base, Write, &w),
              payload::Outcome::kWritten);
    EXPECT_TRUE(w.bytes == target);
  }
  patch::SetEntry entry;
  EXPECT_FALSE(kPatchedPayload.patchInSet(set.data(), static_cast<uint32_t>(set.size()), 2, &entry));
  // What is not a patch never goes into a set.
  EXPECT_FALSE(tools::MakePatchSet({patches[0], Bytes(40, 0)}, &set, &error));
}

// An installed file that is the new one already goes to the writer in the
// chunks a raw file does; a read or a write that fails stops it.
TEST(PatchSet, InstalledFileIsStagedFromItselfInRawChunks) {
  const Bytes file = Random(3 * progress::kChunkLimit + 1234, 3);
  Base base{&file, 0, 0};
  Written w;
  ASSERT_EQ(kPatchedPayload.writeBaseFile(static_cast<uint32_t>(file.size()), Read, &base, Write, &w),
            payload::Outcome::kWritten);
  EXPECT_TRUE(w.bytes == file);
  Written raw;
  ASSERT_EQ(payload::WriteChunks(file.data(), static_cast<uint32_t>(file.size()), nullptr, Write, &raw),
            payload::Outcome::kWritten);
  EXPECT_EQ(w.chunks, raw.chunks);

  Base failingRead{&file, 0, 3};
  Written unused;
  EXPECT_EQ(
      kPatchedPayload.writeBaseFile(static_cast<uint32_t>(file.size()), Read, &failingRead, Write, &unused),
      payload::Outcome::kDamaged);
  Written failingWrite;
  failingWrite.failAt = 2;
  EXPECT_EQ(
      kPatchedPayload.writeBaseFile(static_cast<uint32_t>(file.size()), Read, &base, Write, &failingWrite),
      payload::Outcome::kWriteFailed);
}

}  // namespace
