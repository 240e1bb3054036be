#include "apply/staging_core.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using staging::JournalEntry;
using staging::Observed;
using staging::Phase;
using staging::Way;

const std::string kHeader = staging::kJournalHeader;

JournalEntry Entry(char kind, const char* path, uint32_t size = 0, FileChecksum sum = {0, 0},
                   FileIdentity old = {0, 0}) {
  JournalEntry entry{};
  entry.kind = kind;
  entry.size = size;
  entry.checksum = sum;
  entry.old = old;
  std::strcpy(entry.path, path);
  return entry;
}

std::string Line(const JournalEntry& entry) {
  char line[400];
  const size_t length = staging::FormatJournalEntry(entry, line, sizeof line);
  return std::string(line, length);
}

struct Read {
  Phase phase;
  std::vector<JournalEntry> entries;
};

Read ReadText(const std::string& text, size_t capacity = 8) {
  std::vector<JournalEntry> entries(capacity);
  size_t count = 0;
  const Phase phase = staging::ReadJournal(text.data(), text.size(), entries.data(), capacity, &count);
  entries.resize(count);
  return {phase, entries};
}

const JournalEntry kProgram =
    Entry('+', "TumbleTrain.exe", 325632, {0x01F9E64D, 0x18692FDD}, {0x43000000, 0xA72747});
const JournalEntry kAdded = Entry('-', "data\\new.dat", 7, {0x2BC, 0x616E});
const JournalEntry kList = Entry('=', "UpdateInfo.txt");
const std::string kList3 = kHeader + Line(kProgram) + Line(kAdded) + Line(kList);

TEST(StagingJournal, EntriesReadBackAsWritten) {
  EXPECT_EQ(Line(kProgram), "+0004f800 01f9e64d 18692fdd 43000000 0000000000a72747 TumbleTrain.exe\n");
  EXPECT_EQ(Line(kAdded), "-00000007 000002bc 0000616e data\\new.dat\n");
  EXPECT_EQ(Line(kList), "=UpdateInfo.txt\n");

  const Read read = ReadText(kList3 + "end\n");
  ASSERT_EQ(read.phase, Phase::kStaging);
  ASSERT_EQ(read.entries.size(), 3u);
  const JournalEntry* written[] = {&kProgram, &kAdded, &kList};
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(Line(read.entries[i]), Line(*written[i]));
  EXPECT_EQ(read.entries[0].old.index, 0xA72747u);
  EXPECT_EQ(read.entries[1].checksum.wordXor, 0x616Eu);
  // Shift-JIS names whose second byte is '\' are entries like any other.
  EXPECT_EQ(ReadText(kHeader + "=\x83\x5C\x95\x5C.dat\nend\n").entries.size(), 1u);
}

TEST(StagingJournal, PhaseFollowsTheLastWholeMark) {
  const struct {
    std::string text;
    Phase phase;
  } cases[] = {
      {"", Phase::kCut},  // created, then ended before its first write
      {kHeader.substr(0, 9), Phase::kCut},
      {kList3, Phase::kCut},         // the list never became whole
      {kList3 + "en", Phase::kCut},  // cut inside "end"
      {kList3 + "end\n", Phase::kStaging},
      {kList3 + "end\ncommit", Phase::kStaging},  // "commit" without its line end
      {kList3 + "end\ncommit\n", Phase::kCommitting},
      {kList3 + "end\ncommit\nund", Phase::kCommitting},
      {kList3 + "end\ncommit\nundo\n", Phase::kUndoing},
      {kList3 + "end\ncommit\nundo\ncommit\nundo\n", Phase::kUndoing},  // once undoing, never finished
      {kList3 + "end\nundo\n", Phase::kForeign},                        // no commit before it
      {kList3 + "end\ncommit\nremove all\n", Phase::kForeign},
      {"title-updater journal 1\n+TumbleTrain.exe\nend\ncommit\n", Phase::kForeign},  // another format
      {"garbage\nend\ncommit\n", Phase::kForeign},
      {kHeader + "\nend\n", Phase::kForeign},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ReadText(c.text).phase, c.phase);
  }
}

