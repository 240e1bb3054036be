// The demo's driver, a Windows program run under Wine by scripts/demo.
//
//   demo_driver settings MAKER BASENAME INSTALLFOLDER
//       writes <AppData>\MAKER\BASENAME.ini pointing the title at INSTALLFOLDER.
//   demo_driver run UPDATER --report FILE [--auto] [--signals DIR]
//                   [--shot-confirmation] [--shot-progress]
//       runs the updater, records every box it shows and its progress dialog,
//       and writes what was seen to FILE in UTF-8. With --auto the driver
//       answers (OK, or Yes when asked whether to go on); without it the person
//       at the screen does. The --shot options hold the screen still so the
//       script can take a picture: the confirmation box is left open, and the
//       updater's main thread (which does the writing and paints the dialog) is
//       suspended part-way through. Each time the driver writes DIR\NAME.ready
//       and waits for the script's DIR\NAME.done.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "box_recorder.h"
#include "res/resource.h"

namespace {

// Mid-way: the driver aims for the middle and accepts anything in the range.
constexpr int kProgressAim = 50;
constexpr int kProgressLow = 30;
constexpr int kProgressHigh = 80;
constexpr DWORD kShotWaitMs = 60000;
constexpr DWORD kAutoTimeoutMs = 180000;
constexpr DWORD kPersonTimeoutMs = 30 * 60000;

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                    nullptr);
  std::string out(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

bool WriteFileW(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                  written == bytes.size();
  CloseHandle(file);
  return ok;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Window texts of another process come from the server without a message, so
// they can be read even while its thread is suspended.
std::wstring TextOf(HWND window) {
  wchar_t buffer[2048] = {};
  GetWindowTextW(window, buffer, 2048);
  return buffer;
}

std::wstring Trim(const std::wstring& text) {
  const size_t first = text.find_first_not_of(L' ');
  if (first == std::wstring::npos) return {};
  return text.substr(first, text.find_last_not_of(L' ') - first + 1);
}

int PercentOf(const std::wstring& text) {
  const std::wstring trimmed = Trim(text);
  if (trimmed.empty() || !iswdigit(trimmed[0])) return -1;
  return static_cast<int>(std::wcstol(trimmed.c_str(), nullptr, 10));
}

const char* ButtonName(int id) {
  switch (id) {
    case IDOK: return "OK";
    case IDCANCEL: return "Cancel";
    case IDYES: return "Yes";
    case IDNO: return "No";
    case IDABORT: return "Abort";
    case IDRETRY: return "Retry";
    case IDIGNORE: return "Ignore";
    default: return "?";
  }
}

bool HasButton(const BoxRecord& box, int id) {
  return std::find(box.buttons.begin(), box.buttons.end(), id) != box.buttons.end();
}

// Tells the script that the screen is ready for a picture and waits until it is taken.
class ShotSignals {
 public:
  explicit ShotSignals(std::wstring folder) : folder_(std::move(folder)) {}
  bool Enabled() const { return !folder_.empty(); }
  bool Take(const wchar_t* name, const std::string& note) {
    if (!Enabled()) return false;
    const std::wstring done = folder_ + L"\\" + name + L".done";
    DeleteFileW(done.c_str());
    if (!WriteFileW(folder_ + L"\\" + name + L".ready", note + "\n")) return false;
    for (DWORD waited = 0; waited < kShotWaitMs; waited += 20) {
      if (Exists(done)) return true;
      Sleep(20);
    }
    return false;
  }

 private:
  std::wstring folder_;
};

struct Options {
  std::wstring updater;
  std::wstring report;
  std::wstring signals;
  bool automatic = false;
  bool shotConfirmation = false;
  bool shotProgress = false;
};

struct DialogWatch {
  HWND window = nullptr;
  std::vector<std::wstring> titles;  // each distinct title, in order
  std::vector<int> percents;         // each distinct percentage, in order
  int heldAt = -1;                   // percentage shown when the thread was suspended
  bool shot = false;
};

struct WindowSearch {
  DWORD processId;
  HWND found;
};

BOOL CALLBACK FindDialog(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<WindowSearch*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid == search->processId && IsWindowVisible(window) && !IsMessageBoxWindow(window) &&
      GetDlgItem(window, IDC_PERCENT_TEXT)) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

// Follows the progress dialog; with a screenshot wanted, suspends the updater's
// main thread part-way so the dialog stands still for the picture.
void WatchDialog(const PROCESS_INFORMATION& process, const Options& options, ShotSignals& signals,
                 DialogWatch& watch) {
  WindowSearch search{process.dwProcessId, nullptr};
  EnumWindows(FindDialog, reinterpret_cast<LPARAM>(&search));
  if (!search.found) return;
  watch.window = search.found;
  const std::wstring title = TextOf(search.found);
  if (!title.empty() && (watch.titles.empty() || watch.titles.back() != title)) watch.titles.push_back(title);
  const int percent = PercentOf(TextOf(GetDlgItem(search.found, IDC_PERCENT_TEXT)));
  if (percent >= 0 && (watch.percents.empty() || watch.percents.back() != percent)) watch.percents.push_back(percent);
  if (!options.shotProgress || watch.heldAt >= 0 || percent < kProgressAim || percent > kProgressHigh) return;

  SuspendThread(process.hThread);
  // The writer may have moved on between the read and the suspension.
  const int held = PercentOf(TextOf(GetDlgItem(search.found, IDC_PERCENT_TEXT)));
  if (held >= kProgressLow && held <= kProgressHigh) {
    watch.heldAt = held;
    std::string note = "percent " + std::to_string(held) + "\ntitle " + Utf8(TextOf(search.found));
    watch.shot = signals.Take(L"progress", note);
  }
  ResumeThread(process.hThread);
}

void AppendBox(std::string& out, size_t index, const BoxRecord& box, int answer, bool automatic) {
  out += "Box " + std::to_string(index + 1) + "\n";
  out += "  caption: " + Utf8(box.caption) + "\n";
  std::wstring text = box.text;
  std::string lines;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(L'\n', start);
    std::wstring line = text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    lines += (start == 0 ? "  text:    " : "           ") + Utf8(line) + "\n";
    if (end == std::wstring::npos) break;
    start = end + 1;
  }
  out += lines;
  out += "  buttons:";
  for (size_t i = 0; i < box.buttons.size(); ++i) out += std::string(i ? ", " : " ") + ButtonName(box.buttons[i]);
  out += "\n";
  out += std::string("  icon:    ") + (box.hasIcon ? "yes" : "no") + "\n";
  if (automatic) {
    out += std::string("  answer:  ") + ButtonName(answer) + " (by the demo)\n";
  } else {
    out += "  answer:  by you\n";
  }
}

int Run(const Options& options) {
  ShotSignals signals(options.signals);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  std::wstring commandLine = L"\"" + options.updater + L"\"";
  // Suspended until the recorder is watching, so no box can show unseen.
  if (!CreateProcessW(options.updater.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                      nullptr, nullptr, &startup, &process)) {
    WriteFileW(options.report, "Cannot start " + Utf8(options.updater) + ": error " +
                                   std::to_string(GetLastError()) + "\nExit code: none\n");
    return 1;
  }

  // The updater inherits the driver's locale, and with it the ANSI code page.
  std::string report = "Updater: " + Utf8(options.updater) + "\n";
  report += "ANSI code page (driver and updater): " + std::to_string(GetACP()) + "\n";
  // And the display's DPI and language, which Wine takes when each process starts.
  HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  char language[8];
  wsprintfA(language, "%04X", GetUserDefaultUILanguage());
  report += "Display: " + std::to_string(dpi) + " DPI, language 0x" + language + "\n";
  std::vector<int> answers;
  DialogWatch watch;
  bool confirmationShot = false;
  bool timedOut = false;
  {
    BoxRecorder recorder(process.dwProcessId);
    // Every box is held: the driver (or the person) decides the answer.
    for (int i = 0; i < 64; ++i) recorder.QueueAnswers({BoxRecorder::kHold});
    ResumeThread(process.hThread);

    const DWORD start = GetTickCount();
    const DWORD timeout = options.automatic ? kAutoTimeoutMs : kPersonTimeoutMs;
    for (;;) {
      const bool exited = WaitForSingleObject(process.hProcess, 1) == WAIT_OBJECT_0;
      const std::vector<BoxRecord> boxes = recorder.Boxes();
      for (size_t i = answers.size(); i < boxes.size(); ++i) {
        const BoxRecord& box = boxes[i];
        if (!options.automatic) {
          answers.push_back(0);
          continue;
        }
        const bool confirmation = HasButton(box, IDOK) && HasButton(box, IDCANCEL);
        const int answer = HasButton(box, IDYES) ? IDYES : HasButton(box, IDOK) ? IDOK : IDCANCEL;
        if (confirmation && options.shotConfirmation && !confirmationShot) {
          Sleep(500);  // painted and on the screen before the picture
          confirmationShot = signals.Take(L"confirmation", "box " + std::to_string(i + 1));
        }
        answers.push_back(answer);
        recorder.ReleaseHeld(answer);
      }
      WatchDialog(process, options, signals, watch);
      if (exited) break;
      if (GetTickCount() - start > timeout) {
        timedOut = true;
        TerminateProcess(process.hProcess, 99);
        WaitForSingleObject(process.hProcess, 5000);
        break;
      }
    }
    // Boxes seen in the last poll before the exit.
    const std::vector<BoxRecord> boxes = recorder.Boxes();
    for (size_t i = 0; i < boxes.size(); ++i) {
      AppendBox(report, i, boxes[i], i < answers.size() ? answers[i] : 0, options.automatic);
    }
  }

  if (watch.window) {
    report += "Progress dialog\n";
    for (const std::wstring& title : watch.titles) report += "  title:   " + Utf8(title) + "\n";
    // Runs of consecutive values as ranges: a long write shows every step.
    report += "  percentages seen:";
    for (size_t i = 0; i < watch.percents.size();) {
      size_t last = i;
      while (last + 1 < watch.percents.size() && watch.percents[last + 1] == watch.percents[last] + 1) ++last;
      report += (i ? ", " : " ") + std::to_string(watch.percents[i]);
      if (last > i + 1) report += "-" + std::to_string(watch.percents[last]);
      if (last == i + 1) report += "%, " + std::to_string(watch.percents[last]);
      report += "%";
      i = last + 1;
    }
    report += "\n";
    if (options.shotProgress) {
      report += watch.heldAt >= 0 ? "  held at: " + std::to_string(watch.heldAt) + "%" +
                                        (watch.shot ? " (screenshot taken)" : " (no screenshot)") + "\n"
                                  : "  held at: not caught between " + std::to_string(kProgressLow) + "% and " +
                                        std::to_string(kProgressHigh) + "%\n";
    }
  } else {
    report += "Progress dialog: not seen\n";
  }
  if (options.shotConfirmation) {
    report += std::string("Confirmation screenshot: ") + (confirmationShot ? "taken" : "not taken") + "\n";
  }
  DWORD exitCode = 0;
  GetExitCodeProcess(process.hProcess, &exitCode);
  report += timedOut ? "Exit code: none (timed out, ended by the demo)\n" : "Exit code: " + std::to_string(exitCode) + "\n";
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);

  // Written whole under another name first: the script takes the report's presence as the end.
  const std::wstring partial = options.report + L".part";
  if (!WriteFileW(partial, report) ||
      !MoveFileExW(partial.c_str(), options.report.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    return 1;
  }
  return timedOut ? 1 : 0;
}

int WriteSettings(const std::wstring& maker, const std::wstring& baseName, const std::wstring& installFolder) {
  wchar_t appData[MAX_PATH] = {};
  if (!SHGetSpecialFolderPathW(nullptr, appData, CSIDL_APPDATA, TRUE)) {
    std::fprintf(stderr, "no AppData folder\n");
    return 1;
  }
  const std::wstring folder = std::wstring(appData) + L"\\" + maker;
  CreateDirectoryW(folder.c_str(), nullptr);
  const std::wstring path = folder + L"\\" + baseName + L".ini";
  // The title's own settings carry only the install folder until an update records its version.
  if (!WriteFileW(path, "[INSTALL]\r\nInstallFold=" + Utf8(installFolder) + "\r\n")) {
    std::fprintf(stderr, "cannot write %s\n", Utf8(path).c_str());
    return 1;
  }
  std::printf("%s\n", Utf8(path).c_str());
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: demo_driver settings MAKER BASENAME INSTALLFOLDER\n"
               "       demo_driver run UPDATER --report FILE [--auto] [--signals DIR] "
               "[--shot-confirmation] [--shot-progress]\n");
  return 2;
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv || argc < 2) return Usage();
  const std::wstring command = argv[1];
  int result = 2;
  if (command == L"settings" && argc == 5) {
    result = WriteSettings(argv[2], argv[3], argv[4]);
  } else if (command == L"run" && argc >= 3) {
    Options options;
    options.updater = argv[2];
    bool ok = true;
    for (int i = 3; i < argc && ok; ++i) {
      const std::wstring arg = argv[i];
      if (arg == L"--report" && i + 1 < argc) {
        options.report = argv[++i];
      } else if (arg == L"--signals" && i + 1 < argc) {
        options.signals = argv[++i];
      } else if (arg == L"--auto") {
        options.automatic = true;
      } else if (arg == L"--shot-confirmation") {
        options.shotConfirmation = true;
      } else if (arg == L"--shot-progress") {
        options.shotProgress = true;
      } else {
        ok = false;
      }
    }
    result = ok && !options.report.empty() ? Run(options) : Usage();
  } else {
    result = Usage();
  }
  LocalFree(argv);
  return result;
}
