#include "tools/pe_align.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <utility>

namespace tools {
namespace {

constexpr size_t kSectionHeaderSize = 40;
constexpr uint32_t kResourceDirectory = 2;
constexpr uint32_t kCertificateTable = 4;  // its address is a file offset
constexpr uint32_t kDebugDirectory = 6;

uint16_t Read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Read32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
void Write32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

struct Section {
  size_t header;  // offset of its section header
  uint32_t virtualAddress, virtualSize, rawSize, rawPointer;
  uint32_t relocations, lineNumbers;  // PointerToRelocations, PointerToLinenumbers
};

struct Headers {
  size_t symbolTableField;  // PointerToSymbolTable in the COFF header
  size_t checksumField;
  uint32_t sectionAlignment;
  uint32_t sizeOfHeaders;
  uint32_t directoryCount;
  size_t directories;  // offset of the data directories
  std::vector<Section> sections;

  uint32_t DirectoryRva(const std::vector<uint8_t>& b, uint32_t index) const {
    return index < directoryCount ? Read32(&b[directories + 8 * index]) : 0;
  }
  uint32_t DirectorySize(const std::vector<uint8_t>& b, uint32_t index) const {
    return index < directoryCount ? Read32(&b[directories + 8 * index + 4]) : 0;
  }
};

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

bool Fail(std::string* error, const std::string& message) {
  *error = message;
  return false;
}

bool ParseHeaders(const std::vector<uint8_t>& b, uint64_t fileSize, Headers* h, std::string* error) {
  if (b.size() < 0x40 || b[0] != 'M' || b[1] != 'Z') return Fail(error, "not a PE image (no MZ header)");
  const size_t pe = Read32(&b[0x3C]);
  if (pe > b.size() || b.size() - pe < 24 || std::memcmp(&b[pe], "PE\0\0", 4) != 0)
    return Fail(error, "not a PE image (no PE signature in the headers)");
  const size_t sectionCount = Read16(&b[pe + 6]);
  const size_t optionalSize = Read16(&b[pe + 20]);
  const size_t optional = pe + 24;
  h->symbolTableField = pe + 12;
  if (b.size() - optional < optionalSize || optionalSize < 2) return Fail(error, "truncated optional header");
  size_t countAt;
  switch (Read16(&b[optional])) {
    case 0x10B:
      countAt = 92;
      break;
    case 0x20B:
      countAt = 108;
      break;
    default:
      return Fail(error, "unknown optional header magic");
  }
  if (optionalSize < countAt + 4) return Fail(error, "optional header too short for its data directories");
  h->checksumField = optional + 64;
  h->sectionAlignment = Read32(&b[optional + 32]);
  h->sizeOfHeaders = Read32(&b[optional + 60]);
  h->directories = optional + countAt + 4;
  h->directoryCount = std::min<uint32_t>(Read32(&b[optional + countAt]), (optionalSize - countAt - 4) / 8);
  const size_t table = optional + optionalSize;
  if ((b.size() - table) / kSectionHeaderSize < sectionCount) return Fail(error, "truncated section table");
  if (h->sizeOfHeaders > b.size() || h->sizeOfHeaders < table + sectionCount * kSectionHeaderSize)
    return Fail(error, "SizeOfHeaders does not cover the section table");
  h->sections.clear();
  for (size_t i = 0; i < sectionCount; ++i) {
    const size_t at = table + i * kSectionHeaderSize;
    Section s{at,
              Read32(&b[at + 12]),
              Read32(&b[at + 8]),
              Read32(&b[at + 16]),
              Read32(&b[at + 20]),
              Read32(&b[at + 24]),
              Read32(&b[at + 28])};
    if (s.rawSize != 0 && (s.rawPointer < h->sizeOfHeaders || uint64_t{s.rawPointer} + s.rawSize > fileSize))
      return Fail(error, "a section's raw data lies outside the file");
    h->sections.push_back(s);
  }
  return true;
}

// The section whose virtual range holds the resource directory.
const Section* FindResourceSection(const std::vector<uint8_t>& b, const Headers& h, std::string* error) {
  const uint32_t rva = h.DirectoryRva(b, kResourceDirectory);
  if (rva == 0) {
    Fail(error, "the image has no resources");
    return nullptr;
  }
  for (const Section& s : h.sections) {
    const uint32_t span = std::max(s.virtualSize, s.rawSize);
    if (rva >= s.virtualAddress && rva - s.virtualAddress < span) {
      if (s.rawSize == 0) break;
      return &s;
    }
  }
  Fail(error, "the resource directory lies in no section with data in the file");
  return nullptr;
}

// Copies `count` bytes from `in` to `out` through a fixed buffer, feeding the checksum.
bool CopyBytes(std::istream& in, std::ostream& out, uint64_t count, PeChecksum& sum) {
  std::vector<char> buffer(1 << 20);
  while (count != 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(count, buffer.size()));
    if (!in.read(buffer.data(), static_cast<std::streamsize>(n))) return false;
    sum.Add(reinterpret_cast<const uint8_t*>(buffer.data()), n);
    if (!out.write(buffer.data(), static_cast<std::streamsize>(n))) return false;
    count -= n;
  }
  return true;
}

}  // namespace

