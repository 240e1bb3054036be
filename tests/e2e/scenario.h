// What the end-to-end tables share: the sample installation, the settings
// file, and the boxes a run is expected to show.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "base/texts.h"
#include "driver.h"
#include "test_support.h"
#include "title/title_profile.h"

inline const std::string kSample = BuildPath(UPDATER_SAMPLE_DIR);
inline const std::string kUpdater = BuildPath(UPDATER_EXE);
inline const std::string kLargeUpdater = BuildPath(UPDATER_LARGE_EXE);
inline const std::string kMissingUpdater = BuildPath(UPDATER_MISSING_EXE);
inline const std::string kInfoUpdater = BuildPath(UPDATER_INFO_EXE);
inline const std::string kNoDialogUpdater = BuildPath(UPDATER_NO_DIALOG_EXE);
// The sample update carried as patches from release 0.9, and from 0.8 and 0.9.
inline const std::string kPatchedUpdater = BuildPath(UPDATER_PATCHED_EXE);
inline const std::string kPatchedTwoUpdater = BuildPath(UPDATER_PATCHED_TWO_EXE);
inline const std::string kReleases = BuildPath(UPDATER_TEST_RELEASES_DIR);

inline const std::vector<std::string> kFiles = {"TumbleTrain.exe", "dll\\RESOURCE.dll"};

inline std::wstring Expected(const char* format) {
  char text[1024];
  wsprintfA(text, format, gTitleProfile->displayTitle);
  return FromCp932(text);
}

inline std::wstring Caption() { return Expected(text::kCaptionFormat); }

// What a box must look like: its text, buttons, icon and owner, and its
// caption when it is not the updater's own (a per-file caption, say).
struct ExpectedBox {
  std::wstring text;
  std::vector<int> buttons;
  bool icon;
  bool ownedByDialog;
  std::wstring caption = {};
};

inline ExpectedBox Locate() { return {Expected(text::kLocateFailedFormat), {IDOK}, true, false}; }
inline ExpectedBox Damaged() { return {FromCp932(text::kInstallationDamaged), {IDOK}, true, false}; }
inline ExpectedBox Applied() { return {FromCp932(text::kAlreadyApplied), {IDYES, IDNO}, true, false}; }
inline ExpectedBox Confirm() { return {Expected(text::kConfirmFormat), {IDOK, IDCANCEL}, true, false}; }
inline ExpectedBox Finished() { return {FromCp932(text::kUpdateFinished), {IDOK}, false, false}; }
inline ExpectedBox Cancelled() { return {FromCp932(text::kUpdateCancelled), {IDOK}, true, false}; }

inline void ExpectBoxes(const UpdaterRun& run, const std::vector<ExpectedBox>& expected,
                        const std::wstring& caption = Caption()) {
  ASSERT_EQ(run.boxes.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE("box " + std::to_string(i));
    const BoxRecord& box = run.boxes[i];
    EXPECT_EQ(box.text, expected[i].text);
    EXPECT_EQ(box.buttons, expected[i].buttons);
    EXPECT_EQ(box.hasIcon, expected[i].icon);
    if (expected[i].ownedByDialog) {
      EXPECT_NE(box.owner, nullptr);
      EXPECT_EQ(box.owner, run.dialog.window);
    } else {
      EXPECT_EQ(box.owner, nullptr);
      EXPECT_EQ(box.caption, caption);
    }
    if (!expected[i].caption.empty()) {
      EXPECT_EQ(box.caption, expected[i].caption);
    }
  }
}

// A box shown during the work, owned by the progress dialog.
inline ExpectedBox OwnedBy(const char* text) { return {FromCp932(text), {IDOK}, true, true}; }

// A text of ours (code page 932, one %s) with a path as the system names it.
inline std::wstring WithPath(const char* format, const std::string& path) {
  std::wstring text = FromCp932(format);
  wchar_t wide[MAX_PATH] = {};
  MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, MAX_PATH);
  return text.replace(text.find(L"%s"), 2, wide);
}

// The box of a journal that cannot be settled, shown at start-up (no owner)
// or after a failed update (owned by the dialog).
inline ExpectedBox Unsettled(const std::string& journal, bool owned) {
  return {WithPath(text::kUnsettledFormat, journal), {IDOK}, true, owned};
}

// An environment variable for the updaters started while this object lives.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const std::string& value) : name_(name) {
    SetEnvironmentVariableA(name, value.c_str());
  }
  ~ScopedEnvironment() { SetEnvironmentVariableA(name_, nullptr); }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  const char* name_;
};

// A file in the test program's temp folder, removed when the object goes.
inline std::string TempFile(const std::string& name) {
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  const std::string path = std::string(temp) + name + "-" + std::to_string(GetCurrentProcessId()) + ".txt";
  DeleteFileA(path.c_str());
  return path;
}

inline std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The hold points a test build passes in one whole update, by name, in order.
inline std::vector<std::string> HoldPointNames(const std::string& exe) {
  const std::string log = TempFile("hold-points");
  {
    HoldPoints points(0, log);
    const UpdaterRun run = RunUpdater(exe, {IDOK, IDOK});
    EXPECT_EQ(run.boxes.size(), 2u);
  }
  std::vector<std::string> names = ReadLines(log);
  DeleteFileA(log.c_str());
  return names;
}

// The file the marker DLL fixture (tests/windows/fixtures) leaves when its code runs.
inline std::string MarkerPath() {
  char path[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, path);
  return std::string(path) + "record-library-code-ran.txt";
}

