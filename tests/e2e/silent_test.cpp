// The silent run a launcher starts (/S): no box and no window, and an exit
// code for every outcome, the installation left updated or as it was. And
// the run's log, which support reads: what a failing run names, where it goes
// by default, and that a log that cannot be written changes nothing else.
#include <windows.h>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "base/win_util.h"
#include "scenario.h"
#include "verify/install_check.h"

namespace {

// A silent run that showed anything would wait for an answer: well before
// this it has ended, or it has failed.
constexpr DWORD kSilentTimeoutMs = 60000;

std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string DefaultLogPath() {
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  return std::string(temp) + "TumbleTrainUpdate.log";
}

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

// One row per exit code of a silent run.
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
      // An update carried only as patches from 0.9, and the player has 0.8.
      {"installed release cannot be patched", kPatchedUpdater, "/S",
       [this] {
         InstallRelease("0.8");
         return Prepared{};
       },
       4, After::kUntouched},
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

// The command lines the README shows a launcher, exactly as it shows them:
// the second redoes the update and writes its log to a folder with a space.
TEST_F(Silent, TheReadmeCommandLines) {
  PrepareInstall(Install::Old);
  WriteSettingsFor(nullptr);
  UpdaterRun run = RunUpdater(kUpdater, {}, "/S");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_TRUE(run.boxes.empty());
  EXPECT_TRUE(InstalledFilesAre("new"));

  ASSERT_TRUE(CreateDirectoryA("C:\\Logs", nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  const AtScopeEnd removeLogs([] { RemoveTree("C:\\Logs"); });
  run = RunUpdater(kUpdater, {}, "/S /force /log=\"C:\\Logs\\TumbleTrain update.log\"");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_TRUE(run.boxes.empty());
  const std::string log = ReadFileText("C:\\Logs\\TumbleTrain update.log");
  EXPECT_NE(log.find("run: silent, forced"), std::string::npos) << log;
  EXPECT_NE(log.find("outcome: updated; exit code 0"), std::string::npos) << log;
}

// A running interactive copy (its window asking) keeps a silent one out too,
// and keeps its log.
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
  // The running copy's log is its own, whole: the second neither replaced nor removed it.
  const std::string log = ReadFileText(DefaultLogPath());
  EXPECT_NE(log.find("run: interactive"), std::string::npos) << log;
  EXPECT_NE(log.find("outcome: declined by the player; exit code 0"), std::string::npos) << log;
  EXPECT_EQ(log.find("run: silent"), std::string::npos) << log;
}

class Log : public EndToEnd {};

// Support reads which file failed and why, in the system's own words.
TEST_F(Log, FailingRunNamesTheFileAndTheWindowsError) {
  PrepareInstall(Install::Old);
  WriteSettingsFor(nullptr);
  const std::string log = TempFile("failing-run-log");
  HANDLE running = CreateFileA((install_ / "TumbleTrain.exe").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(running, INVALID_HANDLE_VALUE);
  const UpdaterRun run = RunUpdater(kUpdater, {}, "/S /log=" + log);
  CloseHandle(running);
  EXPECT_EQ(run.exitCode, 6u);

  const std::vector<std::string> lines = ReadLines(log);
  ASSERT_FALSE(lines.empty()) << "no log at " << log;
  EXPECT_EQ(lines[0].rfind("\xEF\xBB\xBFupdater: TumbleTrainUpdate ", 0), 0u) << lines[0];
  // The sharing violation of the running title's program, with its message.
  const std::string target = install_ / "TumbleTrain.exe";
  bool named = false;
  for (const std::string& line : lines) {
    const size_t at = line.find(target + ": error 32: ");
    if (at == std::string::npos) continue;
    named = true;
    const std::string message = line.substr(at + target.size() + 12);
    EXPECT_GT(message.size(), 5u) << line;
    EXPECT_EQ(message.find("no message"), std::string::npos) << line;
  }
  EXPECT_TRUE(named) << "no line names " << target << " with error 32";
  std::string last = lines.back();
  if (!last.empty() && last.back() == '\r') last.pop_back();
  EXPECT_EQ(last, "outcome: failed, every file kept its old content; exit code 6");
  DeleteFileA(log.c_str());
}

// Without /log the log goes to the user's temp folder, and the next run
// replaces it. Each file is there with its size.
TEST_F(Log, DefaultPlaceIsReplacedByTheNextRun) {
  PrepareInstall(Install::Old);
  WriteSettingsFor(nullptr);
  const std::string log = DefaultLogPath();
  DeleteFileA(log.c_str());
  EXPECT_EQ(RunUpdater(kUpdater, {}, "/S /bogus").exitCode, 10u);
  EXPECT_NE(ReadFileText(log).find("outcome: bad command line, nothing done; exit code 10"),
            std::string::npos);

  EXPECT_EQ(RunUpdater(kUpdater, {}, "/S").exitCode, 0u);
  const std::string text = ReadFileText(log);
  EXPECT_EQ(text.find("bad command line"), std::string::npos) << "the earlier run's log was kept";
  const std::string size = std::to_string(ReadBytes(kSample + "\\new\\TumbleTrain.exe").size());
  EXPECT_NE(text.find("file TumbleTrain.exe: " + size + " bytes, staged"), std::string::npos) << text;
  EXPECT_NE(text.find("outcome: updated; exit code 0"), std::string::npos) << text;
  DeleteFileA(log.c_str());
}

// A log that cannot be written leaves the run as it would be without one:
// the same boxes, the same exit code, the installation updated.
TEST_F(Log, ThatCannotBeWrittenChangesNothingElse) {
  ScratchFolder scratch("unwritable-log");
  struct Case {
    const char* name;
    std::string arguments;
    std::function<std::function<void()>()> prepare;  // returns its clean-up
  };
  const Case cases[] = {
      // Quoted, as a launcher quotes a path with spaces.
      {"folder missing", "\"/log=" + (scratch / "no such folder\\update.log") + "\"",
       [] { return std::function<void()>(); }},
      {"a folder at its name", "/log=" + scratch.Path(), [] { return std::function<void()>(); }},
      {"held open by another program", "/log=" + (scratch / "held.log"),
       [&scratch] {
         WriteText(scratch / "held.log", "held");
         HANDLE held =
             CreateFileA((scratch / "held.log").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
         EXPECT_NE(held, INVALID_HANDLE_VALUE);
         return std::function<void()>([held] { CloseHandle(held); });
       }},
      {"default place held open", "",
       [] {
         WriteText(DefaultLogPath(), "held");
         HANDLE held =
             CreateFileA(DefaultLogPath().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
         EXPECT_NE(held, INVALID_HANDLE_VALUE);
         return std::function<void()>([held] {
           CloseHandle(held);
           DeleteFileA(DefaultLogPath().c_str());
         });
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const bool silent : {false, true}) {
      SCOPED_TRACE(silent ? "silent" : "interactive");
      PrepareInstall(Install::Old);
      WriteSettingsFor(nullptr);
      const AtScopeEnd cleanup(c.prepare());
      const std::string arguments = silent ? "/S " + c.arguments : c.arguments;
      const UpdaterRun run = RunUpdater(kUpdater, {IDOK, IDOK}, arguments);
      ASSERT_FALSE(run.timedOut);
      EXPECT_EQ(run.exitCode, 0u);
      if (silent) {
        EXPECT_TRUE(run.boxes.empty());
      } else {
        ExpectBoxes(run, {Confirm(), Finished()});
      }
      EXPECT_TRUE(InstalledFilesAre("new"));
      EXPECT_EQ(SettingsValue("UPDATE", "NonActivation"), "1");
    }
  }
  EXPECT_FALSE(FileExists(scratch / "no such folder")) << "a folder was made for the log";
  EXPECT_EQ(ReadFileText(scratch / "held.log"), "held");
}

// The elevated updater writes its log where the player's processes can
// write too: a link planted at the log's name is never written through and its
// target never removed; the log is then left out.
TEST_F(Log, LinkAtItsNameIsNeitherFollowedNorRemoved) {
  ScratchFolder scratch("log-link");
  const std::string victim = scratch / "victim.txt";
  const std::string link = scratch / "update.log";
  WriteText(victim, "not the log");
  ASSERT_TRUE(MakeUnixLink(victim, link));
  const AtScopeEnd unlink([link] { RemoveUnixLink(link); });
  PrepareInstall(Install::Old);
  WriteSettingsFor(nullptr);
  const UpdaterRun run = RunUpdater(kUpdater, {}, "/S /log=" + link);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_TRUE(InstalledFilesAre("new"));
  EXPECT_EQ(ReadFileText(victim), "not the log");
}

}  // namespace
