#include "driver.h"

#include <commctrl.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "res/resource.h"

namespace {

std::wstring DialogItemText(HWND dialog, int id) {
  wchar_t buffer[64] = {};
  GetDlgItemTextW(dialog, id, buffer, 64);
  return buffer;
}

struct WindowSearch {
  DWORD processId;
  bool found;
};

BOOL CALLBACK FindProcessWindow(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<WindowSearch*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid == search->processId) {
    search->found = true;
    return FALSE;
  }
  return TRUE;
}

}  // namespace

bool ProcessHasWindow(DWORD processId) {
  WindowSearch search{processId, false};
  EnumWindows(FindProcessWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

UpdaterProcess::UpdaterProcess(const std::string& exe, std::initializer_list<int> answers,
                               const std::string& arguments) {
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  std::string commandLine = "\"" + exe + "\"";
  if (!arguments.empty()) commandLine += " " + arguments;
  // Started suspended so the recorder is watching before the first box can show.
  // Under Wine, a new process whose Unix side ends before it has set itself
  // up fails CreateProcess with ERROR_INTERNAL_ERROR: none of its code ran, so
  // it is started again, a few times at most.
  for (int attempt = 1;; ++attempt) {
    if (CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                       nullptr, &startup, &info_)) {
      break;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_INTERNAL_ERROR || attempt == 3) {
      throw std::runtime_error("cannot start " + exe + ": error " + std::to_string(error));
    }
    std::fprintf(stderr, "driver: %s did not start (error %lu); starting it again\n", exe.c_str(), error);
  }
  recorder_ = new BoxRecorder(info_.dwProcessId);
  recorder_->QueueAnswers(answers);
  recorder_->OnOtherWindow([this](HWND window) {
    std::function<void(HWND)> poke;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!dialog_.window) {
        // A message box being taken down can be seen for a moment without its
        // text, and its handle may then go to the progress dialog: a dialog
        // without the bar is not the progress dialog.
        if (IsDialogClassWindow(window) && !GetDlgItem(window, IDC_PROGRESS_BAR)) return;
        dialog_.window = window;
        dialog_.title = WindowText(window);
        dialog_.status = DialogItemText(window, IDC_STATUS_TEXT);
      }
      if (window != dialog_.window) return;
      const std::wstring percent = DialogItemText(window, IDC_PERCENT_TEXT);
      if (!percent.empty() && (dialog_.percents.empty() || dialog_.percents.back() != percent)) {
        dialog_.percents.push_back(percent);
      }
      // A dialog being destroyed answers 0 for its controls: read only a live bar.
      HWND bar = GetDlgItem(window, IDC_PROGRESS_BAR);
      const int position = bar ? static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0)) : -1;
      if (bar && IsWindow(bar) && (dialog_.positions.empty() || dialog_.positions.back() != position)) {
        dialog_.positions.push_back(position);
      }
      if (!poked_ && poke_) {
        poked_ = true;
        poke = poke_;
      }
    }
    if (poke) poke(window);
  });
  startedAt_ = Seconds();
  ResumeThread(info_.hThread);
}

