// What a virus scanner, a running title, a second copy or someone who can
// write the install folder can do to an update, end to end: whatever happens,
// the updater never ends "finished" over a mixed installation, never touches
// a file outside its own through a link or a planted journal, and tells the
// player what to do when it cannot go on.
#include <windows.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "base/win_util.h"
#include "scenario.h"
#include "verify/install_check.h"

namespace {

const std::string kHeldUpdater = BuildPath(UPDATER_HELD_EXE);

std::vector<unsigned char> Text(const std::string& text) { return {text.begin(), text.end()}; }

ExpectedBox PerFile(const char* text, const std::string& entry) {
  return {FromCp932(text), {IDOK}, true, true, FromCp932(entry.c_str()) + L" - " + Caption() + L" -"};
}

UniqueFile Hold(const std::string& path, DWORD share) {
  UniqueFile file(CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_TRUE(file.Valid()) << path;
  return file;
}

class Tampering : public EndToEnd {
 protected:
  std::string Journal() { return install_ / "TumbleTrainUpdate.journal"; }

  // The next run of the shipped updater completes the update.
  void ExpectTheNextRunUpdates() {
    const UpdaterRun run = RunUpdater(kUpdater, {IDOK, IDOK});
    EXPECT_EQ(run.exitCode, 0u);
    ExpectBoxes(run, {Confirm(), Finished()});
    EXPECT_TRUE(InstalledFilesAre("new"));
    EXPECT_EQ(CheckInstallation(install_.Path().c_str()), 1);
    EXPECT_FALSE(FileExists(Journal()));
  }
};

// A scanner takes a staged file away (its quarantine) after its flush: the
// update replaces nothing, and never records itself.
TEST_F(Tampering, StagedFileTakenAwayBeforeTheCommitReplacesNothing) {
  for (const std::string& entry : kFiles) {
    SCOPED_TRACE(entry);
    PrepareInstall(Install::Old);
    WriteSettingsFor(nullptr);
    const Tree before = Snapshot(install_.Path());
    UpdaterRun run;
    {
      HoldPoints points("flushed");
      UpdaterProcess process(kHeldUpdater, {IDOK, IDOK, IDOK});
      ASSERT_TRUE(points.WaitReached());
      ASSERT_TRUE(DeleteFileA((install_ / (entry + ".upd-new")).c_str()));
      points.Resume();
      run = process.Finish();
    }
    ExpectBoxes(run, {Confirm(), PerFile(text::kWriteFailed, entry), Cancelled()});
    ExpectTree(Snapshot(install_.Path()), before);
    EXPECT_EQ(SettingsValue("UPDATE", "NonActivation"), "(none)");
    ExpectTheNextRunUpdates();
  }
}

// A staged file's flush fails (the disk's fault): the box names that file,
// whether the failure is seen while the next file is written or after the
// last, and every staged file is removed, the one in flight too.
TEST_F(Tampering, StagedFileWhoseFlushFailsReplacesNothing) {
  for (const std::string& entry : kFiles) {
    SCOPED_TRACE(entry);
    PrepareInstall(Install::Old);
    WriteSettingsFor(nullptr);
    const Tree before = Snapshot(install_.Path());
    const ScopedEnvironment fail("UPDATER_FAIL", "flush:" + install_ / (entry + ".upd-new"));
    const UpdaterRun run = RunUpdater(kHeldUpdater, {IDOK, IDOK, IDOK});
    ExpectBoxes(run, {Confirm(), PerFile(text::kWriteFailed, entry), Cancelled()});
    ExpectTree(Snapshot(install_.Path()), before);
    EXPECT_EQ(SettingsValue("UPDATE", "NonActivation"), "(none)");
  }
}

// "commit" reaches the disk but its flush fails: the update ends all old; and
// ended while its staged files are being removed, the next run still finds
// every target old and finishes nothing.
TEST_F(Tampering, CommitWhoseFlushFailsEndsAllOldEvenWhenCutShort) {
  const ScopedEnvironment fail("UPDATER_FAIL", "flush:commit");
  PrepareInstall(Install::Old);
  WriteSettingsFor(nullptr);
  const Tree before = Snapshot(install_.Path());
  UpdaterRun run = RunUpdater(kHeldUpdater, {IDOK, IDOK, IDOK});
  ExpectBoxes(run, {Confirm(), OwnedBy(text::kWriteFailed), Cancelled()});
  ExpectTree(Snapshot(install_.Path()), before);

  {
    HoldPoints points("back");
    UpdaterProcess process(kHeldUpdater, {IDOK});
    ASSERT_TRUE(points.WaitReached()) << "the first staged file was never removed";
    process.Kill();
  }
  ASSERT_TRUE(FileExists(Journal()));
  ExpectTheNextRunUpdates();
}

// A replacement is refused, the "undo" line cannot be written, and the run is
// ended while it gives the targets their old content back: the next run sees
// by what the files hold that they are old, not new.
TEST_F(Tampering, UndoWithoutItsLineEndedHalfWayEndsWhole) {
  const ScopedEnvironment fail("UPDATER_FAIL", "write:undo");
  PrepareInstall(Install::Old);
  WriteSettingsFor(nullptr);
  {
    UniqueFile library;
    HoldPoints points("commit,back");
    UpdaterProcess process(kHeldUpdater, {IDOK});
    ASSERT_TRUE(points.WaitReached());
    // No other program can hold the journal while the update runs.
    EXPECT_FALSE(
        UniqueFile(CreateFileA(Journal().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr))
            .Valid());
    library = Hold(install_ / kFiles[1], 0);
    points.Resume();
    ASSERT_TRUE(points.WaitReached()) << "the undo never began";
    process.Kill();
  }
  ExpectTheNextRunUpdates();
}

// The title is started while the update replaces its files, so the undo that
// follows a refused replacement cannot give the program back: the player is
// told to close the title and run the updater again, and that then works.
TEST_F(Tampering, UndoRefusedPartWayIsSettledOnceTheTitleIsClosed) {
  PrepareInstall(Install::Old);
  WriteSettingsFor(nullptr);
  const std::string program = install_ / kFiles[0];
  UniqueFile library, running;
  UpdaterRun run;
  {
    HoldPoints points("commit,move#2");
    UpdaterProcess process(kHeldUpdater, {IDOK, IDOK, IDOK, IDOK});
    ASSERT_TRUE(points.WaitReached());
    library = Hold(install_ / kFiles[1], 0);
    points.Resume();
    ASSERT_TRUE(points.WaitReached());
    running = Hold(program, FILE_SHARE_READ);
    points.Resume();
    run = process.Finish();
  }
  ExpectBoxes(run, {Confirm(), PerFile(text::kWriteCannotCreate, kFiles[1]), Unsettled(Journal(), true),
                    Cancelled()});
  library.Reset();

  // Still running: the same advice, and nothing is called damaged. The log
  // says what recovery found, which way it could not take, and why.
  run = RunUpdater(kUpdater, {IDOK});
  EXPECT_EQ(run.exitCode, 0u);
  ExpectBoxes(run, {Unsettled(Journal(), false)});
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  const std::vector<unsigned char> bytes = ReadBytes(std::string(temp) + "TumbleTrainUpdate.log");
  const std::string log(bytes.begin(), bytes.end());
  EXPECT_NE(log.find("undoing: files were getting their old content back"), std::string::npos) << log;
  EXPECT_NE(log.find("settle: move: " + program + ".upd-old: error "), std::string::npos) << log;

  running.Reset();
  ExpectTheNextRunUpdates();
}

// A journal the updater did not write, planted by anyone who can write the
// install folder, changes nothing inside or outside it and is reported.
TEST_F(Tampering, PlantedJournalChangesNothingAndIsReported) {
  ScratchFolder outside("e2e-outside");
  // The links go before what they lead to. A link to a file looks like a file
  // under Wine, and deleting it by name would delete its target.
  const auto unlink = [this] {
    if (FileExists(Journal())) RemoveUnixLink(Journal());
    RemoveTree(install_.Path());
  };
  const AtScopeEnd unlinkAtEnd(unlink);
  const std::string header = "title-updater journal 2\n";
  const std::vector<unsigned char> planted = ReadBytes(kSample + "\\new\\dll\\RESOURCE.dll");
  const struct {
    const char* what;
    std::function<std::string()>
        plant;  // returns the journal's text, or "" when it planted the journal itself
  } rows[] = {
      {"garbled", [] { return std::string("title-updater journal 2\nremove everything\n"); }},
      {"a player's file that is not in the payload",
       [&] {
         WriteText(install_ / "save.dat", "my save");
         WriteText(install_ / "save.dat.upd-new", "planted");
         return header + JournalLine("save.dat", Text("planted"), install_ / "save.dat") + "end\ncommit\n";
       }},
      // Wine makes no junctions: a Unix symbolic link stands in for one.
      {"a folder on the way that is a link",
       [&] {
         CreateDirectoryA((outside / "dll").c_str(), nullptr);
         WriteText(outside / "dll\\RESOURCE.dll", "victim");
         WriteBytes(outside / "dll\\RESOURCE.dll.upd-new", planted);
         RemoveTree(install_ / "dll");
         EXPECT_TRUE(MakeUnixLink(outside / "dll", install_ / "dll"));
         return header + JournalLine("dll\\RESOURCE.dll", planted, outside / "dll\\RESOURCE.dll") +
                "end\ncommit\n";
       }},
      {"the journal itself a link",
       [&] {
         WriteText(outside / "victim.txt",
                   header + JournalLine("TumbleTrain.exe", Text("x"), "") + "end\ncommit\n");
         EXPECT_TRUE(MakeUnixLink(outside / "victim.txt", Journal()));
         return std::string();
       }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    unlink();
    PrepareInstall(Install::Old);
    RemoveTree(outside / "dll");
    DeleteFileA((outside / "victim.txt").c_str());
    WriteSettingsFor(nullptr);
    const std::string text = row.plant();
    if (!text.empty()) WriteText(Journal(), text);
    const Tree inside = Snapshot(install_.Path());
    const Tree beyond = Snapshot(outside.Path());

    const UpdaterRun run = RunUpdater(kUpdater, {IDOK});
    EXPECT_EQ(run.exitCode, 0u);
    ExpectBoxes(run, {Unsettled(Journal(), false)});
    ExpectTree(Snapshot(install_.Path()), inside);
    ExpectTree(Snapshot(outside.Path()), beyond);
  }
}

// A payload file that is a link to a file elsewhere: no step reads, moves or
// removes what it leads to, even with a journal that names it as the
// update's own new file to remove; the installation is refused as damaged.
TEST_F(Tampering, PayloadFileThatIsALinkIsNeverFollowed) {
  ScratchFolder outside("e2e-outside-file");
  const std::string program = install_ / kFiles[0];
  const AtScopeEnd unlink([&program] { RemoveUnixLink(program); });
  PrepareInstall(Install::Old);
  WriteSettingsFor(nullptr);
  const std::vector<unsigned char> newProgram = ReadBytes(kSample + "\\new\\TumbleTrain.exe");
  WriteBytes(outside / "victim.exe", newProgram);
  ASSERT_TRUE(DeleteFileA(program.c_str()));
  ASSERT_TRUE(MakeUnixLink(outside / "victim.exe", program));
  WriteText(Journal(),
            "title-updater journal 2\n" + JournalLine(kFiles[0], newProgram, "") + "end\ncommit\nundo\n");

  const UpdaterRun run = RunUpdater(kUpdater, {IDOK});
  EXPECT_EQ(run.exitCode, 2u);
  ExpectBoxes(run, {Damaged()});
  EXPECT_EQ(ReadBytes(outside / "victim.exe"), newProgram);
}

// A copy started by another signed-in user sees no window of the first, but
// the title's mutex in the global namespace: it does nothing, as a second
// copy does.
TEST_F(Tampering, SecondCopyInAnotherSessionDoesNothing) {
  PrepareInstall(Install::Old);
  WriteSettingsFor(nullptr);
  const Tree before = Snapshot(install_.Path());
  char name[MAX_PATH];
  wsprintfA(name, text::kUpdateMutexFormat, gTitleProfile->makerFolder, gTitleProfile->baseName);
  HANDLE mutex = CreateMutexA(nullptr, TRUE, name);
  ASSERT_NE(mutex, nullptr);

  const UpdaterRun run = RunUpdater(kUpdater, {});
  ReleaseMutex(mutex);
  CloseHandle(mutex);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_TRUE(run.boxes.empty());
  EXPECT_EQ(run.dialog.window, nullptr);
  ExpectTree(Snapshot(install_.Path()), before);
}

// A player's file at a name the update keeps beside a target is neither
// overwritten nor removed: the player is told which file is in the way.
TEST_F(Tampering, FileAtANameTheUpdateNeedsStaysAndIsNamed) {
  for (const char* suffix : {".upd-old", ".upd-new"}) {
    SCOPED_TRACE(suffix);
    PrepareInstall(Install::Old);
    WriteSettingsFor(nullptr);
    const std::string theirs = install_ / (kFiles[0] + suffix);
    WriteText(theirs, "the player's own");
    const Tree before = Snapshot(install_.Path());

    const UpdaterRun run = RunUpdater(kUpdater, {IDOK, IDOK, IDOK});
    ExpectBoxes(run,
                {Confirm(), {WithPath(text::kNameTakenFormat, theirs), {IDOK}, true, true}, Cancelled()});
    ExpectTree(Snapshot(install_.Path()), before);
  }
}

// The commit is recorded only once every staged file is on the disk: the
// order of the flushes and of the journal's lines as the update makes them.
TEST_F(Tampering, EveryStagedFileIsFlushedBeforeTheCommitIsRecorded) {
  PrepareInstall(Install::Old);
  WriteSettingsFor(nullptr);
  const std::string log = TempFile("trace");
  {
    const ScopedEnvironment trace("UPDATER_TRACE_LOG", log);
    ExpectBoxes(RunUpdater(kHeldUpdater, {IDOK, IDOK}), {Confirm(), Finished()});
  }
  const std::vector<std::string> lines = ReadLines(log);
  DeleteFileA(log.c_str());
  const auto at = [&lines](const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) - lines.begin();
  };
  const auto end = at("journal end");
  const auto commit = at("journal commit");
  ASSERT_LT(commit, static_cast<long>(lines.size())) << "no commit was recorded";
  for (const std::string& file : kFiles) {
    SCOPED_TRACE(file);
    const auto flush = at("flush " + install_ / (file + ".upd-new"));
    EXPECT_LT(end, flush);
    EXPECT_LT(flush, commit);
  }
}

}  // namespace
