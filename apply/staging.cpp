#include "apply/staging.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "apply/staging_core.h"
#include "base/heap_text.h"
#include "base/install_paths.h"
#include "base/log.h"
#include "base/update_state.h"
#include "base/win_util.h"
#include "title/title_profile.h"

using staging::JournalEntry;
using staging::Observed;
using staging::Phase;
using staging::Way;

namespace {

// A journal is a few lines a file; anything far larger is not one of ours.
constexpr DWORD kLargestJournal = 1u << 20;

template <typename Operation>
bool WithRetry(Operation operation) {
  for (int attempt = 1;; ++attempt) {
    if (operation()) return true;
    const DWORD error = GetLastError();
    const bool momentary =
        error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION;
    if (!momentary || attempt == 10) return false;
    Sleep(100);
  }
}

// A file of the update's own, opened without following a link: the file of
// a known identity, or one whose final path is its name. A file that is not
// the one expected is no use trying again.
HANDLE OpenOwnFile(const char* path, DWORD access, FileIdentity expected) {
  HANDLE file = OpenToLookAt(path, access, expected);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED && error != ERROR_LOCK_VIOLATION &&
        error != ERROR_FILE_NOT_FOUND) {
      SetLastError(ERROR_NOT_SUPPORTED);
    }
  }
  return file;
}

// Deletes a file opened with DELETE once its last handle is closed.
bool DeleteOpenFile(HANDLE file) {
  FILE_DISPOSITION_INFO disposition = {TRUE};
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// The three files of one entry: its target, the staged new content, the old content set aside.
struct EntryPaths {
  char target[MAX_PATH];
  char staged[MAX_PATH];
  char aside[MAX_PATH];
};

// The paths of an entry, when they fit and lead through plain folders only.
bool ComposeEntryPaths(const char* entry, EntryPaths& paths) {
  return FoldersArePlain(entry) && JoinPath(paths.target, gState.installFolder, entry) &&
         staging::AppendSuffix(paths.staged, MAX_PATH, paths.target, staging::kStagedSuffix) &&
         staging::AppendSuffix(paths.aside, MAX_PATH, paths.target, staging::kAsideSuffix);
}

bool Exists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

// Whether the open file holds `size` bytes whose checksum is `checksum`. Read
// in pieces: a file of any size costs one buffer.
bool HoldsContent(HANDLE file, uint32_t size, FileChecksum checksum) {
  OpenFileFacts facts;
  if (!FactsOf(file, &facts) || facts.size != size) return false;
  constexpr DWORD kPiece = 1u << 16;
  HeapArray<unsigned char> buffer(kPiece);
  if (!buffer.Valid()) return false;
  ChecksumRun run;
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file, buffer.Data(), kPiece, &read, nullptr)) return false;
    if (read == 0) break;
    run.Add(buffer.Data(), read);
  }
  return run.Length() == size && run.Value() == checksum;
}

// One file of an entry as it is found: there or not, and what it holds.
struct Found {
  bool there = false;
  bool isNew = false;  // the journal's new content
  bool isOld = false;  // the identity the target had before the update
};

Found Look(const char* path, const JournalEntry& entry, bool content) {
  Found found;
  found.there = Exists(path);
  if (!found.there) return found;
  // A link, or a file no one may read now, is neither new nor old: never ours.
  UniqueFile file(OpenToLookAt(path));
  OpenFileFacts facts;
  if (!file.Valid() || !FactsOf(file.Get(), &facts)) return found;
  found.isOld = entry.kind == staging::kEntryExisted && SameFile(facts.identity, entry.old);
  found.isNew =
      content && entry.kind != staging::kEntryList && HoldsContent(file.Get(), entry.size, entry.checksum);
  return found;
}

