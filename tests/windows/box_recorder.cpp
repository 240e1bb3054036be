#include "box_recorder.h"

#include <algorithm>

namespace {

constexpr int kTextControlId = 0xFFFF;
constexpr int kIconControlId = 1088;

bool HasClass(HWND window, const wchar_t* name) {
  wchar_t cls[64] = {};
  GetClassNameW(window, cls, 64);
  return lstrcmpiW(cls, name) == 0;
}

struct EnumContext {
  DWORD processId;
  std::vector<HWND> windows;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM param) {
  auto* context = reinterpret_cast<EnumContext*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid == context->processId && IsWindowVisible(window)) context->windows.push_back(window);
  return TRUE;
}

BOOL CALLBACK CollectButton(HWND child, LPARAM param) {
  if (HasClass(child, L"Button") && IsWindowVisible(child)) {
    reinterpret_cast<std::vector<int>*>(param)->push_back(GetDlgCtrlID(child));
  }
  return TRUE;
}

}  // namespace

double Seconds() {
  static const double frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / frequency;
}

std::wstring WindowText(HWND window) {
  wchar_t buffer[2048] = {};
  GetWindowTextW(window, buffer, 2048);
  return buffer;
}

std::wstring FromCodePage(const char* text, UINT codePage) {
  const int n = MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
  std::wstring out(n > 0 ? n - 1 : 0, L'\0');
  if (n > 1) MultiByteToWideChar(codePage, 0, text, -1, out.data(), n);
  return out;
}

std::wstring FromCp932(const char* text) { return FromCodePage(text, 932); }

bool IsDialogClassWindow(HWND window) { return HasClass(window, L"#32770"); }

bool IsMessageBoxWindow(HWND window) {
  return IsDialogClassWindow(window) && GetDlgItem(window, kTextControlId) != nullptr;
}

BoxRecorder::BoxRecorder(DWORD processId) : processId_(processId), thread_([this] { Run(); }) {}

BoxRecorder::~BoxRecorder() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  thread_.join();
}

void BoxRecorder::QueueAnswers(std::initializer_list<int> answers) {
  std::lock_guard<std::mutex> lock(mutex_);
  answers_.insert(answers_.end(), answers.begin(), answers.end());
}

void BoxRecorder::OnOtherWindow(std::function<void(HWND)> callback) {
  std::lock_guard<std::mutex> lock(mutex_);
  other_ = std::move(callback);
}

void BoxRecorder::ReleaseHeld(int answer) {
  std::vector<HWND> held;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    held.swap(held_);
  }
  for (HWND window : held) PostMessageW(window, WM_COMMAND, answer, 0);
}

std::vector<BoxRecord> BoxRecorder::Boxes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return boxes_;
}

void BoxRecorder::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  boxes_.clear();
}

void BoxRecorder::Run() {
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_) return;
    }
    Poll();
    Sleep(2);
  }
}

void BoxRecorder::Poll() {
  {
    // Forget boxes that are gone, so a recycled handle is seen as a new box.
    std::lock_guard<std::mutex> lock(mutex_);
    answered_.erase(std::remove_if(answered_.begin(), answered_.end(), [](HWND h) { return !IsWindow(h); }),
                    answered_.end());
  }
  EnumContext context{processId_, {}};
  EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&context));
  for (HWND window : context.windows) {
    if (!IsMessageBoxWindow(window)) {
      std::function<void(HWND)> other;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        other = other_;
      }
      if (other) other(window);
      continue;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (std::find(answered_.begin(), answered_.end(), window) != answered_.end()) continue;
    }
    BoxRecord box;
    box.seenAt = Seconds();
    box.caption = WindowText(window);
    box.text = WindowText(GetDlgItem(window, kTextControlId));
    EnumChildWindows(window, CollectButton, reinterpret_cast<LPARAM>(&box.buttons));
    HWND icon = GetDlgItem(window, kIconControlId);
    box.hasIcon = icon != nullptr && IsWindowVisible(icon) && SendMessageW(icon, STM_GETICON, 0, 0) != 0;
    box.owner = GetWindow(window, GW_OWNER);
    auto has = [&](int id) {
      return std::find(box.buttons.begin(), box.buttons.end(), id) != box.buttons.end();
    };
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!answers_.empty()) {
        box.answer = answers_.front();
        answers_.pop_front();
      } else {
        box.answer = has(IDOK) ? IDOK : has(IDNO) ? IDNO : IDCANCEL;
      }
      answered_.push_back(window);
      boxes_.push_back(box);
      if (box.answer == kHold) {
        held_.push_back(window);
        continue;
      }
    }
    PostMessageW(window, WM_COMMAND, box.answer, 0);
  }
}