// A journal could have been planted or damaged: no entry may lead outside the
// install folder, past a buffer, or name one file twice.
TEST(StagingJournal, EntriesThatCannotBeOursMakeItForeign) {
  const char* refused[] = {"=",
                           "=\\Windows\\x.dll",
                           "=/etc/x",
                           "=C:\\x.dll",
                           "=..\\x.dll",
                           "=a\\..\\..\\x",
                           "=a/../x",
                           "=.",
                           "=a\\. .\\x",
                           "=a\\x:stream",
                           "*a.dll",
                           "+TumbleTrain.exe",                        // no numbers
                           "-0000000G 00000000 00000000 a.dll",       // not hexadecimal
                           "-00000007 000002BC 0000616e a.dll",       // capitals
                           "-00000007 000002bc 0000616e",             // no path
                           "+00000007 000002bc 0000616e 0000 a.dll",  // identity too short
                           "-00000007  000002bc 0000616e a.dll"};
  for (const char* line : refused) {
    SCOPED_TRACE(line);
    EXPECT_EQ(ReadText(kHeader + line + "\nend\n").phase, Phase::kForeign);
  }
  EXPECT_EQ(ReadText(kHeader + "=" + std::string(259, 'a') + "\nend\n").phase, Phase::kStaging);
  EXPECT_EQ(ReadText(kHeader + "=" + std::string(260, 'a') + "\nend\n").phase, Phase::kForeign);
  EXPECT_EQ(ReadText(kHeader + "=a.dll\n=A.DLL\nend\n").phase, Phase::kForeign);
  EXPECT_EQ(ReadText(kList3 + "end\n", 2).phase, Phase::kForeign);  // more entries than files
  // The line being written when the run ended is not an entry.
  EXPECT_EQ(ReadText(kHeader + "=a.dll\n=b.d").entries.size(), 1u);
}

TEST(StagingJournal, OnlyThisUpdatersFilesAreOurs) {
  const char* const list[] = {"TumbleTrain.exe", "dll\\RESOURCE.dll", "\x83\x41.dat", nullptr};
  const auto ours = [&](const char* path, char kind = '+', const char* listName = "Info.txt") {
    const JournalEntry entry = Entry(kind, path);
    return staging::EntriesAreOurs(&entry, 1, list, listName);
  };
  EXPECT_TRUE(ours("TumbleTrain.exe"));
  EXPECT_TRUE(ours("tumbletrain.EXE", '-'));
  EXPECT_TRUE(ours("DLL\\resource.dll"));
  EXPECT_TRUE(ours("Info.txt", '='));
  EXPECT_FALSE(ours("Info.txt"));              // the list is no payload file
  EXPECT_FALSE(ours("TumbleTrain.exe", '='));  // nor a payload file the list
  EXPECT_FALSE(ours("Info.txt", '=', ""));     // no list in this update
  EXPECT_FALSE(ours("save.dat"));              // a player's file
  EXPECT_FALSE(ours("dll\\RESOURCE.dll.bak"));
  EXPECT_TRUE(ours("\x83\x41.dat"));
  // The second byte of a double-byte character is not a letter to fold: 0x83
  // 0x61 is another character than 0x83 0x41.
  EXPECT_FALSE(ours("\x83\x61.dat"));
}

TEST(StagingNames, SuffixFitsOrNothingIsComposed) {
  char out[12];
  EXPECT_TRUE(staging::AppendSuffix(out, sizeof out, "abc", staging::kStagedSuffix));
  EXPECT_STREQ(out, "abc.upd-new");
  EXPECT_FALSE(staging::AppendSuffix(out, sizeof out, "abcd", staging::kAsideSuffix));
  EXPECT_STREQ(out, "");
}

