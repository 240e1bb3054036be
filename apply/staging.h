// The all-or-nothing file work of an update: the journal, replacing every
// target once all new files are staged and checked, giving them back their
// old content when a replacement fails, and finishing or undoing at start-up
// what an earlier run left unfinished. The decisions are in staging_core.h.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "apply/staging_core.h"
#include "base/heap_array.h"
#include "base/win_util.h"

// Test builds may hold the updater at named points of the work so that a test
// can act there (end it as the task manager would, lock a file), note where
// files are flushed and journal lines written, and make a step fail. The
// shipped updater has none of it.
#if defined(UPDATER_TEST_HOLD_POINTS)
void HoldPoint(const char* name);
void TracePoint(const char* what, const char* path);
bool TestFails(const char* step, const char* what);
#define HOLD_POINT(name) HoldPoint(name)
#define TRACE_POINT(what, path) TracePoint(what, path)
#define TEST_FAILS(step, what) TestFails(step, what)
#else
#define HOLD_POINT(name) ((void)0)
#define TRACE_POINT(what, path) ((void)0)
#define TEST_FAILS(step, what) false
#endif

// "<install folder>\<base>Update.journal"; 0 when it does not fit.
int ComposeJournalPath(char (&path)[MAX_PATH]);

enum class Recovery {
  kNothing,    // no journal: nothing was interrupted
  kSettled,    // an interrupted update was finished or undone, and its journal removed
  kUnsettled,  // a journal stays that cannot be settled now, or was not written by this updater
};

// Brings the installation back to one whole state after an update that an
// earlier run could not finish, and removes the files that run kept beside
// the targets. Silent; the caller tells the player of kUnsettled. Without a
// journal it costs one attribute query.
Recovery RecoverInterruptedUpdate();

// A move or delete refused for a moment (a scanner, an indexer) is tried again
// for about a second before it counts as failed. A move goes over a file at
// `to` only when `replace` says so. Both act on the file at the name itself,
// never on what a link there leads to: the file of a known identity, or one
// whose final path is its name. `moved`, when given, keeps the moved file
// open (shared) so that it can be deleted later without looking for it again.
bool MoveFileWithRetry(const char* from, const char* to, bool replace, FileIdentity expected = {0, 0},
                       UniqueFile* moved = nullptr);
bool DeleteFileWithRetry(const char* path, FileIdentity expected = {0, 0});
// Flushes a file the update wrote to the disk.
bool FlushFile(HANDLE file, const char* path);

// Flushes the staged files one at a time on a thread of its own, so that the
// next file's bytes are written while the disk takes the last one's. Without
// that thread each file is flushed when it is handed over.
class FlushBehind {
 public:
  FlushBehind();
  ~FlushBehind();
  FlushBehind(const FlushBehind&) = delete;
  FlushBehind& operator=(const FlushBehind&) = delete;

  // Takes `file` (written, open for writing) to flush and close, once the
  // file handed over before it is done. False when that one's flush failed.
  bool Hand(UniqueFile file, const char* path, size_t index);
  // Waits for the file in flight, if any; false when its flush failed.
  bool Wait();
  // The index of the file whose flush failed; SIZE_MAX while none has.
  size_t Failed() const { return failed_; }

 private:
  static DWORD WINAPI Work(void* self);
  // Flushes the file in hand, noting how it went.
  void FlushNow();
  UniqueFile file_;
  char path_[MAX_PATH] = {};
  size_t index_ = 0;
  size_t failed_ = SIZE_MAX;
  bool busy_ = false;
  bool flushed_ = false;
  DWORD error_ = 0;
  HANDLE thread_ = nullptr;
  HANDLE ready_ = nullptr;  // a file to flush, or the end when none
  HANDLE done_ = nullptr;
};

// How writing one of the update's files (a staged file, the journal) ended.
enum class WriteResult { kWritten, kCannotCreate, kWriteFailed, kDamaged };

// The journal of the update in progress and the files it names.
class StagedUpdate {
 public:
  // Room for `capacity` entries.
  explicit StagedUpdate(size_t capacity) : entries_(capacity), staged_(capacity), asides_(capacity) {}
  StagedUpdate(const StagedUpdate&) = delete;
  StagedUpdate& operator=(const StagedUpdate&) = delete;

  // Lists a payload entry or the installed update-information list, before
  // Begin. False when there is no room (memory ran out).
  bool Add(const staging::JournalEntry& entry);
  // Writes the journal, flushes it and holds it open to the end, so that no
  // one else can change it meanwhile. It cannot be created when one is
  // already there (an earlier update is still unfinished).
  WriteResult Begin();
  // The staged file of the index-th entry is written and flushed.
  void Staged(size_t index, FileIdentity identity);
  // Whether every staged file is still there, whole; the first entry that is
  // not, or null.
  const char* CheckStaged() const;
  // Every staged file is whole on disk: records that targets are now replaced.
  int MarkCommitted();
  // Replaces every target with its staged file and checks that each target is
  // it. On failure gives every target its old content back and returns the
  // entry that failed; null on success.
  const char* ReplaceTargets();
  // After a failed ReplaceTargets: the way back did not go through either, and
  // the journal stays for the next run.
  bool Unsettled() const { return unsettled_; }
  const char* JournalPath() const { return journal_; }
  // Before the commit: removes the staged files and the journal.
  void Abandon();
  // Removes the set-aside old files and, once nothing is left, the journal.
  void Finish();

 private:
  HeapArray<staging::JournalEntry> entries_;
  HeapArray<FileIdentity> staged_;
  HeapArray<UniqueFile> asides_;  // each old file set aside, held open from its move until it is deleted
  size_t count_ = 0;
  char journal_[MAX_PATH] = {};
  UniqueFile file_;
  const char* failed_ = nullptr;
  bool unsettled_ = false;
};
