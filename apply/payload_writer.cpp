// Writing the payload files from the updater's own resources into the install
// folder, all or nothing: every entry is checked, then every new file is
// staged beside its target with progress in the dialog, then all targets are
// replaced at once; then the update-information merge.
#include "apply/payload_writer.h"

#include <windows.h>
#include <commctrl.h>
#include <shlwapi.h>

#include <cstdint>
#include <cstring>

#include "apply/merge_update_info.h"
#include "apply/payload_source.h"
#include "apply/progress.h"
#include "apply/staging.h"
#include "apply/staging_core.h"
#include "base/texts.h"
#include "base/update_state.h"
#include "base/win_util.h"
#include "res/resource.h"
#include "title/title_profile.h"

namespace {

constexpr UINT kWarning = MB_OK | MB_ICONWARNING;
// Failure kinds of the lookup, handed over in the thread's last-error value.
constexpr DWORD kNotFound = 1;
constexpr DWORD kNotLoaded = 2;

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

// The box of a failure that concerns one entry carries the entry's own caption.
void ShowEntryFailure(const char* entry, const char* message) {
  char fileCaption[1024];
  // A per-file caption too long for its buffer gives way to the updater's own.
  if (FormatText(fileCaption, text::kFileCaptionFormat, entry, gState.caption) < 0) {
    lstrcpynA(fileCaption, gState.caption, sizeof fileCaption);
  }
  ShowMessage(gState.dialog, message, fileCaption, kWarning);
}

bool NameIsFree(const char* path) {
  return GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND;
}

// Refusals that Windows would give when replacing the target, found before
// anything is written. Wine runs as root here and would open read-only and
// hidden files, so their attributes are checked rather than trusted to the
// open. *existed tells whether there is a target to replace.
bool TargetCanBeReplaced(const char* target, bool* existed) {
  // The staged and the set-aside file need names of their own beside it.
  char staged[MAX_PATH];
  char aside[MAX_PATH];
  if (!staging::AppendSuffix(staged, MAX_PATH, target, staging::kStagedSuffix) ||
      !staging::AppendSuffix(aside, MAX_PATH, target, staging::kAsideSuffix) || !NameIsFree(staged) ||
      !NameIsFree(aside)) {
    return false;
  }
  const DWORD attributes = GetFileAttributesA(target);
  *existed = attributes != INVALID_FILE_ATTRIBUTES;
  // A new file is fine; a missing folder is not (none is created).
  if (!*existed) return GetLastError() == ERROR_FILE_NOT_FOUND;
  constexpr DWORD kRefused =
      FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  if (attributes & kRefused) return false;
  // A process that reads the file (the running title), does not share writing
  // or would keep it from being moved aside makes this open fail. It does not
  // truncate, and is closed at once.
  UniqueFile probe(CreateFileA(target, GENERIC_WRITE | DELETE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
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

// One WriteFile of a chunk. The Windows-side tests build the writer with a
// seam here (UPDATER_TEST_WRITE_SEAM) to reproduce writes that store fewer
// bytes than asked, which a local disk never does; the updater has none.
#if defined(UPDATER_TEST_WRITE_SEAM)
}  // namespace
BOOL WriteChunk(HANDLE file, const BYTE* bytes, DWORD size, DWORD* written);
namespace {
#else
BOOL WriteChunk(HANDLE file, const BYTE* bytes, DWORD size, DWORD* written) {
  return WriteFile(file, bytes, size, written, nullptr);
}
#endif

// The writer's chunk: one write, then the progress and one waiting message.
struct ChunkContext {
  HANDLE file;
  RunTotals* state;
  float grandTotal;  // converted once per file
};

bool WriteOneChunk(void* context, const unsigned char* bytes, uint32_t count, uint32_t* stored) {
  auto& c = *static_cast<ChunkContext*>(context);
  DWORD written = 0;
  // A failed write, or one that stores nothing, would never finish the file.
  if (!WriteChunk(c.file, bytes, count, &written) || written == 0) return false;
  *stored = written;
  c.state->running += written;
  if constexpr (kShowProgress) {
    ShowPercent(*c.state, c.grandTotal);
    TakeOneMessage();
  }
  HOLD_POINT("chunk");
  return true;
}

// Writes the file's bytes in chunks, with progress: straight from the resource
// memory, or inflated from it when the payload is deflated, in the same chunks.
// An empty file leaves the controls as they are. Damaged deflated data fails
// like a write that fails.
bool WriteChunks(HANDLE file, const BYTE* resource, uint32_t resourceSize, RunTotals& state) {
  ChunkContext context{file, &state, static_cast<float>(state.grandTotal)};
  return payload::WriteChunks(resource, resourceSize, gTitleProfile->payloadCodec, WriteOneChunk, &context) ==
         payload::Outcome::kWritten;
}

// Writes the new bytes from the entry's resource into the staged file beside
// `target` and flushes them.
WriteResult StageFile(const char* target, const BYTE* resource, uint32_t resourceSize, RunTotals& state) {
  char staged[MAX_PATH];
  if (!staging::AppendSuffix(staged, MAX_PATH, target, staging::kStagedSuffix))
    return WriteResult::kCannotCreate;
  UniqueFile file(CreateFileA(staged, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) return WriteResult::kCannotCreate;
  if (!WriteChunks(file.Get(), resource, resourceSize, state) || !FlushFileBuffers(file.Get())) {
    return WriteResult::kWriteFailed;
  }
  HOLD_POINT("staged");
  return WriteResult::kWritten;
}

// The entry's payload bytes; on failure the lookup's box and the writer's own
// under the entry's caption have been shown.
const BYTE* EntryPayload(const char* entry, uint32_t* size) {
  const auto* bytes = static_cast<const BYTE*>(FindPayloadResource(PathFindFileNameA(entry), size));
  if (!bytes) {
    const DWORD kind = GetLastError();
    if (kind == kNotFound) ShowEntryFailure(entry, text::kWriteNotFound);
    if (kind == kNotLoaded) ShowEntryFailure(entry, text::kWriteNotLoaded);
  }
  return bytes;
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
  // pass goes on so that the free-space check still sees the rest. A deflated
  // file counts with its size inflated; one whose header is damaged counts
  // nothing, and writing it fails.
  RunTotals state;
  for (const char* const* entry = list; *entry; ++entry) {
    uint32_t resourceSize = 0, size = 0;
    const auto* resource =
        static_cast<const unsigned char*>(FindPayloadResource(PathFindFileNameA(*entry), &resourceSize));
    if (resource && payload::FileSize(resource, resourceSize, gTitleProfile->payloadCodec, &size)) {
      state.grandTotal += size;
    }
  }
  if (!CheckFreeSpace(state.grandTotal)) return 0;

  // Nothing is written until every entry is known to be replaceable. The path
  // is used as listed, folder parts included; one that does not fit is never
  // composed and is refused like a file that cannot be created.
  StagedUpdate update;
  for (const char* const* entry = list; *entry; ++entry) {
    uint32_t size = 0;
    if (!EntryPayload(*entry, &size)) return 0;
    char target[MAX_PATH];
    bool existed = false;
    if (!JoinPath(target, gState.installFolder, *entry) || !TargetCanBeReplaced(target, &existed)) {
      ShowEntryFailure(*entry, text::kWriteCannotCreate);
      return 0;
    }
    update.Add(existed ? staging::kEntryExisted : staging::kEntryNew, *entry);
  }
  if (gTitleProfile->updateInfoName[0]) update.Add(staging::kEntryList, gTitleProfile->updateInfoName);
  // The journal goes first, so that an interruption from here on is finished
  // or undone by the next run. One left by an earlier run that could not be
  // settled keeps this one from starting.
  const WriteResult begun = update.Begin();
  if (begun != WriteResult::kWritten) {
    update.Abandon();
    ShowMessage(gState.dialog,
                begun == WriteResult::kWriteFailed ? text::kWriteFailed : text::kWriteCannotCreate,
                gState.caption, kWarning);
    return 0;
  }

  // Stage every file, with progress. A failure removes what was staged.
  for (const char* const* entry = list; *entry; ++entry) {
    uint32_t size = 0;
    const BYTE* bytes = EntryPayload(*entry, &size);
    char target[MAX_PATH];
    const WriteResult result = !bytes || !JoinPath(target, gState.installFolder, *entry)
                                   ? WriteResult::kCannotCreate
                                   : StageFile(target, bytes, size, state);
    if (result != WriteResult::kWritten) {
      update.Abandon();
      if (bytes) {
        ShowEntryFailure(*entry,
                         result == WriteResult::kWriteFailed ? text::kWriteFailed : text::kWriteCannotCreate);
      }
      return 0;
    }
  }
  if (!update.MarkCommitted()) {
    update.Abandon();
    ShowMessage(gState.dialog, text::kWriteFailed, gState.caption, kWarning);
    return 0;
  }
  // Replace every target; a failure gives them all their old content back.
  if (const char* failed = update.ReplaceTargets()) {
    ShowEntryFailure(failed, text::kWriteCannotCreate);
    return 0;
  }

  const int code = MergeUpdateInfo();
  update.Finish();
  if (code == 0) return 1;
  char message[1024];
  FormatText(message, text::kMergeFailedFormat, code);
  ShowMessage(gState.dialog, message, text::kInfoCaption, kWarning);
  return 0;
}
