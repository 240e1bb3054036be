// All or nothing, end to end: an update that fails on its last file, or is
// ended by force at any point of its work, leaves an installation that is
// whole (all old or all new) with none of the updater's own files beside it,
// and the next run completes the update.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "base/win_util.h"
#include "scenario.h"
#include "verify/install_check.h"

namespace {

const std::string kHeldUpdater = BuildPath(UPDATER_HELD_EXE);
const std::string kKillUpdater = BuildPath(UPDATER_KILL_EXE);
const std::string kKillHeldUpdater = BuildPath(UPDATER_KILL_HELD_EXE);
const std::string kKillNew = BuildPath(UPDATER_KILL_PAYLOAD_DIR);
const std::string kKillOld = BuildPath(UPDATER_KILL_OLD_DIR);

// Leaves `bytes` free on drive U:; false when U: is not the 3 MiB tmpfs the test fixture maps.
bool LeaveFreeOnU(uint64_t bytes) {
  ULARGE_INTEGER available = {};
  if (!IsTestTmpfsDrive("U:\\") || !GetDiskFreeSpaceExA("U:\\", &available, nullptr, nullptr)) return false;
  if (available.QuadPart < bytes) return false;
  WriteBytes("U:\\filler.bin", std::vector<unsigned char>(available.QuadPart - bytes, 0xAB));
  GetDiskFreeSpaceExA("U:\\", &available, nullptr, nullptr);
  return available.QuadPart == bytes;
}

uint64_t Pages(uint64_t bytes) { return (bytes + 4095) / 4096 * 4096; }

class LastFileFailure : public EndToEnd {};

// What a row does to the installation's record library, the last file of the
// sample's payload, and undoes before the second run.
struct Cause {
  std::string folder;            // the install folder; empty: the fixture's
  std::string exe;               // the updater; empty: the sample's
  const char* holdAt = nullptr;  // with the held build: the point where `act` runs
  std::function<void()> act;     // at that point
  std::function<void()> remove;
  std::string skip;
};

TEST_F(LastFileFailure, ChangesNothingAndTheNextRunSucceeds) {
  const std::string library = "dll\\RESOURCE.dll";
  UniqueFile held;
  auto hold = [&held](const std::string& path, DWORD share) {
    held.Reset(CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(held.Valid());
  };
  auto attribute = [this, library](DWORD attributes) {
    const std::string path = install_ / library;
    SetFileAttributesA(path.c_str(), attributes);
    Cause cause;
    cause.remove = [path] { SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL); };
    return cause;
  };
  struct Row {
    const char* name;
    std::function<Cause()> cause;
    const char* message;
  };
  const Row rows[] = {
      {"library held open by another program",
       [&] {
         hold(install_ / library, FILE_SHARE_READ);
         Cause cause;
         cause.remove = [&held] { held.Reset(); };
         return cause;
       },
       text::kWriteCannotCreate},
      {"library read-only", [&] { return attribute(FILE_ATTRIBUTE_READONLY); }, text::kWriteCannotCreate},
      {"library hidden", [&] { return attribute(FILE_ATTRIBUTE_HIDDEN); }, text::kWriteCannotCreate},
      // Room for the journal and the staged main program, not for the library.
      {"disk full while staging the library",
       [&] {
         Cause cause;
         cause.folder = "U:\\e2e-install";
         RemoveTree(cause.folder);
         CreateDirectoryA(cause.folder.c_str(), nullptr);
         CreateDirectoryA((cause.folder + "\\dll").c_str(), nullptr);
         for (const std::string& file : kFiles) {
           CopyFileA((kSample + "\\old\\" + file).c_str(), (cause.folder + "\\" + file).c_str(), FALSE);
         }
         WriteSettings("[INSTALL]\r\nInstallFold=" + cause.folder + "\r\n");
         const uint64_t program = ReadBytes(kSample + "\\new\\TumbleTrain.exe").size();
         if (!LeaveFreeOnU(Pages(1) + Pages(program))) cause.skip = "drive U: is not the 3 MiB tmpfs";
         cause.remove = [] { DeleteFileA("U:\\filler.bin"); };
         return cause;
       },
       text::kWriteFailed},
      // Taken hold of after the check, once everything is staged: the main
      // program is replaced, then the library's replacement is refused.
      {"library's replacement refused",
       [&] {
         Cause cause;
         cause.exe = kHeldUpdater;
         cause.holdAt = "commit";
         cause.act = [&] { hold(install_ / library, 0); };
         cause.remove = [&held] { held.Reset(); };
         return cause;
       },
       text::kWriteCannotCreate},
  };

  const std::wstring libraryCaption = L"dll\\RESOURCE.dll - " + Caption() + L" -";
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    PrepareInstall(Install::Old);
    WriteSettingsFor(nullptr);
    Cause cause = row.cause();
    const AtScopeEnd remove([&cause] {
      if (cause.remove) cause.remove();
      if (!cause.folder.empty()) RemoveTree(cause.folder);
    });
    if (!cause.skip.empty()) {
      std::printf("skipped row \"%s\": %s\n", row.name, cause.skip.c_str());
      continue;
    }
    const std::string folder = cause.folder.empty() ? install_.Path() : cause.folder;
    long holdAt = 0;
    if (cause.holdAt) {
      const std::vector<std::string> names = HoldPointNames(cause.exe);
      holdAt = static_cast<long>(std::find(names.begin(), names.end(), cause.holdAt) - names.begin()) + 1;
      ASSERT_LE(holdAt, static_cast<long>(names.size()));
      PrepareInstall(Install::Old);
      WriteSettingsFor(nullptr);
    }
    const Tree before = Snapshot(folder);

    UpdaterRun run;
    {
      HoldPoints points(holdAt);
      UpdaterProcess process(cause.exe.empty() ? kUpdater : cause.exe, {IDOK, IDOK, IDOK});
      if (holdAt) {
        ASSERT_TRUE(points.WaitReached());
        cause.act();
        points.Resume();
      }
      run = process.Finish();
    }
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 0u);
    ExpectBoxes(run, {Confirm(), OwnedBy(row.message), Cancelled()});
    if (run.boxes.size() == 3) {
      EXPECT_EQ(run.boxes[1].caption, libraryCaption);
    }
    // Removed first: a file held without sharing could not be read back.
    if (cause.remove) cause.remove();
    cause.remove = nullptr;
    ExpectTree(Snapshot(folder), before);
    EXPECT_EQ(SettingsValue("UPDATE", "NonActivation"), "(none)");

