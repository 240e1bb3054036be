#include "verify/pe_resources.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tools/pe_writer.h"

namespace {

using tools::ResourceToWrite;

std::vector<uint8_t> Data(const std::string& text) { return {text.begin(), text.end()}; }

// A small library with named and integer types, names and several languages.
std::vector<uint8_t> MakeLibrary() {
  std::vector<ResourceToWrite> resources(5);
  resources[0].typeId = kResourceTypeRcData, resources[0].name = "TumbleTrain.exe",
  resources[0].data = Data("01f9e64d18692fdd");
  resources[1].typeId = kResourceTypeRcData, resources[1].name = "RESOURCE.DLL", resources[1].language = 0x0411,
  resources[1].data = Data("self");
  resources[2].typeId = kResourceTypeRcData, resources[2].name = "RESOURCE.DLL", resources[2].language = 0x0409,
  resources[2].data = Data("english");
  resources[3].typeName = "bin", resources[3].nameId = 7, resources[3].data = Data("payload");
  resources[4].typeId = kResourceTypeManifest, resources[4].nameId = 2,
  resources[4].data = tools::MakeAsInvokerManifest();
  tools::WrittenPe written;
  std::string error;
  EXPECT_TRUE(tools::WriteResourceDll(resources, {}, &written, &error)) << error;
  return written.bytes;
}

struct Seen {
  std::string type, name;
  uint16_t language;
  std::string data;
};

std::string NameOf(const ResourceName& n) {
  if (n.text == nullptr) return "#" + std::to_string(n.id);
  std::string s;
  for (uint16_t i = 0; i < n.length; ++i) s.push_back(static_cast<char>(n.text[2 * i]));
  return s;
}

struct Collector {
  const std::vector<uint8_t>* image;
  std::vector<Seen> seen;
};

bool Collect(const ResourceEntry& e, void* context) {
  auto* c = static_cast<Collector*>(context);
  const char* data = reinterpret_cast<const char*>(c->image->data()) + e.dataOffset;
  c->seen.push_back({NameOf(e.type), NameOf(e.name), e.language, std::string(data, e.dataSize)});
  return true;
}

PeStatus Enumerate(const std::vector<uint8_t>& image, std::vector<Seen>* seen = nullptr) {
  Collector c{&image, {}};
  PeStatus status = EnumeratePeResources(image.data(), image.size(), Collect, &c);
  if (seen) *seen = c.seen;
  return status;
}

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// The writer's images put the PE header at 0x40 and the tree at 0x200.
constexpr size_t kOptional = 0x40 + 24, kTree = 0x200;

// The same image with a 64-bit optional header (its data directories sit 16 bytes later).
std::vector<uint8_t> MakePe32Plus(const std::vector<uint8_t>& pe32) {
  std::vector<uint8_t> b = pe32;
  std::fill(b.begin() + kOptional, b.begin() + kTree, 0);
  b[0x40 + 4 + 16] = 0xF0;  // SizeOfOptionalHeader
  b[kOptional] = 0x0B, b[kOptional + 1] = 0x02;
  Put32(b, kOptional + 108, 16);
  Put32(b, kOptional + 112 + 16, Get32(pe32, kOptional + 96 + 16));
  Put32(b, kOptional + 112 + 20, Get32(pe32, kOptional + 96 + 20));
  std::copy(pe32.begin() + kOptional + 0xE0, pe32.begin() + kOptional + 0xE0 + 40,
            b.begin() + kOptional + 0xF0);
  return b;
}

TEST(PeResourcesTest, EnumeratesWhatTheWriterWrote) {
  const auto library = MakeLibrary();
  for (const auto& image : {library, MakePe32Plus(library)}) {
    std::vector<Seen> seen;
    ASSERT_EQ(Enumerate(image, &seen), PeStatus::kOk);
    ASSERT_EQ(seen.size(), 5u);
    // Named types first, names in capitals, sorted; languages ascending.
    EXPECT_EQ(seen[0].type, "BIN");
    EXPECT_EQ(seen[0].name, "#7");
    EXPECT_EQ(seen[0].data, "payload");
    EXPECT_EQ(seen[1].type, "#10");
    EXPECT_EQ(seen[1].name, "RESOURCE.DLL");
    EXPECT_EQ(seen[1].language, 0x0409);
    EXPECT_EQ(seen[2].language, 0x0411);
    EXPECT_EQ(seen[2].data, "self");
    EXPECT_EQ(seen[3].name, "TUMBLETRAIN.EXE");
    EXPECT_EQ(seen[3].data, "01f9e64d18692fdd");
    EXPECT_EQ(seen[4].type, "#24");
  }
}

TEST(PeResourcesTest, FindsByTypeAndNameWithoutCase) {
  const auto image = MakeLibrary();
  ResourceEntry e;
  const uint8_t* base = image.data();
  ASSERT_EQ(FindPeResource(base, image.size(), MakeResourceKey(kResourceTypeRcData),
                           MakeResourceKey("TumbleTrain.exe"), &e),
            PeStatus::kOk);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(base) + e.dataOffset, e.dataSize), "01f9e64d18692fdd");
  // First language in directory order.
  ASSERT_EQ(FindPeResource(base, image.size(), MakeResourceKey(kResourceTypeRcData),
                           MakeResourceKey("resource.dll"), &e),
            PeStatus::kOk);
  EXPECT_EQ(e.language, 0x0409);
  ASSERT_EQ(FindPeResource(base, image.size(), MakeResourceKey("Bin"), MakeResourceKey(uint16_t{7}), &e),
            PeStatus::kOk);
  const struct {
    ResourceKey type, name;
  } absent[] = {
      {MakeResourceKey(kResourceTypeRcData), MakeResourceKey("TumbleTrain.ex")},
      {MakeResourceKey(kResourceTypeRcData), MakeResourceKey("TumbleTrain.exe2")},
      {MakeResourceKey(kResourceTypeRcData), MakeResourceKey(uint16_t{7})},
      {MakeResourceKey("BIN"), MakeResourceKey("7")},
      {MakeResourceKey(uint16_t{11}), MakeResourceKey("TUMBLETRAIN.EXE")},
  };
  for (const auto& a : absent)
    EXPECT_EQ(FindPeResource(base, image.size(), a.type, a.name, &e), PeStatus::kNotFound);
}

