// The updater's entry: read the command line, find and verify the
// installation, ask the user, run the work in the progress dialog (or without
// it, silently) and report the outcome. The exit code of an interactive run
// says only whether the installation could be found (1) and verified (2); a
// silent run's tells every outcome apart (base/outcome.h).
#include <windows.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <cstring>

#include "app/progress_dialog.h"
#include "apply/staging.h"
#include "base/command_line.h"
#include "base/install_paths.h"
#include "base/log.h"
#include "base/outcome.h"
#include "base/texts.h"
#include "base/update_state.h"
#include "base/win_util.h"
#include "title/settings.h"
#include "title/title_profile.h"
#include "verify/install_check.h"

namespace {

void RunMessageLoop() {
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0)) {
    if (IsDialogMessageA(gState.dialog, &msg)) {
      WaitMessage();
      continue;
    }
    if (msg.message == WM_QUIT) break;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

// One update of a title at a time, whoever started it: a mutex in the global
// namespace, so that a copy in another session (another signed-in user) is
// kept out too, where the window check sees only its own desktop. Held until
// the process ends; null when another copy has it. One that a copy killed
// left behind (abandoned) is taken over.
HANDLE TakeUpdateMutex() {
  char name[MAX_PATH];
  if (FormatText(name, text::kUpdateMutexFormat, gTitleProfile->makerFolder, gTitleProfile->baseName) < 0)
    return nullptr;
  HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
  if (!mutex) return nullptr;
  const DWORD taken = WaitForSingleObject(mutex, 0);
  if (taken == WAIT_OBJECT_0 || taken == WAIT_ABANDONED) return mutex;
  CloseHandle(mutex);
  return nullptr;
}

// The words after the program's name, as Windows splits its command line.
// The words live as long as this owner does.
class CommandLineWords {
 public:
  CommandLineWords() : words_(CommandLineToArgvW(GetCommandLineW(), &count_)) {}
  ~CommandLineWords() { LocalFree(words_); }
  CommandLineWords(const CommandLineWords&) = delete;
  CommandLineWords& operator=(const CommandLineWords&) = delete;
  int Count() const { return words_ && count_ > 1 ? count_ - 1 : 0; }
  const wchar_t* const* Words() const { return words_ ? words_ + 1 : nullptr; }

 private:
  int count_ = 0;
  wchar_t** words_;
};

// What the log says first: which updater, for which title, run how.
void LogStart(const CommandLine& line) {
  const TitleProfile& title = *gTitleProfile;
  LogStep("updater", "%sUpdate %s (%s), update version %s", title.baseName, UPDATER_PROGRAM_VERSION,
          sizeof(void*) == 8 ? "x64" : "x86", title.updateVersion);
  wchar_t wide[1024];
  WidenText(wide, title.displayTitle);
  LogStepText("title", wide);
  SYSTEMTIME now;
  GetLocalTime(&now);
  LogStep("started", "%04u-%02u-%02u %02u:%02u:%02u (local time)", now.wYear, now.wMonth, now.wDay, now.wHour,
          now.wMinute, now.wSecond);
  LogStepText("command line", GetCommandLineW());
  LogStep("run", "%s%s; texts in %s (Windows display language 0x%04X)",
          line.silent ? "silent" : "interactive", line.force ? ", forced" : "",
          text::gLanguage == text::Language::kEnglish ? "English" : "Japanese", GetUserDefaultUILanguage());
}

// The end of a run: the log's last line and the exit code, which depends on
// the kind of run.
int Finish(Outcome outcome) {
  const OutcomeCodes& codes = CodesOf(outcome);
  const int exitCode = gState.silent ? codes.silent : codes.interactive;
  LogOutcome(codes.name, exitCode);
  CloseLog();
  return exitCode;
}

int RunUpdater(HINSTANCE instance, int showCommand) {
  std::memset(&gState, 0, sizeof gState);
  const TitleProfile& title = *gTitleProfile;
  text::gLanguage = text::LanguageFor(title.offersEnglish, GetUserDefaultUILanguage());
  FormatText(gState.caption, text::kCaptionFormat, title.displayTitle);

  const CommandLineWords words;
  CommandLine line;
  const bool understood = ReadCommandLine(words.Count(), words.Words(), &line);
  gState.silent = line.silent ? 1 : 0;
  // A log that cannot be written is left out; nothing else changes. One that
  // a running copy holds is not replaced.
  wchar_t logPath[MAX_PATH];
  if (line.logPath) {
    OpenLog(line.logPath);
  } else if (DefaultLogPath(title.baseName, logPath)) {
    OpenLog(logPath);
  }
  LogStart(line);
  if (!understood) {
    ShowWideArgumentMessage(nullptr, text::kBadCommandLineFormat, line.unknown, gState.caption,
                            MB_ICONWARNING);
    return Finish(Outcome::kBadCommandLine);
  }

  if (HWND running = FindWindowTitled(gState.caption)) {
    if (!gState.silent) SetFocus(running);
    return Finish(Outcome::kAnotherCopy);
  }
  // From before recovery to the end; released by the system when the process ends.
  if (!TakeUpdateMutex()) return Finish(Outcome::kAnotherCopy);
  gState.instance = instance;
  // A path that fills the whole buffer was cut: no folder is better than a wrong one.
  const DWORD length = GetModuleFileNameA(instance, gState.updaterFolder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    gState.updaterFolder[0] = '\0';
  } else {
    PathRemoveFileSpecA(gState.updaterFolder);
  }

  char message[1024];
  FormatText(message, text::kLocateFailedFormat, title.displayTitle);
  if (!LocateInstallFolder()) {
    ShowMessage(nullptr, message, gState.caption, MB_ICONWARNING);
    return Finish(Outcome::kSettingsNotFound);
  }
  // Everything below works under the install folder's final path. One that
  // cannot be opened fails the check.
  if (ResolveInstallFolder()) LogStepPath("install folder", gState.installFolder, "opened, final path");
  // An update that an earlier run could not finish is finished or undone
  // first, so that the check sees one whole installation. One that cannot be
  // settled now keeps everything as it is, and the player learns what to do.
  const Recovery recovery = RecoverInterruptedUpdate();
  LogStep("recovery", recovery == Recovery::kNothing   ? "no interrupted update"
                      : recovery == Recovery::kSettled ? "an interrupted update was finished or undone"
                                                       : "an interrupted update could not be settled");
  if (recovery == Recovery::kUnsettled) {
    char journal[MAX_PATH];
    ComposeJournalPath(journal);
    ShowPathMessage(nullptr, text::kUnsettledFormat, journal, gState.caption, MB_ICONWARNING);
    return Finish(Outcome::kUnsettled);
  }
  if (!CheckInstallation(gState.installFolder)) {
    ShowMessage(nullptr, text::kInstallationDamaged, gState.caption, MB_ICONWARNING);
    return Finish(Outcome::kDamaged);
  }
  if (IsUpdateApplied()) {
    // A silent run does not redo an applied update unless told to.
    if (gState.silent && !line.force) return Finish(Outcome::kAlreadyApplied);
    if (ShowMessage(nullptr, text::kAlreadyApplied, gState.caption, MB_YESNO | MB_ICONQUESTION) != IDYES) {
      return Finish(Outcome::kDeclined);
    }
  }
  FormatText(message, text::kConfirmFormat, title.displayTitle);
  if (ShowMessage(nullptr, message, gState.caption, MB_OKCANCEL | MB_ICONWARNING) == IDCANCEL) {
    return Finish(Outcome::kDeclined);
  }

  if (gState.silent) {
    gState.success = RunUpdateWork();
  } else {
    // Freed when the updater ends, after the dialog's windows are gone.
    const UniqueModule commonControls(RegisterProgressBarClass());
    gState.dialog = CreateProgressDialog(instance);
    // Without a dialog no quit request would ever be posted: count it as a failed work.
    if (gState.dialog) {
      ShowWindow(gState.dialog, showCommand);
      UpdateWindow(gState.dialog);
      SendMessageA(gState.dialog, UM_RUN_UPDATE, 0, 0);
      RunMessageLoop();
    } else {
      LogFailure("progress dialog", nullptr, GetLastError());
    }
  }

  if (gState.success) {
    ShowMessage(nullptr, text::kUpdateFinished, gState.caption, MB_OK);
    return Finish(Outcome::kUpdated);
  }
  ShowMessage(nullptr, text::kUpdateCancelled, gState.caption, MB_ICONWARNING);
  return Finish(gState.failure);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
  RestrictDllSearch();
  return RunUpdater(instance, showCommand);
}
