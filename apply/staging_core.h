// What the all-or-nothing writer decides without the operating system: the
// names of the files it keeps beside each target, the journal that tells the
// next run what an interrupted update left behind, and which way each file
// has to go to bring the installation back to one whole state.
//
// An update runs in three steps. Staging writes every new file to
// "<target>.upd-new" and flushes it. Committing moves each target to
// "<target>.upd-old" and the staged file onto the target. Cleaning up deletes
// the set-aside old files. The journal, "<install folder>\<base>Update.journal",
// exists from before the first staged file until everything is done.
#pragma once

#include <cstddef>

namespace staging {

inline constexpr char kStagedSuffix[] = ".upd-new";
inline constexpr char kAsideSuffix[] = ".upd-old";
inline constexpr char kJournalNameFormat[] = "%s\\%sUpdate.journal";

// path + suffix into out[capacity]; false (out then empty) when it does not fit.
bool AppendSuffix(char* out, size_t capacity, const char* path, const char* suffix);

// The journal is text, one line per item, each ended by '\n':
//   "title-updater journal 1"   first line
//   "+<path>" / "-<path>"       a payload file whose target existed / did not
//                               exist before the update (relative path as listed)
//   "=<path>"                   the installed update-information list, rewritten
//                               through its own staged name
//   "end"                       the list above is whole; written with it, in one write
//   "commit"                    every staged file is whole on disk: targets are
//                               being replaced
//   "undo"                      a replacement failed: targets are getting their
//                               old content back
// A line without its '\n' was cut by the interruption and does not count.
inline constexpr char kJournalHeader[] = "title-updater journal 1\n";
inline constexpr char kJournalEnd[] = "end\n";
inline constexpr char kJournalCommit[] = "commit\n";
inline constexpr char kJournalUndo[] = "undo\n";
inline constexpr char kEntryExisted = '+';
inline constexpr char kEntryNew = '-';
inline constexpr char kEntryList = '=';

enum class Phase {
  kNone,        // not a journal, or its list never became whole: nothing was staged
  kStaging,     // staged files may exist; no target has been touched
  kCommitting,  // all staged files were whole: finish the replacements
  kUndoing,     // give every target its old content back
};

// The phase a journal text records. Entries are read with NextJournalEntry.
Phase ReadJournalPhase(const char* text, size_t size);

// One entry of a journal whose phase is not kNone. `cursor` starts at 0 and is
// advanced past the entry. The path is copied into path[capacity]. Returns 0
// after the last entry; an entry whose path could name something outside the
// install folder (absolute, a drive, "..", empty, too long) is returned with
// kind 0, so the caller skips it.
int NextJournalEntry(const char* text, size_t size, size_t* cursor, char* kind, char* path, size_t capacity);

// What is on disk for one payload entry.
struct EntryFiles {
  bool target;
  bool staged;
  bool aside;
};

// Steps on one entry, in the order they are taken.
enum Step : unsigned {
  kMoveTargetAside = 1u << 0,  // target -> "<target>.upd-old"
  kMoveStagedIn = 1u << 1,     // "<target>.upd-new" -> target
  kMoveAsideBack = 1u << 2,    // "<target>.upd-old" -> target, over whatever is there
  kDeleteTarget = 1u << 3,     // the target is the update's new file of an entry that had none
  kDeleteStaged = 1u << 4,
  kDeleteAside = 1u << 5,
  kCannot = 1u << 6,  // this direction cannot make the entry whole
};

// Makes the entry new: its staged file takes the target's place, the old one
// kept aside. An entry without a staged file is already new, unless it has no
// target either: then it cannot be finished.
unsigned ForwardSteps(EntryFiles files);

// Makes the entry old again. `existed` is the journal's word on the target
// before the update. A target that had none is deleted only once replacements
// began, when it can only be the update's own file.
unsigned BackwardSteps(EntryFiles files, bool existed, Phase phase);

// Removes what an entry left beside its target: its staged file and, for a
// payload entry whose target is whole, the old content set aside.
unsigned LeftoverSteps(EntryFiles files, bool payload);

}  // namespace staging
