// What the all-or-nothing writer decides without the operating system: the
// names of the files it keeps beside each target, the journal that tells the
// next run what an interrupted update left behind, and which way an
// interrupted update goes to leave one whole installation.
//
// An update runs in three steps. Staging writes every new file to
// "<target>.upd-new" and flushes it. Committing moves each target to
// "<target>.upd-old" and the staged file onto the target. Cleaning up deletes
// the set-aside old files. The journal, "<install folder>\<base>Update.journal",
// exists from before the first staged file until everything is done.
//
// The invariant everything here keeps: at every instant, the journal and the
// files on disk determine one whole state, all old or all new, that the next
// run reaches. Files are told apart by what they hold, never by their names
// alone: the journal names every new file's size and checksum, and the
// identity (volume and file index) of every old file it will move aside.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/file_identity.h"
#include "verify/checksum.h"

namespace staging {

inline constexpr char kStagedSuffix[] = ".upd-new";
inline constexpr char kAsideSuffix[] = ".upd-old";
inline constexpr char kJournalNameFormat[] = "%s\\%sUpdate.journal";
// Room for a relative path and its terminator, as in a MAX_PATH buffer.
inline constexpr size_t kPathCapacity = 260;

// path + suffix into out[capacity]; false (out then empty) when it does not fit.
bool AppendSuffix(char* out, size_t capacity, const char* path, const char* suffix);

// The journal is text, one line per item, each ended by '\n':
//   "title-updater journal 2"             first line
//   "+SSSSSSSS BBBBBBBB XXXXXXXX VVVVVVVV IIIIIIIIIIIIIIII <path>"
//                                         a payload file whose target existed:
//                                         the new file's size, byte sum and word
//                                         XOR, the old target's volume and index
//   "-SSSSSSSS BBBBBBBB XXXXXXXX <path>"  a payload file the update adds
//   "=<path>"                             the installed update-information list,
//                                         rewritten through its own staged name
//   "end"                                 the list above is whole; written with it
//   "commit"                              every staged file is whole on disk:
//                                         targets are being replaced
//   "undo"                                targets are getting their old content back
// Numbers are lowercase hexadecimal of fixed width; paths are relative to the
// install folder, as the payload list has them. A last line without its '\n'
// was cut by an interruption and does not count.
inline constexpr char kJournalHeader[] = "title-updater journal 2\n";
inline constexpr char kJournalEnd[] = "end\n";
inline constexpr char kJournalCommit[] = "commit\n";
inline constexpr char kJournalUndo[] = "undo\n";
inline constexpr char kEntryExisted = '+';
inline constexpr char kEntryNew = '-';
inline constexpr char kEntryList = '=';

struct JournalEntry {
  char kind;              // kEntryExisted, kEntryNew or kEntryList
  uint32_t size;          // payload entries: the new file's size
  FileChecksum checksum;  // and its checksum
  FileIdentity old;       // kEntryExisted: the target before the update
  char path[kPathCapacity];
};

// One entry's line, '\n' included, into out[capacity]; its length, or 0 when
// it does not fit.
size_t FormatJournalEntry(const JournalEntry& entry, char* out, size_t capacity);

enum class Phase {
  kCut,         // the journal's own write was cut: nothing was staged
  kStaging,     // staged files may exist; no target has been touched
  kCommitting,  // every staged file was whole: targets are being replaced
  kUndoing,     // targets are getting their old content back
  kForeign,     // not a journal this updater wrote: garbled, another format, an entry it cannot read
};

// Reads a journal text: its phase, and its entries into entries[capacity]
// (*count of them). More entries than fit, a path that could lead outside
// the install folder (absolute, a drive, "..", empty, too long), the same path
// twice, or a line that is none of the above make it kForeign.
Phase ReadJournal(const char* text, size_t size, JournalEntry* entries, size_t capacity, size_t* count);

// Whether every entry names a file of this updater: a payload entry a path of
// `payloadList` (null-ended), the list entry `listName`. Another updater's
// journal, or a planted one, is never acted on.
bool EntriesAreOurs(const JournalEntry* entries, size_t count, const char* const* payloadList,
                    const char* listName);

// What is on disk for one entry, as the next run finds it.
struct Observed {
  bool target;
  bool targetIsNew;  // size and checksum of the journal's new file
  bool targetIsOld;  // the identity of the target before the update
  bool staged;
  bool stagedIsWhole;  // size and checksum of the journal's new file
  bool aside;
  bool asideIsOld;  // the identity of the target before the update
};

enum class Way {
  kForward,   // make every payload entry new
  kBackward,  // make every entry old again
  kStuck,     // neither can be reached from what is on disk: leave everything as it is
};

// The way an interrupted update goes: after staging always back (no target was
// touched); while committing forward when every entry can be made new, else
// back; while undoing back when every entry can be made old, else forward.
Way ChooseWay(Phase phase, const JournalEntry* entries, const Observed* observed, size_t count);

// Steps on one entry. Moves run first, over every entry; the clean-up steps
// run only once every move of the way has gone through, so the old content
// set aside stays until the whole way is taken.
enum Step : unsigned {
  kMoveTargetAside = 1u << 0,  // target -> "<target>.upd-old", never over a file there
  kMoveStagedIn = 1u << 1,     // "<target>.upd-new" -> target
  kMoveAsideBack = 1u << 2,    // "<target>.upd-old" -> target, over what is there
  kDeleteTarget = 1u << 3,     // the update's own new file of an entry that had none
  kDeleteStaged = 1u << 4,     // clean-up
  kDeleteAside = 1u << 5,      // clean-up
};
inline constexpr unsigned kMoveSteps = kMoveTargetAside | kMoveStagedIn | kMoveAsideBack | kDeleteTarget;

unsigned StepsOf(Way way, Phase phase, const JournalEntry& entry, const Observed& observed);

}  // namespace staging
