// Recovery at start-up, on installations left as an interrupted update leaves
// them: whatever moment the run ended at, the installation comes back all old
// or all new, and every file the run kept beside the targets goes, while
// files that are not the updater's stay.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "apply/staging.h"
#include "base/update_state.h"
#include "base/win_util.h"
#include "test_support.h"

namespace {

constexpr char kJournal[] = "TumbleTrainUpdate.journal";
constexpr char kHeader[] = "title-updater journal 1\n";
// A.bin and sub\B.bin existed before the update; C.bin is new with it.
constexpr char kEntries[] = "+A.bin\n+sub\\B.bin\n-C.bin\n=Info.txt\nend\n";

std::vector<unsigned char> Text(const std::string& text) { return {text.begin(), text.end()}; }

// Old and new content of the three entries.
const Tree kOld = {{"A.bin", Text("old A")}, {"sub\\", {}}, {"sub\\B.bin", Text("old B")}};
const Tree kNew = {
    {"A.bin", Text("new A")}, {"sub\\", {}}, {"sub\\B.bin", Text("new B")}, {"C.bin", Text("new C")}};

// Files that are not the updater's, whatever their names look like.
const Tree kForeign = {
    {"Info.txt", Text("list")}, {"notours.upd-new", Text("keep")}, {"sub\\x.upd-old", Text("keep")}};

Tree Join(Tree a, const Tree& b) {
  a.insert(b.begin(), b.end());
  return a;
}

class RecoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetUpdateState();
    lstrcpynA(gState.installFolder, install_.Path().c_str(), MAX_PATH);
  }

  void Lay(const Tree& files) {
    RemoveTree(install_.Path());
    CreateDirectoryA(install_.Path().c_str(), nullptr);
    for (const auto& [path, bytes] : files) {
      if (path.back() == '\\') {
        CreateDirectoryA((install_ / path).c_str(), nullptr);
      } else {
        WriteBytes(install_ / path, bytes);
      }
    }
  }

  ScratchFolder install_{"recovery-" + std::to_string(GetCurrentProcessId())};
};

TEST_F(RecoveryTest, EveryMomentComesBackWhole) {
  const std::string list = std::string(kHeader) + kEntries;
  struct Case {
    const char* moment;
    std::string journal;  // empty: none
    Tree files;           // besides the journal and kForeign
    Tree expected;        // besides kForeign
  };
  const Case cases[] = {
      {"no journal: nothing happens", "", Join(kOld, {{"A.bin.upd-new", Text("new A")}}),
       Join(kOld, {{"A.bin.upd-new", Text("new A")}})},
      {"journal cut before its list was whole", std::string(kHeader) + "+A.bin\n+sub\\B", kOld, kOld},
      {"staging the second file", list,
       Join(kOld, {{"A.bin.upd-new", Text("new A")}, {"sub\\B.bin.upd-new", Text("new")}}), kOld},
      {"staged, the list's file too, commit not yet recorded", list,
       Join(kOld, {{"A.bin.upd-new", Text("new A")},
                   {"sub\\B.bin.upd-new", Text("new B")},
                   {"C.bin.upd-new", Text("new C")},
                   {"Info.txt.upd-new", Text("merged")}}),
       kOld},
      {"committing: first replaced, second moved aside",
       list + "commit\n",
       {{"A.bin", Text("new A")},
        {"A.bin.upd-old", Text("old A")},
        {"sub\\", {}},
        {"sub\\B.bin.upd-old", Text("old B")},
        {"sub\\B.bin.upd-new", Text("new B")},
        {"C.bin.upd-new", Text("new C")}},
       kNew},
      {"committed, cleaning up", list + "commit\n", Join(kNew, {{"sub\\B.bin.upd-old", Text("old B")}}),
       kNew},
      {"committing, but a staged file is gone: undone",
       list + "commit\n",
       {{"A.bin", Text("new A")},
        {"A.bin.upd-old", Text("old A")},
        {"sub\\", {}},
        {"sub\\B.bin.upd-old", Text("old B")},
        {"C.bin.upd-new", Text("new C")}},
       kOld},
      {"undoing after a refused replacement",
       list + "commit\nundo\n",
       {{"A.bin", Text("old A")},
        {"sub\\", {}},
        {"sub\\B.bin", Text("new B")},
        {"sub\\B.bin.upd-old", Text("old B")},
        {"C.bin", Text("new C")}},
       kOld},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.moment);
    Lay(Join(c.files, kForeign));
    if (!c.journal.empty()) WriteText(install_ / kJournal, c.journal);

    RecoverInterruptedUpdate();

    EXPECT_EQ(Snapshot(install_.Path()), Join(c.expected, kForeign));
  }
}

// A journal that names a path outside the install folder was not written by
// the updater: nothing it names is touched, and it stays for a look.
TEST_F(RecoveryTest, EntryLeadingOutsideTheFolderIsLeftAlone) {
  ScratchFolder outside("recovery-outside-" + std::to_string(GetCurrentProcessId()));
  WriteText(outside / "victim.bin", "victim");
  WriteText(outside / "victim.bin.upd-new", "planted");
  const std::string escape = "..\\" + outside.Path().substr(outside.Path().rfind('\\') + 1) + "\\victim.bin";
  const std::string journal = std::string(kHeader) + "+" + escape + "\n+A.bin\nend\ncommit\n";
  Lay(Join(kOld, {{"A.bin.upd-new", Text("new A")}}));
  WriteText(install_ / kJournal, journal);

  RecoverInterruptedUpdate();

  EXPECT_EQ(ReadBytes(outside / "victim.bin"), Text("victim"));
  EXPECT_EQ(ReadBytes(outside / "victim.bin.upd-new"), Text("planted"));
  EXPECT_EQ(ReadBytes(install_ / "A.bin"), Text("old A"));
  EXPECT_EQ(ReadBytes(install_ / "A.bin.upd-new"), Text("new A"));
  EXPECT_EQ(ReadBytes(install_ / kJournal), Text(journal));
}

// Files that cannot be moved right now keep the journal, and a later run,
// once they are free, finishes the work. B's target is held, so the update
// cannot be finished and turns to undoing; A's is held too, so A cannot get
// its old content back yet.
TEST_F(RecoveryTest, WhatCannotBeDoneNowIsDoneByALaterRun) {
  Lay({{"A.bin", Text("new A")},
       {"A.bin.upd-old", Text("old A")},
       {"sub\\", {}},
       {"sub\\B.bin", Text("old B")},
       {"sub\\B.bin.upd-new", Text("new B")},
       {"C.bin.upd-new", Text("new C")}});
  WriteText(install_ / kJournal, std::string(kHeader) + kEntries + "commit\n");
  {
    auto hold = [](const std::string& path) {
      return UniqueFile(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    };
    const UniqueFile heldA = hold(install_ / "A.bin");
    const UniqueFile heldB = hold(install_ / "sub\\B.bin");
    ASSERT_TRUE(heldA.Valid() && heldB.Valid());
    RecoverInterruptedUpdate();
  }
  EXPECT_EQ(ReadBytes(install_ / kJournal), Text(std::string(kHeader) + kEntries + "commit\nundo\n"));
  EXPECT_EQ(ReadBytes(install_ / "A.bin"), Text("new A"));

  RecoverInterruptedUpdate();

  EXPECT_EQ(Snapshot(install_.Path()), kOld);
}

}  // namespace
