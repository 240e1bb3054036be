#include "verify/pe_resources.h"

#include <cstring>

namespace {

// A sound resource-only library has a handful of entries; this bound only
// stops a crafted tree whose levels share directories from multiplying
// 65535-entry tables into billions of visits.
constexpr uint32_t kMaxVisitedEntries = 1u << 16;
constexpr int kLanguageLevel = 2;  // type, name, language

uint16_t Read16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Read32(const unsigned char* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// The parts of the headers the walk needs. All arithmetic on offsets from the
// file is done in 64 bits, so no sum of two 32-bit fields can wrap.
struct PeView {
  const unsigned char* image;
  uint64_t size;
  uint64_t sectionTable;
  uint32_t sectionCount;
  uint32_t resourceRva;
};

struct MappedRange {
  uint64_t offset;  // file offset of the address
  uint64_t limit;   // file offset where the section's data (within the file) ends
};

bool Fits(const PeView& pe, uint64_t offset, uint64_t length) {
  return offset <= pe.size && length <= pe.size - offset;
}

PeStatus ReadHeaders(const unsigned char* image, size_t size, PeView* pe) {
  *pe = PeView{image, size, 0, 0, 0};
  if (size < 0x40) return PeStatus::kTruncated;
  if (image[0] != 'M' || image[1] != 'Z') return PeStatus::kNotPe;
  const uint64_t peOffset = Read32(image + 0x3C);
  if (!Fits(*pe, peOffset, 24)) return PeStatus::kTruncated;
  if (std::memcmp(image + peOffset, "PE\0\0", 4) != 0) return PeStatus::kNotPe;
  const unsigned char* fileHeader = image + peOffset + 4;
  const uint32_t sectionCount = Read16(fileHeader + 2);
  const uint32_t optionalSize = Read16(fileHeader + 16);
  const uint64_t optional = peOffset + 24;
  if (!Fits(*pe, optional, optionalSize) || optionalSize < 2) return PeStatus::kTruncated;
  uint32_t directoriesAt, countAt;
  switch (Read16(image + optional)) {
    case 0x10B:
      directoriesAt = 96, countAt = 92;
      break;  // 32-bit
    case 0x20B:
      directoriesAt = 112, countAt = 108;
      break;  // 64-bit
    default:
      return PeStatus::kBadOptionalHeader;
  }
  if (optionalSize < countAt + 4) return PeStatus::kBadOptionalHeader;
  // The resource directory is entry 2 of the data directories.
  if (Read32(image + optional + countAt) <= 2) return PeStatus::kNoResources;
  if (optionalSize < directoriesAt + 3 * 8) return PeStatus::kBadOptionalHeader;
  pe->resourceRva = Read32(image + optional + directoriesAt + 2 * 8);
  if (pe->resourceRva == 0) return PeStatus::kNoResources;
  pe->sectionTable = optional + optionalSize;
  pe->sectionCount = sectionCount;
  if (!Fits(*pe, pe->sectionTable, uint64_t{sectionCount} * 40)) return PeStatus::kTruncated;
  return PeStatus::kOk;
}

// Maps [rva, rva + length) to the file through the section that holds rva.
// Only bytes stored in the file count: a section's tail that exists only in
// memory (beyond its raw data) holds nothing a reader could return.
bool MapRva(const PeView& pe, uint32_t rva, uint64_t length, MappedRange* range) {
  for (uint32_t i = 0; i < pe.sectionCount; ++i) {
    const unsigned char* section = pe.image + pe.sectionTable + uint64_t{i} * 40;
    const uint32_t virtualSize = Read32(section + 8);
    const uint32_t virtualAddress = Read32(section + 12);
    uint64_t span = Read32(section + 16);
    const uint64_t rawPointer = Read32(section + 20);
    if (virtualSize != 0 && virtualSize < span) span = virtualSize;
    if (rva < virtualAddress || rva - virtualAddress >= span) continue;
    const uint64_t within = rva - virtualAddress;
    if (length > span - within) return false;
    range->offset = rawPointer + within;
    range->limit = rawPointer + span < pe.size ? rawPointer + span : pe.size;
    return Fits(pe, range->offset, length);
  }
  return false;
}

struct Walk {
  const PeView* pe;
  uint64_t base;   // file offset of the root directory
  uint64_t limit;  // tree offsets must stay below this (relative to base)
  uint32_t visited;
  ResourceVisitor visit;
  void* context;
  bool stopped;
};

bool InTree(const Walk& walk, uint64_t offset, uint64_t length) {
  return offset <= walk.limit && length <= walk.limit - offset;
}

PeStatus ReadName(const Walk& walk, uint32_t field, ResourceName* name) {
  if ((field & 0x80000000u) == 0) {
    if (field > 0xFFFF) return PeStatus::kBadResourceTree;
    *name = ResourceName{nullptr, 0, static_cast<uint16_t>(field)};
    return PeStatus::kOk;
  }
  const uint64_t at = field & 0x7FFFFFFFu;
  if (!InTree(walk, at, 2)) return PeStatus::kBadResourceTree;
  const unsigned char* p = walk.pe->image + walk.base + at;
  const uint16_t length = Read16(p);
  if (!InTree(walk, at + 2, uint64_t{length} * 2)) return PeStatus::kBadResourceTree;
  *name = ResourceName{p + 2, length, 0};
  return PeStatus::kOk;
}

PeStatus ReportData(Walk& walk, uint32_t at, ResourceEntry& entry) {
  if (!InTree(walk, at, 16)) return PeStatus::kBadResourceTree;
  const unsigned char* p = walk.pe->image + walk.base + at;
  entry.dataRva = Read32(p);
  entry.dataSize = Read32(p + 4);
  MappedRange range;
  if (!MapRva(*walk.pe, entry.dataRva, entry.dataSize, &range)) return PeStatus::kBadAddress;
  entry.dataOffset = static_cast<uint32_t>(range.offset);
  if (!walk.visit(entry, walk.context)) walk.stopped = true;
  return PeStatus::kOk;
}

// One directory table; levels are fixed (type, name, language), so a loop in
// the tree ends at the language level at the latest.
PeStatus WalkDirectory(Walk& walk, uint32_t at, int level, ResourceEntry& entry) {
  if (!InTree(walk, at, 16)) return PeStatus::kBadResourceTree;
  const unsigned char* table = walk.pe->image + walk.base + at;
  const uint32_t count = uint32_t{Read16(table + 12)} + Read16(table + 14);
  if (!InTree(walk, uint64_t{at} + 16, uint64_t{count} * 8)) return PeStatus::kBadResourceTree;
  for (uint32_t i = 0; i < count && !walk.stopped; ++i) {
    if (++walk.visited > kMaxVisitedEntries) return PeStatus::kTooManyEntries;
    const unsigned char* item = table + 16 + uint64_t{i} * 8;
    ResourceName name;
    PeStatus status = ReadName(walk, Read32(item), &name);
    if (status != PeStatus::kOk) return status;
    const uint32_t target = Read32(item + 4);
    const bool isDirectory = (target & 0x80000000u) != 0;
    if (isDirectory != (level < kLanguageLevel)) return PeStatus::kBadResourceTree;
    if (level == 0) {
      entry.type = name;
    } else if (level == 1) {
      entry.name = name;
    } else {
      if (name.text != nullptr) return PeStatus::kBadResourceTree;
      entry.language = name.id;
    }
    status = isDirectory ? WalkDirectory(walk, target & 0x7FFFFFFFu, level + 1, entry)
                         : ReportData(walk, target, entry);
    if (status != PeStatus::kOk) return status;
  }
  return PeStatus::kOk;
}

struct FindRequest {
  ResourceKey type;
  ResourceKey name;
  ResourceEntry* found;
  bool hit;
};

bool VisitForFind(const ResourceEntry& entry, void* context) {
  FindRequest* request = static_cast<FindRequest*>(context);
  if (!MatchResourceName(entry.type, request->type) || !MatchResourceName(entry.name, request->name))
    return true;
  *request->found = entry;
  request->hit = true;
  return false;
}

char FoldAscii(unsigned c) { return static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c); }

}  // namespace

