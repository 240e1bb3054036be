// The all-or-nothing file work of an update: the journal, replacing every
// target once all new files are staged, giving them back their old content
// when a replacement fails, and finishing or undoing at start-up what an
// earlier run left unfinished. The decisions are in staging_core.h.
#pragma once

#include <windows.h>

#include <cstddef>

// Test builds may hold the updater at named points of the work so that a test
// can act there (end it as the task manager would, lock a file). The shipped
// updater has none.
#if defined(UPDATER_TEST_HOLD_POINTS)
void HoldPoint(const char* name);
#define HOLD_POINT(name) HoldPoint(name)
#else
#define HOLD_POINT(name) ((void)0)
#endif

// "<install folder>\<base>Update.journal"; 0 when it does not fit.
int ComposeJournalPath(char (&path)[MAX_PATH]);

// Brings the installation back to one whole state after an update that an
// earlier run could not finish, and removes the files that run kept beside
// the targets. Silent. Without a journal it costs one attribute query.
void RecoverInterruptedUpdate();

// A move or delete refused for a moment (a scanner, an indexer) is tried again
// for about a second before it counts as failed.
bool MoveFileWithRetry(const char* from, const char* to);
bool DeleteFileWithRetry(const char* path);

// How writing one of the update's files (a staged file, the journal) ended.
enum class WriteResult { kWritten, kCannotCreate, kWriteFailed };

// The journal of the update in progress and the files it names.
class StagedUpdate {
 public:
  StagedUpdate() = default;
  StagedUpdate(const StagedUpdate&) = delete;
  StagedUpdate& operator=(const StagedUpdate&) = delete;
  ~StagedUpdate();

  // Lists a payload entry (its target existed or not) or the installed
  // update-information list, before Begin.
  void Add(char kind, const char* entry);
  // Writes the journal and flushes it. It cannot be created when one is
  // already there (an earlier update is still unfinished) or memory ran out.
  WriteResult Begin();
  // Every staged file is whole on disk: records that targets are now replaced.
  int MarkCommitted();
  // Replaces every target with its staged file. On failure gives every target
  // its old content back and returns the entry that failed; null on success.
  const char* ReplaceTargets();
  // Staging failed: removes the staged files and the journal.
  void Abandon();
  // Removes the set-aside old files and, once nothing is left, the journal.
  void Finish();

 private:
  char journal_[MAX_PATH] = {};
  char failed_[MAX_PATH] = {};
  char* text_ = nullptr;
  size_t size_ = 0;
  bool begun_ = false;
  bool noMemory_ = false;
};