    const UpdaterRun again = RunUpdater(kUpdater, {IDOK, IDOK});
    ExpectBoxes(again, {Confirm(), Finished()});
    Tree updated = before;
    for (const std::string& file : kFiles) updated[file] = ReadBytes(kSample + "\\new\\" + file);
    ExpectTree(Snapshot(folder), updated);
    std::string report;
    EXPECT_TRUE(RecordlibVerifies(folder, "TumbleTrain.exe", &report)) << report;
  }
}

// An interrupted update is settled once the settings file has told where the
// installation is, and before the installation check, which would refuse the
// mixed installation that it found: here, the new main program already in
// place beside the old record library.
TEST_F(EndToEnd, InterruptedUpdateIsSettledAfterTheSettingsFileAndBeforeTheCheck) {
  PrepareInstall(Install::Old);
  const std::string program = install_ / "TumbleTrain.exe";
  const std::string library = install_ / "dll\\RESOURCE.dll";
  ASSERT_TRUE(MoveFileA(program.c_str(), (program + ".upd-old").c_str()));
  WriteBytes(program, ReadBytes(kSample + "\\new\\TumbleTrain.exe"));
  WriteBytes(library + ".upd-new", ReadBytes(kSample + "\\new\\dll\\RESOURCE.dll"));
  WriteText(install_ / "TumbleTrainUpdate.journal",
            "title-updater journal 2\n" +
                JournalLine("TumbleTrain.exe", ReadBytes(kSample + "\\new\\TumbleTrain.exe"),
                            program + ".upd-old") +
                JournalLine("dll\\RESOURCE.dll", ReadBytes(kSample + "\\new\\dll\\RESOURCE.dll"), library) +
                "end\ncommit\n");
  ASSERT_EQ(CheckInstallation(install_.Path().c_str()), 0) << "the mixed installation passes the check";
  const Tree interrupted = Snapshot(install_.Path());

  RemoveSettings();
  UpdaterRun run = RunUpdater(kUpdater, {});
  EXPECT_EQ(run.exitCode, 1u);
  ExpectBoxes(run, {Locate()});
  ExpectTree(Snapshot(install_.Path()), interrupted);

  WriteSettingsFor(nullptr);
  run = RunUpdater(kUpdater, {IDCANCEL});
  EXPECT_EQ(run.exitCode, 0u);
  ExpectBoxes(run, {Confirm()});
  Tree updated = interrupted;
  for (const std::string& file : kFiles) updated[file] = ReadBytes(kSample + "\\new\\" + file);
  for (const char* leftover :
       {"TumbleTrain.exe.upd-old", "dll\\RESOURCE.dll.upd-new", "TumbleTrainUpdate.journal"}) {
    updated.erase(leftover);
  }
  ExpectTree(Snapshot(install_.Path()), updated);
  EXPECT_EQ(SettingsValue("UPDATE", "NonActivation"), "(none)");
}

