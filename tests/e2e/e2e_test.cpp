// The built updater, run as a user would, in the prefix: the settings file in
// AppData, an installation of the sample title's older files, and every box
// answered as the scenario says.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scenario.h"
#include "verify/install_check.h"

namespace {

// One row per path through the start-up sequence, with the user's answers.
struct Scenario {
  const char* name;
  bool settings;
  const char* installFolderOverride;  // replaces the install folder in the settings file
  const char* applied;                // NonActivation value, or null for none
  Install install;
  std::vector<int> answers;
  std::vector<ExpectedBox> boxes;
  DWORD exitCode;
  bool updated;  // the new files are in place afterwards
};

TEST_F(EndToEnd, SequenceTable) {
  const Scenario scenarios[] = {
      {"no settings file", false, nullptr, nullptr, Install::Old, {}, {Locate()}, 1, false},
      {"no install folder entry", true, "", nullptr, Install::Old, {}, {Damaged()}, 2, false},
      {"install folder missing", true, nullptr, nullptr, Install::None, {}, {Damaged()}, 2, false},
      {"main program damaged", true, nullptr, nullptr, Install::DamagedProgram, {}, {Damaged()}, 2, false},
      {"record library damaged", true, nullptr, nullptr, Install::DamagedLibrary, {}, {Damaged()}, 2, false},
      {"no record, cancelled", true, nullptr, nullptr, Install::Old, {IDCANCEL}, {Confirm()}, 0, false},
      {"older record, cancelled", true, nullptr, "0.5", Install::Old, {IDCANCEL}, {Confirm()}, 0, false},
      {"same record, No", true, nullptr, "1", Install::Old, {IDNO}, {Applied()}, 0, false},
      {"newer record, No", true, nullptr, "2", Install::Old, {IDNO}, {Applied()}, 0, false},
      {"newer record, Yes then cancelled",
       true,
       nullptr,
       "2",
       Install::Old,
       {IDYES, IDCANCEL},
       {Applied(), Confirm()},
       0,
       false},
      {"no record, updated",
       true,
       nullptr,
       nullptr,
       Install::Old,
       {IDOK, IDOK},
       {Confirm(), Finished()},
       0,
       true},
      {"older record, updated",
       true,
       nullptr,
       "0.5",
       Install::Old,
       {IDOK, IDOK},
       {Confirm(), Finished()},
       0,
       true},
      {"same record, Yes, updated",
       true,
       nullptr,
       "1",
       Install::Old,
       {IDYES, IDOK, IDOK},
       {Applied(), Confirm(), Finished()},
       0,
       true},
  };
  for (const Scenario& s : scenarios) {
    SCOPED_TRACE(s.name);
    PrepareInstall(s.install);
    RemoveSettings();
    if (s.settings) {
      if (s.installFolderOverride) {
        WriteSettings("[INSTALL]\r\nOther=1\r\n");
      } else {
        WriteSettingsFor(s.applied);
      }
    }
    UpdaterProcess process(kUpdater, {});
    for (int answer : s.answers) process.Recorder().QueueAnswers({answer});
    const UpdaterRun run = process.Finish();
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, s.exitCode);
    ExpectBoxes(run, s.boxes);
    if (s.install == Install::Old) {
      EXPECT_TRUE(InstalledFilesAre(s.updated ? "new" : "old"));
    }
    if (s.settings && !s.installFolderOverride) {
      EXPECT_EQ(SettingsValue("UPDATE", "NonActivation"),
                s.updated ? "1" : (s.applied ? s.applied : "(none)"));
    }
    if (s.updated) {
      EXPECT_EQ(CheckInstallation(install_.Path().c_str()), 1);
      EXPECT_EQ(run.dialog.title, Caption());
    } else {
      EXPECT_EQ(run.dialog.window, nullptr) << "the progress dialog showed";
    }
  }
}

TEST_F(EndToEnd, SuccessThenRunningAgainAsksFirst) {
  PrepareInstall(Install::Old);
  WriteSettingsFor(nullptr);
  UpdaterRun run = RunUpdater(kUpdater, {IDOK, IDOK});
  ASSERT_EQ(run.exitCode, 0u);
  ExpectBoxes(run, {Confirm(), Finished()});
  ASSERT_TRUE(InstalledFilesAre("new"));

  run = RunUpdater(kUpdater, {IDNO});
  EXPECT_EQ(run.exitCode, 0u);
  ExpectBoxes(run, {Applied()});
  EXPECT_TRUE(InstalledFilesAre("new"));
}

TEST_F(EndToEnd, SecondUpdaterExitsAtOnceWhileTheFirstAsks) { ExpectSecondUpdaterExitsWhileTheFirstAsks(); }

