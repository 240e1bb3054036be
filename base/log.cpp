#include "base/log.h"

#include <cstdarg>

#include "base/win_util.h"

namespace {

HANDLE gLog = INVALID_HANDLE_VALUE;

// The log's own calls leave the thread's last-error value as they found it:
// the steps around a log line read it after their own calls.
class KeepLastError {
 public:
  KeepLastError() : error_(GetLastError()) {}
  ~KeepLastError() { SetLastError(error_); }
  KeepLastError(const KeepLastError&) = delete;
  KeepLastError& operator=(const KeepLastError&) = delete;

 private:
  DWORD error_;
};

// One line, UTF-16 in, UTF-8 out, ended by CR LF so that every editor shows
// it as a line. A write that fails ends the log.
void WriteLine(const wchar_t* line) {
  if (gLog == INVALID_HANDLE_VALUE) return;
  char bytes[4096];
  const int length = WideCharToMultiByte(CP_UTF8, 0, line, -1, bytes, sizeof bytes - 2, nullptr, nullptr);
  if (length <= 0) return;
  bytes[length - 1] = '\r';
  bytes[length] = '\n';
  DWORD written = 0;
  if (!WriteFile(gLog, bytes, static_cast<DWORD>(length + 1), &written, nullptr) ||
      written != static_cast<DWORD>(length + 1)) {
    CloseLog();
  }
}

// A text in `codePage` as UTF-16; an empty one when it cannot be read.
struct Wide {
  Wide(const char* text, UINT codePage) { WidenText(wide, text ? text : "", codePage); }
  wchar_t wide[1024];
};

// A box's text on one line: its line breaks become " / ". Cut to leave room
// for what goes before it on its line.
void JoinLines(const wchar_t* text, wchar_t (&out)[1024]) {
  int at = 0;
  for (; *text && at < 900; ++text) {
    if (*text == L'\r') continue;
    if (*text == L'\n') {
      out[at++] = L' ';
      out[at++] = L'/';
      out[at++] = L' ';
    } else {
      out[at++] = *text;
    }
  }
  out[at] = L'\0';
}

// The system's message for a Windows error, on one line, without its final period.
void SystemMessage(DWORD error, wchar_t (&out)[512]) {
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                      error, 0, out, 512, nullptr);
  DWORD end = length < 512 ? length : 0;
  while (end > 0 &&
         (out[end - 1] == L'\r' || out[end - 1] == L'\n' || out[end - 1] == L' ' || out[end - 1] == L'.')) {
    --end;
  }
  out[end] = L'\0';
  for (wchar_t* at = out; *at; ++at) {
    if (*at == L'\r' || *at == L'\n') *at = L' ';
  }
  if (end == 0) lstrcpynW(out, L"no message for it", 512);
}

// Whether `file`, opened without following a link, is the plain file at
// `path` itself. Under Wine a handle opened through a Unix symbolic link is
// the target's, and a delete by it removes the target: its final path tells.
bool IsPlainFileNamed(HANDLE file, const wchar_t* path) {
  FILE_BASIC_INFO basic;
  if (!GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) ||
      (basic.FileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
    return false;
  }
  wchar_t full[MAX_PATH];
  wchar_t named[MAX_PATH];
  wchar_t final[MAX_PATH + 8];
  const DWORD fullLength = GetFullPathNameW(path, MAX_PATH, full, nullptr);
  const DWORD namedLength =
      fullLength > 0 && fullLength < MAX_PATH ? GetLongPathNameW(full, named, MAX_PATH) : 0;
  const DWORD finalLength = GetFinalPathNameByHandleW(file, final, MAX_PATH + 8, FILE_NAME_NORMALIZED);
  if (namedLength == 0 || namedLength >= MAX_PATH || finalLength == 0 || finalLength >= MAX_PATH + 8)
    return false;
  const wchar_t* plain = lstrlenW(final) > 4 && final[0] == L'\\' && final[2] == L'?' ? final + 4 : final;
  return CompareStringOrdinal(plain, -1, named, -1, TRUE) == CSTR_EQUAL;
}

}  // namespace

bool DefaultLogPath(const char* baseName, wchar_t (&path)[MAX_PATH]) {
  wchar_t folder[MAX_PATH];
  const DWORD length = GetTempPathW(MAX_PATH, folder);
  if (length == 0 || length >= MAX_PATH) return false;
  return FormatWideText(path, L"%s%sUpdate.log", folder, Wide(baseName, kTextCodePage).wide) >= 0;
}

