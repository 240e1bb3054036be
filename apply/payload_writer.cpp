// Writing the payload files from the updater's own resources into the install
// folder, all or nothing: every entry is checked, then every new file is
// staged beside its target with progress in the dialog, then all targets are
// replaced at once; then the update-information merge.
#include "apply/payload_writer.h"

#include <windows.h>
#include <commctrl.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "apply/kept_security.h"
#include "apply/merge_update_info.h"
#include "apply/patch_codec.h"
#include "apply/payload_source.h"
#include "apply/progress.h"
#include "apply/staging.h"
#include "apply/staging_core.h"
#include "base/heap_array.h"
#include "base/install_paths.h"
#include "base/log.h"
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

// What one entry of the payload takes to be written: its new bytes with their
// size and checksum, and what is kept of the target it replaces. The bytes are
// the whole file's resource, or a patch made from the installed file.
struct EntryPlan {
  const char* path = nullptr;
  const BYTE* resource = nullptr;  // null when the whole file is not carried
  uint32_t resourceSize = 0;
  const BYTE* patchSet = nullptr;  // the file's patches, when the profile has bases
  uint32_t patchSetSize = 0;
  const BYTE* patch = nullptr;  // the one made from the installed file; null: write it whole
  uint32_t patchSize = 0;
  bool installedIsNew = false;  // the installed file is the new one already: staged from itself
  uint32_t size = 0;            // the file's, from its checksum record
  FileChecksum checksum = {0, 0};
  bool existed = false;
  FileIdentity old = {0, 0};
  KeptSecurity kept;
};

// The size and checksum the build recorded for payload file `name`, carried
// beside it. False when there is none: then nothing can vouch for the bytes.
bool FindPayloadCheck(const char* name, uint32_t* size, FileChecksum* checksum) {
  HRSRC found = FindResourceA(gState.instance, name, text::kPayloadCheckType);
  HGLOBAL loaded = found ? LoadResource(gState.instance, found) : nullptr;
  const auto* record = loaded ? static_cast<const unsigned char*>(LockResource(loaded)) : nullptr;
  if (!record || SizeofResource(gState.instance, found) != payload::kCheckRecordSize) return false;
  payload::ReadCheckRecord(record, size, checksum);
  return true;
}

// A resource of this module of type `type`, quietly: null when there is none.
const BYTE* FindOwnResource(const char* name, const char* type, uint32_t* size) {
  HRSRC found = FindResourceA(gState.instance, name, type);
  HGLOBAL loaded = found ? LoadResource(gState.instance, found) : nullptr;
  const auto* bytes = loaded ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
  if (bytes) *size = SizeofResource(gState.instance, found);
  return bytes;
}

// The patches carried for payload file `name`; null when the profile has no
// bases or this file none.
const BYTE* FindPatchSet(const char* name, uint32_t* size) {
  return gTitleProfile->patchCodec ? FindOwnResource(name, text::kPatchSetType, size) : nullptr;
}

// The installed file a patch is made from, opened for reading with no link
// followed and no writer let in while it is read, in pieces through one
// buffer: never whole in memory, whatever its size.
struct BaseFile {
  UniqueFile file;
  HeapArray<unsigned char> buffer{patch::kSegmentSize};
  bool readFailed = false;  // a read failed: the disk's fault, not the download's
};