// What is on disk for an entry, spelled as in the table below: T target, N
// staged, O aside; "new" and "old" say what a file is found to be.
struct Files {
  const char* target;  // "", "new", "old" or "other" (neither)
  const char* staged;  // "", "whole" or "cut"
  const char* aside;   // "", "old" (its identity) or "other"
};

Observed Observe(const Files& f) {
  const std::string t = f.target, n = f.staged, o = f.aside;
  return {!t.empty(), t == "new", t == "old", !n.empty(), n == "whole", !o.empty(), o == "old"};
}

// One entry that existed before the update, in every state an update, a
// scanner or a player can leave it in, and where each phase takes it.
TEST(StagingWay, AnEntryThatExistedGoesWhereItsFilesAllow) {
  using namespace staging;
  const JournalEntry existed = Entry('+', "a.dat");
  const unsigned kReplace = kMoveTargetAside | kMoveStagedIn | kDeleteAside;
  const struct {
    const char* state;
    Files files;
    Way committing;
    unsigned forward;
    Way undoing;
    unsigned backward;
  } cases[] = {
      {"staged, old target in place",
       {"old", "whole", ""},
       Way::kForward,
       kReplace,
       Way::kBackward,
       kDeleteStaged},
      {"old target moved aside",
       {"", "whole", "old"},
       Way::kForward,
       kMoveStagedIn | kDeleteAside,
       Way::kBackward,
       kMoveAsideBack | kDeleteStaged},
      {"replaced", {"new", "", "old"}, Way::kForward, kDeleteAside, Way::kBackward, kMoveAsideBack},
      {"done, aside removed", {"new", "", ""}, Way::kForward, 0, Way::kForward, 0},
      // A file system that does not keep identities over a rename: the aside
      // is ours because the target is gone or new.
      {"replaced, identity lost",
       {"new", "", "other"},
       Way::kForward,
       kDeleteAside,
       Way::kBackward,
       kMoveAsideBack},
      // The staged file vanished (a scanner's quarantine) before its move.
      {"staged file gone, old in place", {"old", "", ""}, Way::kBackward, 0, Way::kBackward, 0},
      {"staged file gone, old aside",
       {"", "", "old"},
       Way::kBackward,
       kMoveAsideBack,
       Way::kBackward,
       kMoveAsideBack},
      {"staged file cut", {"old", "cut", ""}, Way::kBackward, kDeleteStaged, Way::kBackward, kDeleteStaged},
      // A player's file at the aside name: never moved over the target, never deleted.
      {"foreign aside, old target",
       {"old", "whole", "other"},
       Way::kBackward,
       kDeleteStaged,
       Way::kBackward,
       kDeleteStaged},
      {"new file with the old one lost", {"new", "", ""}, Way::kForward, 0, Way::kForward, 0},
      {"nothing left", {"", "", ""}, Way::kStuck, 0, Way::kStuck, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.state);
    const Observed o = Observe(c.files);
    const Way committing = ChooseWay(Phase::kCommitting, &existed, &o, 1);
    const Way undoing = ChooseWay(Phase::kUndoing, &existed, &o, 1);
    EXPECT_EQ(committing, c.committing);
    EXPECT_EQ(undoing, c.undoing);
    if (committing == Way::kForward) {
      EXPECT_EQ(StepsOf(Way::kForward, Phase::kCommitting, existed, o), c.forward);
    }
    if (undoing == Way::kBackward) {
      EXPECT_EQ(StepsOf(Way::kBackward, Phase::kUndoing, existed, o), c.backward);
    }
    // Before the commit no target was touched: only the staged file goes.
    EXPECT_EQ(ChooseWay(Phase::kStaging, &existed, &o, 1), Way::kBackward);
    EXPECT_EQ(StepsOf(Way::kBackward, Phase::kStaging, existed, o), o.staged ? kDeleteStaged : 0u);
  }
}