bool PlanPageAlignment(const std::vector<uint8_t>& start, uint64_t fileSize, PageAlignPlan* plan,
                       std::string* error) {
  Headers h;
  if (!ParseHeaders(start, fileSize, &h, error)) return false;
  const Section* resources = FindResourceSection(start, h, error);
  if (!resources) return false;

  *plan = PageAlignPlan{};
  plan->headers.assign(start.begin(), start.begin() + h.sizeOfHeaders);
  plan->oldSize = plan->newSize = fileSize;
  plan->moveFrom = resources->rawPointer;
  plan->checksumOffset = h.checksumField;
  const uint64_t aligned = (plan->moveFrom + kPageSize - 1) / kPageSize * kPageSize;
  if (aligned == plan->moveFrom) return true;

  if (h.DirectorySize(start, kCertificateTable) != 0)
    return Fail(error,
                "the image is signed already: the move would void its signature, so sign after this step");
  if (h.DirectorySize(start, kDebugDirectory) != 0)
    return Fail(error,
                "the image has a debug directory, whose file offsets this step does not move (link with -s)");
  // Below a page, the loader maps each section from the file offset equal to
  // its address: a section moved in the file would no longer be found.
  if (h.sectionAlignment < kPageSize)
    return Fail(error, "the image's SectionAlignment (" + Hex(h.sectionAlignment) +
                           ") is below a page, so its file offsets must equal its addresses, which the move "
                           "would break");
  // The file is rewritten in one pass that sums the padding before the bytes
  // between the headers and the resource section: right only when the padding
  // is an even number of bytes, as the checksum adds 16-bit words at their
  // offsets from the start of the file.
  if (plan->moveFrom % 2 != 0 && plan->moveFrom > h.sizeOfHeaders)
    return Fail(error, "the resource section's raw data starts at an odd file offset (" +
                           Hex(plan->moveFrom) + "), which this step cannot move with a right PE checksum");
  for (size_t i = 0; i < h.sections.size(); ++i) {
    const Section& s = h.sections[i];
    if (s.rawSize != 0 && s.rawPointer < plan->moveFrom && s.rawPointer + s.rawSize > plan->moveFrom)
      return Fail(error, "a section's raw data overlaps the resource section's");
    // Object-file fields an image should not have; this step moves neither.
    for (const auto& [field, name] : {std::pair{s.relocations, "PointerToRelocations"},
                                      std::pair{s.lineNumbers, "PointerToLinenumbers"}}) {
      if (field != 0 && field >= plan->moveFrom)
        return Fail(error, "section " + std::to_string(i + 1) + "'s " + name + " (" + Hex(field) +
                               ") points into the bytes the move shifts, and this step does not move it");
    }
  }
  plan->shift = aligned - plan->moveFrom;
  plan->newSize = fileSize + plan->shift;
  if (plan->newSize > 0xFFFFFFFFu) return Fail(error, "the aligned image would not fit 32-bit file offsets");

  // Everything from the resource section on moves: its raw data, the sections
  // after it and whatever trails the last one.
  uint8_t* b = plan->headers.data();
  for (const Section& s : h.sections) {
    if (s.rawSize != 0 && s.rawPointer >= plan->moveFrom)
      Write32(b + s.header + 20, static_cast<uint32_t>(s.rawPointer + plan->shift));
  }
  const uint32_t symbols = Read32(b + h.symbolTableField);
  if (symbols != 0 && symbols >= plan->moveFrom)
    Write32(b + h.symbolTableField, static_cast<uint32_t>(symbols + plan->shift));
  Write32(b + h.checksumField, 0);
  return true;
}

