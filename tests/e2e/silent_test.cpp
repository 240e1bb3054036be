// The silent run a launcher starts (/S): no box and no window, and an exit
// code for every outcome, the installation left updated or as it was.
#include <windows.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "base/win_util.h"
#include "scenario.h"
#include "verify/install_check.h"

namespace {

// A silent run that showed anything would wait for an answer: well before
// this it has ended, or it has failed.
constexpr DWORD kSilentTimeoutMs = 60000;

// What a row leaves the installation as.
enum class After {
  kUpdated,       // the new files, checked, the version recorded, nothing beside them
  kLargeUpdated,  // the 48 MiB program in place, the version recorded
  kUntouched,     // every file and folder as it was before the run
  kNotRecorded,   // the new files, but the version not recorded
};

struct Prepared {
  std::string folder;  // the installation the row looks at; empty: the usual one
  std::function<void()> cleanup;
  std::string skip;  // non-empty: the row cannot be set up here
};

struct Row {
  const char* name;
  std::string exe;
  const char* arguments;
  std::function<Prepared()> prepare;
  DWORD exitCode;
  After after;
};

class Silent : public EndToEnd {
 protected:
  // Holds the title's update mutex as a copy in another session would.
  static std::function<void()> HoldUpdateMutex() {
    char name[MAX_PATH];
    wsprintfA(name, text::kUpdateMutexFormat, gTitleProfile->makerFolder, gTitleProfile->baseName);
    HANDLE mutex = CreateMutexA(nullptr, TRUE, name);
    EXPECT_NE(mutex, nullptr);
    return [mutex] {
      ReleaseMutex(mutex);
      CloseHandle(mutex);
    };
  }
};

// One row per exit code of a silent run (the code for a release that cannot
// be patched is reserved and has none yet).
TEST_F(Silent, EveryOutcomeHasItsExitCodeAndShowsNothing) {
  const Row rows[] = {
      {"updated", kUpdater, "/S", [] { return Prepared{}; }, 0, After::kUpdated},
      // A payload that takes a while: a dialog shown meanwhile would be seen.
      {"updated, 48 MiB", kLargeUpdater, "/silent", [] { return Prepared{}; }, 0, After::kLargeUpdated},
      {"already applied, forced", kUpdater, "/S /force",
       [this] {
         WriteSettingsFor("1");
         return Prepared{};
       },
       0, After::kUpdated},
      {"settings file not found", kUpdater, "/S",
       [] {
         RemoveSettings();
         return Prepared{};
       },
       1, After::kUntouched},
      {"installation damaged", kUpdater, "/S",
       [this] {
         PrepareInstall(Install::DamagedLibrary);
         return Prepared{};
       },
       2, After::kUntouched},
      {"already applied", kUpdater, "/S",
       [this] {
         WriteSettingsFor("1");
         return Prepared{};
       },
       3, After::kUntouched},
      // The 48 MiB payload on the 3 MiB drive.
      {"too little space", kLargeUpdater, "/S",
       [this] {
         Prepared prepared;
         if (!IsTestTmpfsDrive("U:\\")) {
           prepared.skip = "drive U: is not the 3 MiB tmpfs of tmpfs_drive.sh";
           return prepared;
         }
         prepared.folder = "U:\\silent-install";
         RemoveTree(prepared.folder);
         InstallOldAt(prepared.folder);
         WriteSettingsFor(prepared.folder, nullptr);
         prepared.cleanup = [folder = prepared.folder] { RemoveTree(folder); };
         return prepared;
       },
       5, After::kUntouched},
      // The title is running: its program can be read but not replaced.
      {"failed, every file kept", kUpdater, "/S",
       [this] {
         HANDLE running = CreateFileA((install_ / "TumbleTrain.exe").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
         EXPECT_NE(running, INVALID_HANDLE_VALUE);
         return Prepared{"", [running] { CloseHandle(running); }, ""};
       },
       6, After::kUntouched},
      // The update carries a list, and the installation has no copy to merge it into.
      {"files updated, list not merged", kInfoUpdater, "/S", [] { return Prepared{}; }, 7,
       After::kNotRecorded},
      {"interrupted update not settled", kUpdater, "/S",
       [this] {
         WriteText(install_ / "TumbleTrainUpdate.journal", "title-updater journal 2\nremove everything\n");
         return Prepared{};
       },
       8, After::kUntouched},
      {"another copy's mutex", kUpdater, "/S",
       [] {
         return Prepared{"", HoldUpdateMutex(), ""};
       },
       9, After::kUntouched},
      {"unknown switch", kUpdater, "/S /quiet", [] { return Prepared{}; }, 10, After::kUntouched},
  };

  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    PrepareInstall(Install::Old);
    WriteSettingsFor(nullptr);
    Prepared prepared = row.prepare();
    const AtScopeEnd release(prepared.cleanup);
    if (SkippedRow(row.name, prepared.skip)) continue;
    const std::string folder = prepared.folder.empty() ? install_.Path() : prepared.folder;
    const std::string record = SettingsValue("UPDATE", "NonActivation");
    const Tree before = Snapshot(folder);

    UpdaterProcess process(row.exe, {}, row.arguments);
    const UpdaterRun run = process.Finish(kSilentTimeoutMs);
    ASSERT_FALSE(run.timedOut) << "a silent run waited: did it show something?";
    EXPECT_EQ(run.exitCode, row.exitCode);
    EXPECT_TRUE(run.boxes.empty()) << "a box was shown";
    EXPECT_EQ(run.dialog.window, nullptr) << "a window was shown";

    switch (row.after) {
      case After::kUntouched:
        ExpectTree(Snapshot(folder), before);
        EXPECT_EQ(SettingsValue("UPDATE", "NonActivation"), record);
        break;
      case After::kUpdated:
        EXPECT_TRUE(InstalledFilesAre("new"));
        EXPECT_EQ(CheckInstallation(folder.c_str()), 1);
        EXPECT_EQ(Snapshot(folder).size(), before.size()) << "something was left beside the files";
        EXPECT_EQ(SettingsValue("UPDATE", "NonActivation"), "1");
        break;
      case After::kLargeUpdated:
        // The 48 MiB stand-in, which the sample's records do not describe, whole.
        EXPECT_EQ(ReadBytes(install_ / "TumbleTrain.exe").size(), 50331648u);
        EXPECT_EQ(SettingsValue("UPDATE", "NonActivation"), "1");
        break;
      case After::kNotRecorded:
        EXPECT_TRUE(InstalledFilesAre("new"));
        EXPECT_EQ(SettingsValue("UPDATE", "NonActivation"), record);
        break;
    }
  }
}

// A running interactive copy (its window asking) keeps a silent one out too.
TEST_F(Silent, AnotherCopyAskingKeepsItOut) {
  PrepareInstall(Install::Old);
  WriteSettingsFor(nullptr);
  UpdaterProcess first(kUpdater, {BoxRecorder::kHold});
  for (int i = 0; i < 2000 && first.Recorder().Boxes().empty(); ++i) Sleep(5);
  ASSERT_EQ(first.Recorder().Boxes().size(), 1u) << "the first updater never asked";

  const UpdaterRun second = RunUpdater(kUpdater, {}, "/S");
  EXPECT_FALSE(second.timedOut);
  EXPECT_EQ(second.exitCode, 9u);
  EXPECT_TRUE(second.boxes.empty());

  first.Recorder().ReleaseHeld(IDCANCEL);
  EXPECT_EQ(first.Finish().exitCode, 0u);
  EXPECT_TRUE(InstalledFilesAre("old"));
}

}  // namespace