std::vector<long> ChoosePoints(const std::vector<std::string>& names) {
  const char* setting = std::getenv("UPDATER_KILL_POINTS");
  const bool all = setting && std::string(setting) == "all";
  const long wanted = setting && !all ? std::atol(setting) : 40;
  std::vector<long> chunks, chosen;
  for (long i = 1; i <= static_cast<long>(names.size()); ++i) {
    (all || names[i - 1] != "chunk" ? chosen : chunks).push_back(i);
  }
  // The rest are chunk boundaries, evenly spread from the first to the last.
  const long spread = std::max(wanted - static_cast<long>(chosen.size()), 2L);
  for (long i = 0; i < spread && !chunks.empty(); ++i) {
    chosen.push_back(chunks[i * (chunks.size() - 1) / (spread - 1)]);
  }
  std::sort(chosen.begin(), chosen.end());
  chosen.erase(std::unique(chosen.begin(), chosen.end()), chosen.end());
  return chosen;
}

// The updater ended by force (as from the task manager) at hold points spread
// over its whole work: every chunk boundary of every file is a candidate, and
// every step of the journal, the replacements and the clean-up is taken.
// UPDATER_KILL_POINTS sets how many points run ("all" for every one).
class KillTest : public EndToEnd {
 protected:
  // The kill test's updaters carry a title and settings folder of their own.
  void SetUp() override {
    title_ = *gTitleProfile;
    title_.makerFolder = UPDATER_KILL_MAKER;
    title_.displayTitle = UPDATER_KILL_TITLE;
    gTitleProfile = &title_;
    EndToEnd::SetUp();
  }
  void TearDown() override {
    EndToEnd::TearDown();
    RemoveTree(MakerFolder());
    gTitleProfile = &kTitleProfile;
  }

  void InstallOldTitle() {
    PrepareInstall(Install::Old);
    CreateDirectoryA((install_ / "data").c_str(), nullptr);
    for (const auto& [path, bytes] : Snapshot(kKillOld)) {
      if (path.back() != '\\') WriteBytes(install_ / path, bytes);
    }
    WriteSettingsFor(nullptr);
  }

  // The whole new installation, with the update's list merged into the installed one.
  Tree Updated() const {
    Tree updated = Snapshot(newFiles_);
    const std::string merged = "patch_0002;\npatch_0001;first release\n";
    updated["UpdateInfo.txt"] = {merged.begin(), merged.end()};
    return updated;
  }

  // A run of the held updater ended as the task manager ends it, at the last
  // point `at` lists; at each point before, `act` runs and the run goes on.
  void EndHeldRunAt(const std::string& at, const std::function<void()>& act = nullptr) {
    HoldPoints hold(at);
    UpdaterProcess process(heldUpdater_, {IDOK});
    for (size_t points = std::count(at.begin(), at.end(), ',') + 1; points > 0; --points) {
      ASSERT_TRUE(hold.WaitReached()) << "a point of " << at << " was never reached";
      if (points == 1) break;
      if (act) act();
      hold.Resume();
    }
    process.Kill();
  }

  // The next run of the shipped updater ends with a whole, verified new installation.
  void ExpectTheNextRunUpdates() {
    const UpdaterRun next = RunUpdater(updater_, {IDOK, IDOK});
    ASSERT_FALSE(next.timedOut);
    EXPECT_EQ(next.exitCode, 0u);
    ExpectBoxes(next, {Confirm(), Finished()});
    ExpectTree(Snapshot(install_.Path()), Updated());
    EXPECT_EQ(CheckInstallation(install_.Path().c_str()), 1);
    std::string report;
    EXPECT_TRUE(RecordlibVerifies(install_.Path(), "TumbleTrain.exe", &report)) << report;
  }

