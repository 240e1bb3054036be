// Answers and records the message boxes that a process shows, as a user would:
// a watcher thread finds each new box, reads its caption, text, buttons, icon
// and owner, and clicks the answer given for it. Works in process (boxes shown
// by code under test on the test's own thread) and for a child process.
#pragma once

#include <windows.h>

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct BoxRecord {
  std::wstring caption;
  std::wstring text;
  std::vector<int> buttons;  // control ids in window order: IDOK, IDCANCEL, IDYES, IDNO...
  bool hasIcon = false;
  HWND owner = nullptr;
  int answer = 0;
  double seenAt = 0;  // when the recorder first saw it, on the Seconds() clock
};

// A monotonic clock in seconds (QueryPerformanceCounter).
double Seconds();

class BoxRecorder {
 public:
  explicit BoxRecorder(DWORD processId = GetCurrentProcessId());
  ~BoxRecorder();
  BoxRecorder(const BoxRecorder&) = delete;
  BoxRecorder& operator=(const BoxRecorder&) = delete;

  // Answers for the next boxes, in order; once they run out each box gets
  // IDOK when it has that button, otherwise IDNO or IDCANCEL.
  void QueueAnswers(std::initializer_list<int> answers);
  // An answer that records the box but leaves it open until ReleaseHeld.
  static constexpr int kHold = -1;
  // Answers every held box with `answer`.
  void ReleaseHeld(int answer);
  // Called on the watcher thread at every poll with each visible top-level
  // window of the process that is not a message box (the progress dialog).
  void OnOtherWindow(std::function<void(HWND)> callback);

  std::vector<BoxRecord> Boxes() const;
  void Clear();

 private:
  void Run();
  void Poll();

  DWORD processId_;
  mutable std::mutex mutex_;
  std::deque<int> answers_;
  std::vector<BoxRecord> boxes_;
  std::vector<HWND> answered_;
  std::vector<HWND> held_;
  std::function<void(HWND)> other_;
  bool stop_ = false;
  std::thread thread_;
};

// Whether a top-level window is a message box (dialog class with the text control 0xFFFF).
bool IsMessageBoxWindow(HWND window);
// A window of the dialog class: a message box, or the updater's own dialog.
bool IsDialogClassWindow(HWND window);
std::wstring WindowText(HWND window);
// UTF-16 of a code page 932 text, for comparing what a box shows with our texts.
std::wstring FromCp932(const char* text);
// UTF-16 of a text in another code page (a path as a Western system writes it).
std::wstring FromCodePage(const char* text, UINT codePage);