bool OpenLog(const wchar_t* path) {
  KeepLastError keep;
  CloseLog();
  // The log may lie where others can write (a temp folder): what is at its
  // name is removed by its own handle, and only when it is a plain file (a
  // link there is left alone, and the log then left out), and the new log is
  // made only where nothing is, so nothing is ever written through a link.
  HANDLE old =
      CreateFileW(path, DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (old != INVALID_HANDLE_VALUE && IsPlainFileNamed(old, path)) {
    FILE_DISPOSITION_INFO disposition = {TRUE};
    SetFileInformationByHandle(old, FileDispositionInfo, &disposition, sizeof disposition);
  }
  if (old != INVALID_HANDLE_VALUE) CloseHandle(old);
  // Others may read it while the updater runs; nobody may remove it.
  gLog = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (gLog == INVALID_HANDLE_VALUE) return false;
  // A byte-order mark, so that an editor of Windows 7 reads it as UTF-8.
  static const char kBom[] = "\xEF\xBB\xBF";
  DWORD written = 0;
  if (!WriteFile(gLog, kBom, 3, &written, nullptr) || written != 3) {
    CloseLog();
    return false;
  }
  return true;
}

void CloseLog() {
  if (gLog != INVALID_HANDLE_VALUE) CloseHandle(gLog);
  gLog = INVALID_HANDLE_VALUE;
}

void LogStep(const char* step, const char* result, ...) {
  if (gLog == INVALID_HANDLE_VALUE) return;
  KeepLastError keep;
  char composed[1024];
  va_list args;
  va_start(args, result);
  const int length = wvsprintfA(composed, result, args);
  va_end(args);
  if (length < 0 || length >= 1023) return;
  wchar_t line[1024];
  FormatWideText(line, L"%S: %S", step, composed);
  WriteLine(line);
}

void LogStepPath(const char* step, const char* path, const char* result) {
  if (gLog == INVALID_HANDLE_VALUE) return;
  KeepLastError keep;
  wchar_t line[1024];
  FormatWideText(line, L"%S: %s: %S", step, Wide(path, CP_ACP).wide, result);
  WriteLine(line);
}

void LogStepText(const char* step, const wchar_t* text) {
  if (gLog == INVALID_HANDLE_VALUE) return;
  KeepLastError keep;
  // A text too long for one line (a long command line) is cut, not left out.
  wchar_t cut[901];
  lstrcpynW(cut, text, 901);
  wchar_t line[1024];
  FormatWideText(line, L"%S: %s", step, cut);
  WriteLine(line);
}

void LogFile(const char* path, uint64_t size, const char* result) {
  if (gLog == INVALID_HANDLE_VALUE) return;
  KeepLastError keep;
  wchar_t line[1024];
  FormatWideText(line, L"file %s: %I64u bytes, %S", Wide(path, CP_ACP).wide, size, result);
  WriteLine(line);
}

void LogFailure(const char* step, const char* path, DWORD error) {
  if (gLog == INVALID_HANDLE_VALUE) return;
  KeepLastError keep;
  wchar_t message[512];
  SystemMessage(error, message);
  wchar_t line[1024];
  if (path) {
    FormatWideText(line, L"%S: %s: error %lu: %s", step, Wide(path, CP_ACP).wide, error, message);
  } else {
    FormatWideText(line, L"%S: error %lu: %s", step, error, message);
  }
  WriteLine(line);
}

void LogBox(const wchar_t* caption, const wchar_t* text, bool shown) {
  if (gLog == INVALID_HANDLE_VALUE) return;
  KeepLastError keep;
  wchar_t oneLine[1024];
  JoinLines(text, oneLine);
  const wchar_t* how = shown ? L"shown" : L"silent, not shown";
  wchar_t line[1024];
  // A caption too long to go with the text on one line (a long title) is left out.
  if (FormatWideText(line, L"box (%s): %s: %s", how, caption, oneLine) < 0) {
    FormatWideText(line, L"box (%s): %s", how, oneLine);
  }
  WriteLine(line);
}

void LogOutcome(const char* outcome, int exitCode) {
  LogStep("outcome", "%s; exit code %d", outcome, exitCode);
}