// Before the commit only the staged files matter, and their content not at all.
Observed Observe(const JournalEntry& entry, const EntryPaths& paths, Phase phase) {
  const bool content = phase == Phase::kCommitting || phase == Phase::kUndoing;
  const Found target = content ? Look(paths.target, entry, true) : Found{};
  const Found staged = Look(paths.staged, entry, content);
  const Found aside = content ? Look(paths.aside, entry, false) : Found{};
  return {target.there, target.isNew, target.isOld, staged.there, staged.isNew, aside.there, aside.isOld};
}

// An interrupted or failed update's journal and the files it names, with what
// was found of each.
class Settlement {
 public:
  Settlement(HANDLE journal, const JournalEntry* entries, size_t count)
      : journal_(journal), entries_(entries), count_(count), paths_(count), observed_(count) {}

  // Every entry's paths; false when one does not fit or leads through a link,
  // or memory ran out.
  bool ComposePaths() {
    if (count_ != 0 && (!paths_.Valid() || !observed_.Valid())) return false;
    for (size_t i = 0; i < count_; ++i) {
      if (!ComposeEntryPaths(entries_[i].path, paths_[i])) return false;
    }
    return true;
  }

  // Takes the installation to one whole state from `phase`; false when no way
  // went through (the journal then stays). The journal is removed at the end.
  bool Settle(Phase phase) {
    Way way = Look(phase);
    LogWay(way);
    if (way == Way::kStuck) return false;
    if (way == Way::kBackward && phase == Phase::kCommitting) {
      // Recorded first, so that from here on the next run turns back too.
      AppendTo(journal_, staging::kJournalUndo);
      phase = Phase::kUndoing;
    }
    if (!Take(way, phase, staging::kMoveSteps)) {
      if (way != Way::kForward) return false;
      // A replacement refused: every target goes back instead.
      AppendTo(journal_, staging::kJournalUndo);
      phase = Phase::kUndoing;
      way = Look(phase);
      LogWay(way);
      if (way != Way::kBackward || !Take(way, phase, staging::kMoveSteps)) return false;
    }
    if (!Take(way, phase, staging::kDeleteStaged | staging::kDeleteAside)) return false;
    HOLD_POINT("settled");
    LogStep("settle", way == Way::kForward ? "every file is new" : "every file is old");
    return DeleteJournal(journal_);
  }

  // Which way was chosen from what the files hold.
  static void LogWay(Way way) {
    LogStep("settle", way == Way::kForward    ? "forward: every file can be made new"
                      : way == Way::kBackward ? "back: every file can be given its old content"
                                              : "neither way can be taken now: everything is left as it is");
  }

