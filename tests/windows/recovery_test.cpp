// Recovery at start-up, on installations left as an interrupted update, a
// virus scanner or a player leave them: whatever moment the run ended at, the
// installation comes back all old or all new, every file the run kept beside
// the targets goes, and files that are not the updater's stay. A journal that
// is not this updater's changes nothing.
#include <windows.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "apply/staging.h"
#include "base/update_state.h"
#include "base/win_util.h"
#include "test_support.h"
#include "title/title_profile.h"

namespace {

constexpr char kJournal[] = "TumbleTrainUpdate.journal";
constexpr char kHeader[] = "title-updater journal 2\n";

std::vector<unsigned char> Text(const std::string& text) { return {text.begin(), text.end()}; }

// A.bin and sub\B.bin existed before the update; C.bin is new with it; the
// update carries the list Info.txt.
const char* const kPayload[] = {"A.bin", "sub\\B.bin", "C.bin", nullptr};
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
 public:
  void SetUp() override {
    ResetUpdateState();
    lstrcpynA(gState.installFolder, install_.Path().c_str(), MAX_PATH);
    title_ = *gTitleProfile;
    title_.payloadList = kPayload;
    title_.updateInfoName = "Info.txt";
    gTitleProfile = &title_;
  }
  void TearDown() override { gTitleProfile = &kTitleProfile; }

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

  // The list an update of kOld to kNew writes, with the old files' identities
  // as they are laid now.
  std::string Entries() {
    return JournalLine("A.bin", Text("new A"), install_ / "A.bin") +
           JournalLine("sub\\B.bin", Text("new B"), install_ / "sub\\B.bin") +
           JournalLine("C.bin", Text("new C"), "") + "=Info.txt\n";
  }

  // What the writer does to the installation, step by step.
  void Stage(const char* entry, const std::string& content) {
    WriteText(install_ / (std::string(entry) + ".upd-new"), content);
  }
  void Aside(const char* entry) {
    ASSERT_TRUE(
        MoveFileA((install_ / entry).c_str(), (install_ / (std::string(entry) + ".upd-old")).c_str()));
  }
  void In(const char* entry) {
    ASSERT_TRUE(
        MoveFileA((install_ / (std::string(entry) + ".upd-new")).c_str(), (install_ / entry).c_str()));
  }
  void Remove(const std::string& file) { ASSERT_TRUE(DeleteFileA((install_ / file).c_str())); }
  void StageAll() {
    Stage("A.bin", "new A");
    Stage("sub\\B.bin", "new B");
    Stage("C.bin", "new C");
  }
  void Replace(const char* entry) {
    Aside(entry);
    In(entry);
  }

  ScratchFolder install_{"recovery-" + std::to_string(GetCurrentProcessId())};
  TitleProfile title_{};
};

