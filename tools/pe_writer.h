// Writes resource-only 32-bit PE libraries: IMAGE_FILE_DLL, no code, no entry
// point, one .rsrc section. Host-only (recordlib, samplegen, tests).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tools {

struct ResourceToWrite {
  std::string typeName;  // empty: the type is typeId
  uint16_t typeId = 0;
  std::string name;  // UTF-8; empty: the name is nameId. Stored in capitals (tools/resource_name.h)
  uint16_t nameId = 0;
  uint16_t language = 0;
  std::vector<uint8_t> data;
};

struct PeWriterOptions {
  // Total file size wanted, 0 for the natural size. The section's raw data is
  // grown in whole 0x200 units; any remainder follows the section as zeros.
  size_t paddedSize = 0;
  // Fill the optional header's CheckSum field. A record library leaves it 0:
  // its self record is stamped after its checksum is taken, and the PE sum
  // would have to cover those values while lying inside their checksum.
  bool computeChecksum = false;
};

struct WrittenPe {
  std::vector<uint8_t> bytes;
  std::vector<uint32_t> dataOffsets;  // file offset of each input resource's data, in input order
};

// False with a message in *error for duplicate resources, names that are not UTF-8 or
// a paddedSize smaller than the content.
bool WriteResourceDll(const std::vector<ResourceToWrite>& resources, const PeWriterOptions& options,
                      WrittenPe* out, std::string* error);

// A VS_VERSIONINFO block, language 0x0411 with the Unicode code page, holding
// the fixed file and product version and the given string values.
std::vector<uint8_t> MakeVersionBlock(const uint16_t (&version)[4],
                                      const std::vector<std::pair<std::string, std::string>>& strings);

// A manifest that asks for the asInvoker execution level.
std::vector<uint8_t> MakeAsInvokerManifest();

// The optional header's CheckSum, fed the image's bytes in order in pieces of
// any length (the CheckSum field itself must be fed as zeros).
class PeChecksum {
 public:
  void Add(const uint8_t* bytes, size_t count);
  uint32_t Finish() const;

 private:
  uint64_t sum_ = 0;     // 16-bit words added up; folded once at the end
  uint64_t length_ = 0;  // bytes fed so far
};

// The optional header's CheckSum over a whole image (the field itself read as zero).
uint32_t ComputePeChecksum(const std::vector<uint8_t>& image, size_t checksumFieldOffset);

}  // namespace tools
