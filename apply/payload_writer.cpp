// Writing the payload files from the updater's own resources into the install
// folder, with progress in the dialog, then the update-information merge.
#include "apply/payload_writer.h"

#include <windows.h>
#include <commctrl.h>
#include <shlwapi.h>

#include <cstdint>
#include <cstring>

#include "base/texts.h"
#include "base/update_state.h"
#include "base/win_util.h"
#include "apply/merge_update_info.h"
#include "apply/progress.h"
#include "res/resource.h"
#include "title/title_profile.h"

namespace {

constexpr UINT kWarning = MB_OK | MB_ICONWARNING;
// Failure kinds of the lookup, handed over in the thread's last-error value.
constexpr DWORD kNotFound = 1;
constexpr DWORD kNotLoaded = 2;

enum class FileResult { kWritten, kCannotCreate, kWriteFailed };

// The running state of one WritePayload call, shared by all its files.
struct RunTotals {
  uint32_t grandTotal = 0;
  uint32_t running = 0;
  progress::PercentDisplay display;
};

void ShowPercent(RunTotals& state, float grandTotal) {
  const int percent = progress::Percent(state.running, grandTotal);
  if (!state.display.Update(percent)) return;
  char percentText[8];
  FormatText(percentText, text::kPercentFormat, percent);
  SetDlgItemText932(gState.dialog, IDC_PERCENT_TEXT, percentText);
  SendMessageA(GetDlgItem(gState.dialog, IDC_PROGRESS_BAR), PBM_SETPOS, static_cast<WPARAM>(percent), 0);
}

// One waiting message per chunk keeps the dialog painting during long writes.
void TakeOneMessage() {
  MSG message;
  if (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}

// Refusals that Windows would give when opening the target for writing, found
// before anything is written. Wine runs as root here and would open read-only
// and hidden files, so their attributes are checked rather than trusted to the open.
bool TargetCanBeReplaced(const char* target) {
  const DWORD attributes = GetFileAttributesA(target);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    // A new file is fine; a missing folder is not (none is created).
    return GetLastError() == ERROR_FILE_NOT_FOUND;
  }
  constexpr DWORD kRefused =
      FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  if (attributes & kRefused) return false;
  // A process that reads the file (the running title) or does not share
  // writing makes this open fail. It does not truncate, and is closed at once.
  UniqueFile probe(CreateFileA(target, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
  return probe.Valid();
}

// A benchmark build defines UPDATER_BENCH_NO_PROGRESS to time the file work
// alone; the updater itself always shows progress.
#if defined(UPDATER_BENCH_NO_PROGRESS)
constexpr bool kShowProgress = false;
#else
constexpr bool kShowProgress = true;
#endif

// Writes the bytes in chunks straight from the resource memory, with progress.
bool WriteChunks(HANDLE file, const BYTE* bytes, uint32_t size, RunTotals& state) {
  if (size == 0) return true;  // an empty file leaves the controls as they are
  const float grandTotal = static_cast<float>(state.grandTotal);
  uint32_t left = size;
  while (left != 0) {
    DWORD written = 0;
    // A failed write, or one that stores nothing, would never finish the file.
    if (!WriteFile(file, bytes, progress::ChunkSize(left), &written, nullptr) || written == 0) return false;
    bytes += written;
    left -= written;
    state.running += written;
    if constexpr (kShowProgress) {
      ShowPercent(state, grandTotal);
      TakeOneMessage();
    }
  }
  return true;
}

// Replaces `target` with the bytes, never leaving it torn: the bytes go to a
// temporary file in the target's own folder, which then takes the target's
// place in one move. On any failure the temporary is removed and the target
// keeps its old content whole.
FileResult ReplaceTarget(const char* target, const BYTE* bytes, uint32_t size, RunTotals& state) {
  if (!TargetCanBeReplaced(target)) return FileResult::kCannotCreate;

  char folder[MAX_PATH];
  std::memcpy(folder, target, std::strlen(target) + 1);
  // Cut at the last component the DBCS-aware way: a Shift-JIS trail byte may be '\'.
  PathRemoveFileSpecA(folder);
  // GetTempFileNameA adds "\upd" + 4 hex digits + ".tmp" and needs the result within MAX_PATH.
  char temporary[MAX_PATH];
  if (std::strlen(folder) > MAX_PATH - 14 || !GetTempFileNameA(folder, "upd", 0, temporary)) {
    return FileResult::kCannotCreate;
  }

  FileResult result = FileResult::kWritten;
  {
    UniqueFile file(
        CreateFileA(temporary, GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) {
      result = FileResult::kCannotCreate;
    } else if (!WriteChunks(file.Get(), bytes, size, state) || !FlushFileBuffers(file.Get())) {
      result = FileResult::kWriteFailed;
    }
  }  // closed before the move
  if (result == FileResult::kWritten &&
      !MoveFileExA(temporary, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    result = FileResult::kCannotCreate;
  }
  if (result != FileResult::kWritten) DeleteFileA(temporary);
  return result;
}

}  // namespace

const void* FindPayloadResource(const char* name, uint32_t* size) {
  DWORD kind = kNotFound;
  const void* bytes = nullptr;
  if (HRSRC found = FindResourceA(gState.instance, name, text::kPayloadType)) {
    kind = kNotLoaded;
    if (HGLOBAL loaded = LoadResource(gState.instance, found)) bytes = LockResource(loaded);
    if (bytes) {
      *size = SizeofResource(gState.instance, found);
      SetLastError(ERROR_SUCCESS);
      return bytes;
    }
  }
  SetLastError(kind);
  ShowMessage(gState.dialog, kind == kNotFound ? text::kLookupNotFound : text::kLookupNotLoaded,
              gState.caption, kWarning);
  // The box may have used the last-error value for its own calls; the caller reads the kind after it.
  SetLastError(kind);
  return nullptr;
}

int WritePayload() {
  const char* const* list = gTitleProfile->payloadList;

  // Sizing pass: a failed lookup has shown its message and adds nothing; the
  // pass goes on so that the free-space check still sees the rest.
  RunTotals state;
  for (const char* const* entry = list; *entry; ++entry) {
    uint32_t size = 0;
    if (FindPayloadResource(PathFindFileNameA(*entry), &size)) state.grandTotal += size;
  }
  if (!CheckFreeSpace(state.grandTotal)) return 0;

  for (const char* const* entry = list; *entry; ++entry) {
    char fileCaption[1024];
    // A per-file caption too long for its buffer gives way to the updater's own.
    if (FormatText(fileCaption, text::kFileCaptionFormat, *entry, gState.caption) < 0) {
      std::memcpy(fileCaption, gState.caption, sizeof gState.caption);
      fileCaption[sizeof fileCaption - 1] = '\0';
    }

    uint32_t size = 0;
    const auto* bytes = static_cast<const BYTE*>(FindPayloadResource(PathFindFileNameA(*entry), &size));
    if (!bytes) {
      const DWORD kind = GetLastError();
      if (kind == kNotFound) ShowMessage(gState.dialog, text::kWriteNotFound, fileCaption, kWarning);
      if (kind == kNotLoaded) ShowMessage(gState.dialog, text::kWriteNotLoaded, fileCaption, kWarning);
      return 0;
    }

    // The path as listed, folder parts included. One that does not fit is
    // never composed and is refused like a file that cannot be created.
    char target[MAX_PATH];
    const FileResult result = JoinPath(target, gState.installFolder, *entry)
                                  ? ReplaceTarget(target, bytes, size, state)
                                  : FileResult::kCannotCreate;
    if (result == FileResult::kCannotCreate) {
      ShowMessage(gState.dialog, text::kWriteCannotCreate, fileCaption, kWarning);
      return 0;
    }
    if (result == FileResult::kWriteFailed) {
      ShowMessage(gState.dialog, text::kWriteFailed, fileCaption, kWarning);
      return 0;
    }
  }

  const int code = MergeUpdateInfo();
  if (code == 0) return 1;
  char message[1024];
  FormatText(message, text::kMergeFailedFormat, code);
  ShowMessage(gState.dialog, message, text::kInfoCaption, kWarning);
  return 0;
}
