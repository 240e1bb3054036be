#include "tools/pe_writer.h"

#include <algorithm>
#include <map>

#include "tools/resource_name.h"

namespace tools {
namespace {

constexpr uint32_t kFileAlignment = 0x200;
constexpr uint32_t kSectionAlignment = 0x1000;
constexpr uint32_t kSectionRva = 0x1000;
constexpr uint32_t kPeOffset = 0x40;
constexpr uint32_t kOptionalHeaderSize = 0xE0;
constexpr uint32_t kOptionalHeaderOffset = kPeOffset + 4 + 20;
constexpr uint32_t kChecksumFieldOffset = kOptionalHeaderOffset + 64;
constexpr uint32_t kSectionTableOffset = kOptionalHeaderOffset + kOptionalHeaderSize;
constexpr uint32_t kHeadersSize = 0x200;  // DOS header, PE headers and one section header, aligned

size_t AlignUp(size_t value, size_t alignment) { return (value + alignment - 1) / alignment * alignment; }

void Put16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  Put16(b, at, v & 0xFFFF);
  Put16(b, at + 2, v >> 16);
}
void Append16(std::vector<uint8_t>& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void Append32(std::vector<uint8_t>& b, uint32_t v) {
  Append16(b, v & 0xFFFF);
  Append16(b, v >> 16);
}
void PadTo(std::vector<uint8_t>& b, size_t alignment) { b.resize(AlignUp(b.size(), alignment), 0); }

// Directory order: named entries first, sorted by their code units, then ids ascending.
struct Key {
  bool named;
  std::u16string name;
  uint16_t id;
  bool operator<(const Key& o) const {
    if (named != o.named) return named;
    return named ? name < o.name : id < o.id;
  }
};

bool MakeKey(const std::string& name, uint16_t id, Key* key, std::string* error) {
  if (name.empty()) {
    *key = Key{false, {}, id};
    return true;
  }
  std::u16string units;
  if (!ResourceNameUnits(name, &units)) {
    *error = "resource name '" + name + "' is not UTF-8 text";
    return false;
  }
  *key = Key{true, units, 0};
  return true;
}

std::vector<uint8_t> Utf16(const std::string& ascii, bool terminate) {
  std::vector<uint8_t> b;
  for (unsigned char c : ascii) Append16(b, c);
  if (terminate) Append16(b, 0);
  return b;
}

// One VS_VERSIONINFO node: header, key, value and children, each 4-aligned.
std::vector<uint8_t> VersionNode(const std::string& key, uint16_t type, uint16_t valueLength,
                                 const std::vector<uint8_t>& value,
                                 const std::vector<std::vector<uint8_t>>& children) {
  std::vector<uint8_t> b(6, 0);
  auto k = Utf16(key, true);
  b.insert(b.end(), k.begin(), k.end());
  PadTo(b, 4);
  b.insert(b.end(), value.begin(), value.end());
  for (const auto& child : children) {
    PadTo(b, 4);
    b.insert(b.end(), child.begin(), child.end());
  }
  Put16(b, 0, static_cast<uint32_t>(b.size()));
  Put16(b, 2, valueLength);
  Put16(b, 4, type);
  return b;
}

}  // namespace

std::vector<uint8_t> MakeVersionBlock(const uint16_t (&version)[4],
                                      const std::vector<std::pair<std::string, std::string>>& strings) {
  std::vector<uint8_t> fixed;
  const uint32_t ms = uint32_t{version[0]} << 16 | version[1], ls = uint32_t{version[2]} << 16 | version[3];
  for (uint32_t v : {0xFEEF04BDu, 0x00010000u, ms, ls, ms, ls, 0x3Fu, 0u, 0x40004u /* NT, Win32 */,
                     2u /* DLL */, 0u, 0u, 0u})
    Append32(fixed, v);
  std::vector<std::vector<uint8_t>> values;
  for (const auto& [name, text] : strings)
    values.push_back(VersionNode(name, 1, static_cast<uint16_t>(text.size() + 1), Utf16(text, true), {}));
  auto table = VersionNode("041104b0", 1, 0, {}, values);
  auto stringInfo = VersionNode("StringFileInfo", 1, 0, {}, {table});
  std::vector<uint8_t> translation;
  Append16(translation, 0x0411);
  Append16(translation, 0x04B0);
  auto var = VersionNode("Translation", 0, 4, translation, {});
  auto varInfo = VersionNode("VarFileInfo", 1, 0, {}, {var});
  return VersionNode("VS_VERSION_INFO", 0, static_cast<uint16_t>(fixed.size()), fixed, {stringInfo, varInfo});
}

std::vector<uint8_t> MakeAsInvokerManifest() {
  static const char kText[] =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
      "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\n"
      "<trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\"><security><requestedPrivileges>\n"
      "<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>\n"
      "</requestedPrivileges></security></trustInfo>\n"
      "</assembly>\n";
  return std::vector<uint8_t>(kText, kText + sizeof kText - 1);
}

void PeChecksum::Add(const uint8_t* bytes, size_t count) {
  size_t i = 0;
  // A piece that started on an odd byte completes the word left open.
  if (length_ % 2 == 1 && count != 0) sum_ += uint64_t{bytes[i++]} << 8;
  for (; i + 1 < count; i += 2) sum_ += static_cast<uint16_t>(bytes[i] | bytes[i + 1] << 8);
  if (i < count) sum_ += bytes[i];
  length_ += count;
}

uint32_t PeChecksum::Finish() const {
  // Folding once at the end gives what folding after every word gives: the
  // end-around-carry sum, which is 0 only when every word is.
  uint64_t sum = sum_;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum + length_);
}

