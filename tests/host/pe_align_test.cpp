#include "tools/pe_align.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/pe_writer.h"
#include "verify/pe_resources.h"

namespace {

uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 | uint32_t{b[at + 3]} << 24;
}
void Set32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// Offsets in the PE32 headers the writer makes.
size_t OptionalHeader(const std::vector<uint8_t>& b) { return Get32(b, 0x3C) + 24; }
size_t Directory(const std::vector<uint8_t>& b, int index) { return OptionalHeader(b) + 96 + 8 * index; }
size_t SectionHeader(const std::vector<uint8_t>& b, int index) {
  return OptionalHeader(b) + 0xE0 + 40 * index;
}
constexpr size_t kChecksumField = 0x58 + 64;

struct Fixture {
  std::vector<uint8_t> image;
  std::vector<uint8_t> payload;
  std::vector<uint8_t> tail;     // a section that follows the resources, like .reloc
  std::vector<uint8_t> overlay;  // bytes after the last section
};

// A resource-only library with a payload of `payloadSize` bytes (its resource
// section at 0x200), a second section after it and bytes after that, as a
// linked exe has them.
Fixture MakeImage(size_t payloadSize) {
  Fixture f;
  f.payload.resize(payloadSize);
  for (size_t i = 0; i < payloadSize; ++i) f.payload[i] = static_cast<uint8_t>(i * 7 + i / 251);
  std::vector<tools::ResourceToWrite> resources(2);
  resources[0].typeName = "BIN", resources[0].name = "GAME.EXE", resources[0].language = 0x0411;
  resources[0].data = f.payload;
  resources[1].typeId = kResourceTypeManifest, resources[1].nameId = 1;
  resources[1].data = tools::MakeAsInvokerManifest();
  tools::WrittenPe written;
  std::string error;
  EXPECT_TRUE(tools::WriteResourceDll(resources, {}, &written, &error)) << error;
  f.image = written.bytes;

  const size_t first = SectionHeader(f.image, 0), second = SectionHeader(f.image, 1);
  const uint32_t rva = (Get32(f.image, first + 12) + Get32(f.image, first + 8) + 0xFFF) & ~0xFFFu;
  f.tail.assign(0x200, 0xA5);
  std::copy_n(".reloc", 6, f.image.begin() + second);
  Set32(f.image, second + 8, 0x200);
  Set32(f.image, second + 12, rva);
  Set32(f.image, second + 16, 0x200);
  Set32(f.image, second + 20, static_cast<uint32_t>(f.image.size()));
  Set32(f.image, second + 36, 0x42000040);
  f.image[0x44 + 2] = 2;                                       // NumberOfSections
  Set32(f.image, OptionalHeader(f.image) + 56, rva + 0x1000);  // SizeOfImage
  f.image.insert(f.image.end(), f.tail.begin(), f.tail.end());
  f.overlay = {'o', 'v', 'e', 'r', 'l', 'a', 'y'};
  f.image.insert(f.image.end(), f.overlay.begin(), f.overlay.end());
  return f;
}

std::vector<uint8_t> Bytes(const std::vector<uint8_t>& b, size_t at, size_t count) {
  return {b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(at + count)};
}

TEST(PeChecksum, FoldsCarriesAndAddsTheLength) {
  struct Case {
    std::vector<uint8_t> bytes;
    uint32_t expected;
  };
  const Case cases[] = {
      {{}, 0},
      {{0x01, 0x02, 0x03}, 0x0201 + 0x0003 + 3},  // an odd last byte is a word of its own
      {{0xFF, 0xFF, 0x01, 0x00}, 0x0001 + 4},     // the carry out of 16 bits comes back in
      {{0xFF, 0xFF, 0x00, 0x00}, 0xFFFF + 4},     // a non-zero sum never folds to 0
  };
  for (const Case& c : cases) {
    tools::PeChecksum whole;
    whole.Add(c.bytes.data(), c.bytes.size());
    EXPECT_EQ(whole.Finish(), c.expected);
  }
  // Pieces of any length give what the whole gives.
  std::vector<uint8_t> bytes(1001);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 131 + 17);
  tools::PeChecksum whole, pieces;
  whole.Add(bytes.data(), bytes.size());
  for (size_t at = 0, step = 1; at < bytes.size(); at += step, step = step % 7 + 1)
    pieces.Add(bytes.data() + at, std::min(step, bytes.size() - at));
  EXPECT_EQ(pieces.Finish(), whole.Finish());
}