const char* DescribePeStatus(PeStatus status) {
  switch (status) {
    case PeStatus::kOk:
      return "ok";
    case PeStatus::kNotFound:
      return "resource not found";
    case PeStatus::kTruncated:
      return "file ends inside its headers";
    case PeStatus::kNotPe:
      return "not a PE image (no MZ or PE signature)";
    case PeStatus::kBadOptionalHeader:
      return "unknown or short optional header";
    case PeStatus::kNoResources:
      return "no resource directory";
    case PeStatus::kBadAddress:
      return "an address points outside the file's sections";
    case PeStatus::kBadResourceTree:
      return "malformed resource directory";
    case PeStatus::kTooManyEntries:
      return "resource directory has too many entries";
  }
  return "unknown status";
}

int MatchResourceName(const ResourceName& stored, ResourceKey key) {
  if (key.name == nullptr) return stored.text == nullptr && stored.id == key.id ? 1 : 0;
  if (stored.text == nullptr) return 0;
  for (uint16_t i = 0; i < stored.length; ++i) {
    const unsigned char c = static_cast<unsigned char>(key.name[i]);
    const uint16_t unit = Read16(stored.text + 2 * i);
    // Only ASCII folds; a zero here means the key ended first.
    if (c == 0 || c >= 0x80 || unit >= 0x80 || FoldAscii(c) != FoldAscii(unit)) return 0;
  }
  return key.name[stored.length] == '\0' ? 1 : 0;
}

PeStatus EnumeratePeResources(const unsigned char* image, size_t size, ResourceVisitor visit, void* context) {
  PeView pe;
  PeStatus status = ReadHeaders(image, size, &pe);
  if (status != PeStatus::kOk) return status;
  MappedRange root;
  if (!MapRva(pe, pe.resourceRva, 16, &root)) return PeStatus::kBadAddress;
  Walk walk{&pe, root.offset, root.limit - root.offset, 0, visit, context, false};
  ResourceEntry entry{};
  return WalkDirectory(walk, 0, 0, entry);
}

PeStatus FindPeResource(const unsigned char* image, size_t size, ResourceKey type, ResourceKey name,
                        ResourceEntry* found) {
  FindRequest request{type, name, found, false};
  PeStatus status = EnumeratePeResources(image, size, VisitForFind, &request);
  if (request.hit) return PeStatus::kOk;
  return status == PeStatus::kOk ? PeStatus::kNotFound : status;
}
