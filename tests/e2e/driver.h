// Runs a built updater as a user would: starts it, answers and records its
// message boxes, watches its progress dialog, and collects the exit code.
#pragma once

#include <windows.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "box_recorder.h"

struct DialogSeen {
  HWND window = nullptr;
  std::wstring title;
  std::wstring status;                 // the text above the bar (control 1010)
  std::vector<std::wstring> percents;  // each distinct text of control 1009, in order
  std::vector<int> positions;          // each distinct bar position, in order
};

struct UpdaterRun {
  double startedAt = 0;  // when the process was let run, on the Seconds() clock
  DWORD exitCode = STILL_ACTIVE;
  bool timedOut = false;
  std::vector<BoxRecord> boxes;
  DialogSeen dialog;
};

// A running updater with its box recorder; for scenarios that act while it runs.
class UpdaterProcess {
 public:
  // `arguments` follow the program's name on its command line.
  UpdaterProcess(const std::string& exe, std::initializer_list<int> answers,
                 const std::string& arguments = "");
  ~UpdaterProcess();
  // Called once on the watcher thread when the progress dialog first shows.
  void OnDialog(std::function<void(HWND)> poke);
  BoxRecorder& Recorder() { return *recorder_; }
  DWORD ProcessId() const { return info_.dwProcessId; }
  // Ends it at once, as the task manager does: it gets no chance to clean up.
  void Kill();
  // Waits for the end (terminating a hung updater) and gathers what was seen.
  UpdaterRun Finish(DWORD timeoutMs = 120000);

 private:
  PROCESS_INFORMATION info_ = {};
  double startedAt_ = 0;
  BoxRecorder* recorder_ = nullptr;
  DialogSeen dialog_;
  std::function<void(HWND)> poke_;
  bool poked_ = false;
  std::mutex mutex_;
};

UpdaterRun RunUpdater(const std::string& exe, std::initializer_list<int> answers,
                      const std::string& arguments = "");

// Whether any top-level window of the process exists (visible or not).
bool ProcessHasWindow(DWORD processId);

// The environment of a test build of the updater (tests/e2e/hold_point.cpp)
// started while this object lives: it logs its hold points to `log` when that
// is given, and stops at the `at`-th (from 1; 0: never) until Resume. Or at
// each point that `at` lists ("commit,move#2": by name, or by number), one
// after the other: WaitReached and Resume for each.
class HoldPoints {
 public:
  explicit HoldPoints(long at, const std::string& log = "");
  explicit HoldPoints(const std::string& at, const std::string& log = "");
  ~HoldPoints();
  HoldPoints(const HoldPoints&) = delete;
  HoldPoints& operator=(const HoldPoints&) = delete;
  // True once the updater stands at the point; false after the timeout.
  bool WaitReached(DWORD timeoutMs = 60000);
  void Resume();

 private:
  HANDLE reached_ = nullptr;
  HANDLE resume_ = nullptr;
};

// Runs the maker's tool (a host program, through Wine) as
// "recordlib verify <folder>\dll\RESOURCE.dll --install <folder> --main <main>";
// true when it exits with 0. Its output goes to `report`.
bool RecordlibVerifies(const std::string& installFolder, const std::string& mainProgram, std::string* report);