TEST_F(RecoveryTest, EveryMomentComesBackWhole) {
  struct Case {
    const char* moment;
    std::function<void(RecoveryTest&)> act;  // from kOld with kForeign
    std::string marks;                       // the journal's lines after its list
    bool cut = false;                        // the journal's list never ended
    Tree expected;                           // besides kForeign
  };
  const Case cases[] = {
      {"journal cut before its list was whole", [](RecoveryTest&) {}, "", true, kOld},
      {"staging the second file",
       [](RecoveryTest& t) {
         t.Stage("A.bin", "new A");
         t.Stage("sub\\B.bin", "new");
       },
       "end\n", false, kOld},
      {"staged, the list's copy too, commit not yet recorded",
       [](RecoveryTest& t) {
         t.StageAll();
         t.Stage("Info.txt", "merged");
       },
       "end\n", false, kOld},
      {"committing: first replaced, second moved aside",
       [](RecoveryTest& t) {
         t.StageAll();
         t.Replace("A.bin");
         t.Aside("sub\\B.bin");
       },
       "end\ncommit\n", false, kNew},
      {"committed, cleaning up",
       [](RecoveryTest& t) {
         t.StageAll();
         t.Replace("A.bin");
         t.Replace("sub\\B.bin");
         t.In("C.bin");
         t.Remove("A.bin.upd-old");
       },
       "end\ncommit\n", false, kNew},
      {"merging the list after the replacements",
       [](RecoveryTest& t) {
         t.StageAll();
         t.Replace("A.bin");
         t.Replace("sub\\B.bin");
         t.In("C.bin");
         t.Stage("Info.txt", "merged");
       },
       "end\ncommit\n", false, kNew},
      // A virus scanner took a staged file away after its flush: B, although
      // there with no staged or set-aside file, is old, not new.
      {"committing, a staged file gone since its flush",
       [](RecoveryTest& t) {
         t.StageAll();
         t.Replace("A.bin");
         t.Remove("sub\\B.bin.upd-new");
       },
       "end\ncommit\n", false, kOld},
      {"undoing after a refused replacement",
       [](RecoveryTest& t) {
         t.StageAll();
         t.Replace("A.bin");
         t.Replace("sub\\B.bin");
         t.In("C.bin");
         ASSERT_TRUE(MoveFileExA((t.install_ / "A.bin.upd-old").c_str(), (t.install_ / "A.bin").c_str(),
                                 MOVEFILE_REPLACE_EXISTING));
       },
       "end\ncommit\nundo\n", false, kOld},
      // The undo's own line could not be written, and the run ended while it
      // gave A its old content back: A is old with nothing beside it.
      {"undoing without its line in the journal",
       [](RecoveryTest& t) {
         t.StageAll();
         t.Replace("A.bin");
         t.Replace("sub\\B.bin");
         ASSERT_TRUE(MoveFileExA((t.install_ / "A.bin.upd-old").c_str(), (t.install_ / "A.bin").c_str(),
                                 MOVEFILE_REPLACE_EXISTING));
       },
       "end\ncommit\n", false, kOld},
      // "commit" reached the disk although its flush failed, and the staged
      // files were removed before the journal.
      {"commit recorded, staged files partly removed",
       [](RecoveryTest& t) {
         t.StageAll();
         t.Remove("A.bin.upd-new");
         t.Remove("sub\\B.bin.upd-new");
       },
       "end\ncommit\n", false, kOld},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.moment);
    Lay(Join(kOld, kForeign));
    std::string journal = kHeader + Entries() + c.marks;
    c.act(*this);
    if (c.cut) journal = kHeader + Entries().substr(0, 40);
    WriteText(install_ / kJournal, journal);

    EXPECT_EQ(RecoverInterruptedUpdate(), Recovery::kSettled);

    EXPECT_EQ(Snapshot(install_.Path()), Join(c.expected, kForeign));
  }
}

// A player's file at a name the updater uses beside a target was not made by
// it: never moved over the target, never removed.
TEST_F(RecoveryTest, FilesAtOurNamesThatAreNotOursStay) {
  const Tree theirs = {{"A.bin.upd-old", Text("player's backup")}};
  // Staging: nothing was ever set aside.
  Lay(Join(Join(kOld, kForeign), theirs));
  WriteText(install_ / kJournal, kHeader + Entries() + "end\n");
  StageAll();
  EXPECT_EQ(RecoverInterruptedUpdate(), Recovery::kSettled);
  EXPECT_EQ(Snapshot(install_.Path()), Join(Join(kOld, kForeign), theirs));

  // Committing, A still in place: A cannot go aside, so the update turns back.
  Lay(Join(Join(kOld, kForeign), theirs));
  WriteText(install_ / kJournal, kHeader + Entries() + "end\ncommit\n");
  StageAll();
  Replace("sub\\B.bin");
  EXPECT_EQ(RecoverInterruptedUpdate(), Recovery::kSettled);
  EXPECT_EQ(Snapshot(install_.Path()), Join(Join(kOld, kForeign), theirs));
}

