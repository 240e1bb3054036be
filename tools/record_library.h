// Building and reading record libraries: a resource-only DLL whose RT_RCDATA
// resources are the FileRecords of the files it describes plus its own
// SelfRecord. Host-only; shared by recordlib, samplegen and the tests.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "verify/checksum.h"

namespace tools {

constexpr char kSelfRecordName[] = "RESOURCE.DLL";
constexpr uint16_t kSelfRecordLanguage = 0x0411;

struct RecordSource {
  std::string recordName;  // file name without folders; stored in capitals
  std::vector<uint8_t> content;
};

// One FileRecord per source (neutral language), the SelfRecord in language
// 0x0411, a version block and an asInvoker manifest; paddedSize 0 keeps the
// natural size. The SelfRecord's values are stamped last, over the finished file.
bool BuildRecordLibrary(const std::vector<RecordSource>& sources, size_t paddedSize,
                        std::vector<uint8_t>* library, std::string* error);

struct LibraryRecord {
  std::string name;  // as stored, in UTF-8
  uint16_t language;
  uint32_t offset;  // file offset of the record's data
  std::vector<uint8_t> data;
};

// Every RT_RCDATA resource of a library, in directory order. False with a
// message for anything the bounds-checked reader refuses.
bool ReadLibraryRecords(const std::vector<uint8_t>& library, std::vector<LibraryRecord>* records,
                        std::string* error);

// The record name for a path: the last component in capitals (tools/resource_name.h).
std::string RecordNameForPath(const std::string& path);

// The recordlib command line (arguments after the program name). Returns the
// exit code: 0 success, 1 a library or file that does not match, 2 usage or
// unreadable/malformed input.
int RunRecordlib(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* content, std::string* error);

}  // namespace tools
