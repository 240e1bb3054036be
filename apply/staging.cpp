#include "apply/staging.h"

#include <cstdlib>
#include <cstring>

#include "apply/staging_core.h"
#include "base/heap_text.h"
#include "base/read_file.h"
#include "base/update_state.h"
#include "base/win_util.h"
#include "title/title_profile.h"

using staging::Phase;

namespace {

bool Exists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

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

// The three files of one entry: its target, the staged new content, the old content set aside.
struct EntryPaths {
  char target[MAX_PATH];
  char staged[MAX_PATH];
  char aside[MAX_PATH];
};

bool ComposeEntryPaths(const char* entry, EntryPaths& paths) {
  return JoinPath(paths.target, gState.installFolder, entry) &&
         staging::AppendSuffix(paths.staged, MAX_PATH, paths.target, staging::kStagedSuffix) &&
         staging::AppendSuffix(paths.aside, MAX_PATH, paths.target, staging::kAsideSuffix);
}

staging::EntryFiles Observe(const EntryPaths& paths) {
  return {Exists(paths.target), Exists(paths.staged), Exists(paths.aside)};
}

// Takes the steps in their fixed order; false at the first that fails.
bool TakeSteps(const EntryPaths& paths, unsigned steps) {
  if (steps & staging::kCannot) return false;
  const struct {
    unsigned step;
    const char* from;
    const char* to;  // null: delete `from`
  } actions[] = {
      {staging::kMoveTargetAside, paths.target, paths.aside},
      {staging::kMoveStagedIn, paths.staged, paths.target},
      {staging::kMoveAsideBack, paths.aside, paths.target},
      {staging::kDeleteTarget, paths.target, nullptr},
      {staging::kDeleteStaged, paths.staged, nullptr},
      {staging::kDeleteAside, paths.aside, nullptr},
  };
  for (const auto& action : actions) {
    if (!(steps & action.step)) continue;
    if (!(action.to ? MoveFileWithRetry(action.from, action.to) : DeleteFileWithRetry(action.from)))
      return false;
    HOLD_POINT(action.to ? "move" : "delete");
  }
  return true;
}

enum class Direction {
  kCheck,      // only whether this run can act on every entry
  kForward,    // make every payload entry new
  kBackward,   // make every entry old again
  kLeftovers,  // remove the set-aside and staged files that are left
};

// Takes one direction over every entry of a journal text. An entry that could
// lead outside the install folder, or does not fit beside it, was not written
// by an update of this installation: the walk stops there, before anything is
// touched when it is the check. Forward stops at the first entry it cannot
// finish and copies it to `failed`; the others go on over the rest, to leave
// as little behind as they can. True when every entry went through.
bool Walk(const char* text, size_t size, Direction direction, Phase phase, char* failed = nullptr) {
  bool whole = true;
  size_t cursor = 0;
  char kind = 0;
  char entry[MAX_PATH];
  while (staging::NextJournalEntry(text, size, &cursor, &kind, entry, MAX_PATH)) {
    EntryPaths paths;
    if (kind == 0 || !ComposeEntryPaths(entry, paths)) return false;
    // The list is rewritten through its staged name only: it has no forward step.
    const bool payload = kind != staging::kEntryList;
    if (direction == Direction::kCheck || (direction == Direction::kForward && !payload)) continue;
    const staging::EntryFiles files = Observe(paths);
    const unsigned steps = !payload || direction == Direction::kLeftovers
                               ? staging::LeftoverSteps(files, payload)
                           : direction == Direction::kForward
                               ? staging::ForwardSteps(files)
                               : staging::BackwardSteps(files, kind == staging::kEntryExisted, phase);
    if (TakeSteps(paths, steps)) continue;
    if (direction == Direction::kForward) {
      lstrcpynA(failed, entry, MAX_PATH);
      return false;
    }
    whole = false;
  }
  return whole;
}

// Appends one line to the journal and flushes it.
bool AppendLine(const char* journal, const char* line) {
  UniqueFile file(
      CreateFileA(journal, FILE_APPEND_DATA, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  const DWORD length = static_cast<DWORD>(std::strlen(line));
  DWORD written = 0;
  return file.Valid() && WriteFile(file.Get(), line, length, &written, nullptr) && written == length &&
         FlushFileBuffers(file.Get());
}

// Replaces every target; when one cannot be, records the turn and gives every
// target its old content back. True when all were replaced.
bool FinishOrUndo(const char* journal, const char* text, size_t size, char* failed) {
  if (Walk(text, size, Direction::kForward, Phase::kCommitting, failed)) {
    return true;
  }
  // Recorded before the first target goes back, so that an interruption from
  // here on is undone, never finished, by the next run.
  AppendLine(journal, staging::kJournalUndo);
  HOLD_POINT("undo");
  return false;
}

}  // namespace

bool MoveFileWithRetry(const char* from, const char* to) {
  return WithRetry(
      [&] { return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0; });
}

bool DeleteFileWithRetry(const char* path) {
  return WithRetry([&] { return DeleteFileA(path) != 0 || GetLastError() == ERROR_FILE_NOT_FOUND; });
}

int ComposeJournalPath(char (&path)[MAX_PATH]) {
  return FormatText(path, staging::kJournalNameFormat, gState.installFolder, gTitleProfile->baseName) >= 0;
}

void RecoverInterruptedUpdate() {
  char journal[MAX_PATH];
  if (!ComposeJournalPath(journal) || !Exists(journal)) return;
  HeapText text;
  // A journal that cannot be read now is left for a later run.
  if (ReadWholeFile(journal, text) != ReadResult::kRead) return;
  const Phase phase = staging::ReadJournalPhase(text.Bytes(), text.Length());
  if (!Walk(text.Bytes(), text.Length(), Direction::kCheck, phase)) return;
  bool whole = true;
  char failed[MAX_PATH];
  if (phase == Phase::kCommitting && FinishOrUndo(journal, text.Bytes(), text.Length(), failed)) {
    whole = Walk(text.Bytes(), text.Length(), Direction::kLeftovers, phase);
  } else if (phase != Phase::kNone) {
    whole = Walk(text.Bytes(), text.Length(), Direction::kBackward,
                 phase == Phase::kStaging ? Phase::kStaging : Phase::kUndoing);
  }
  if (whole) DeleteFileWithRetry(journal);
}

StagedUpdate::~StagedUpdate() { std::free(text_); }

void StagedUpdate::Add(char kind, const char* entry) {
  const char* header = text_ ? "" : staging::kJournalHeader;
  const size_t headerLength = std::strlen(header);
  const size_t entryLength = std::strlen(entry);
  // kind, entry and '\n', or the "end" line (an empty kind).
  const size_t lineLength = kind ? entryLength + 2 : entryLength;
  char* grown = static_cast<char*>(std::realloc(text_, size_ + headerLength + lineLength + 1));
  if (!grown) {
    noMemory_ = true;
    return;
  }
  text_ = grown;
  char* at = text_ + size_;
  std::memcpy(at, header, headerLength);
  at += headerLength;
  if (kind) *at++ = kind;
  std::memcpy(at, entry, entryLength);
  at += entryLength;
  if (kind) *at++ = '\n';
  *at = '\0';
  size_ += headerLength + lineLength;
}

WriteResult StagedUpdate::Begin() {
  Add(0, staging::kJournalEnd);
  if (noMemory_ || !ComposeJournalPath(journal_)) return WriteResult::kCannotCreate;
  // CREATE_NEW: a journal already there belongs to an update that is still unfinished.
  UniqueFile file(
      CreateFileA(journal_, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) return WriteResult::kCannotCreate;
  begun_ = true;
  DWORD written = 0;
  if (!WriteFile(file.Get(), text_, static_cast<DWORD>(size_), &written, nullptr) || written != size_ ||
      !FlushFileBuffers(file.Get())) {
    return WriteResult::kWriteFailed;
  }
  HOLD_POINT("journal");
  return WriteResult::kWritten;
}

int StagedUpdate::MarkCommitted() {
  if (!AppendLine(journal_, staging::kJournalCommit)) return 0;
  HOLD_POINT("commit");
  return 1;
}

const char* StagedUpdate::ReplaceTargets() {
  if (FinishOrUndo(journal_, text_, size_, failed_)) return nullptr;
  if (Walk(text_, size_, Direction::kBackward, Phase::kUndoing)) DeleteFileWithRetry(journal_);
  begun_ = false;
  return failed_;
}

void StagedUpdate::Abandon() {
  if (begun_ && Walk(text_, size_, Direction::kBackward, Phase::kStaging)) DeleteFileWithRetry(journal_);
  begun_ = false;
}

void StagedUpdate::Finish() {
  if (begun_ && Walk(text_, size_, Direction::kLeftovers, Phase::kCommitting)) {
    HOLD_POINT("cleaned");
    DeleteFileWithRetry(journal_);
  }
  begun_ = false;
}
