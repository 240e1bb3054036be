#include "base/win_util.h"

#include <cstdarg>
#include <cstring>

#include "base/log.h"
#include "base/texts.h"
#include "base/update_state.h"

namespace {

// wsprintf stores at most 1024 characters and knows no buffer size, so a text
// is composed in a scratch buffer larger than that and copied only when it fits.
template <class Char, class Format>
int FormatInto(Char* out, int capacity, Format format, const Char* pattern, va_list args) {
  Char scratch[1026];
  const int length = format(scratch, pattern, args);
  if (capacity <= 0) return -1;
  if (length < 0 || length >= 1024 || length >= capacity) {
    out[0] = Char{};
    return -1;
  }
  std::memcpy(out, scratch, (static_cast<size_t>(length) + 1) * sizeof(Char));
  return length;
}

}  // namespace

int FormatText(char* out, int capacity, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int length = FormatInto(out, capacity, wvsprintfA, format, args);
  va_end(args);
  return length;
}

int FormatWideText(wchar_t* out, int capacity, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const int length = FormatInto(out, capacity, wvsprintfW, format, args);
  va_end(args);
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

int WidenText(wchar_t* out, int capacity, const char* text, UINT codePage) {
  if (capacity <= 0) return -1;
  // With the terminator: -1 as the length converts it too.
  const int written = MultiByteToWideChar(codePage, 0, text, -1, out, capacity);
  if (written <= 0) {
    out[0] = L'\0';
    return -1;
  }
  return written - 1;
}

namespace {

// Every text shown lives in a buffer of at most 1024 bytes, and no byte of
// code page 932 gives more than one UTF-16 unit, so the wide text always fits.
struct WideText {
  explicit WideText(const char* text) { WidenText(wide, text); }
  wchar_t wide[1024];
};

}  // namespace

int ShowMessage(HWND owner, const char* text, const char* caption, UINT flags) {
  return ShowMessage(owner, WideText(text).wide, caption, flags);
}

int ShowMessage(HWND owner, const wchar_t* text, const char* caption, UINT flags) {
  const WideText wideCaption(caption);
  LogBox(wideCaption.wide, text, !gState.silent);
  if (gState.silent) return (flags & MB_TYPEMASK) == MB_YESNO ? IDYES : IDOK;
  const int answer = MessageBoxW(owner, text, wideCaption.wide, flags);
  LogStep("answer",
          answer == IDOK       ? "OK"
          : answer == IDCANCEL ? "Cancel"
          : answer == IDYES    ? "Yes"
          : answer == IDNO     ? "No"
                               : "%d",
          answer);
  return answer;
}

int ShowPathMessage(HWND owner, const char* format, const char* path, const char* caption, UINT flags) {
  wchar_t widePath[MAX_PATH];
  WidenText(widePath, path, CP_ACP);
  return ShowWideArgumentMessage(owner, format, widePath, caption, flags);
}

int ShowWideArgumentMessage(HWND owner, const char* format, const wchar_t* argument, const char* caption,
                            UINT flags) {
  wchar_t wideFormat[512];
  wchar_t cut[201];
  wchar_t message[1024];
  WidenText(wideFormat, format);
  lstrcpynW(cut, argument, 201);
  FormatWideText(message, wideFormat, cut);
  return ShowMessage(owner, message, caption, flags);
}

void SetWindowText932(HWND window, const char* text) { SetWindowTextW(window, WideText(text).wide); }

void SetDlgItemText932(HWND dialog, int item, const char* text) {
  SetDlgItemTextW(dialog, item, WideText(text).wide);
}

HWND FindWindowTitled(const char* caption) { return FindWindowW(nullptr, WideText(caption).wide); }

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