  // Appends one line to an open journal and flushes it.
  static bool AppendTo(HANDLE journal, const char* line) {
    const DWORD length = static_cast<DWORD>(std::strlen(line));
    DWORD written = 0;
    if (TEST_FAILS("write", line) ||
        SetFilePointer(journal, 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER ||
        !WriteFile(journal, line, length, &written, nullptr) || written != length) {
      return false;
    }
    TRACE_POINT("journal", line);
    return !TEST_FAILS("flush", line) && FlushFile(journal, nullptr);
  }

  // Deletes the open journal by its handle, so no other file can be at its name meanwhile.
  static bool DeleteJournal(HANDLE journal) {
    return WithRetry([&] { return DeleteOpenFile(journal); });
  }

 private:
  Way Look(Phase phase) {
    for (size_t i = 0; i < count_; ++i) observed_[i] = Observe(entries_[i], paths_[i], phase);
    return staging::ChooseWay(phase, entries_, observed_.Data(), count_);
  }

  // Takes the chosen way's steps that are among `only`, entry by entry in
  // their fixed order; false at the first that fails.
  bool Take(Way way, Phase phase, unsigned only) {
    [[maybe_unused]] const char* const point = way == Way::kForward ? "forward" : "back";
    for (size_t i = 0; i < count_; ++i) {
      const Observed& o = observed_[i];
      const EntryPaths& p = paths_[i];
      const unsigned steps = staging::StepsOf(way, phase, entries_[i], o) & only;
      const struct {
        unsigned step;
        const char* from;
        const char* to;  // null: delete `from`
        bool replace;
      } actions[] = {
          {staging::kMoveTargetAside, p.target, p.aside, false},
          // Over a target only when its old content is safe aside already.
          {staging::kMoveStagedIn, p.staged, p.target, o.target && !(steps & staging::kMoveTargetAside)},
          {staging::kMoveAsideBack, p.aside, p.target, true},
          {staging::kDeleteTarget, p.target, nullptr, false},
          {staging::kDeleteStaged, p.staged, nullptr, false},
          {staging::kDeleteAside, p.aside, nullptr, false},
      };
      for (const auto& action : actions) {
        if (!(steps & action.step)) continue;
        if (!(action.to ? MoveFileWithRetry(action.from, action.to, action.replace)
                        : DeleteFileWithRetry(action.from))) {
          LogFailure(action.to ? "settle: move" : "settle: delete", action.from, GetLastError());
          return false;
        }
        HOLD_POINT(point);
      }
    }
    return true;
  }

  HANDLE journal_;
  const JournalEntry* entries_;
  size_t count_;
  HeapArray<EntryPaths> paths_;
  HeapArray<Observed> observed_;
};

size_t PayloadCount() {
  size_t count = 0;
  while (gTitleProfile->payloadList[count]) ++count;
  return count;
}

// The journal's whole text, read from its open handle.
bool ReadJournalText(HANDLE journal, HeapText& text) {
  OpenFileFacts facts;
  if (!FactsOf(journal, &facts) || facts.size > kLargestJournal) return false;
  const DWORD size = static_cast<DWORD>(facts.size);
  char* bytes = static_cast<char*>(std::calloc(size + 1, 1));
  if (!bytes) return false;
  text = HeapText(bytes, size);
  DWORD read = 0;
  return ReadFile(journal, bytes, size, &read, nullptr) && read == size;
}

}  // namespace

bool MoveFileWithRetry(const char* from, const char* to, bool replace, FileIdentity expected,
                       UniqueFile* moved) {
  // Moved by a handle to the file itself, never what a link there leads to
  // (Windows would move a link as a link, Wine its target), and no other file
  // can take the name between the look and the move. The system's rename
  // takes the destination by its full name: "\??\C:\...".
  struct {
    FILE_RENAME_INFO info;
    wchar_t room[MAX_PATH + 8];
  } rename = {};
  const bool unc = to[0] == '\\' && to[1] == '\\' && to[2] != '?';
  const wchar_t* const prefix = unc ? L"\\??\\UNC" : L"\\??\\";
  const size_t prefixLength = std::wcslen(prefix);
  std::wmemcpy(rename.info.FileName, prefix, prefixLength);
  const char* rest = std::strncmp(to, "\\\\?\\", 4) == 0 ? to + 4 : unc ? to + 1 : to;
  const int length = WidenText(rename.info.FileName + prefixLength, MAX_PATH, rest, CP_ACP);
  if (length < 0) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  rename.info.ReplaceIfExists = replace;
  rename.info.FileNameLength = static_cast<DWORD>((prefixLength + length) * sizeof(wchar_t));
  return WithRetry([&] {
    UniqueFile file(OpenOwnFile(from, DELETE | FILE_READ_ATTRIBUTES, expected));
    if (!file.Valid() || !SetFileInformationByHandle(file.Get(), FileRenameInfo, &rename, sizeof rename))
      return false;
    if (moved) *moved = static_cast<UniqueFile&&>(file);
    return true;
  });
}

bool DeleteFileWithRetry(const char* path, FileIdentity expected) {
  // Deleted by a handle to the file itself: under Wine a delete by name
  // removes what a link leads to.
  return WithRetry([&] {
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND)
      return true;
    UniqueFile file(OpenOwnFile(path, DELETE | FILE_READ_ATTRIBUTES, expected));
    if (!file.Valid()) return GetLastError() == ERROR_FILE_NOT_FOUND;
    return DeleteOpenFile(file.Get());
  });
}