// Builds an image whose resource section holds `tree` verbatim (tree offsets
// relative to the section start, RVA 0x1000).
std::vector<uint8_t> WithTree(const std::vector<uint8_t>& tree) {
  ResourceToWrite filler;
  filler.typeId = kResourceTypeRcData, filler.nameId = 1, filler.data.assign(tree.size(), 0);
  tools::WrittenPe written;
  std::string error;
  EXPECT_TRUE(tools::WriteResourceDll({filler}, {}, &written, &error));
  std::vector<uint8_t> b = written.bytes;
  std::fill(b.begin() + kTree, b.end(), 0);
  std::copy(tree.begin(), tree.end(), b.begin() + kTree);
  return b;
}

TEST(PeResourcesTest, RefusesMalformedImages) {
  const auto good = MakeLibrary();
  const size_t firstTypeTarget = kTree + 16 + 4;  // root's first entry, its offset field
  struct Case {
    const char* what;
    std::vector<uint8_t> image;
    PeStatus expected;
  };
  std::vector<Case> cases;
  auto patched = [&](const char* what, size_t at, uint32_t value, PeStatus expected) {
    auto b = good;
    Put32(b, at, value);
    cases.push_back({what, b, expected});
  };
  cases.push_back({"empty", {}, PeStatus::kTruncated});
  cases.push_back({"not MZ", std::vector<uint8_t>(good.size(), 0), PeStatus::kNotPe});
  patched("PE header offset past the end", 0x3C, 0xFFFFFFF0u, PeStatus::kTruncated);
  patched("bad PE signature", 0x40, 0x00004550 + 1, PeStatus::kNotPe);
  patched("unknown optional header magic", kOptional, 0x107, PeStatus::kBadOptionalHeader);
  patched("no data directory for resources", kOptional + 92, 2, PeStatus::kNoResources);
  patched("resource RVA zero", kOptional + 96 + 16, 0, PeStatus::kNoResources);
  patched("resource RVA in no section", kOptional + 96 + 16, 0x50000, PeStatus::kBadAddress);
  patched("section count beyond the file", 0x40 + 4, 0xFFFF014C, PeStatus::kTruncated);
  patched("type entry loops back to the root", firstTypeTarget, 0x80000000u, PeStatus::kBadResourceTree);
  patched("type entry points outside the tree", firstTypeTarget, 0xFFFFFFF0u, PeStatus::kBadResourceTree);
  patched("absurd entry count in the root", kTree + 12, 0xFFFFFFFFu, PeStatus::kBadResourceTree);
  patched("type entry is data, not a directory", firstTypeTarget, 0x10, PeStatus::kBadResourceTree);
  patched("type name string outside the tree", kTree + 16, 0xFFFFFFF0u, PeStatus::kBadResourceTree);
  patched("raw data pointer past the end", kOptional + 0xE0 + 20, 0xFFFFFE00u, PeStatus::kBadAddress);
  for (const auto& c : cases) EXPECT_EQ(Enumerate(c.image), c.expected) << c.what;

  // A data entry whose size overflows the section, and one whose RVA wraps.
  ResourceEntry payload;
  ASSERT_EQ(FindPeResource(good.data(), good.size(), MakeResourceKey("BIN"), MakeResourceKey(uint16_t{7}),
                           &payload),
            PeStatus::kOk);
  size_t dataEntry = kTree;
  while (Get32(good, dataEntry) != payload.dataRva || Get32(good, dataEntry + 4) != payload.dataSize)
    dataEntry += 4;
  // Data that runs past the end of its section, though not past the file:
  // the section is cut two bytes into the last resource, the manifest.
  ResourceEntry manifest;
  ASSERT_EQ(FindPeResource(good.data(), good.size(), MakeResourceKey(kResourceTypeManifest),
                           MakeResourceKey(uint16_t{2}), &manifest),
            PeStatus::kOk);
  auto shortSection = good;
  Put32(shortSection, kOptional + 0xE0 + 8, manifest.dataRva - 0x1000 + 2);  // VirtualSize
  EXPECT_EQ(Enumerate(shortSection), PeStatus::kBadAddress);
  auto data = good;
  Put32(data, dataEntry + 4, 0xFFFFFFFFu);
  EXPECT_EQ(Enumerate(data), PeStatus::kBadAddress);
  Put32(data, dataEntry, 0xFFFFFFFFu);
  Put32(data, dataEntry + 4, 2);
  EXPECT_EQ(Enumerate(data), PeStatus::kBadAddress);
}

