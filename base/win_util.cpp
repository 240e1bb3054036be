#include "base/win_util.h"

#include <cstdarg>
#include <cstring>

#include "base/texts.h"

int FormatText(char* out, int capacity, const char* format, ...) {
  // wsprintfA stores at most 1024 characters and knows no buffer size, so the
  // text is composed in a scratch buffer larger than that and copied only when
  // it fits.
  char scratch[1026];
  va_list args;
  va_start(args, format);
  const int length = wvsprintfA(scratch, format, args);
  va_end(args);
  if (capacity <= 0) return -1;
  if (length < 0 || length >= 1024 || length >= capacity) {
    out[0] = '\0';
    return -1;
  }
  std::memcpy(out, scratch, static_cast<size_t>(length) + 1);
  return length;
}

int JoinPath(char (&out)[MAX_PATH], const char* folder, const char* name) {
  const size_t need = std::strlen(folder) + 1 + std::strlen(name);
  if (need >= MAX_PATH) {
    out[0] = '\0';
    return 0;
  }
  return FormatText(out, text::kJoinPathFormat, folder, name) >= 0 ? 1 : 0;
}

int ShowMessage(HWND owner, const char* text, const char* caption, UINT flags) {
  return MessageBoxA(owner, text, caption, flags);
}

void RestrictDllSearch() {
  // Windows 7 without its DLL-search update has no SetDefaultDllDirectories:
  // imported, it would keep the exe from starting at all there. Without it,
  // at least the current folder leaves the search.
  using SetDirectoriesFn = BOOL(WINAPI*)(DWORD);
  const auto setDirectories = reinterpret_cast<SetDirectoriesFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories")));
  if (setDirectories) {
    setDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  } else {
    SetDllDirectoryA("");
  }
}
