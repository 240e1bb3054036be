// The Win32 side of the update-information merge: finding, reading and
// rewriting the two copies of the list. The merge itself is MergeEntryLists.
#include "apply/merge_update_info.h"

#include <windows.h>
#include <shlwapi.h>

#include <cstdint>
#include <cstdlib>
#include <utility>

#include "base/texts.h"
#include "base/read_file.h"
#include "base/update_state.h"
#include "base/win_util.h"
#include "apply/merge_core.h"
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

// Rewrites the installed copy with exactly the merged text. The copy is opened
// as it is (never created) and cut after the text, so no tail of a longer old
// file and no padding stays behind it. Returns 0 when any step failed.
int RewriteFile(const char* path, const HeapText& merged) {
  // Windows refuses to open a read-only file for writing; when the process runs
  // as a user who ignores that bit (root under Wine), the open alone would not
  // tell, so the attribute is checked here.
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) return 0;

  UniqueFile file(CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) return 0;

  // One write for any list of a sane size; the loop only covers texts past what
  // one WriteFile can take.
  const char* next = merged.Bytes();
  size_t left = merged.Length();
  while (left > 0) {
    const DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!WriteFile(file.Get(), next, chunk, &written, nullptr) || written == 0) return 0;
    next += written;
    left -= written;
  }
  return SetEndOfFile(file.Get()) ? 1 : 0;
}

}  // namespace

int MergeUpdateInfo() {
  const char* name = gTitleProfile->updateInfoName;
  if (name == nullptr || name[0] == '\0') return kMerged;

  // Without a data folder the update has nowhere to carry a list.
  if (gState.dataFolder[0] == '\0') return kMerged;

  // A path that does not fit is reported like a copy that cannot be opened;
  // nothing is composed past the buffer.
  char sourcePath[MAX_PATH];
  if (!JoinPath(sourcePath, gState.dataFolder, name)) {
    ShowNotFound(name);
    return kSourceNotRead;
  }
  if (!PathFileExistsA(sourcePath)) return kMerged;

  HeapText source;
  switch (ReadWholeFile(sourcePath, source)) {
    case ReadResult::kRead:
      break;
    case ReadResult::kFailed:
      ShowNotFound(name);
      return kSourceNotRead;
    case ReadResult::kNoMemory:
      return kSourceNoMemory;
  }

  char installedPath[MAX_PATH];
  if (!JoinPath(installedPath, gState.installFolder, name)) {
    ShowNotFound(name);
    return kInstalledNotRead;
  }
  HeapText installed;
  switch (ReadWholeFile(installedPath, installed)) {
    case ReadResult::kRead:
      break;
    case ReadResult::kFailed:
      ShowNotFound(name);
      return kInstalledNotRead;
    case ReadResult::kNoMemory:
      return kInstalledNoMemory;
  }

  HeapText merged;
  if (!MergeEntryLists(source.Bytes(), source.Length(), installed.Bytes(), installed.Length(), merged)) {
    return kMergeNoMemory;
  }

  // A write that fails is reported; the installed copy may then hold part of
  // the new text, and nothing is rolled back.
  if (!RewriteFile(installedPath, merged)) {
    ShowWriteFailed();
    return kInstalledNotWritten;
  }
  return kMerged;
}
