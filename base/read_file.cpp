#include "base/read_file.h"

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <utility>

#include "base/win_util.h"

ReadResult ReadWholeFile(const char* path, HeapText& out) {
  UniqueFile file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) return ReadResult::kFailed;

  DWORD high = 0;
  SetLastError(NO_ERROR);  // a size whose low half is all ones is no failure
  const DWORD size = GetFileSize(file.Get(), &high);
  if ((size == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) || high != 0) {
    return ReadResult::kFailed;
  }
  if (static_cast<uint64_t>(size) + 1 > SIZE_MAX) return ReadResult::kNoMemory;
  char* bytes = static_cast<char*>(std::calloc(static_cast<size_t>(size) + 1, 1));
  if (bytes == nullptr) return ReadResult::kNoMemory;
  HeapText text(bytes, size);

  DWORD read = 0;
  if (!ReadFile(file.Get(), bytes, size, &read, nullptr) || read != size) return ReadResult::kFailed;
  out = std::move(text);
  return ReadResult::kRead;
}