TEST(PeResourcesTest, SharedDirectoriesCannotMultiplyWork) {
  // Root, type and name tables of 200 entries each, every entry pointing to
  // the same next table: 8 million paths unless the walk is bounded.
  constexpr uint32_t kCount = 200, kTable = 16 + 8 * kCount;
  std::vector<uint8_t> tree(3 * kTable + 16, 0);
  for (uint32_t level = 0; level < 3; ++level) {
    const uint32_t at = level * kTable;
    tree[at + 14] = kCount & 0xFF, tree[at + 15] = kCount >> 8;
    for (uint32_t i = 0; i < kCount; ++i) {
      Put32(tree, at + 16 + 8 * i, i + 1);
      Put32(tree, at + 20 + 8 * i, level < 2 ? (0x80000000u | (at + kTable)) : 3 * kTable);
    }
  }
  Put32(tree, 3 * kTable, 0x1000);  // data entry: zero bytes at the section start
  EXPECT_EQ(Enumerate(WithTree(tree)), PeStatus::kTooManyEntries);
}

// Whatever the bytes, the reader stays inside them and ends; run under the
// sanitizers this is what catches a stray read.
TEST(PeResourcesTest, SurvivesTruncationsAndRandomDamage) {
  const auto good = MakeLibrary();
  for (size_t size = 0; size < good.size(); ++size) {
    std::vector<uint8_t> cut(good.begin(), good.begin() + size);  // its own allocation, exact size
    PeStatus status = Enumerate(cut);
    if (size < kTree + 16) {
      EXPECT_NE(status, PeStatus::kOk) << size;
    }
  }
  std::mt19937 rng(7);
  for (int round = 0; round < 3000; ++round) {
    auto damaged = good;
    for (int k = 0; k < 4; ++k) {
      // Mostly hit the headers and the tree, where the offsets live.
      size_t at = rng() % (round % 2 ? 0x200 : damaged.size());
      damaged[at] = static_cast<uint8_t>(rng());
    }
    Enumerate(damaged);
    ResourceEntry e;
    FindPeResource(damaged.data(), damaged.size(), MakeResourceKey(kResourceTypeRcData),
                   MakeResourceKey("RESOURCE.DLL"), &e);
  }
}

}  // namespace
