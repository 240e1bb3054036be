// The built updaters under a Western ANSI code page (1252), as a player on an
// English or European Windows, or under Wine with its default locale, runs
// them. ctest starts this suite under LC_ALL=C.UTF-8, and the updaters it
// starts inherit the code page. Every box text and caption, and the dialog's
// title, read back as UTF-16, must be the Japanese text.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "scenario.h"

namespace {

constexpr UINT kWestern = 1252;

std::wstring FromWestern(const std::string& text) { return FromCodePage(text.c_str(), kWestern); }

// An install folder whose name is Western, not Japanese: "Übersicht" in code
// page 1252. Read as code page 932, its first byte would be a katakana.
const std::string kUmlaut =
    "\xDC"
    "bersicht";

class WesternCodePage : public EndToEnd {
 protected:
  void SetUp() override {
    ASSERT_EQ(GetACP(), kWestern) << "this suite runs under LC_ALL=C.UTF-8 (its ctest entry sets it)";
    EndToEnd::SetUp();
  }
};

struct Prepared {
  std::string exe;                // empty: the sample title's updater
  std::vector<ExpectedBox> work;  // the boxes between the confirmation and the final report
  std::function<void()> cleanup;
  std::string skip;  // non-empty: the row cannot be set up here
};

struct Row {
  const char* name;
  std::function<Prepared()> prepare;
  std::vector<int> answers;
  std::vector<ExpectedBox> boxes;  // a row's work boxes go before its last box
  DWORD exitCode;
  const char* record;    // NonActivation afterwards
  bool dialog;           // the progress dialog must have been seen
  bool updated = false;  // the sample title's new files are in place afterwards
};

TEST_F(WesternCodePage, MainPathsShowTheJapaneseTexts) {
  const std::wstring perFile = L"TumbleTrain.exe - " + Caption() + L" -";
  const Row rows[] = {
      {"no settings file",
       [] {
         RemoveSettings();
         return Prepared{};
       },
       {},
       {Locate()},
       1,
       "(none)",
       false},
      {"damaged installation",
       [this] {
         PrepareInstall(Install::DamagedProgram);
         return Prepared{};
       },
       {},
       {Damaged()},
       2,
       "(none)",
       false},
      {"already applied, No",
       [this] {
         WriteSettingsFor("1");
         return Prepared{};
       },
       {IDNO},
       {Applied()},
       0,
       "1",
       false},
      {"confirmation cancelled", [] { return Prepared{}; }, {IDCANCEL}, {Confirm()}, 0, "(none)", false},
      {"updated", [] { return Prepared{}; }, {IDOK, IDOK}, {Confirm(), Finished()}, 0, "1", false, true},
      // Long enough that the dialog's title and percentages are surely seen.
      {"updated with a 48 MiB payload",
       [] {
         Prepared prepared;
         prepared.exe = kLargeUpdater;
         return prepared;
       },
       {IDOK, IDOK},
       {Confirm(), Finished()},
       0,
       "1",
       true},
      {"write failure",
       [this, perFile] {
         HANDLE running = CreateFileA((install_ / "TumbleTrain.exe").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
         EXPECT_NE(running, INVALID_HANDLE_VALUE);
         Prepared prepared;
         prepared.work = {{FromCp932(text::kWriteCannotCreate), {IDOK}, true, true, perFile}};
         prepared.cleanup = [running] { CloseHandle(running); };
         return prepared;
       },
       {IDOK, IDOK, IDOK},
       {Confirm(), Cancelled()},
       0,
       "(none)",
       false},
      // A folder that passes the check but names no drive letter.
      {"install location without a drive letter",
       [this] {
         const std::string folder = "\\\\?\\" + install_.Path();
         WriteSettingsFor(folder, nullptr);
         Prepared prepared;
         prepared.work = {
             {L"インストール先に問題があります。\n " + FromWestern(folder), {IDOK}, true, false}};
         return prepared;
       },
       {IDOK, IDOK, IDOK},
       {Confirm(), Cancelled()},
       0,
       "(none)",
       false},
      // The 48 MiB payload on the 3 MiB drive, in a folder with a Western name.
      {"free space",
       [] {
         Prepared prepared;
         prepared.exe = kLargeUpdater;
         if (!IsTestTmpfsDrive("U:\\")) {
           prepared.skip = "drive U: is not the 3 MiB tmpfs of tmpfs_drive.sh";
           return prepared;
         }
         const std::string folder = "U:\\" + kUmlaut;
         InstallOldAt(folder);
         WriteSettingsFor(folder, nullptr);
         ULARGE_INTEGER total = {}, free = {};
         GetDiskFreeSpaceExA("U:\\", nullptr, &total, &free);
         // 48 MiB and a library of a few KiB require 48 MiB, shown plus one.
         const std::wstring numbers = L" \n[" + std::to_wstring(free.QuadPart >> 20) + L" / " +
                                      std::to_wstring(total.QuadPart >> 20) + L"] \n必要容量 : 49";
         prepared.work = {
             {L"インストール先の容量が足りません。\n確認して下さい。 \n" + FromWestern(folder) + numbers,
              {IDOK},
              true,
              false}};
         prepared.cleanup = [folder] { RemoveTree(folder); };
         return prepared;
       },
       {IDOK, IDOK, IDOK},
       {Confirm(), Cancelled()},
       0,
       "(none)",
       false},
  };

  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    PrepareInstall(Install::Old);
    WriteSettingsFor(nullptr);
    Prepared prepared = row.prepare();
    const AtScopeEnd release(prepared.cleanup);
    if (!prepared.skip.empty()) {
      std::printf("skipped row \"%s\": %s\n", row.name, prepared.skip.c_str());
      continue;
    }
    std::vector<ExpectedBox> boxes = row.boxes;
    boxes.insert(boxes.end() - 1, prepared.work.begin(), prepared.work.end());

    UpdaterProcess process(prepared.exe.empty() ? kUpdater : prepared.exe, {});
    for (int answer : row.answers) process.Recorder().QueueAnswers({answer});
    const UpdaterRun run = process.Finish();
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, row.exitCode);
    ExpectBoxes(run, boxes);
    EXPECT_EQ(SettingsValue("UPDATE", "NonActivation"), row.record);
    if (row.dialog) {
      EXPECT_EQ(run.dialog.title, Caption());
      // The watcher polls, so it may miss the last text before the dialog
      // closes: every text it saw reads as a percentage.
      ASSERT_FALSE(run.dialog.percents.empty());
      for (const std::wstring& percent : run.dialog.percents) {
        EXPECT_EQ(percent.size(), 4u) << percent;
        EXPECT_EQ(percent.back(), L'%') << percent;
      }
    }
    if (row.updated) {
      EXPECT_TRUE(InstalledFilesAre("new"));
    }
  }
}

// The running updater's caption is found whatever the code page.
TEST_F(WesternCodePage, SecondUpdaterExitsAtOnceWhileTheFirstAsks) {
  ExpectSecondUpdaterExitsWhileTheFirstAsks();
}

}  // namespace
