#include "verify/install_check.h"

#include <cstdint>
#include <cstdlib>

#include "app/texts.h"
#include "app/win_util.h"
#include "title/title_profile.h"

namespace {

// A file's whole content in one heap block; the owner frees it once.
class FileContent {
 public:
  FileContent() = default;
  FileContent(const FileContent&) = delete;
  FileContent& operator=(const FileContent&) = delete;
  ~FileContent() { std::free(bytes_); }

  // One read of the whole file. Fails on a size GetFileSize cannot report, a
  // file of 4 GiB or more, and a read that delivers fewer bytes than the size:
  // a partial scan must never pass for the file.
  int Read(const char* path) {
    UniqueFile file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) return 0;
    DWORD high = 0;
    const DWORD size = GetFileSize(file.Get(), &high);
    if ((size == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) || high != 0) return 0;
    // An empty file still gets a valid block.
    bytes_ = static_cast<unsigned char*>(std::malloc(size ? size : 1));
    if (!bytes_) return 0;
    DWORD read = 0;
    if (!ReadFile(file.Get(), bytes_, size, &read, nullptr) || read != size) return 0;
    size_ = size;
    return 1;
  }

  const unsigned char* Bytes() const { return bytes_; }
  size_t Size() const { return size_; }

 private:
  unsigned char* bytes_ = nullptr;
  size_t size_ = 0;
};

// The loader hands out a record's address as the library's resource directory
// states it, unchecked: a library whose record lies past its end would make
// the copy read unmapped memory and crash the updater. Every byte of the
// record must lie in readable memory of the library's own mapping.
bool RecordInsideLibrary(HMODULE library, const void* bytes, DWORD size) {
  // A module loaded as a data file is its mapping's base with flag bits set.
  const uintptr_t base = reinterpret_cast<uintptr_t>(library) & ~static_cast<uintptr_t>(3);
  uintptr_t at = reinterpret_cast<uintptr_t>(bytes);
  const uintptr_t end = at + size;
  if (end < at) return false;
  while (at < end) {
    MEMORY_BASIC_INFORMATION region;
    if (!VirtualQuery(reinterpret_cast<const void*>(at), &region, sizeof region)) return false;
    if (reinterpret_cast<uintptr_t>(region.AllocationBase) != base || region.State != MEM_COMMIT ||
        (region.Protect & (PAGE_NOACCESS | PAGE_GUARD)) != 0) {
      return false;
    }
    at = reinterpret_cast<uintptr_t>(region.BaseAddress) + region.RegionSize;
  }
  return true;
}

}  // namespace

HMODULE LoadRecordLibrary(const char* path) {
  // The updater runs elevated and the library sits where other users may write:
  // mapped as a data file, its resources are found as usual and none of its
  // code (an entry point, say) ever runs. A 32-bit library also loads this way
  // into the 64-bit updater.
  return LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
}

int FetchRecord(HMODULE library, const char* name, unsigned char (&buffer)[kRecordBufferSize]) {
  UniqueModule owner(library);
  HRSRC found = FindResourceA(library, name, MAKEINTRESOURCEA(10));  // RT_RCDATA
  if (!found) return 0;
  HGLOBAL loaded = LoadResource(library, found);
  const void* bytes = loaded ? LockResource(loaded) : nullptr;
  if (!bytes) return 0;
  const DWORD size = SizeofResource(library, found);
  if (size > kRecordBufferSize || !RecordInsideLibrary(library, bytes, size)) return 0;
  return CopyRecordToBuffer(static_cast<const unsigned char*>(bytes), size, buffer) ? 1 : 0;
}

int CheckRecordLibrary(const char* path) {
  HMODULE library = LoadRecordLibrary(path);
  if (!library) return 0;
  unsigned char record[kRecordBufferSize];
  if (!FetchRecord(library, text::kSelfRecordName, record)) return 0;
  FileContent content;
  if (!content.Read(path)) return 0;
  return MatchSelfRecord(record, content.Bytes(), content.Size());
}

int CheckInstallation(const char* installFolder) {
  char programName[MAX_PATH];
  char libraryPath[MAX_PATH];
  if (FormatText(programName, text::kMainProgramFormat, gTitleProfile->baseName) < 0) return 0;
  if (FormatText(libraryPath, text::kRecordLibraryFormat, installFolder) < 0) return 0;

  if (!CheckRecordLibrary(libraryPath)) return 0;
  HMODULE library = LoadRecordLibrary(libraryPath);
  if (!library) return 0;
  unsigned char record[kRecordBufferSize];
  if (!FetchRecord(library, programName, record)) return 0;

  char programPath[MAX_PATH];
  if (!JoinPath(programPath, installFolder, programName)) return 0;
  FileContent program;
  if (!program.Read(programPath)) return 0;
  return MatchFileRecord(record, program.Bytes(), program.Size());
}
