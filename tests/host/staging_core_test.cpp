#include "apply/staging_core.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using staging::BackwardSteps;
using staging::EntryFiles;
using staging::ForwardSteps;
using staging::NextJournalEntry;
using staging::Phase;
using staging::ReadJournalPhase;

const std::string kHeader = staging::kJournalHeader;

Phase PhaseOf(const std::string& text) { return ReadJournalPhase(text.data(), text.size()); }

// Every entry as "<kind><path>", with "?" for an entry the reader refuses.
std::vector<std::string> EntriesOf(const std::string& text, size_t capacity = 260) {
  std::vector<std::string> entries;
  size_t cursor = 0;
  char kind = 0;
  std::vector<char> path(capacity);
  while (NextJournalEntry(text.data(), text.size(), &cursor, &kind, path.data(), capacity)) {
    entries.push_back(kind ? std::string(1, kind) + path.data() : "?");
  }
  return entries;
}

TEST(StagingJournal, PhaseFollowsTheLastWholeMark) {
  const std::string list = kHeader + "+TumbleTrain.exe\n-new.dat\n";
  const std::pair<std::string, Phase> cases[] = {
      {"", Phase::kNone},
      {"garbage\nend\ncommit\n", Phase::kNone},  // not our header
      {list, Phase::kNone},                      // the list never became whole
      {list + "en", Phase::kNone},               // cut inside "end"
      {list + "end\n", Phase::kStaging},
      {list + "end\ncomm", Phase::kStaging},    // cut inside "commit"
      {list + "end\ncommit", Phase::kStaging},  // "commit" without its line end
      {list + "end\ncommit\n", Phase::kCommitting},
      {list + "end\ncommit\nundo", Phase::kCommitting},
      {list + "end\ncommit\nundo\n", Phase::kUndoing},
      {list + "end\ncommit\nundo\ncommit\n", Phase::kUndoing},  // once undoing, never finished
      {kHeader + "+commit\nend\n", Phase::kStaging},            // an entry named like a mark is an entry
  };
  for (const auto& [text, phase] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(PhaseOf(text), phase);
  }
}

TEST(StagingJournal, EntriesAreReadInOrderUpToTheEnd) {
  const std::string text =
      kHeader + "+TumbleTrain.exe\n+dll\\RESOURCE.dll\n-data\\new.dat\n=UpdateInfo.txt\nend\ncommit\n";
  EXPECT_EQ(EntriesOf(text), (std::vector<std::string>{"+TumbleTrain.exe", "+dll\\RESOURCE.dll",
                                                       "-data\\new.dat", "=UpdateInfo.txt"}));
  // Shift-JIS names whose second byte is '\' are entries like any other.
  EXPECT_EQ(EntriesOf(kHeader + "+\x83\x5C\x95\x5C.dat\nend\n"),
            std::vector<std::string>{"+\x83\x5C\x95\x5C.dat"});
  EXPECT_TRUE(EntriesOf("not a journal\n+a\nend\n").empty());
}

// A journal could have been planted or damaged: no entry may lead outside the
// install folder or past a path buffer.
TEST(StagingJournal, EntriesThatCouldLeaveTheFolderAreRefused) {
  const char* refused[] = {
      "+",    "+\\Windows\\x.dll", "+/etc/x", "+C:\\x.dll", "+..\\x.dll",  "+a\\..\\..\\x", "+a/../x", "+.",
      "+...", "+a\\. .\\x",        "*a.dll",  "a.dll",      "+a\\x:stream"};
  for (const char* line : refused) {
    SCOPED_TRACE(line);
    EXPECT_EQ(EntriesOf(kHeader + line + "\nend\n"), std::vector<std::string>{"?"});
  }
  const char* kept[] = {"+a.dll", "+a..b\\c.dll", "-.hidden", "+a\\...b"};
  for (const char* line : kept) {
    SCOPED_TRACE(line);
    EXPECT_EQ(EntriesOf(kHeader + line + "\nend\n"), std::vector<std::string>{line});
  }
  // A path that does not fit the caller's buffer is refused, not cut.
  EXPECT_EQ(EntriesOf(kHeader + "+abcdefgh\nend\n", 8), std::vector<std::string>{"?"});
  EXPECT_EQ(EntriesOf(kHeader + "+abcdefg\nend\n", 8), std::vector<std::string>{"+abcdefg"});
  // The line being written when the run ended is not an entry.
  EXPECT_EQ(EntriesOf(kHeader + "+a.dll\n+b.d"), std::vector<std::string>{"+a.dll"});
}

TEST(StagingNames, SuffixFitsOrNothingIsComposed) {
  char out[12];
  EXPECT_TRUE(staging::AppendSuffix(out, sizeof out, "abc", staging::kStagedSuffix));
  EXPECT_STREQ(out, "abc.upd-new");
  EXPECT_FALSE(staging::AppendSuffix(out, sizeof out, "abcd", staging::kAsideSuffix));
  EXPECT_STREQ(out, "");
}

// Every state a file can be in while an update runs, from untouched to done,
// and where each direction takes it.
TEST(StagingSteps, EachDirectionLeadsToOneWholeState) {
  using staging::kCannot;
  using staging::kDeleteStaged;
  using staging::kDeleteTarget;
  using staging::kMoveAsideBack;
  using staging::kMoveStagedIn;
  using staging::kMoveTargetAside;
  struct Case {
    const char* state;
    EntryFiles files;
    bool existed;
    unsigned forward;
    unsigned backward;  // with replacements begun
  };
  const Case cases[] = {
      {"staged, old target in place",
       {true, true, false},
       true,
       kMoveTargetAside | kMoveStagedIn,
       kDeleteStaged},
      {"old target moved aside", {false, true, true}, true, kMoveStagedIn, kDeleteStaged | kMoveAsideBack},
      {"new target in place, old aside", {true, false, true}, true, 0, kMoveAsideBack},
      {"done, aside removed", {true, false, false}, true, 0, 0},
      {"new file staged", {false, true, false}, false, kMoveStagedIn, kDeleteStaged},
      {"new file in place", {true, false, false}, false, 0, kDeleteTarget},
      {"staged file lost", {false, false, true}, true, kCannot, kMoveAsideBack},
      {"nothing at all", {false, false, false}, false, kCannot, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.state);
    EXPECT_EQ(ForwardSteps(c.files), c.forward);
    EXPECT_EQ(BackwardSteps(c.files, c.existed, Phase::kCommitting), c.backward);
    EXPECT_EQ(BackwardSteps(c.files, c.existed, Phase::kUndoing), c.backward);
  }
  // While staging, no target has been touched: a target where none was before
  // is not the update's, and stays.
  EXPECT_EQ(BackwardSteps({true, false, false}, false, Phase::kStaging), 0u);
  EXPECT_EQ(BackwardSteps({true, true, false}, false, Phase::kStaging), kDeleteStaged);
  // What is left once the installation is whole; the list never had an aside.
  EXPECT_EQ(staging::LeftoverSteps({true, true, true}, true), kDeleteStaged | staging::kDeleteAside);
  EXPECT_EQ(staging::LeftoverSteps({true, true, true}, false), kDeleteStaged);
  EXPECT_EQ(staging::LeftoverSteps({true, false, false}, true), 0u);
}

}  // namespace