UpdaterProcess::~UpdaterProcess() {
  if (info_.hProcess) {
    if (WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(info_.hProcess, 99);
    CloseHandle(info_.hProcess);
    CloseHandle(info_.hThread);
  }
  delete recorder_;
}

void UpdaterProcess::OnDialog(std::function<void(HWND)> poke) {
  std::lock_guard<std::mutex> lock(mutex_);
  poke_ = std::move(poke);
}

UpdaterRun UpdaterProcess::Finish(DWORD timeoutMs) {
  UpdaterRun run;
  run.startedAt = startedAt_;
  if (WaitForSingleObject(info_.hProcess, timeoutMs) == WAIT_TIMEOUT) {
    run.timedOut = true;
    TerminateProcess(info_.hProcess, 99);
    WaitForSingleObject(info_.hProcess, 5000);
  }
  GetExitCodeProcess(info_.hProcess, &run.exitCode);
  run.boxes = recorder_->Boxes();
  std::lock_guard<std::mutex> lock(mutex_);
  run.dialog = dialog_;
  return run;
}

void UpdaterProcess::Kill() {
  TerminateProcess(info_.hProcess, 1);
  WaitForSingleObject(info_.hProcess, 10000);
}

namespace {

std::string HoldTag() { return std::to_string(GetCurrentProcessId()); }

}  // namespace

HoldPoints::HoldPoints(long at, const std::string& log) : HoldPoints(std::to_string(at), log) {}

HoldPoints::HoldPoints(const std::string& at, const std::string& log) {
  // Both reset themselves once taken: one Resume lets the updater past one point.
  reached_ = CreateEventA(nullptr, FALSE, FALSE, ("updater-hold-reached-" + HoldTag()).c_str());
  resume_ = CreateEventA(nullptr, FALSE, FALSE, ("updater-hold-resume-" + HoldTag()).c_str());
  SetEnvironmentVariableA("UPDATER_HOLD_TAG", HoldTag().c_str());
  SetEnvironmentVariableA("UPDATER_HOLD_AT", at.c_str());
  SetEnvironmentVariableA("UPDATER_HOLD_LOG", log.empty() ? nullptr : log.c_str());
}

HoldPoints::~HoldPoints() {
  for (const char* name : {"UPDATER_HOLD_TAG", "UPDATER_HOLD_AT", "UPDATER_HOLD_LOG"}) {
    SetEnvironmentVariableA(name, nullptr);
  }
  CloseHandle(reached_);
  CloseHandle(resume_);
}

bool HoldPoints::WaitReached(DWORD timeoutMs) {
  return WaitForSingleObject(reached_, timeoutMs) == WAIT_OBJECT_0;
}

void HoldPoints::Resume() { SetEvent(resume_); }

namespace {

// The host path of a file that Wine shows as `windowsPath`.
std::string UnixPath(const std::string& windowsPath) {
  using ToUnix = char*(CDECL*)(const WCHAR*);
  const auto toUnix = reinterpret_cast<ToUnix>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
  if (!toUnix) return "";
  wchar_t wide[MAX_PATH] = {};
  MultiByteToWideChar(CP_ACP, 0, windowsPath.c_str(), -1, wide, MAX_PATH);
  char* unix = toUnix(wide);
  const std::string result = unix ? unix : "";
  HeapFree(GetProcessHeap(), 0, unix);
  return result;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

bool RecordlibVerifies(const std::string& installFolder, const std::string& mainProgram,
                       std::string* report) {
  const std::string folder = UnixPath(installFolder);
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  const std::string base = std::string(temp) + "recordlib-" + std::to_string(GetCurrentProcessId());
  const std::string output = base + ".out";
  const std::string done = base + ".rc";
  DeleteFileA(done.c_str());
  // Wine starts host programs but does not hand back their exit code: the
  // shell writes it to a file, renamed into place once whole.
  std::string command = "Z:\\bin\\sh -c \"'" UPDATER_RECORDLIB "' verify '" + folder +
                        "/dll/RESOURCE.dll' --install '" + folder + "' --main '" + mainProgram + "' >'" +
                        UnixPath(output) + "' 2>&1; echo $? >'" + UnixPath(base) + ".tmp' && mv '" +
                        UnixPath(base) + ".tmp' '" + UnixPath(done) + "'\"";
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (folder.empty() || !CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                        &startup, &info)) {
    *report = "cannot start recordlib";
    return false;
  }
  CloseHandle(info.hProcess);
  CloseHandle(info.hThread);
  for (int i = 0; i < 3000 && GetFileAttributesA(done.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(10);
  *report = ReadAll(output);
  const std::string code = ReadAll(done);
  DeleteFileA(output.c_str());
  DeleteFileA(done.c_str());
  return code == "0\n";
}

UpdaterRun RunUpdater(const std::string& exe, std::initializer_list<int> answers,
                      const std::string& arguments) {
  UpdaterProcess process(exe, answers, arguments);
  return process.Finish();
}