TEST(PageAlignment, MovesTheResourceSectionAndWhatFollowsItToAPageBoundary) {
  const Fixture f = MakeImage(5000);
  tools::PageAlignPlan plan;
  std::string error;
  ASSERT_TRUE(tools::PlanPageAlignment(f.image, f.image.size(), &plan, &error)) << error;
  EXPECT_EQ(plan.moveFrom, 0x200u);
  EXPECT_EQ(plan.shift, 0xE00u);
  const std::vector<uint8_t> aligned = tools::ApplyPageAlignment(plan, f.image);
  ASSERT_EQ(aligned.size(), f.image.size() + 0xE00);

  // The section table follows the move; the headers are otherwise untouched
  // but for the CheckSum, which is right for the new bytes.
  const size_t first = SectionHeader(aligned, 0), second = SectionHeader(aligned, 1);
  EXPECT_EQ(Get32(aligned, first + 20), 0x1000u);
  EXPECT_EQ(Get32(aligned, second + 20), Get32(f.image, second + 20) + 0xE00);
  for (size_t at = 0; at < 0x200; ++at) {
    if (at == first + 20 || at == second + 20) at += 4;
    if (at >= kChecksumField && at < kChecksumField + 4) continue;
    ASSERT_EQ(aligned[at], f.image[at]) << "header byte " << at;
  }
  EXPECT_EQ(Get32(aligned, kChecksumField), tools::ComputePeChecksum(aligned, kChecksumField));
  EXPECT_EQ(Bytes(aligned, 0x200, 0xE00), std::vector<uint8_t>(0xE00, 0));

  // The payload is found through the resource tree, in the aligned section,
  // and the later section and the trailing bytes kept their content.
  ResourceEntry found;
  ASSERT_EQ(FindPeResource(aligned.data(), aligned.size(), MakeResourceKey("BIN"),
                           MakeResourceKey("GAME.EXE"), &found),
            PeStatus::kOk);
  EXPECT_GE(found.dataOffset, 0x1000u);
  EXPECT_EQ(Bytes(aligned, found.dataOffset, found.dataSize), f.payload);
  EXPECT_EQ(Bytes(aligned, Get32(aligned, second + 20), 0x200), f.tail);
  EXPECT_EQ(Bytes(aligned, aligned.size() - f.overlay.size(), f.overlay.size()), f.overlay);

  uint64_t offset = 0;
  ASSERT_TRUE(tools::ResourceSectionOffset(aligned, &offset, &error)) << error;
  EXPECT_EQ(offset, 0x1000u);
  // Done once, it has nothing more to do.
  ASSERT_TRUE(tools::PlanPageAlignment(aligned, aligned.size(), &plan, &error)) << error;
  EXPECT_EQ(plan.shift, 0u);
}

TEST(PageAlignment, RefusesWhatTheMoveWouldBreak) {
  struct Case {
    const char* what;
    void (*spoil)(std::vector<uint8_t>&);
    const char* message;
  };
  const Case cases[] = {
      {"signed",
       [](std::vector<uint8_t>& b) { Set32(b, Directory(b, 4), 0x3000), Set32(b, Directory(b, 4) + 4, 8); },
       "signed already"},
      {"debug directory", [](std::vector<uint8_t>& b) { Set32(b, Directory(b, 6) + 4, 28); },
       "debug directory"},
      {"no resources", [](std::vector<uint8_t>& b) { Set32(b, Directory(b, 2), 0); }, "no resources"},
      {"not PE", [](std::vector<uint8_t>& b) { b[0] = 'X'; }, "not a PE image"},
      {"section past the end", [](std::vector<uint8_t>& b) { Set32(b, SectionHeader(b, 1) + 16, 0x100000); },
       "outside the file"},
      {"SectionAlignment below a page",
       [](std::vector<uint8_t>& b) { Set32(b, OptionalHeader(b) + 32, 0x200); },
       "SectionAlignment (0x200) is below a page"},
      // One byte of code before it: the padding would be odd.
      {"resources at an odd offset",
       [](std::vector<uint8_t>& b) { Set32(b, SectionHeader(b, 0) + 20, 0x201); }, "odd file offset (0x201)"},
      {"relocations after the resources",
       [](std::vector<uint8_t>& b) {
         Set32(b, SectionHeader(b, 1) + 24, Get32(b, SectionHeader(b, 1) + 20));
       },
       "section 2's PointerToRelocations"},
      {"line numbers after the resources",
       [](std::vector<uint8_t>& b) { Set32(b, SectionHeader(b, 0) + 28, 0x210); },
       "section 1's PointerToLinenumbers (0x210)"},
  };
  for (const Case& c : cases) {
    Fixture f = MakeImage(100);
    c.spoil(f.image);
    tools::PageAlignPlan plan;
    std::string error;
    EXPECT_FALSE(tools::PlanPageAlignment(f.image, f.image.size(), &plan, &error)) << c.what;
    EXPECT_NE(error.find(c.message), std::string::npos) << c.what << ": " << error;
  }
}

// The tool's file path streams the image through a buffer: it must give the
// same bytes as the move in memory, over more than one buffer's worth.
TEST(PageAlignment, FileIsRewrittenAsInMemory) {
  const Fixture f = MakeImage(3 << 20 | 123);
  const std::filesystem::path path =
      std::filesystem::path(UPDATER_BINARY_DIR) / "pe_align_test" / "Update.exe";
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(f.image.data()), static_cast<std::streamsize>(f.image.size()));
  std::ostringstream out, err;
  ASSERT_EQ(tools::AlignExeFile(path.string(), out, err), 0) << err.str();
  std::vector<uint8_t> written(std::filesystem::file_size(path));
  std::ifstream(path, std::ios::binary)
      .read(reinterpret_cast<char*>(written.data()), static_cast<std::streamsize>(written.size()));
  tools::PageAlignPlan plan;
  std::string error;
  ASSERT_TRUE(tools::PlanPageAlignment(f.image, f.image.size(), &plan, &error)) << error;
  EXPECT_TRUE(written == tools::ApplyPageAlignment(plan, f.image));
  EXPECT_FALSE(std::filesystem::exists(path.string() + ".align-tmp"));

  // A second run leaves the file alone; a refused one leaves it whole.
  ASSERT_EQ(tools::AlignExeFile(path.string(), out, err), 0) << err.str();
  EXPECT_EQ(std::filesystem::file_size(path), written.size());
  std::vector<uint8_t> spoiled = f.image;
  Set32(spoiled, Directory(spoiled, 4) + 4, 8);
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(spoiled.data()), static_cast<std::streamsize>(spoiled.size()));
  EXPECT_EQ(tools::AlignExeFile(path.string(), out, err), 1);
  EXPECT_EQ(std::filesystem::file_size(path), spoiled.size());
  std::filesystem::remove_all(path.parent_path());
}

}  // namespace
