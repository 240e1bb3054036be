#include "tools/record_library.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "tools/pe_writer.h"
#include "tools/resource_name.h"
#include "verify/pe_resources.h"
#include "verify/record.h"

namespace tools {
namespace {

bool VisitRecord(const ResourceEntry& entry, void* context) {
  auto* records = static_cast<std::vector<ResourceEntry>*>(context);
  if (entry.type.text == nullptr && entry.type.id == kResourceTypeRcData) records->push_back(entry);
  return true;
}

std::string NameText(const ResourceName& name) {
  if (name.text == nullptr) {
    // Appended rather than "#" + ...: GCC 12 warns falsely about that form (-Wrestrict).
    std::string text = "#";
    text += std::to_string(name.id);
    return text;
  }
  std::u16string units(name.length, u'\0');
  for (uint16_t i = 0; i < name.length; ++i)
    units[i] = static_cast<char16_t>(name.text[2 * i] | name.text[2 * i + 1] << 8);
  return Utf8OfUnits(units);
}

std::string Hex8(uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", value);
  return text;
}

std::string Hex4(uint32_t value) {
  char text[7];
  std::snprintf(text, sizeof text, "0x%04x", value);
  return text;
}

std::string Pair(FileChecksum c) { return Hex8(c.byteSum) + " " + Hex8(c.wordXor); }

// What differs between a stated and a computed checksum, or "OK".
std::string Verdict(FileChecksum stated, FileChecksum computed) {
  if (stated == computed) return "OK";
  std::string what;
  if (stated.byteSum != computed.byteSum) what = "byte sum";
  if (stated.wordXor != computed.wordXor) what += what.empty() ? "word xor" : " and word xor";
  return "DIFFERS (" + what + ")";
}

// Printable form of a record's text, for list.
std::string Printable(const std::vector<uint8_t>& data) {
  std::string text;
  for (uint8_t c : data) {
    if (c == 0) break;
    text.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.');
  }
  return text;
}

bool IsSelfRecord(const LibraryRecord& r) { return ResourceNameCapitals(r.name) == kSelfRecordName; }

bool LoadRecordBuffer(const LibraryRecord& record, unsigned char (&buffer)[kRecordBufferSize]) {
  return CopyRecordToBuffer(record.data.data(), record.data.size(), buffer);
}

int CommandBuild(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::string output;
  size_t paddedSize = 0;
  std::vector<std::string> files;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--out" && i + 1 < args.size()) {
      output = args[++i];
    } else if (args[i] == "--size" && i + 1 < args.size()) {
      char* end = nullptr;
      unsigned long long value = std::strtoull(args[++i].c_str(), &end, 0);
      if (*end != '\0' || value == 0) {
        err << "recordlib: --size wants a positive number, not '" << args[i] << "'\n";
        return 2;
      }
      paddedSize = static_cast<size_t>(value);
    } else if (args[i].rfind("--", 0) == 0) {
      err << "recordlib: unknown option " << args[i] << "\n";
      return 2;
    } else {
      files.push_back(args[i]);
    }
  }
  if (output.empty() || files.empty()) {
    err << "usage: recordlib build --out LIB.dll [--size N] FILE...\n";
    return 2;
  }
  std::vector<RecordSource> sources;
  std::string error;
  for (const auto& file : files) {
    RecordSource source{RecordNameForPath(file), {}};
    if (!ReadWholeFile(file, &source.content, &error)) {
      err << "recordlib: " << error << "\n";
      return 2;
    }
    sources.push_back(std::move(source));
  }
  std::vector<uint8_t> library;
  if (!BuildRecordLibrary(sources, paddedSize, &library, &error)) {
    err << "recordlib: " << error << "\n";
    return 2;
  }
  std::ofstream stream(output, std::ios::binary | std::ios::trunc);
  stream.write(reinterpret_cast<const char*>(library.data()), static_cast<std::streamsize>(library.size()));
  if (!stream.flush()) {
    err << "recordlib: cannot write " << output << "\n";
    return 2;
  }
  out << output << ": " << sources.size() << " file records and the self record, " << library.size()
      << " bytes\n";
  return 0;
}

