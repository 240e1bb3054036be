// A bounds-checked reader of the resource tree of a PE image held in memory
// (32- and 64-bit). It never reads outside [image, image + size) and always
// ends, whatever the bytes: it serves recordlib on libraries of unknown origin
// and is meant to be driven by a fuzzer straight from raw bytes.
#pragma once

#include <cstddef>
#include <cstdint>

enum class PeStatus : uint8_t {
  kOk,
  kNotFound,           // the image is sound, the resource is not in it
  kTruncated,          // headers end before their stated size
  kNotPe,              // no "MZ" or no "PE\0\0" signature
  kBadOptionalHeader,  // unknown magic, or too short for its data directories
  kNoResources,        // no resource directory
  kBadAddress,         // an address maps to no section, or outside the file
  kBadResourceTree,    // a directory, entry, name or data entry is malformed
  kTooManyEntries,     // the tree is larger than any sound library could be
};

const char* DescribePeStatus(PeStatus status);

constexpr uint16_t kResourceTypeRcData = 10;
constexpr uint16_t kResourceTypeVersion = 16;
constexpr uint16_t kResourceTypeManifest = 24;

// A type or name as stored: either an integer id or a UTF-16LE string.
struct ResourceName {
  const unsigned char* text;  // UTF-16LE code units inside the image; null for an id
  uint16_t length;            // in code units
  uint16_t id;                // valid when text is null
};

struct ResourceEntry {
  ResourceName type;
  ResourceName name;
  uint16_t language;
  uint32_t dataRva;
  uint32_t dataOffset;  // file offset; [dataOffset, dataOffset + dataSize) lies inside the image
  uint32_t dataSize;
};

// What to look for: a name (ASCII, compared without regard to ASCII case), or,
// when name is null, an integer id.
struct ResourceKey {
  const char* name;
  uint16_t id;
};

inline ResourceKey MakeResourceKey(const char* name) { return ResourceKey{name, 0}; }
inline ResourceKey MakeResourceKey(uint16_t id) { return ResourceKey{nullptr, id}; }

// Called once per resource in directory order; returning false stops the walk.
using ResourceVisitor = bool (*)(const ResourceEntry& entry, void* context);

// Walks type, name and language levels and reports every resource whose data
// lies inside the image. Returns kOk after a complete (or visitor-stopped)
// walk; on a malformed image the walk stops at the fault, after reporting the
// resources that preceded it.
PeStatus EnumeratePeResources(const unsigned char* image, size_t size, ResourceVisitor visit, void* context);

// Finds the first resource (first language in directory order) of a type and
// name. kOk fills *found; kNotFound when absent; other values for a malformed image.
PeStatus FindPeResource(const unsigned char* image, size_t size, ResourceKey type, ResourceKey name,
                        ResourceEntry* found);

// Non-zero when the stored name equals the key (ASCII case folded).
int MatchResourceName(const ResourceName& stored, ResourceKey key);
