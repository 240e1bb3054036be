// The sample title's updater with its payload carried deflated
// (UPDATER_COMPRESS): the same update, byte for byte, and a payload damaged in
// the exe, which ends like a failed write with nothing replaced.
#include "scenario.h"

namespace {

const std::string kDeflatedUpdater = BuildPath(UPDATER_DEFLATED_EXE);

TEST_F(EndToEnd, DeflatedPayloadUpdatesTheSampleInstallation) {
  PrepareInstall(Install::Old);
  WriteSettingsFor(nullptr);
  const UpdaterRun run = RunUpdater(kDeflatedUpdater, {IDOK, IDOK});
  EXPECT_EQ(run.exitCode, 0u);
  ExpectBoxes(run, {Confirm(), Finished()});
  EXPECT_EQ(run.dialog.title, Caption());
  EXPECT_TRUE(InstalledFilesAre("new"));
  EXPECT_EQ(SettingsValue("UPDATE", "NonActivation"), "1");
}

TEST_F(EndToEnd, DamagedDeflatedPayloadFailsLikeAWriteAndReplacesNothing) {
  PrepareInstall(Install::Old);
  WriteSettingsFor(nullptr);
  const Tree before = Snapshot(install_.Path());
  ScratchFolder copy("e2e-deflated-damaged");
  const std::string exe = copy / "TumbleTrainUpdate.exe";
  ASSERT_TRUE(CopyWithDamagedResource(kDeflatedUpdater, exe, "TUMBLETRAIN.EXE", 100000, 16));

  const UpdaterRun run = RunUpdater(exe, {IDOK, IDOK, IDOK});
  EXPECT_EQ(run.exitCode, 0u);
  const std::wstring perFile = L"TumbleTrain.exe - " + Caption() + L" -";
  ExpectBoxes(run, {Confirm(), {FromCp932(text::kWriteFailed), {IDOK}, true, true, perFile}, Cancelled()});
  ExpectTree(Snapshot(install_.Path()), before);
  EXPECT_EQ(SettingsValue("UPDATE", "NonActivation"), "(none)");
}

}  // namespace
