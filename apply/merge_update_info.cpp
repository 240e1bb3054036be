// The Win32 side of the update-information merge: finding, reading and
// rewriting the two copies of the list. The merge itself is MergeEntryLists.
#include "apply/merge_update_info.h"

#include <windows.h>
#include <shlwapi.h>

#include <cstdint>
#include <cstdlib>
#include <utility>

#include "apply/kept_security.h"
#include "apply/merge_core.h"
#include "apply/staging.h"
#include "apply/staging_core.h"
#include "base/install_paths.h"
#include "base/log.h"
#include "base/read_file.h"
#include "base/texts.h"
#include "base/update_state.h"
#include "base/win_util.h"
#include "title/title_profile.h"

namespace {

enum MergeCode {
  kMerged = 0,
  kSourceNotRead = 1,
  kSourceNoMemory = 2,
  kInstalledNotRead = 3,
  kInstalledNoMemory = 4,
  kMergeNoMemory = 5,
  kInstalledNotWritten = 6,
};

// Both copies failing to open (or to read) show the same text, which names the
// configured list, not the path.
void ShowNotFound(const char* name) {
  // A name too long for the text could not have made a path either; the
  // message then goes out without it rather than not at all.
  char message[1024];
  if (FormatText(message, text::kInfoNotFoundFormat, name) < 0) {
    FormatText(message, text::kInfoNotFoundFormat, "");
  }
  ShowMessage(gState.dialog, message, text::kInfoCaption, MB_OK | MB_ICONWARNING);
}

void ShowWriteFailed() {
  ShowMessage(gState.dialog, text::kInfoWriteFailed, gState.caption, MB_OK | MB_ICONWARNING);
}

// Replaces the installed copy with exactly the merged text. The text goes to a
// staged file beside it, flushed, which then takes its place in one move, so a
// failure or an interruption at any point leaves the old list whole. The new
// copy keeps the old one's DACL and attributes (hidden, say). Returns 0 when
// any step failed; the staged file is then gone again.
int RewriteFile(const char* path, const HeapText& merged) {
  // Windows refuses to replace a read-only file; when the process runs as a
  // user who ignores that bit (root under Wine), the move alone would not
  // tell, so the attribute is checked here. Only an existing list, a plain
  // file under plain folders, is replaced.
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
    LogStepPath("update information", path, "gone, read-only, a folder or a link: not replaced");
    return 0;
  }
  KeptSecurity kept;
  {
    UniqueFile installed(CreateFileA(path, READ_CONTROL,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!installed.Valid() || !OpenedAsNamed(installed.Get(), path)) return 0;
    kept.TakeFrom(installed.Get(), attributes);
  }
  char staged[MAX_PATH];
  if (!staging::AppendSuffix(staged, MAX_PATH, path, staging::kStagedSuffix)) return 0;

  bool written = false;
  {
    // CREATE_NEW: a file already at the staged name is not ours to overwrite.
    UniqueFile file(CreateFileA(staged, GENERIC_READ | GENERIC_WRITE | READ_CONTROL | WRITE_DAC, 0, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) {
      LogFailure("update information: create", staged, GetLastError());
      return 0;
    }
    // One write for any list of a sane size; the loop only covers texts past
    // what one WriteFile can take.
    const char* next = merged.Bytes();
    size_t left = merged.Length();
    written = OpenedAsNamed(file.Get(), staged) && kept.GiveTo(file.Get());
    while (written && left > 0) {
      const DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
      DWORD stored = 0;
      written = WriteFile(file.Get(), next, chunk, &stored, nullptr) && stored != 0;
      next += stored;
      left -= stored;
    }
    written = written && FlushFile(file.Get(), staged);
    if (!written) LogFailure("update information: write", staged, GetLastError());
  }  // closed before the move
  HOLD_POINT("list");
  if (written && MoveFileWithRetry(staged, path, true)) return 1;
  if (written) LogFailure("update information: replace", path, GetLastError());
  DeleteFileWithRetry(staged);
  return 0;
}

}  // namespace

int MergeUpdateInfo() {
  const char* name = gTitleProfile->updateInfoName;
  if (name == nullptr || name[0] == '\0') {
    LogStep("update information", "none to merge");
    return kMerged;
  }

  // A path that does not fit, or a data folder that could not be composed
  // (the updater's own path too long), is reported like a copy that cannot be
  // opened; nothing is composed past a buffer.
  char sourcePath[MAX_PATH];
  if (gState.dataFolder[0] == '\0' || !JoinPath(sourcePath, gState.dataFolder, name)) {
    ShowNotFound(name);
    return kSourceNotRead;
  }
  if (!PathFileExistsA(sourcePath)) {
    LogStepPath("update information", sourcePath, "not carried beside the updater: none to merge");
    return kMerged;
  }

  HeapText source;
  switch (ReadWholeFile(sourcePath, source)) {
    case ReadResult::kRead:
      break;
    case ReadResult::kFailed:
      LogFailure("update information: read", sourcePath, GetLastError());
      ShowNotFound(name);
      return kSourceNotRead;
    case ReadResult::kNoMemory:
      return kSourceNoMemory;
  }

  char installedPath[MAX_PATH];
  if (!FoldersArePlain(name) || !JoinPath(installedPath, gState.installFolder, name)) {
    ShowNotFound(name);
    return kInstalledNotRead;
  }
  HeapText installed;
  switch (ReadWholeFile(installedPath, installed)) {
    case ReadResult::kRead:
      break;
    case ReadResult::kFailed:
      LogFailure("update information: read", installedPath, GetLastError());
      ShowNotFound(name);
      return kInstalledNotRead;
    case ReadResult::kNoMemory:
      return kInstalledNoMemory;
  }

  HeapText merged;
  if (!MergeEntryLists(source.Bytes(), source.Length(), installed.Bytes(), installed.Length(), merged)) {
    return kMergeNoMemory;
  }

  // A write that fails is reported; the installed copy keeps its old text.
  if (!RewriteFile(installedPath, merged)) {
    ShowWriteFailed();
    return kInstalledNotWritten;
  }
  LogFile(installedPath, merged.Length(), "merged");
  return kMerged;
}