bool LoadRecordLibraryFile(const std::string& path, std::vector<uint8_t>* bytes,
                           std::vector<LibraryRecord>* records, std::ostream& err) {
  std::string error;
  if (!ReadWholeFile(path, bytes, &error) || !ReadLibraryRecords(*bytes, records, &error)) {
    err << "recordlib: " << (error.rfind(path, 0) == 0 ? "" : path + ": ") << error << "\n";
    return false;
  }
  return true;
}

int CommandList(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.size() != 1) {
    err << "usage: recordlib list LIB.dll\n";
    return 2;
  }
  std::vector<uint8_t> bytes;
  std::vector<LibraryRecord> records;
  if (!LoadRecordLibraryFile(args[0], &bytes, &records, err)) return 2;
  for (const auto& r : records) {
    out << r.name << "  language " << Hex4(r.language) << "  " << r.data.size() << " bytes  ";
    unsigned char buffer[kRecordBufferSize];
    if (!LoadRecordBuffer(r, buffer)) {
      out << "too large for a record (over " << kRecordBufferSize << " bytes)\n";
    } else if (IsSelfRecord(r)) {
      SelfRecordValues v = ReadSelfRecord(buffer);
      out << "self record: hole at 0x" << Hex8(v.holeOffset) << ", byte sum " << Hex8(v.checksum.byteSum)
          << ", word xor " << Hex8(v.checksum.wordXor) << "\n";
    } else {
      FileChecksum c = ReadFileRecord(buffer);
      out << "file record \"" << Printable(r.data) << "\": byte sum " << Hex8(c.byteSum) << ", word xor "
          << Hex8(c.wordXor) << "\n";
    }
  }
  return 0;
}

