// The texts in the player's language: Japanese on a Japanese display, byte for
// byte as they have always been; English on any other display when the title
// offers it; Japanese there when it does not. ctest runs this suite under the
// Japanese locale and once more under the Western one, whose display language
// is English; the updaters started here inherit it.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "base/win_util.h"
#include "scenario.h"
#include "verify/install_check.h"

namespace {

const std::string kEnglishUpdater = BuildPath(UPDATER_ENGLISH_EXE);
const std::string kLargeEnglishUpdater = BuildPath(UPDATER_LARGE_ENGLISH_EXE);

const char* Name(text::Language language) {
  return language == text::Language::kEnglish ? "English" : "Japanese";
}

class Languages : public EndToEnd {};

struct Updater {
  std::string exe;
  std::string large;  // the same title with a 48 MiB payload
  bool offersEnglish;
};

struct Row {
  const char* name;
  std::function<std::function<void()>()> prepare;  // returns its clean-up
  std::vector<int> answers;
  const char* arguments;
  std::function<std::vector<ExpectedBox>()> boxes;
  DWORD exitCode;
  const char* files;  // the sample's "new" or "old" files afterwards; null: not looked at
};

TEST_F(Languages, MainPathsReadInTheLanguageOfTheDisplay) {
  const LANGID display = GetUserDefaultUILanguage();
  std::printf("display language 0x%04X, ANSI code page %u\n", display, GetACP());
  const std::wstring perFile = L"TumbleTrain.exe - " + Caption() + L" -";
  const Row rows[] = {
      {"no settings file",
       [] {
         RemoveSettings();
         return std::function<void()>();
       },
       {},
       "",
       [] { return std::vector<ExpectedBox>{Locate()}; },
       1,
       "old"},
      {"damaged installation",
       [this] {
         PrepareInstall(Install::DamagedProgram);
         return std::function<void()>();
       },
       {},
       "",
       [] { return std::vector<ExpectedBox>{Damaged()}; },
       2,
       nullptr},
      {"already applied, No",
       [this] {
         WriteSettingsFor("1");
         return std::function<void()>();
       },
       {IDNO},
       "",
       [] { return std::vector<ExpectedBox>{Applied()}; },
       0,
       "old"},
      {"cancelled",
       [] { return std::function<void()>(); },
       {IDCANCEL},
       "",
       [] { return std::vector<ExpectedBox>{Confirm()}; },
       0,
       "old"},
      {"updated",
       [] { return std::function<void()>(); },
       {IDOK, IDOK},
       "",
       [] {
         return std::vector<ExpectedBox>{Confirm(), Finished()};
       },
       0,
       "new"},
      {"write failure",
       [this] {
         HANDLE running = CreateFileA((install_ / "TumbleTrain.exe").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
         EXPECT_NE(running, INVALID_HANDLE_VALUE);
         return std::function<void()>([running] { CloseHandle(running); });
       },
       {IDOK, IDOK, IDOK},
       "",
       [perFile] {
         return std::vector<ExpectedBox>{
             Confirm(), {FromCp932(text::kWriteCannotCreate), {IDOK}, true, true, perFile}, Cancelled()};
       },
       0,
       "old"},
      {"unknown switch",
       [] { return std::function<void()>(); },
       {},
       "/bogus",
       [] {
         return std::vector<ExpectedBox>{
             {WithPath(text::kBadCommandLineFormat, "/bogus"), {IDOK}, true, false}};
       },
       10,
       "old"},
  };
  const Updater updaters[] = {{kUpdater, kLargeUpdater, false},
                              {kEnglishUpdater, kLargeEnglishUpdater, true}};
  for (const Updater& updater : updaters) {
    // English only where it is offered and the display is not in Japanese (primary language 0x11).
    const text::Language language = updater.offersEnglish && PRIMARYLANGID(display) != LANG_JAPANESE
                                        ? text::Language::kEnglish
                                        : text::Language::kJapanese;
    SCOPED_TRACE(std::string(updater.offersEnglish ? "Japanese and English offered" : "Japanese only") +
                 ", expecting " + Name(language));
    const InLanguage in(language);
    for (const Row& row : rows) {
      SCOPED_TRACE(row.name);
      PrepareInstall(Install::Old);
      WriteSettingsFor(nullptr);
      const AtScopeEnd cleanup(row.prepare());
      UpdaterProcess process(updater.exe, {}, row.arguments);
      for (int answer : row.answers) process.Recorder().QueueAnswers({answer});
      const UpdaterRun run = process.Finish();
      ASSERT_FALSE(run.timedOut);
      EXPECT_EQ(run.exitCode, row.exitCode);
      ExpectBoxes(run, row.boxes());
      if (row.files) {
        EXPECT_TRUE(InstalledFilesAre(row.files));
      }
    }

    // The progress dialog, long enough on screen to be read: its status text
    // comes from the template in the same language as the boxes.
    PrepareInstall(Install::Old);
    WriteSettingsFor(nullptr);
    const UpdaterRun run = RunUpdater(updater.large, {IDOK, IDOK});
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 0u);
    ExpectBoxes(run, {Confirm(), Finished()});
    ASSERT_NE(run.dialog.window, nullptr) << "the progress dialog was never seen";
    EXPECT_EQ(run.dialog.title, Caption());
    EXPECT_EQ(run.dialog.status, language == text::Language::kEnglish ? L"Updating, please wait..."
                                                                      : L"アップデートを行っています。");
  }
}

}  // namespace