std::vector<uint8_t> ApplyPageAlignment(const PageAlignPlan& plan, const std::vector<uint8_t>& image) {
  if (plan.shift == 0) return image;
  std::vector<uint8_t> out(plan.newSize, 0);
  std::copy(plan.headers.begin(), plan.headers.end(), out.begin());
  std::copy(image.begin() + plan.headers.size(), image.begin() + plan.moveFrom,
            out.begin() + plan.headers.size());
  std::copy(image.begin() + plan.moveFrom, image.end(), out.begin() + plan.moveFrom + plan.shift);
  PeChecksum sum;
  sum.Add(out.data(), out.size());
  Write32(out.data() + plan.checksumOffset, sum.Finish());
  return out;
}

bool ResourceSectionOffset(const std::vector<uint8_t>& start, uint64_t* offset, std::string* error) {
  Headers h;
  if (!ParseHeaders(start, UINT64_MAX, &h, error)) return false;
  const Section* resources = FindResourceSection(start, h, error);
  if (!resources) return false;
  *offset = resources->rawPointer;
  return true;
}

int AlignExeFile(const std::string& path, std::ostream& out, std::ostream& err) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const uint64_t fileSize = fs::file_size(path, ec);
  std::ifstream in(path, std::ios::binary);
  if (ec || !in) {
    err << "payloadtool: cannot read " << path << "\n";
    return 1;
  }
  // The headers are far smaller than this; a larger SizeOfHeaders is refused as truncated.
  std::vector<uint8_t> start(static_cast<size_t>(std::min<uint64_t>(fileSize, 1 << 20)));
  in.read(reinterpret_cast<char*>(start.data()), static_cast<std::streamsize>(start.size()));
  PageAlignPlan plan;
  std::string error;
  if (!in || !PlanPageAlignment(start, fileSize, &plan, &error)) {
    err << "payloadtool: " << path << ": " << (in ? error : "cannot read its headers") << "\n";
    return 1;
  }
  if (plan.shift == 0) {
    out << "payloadtool: " << path << ": resource section at 0x" << std::hex << plan.moveFrom << std::dec
        << ", page-aligned already\n";
    return 0;
  }

  // The new file is written beside the old one and replaces it whole.
  const std::string temporary = path + ".align-tmp";
  bool written = false;
  {
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    PeChecksum sum;
    sum.Add(plan.headers.data(), plan.headers.size());
    file.write(reinterpret_cast<const char*>(plan.headers.data()),
               static_cast<std::streamsize>(plan.headers.size()));
    in.clear();
    in.seekg(static_cast<std::streamoff>(plan.headers.size()));
    const std::vector<char> gap(static_cast<size_t>(plan.shift), 0);
    sum.Add(reinterpret_cast<const uint8_t*>(gap.data()), gap.size());
    written = file && CopyBytes(in, file, plan.moveFrom - plan.headers.size(), sum) &&
              file.write(gap.data(), static_cast<std::streamsize>(gap.size())) &&
              CopyBytes(in, file, plan.oldSize - plan.moveFrom, sum);
    if (written) {
      uint8_t checksum[4];
      Write32(checksum, sum.Finish());
      file.seekp(static_cast<std::streamoff>(plan.checksumOffset));
      written = file.write(reinterpret_cast<const char*>(checksum), 4) && file.flush();
    }
  }
  if (written) {
    fs::permissions(temporary, fs::status(path).permissions(), ec);
    fs::rename(temporary, path, ec);
    written = !ec;
  }
  if (!written) {
    fs::remove(temporary, ec);
    err << "payloadtool: cannot write " << path << "\n";
    return 1;
  }
  out << "payloadtool: " << path << ": resource section moved from 0x" << std::hex << plan.moveFrom
      << " to 0x" << plan.moveFrom + plan.shift << std::dec << " (" << plan.shift << " bytes of padding)\n";
  return 0;
}

}  // namespace tools
