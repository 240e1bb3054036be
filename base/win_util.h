// Small Win32 helpers shared by the shell: owners that release a handle exactly
// once, and text composition that never runs past its buffer.
#pragma once

#include <windows.h>

#include <type_traits>

// A file handle; empty is INVALID_HANDLE_VALUE. Closed once, by the owner.
class UniqueFile {
 public:
  UniqueFile() = default;
  explicit UniqueFile(HANDLE h) : h_(h) {}
  UniqueFile(const UniqueFile&) = delete;
  UniqueFile& operator=(const UniqueFile&) = delete;
  UniqueFile(UniqueFile&& o) noexcept : h_(o.Release()) {}
  UniqueFile& operator=(UniqueFile&& o) noexcept {
    if (this != &o) Reset(o.Release());
    return *this;
  }
  ~UniqueFile() { Reset(); }
  HANDLE Get() const { return h_; }
  bool Valid() const { return h_ != INVALID_HANDLE_VALUE; }
  HANDLE Release() {
    HANDLE h = h_;
    h_ = INVALID_HANDLE_VALUE;
    return h;
  }
  void Reset(HANDLE h = INVALID_HANDLE_VALUE) {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    h_ = h;
  }

 private:
  HANDLE h_ = INVALID_HANDLE_VALUE;
};

// A loaded module; empty is null. Freed once, by the owner.
class UniqueModule {
 public:
  UniqueModule() = default;
  explicit UniqueModule(HMODULE m) : m_(m) {}
  UniqueModule(const UniqueModule&) = delete;
  UniqueModule& operator=(const UniqueModule&) = delete;
  UniqueModule(UniqueModule&& o) noexcept : m_(o.m_) { o.m_ = nullptr; }
  ~UniqueModule() { Reset(); }
  HMODULE Get() const { return m_; }
  void Reset() {
    if (m_) FreeLibrary(m_);
    m_ = nullptr;
  }

 private:
  HMODULE m_ = nullptr;
};

// wsprintfA into out[capacity]. Returns the length written, or -1 (out then
// holds an empty string) when the text with its terminator does not fit.
int FormatText(char* out, int capacity, const char* format, ...);

// Only numbers and pointers go through wsprintf's "...": a text of the twin
// table (texts.h) would go as its two pointers, not as the chosen one.
#define UPDATER_WSPRINTF_ARGUMENTS(args) \
  static_assert((std::is_scalar_v<decltype(args)> && ...), "pass texts as const char*")

template <int N>
int FormatText(char (&out)[N], const char* format, auto... args) {
  UPDATER_WSPRINTF_ARGUMENTS(args);
  return FormatText(static_cast<char*>(out), N, format, args...);
}

// "%s\%s" into a MAX_PATH buffer; 0 when the joined path would not fit.
int JoinPath(char (&out)[MAX_PATH], const char* folder, const char* name);

// The updater runs elevated, often from a Downloads folder that anyone can
// write to: from here on, DLLs loaded by name come from the system folder only.
// Called first thing in WinMain, before any DLL is loaded by name.
void RestrictDllSearch();

// Texts reach the screen through the wide functions. The program's own texts
// are stored in code page 932 and converted from it explicitly, so they read
// right whatever the system's ANSI code page is; what comes from the system
// (a folder read from the settings file) is in that code page instead.
constexpr UINT kTextCodePage = 932;

// UTF-16 of `text` (zero-terminated, in `codePage`) into out[capacity].
// Returns the length, or -1 (out then holds an empty string) when it does not fit.
int WidenText(wchar_t* out, int capacity, const char* text, UINT codePage = kTextCodePage);

template <int N>
int WidenText(wchar_t (&out)[N], const char* text, UINT codePage = kTextCodePage) {
  return WidenText(static_cast<wchar_t*>(out), N, text, codePage);
}

// wsprintfW into out[capacity], with FormatText's limits.
int FormatWideText(wchar_t* out, int capacity, const wchar_t* format, ...);

template <int N>
int FormatWideText(wchar_t (&out)[N], const wchar_t* format, auto... args) {
  UPDATER_WSPRINTF_ARGUMENTS(args);
  return FormatWideText(static_cast<wchar_t*>(out), N, format, args...);
}

// A message box whose text and caption are code page 932. Every box goes
// through here (or the overload below), so each one is shown the same way
// and written to the log. In a silent run none is shown: the answer is the
// one that goes on, OK or Yes.
int ShowMessage(HWND owner, const char* text, const char* caption, UINT flags);
// The same with a text already composed in UTF-16 (one that joins our text
// with a path from the system).
int ShowMessage(HWND owner, const wchar_t* text, const char* caption, UINT flags);

// A box whose text is `format` (code page 932, one %s) filled with `path` as
// the system names it (the ANSI code page).
int ShowPathMessage(HWND owner, const char* format, const char* path, const char* caption, UINT flags);
// The same filled with a text in UTF-16 (a word of the command line), cut to
// its first 200 characters.
int ShowWideArgumentMessage(HWND owner, const char* format, const wchar_t* argument, const char* caption,
                            UINT flags);

// The window's title, or a dialog item's text, from a code page 932 text.
void SetWindowText932(HWND window, const char* text);
void SetDlgItemText932(HWND dialog, int item, const char* text);

// The top-level window titled with a code page 932 caption, or null.
HWND FindWindowTitled(const char* caption);