bool OpenBase(const char* target, BaseFile& base) {
  base.file.Reset(CreateFileA(target, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!base.file.Valid()) LogFailure("patch: open the installed file", target, GetLastError());
  return base.file.Valid() && OpenedAsNamed(base.file.Get(), target) && base.buffer.Valid();
}

// The decoder's reader of the base: `length` bytes from `offset`, or null.
const unsigned char* ReadBase(void* context, uint32_t offset, uint32_t length) {
  auto& base = *static_cast<BaseFile*>(context);
  LARGE_INTEGER at;
  at.QuadPart = offset;
  if (length > base.buffer.Count() || !SetFilePointerEx(base.file.Get(), at, nullptr, FILE_BEGIN))
    return nullptr;
  for (DWORD got = 0, read = 0; got < length; got += read) {
    if (!ReadFile(base.file.Get(), base.buffer.Data() + got, length - got, &read, nullptr) || read == 0) {
      base.readFailed = true;
      return nullptr;
    }
  }
  return base.buffer.Data();
}

enum class PatchChoice {
  kFound,       // a patch, or the installed file itself
  kNone,        // the installed file is no patch's base (or there is none)
  kDamaged,     // the set is damaged
  kUnreadable,  // the installed file could not be read
};

// The entry's patch set as the build made it (its check record), every patch
// in it readable; *count is how many it holds. A damaged base size or
// checksum would otherwise pass for a release the player does not have.
bool PatchSetIsWhole(const EntryPlan& plan, uint32_t* count) {
  uint32_t recordSize = 0;
  const BYTE* record = FindOwnResource(PathFindFileNameA(plan.path), text::kPatchSetCheckType, &recordSize);
  if (!record || recordSize != payload::kCheckRecordSize) return false;
  uint32_t setSize = 0;
  FileChecksum setChecksum;
  payload::ReadCheckRecord(record, &setSize, &setChecksum);
  ChecksumRun setRun;
  setRun.Add(plan.patchSet, plan.patchSetSize);
  if (setSize != plan.patchSetSize || !(setRun.Value() == setChecksum) || setSize < patch::kSetHeaderSize)
    return false;
  *count = payload::Read32(plan.patchSet + 4);
  patch::SetEntry entry;
  for (uint32_t i = 0; i < *count; ++i) {
    if (!gTitleProfile->patchCodec->patchInSet(plan.patchSet, plan.patchSetSize, i, &entry)) return false;
  }
  return *count != 0;
}

// Finds the carried patch made from the installed file at `target`: the one
// whose base has its size and checksum; or finds the file new already. The
// file is read only when a patch's base, or the new file, has its size. A set
// that is not whole is damaged like any payload.
PatchChoice ChoosePatch(const char* target, EntryPlan& plan) {
  const PatchCodec& codec = *gTitleProfile->patchCodec;
  uint32_t count = 0;
  if (!PatchSetIsWhole(plan, &count)) return PatchChoice::kDamaged;
  if (!plan.existed) return PatchChoice::kNone;
  patch::SetEntry entry;
  BaseFile base;
  LARGE_INTEGER size;
  if (!OpenBase(target, base) || !GetFileSizeEx(base.file.Get(), &size)) return PatchChoice::kUnreadable;
  bool sized = plan.size == static_cast<uint64_t>(size.QuadPart);
  for (uint32_t i = 0; i < count && !sized; ++i) {
    codec.patchInSet(plan.patchSet, plan.patchSetSize, i, &entry);
    sized = entry.header.baseSize == static_cast<uint64_t>(size.QuadPart);
  }
  if (!sized) return PatchChoice::kNone;
  ChecksumRun run;
  for (uint32_t at = 0; at < size.QuadPart;) {
    const uint32_t length =
        static_cast<uint32_t>(std::min<uint64_t>(patch::kSegmentSize, size.QuadPart - at));
    const unsigned char* bytes = ReadBase(&base, at, length);
    if (!bytes) return PatchChoice::kUnreadable;
    run.Add(bytes, length);
    at += length;
  }
  for (uint32_t i = 0; i < count; ++i) {
    codec.patchInSet(plan.patchSet, plan.patchSetSize, i, &entry);
    if (entry.header.baseSize == run.Length() && entry.header.baseChecksum == run.Value()) {
      plan.patch = entry.patch;
      plan.patchSize = entry.size;
      LogStep("patch", "%s: the installed file is the base of patch %lu of %lu", plan.path,
              static_cast<unsigned long>(i + 1), static_cast<unsigned long>(count));
      return PatchChoice::kFound;
    }
  }
  if (run.Length() == plan.size && run.Value() == plan.checksum) {
    plan.installedIsNew = true;
    LogStepPath("patch", plan.path, "the installed file is the new one already");
    return PatchChoice::kFound;
  }
  return PatchChoice::kNone;
}

enum class TargetCheck { kReplaceable, kRefused, kNameTaken };

// Refusals that Windows would give when replacing the target, found before
// anything is written. Wine runs as root here and would open read-only and
// hidden files, so their attributes are checked rather than trusted to the
// open. Fills what is kept of an existing target; *taken names a file in the
// way of the names the update needs beside it.
TargetCheck CheckTarget(const char* target, EntryPlan& plan, char (&taken)[MAX_PATH]) {
  // The staged and the set-aside file need names of their own beside it, free:
  // a file there is not ours to overwrite or remove.
  char staged[MAX_PATH];
  char aside[MAX_PATH];
  if (!staging::AppendSuffix(staged, MAX_PATH, target, staging::kStagedSuffix) ||
      !staging::AppendSuffix(aside, MAX_PATH, target, staging::kAsideSuffix)) {
    return TargetCheck::kRefused;
  }
  for (const char* name : {staged, aside}) {
    if (GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES) {
      lstrcpynA(taken, name, MAX_PATH);
      return TargetCheck::kNameTaken;
    }
    // A missing folder is refused below.
    if (GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND)
      return TargetCheck::kRefused;
  }
  const DWORD attributes = GetFileAttributesA(target);
  plan.existed = attributes != INVALID_FILE_ATTRIBUTES;
  // A new file is fine; a missing folder is not (none is created).
  if (!plan.existed)
    return GetLastError() == ERROR_FILE_NOT_FOUND ? TargetCheck::kReplaceable : TargetCheck::kRefused;
  constexpr DWORD kRefused = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                             FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_REPARSE_POINT;
  if (attributes & kRefused) {
    LogStepPath("check", target, "read-only, hidden, system, a folder or a link");
    return TargetCheck::kRefused;
  }
  // A process that reads the file (the running title), does not share writing
  // or would keep it from being moved aside makes this open fail. It does not
  // truncate, follows no link, and is closed at once.
  UniqueFile probe(CreateFileA(target, GENERIC_WRITE | DELETE | READ_CONTROL, FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!probe.Valid()) LogFailure("check: open to replace", target, GetLastError());
  OpenFileFacts facts;
  if (!probe.Valid() || !OpenedAsNamed(probe.Get(), target) || !FactsOf(probe.Get(), &facts)) {
    return TargetCheck::kRefused;
  }
  plan.old = facts.identity;
  plan.kept.TakeFrom(probe.Get(), attributes);
  return TargetCheck::kReplaceable;
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
  float grandTotal;     // converted once per file
  ChecksumRun written;  // the bytes stored so far, in order
};

bool WriteOneChunk(void* context, const unsigned char* bytes, uint32_t count, uint32_t* stored) {
  auto& c = *static_cast<ChunkContext*>(context);
  DWORD written = 0;
  // A failed write, or one that stores nothing, would never finish the file.
  if (!WriteChunk(c.file, bytes, count, &written) || written == 0 || written > count) return false;
  *stored = written;
  c.written.Add(bytes, written);
  c.state->running += written;
  if constexpr (kShowProgress) {
    ShowPercent(*c.state, c.grandTotal);
    TakeOneMessage();
  }
  HOLD_POINT("chunk");
  return true;
}

// Writes the new bytes of an entry into the staged file beside `target`,
// checking them against their record as they go, and hands the file to
// `flush` as the `index`-th. Damaged bytes (a changed byte of the exe, raw or
// deflated) are never flushed as new. kWriteFailed may be the flush of the
// file handed over before: `flush` tells which.
WriteResult StageFile(const char* target, const EntryPlan& plan, RunTotals& state, FileIdentity* identity,
                      FlushBehind& flush, size_t index) {
  char staged[MAX_PATH];
  if (!staging::AppendSuffix(staged, MAX_PATH, target, staging::kStagedSuffix))
    return WriteResult::kCannotCreate;
  UniqueFile file(CreateFileA(staged, GENERIC_READ | GENERIC_WRITE | READ_CONTROL | WRITE_DAC, 0, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) {
    LogFailure("stage: create", staged, GetLastError());
    return WriteResult::kCannotCreate;
  }
  // Created new in a folder held plain: no link can be at its name.
  if (!plan.kept.GiveTo(file.Get())) return WriteResult::kWriteFailed;
  ChunkContext context{file.Get(), &state, static_cast<float>(state.grandTotal), {}};
  BaseFile base;
  const bool fromInstalled = plan.patch || plan.installedIsNew;
  if (fromInstalled && !OpenBase(target, base)) return WriteResult::kCannotCreate;
  const PatchCodec* patches = gTitleProfile->patchCodec;
  const payload::Outcome outcome =
      plan.patch
          ? patches->writePatchedFile(plan.patch, plan.patchSize, ReadBase, &base, WriteOneChunk, &context)
      : plan.installedIsNew ? patches->writeBaseFile(plan.size, ReadBase, &base, WriteOneChunk, &context)
                            : payload::WriteChunks(plan.resource, plan.resourceSize,
                                                   gTitleProfile->payloadCodec, WriteOneChunk, &context);
  switch (outcome) {
    case payload::Outcome::kWritten:
      break;
    case payload::Outcome::kWriteFailed:
      LogFailure("stage: write", staged, GetLastError());
      return WriteResult::kWriteFailed;
    case payload::Outcome::kDamaged:
      if (base.readFailed) {
        LogFailure("stage: read the installed file", target, GetLastError());
        return WriteResult::kWriteFailed;
      }
      return WriteResult::kDamaged;
  }
  if (context.written.Length() != plan.size || !(context.written.Value() == plan.checksum)) {
    return WriteResult::kDamaged;
  }
  OpenFileFacts facts;
  if (!FactsOf(file.Get(), &facts)) {
    LogFailure("stage: identify", staged, GetLastError());
    return WriteResult::kWriteFailed;
  }
  *identity = facts.identity;
  if (!flush.Hand(static_cast<UniqueFile&&>(file), staged, index)) return WriteResult::kWriteFailed;
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

// A journal left for the next run: the player learns what to do, and where it is.
void ShowUnsettled(const char* journal) {
  ShowPathMessage(gState.dialog, text::kUnsettledFormat, journal, gState.caption, kWarning);
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
  size_t count = 0;
  while (list[count]) ++count;

  // Sizing pass: a failed lookup has shown its message and adds nothing; the
  // pass goes on so that the free-space check still sees the rest. A deflated
  // file counts with its size inflated; one whose header is damaged counts
  // nothing, and writing it fails.
  RunTotals state;
  for (const char* const* entry = list; *entry; ++entry) {
    uint32_t resourceSize = 0, size = 0;
    // A file with patches counts with the size it is checked against.
    FileChecksum unused;
    if (FindPatchSet(PathFindFileNameA(*entry), &resourceSize) &&
        FindPayloadCheck(PathFindFileNameA(*entry), &size, &unused)) {
      state.grandTotal += size;
      continue;
    }
    const auto* resource =
        static_cast<const unsigned char*>(FindPayloadResource(PathFindFileNameA(*entry), &resourceSize));
    if (resource && payload::FileSize(resource, resourceSize, gTitleProfile->payloadCodec, &size)) {
      state.grandTotal += size;
    }
  }
  LogStep("payload", "%lu files, %lu bytes to write", static_cast<unsigned long>(count), state.grandTotal);
  if (!CheckFreeSpace(state.grandTotal)) return 0;

  // Nothing is written until every entry is known to be replaceable. The path
  // is used as listed, folder parts included; one that does not fit, or leads
  // through a link, is never composed and is refused like a file that cannot
  // be created.
  HeapArray<EntryPlan> plans(count);
  StagedUpdate update(count + 1);
  // Without memory for what the journal will list, nothing is begun.
  bool listed = true;
  if (count != 0 && !plans.Valid()) {
    ShowMessage(gState.dialog, text::kWriteCannotCreate, gState.caption, kWarning);
    return 0;
  }
  for (size_t i = 0; i < count; ++i) {
    EntryPlan& plan = plans[i];
    plan.path = list[i];
    const char* name = PathFindFileNameA(plan.path);
    // A file with patches may come without its whole bytes.
    plan.patchSet = FindPatchSet(name, &plan.patchSetSize);
    plan.resource = plan.patchSet ? FindOwnResource(name, text::kPayloadType, &plan.resourceSize)
                                  : EntryPayload(plan.path, &plan.resourceSize);
    if (!plan.resource && !plan.patchSet) return 0;
    if (!FindPayloadCheck(PathFindFileNameA(plan.path), &plan.size, &plan.checksum)) {
      ShowEntryFailure(plan.path, text::kPayloadDamaged);
      return 0;
    }
    char target[MAX_PATH];
    char taken[MAX_PATH];
    const TargetCheck check =
        !FoldersArePlain(plan.path) || !JoinPath(target, gState.installFolder, plan.path)
            ? TargetCheck::kRefused
            : CheckTarget(target, plan, taken);
    if (check == TargetCheck::kNameTaken) {
      ShowPathMessage(gState.dialog, text::kNameTakenFormat, taken, gState.caption, kWarning);
      return 0;
    }
    if (check == TargetCheck::kRefused) {
      ShowEntryFailure(plan.path, text::kWriteCannotCreate);
      return 0;
    }
    const PatchChoice choice = plan.patchSet ? ChoosePatch(target, plan) : PatchChoice::kNone;
    if (choice == PatchChoice::kDamaged || choice == PatchChoice::kUnreadable) {
      ShowEntryFailure(plan.path,
                       choice == PatchChoice::kDamaged ? text::kPayloadDamaged : text::kWriteCannotCreate);
      return 0;
    }
    if (!plan.patch && !plan.installedIsNew && !plan.resource) {
      // The player has a release none of the patches is made from.
      LogStepPath("patch", plan.path,
                  "the installed file is the base of no patch, and the file is not carried whole");
      gState.failure = Outcome::kCannotPatch;
      char message[1024];
      if (FormatText(message, text::kCannotPatchFormat, gTitleProfile->patchReleases) < 0)
        lstrcpynA(message, text::kCannotPatchFormat, sizeof message);
      ShowEntryFailure(plan.path, message);
      return 0;
    }
    staging::JournalEntry entry{};
    entry.kind = plan.existed ? staging::kEntryExisted : staging::kEntryNew;
    entry.size = plan.size;
    entry.checksum = plan.checksum;
    entry.old = plan.old;
    lstrcpynA(entry.path, plan.path, sizeof entry.path);
    listed = update.Add(entry) && listed;
  }
  if (gTitleProfile->updateInfoName[0]) {
    // The list's new copy is written beside it too; a file at that name is in the way.
    char listPath[MAX_PATH];
    char staged[MAX_PATH];
    if (JoinPath(listPath, gState.installFolder, gTitleProfile->updateInfoName) &&
        staging::AppendSuffix(staged, MAX_PATH, listPath, staging::kStagedSuffix) &&
        GetFileAttributesA(staged) != INVALID_FILE_ATTRIBUTES) {
      ShowPathMessage(gState.dialog, text::kNameTakenFormat, staged, gState.caption, kWarning);
      return 0;
    }
    staging::JournalEntry entry{};
    entry.kind = staging::kEntryList;
    lstrcpynA(entry.path, gTitleProfile->updateInfoName, sizeof entry.path);
    listed = update.Add(entry) && listed;
  }
  if (!listed) {
    ShowMessage(gState.dialog, text::kWriteCannotCreate, gState.caption, kWarning);
    return 0;
  }
  // The journal goes first, so that an interruption from here on is finished
  // or undone by the next run. One left by an earlier run that could not be
  // settled keeps this one from starting.
  const WriteResult begun = update.Begin();
  if (begun != WriteResult::kWritten) {
    LogFailure("journal", update.JournalPath(), GetLastError());
    update.Abandon();
    ShowMessage(gState.dialog,
                begun == WriteResult::kWriteFailed ? text::kWriteFailed : text::kWriteCannotCreate,
                gState.caption, kWarning);
    return 0;
  }

  // Stage every file, with progress. A failure removes what was staged.
  FlushBehind flush;
  for (size_t i = 0; i < count; ++i) {
    const EntryPlan& plan = plans[i];
    char target[MAX_PATH];
    FileIdentity staged = {0, 0};
    const WriteResult result = !JoinPath(target, gState.installFolder, plan.path)
                                   ? WriteResult::kCannotCreate
                                   : StageFile(target, plan, state, &staged, flush, i);
    if (result != WriteResult::kWritten) {
      // The file in flight is closed before the staged files go; the failure
      // may be its flush, or the flush of the one before.
      flush.Wait();
      const bool flushFailed = flush.Failed() < i;
      update.Abandon();
      ShowEntryFailure(flushFailed ? plans[flush.Failed()].path : plan.path,
                       flushFailed || result == WriteResult::kWriteFailed ? text::kWriteFailed
                       : result == WriteResult::kDamaged                  ? text::kPayloadDamaged
                                                                          : text::kWriteCannotCreate);
      return 0;
    }
    update.Staged(i, staged);
    LogFile(plan.path, plan.size,
            plan.patch            ? "made from the installed file by its patch, staged beside it and checked"
            : plan.installedIsNew ? "staged from the installed file, which is new already, and checked"
                                  : "staged beside its target and checked");
  }
  if (!flush.Wait()) {
    update.Abandon();
    ShowEntryFailure(plans[flush.Failed()].path, text::kWriteFailed);
    return 0;
  }
  HOLD_POINT("flushed");
  // Every staged file must still be there, whole, before any target is touched:
  // a scanner may have taken one away since it was flushed.
  if (const char* gone = update.CheckStaged()) {
    update.Abandon();
    ShowEntryFailure(gone, text::kWriteFailed);
    return 0;
  }
  if (!update.MarkCommitted()) {
    LogFailure("commit", update.JournalPath(), GetLastError());
    update.Abandon();
    ShowMessage(gState.dialog, text::kWriteFailed, gState.caption, kWarning);
    return 0;
  }
  // Replace every target; a failure gives them all their old content back.
  if (const char* failed = update.ReplaceTargets()) {
    LogStepPath("replace", failed,
                update.Unsettled() ? "failed; the way back failed too, the journal stays"
                                   : "failed; every file has its old content back");
    if (update.Unsettled()) gState.failure = Outcome::kUnsettled;
    ShowEntryFailure(failed, text::kWriteCannotCreate);
    if (update.Unsettled()) ShowUnsettled(update.JournalPath());
    return 0;
  }
  LogStep("replace", "every file replaced");

  // The journal goes only after the merge: an interruption during the merge
  // leaves the list's staged copy for the next run to remove.
  const int code = MergeUpdateInfo();
  update.Finish();
  if (code == 0) return 1;
  gState.failure = Outcome::kListNotMerged;
  LogStep("update information", "not merged (code %d): the version is not recorded", code);
  char message[1024];
  FormatText(message, text::kMergeFailedFormat, code);
  ShowMessage(gState.dialog, message, text::kInfoCaption, kWarning);
  return 0;
}
