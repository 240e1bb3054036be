// Moves a linked image's resource section to a page boundary in the file.
//
// Wine maps a section straight from the exe only when its raw data starts at
// a file offset that is a multiple of the page size; any other section is
// copied into private memory when the program loads. The updater carries its
// payload in the resource section, so at the linker's usual 512-byte file
// alignment every payload byte would be read and held in memory before the
// first line of the program runs. Aligning every section costs some 21 KiB of
// padding; moving the resource section (and what follows it) costs less than
// one page. Host-only: the Windows build runs it after linking, before signing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "tools/pe_writer.h"

namespace tools {

constexpr uint32_t kPageSize = 0x1000;

// How the file changes: its first headers.size() bytes become `headers` (the
// CheckSum field zeroed, to be filled in over the final bytes), the bytes from
// `moveFrom` to the end move `shift` bytes further (the gap left is zeros), and
// the bytes in between stay. shift 0: the resource section is aligned already
// and the file is left as it is.
struct PageAlignPlan {
  std::vector<uint8_t> headers;
  uint64_t moveFrom = 0;
  uint64_t shift = 0;
  uint64_t oldSize = 0;
  uint64_t newSize = 0;
  size_t checksumOffset = 0;  // of the CheckSum field, inside headers
};

// Plans the move for a file of `fileSize` bytes that begins with `start` (at
// least its SizeOfHeaders bytes). False with a message for what is not a sound
// PE image, an image without resources, and what the move would break: a
// signature (its hash covers the moved offsets, so sign after this step), a
// debug directory or a section's relocation or line-number pointer (file
// offsets this step does not follow), a SectionAlignment below a page (file
// offsets that must equal addresses), and a resource section at an odd file
// offset (the one-pass rewrite's checksum is right only for an even move).
bool PlanPageAlignment(const std::vector<uint8_t>& start, uint64_t fileSize, PageAlignPlan* plan,
                       std::string* error);

// The plan carried out on an image held in memory, CheckSum filled in.
std::vector<uint8_t> ApplyPageAlignment(const PageAlignPlan& plan, const std::vector<uint8_t>& image);

// The file offset of the section that holds the resource directory, or false
// with a message. For checks of a built exe.
bool ResourceSectionOffset(const std::vector<uint8_t>& start, uint64_t* offset, std::string* error);

// The `payloadtool align EXE` command: rewrites EXE in place (through a
// temporary beside it) when its resource section is not page-aligned.
// Returns 0 on success, 1 with a message on err otherwise.
int AlignExeFile(const std::string& path, std::ostream& out, std::ostream& err);

}  // namespace tools