uint32_t ComputePeChecksum(const std::vector<uint8_t>& image, size_t checksumFieldOffset) {
  static const uint8_t kZeros[4] = {};
  PeChecksum sum;
  sum.Add(image.data(), checksumFieldOffset);
  sum.Add(kZeros, 4);
  sum.Add(image.data() + checksumFieldOffset + 4, image.size() - checksumFieldOffset - 4);
  return sum.Finish();
}

bool WriteResourceDll(const std::vector<ResourceToWrite>& resources, const PeWriterOptions& options,
                      WrittenPe* out, std::string* error) {
  // type -> name -> language -> index into resources
  std::map<Key, std::map<Key, std::map<uint16_t, size_t>>> tree;
  for (size_t i = 0; i < resources.size(); ++i) {
    const ResourceToWrite& r = resources[i];
    Key type, name;
    if (!MakeKey(r.typeName, r.typeId, &type, error) || !MakeKey(r.name, r.nameId, &name, error))
      return false;
    if (!tree[type][name].emplace(r.language, i).second) {
      *error = "resource '" + (r.name.empty() ? std::to_string(r.nameId) : r.name) +
               "' appears twice in language " + std::to_string(r.language);
      return false;
    }
  }

  // Layout, as resource compilers do it: all directory tables breadth first,
  // then the name strings, then the data entries, then the data.
  const size_t dataCount = resources.size();
  size_t size = 16 + 8 * tree.size();
  for (const auto& [type, names] : tree) size += 16 + 8 * names.size();
  for (const auto& [type, names] : tree)
    for (const auto& [name, languages] : names) size += 16 + 8 * languages.size();
  const size_t stringsAt = size;
  for (const auto& [type, names] : tree) {
    if (type.named) size += 2 + 2 * type.name.size();
    for (const auto& [name, languages] : names)
      if (name.named) size += 2 + 2 * name.name.size();
  }
  const size_t dataEntriesAt = AlignUp(size, 4);
  size_t dataAt = AlignUp(dataEntriesAt + 16 * dataCount, 8);
  std::vector<size_t> dataOffset(resources.size());
  for (const auto& [type, names] : tree)
    for (const auto& [name, languages] : names)
      for (const auto& [language, index] : languages) {
        dataOffset[index] = dataAt;
        dataAt = AlignUp(dataAt + resources[index].data.size(), 8);
      }
  const size_t treeSize = dataAt;

  std::vector<uint8_t> section(treeSize, 0);
  size_t nextTable = 16 + 8 * tree.size(), nextString = stringsAt, nextDataEntry = dataEntriesAt;
  auto writeName = [&](size_t entryAt, const Key& key, size_t* namedCount) {
    if (!key.named) {
      Put32(section, entryAt, key.id);
      return;
    }
    ++*namedCount;
    Put32(section, entryAt, 0x80000000u | static_cast<uint32_t>(nextString));
    Put16(section, nextString, static_cast<uint32_t>(key.name.size()));
    for (size_t i = 0; i < key.name.size(); ++i) Put16(section, nextString + 2 + 2 * i, key.name[i]);
    nextString += 2 + 2 * key.name.size();
  };
  auto finishTable = [&](size_t at, size_t count, size_t named) {
    Put16(section, at + 12, static_cast<uint32_t>(named));
    Put16(section, at + 14, static_cast<uint32_t>(count - named));
  };

  // Pass 1 places the type tables, pass 2 the name tables beneath them.
  std::vector<size_t> typeTables;
  size_t rootNamed = 0, i = 0;
  for (const auto& [type, names] : tree) {
    size_t entryAt = 16 + 8 * i++;
    writeName(entryAt, type, &rootNamed);
    typeTables.push_back(nextTable);
    Put32(section, entryAt + 4, 0x80000000u | static_cast<uint32_t>(nextTable));
    nextTable += 16 + 8 * names.size();
  }
  finishTable(0, tree.size(), rootNamed);
  size_t t = 0;
  for (const auto& [type, names] : tree) {
    size_t table = typeTables[t++], named = 0, n = 0;
    for (const auto& [name, languages] : names) {
      size_t entryAt = table + 16 + 8 * n++;
      writeName(entryAt, name, &named);
      Put32(section, entryAt + 4, 0x80000000u | static_cast<uint32_t>(nextTable));
      size_t languageTable = nextTable, l = 0;
      nextTable += 16 + 8 * languages.size();
      for (const auto& [language, index] : languages) {
        size_t languageAt = languageTable + 16 + 8 * l++;
        Put32(section, languageAt, language);
        Put32(section, languageAt + 4, static_cast<uint32_t>(nextDataEntry));
        Put32(section, nextDataEntry, static_cast<uint32_t>(kSectionRva + dataOffset[index]));
        Put32(section, nextDataEntry + 4, static_cast<uint32_t>(resources[index].data.size()));
        nextDataEntry += 16;
        std::copy(resources[index].data.begin(), resources[index].data.end(),
                  section.begin() + dataOffset[index]);
      }
      finishTable(languageTable, languages.size(), 0);
    }
    finishTable(table, names.size(), named);
  }

  size_t rawSize = AlignUp(treeSize, kFileAlignment);
  size_t fileSize = kHeadersSize + rawSize;
  if (options.paddedSize != 0) {
    if (options.paddedSize < fileSize) {
      *error = "the resources need " + std::to_string(fileSize) + " bytes, more than the requested " +
               std::to_string(options.paddedSize);
      return false;
    }
    rawSize = (options.paddedSize - kHeadersSize) / kFileAlignment * kFileAlignment;
    fileSize = options.paddedSize;
  }

  std::vector<uint8_t>& b = out->bytes;
  b.assign(fileSize, 0);
  b[0] = 'M', b[1] = 'Z';
  Put32(b, 0x3C, kPeOffset);
  std::copy_n("PE\0\0", 4, b.begin() + kPeOffset);
  const size_t fh = kPeOffset + 4;
  Put16(b, fh, 0x14C);  // i386
  Put16(b, fh + 2, 1);  // one section
  Put16(b, fh + 16, kOptionalHeaderSize);
  // Executable image, line numbers and local symbols stripped, 32-bit, DLL.
  Put16(b, fh + 18, 0x0002 | 0x0004 | 0x0008 | 0x0100 | 0x2000);
  const size_t oh = kOptionalHeaderOffset;
  const uint32_t imageSize = static_cast<uint32_t>(AlignUp(kSectionRva + treeSize, kSectionAlignment));
  Put16(b, oh, 0x10B);
  b[oh + 2] = 14;                                    // linker version, informational
  Put32(b, oh + 8, static_cast<uint32_t>(rawSize));  // SizeOfInitializedData
  Put32(b, oh + 20, kSectionRva);                    // BaseOfCode (there is none)
  Put32(b, oh + 24, kSectionRva);                    // BaseOfData
  Put32(b, oh + 28, 0x10000000);                     // ImageBase
  Put32(b, oh + 32, kSectionAlignment);
  Put32(b, oh + 36, kFileAlignment);
  Put16(b, oh + 40, 5), Put16(b, oh + 42, 1);  // operating system 5.1
  Put16(b, oh + 48, 5), Put16(b, oh + 50, 1);  // subsystem 5.1
  Put32(b, oh + 56, imageSize);
  Put32(b, oh + 60, kHeadersSize);
  Put16(b, oh + 68, 2);                         // Windows GUI
  Put16(b, oh + 70, 0x0040 | 0x0100 | 0x0400);  // dynamic base, NX compatible, no SEH
  Put32(b, oh + 72, 0x100000), Put32(b, oh + 76, 0x1000);
  Put32(b, oh + 80, 0x100000), Put32(b, oh + 84, 0x1000);
  Put32(b, oh + 92, 16);                   // data directories
  Put32(b, oh + 96 + 2 * 8, kSectionRva);  // resource directory
  Put32(b, oh + 96 + 2 * 8 + 4, static_cast<uint32_t>(treeSize));
  const size_t sh = kSectionTableOffset;
  std::copy_n(".rsrc", 5, b.begin() + sh);
  Put32(b, sh + 8, static_cast<uint32_t>(treeSize));
  Put32(b, sh + 12, kSectionRva);
  Put32(b, sh + 16, static_cast<uint32_t>(rawSize));
  Put32(b, sh + 20, kHeadersSize);
  Put32(b, sh + 36, 0x40000040);  // initialized data, readable
  std::copy(section.begin(), section.end(), b.begin() + kHeadersSize);
  if (options.computeChecksum) Put32(b, kChecksumFieldOffset, ComputePeChecksum(b, kChecksumFieldOffset));

  out->dataOffsets.clear();
  for (size_t offset : dataOffset) out->dataOffsets.push_back(static_cast<uint32_t>(kHeadersSize + offset));
  return true;
}

}  // namespace tools