int CommandVerify(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::string library, install, mainName;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--install" && i + 1 < args.size()) {
      install = args[++i];
    } else if (args[i] == "--main" && i + 1 < args.size()) {
      mainName = ResourceNameCapitals(args[++i]);
    } else if (args[i].rfind("--", 0) == 0 || !library.empty()) {
      err << "recordlib: unexpected argument " << args[i] << "\n";
      return 2;
    } else {
      library = args[i];
    }
  }
  if (library.empty()) {
    err << "usage: recordlib verify LIB.dll [--install DIR [--main NAME]]\n";
    return 2;
  }
  std::vector<uint8_t> bytes;
  std::vector<LibraryRecord> records;
  if (!LoadRecordLibraryFile(library, &bytes, &records, err)) return 2;

  bool pass = true;
  // The self record decides whether the library can be trusted at all.
  const LibraryRecord* self = nullptr;
  for (const auto& r : records)
    if (IsSelfRecord(r) && self == nullptr) self = &r;
  unsigned char buffer[kRecordBufferSize];
  if (self == nullptr) {
    out << kSelfRecordName << "  MISSING (no self record)\n";
    pass = false;
  } else if (!LoadRecordBuffer(*self, buffer)) {
    out << self->name << "  TOO LARGE (" << self->data.size() << " bytes)\n";
    pass = false;
  } else {
    SelfRecordValues stated = ReadSelfRecord(buffer);
    FileChecksum computed = ScanFileChecksum(bytes.data(), bytes.size(), true, stated.holeOffset);
    std::string verdict = Verdict(stated.checksum, computed);
    out << self->name << "  stated " << Pair(stated.checksum) << "  computed " << Pair(computed) << "  "
        << verdict << "\n";
    pass = pass && verdict == "OK";
  }
  if (install.empty()) return pass ? 0 : 1;

  std::error_code ec;
  if (!std::filesystem::is_directory(install, ec)) {
    err << "recordlib: " << install << " is not a folder\n";
    return 2;
  }
  // Every file under the install folder by its record name; sorted so the report is stable.
  std::vector<std::pair<std::string, std::filesystem::path>> found;
  for (auto it = std::filesystem::recursive_directory_iterator(install, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    if (it->is_regular_file(ec)) found.emplace_back(RecordNameForPath(it->path().string()), it->path());
  if (ec) {
    err << "recordlib: cannot read " << install << ": " << ec.message() << "\n";
    return 2;
  }
  std::sort(found.begin(), found.end());
  if (mainName.empty()) {
    // The main program is the library's one .EXE record; with several, the
    // caller must say which, since a wrong guess could pass an installation
    // whose real main program is missing.
    std::vector<std::string> programs;
    for (const auto& r : records)
      if (!IsSelfRecord(r) && r.name.size() > 4 &&
          ResourceNameCapitals(r.name.substr(r.name.size() - 4)) == ".EXE")
        programs.push_back(ResourceNameCapitals(r.name));
    if (programs.size() > 1) {
      err << "recordlib: the library has several .EXE records (";
      for (size_t i = 0; i < programs.size(); ++i) err << (i ? ", " : "") << programs[i];
      err << "); name the main program with --main\n";
      return 2;
    }
    if (!programs.empty()) mainName = programs[0];
  }
  bool mainSeen = false;
  for (const auto& r : records) {
    if (IsSelfRecord(r)) continue;
    const std::string upper = ResourceNameCapitals(r.name);
    const bool isMain = upper == mainName;
    if (!LoadRecordBuffer(r, buffer)) {
      out << r.name << "  TOO LARGE (" << r.data.size() << " bytes)\n";
      pass = false;
      continue;
    }
    FileChecksum stated = ReadFileRecord(buffer);
    bool any = false;
    for (const auto& [name, path] : found) {
      if (name != upper) continue;
      any = true;
      std::vector<uint8_t> content;
      std::string error;
      if (!ReadWholeFile(path.string(), &content, &error)) {
        out << r.name << " (" << path.string() << ")  UNREADABLE: " << error << "\n";
        pass = false;
        continue;
      }
      FileChecksum computed = ScanFileChecksum(content.data(), content.size(), false, 0);
      std::string verdict = Verdict(stated, computed);
      out << r.name << " (" << std::filesystem::relative(path, install, ec).string() << ")  stated "
          << Pair(stated) << "  computed " << Pair(computed) << "  " << verdict << "\n";
      pass = pass && verdict == "OK";
      // The updater looks for the main program in the install folder itself only.
      if (isMain && std::filesystem::equivalent(path.parent_path(), install, ec)) mainSeen = true;
    }
    if (!any) out << r.name << "  not present" << (isMain ? ": MISSING (main program)" : "") << "\n";
    if (isMain && any && !mainSeen)
      out << r.name << "  not in the install folder itself: MISSING (main program)\n";
  }
  if (mainName.empty()) {
    out << "no main program: the library has no .EXE record and --main was not given\n";
    pass = false;
  } else if (!mainSeen) {
    pass = false;
  }
  return pass ? 0 : 1;
}

}  // namespace

