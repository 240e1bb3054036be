#include "verify/install_check.h"

#include <cstdint>
#include <cstring>

#include "base/install_paths.h"
#include "base/log.h"
#include "base/read_file.h"
#include "base/texts.h"
#include "base/win_util.h"
#include "title/title_profile.h"

namespace {

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

// Reads the file at `path` whole and matches it against its record; says in
// the log how it went.
int MatchFile(const char* path, const unsigned char (&record)[kRecordBufferSize], bool self) {
  HeapText content;
  if (ReadWholeFile(path, content) != ReadResult::kRead) {
    LogFailure("check: read", path, GetLastError());
    return 0;
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(content.Bytes());
  const int matches = self ? MatchSelfRecord(record, bytes, content.Length())
                           : MatchFileRecord(record, bytes, content.Length());
  LogFile(path, content.Length(), matches ? "matches its record" : "does not match its record");
  return matches;
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
  if (!library) {
    LogFailure("check: load the record library", path, GetLastError());
    return 0;
  }
  unsigned char record[kRecordBufferSize];
  if (!FetchRecord(library, text::kSelfRecordName, record)) {
    LogStepPath("check", path, "holds no usable record of itself");
    return 0;
  }
  return MatchFile(path, record, true);
}

int CheckInstallation(const char* installFolder) {
  char programName[MAX_PATH];
  char libraryPath[MAX_PATH];
  if (FormatText(programName, text::kMainProgramFormat, gTitleProfile->baseName) < 0 ||
      FormatText(libraryPath, text::kRecordLibraryFormat, installFolder) < 0) {
    LogStepPath("check", installFolder, "the record library's path under it is too long");
    return 0;
  }
  // Nothing is read through a link or a junction below the install folder.
  if (!NoLinkOnTheWay(installFolder, libraryPath + std::strlen(installFolder) + 1) ||
      !NoLinkOnTheWay(installFolder, programName)) {
    LogStepPath("check", installFolder, "the main program or the record library is reached through a link");
    return 0;
  }

  if (!CheckRecordLibrary(libraryPath)) return 0;
  HMODULE library = LoadRecordLibrary(libraryPath);
  if (!library) {
    LogFailure("check: load the record library", libraryPath, GetLastError());
    return 0;
  }
  unsigned char record[kRecordBufferSize];
  if (!FetchRecord(library, programName, record)) {
    LogStepPath("check", programName, "the record library holds no usable record of it");
    return 0;
  }

  char programPath[MAX_PATH];
  if (!JoinPath(programPath, installFolder, programName)) {
    LogStepPath("check", programName, "its path in the install folder is too long");
    return 0;
  }
  return MatchFile(programPath, record, false);
}