TEST_F(EndToEnd, LockedTargetFailsTheWorkAndKeepsTheRecord) {
  PrepareInstall(Install::Old);
  WriteSettingsFor("0.5");
  // The title is running: its program can be read (the check passes) but not replaced.
  HANDLE running = CreateFileA((install_ / "TumbleTrain.exe").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(running, INVALID_HANDLE_VALUE);
  const UpdaterRun run = RunUpdater(kUpdater, {IDOK, IDOK, IDOK});
  CloseHandle(running);

  EXPECT_EQ(run.exitCode, 0u);
  ASSERT_EQ(run.boxes.size(), 3u);
  ExpectBoxes(run, {Confirm(), {FromCp932(text::kWriteCannotCreate), {IDOK}, true, true}, Cancelled()});
  EXPECT_EQ(run.boxes[1].caption, Caption().insert(0, L"TumbleTrain.exe - ") + L" -");
  EXPECT_TRUE(InstalledFilesAre("old"));
  EXPECT_EQ(SettingsValue("UPDATE", "NonActivation"), "0.5");
}

TEST_F(EndToEnd, MissingResourceIsReportedTwiceAndCancels) {
  PrepareInstall(Install::Old);
  WriteSettingsFor(nullptr);
  const UpdaterRun run = RunUpdater(kMissingUpdater, {IDOK, IDOK, IDOK, IDOK, IDOK});
  EXPECT_EQ(run.exitCode, 0u);
  const ExpectedBox lookup{FromCp932(text::kLookupNotFound), {IDOK}, true, true};
  const ExpectedBox writer{FromCp932(text::kWriteNotFound), {IDOK}, true, true};
  ExpectBoxes(run, {Confirm(), lookup, lookup, writer, Cancelled()});
  ASSERT_EQ(run.boxes.size(), 5u);
  EXPECT_EQ(run.boxes[1].caption, Caption());
  EXPECT_EQ(run.boxes[3].caption, L"dll\\MISSING.dll - " + Caption() + L" -");
  // Found before anything was written: the entry before the missing one too.
  EXPECT_TRUE(InstalledFilesAre("old"));
  EXPECT_EQ(SettingsValue("UPDATE", "NonActivation"), "(none)");
}

TEST_F(EndToEnd, UpdateInformationIsMergedIntoTheInstalledList) {
  PrepareInstall(Install::Old);
  WriteText(install_ / "UpdateInfo.txt", "patch_0001;first release\r\n");
  WriteSettingsFor(nullptr);
  const UpdaterRun run = RunUpdater(kInfoUpdater, {IDOK, IDOK});
  EXPECT_EQ(run.exitCode, 0u);
  ExpectBoxes(run, {Confirm(), Finished()});
  const std::vector<unsigned char> merged = ReadBytes(install_ / "UpdateInfo.txt");
  EXPECT_EQ(std::string(merged.begin(), merged.end()), "patch_0002;\npatch_0001;first release\r\n");
}

// Built without dialog template 102: no dialog, so no work and no quit
// request. The updater must still end, telling the user the update stopped.
TEST_F(EndToEnd, DialogThatCannotBeCreatedEndsCancelled) {
  PrepareInstall(Install::Old);
  WriteSettingsFor(nullptr);
  const UpdaterRun run = RunUpdater(kNoDialogUpdater, {IDOK, IDOK});
  ASSERT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitCode, 0u);
  ExpectBoxes(run, {Confirm(), Cancelled()});
  EXPECT_TRUE(InstalledFilesAre("old"));
  EXPECT_EQ(SettingsValue("UPDATE", "NonActivation"), "(none)");
}

// Shift-JIS characters whose second byte is 0x5C, the byte of "\", in the
// install folder and in the updater's own folder, each name ending in one: a
// byte-wise search for "\" would cut these paths in the middle of a character.
// The whole update runs through them: the settings file, the check, the
// writing, the merge from the data folder beside the updater, the record.
TEST_F(EndToEnd, ShiftJisPathsWithBackslashTrailBytes) {
  ASSERT_EQ(GetACP(), 932u) << "Shift-JIS paths need the Japanese code page";
  ScratchFolder root("シフトJIS");
  const std::string installName = "ゲーム表\\表示ソフト能";  // in code page 932, as is this file's every text
  const std::string updaterName = "アップデートソ";
  for (const std::string& name : {installName, updaterName}) {
    ASSERT_EQ(name.back(), '\\') << "the name must end in a trail byte 0x5C";
  }
  const std::string install = root / installName;
  const std::string updaterFolder = root / updaterName;
  CreateDirectoryA((root / "ゲーム表").c_str(), nullptr);
  InstallOldAt(install);
  WriteText(install + "\\UpdateInfo.txt", "patch_0001;first release\r\n");
  CreateDirectoryA(updaterFolder.c_str(), nullptr);
  CreateDirectoryA((updaterFolder + "\\data").c_str(), nullptr);
  const std::string updater = updaterFolder + "\\TumbleTrainUpdate.exe";
  ASSERT_TRUE(CopyFileA(kInfoUpdater.c_str(), updater.c_str(), FALSE));
  const std::string infoFrom = kInfoUpdater.substr(0, kInfoUpdater.rfind('\\')) + "\\data\\UpdateInfo.txt";
  ASSERT_TRUE(CopyFileA(infoFrom.c_str(), (updaterFolder + "\\data\\UpdateInfo.txt").c_str(), FALSE));
  WriteSettingsFor(install, nullptr);

  Tree expected = Snapshot(root.Path());
  for (const std::string& file : kFiles) {
    expected[installName + "\\" + file] = ReadBytes(kSample + "\\new\\" + file);
  }
  const std::string merged = "patch_0002;\npatch_0001;first release\r\n";
  expected[installName + "\\UpdateInfo.txt"].assign(merged.begin(), merged.end());

  const UpdaterRun run = RunUpdater(updater, {IDOK, IDOK});
  ASSERT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitCode, 0u);
  ExpectBoxes(run, {Confirm(), Finished()});
  // Every file whole where it belongs, and nothing made at a cut path.
  ExpectTree(Snapshot(root.Path()), expected);
  EXPECT_EQ(CheckInstallation(install.c_str()), 1);
  EXPECT_EQ(SettingsValue("UPDATE", "NonActivation"), "1");
}

