// The sample title's updater with its payload carried deflated
// (UPDATER_COMPRESS): the same update, byte for byte; and a payload damaged in
// the exe, raw or deflated, which replaces nothing.
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

// A download damaged on its way: one byte changed in a payload file of the
// built updater, raw or deflated, at its first, a middle or its last byte.
// The update fails before anything is replaced, and tells the player to get
// the updater again.
TEST_F(EndToEnd, ByteChangedInAnyPayloadFileFailsAndReplacesNothing) {
  const struct {
    const char* updater;
    std::string exe;
  } updaters[] = {{"raw", kUpdater}, {"deflated", kDeflatedUpdater}};
  ScratchFolder copy("e2e-damaged");
  const std::string exe = copy / "TumbleTrainUpdate.exe";
  for (const auto& updater : updaters) {
    for (const std::string& file : kFiles) {
      const std::string name = file.substr(file.rfind('\\') + 1);
      for (const DWORD at : {DWORD{0}, DWORD{20}, kLastBytes}) {
        SCOPED_TRACE(std::string(updater.updater) + " " + file + " at " + std::to_string(at));
        PrepareInstall(Install::Old);
        WriteSettingsFor(nullptr);
        const Tree before = Snapshot(install_.Path());
        std::string upper = name;
        for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        ASSERT_TRUE(CopyWithDamagedResource(updater.exe, exe, upper.c_str(), at, 1));

        const UpdaterRun run = RunUpdater(exe, {IDOK, IDOK, IDOK});
        EXPECT_EQ(run.exitCode, 0u);
        const std::wstring perFile = FromCp932(file.c_str()) + L" - " + Caption() + L" -";
        ExpectBoxes(
            run, {Confirm(), {FromCp932(text::kPayloadDamaged), {IDOK}, true, true, perFile}, Cancelled()});
        ExpectTree(Snapshot(install_.Path()), before);
        EXPECT_EQ(SettingsValue("UPDATE", "NonActivation"), "(none)");
      }
    }
  }
}

}  // namespace