// A whole update: the way is one for all entries, so no run ends with some
// files new and others old.
TEST(StagingWay, OneEntryThatCannotBeFinishedTurnsTheWholeUpdateBack) {
  using namespace staging;
  const JournalEntry entries[] = {Entry('+', "a.exe"), Entry('+', "b.dll"), Entry('-', "c.dat"),
                                  Entry('=', "i.txt")};
  // a replaced, b's staged file removed after its flush, c staged.
  const Observed mixed[] = {Observe({"new", "", "old"}), Observe({"old", "", ""}), Observe({"", "whole", ""}),
                            Observe({"", "", ""})};
  EXPECT_EQ(ChooseWay(Phase::kCommitting, entries, mixed, 4), Way::kBackward);
  EXPECT_EQ(StepsOf(Way::kBackward, Phase::kCommitting, entries[0], mixed[0]), kMoveAsideBack);
  EXPECT_EQ(StepsOf(Way::kBackward, Phase::kCommitting, entries[1], mixed[1]), 0u);
  EXPECT_EQ(StepsOf(Way::kBackward, Phase::kCommitting, entries[2], mixed[2]), kDeleteStaged);

  // An undo interrupted after a's old content came back, its "undo" line never
  // written: a is old again with nothing staged, so forward is no way.
  const Observed undone[] = {Observe({"old", "", ""}), Observe({"", "whole", "old"}),
                             Observe({"new", "", ""}), Observe({"", "", ""})};
  EXPECT_EQ(ChooseWay(Phase::kCommitting, entries, undone, 4), Way::kBackward);
  EXPECT_EQ(StepsOf(Way::kBackward, Phase::kCommitting, entries[2], undone[2]), kDeleteTarget);

  // Undoing, but b's old content is lost: the only whole state left is all new.
  const Observed lost[] = {Observe({"", "whole", "old"}), Observe({"new", "", ""}), Observe({"new", "", ""}),
                           Observe({"", "", ""})};
  EXPECT_EQ(ChooseWay(Phase::kUndoing, entries, lost, 4), Way::kForward);
  // Neither way: the journal and every file stay for a later run or support.
  const Observed neither[] = {Observe({"new", "", ""}), Observe({"", "", ""}), Observe({"", "whole", ""}),
                              Observe({"", "", ""})};
  EXPECT_EQ(ChooseWay(Phase::kCommitting, entries, neither, 4), Way::kStuck);
  EXPECT_EQ(ChooseWay(Phase::kForeign, entries, mixed, 4), Way::kStuck);
}

// A file the update adds: only the update's own new file is ever removed.
TEST(StagingWay, AnEntryTheUpdateAddsIsRemovedOnlyWhenItIsTheNewFile) {
  using namespace staging;
  const JournalEntry added = Entry('-', "c.dat");
  const Observed placed = Observe({"new", "", ""});
  EXPECT_EQ(StepsOf(Way::kBackward, Phase::kUndoing, added, placed), kDeleteTarget);
  // Someone else's file at its name: going forward would have to replace it.
  const Observed other = Observe({"other", "whole", "other"});
  EXPECT_EQ(ChooseWay(Phase::kCommitting, &added, &other, 1), Way::kBackward);
  EXPECT_EQ(StepsOf(Way::kBackward, Phase::kCommitting, added, other), kDeleteStaged);
  // While staging it is never touched, even if it looks like the new file.
  EXPECT_EQ(StepsOf(Way::kBackward, Phase::kStaging, added, placed), 0u);
}

TEST(StagingIdentity, UnknownMatchesNothing) {
  EXPECT_TRUE(SameFile({1, 2}, {1, 2}));
  EXPECT_FALSE(SameFile({1, 2}, {1, 3}));
  EXPECT_FALSE(SameFile({0, 0}, {0, 0}));
}

}  // namespace