bool FlushFile(HANDLE file, const char* path) {
  if (!FlushFileBuffers(file)) return false;
  if (path) TRACE_POINT("flush", path);
  return true;
}

FlushBehind::FlushBehind()
    : ready_(CreateEventA(nullptr, FALSE, FALSE, nullptr)), done_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {
  // A small stack: the thread only waits and flushes.
  if (ready_ && done_)
    thread_ = CreateThread(nullptr, 64 * 1024, Work, this, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
}

FlushBehind::~FlushBehind() {
  Wait();
  if (thread_) {
    SetEvent(ready_);  // with no file: the end
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
  }
  if (ready_) CloseHandle(ready_);
  if (done_) CloseHandle(done_);
}

DWORD WINAPI FlushBehind::Work(void* self) {
  auto& flush = *static_cast<FlushBehind*>(self);
  for (;;) {
    WaitForSingleObject(flush.ready_, INFINITE);
    if (!flush.file_.Valid()) return 0;
    flush.FlushNow();
    SetEvent(flush.done_);
  }
}

bool FlushBehind::Hand(UniqueFile file, const char* path, size_t index) {
  if (!Wait()) return false;
  file_ = static_cast<UniqueFile&&>(file);
  lstrcpynA(path_, path, MAX_PATH);
  index_ = index;
  busy_ = true;
  if (thread_) {
    SetEvent(ready_);
  } else {
    FlushNow();
  }
  return true;
}

void FlushBehind::FlushNow() {
  flushed_ = FlushFileBuffers(file_.Get()) != 0;
  error_ = flushed_ ? 0 : GetLastError();
}

bool FlushBehind::Wait() {
  if (!busy_) return true;
  if (thread_) WaitForSingleObject(done_, INFINITE);
  busy_ = false;
  file_.Reset();
  if (flushed_ && TEST_FAILS("flush", path_)) {
    flushed_ = false;
    error_ = ERROR_WRITE_FAULT;
  }
  if (flushed_) {
    TRACE_POINT("flush", path_);
    return true;
  }
  failed_ = index_;
  LogFailure("stage: flush", path_, error_);
  SetLastError(error_);
  return false;
}

int ComposeJournalPath(char (&path)[MAX_PATH]) {
  return FormatText(path, staging::kJournalNameFormat, gState.installFolder, gTitleProfile->baseName) >= 0;
}

Recovery RecoverInterruptedUpdate() {
  char path[MAX_PATH];
  if (!ComposeJournalPath(path)) return Recovery::kNothing;
  if (!Exists(path)) return Recovery::kNothing;
  // Held without write or delete sharing while it is read and acted on; never
  // through a link, never a file with other names elsewhere.
  UniqueFile journal(CreateFileA(path, GENERIC_READ | FILE_APPEND_DATA | DELETE, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  OpenFileFacts facts;
  HeapText text;
  LogStepPath("recovery", path, "a journal of an interrupted update");
  if (!journal.Valid()) {
    LogFailure("recovery: open the journal", path, GetLastError());
    return Recovery::kUnsettled;
  }
  if (!OpenedAsNamed(journal.Get(), path) || !FactsOf(journal.Get(), &facts) || facts.links != 1 ||
      !ReadJournalText(journal.Get(), text)) {
    LogStepPath("recovery", path, "a link, a file with other names, or not readable: not acted on");
    return Recovery::kUnsettled;
  }
  // Every entry must be a file of this updater: at most one per payload path and the list.
  const size_t capacity = PayloadCount() + 1;
  HeapArray<JournalEntry> entries(capacity);
  if (!entries.Valid()) return Recovery::kUnsettled;
  size_t count = 0;
  const Phase phase = staging::ReadJournal(text.Bytes(), text.Length(), entries.Data(), capacity, &count);
  if (phase == Phase::kForeign || !staging::EntriesAreOurs(entries.Data(), count, gTitleProfile->payloadList,
                                                           gTitleProfile->updateInfoName)) {
    LogStep("recovery",
            "not a journal of this updater (garbled, another format, or a file it does not write): "
            "not acted on");
    return Recovery::kUnsettled;
  }
  LogStep("recovery", "%lu files; %s", static_cast<unsigned long>(count),
          phase == Phase::kCut          ? "cut before its list was whole: nothing was staged"
          : phase == Phase::kStaging    ? "staging: no file was replaced yet"
          : phase == Phase::kCommitting ? "committing: files were being replaced"
                                        : "undoing: files were getting their old content back");
  Settlement settlement(journal.Get(), entries.Data(), count);
  if (!settlement.ComposePaths()) {
    LogStep("recovery", "a path of the journal does not fit, or leads through a link: not acted on");
    return Recovery::kUnsettled;
  }
  if (!settlement.Settle(phase)) return Recovery::kUnsettled;
  return Recovery::kSettled;
}

bool StagedUpdate::Add(const JournalEntry& entry) {
  if (count_ == entries_.Count() || !staged_.Valid() || !asides_.Valid()) return false;
  entries_[count_++] = entry;
  return true;
}

WriteResult StagedUpdate::Begin() {
  HeapArray<char> text(sizeof staging::kJournalHeader - 1 + count_ * 400 + sizeof staging::kJournalEnd);
  if (!text.Valid()) return WriteResult::kCannotCreate;
  size_t size = sizeof staging::kJournalHeader - 1;
  std::memcpy(text.Data(), staging::kJournalHeader, size);
  for (size_t i = 0; i < count_; ++i) {
    const JournalEntry& entry = entries_[i];
    const size_t length = staging::FormatJournalEntry(entry, text.Data() + size, text.Count() - size);
    if (length == 0) return WriteResult::kCannotCreate;
    size += length;
  }
  std::memcpy(text.Data() + size, staging::kJournalEnd, sizeof staging::kJournalEnd - 1);
  size += sizeof staging::kJournalEnd - 1;

  if (!ComposeJournalPath(journal_)) return WriteResult::kCannotCreate;
  // CREATE_NEW: a journal already there belongs to an update that is still unfinished.
  file_.Reset(CreateFileA(journal_, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                          CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file_.Valid()) return WriteResult::kCannotCreate;
  DWORD written = 0;
  // Created new in the install folder, which is held plain: no link can be at its name.
  if (!WriteFile(file_.Get(), text.Data(), static_cast<DWORD>(size), &written, nullptr) || written != size ||
      !FlushFile(file_.Get(), nullptr)) {
    return WriteResult::kWriteFailed;
  }
  TRACE_POINT("journal", "end");
  HOLD_POINT("journal");
  return WriteResult::kWritten;
}

void StagedUpdate::Staged(size_t index, FileIdentity identity) { staged_[index] = identity; }

const char* StagedUpdate::CheckStaged() const {
  for (size_t i = 0; i < count_; ++i) {
    const JournalEntry& entry = entries_[i];
    if (entry.kind == staging::kEntryList) continue;
    char target[MAX_PATH];
    char staged[MAX_PATH];
    OpenFileFacts facts;
    if (!JoinPath(target, gState.installFolder, entry.path) ||
        !staging::AppendSuffix(staged, MAX_PATH, target, staging::kStagedSuffix)) {
      return entry.path;
    }
    UniqueFile file(OpenToLookAt(staged, FILE_READ_ATTRIBUTES, staged_[i]));
    if (!file.Valid() || !FactsOf(file.Get(), &facts) || facts.size != entry.size) {
      LogStepPath("check before the commit", staged, "gone, or not the file that was written, whole");
      return entry.path;
    }
  }
  return nullptr;
}

int StagedUpdate::MarkCommitted() {
  if (!Settlement::AppendTo(file_.Get(), staging::kJournalCommit)) return 0;
  HOLD_POINT("commit");
  return 1;
}

const char* StagedUpdate::ReplaceTargets() {
  failed_ = nullptr;
  for (size_t i = 0; i < count_ && !failed_; ++i) {
    const JournalEntry& entry = entries_[i];
    EntryPaths paths;
    if (entry.kind == staging::kEntryList) continue;
    // Each file by its identity: the old target as the check found it, the staged file as it was written.
    if (!ComposeEntryPaths(entry.path, paths) ||
        (entry.kind == staging::kEntryExisted &&
         !MoveFileWithRetry(paths.target, paths.aside, false, entry.old, &asides_[i]))) {
      LogFailure("replace: set the old file aside", paths.target, GetLastError());
      failed_ = entry.path;
      break;
    }
    HOLD_POINT("move");
    if (!MoveFileWithRetry(paths.staged, paths.target, false, staged_[i])) {
      LogFailure("replace: move the new file in", paths.staged, GetLastError());
      failed_ = entry.path;
      break;
    }
    HOLD_POINT("move");
  }
  // Every target must now be the file that was staged and checked, whole.
  for (size_t i = 0; i < count_ && !failed_; ++i) {
    const JournalEntry& entry = entries_[i];
    char target[MAX_PATH];
    OpenFileFacts facts;
    if (entry.kind == staging::kEntryList) continue;
    if (!JoinPath(target, gState.installFolder, entry.path)) {
      failed_ = entry.path;
      break;
    }
    UniqueFile file(OpenToLookAt(target, FILE_READ_ATTRIBUTES, staged_[i]));
    if (!file.Valid() || !FactsOf(file.Get(), &facts) || facts.size != entry.size) {
      LogStepPath("replace", target, "is not the file that was staged, whole");
      failed_ = entry.path;
    }
  }
  if (!failed_) return nullptr;
  // The old files go back by name now, as the next run would move them.
  for (size_t i = 0; i < count_; ++i) asides_[i].Reset();

  // Recorded before the first target goes back, so that an interruption from
  // here on is undone, never finished, by the next run. A line that cannot be
  // written changes nothing: the next run decides by what the files hold.
  Settlement::AppendTo(file_.Get(), staging::kJournalUndo);
  HOLD_POINT("undo");
  Settlement settlement(file_.Get(), entries_.Data(), count_);
  LogStep("undo", "every file gets its old content back");
  unsettled_ = !settlement.ComposePaths() || !settlement.Settle(Phase::kUndoing);
  if (!unsettled_) file_.Reset();
  return failed_;
}

void StagedUpdate::Abandon() {
  if (!file_.Valid()) return;
  Settlement settlement(file_.Get(), entries_.Data(), count_);
  if (settlement.ComposePaths() && settlement.Settle(Phase::kStaging)) file_.Reset();
}

void StagedUpdate::Finish() {
  if (!file_.Valid()) return;
  bool whole = true;
  for (size_t i = 0; i < count_; ++i) {
    const JournalEntry& entry = entries_[i];
    // The old file set aside, held open since its move, goes by that handle
    // as it is closed.
    if (asides_[i].Valid()) {
      const bool deleted = DeleteOpenFile(asides_[i].Get());
      asides_[i].Reset();
      if (deleted) {
        HOLD_POINT("delete");
        continue;
      }
    }
    EntryPaths paths;
    if (!ComposeEntryPaths(entry.path, paths)) {
      whole = false;
      continue;
    }
    // The list's staged copy is gone once its merge ended, whichever way.
    const char* leftover = entry.kind == staging::kEntryExisted ? paths.aside
                           : entry.kind == staging::kEntryList  ? paths.staged
                                                                : nullptr;
    if (!leftover || !Exists(leftover)) continue;
    // The old file set aside is the one the check found at the target.
    whole = DeleteFileWithRetry(leftover,
                                entry.kind == staging::kEntryExisted ? entry.old : FileIdentity{0, 0}) &&
            whole;
    HOLD_POINT("delete");
  }
  if (!whole) return;
  HOLD_POINT("cleaned");
  if (Settlement::DeleteJournal(file_.Get())) file_.Reset();
}