// Nothing recovery could reach whole from: the new file of one entry in place
// with its old content gone, the staged file of another gone too.
TEST_F(RecoveryTest, NeitherWayLeavesEverythingAsItIs) {
  Lay(Join(kOld, kForeign));
  const std::string journal = kHeader + Entries() + "end\ncommit\n";
  StageAll();
  Replace("A.bin");
  Remove("A.bin.upd-old");
  Remove("sub\\B.bin.upd-new");
  WriteText(install_ / kJournal, journal);
  const Tree before = Snapshot(install_.Path());

  EXPECT_EQ(RecoverInterruptedUpdate(), Recovery::kUnsettled);
  EXPECT_EQ(Snapshot(install_.Path()), before);
}

// A journal this updater did not write changes nothing, and stays to be reported.
TEST_F(RecoveryTest, JournalThatIsNotOursChangesNothing) {
  ScratchFolder outside("recovery-outside-" + std::to_string(GetCurrentProcessId()));
  const std::string escape = "..\\" + outside.Path().substr(outside.Path().rfind('\\') + 1) + "\\victim.bin";
  const struct {
    const char* what;
    std::function<std::string(RecoveryTest&)> journal;
  } cases[] = {
      {"garbled", [](RecoveryTest&) { return std::string("\x01\x02garbage\nend\ncommit\nundo\n"); }},
      {"an earlier format",
       [](RecoveryTest&) { return std::string("title-updater journal 1\n-A.bin\nend\ncommit\n"); }},
      {"a player's file that is not in the payload",
       [](RecoveryTest&) {
         return kHeader + JournalLine("save.dat", Text("x"), "") + "end\ncommit\nundo\n";
       }},
      {"a path outside the folder",
       [&](RecoveryTest&) { return kHeader + JournalLine(escape, Text("x"), "") + "end\ncommit\nundo\n"; }},
      {"one file twice",
       [](RecoveryTest&) {
         return kHeader + JournalLine("C.bin", Text("new C"), "") + JournalLine("c.BIN", Text("new C"), "") +
                "end\ncommit\nundo\n";
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteText(outside / "victim.bin", "victim");
    Lay(Join(
        Join(kNew, kForeign),
        {{"save.dat", Text("my save")}, {"save.dat.upd-new", Text("x")}, {"C.bin.upd-new", Text("new C")}}));
    WriteText(install_ / kJournal, c.journal(*this));
    const Tree before = Snapshot(install_.Path());

    EXPECT_EQ(RecoverInterruptedUpdate(), Recovery::kUnsettled);

    EXPECT_EQ(Snapshot(install_.Path()), before);
    EXPECT_EQ(ReadBytes(outside / "victim.bin"), Text("victim"));
  }
}

// Files that cannot be moved right now keep the journal, and a later run,
// once they are free, finishes the work. B's staged file is held, so the
// update cannot be finished and turns to undoing; A's target is held too, so
// A cannot get its old content back yet.
TEST_F(RecoveryTest, WhatCannotBeDoneNowIsDoneByALaterRun) {
  Lay(kOld);
  const std::string journal = kHeader + Entries() + "end\ncommit\n";
  StageAll();
  Replace("A.bin");
  WriteText(install_ / kJournal, journal);
  {
    auto hold = [](const std::string& path) {
      return UniqueFile(
          CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    };
    const UniqueFile heldA = hold(install_ / "A.bin");
    const UniqueFile heldB = hold(install_ / "sub\\B.bin.upd-new");
    ASSERT_TRUE(heldA.Valid() && heldB.Valid());
    EXPECT_EQ(RecoverInterruptedUpdate(), Recovery::kUnsettled);
  }
  EXPECT_EQ(ReadBytes(install_ / kJournal), Text(journal + "undo\n"));
  EXPECT_EQ(ReadBytes(install_ / "A.bin"), Text("new A"));

  EXPECT_EQ(RecoverInterruptedUpdate(), Recovery::kSettled);

  EXPECT_EQ(Snapshot(install_.Path()), kOld);
}

TEST_F(RecoveryTest, NoJournalNothingToDo) {
  Lay(Join(kOld, {{"A.bin.upd-new", Text("new A")}}));
  EXPECT_EQ(RecoverInterruptedUpdate(), Recovery::kNothing);
  EXPECT_EQ(Snapshot(install_.Path()), Join(kOld, {{"A.bin.upd-new", Text("new A")}}));
}

}  // namespace