TEST_F(EndToEnd, DialogCannotBeClosedDuringALongWork) {
  PrepareInstall(Install::Old);
  WriteSettingsFor(nullptr);
  UpdaterProcess process(kLargeUpdater, {IDOK, IDOK});
  int positionAtPoke = -1;
  bool allPosted = false;
  process.OnDialog([&](HWND dialog) {
    positionAtPoke = static_cast<int>(SendDlgItemMessageW(dialog, 1008, PBM_GETPOS, 0, 0));
    // Alt+F4, the close box, Enter and Escape, as they reach the dialog.
    allPosted = PostMessageW(dialog, WM_CLOSE, 0, 0) && PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0) &&
                PostMessageW(dialog, WM_COMMAND, IDOK, 0) && PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0) &&
                PostMessageW(dialog, WM_KEYDOWN, VK_ESCAPE, 0) &&
                PostMessageW(dialog, WM_KEYDOWN, VK_RETURN, 0);
  });
  const UpdaterRun run = process.Finish();
  ASSERT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitCode, 0u);
  ExpectBoxes(run, {Confirm(), Finished()});
  ASSERT_NE(run.dialog.window, nullptr) << "the progress dialog was never seen";
  EXPECT_EQ(run.dialog.title, Caption());
  // The requests reached the dialog early in the work, and it lived on and
  // kept moving long after the writer had dispatched them (one per chunk).
  EXPECT_TRUE(allPosted);
  ASSERT_GE(positionAtPoke, 0);
  EXPECT_LT(positionAtPoke, 50);
  ASSERT_FALSE(run.dialog.positions.empty());
  EXPECT_GE(run.dialog.positions.back(), positionAtPoke + 20);
  // Progress only moves forward, in whole percents shown as "%3d%".
  for (size_t i = 1; i < run.dialog.positions.size(); ++i) {
    EXPECT_LT(run.dialog.positions[i - 1], run.dialog.positions[i]);
  }
  for (const std::wstring& percent : run.dialog.percents) {
    EXPECT_EQ(percent.size(), 4u);
    EXPECT_EQ(percent.back(), L'%');
  }
  EXPECT_EQ(SettingsValue("UPDATE", "NonActivation"), "1");
}

// An updater started from a folder where someone planted a DLL (a Downloads
// folder) never loads it: the search is restricted to the system folder
// before the first DLL is loaded by name. comctl32, the one the updater loads,
// comes through its manifest's side-by-side assembly, so this build asks for
// a made-up DLL at the same place; nothing else differs from the shipped one.
// A control program without the restriction loads the planted copy.
TEST_F(EndToEnd, DllPlantedBesideTheUpdaterIsNeverLoaded) {
  ScratchFolder downloads("downloads");
  const std::string updater = downloads / "TumbleTrainUpdate.exe";
  ASSERT_TRUE(CopyFileA(BuildPath(UPDATER_PLANT_PROBE_EXE).c_str(), updater.c_str(), FALSE));
  ASSERT_TRUE(
      CopyFileA(BuildPath(UPDATER_MARKER_DLL).c_str(), (downloads / "zqplantprobe.dll").c_str(), FALSE));
  ASSERT_TRUE(
      CopyFileA(BuildPath(UPDATER_PLANT_CONTROL_EXE).c_str(), (downloads / "control.exe").c_str(), FALSE));

  DeleteFileA(MarkerPath().c_str());
  EXPECT_EQ(RunUpdater(downloads / "control.exe", {}).exitCode, 0u);
  ASSERT_TRUE(FileExists(MarkerPath()))
      << "a planted DLL is not picked up here: this test would prove nothing";

  DeleteFileA(MarkerPath().c_str());
  PrepareInstall(Install::Old);
  WriteSettingsFor(nullptr);
  const UpdaterRun run = RunUpdater(updater, {IDOK, IDOK});
  EXPECT_EQ(run.exitCode, 0u);
  ExpectBoxes(run, {Confirm(), Finished()});
  EXPECT_FALSE(FileExists(MarkerPath())) << "the updater loaded the DLL planted beside it";
  EXPECT_TRUE(InstalledFilesAre("new"));
}

}  // namespace
