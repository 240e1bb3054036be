#include "driver.h"

#include <commctrl.h>

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

UpdaterProcess::UpdaterProcess(const std::string& exe, std::initializer_list<int> answers) {
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  std::string commandLine = "\"" + exe + "\"";
  // Started suspended so the recorder is watching before the first box can show.
  if (!CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                      nullptr, &startup, &info_)) {
    throw std::runtime_error("cannot start " + exe + ": error " + std::to_string(GetLastError()));
  }
  recorder_ = new BoxRecorder(info_.dwProcessId);
  recorder_->QueueAnswers(answers);
  recorder_->OnOtherWindow([this](HWND window) {
    std::function<void(HWND)> poke;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!dialog_.window) {
        dialog_.window = window;
        dialog_.title = WindowText(window);
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

UpdaterRun RunUpdater(const std::string& exe, std::initializer_list<int> answers) {
  UpdaterProcess process(exe, answers);
  return process.Finish();
}