// Runs `cleanup` when it goes, however a table's row ends (an ASSERT returns early).
class AtScopeEnd {
 public:
  explicit AtScopeEnd(std::function<void()> cleanup) : cleanup_(std::move(cleanup)) {}
  ~AtScopeEnd() {
    if (cleanup_) cleanup_();
  }
  AtScopeEnd(const AtScopeEnd&) = delete;
  AtScopeEnd& operator=(const AtScopeEnd&) = delete;

 private:
  std::function<void()> cleanup_;
};

inline std::string SettingsValue(const char* section, const char* key) {
  char value[256] = {};
  GetPrivateProfileStringA(section, key, "(none)", value, sizeof value, SettingsPath().c_str());
  return value;
}

// Every expected file whole, and nothing else left behind (no temporary, no
// folder made from a cut path).
inline void ExpectTree(const Tree& after, const Tree& expected) {
  EXPECT_EQ(after.size(), expected.size());
  for (const auto& [path, bytes] : expected) {
    auto found = after.find(path);
    if (found == after.end()) {
      ADD_FAILURE() << path << " is gone";
    } else {
      EXPECT_TRUE(found->second == bytes) << path << " is not whole (" << found->second.size() << " bytes)";
    }
  }
  for (const auto& [path, bytes] : after) {
    EXPECT_TRUE(expected.count(path)) << path << " was left behind";
  }
}

// Whether a table's row could not be set up here (`why` says why): it is
// then reported as skipped.
inline bool SkippedRow(const char* row, const std::string& why) {
  if (!why.empty()) std::printf("skipped row \"%s\": %s\n", row, why.c_str());
  return !why.empty();
}

// Whether `root` is the 3 MiB tmpfs that the ctest fixture maps (tmpfs_drive.sh).
inline bool IsTestTmpfsDrive(const char* root) {
  ULARGE_INTEGER total = {};
  return GetDiskFreeSpaceExA(root, nullptr, &total, nullptr) && total.QuadPart == 3u << 20;
}

enum class Install { Old, DamagedProgram, DamagedLibrary, None };

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override { RemoveTree(install_.Path()); }
  void TearDown() override { RemoveSettings(); }

  void PrepareInstall(Install kind) {
    RemoveTree(install_.Path());
    if (kind == Install::None) return;
    InstallOldAt(install_.Path());
    if (kind == Install::DamagedProgram || kind == Install::DamagedLibrary) {
      const std::string target = install_ / (kind == Install::DamagedProgram ? kFiles[0] : kFiles[1]);
      std::vector<unsigned char> bytes = ReadBytes(target);
      bytes[bytes.size() / 2] ^= 0x01;
      WriteBytes(target, bytes);
    }
  }

  // The files of release `name` (tests/e2e made them) over the installation.
  void InstallRelease(const char* name) {
    PrepareInstall(Install::Old);
    for (const std::string& file : kFiles) {
      const std::string from = kReleases + "\\" + name + "\\" + file;
      ASSERT_TRUE(CopyFileA(from.c_str(), (install_ / file).c_str(), FALSE)) << from;
    }
  }

  // The sample title's older files in `folder`, which is made.
  static void InstallOldAt(const std::string& folder) {
    CreateDirectoryA(folder.c_str(), nullptr);
    CreateDirectoryA((folder + "\\dll").c_str(), nullptr);
    for (const std::string& file : kFiles) {
      std::string from = kSample + "\\old\\" + file;
      ASSERT_TRUE(CopyFileA(from.c_str(), (folder + "\\" + file).c_str(), FALSE)) << from;
    }
  }

  // The settings file naming `folder`, with the applied-update record when given.
  static void WriteSettingsFor(const std::string& folder, const char* applied) {
    std::string content = "[INSTALL]\r\nInstallFold=" + folder + "\r\n";
    if (applied) content += std::string("[UPDATE]\r\nNonActivation=") + applied + "\r\n";
    WriteSettings(content);
  }
  void WriteSettingsFor(const char* applied) { WriteSettingsFor(install_.Path(), applied); }

  // A second updater started while the first one asks its question finds the
  // first by its caption and ends at once, without a window.
  void ExpectSecondUpdaterExitsWhileTheFirstAsks() {
    PrepareInstall(Install::Old);
    WriteSettingsFor(nullptr);
    UpdaterProcess first(kUpdater, {BoxRecorder::kHold});
    for (int i = 0; i < 2000 && first.Recorder().Boxes().empty(); ++i) Sleep(5);
    ASSERT_EQ(first.Recorder().Boxes().size(), 1u) << "the first updater never asked";

    UpdaterProcess second(kUpdater, {});
    const UpdaterRun secondRun = second.Finish(30000);
    EXPECT_FALSE(secondRun.timedOut);
    EXPECT_EQ(secondRun.exitCode, 0u);
    EXPECT_TRUE(secondRun.boxes.empty());
    EXPECT_EQ(secondRun.dialog.window, nullptr);

    first.Recorder().ReleaseHeld(IDCANCEL);
    const UpdaterRun firstRun = first.Finish();
    EXPECT_EQ(firstRun.exitCode, 0u);
    ExpectBoxes(firstRun, {Confirm()});
    EXPECT_TRUE(InstalledFilesAre("old"));
  }

  bool InstalledFilesAre(const char* variant) {
    for (const std::string& file : kFiles) {
      if (ReadBytes(install_ / file) != ReadBytes(kSample + "\\" + variant + "\\" + file)) return false;
    }
    return true;
  }

  ScratchFolder install_{"e2e-install"};
};
