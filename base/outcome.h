// How a run ends, and the exit code each ending gives: one table for both
// kinds of run. A silent run (/S) tells every ending apart, for the launcher
// that started it; an interactive run keeps the codes players' shortcuts and
// launchers have always seen (1 and 2, 0 for the rest).
#pragma once

#include <cstdint>

enum class Outcome : int32_t {
  kNone = 0,          // not decided yet: a work that failed without saying more failed whole
  kUpdated,           // every file is new and the version is recorded
  kDeclined,          // the player answered No or Cancel (interactive only)
  kAlreadyApplied,    // this update or a newer one is recorded; nothing done (silent without /force)
  kSettingsNotFound,  // no settings file: the title is not installed for this user
  kDamaged,           // the installed program or record library does not match its records
  kCannotPatch,       // the installed release is none the update's patches are made from, and
                      // the whole file is not carried; nothing written
  kNoSpace,           // too little free space on the install drive; nothing written
  kFailed,            // the work failed; every file kept its old content
  kListNotMerged,     // the files are new, but the update-information list was not merged and
                      // the version not recorded: a new run redoes the update
  kUnsettled,         // an interrupted update can be neither finished nor undone now
  kAnotherCopy,       // another copy of the updater is running; nothing done
  kBadCommandLine,    // an option the updater does not know; nothing done
};

struct OutcomeCodes {
  Outcome outcome;
  int silent;
  int interactive;
  const char* name;  // for the log
};

// Codes once given are never changed: launchers test for them.
inline constexpr OutcomeCodes kOutcomeCodes[] = {
    {Outcome::kUpdated, 0, 0, "updated"},
    {Outcome::kDeclined, 0, 0, "declined by the player"},
    {Outcome::kSettingsNotFound, 1, 1, "settings file not found"},
    {Outcome::kDamaged, 2, 2, "installation damaged"},
    {Outcome::kAlreadyApplied, 3, 0, "already applied, nothing done"},
    {Outcome::kCannotPatch, 4, 0, "installed release cannot be patched"},
    {Outcome::kNoSpace, 5, 0, "too little free space, nothing written"},
    {Outcome::kFailed, 6, 0, "failed, every file kept its old content"},
    {Outcome::kListNotMerged, 7, 0, "files updated, update information not merged, version not recorded"},
    {Outcome::kUnsettled, 8, 0, "an interrupted update could not be settled, nothing done"},
    {Outcome::kAnotherCopy, 9, 0, "another copy is running, nothing done"},
    {Outcome::kBadCommandLine, 10, 10, "bad command line, nothing done"},
};

inline const OutcomeCodes& CodesOf(Outcome outcome) {
  for (const OutcomeCodes& codes : kOutcomeCodes) {
    if (codes.outcome == outcome) return codes;
  }
  // kNone: a work that ended without naming its failure.
  return CodesOf(Outcome::kFailed);
}