std::string RecordNameForPath(const std::string& path) {
  return ResourceNameCapitals(std::filesystem::path(path).filename().string());
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* content, std::string* error) {
  std::ifstream stream(path, std::ios::binary);
  std::error_code ec;
  if (!stream || std::filesystem::is_directory(path, ec)) {
    *error = "cannot read " + path;
    return false;
  }
  content->assign(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
  if (stream.bad()) {
    *error = "cannot read " + path;
    return false;
  }
  return true;
}

bool BuildRecordLibrary(const std::vector<RecordSource>& sources, size_t paddedSize,
                        std::vector<uint8_t>* library, std::string* error) {
  std::vector<ResourceToWrite> resources;
  for (const auto& source : sources) {
    const std::string name = ResourceNameCapitals(source.recordName);
    // FindResourceA without a language could return either of two records
    // sharing the library's own name; refuse the ambiguity.
    if (name == kSelfRecordName) {
      *error = "a file named " + source.recordName + " would clash with the library's own record";
      return false;
    }
    char text[kFileRecordLength + 1];
    FormatFileRecord(ScanFileChecksum(source.content.data(), source.content.size(), false, 0), text);
    ResourceToWrite resource;
    resource.typeId = kResourceTypeRcData;
    resource.name = name;
    resource.language = 0;
    resource.data.assign(text, text + kFileRecordLength);
    resources.push_back(std::move(resource));
  }
  ResourceToWrite self;
  self.typeId = kResourceTypeRcData;
  self.name = kSelfRecordName;
  self.language = kSelfRecordLanguage;
  unsigned char blank[kSelfRecordSize];
  FormatSelfRecord(SelfRecordValues{0, FileChecksum{0, 0}}, blank);
  self.data.assign(blank, blank + kSelfRecordSize);
  const size_t selfIndex = resources.size();
  resources.push_back(std::move(self));

  ResourceToWrite version;
  version.typeId = kResourceTypeVersion;
  version.nameId = 1;
  version.language = kSelfRecordLanguage;
  const uint16_t number[4] = {1, 0, 0, 0};
  version.data =
      MakeVersionBlock(number, {{"FileDescription", "Checksum records"}, {"FileVersion", "1.0.0.0"}});
  resources.push_back(std::move(version));
  ResourceToWrite manifest;
  manifest.typeId = kResourceTypeManifest;
  manifest.nameId = 2;  // the id a DLL's own manifest has
  manifest.language = kSelfRecordLanguage;
  manifest.data = MakeAsInvokerManifest();
  resources.push_back(std::move(manifest));

  PeWriterOptions options;
  options.paddedSize = paddedSize;
  WrittenPe written;
  if (!WriteResourceDll(resources, options, &written, error)) return false;

  // The hole covers the record's three values; they are stamped after the
  // checksum of the rest of the finished file is taken, so stamping them
  // cannot change it.
  const uint32_t recordAt = written.dataOffsets[selfIndex];
  const uint32_t hole = recordAt + kSelfRecordHoleStart;
  SelfRecordValues values{hole, ScanFileChecksum(written.bytes.data(), written.bytes.size(), true, hole)};
  unsigned char record[kSelfRecordSize];
  FormatSelfRecord(values, record);
  std::memcpy(written.bytes.data() + recordAt, record, kSelfRecordSize);
  *library = std::move(written.bytes);
  return true;
}

bool ReadLibraryRecords(const std::vector<uint8_t>& library, std::vector<LibraryRecord>* records,
                        std::string* error) {
  std::vector<ResourceEntry> entries;
  PeStatus status = EnumeratePeResources(library.data(), library.size(), VisitRecord, &entries);
  if (status != PeStatus::kOk) {
    *error = std::string("not a readable record library: ") + DescribePeStatus(status);
    return false;
  }
  records->clear();
  for (const auto& e : entries) {
    const uint8_t* data = library.data() + e.dataOffset;
    records->push_back(LibraryRecord{NameText(e.name), e.language, e.dataOffset,
                                     std::vector<uint8_t>(data, data + e.dataSize)});
  }
  return true;
}

int RunRecordlib(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  const std::vector<std::string> rest(args.empty() ? args.end() : args.begin() + 1, args.end());
  if (!args.empty() && args[0] == "build") return CommandBuild(rest, out, err);
  if (!args.empty() && args[0] == "list") return CommandList(rest, out, err);
  if (!args.empty() && args[0] == "verify") return CommandVerify(rest, out, err);
  err << "usage: recordlib build --out LIB.dll [--size N] FILE...\n"
         "       recordlib list LIB.dll\n"
         "       recordlib verify LIB.dll [--install DIR [--main NAME]]\n";
  return 2;
}

}  // namespace tools