  // Ends the held updater at points spread over its whole work; the next run
  // of the shipped one must finish the update each time.
  void KillAtSpreadPoints() {
    InstallOldTitle();
    const std::vector<std::string> names = HoldPointNames(heldUpdater_);
    ASSERT_GT(names.size(), 100u);
    ASSERT_EQ(Snapshot(install_.Path()), Updated()) << "the whole update itself did not go through";

    const std::vector<long> points = ChoosePoints(names);
    std::printf("killing at %zu of %zu hold points\n", points.size(), names.size());
    ASSERT_GE(points.size(), 30u);
    for (const long point : points) {
      SCOPED_TRACE("killed at point " + std::to_string(point) + " (" + names[point - 1] + ")");
      InstallOldTitle();
      EndHeldRunAt(std::to_string(point));
      ExpectTheNextRunUpdates();
      if (HasFailure()) break;
    }
  }

  TitleProfile title_{};
  // The updater, its held twin and the new files they carry.
  std::string updater_ = kKillUpdater;
  std::string heldUpdater_ = kKillHeldUpdater;
  std::string newFiles_ = kKillNew;
};

// The same title with its data files carried as patches from the installed ones.
class KillTestPatched : public KillTest {
 protected:
  KillTestPatched() {
    updater_ = BuildPath(UPDATER_KILL_PATCHED_EXE);
    heldUpdater_ = BuildPath(UPDATER_KILL_PATCHED_HELD_EXE);
    newFiles_ = BuildPath(UPDATER_KILL_PATCHED_PAYLOAD_DIR);
  }
};

TEST_F(KillTest, NextRunFinishesTheUpdateWhereverTheFirstWasEnded) { KillAtSpreadPoints(); }

// Ended while files are made from the installed ones by patch: the next run
// still finds each installed file old (a patch's base) or new (staged from
// itself), and updates.
TEST_F(KillTestPatched, NextRunFinishesThePatchedUpdateWhereverTheFirstWasEnded) { KillAtSpreadPoints(); }

// The run that settles an interrupted update is itself ended, at every point
// of its work; the run after it still settles the installation and updates it.
TEST_F(KillTest, RecoveryEndedAnywhereIsTakenUpByTheNextRun) {
  const auto interrupt = [this] {
    InstallOldTitle();
    // Three files replaced, the fourth's old content set aside.
    EndHeldRunAt("move#7");
  };
  interrupt();
  const std::string log = TempFile("recovery-points");
  {
    HoldPoints points(0, log);
    // Cancelled at the confirmation: every point it passed was the recovery's.
    ExpectBoxes(RunUpdater(heldUpdater_, {IDCANCEL}), {Confirm()});
  }
  const std::vector<std::string> names = ReadLines(log);
  DeleteFileA(log.c_str());
  ASSERT_GE(names.size(), 10u);
  for (long point = 1; point <= static_cast<long>(names.size()); ++point) {
    SCOPED_TRACE("recovery killed at point " + std::to_string(point) + " (" + names[point - 1] + ")");
    interrupt();
    EndHeldRunAt(std::to_string(point));
    ExpectTheNextRunUpdates();
    if (HasFailure()) break;
  }
}

// A replacement refused (the library held open) turns the update back; the
// run is ended at every point of its undo, and the next run updates.
TEST_F(KillTest, UndoEndedAnywhereIsTakenUpByTheNextRun) {
  const std::string library = install_ / "dll\\RESOURCE.dll";
  UniqueFile held;
  const auto holdLibrary = [&] {
    held.Reset(CreateFileA(library.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.Valid());
  };
  InstallOldTitle();
  const std::string log = TempFile("undo-points");
  {
    HoldPoints points("commit", log);
    UpdaterProcess process(heldUpdater_, {IDOK, IDOK, IDOK});
    ASSERT_TRUE(points.WaitReached());
    holdLibrary();
    points.Resume();
    process.Finish();
  }
  held.Reset();
  const std::vector<std::string> names = ReadLines(log);
  DeleteFileA(log.c_str());
  const long undo = static_cast<long>(std::find(names.begin(), names.end(), "undo") - names.begin()) + 1;
  ASSERT_LT(undo, static_cast<long>(names.size())) << "the update never turned back";
  for (long point = undo; point <= static_cast<long>(names.size()); ++point) {
    SCOPED_TRACE("undo killed at point " + std::to_string(point) + " (" + names[point - 1] + ")");
    InstallOldTitle();
    EndHeldRunAt("commit," + std::to_string(point), holdLibrary);
    held.Reset();
    ExpectTheNextRunUpdates();
    if (HasFailure()) break;
  }
}

}  // namespace
