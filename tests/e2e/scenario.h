// What the end-to-end tables share: the sample installation, the settings
// file, and the boxes a run is expected to show.
#pragma once

#include <gtest/gtest.h>

#include <string>
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

inline const std::vector<std::string> kFiles = {"TumbleTrain.exe", "dll\\RESOURCE.dll"};

inline std::wstring Expected(const char* format) {
  char text[1024];
  wsprintfA(text, format, gTitleProfile->displayTitle);
  return FromCp932(text);
}

inline std::wstring Caption() { return Expected(text::kCaptionFormat); }

// What a box must look like: its text, buttons, icon and owner.
struct ExpectedBox {
  std::wstring text;
  std::vector<int> buttons;
  bool icon;
  bool ownedByDialog;
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
  }
}

inline std::string SettingsValue(const char* section, const char* key) {
  char value[256] = {};
  GetPrivateProfileStringA(section, key, "(none)", value, sizeof value, SettingsPath().c_str());
  return value;
}

enum class Install { Old, DamagedProgram, DamagedLibrary, None };

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override { RemoveTree(install_.Path()); }
  void TearDown() override { RemoveSettings(); }

  void PrepareInstall(Install kind) {
    RemoveTree(install_.Path());
    if (kind == Install::None) return;
    CreateDirectoryA(install_.Path().c_str(), nullptr);
    CreateDirectoryA((install_ / "dll").c_str(), nullptr);
    for (const std::string& file : kFiles) {
      std::string from = kSample + "\\old\\" + file;
      ASSERT_TRUE(CopyFileA(from.c_str(), (install_ / file).c_str(), FALSE)) << from;
    }
    if (kind == Install::DamagedProgram || kind == Install::DamagedLibrary) {
      const std::string target = install_ / (kind == Install::DamagedProgram ? kFiles[0] : kFiles[1]);
      std::vector<unsigned char> bytes = ReadBytes(target);
      bytes[bytes.size() / 2] ^= 0x01;
      WriteBytes(target, bytes);
    }
  }

  void WriteSettingsFor(const char* applied) {
    std::string content = "[INSTALL]\r\nInstallFold=" + install_.Path() + "\r\n";
    if (applied) content += std::string("[UPDATE]\r\nNonActivation=") + applied + "\r\n";
    WriteSettings(content);
  }

  bool InstalledFilesAre(const char* variant) {
    for (const std::string& file : kFiles) {
      if (ReadBytes(install_ / file) != ReadBytes(kSample + "\\" + variant + "\\" + file)) return false;
    }
    return true;
  }

  ScratchFolder install_{"e2e-install"};
};
