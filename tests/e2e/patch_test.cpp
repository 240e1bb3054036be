// The sample update carried as patches from the releases players may have:
// made from the installed file that matches, refused with the release it
// needs when none does, and failed like any damaged payload when a patch is.
#include "scenario.h"
#include "verify/install_check.h"

namespace {

// Whether the updater `exe` carries resource `name` of `type`.
bool Carries(const std::string& exe, const char* name, const char* type) {
  HMODULE view = LoadLibraryExA(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!view) return false;
  const bool found = FindResourceA(view, name, type) != nullptr;
  FreeLibrary(view);
  return found;
}

// A box of the work about one entry: owned by the dialog, the entry in its caption.
ExpectedBox EntryBox(const std::wstring& text, const char* entry) {
  return {text, {IDOK}, true, true, FromCp932(entry) + L" - " + Caption() + L" -"};
}

ExpectedBox CannotPatch(const char* entry, const char* releases) {
  char text[1024];
  wsprintfA(text, text::kCannotPatchFormat, releases);
  return EntryBox(FromCp932(text), entry);
}

// The releases' updaters carry the main program only as patches (smaller
// than it), so an update that works made it from the installed file.
TEST_F(EndToEnd, PatchesUpdateTheReleasesTheyAreMadeFrom) {
  const struct {
    const char* release;
    std::string exe;
  } rows[] = {{"0.9", kPatchedUpdater}, {"0.9", kPatchedTwoUpdater}, {"0.8", kPatchedTwoUpdater}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.exe + " over " + row.release);
    ASSERT_TRUE(Carries(row.exe, "TUMBLETRAIN.EXE", "BINPATCH"));
    ASSERT_FALSE(Carries(row.exe, "TUMBLETRAIN.EXE", "bin"));
    InstallRelease(row.release);
    WriteSettingsFor(nullptr);
    const UpdaterRun run = RunUpdater(row.exe, {IDOK, IDOK});
    EXPECT_EQ(run.exitCode, 0u);
    ExpectBoxes(run, {Confirm(), Finished()});
    EXPECT_TRUE(InstalledFilesAre("new"));
    EXPECT_EQ(CheckInstallation(install_.Path().c_str()), 1);
    EXPECT_EQ(SettingsValue("UPDATE", "NonActivation"), "1");
  }
}

// A player with a release the update has no patch from: told which release it
// needs, before anything is written.
TEST_F(EndToEnd, AnotherReleaseIsRefusedWithTheReleaseItNeeds) {
  InstallRelease("0.8");
  WriteSettingsFor("0.5");
  const Tree before = Snapshot(install_.Path());
  const UpdaterRun run = RunUpdater(kPatchedUpdater, {IDOK, IDOK, IDOK});
  EXPECT_EQ(run.exitCode, 0u);
  ExpectBoxes(run, {Confirm(), CannotPatch("TumbleTrain.exe", "0.9"), Cancelled()});
  ExpectTree(Snapshot(install_.Path()), before);
  EXPECT_EQ(SettingsValue("UPDATE", "NonActivation"), "0.5");
}

// The title is running: the file a patch is made from can be read, not replaced.
TEST_F(EndToEnd, PatchedFileHeldOpenFailsAndKeepsEverything) {
  InstallRelease("0.9");
  WriteSettingsFor("0.5");
  const Tree before = Snapshot(install_.Path());
  HANDLE running = CreateFileA((install_ / "TumbleTrain.exe").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(running, INVALID_HANDLE_VALUE);
  const UpdaterRun run = RunUpdater(kPatchedUpdater, {IDOK, IDOK, IDOK});
  CloseHandle(running);
  EXPECT_EQ(run.exitCode, 0u);
  ExpectBoxes(run,
              {Confirm(), EntryBox(FromCp932(text::kWriteCannotCreate), "TumbleTrain.exe"), Cancelled()});
  ExpectTree(Snapshot(install_.Path()), before);
  EXPECT_EQ(SettingsValue("UPDATE", "NonActivation"), "0.5");
}

// A download damaged on its way: one byte of a patch set changed in the built
// updater, in its header, its table, a patch's header or its stream. The
// update fails before anything is replaced, as for a damaged whole file.
TEST_F(EndToEnd, ByteChangedInAPatchFailsAndReplacesNothing) {
  ScratchFolder copy("e2e-damaged-patch");
  const std::string exe = copy / "TumbleTrainUpdate.exe";
  for (const DWORD at : {DWORD{0}, DWORD{12}, DWORD{40}, DWORD{200}, kLastBytes}) {
    SCOPED_TRACE("byte " + std::to_string(at));
    InstallRelease("0.9");
    WriteSettingsFor(nullptr);
    const Tree before = Snapshot(install_.Path());
    ASSERT_TRUE(CopyWithDamagedResource(kPatchedTwoUpdater, exe, "TUMBLETRAIN.EXE", at, 1, "BINPATCH"));
    const UpdaterRun run = RunUpdater(exe, {IDOK, IDOK, IDOK});
    EXPECT_EQ(run.exitCode, 0u);
    ExpectBoxes(run, {Confirm(), EntryBox(FromCp932(text::kPayloadDamaged), "TumbleTrain.exe"), Cancelled()});
    ExpectTree(Snapshot(install_.Path()), before);
    EXPECT_EQ(SettingsValue("UPDATE", "NonActivation"), "(none)");
  }
}

}  // namespace
