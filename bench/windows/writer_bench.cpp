// Times the payload writer on a 64 MiB payload in the prefix it runs in.
//
// Built twice from this file. The quiet build (UPDATER_BENCH_NO_PROGRESS)
// has neither progress nor message pump: it times the writer against CopyFileA
// of the same bytes, run by run in alternation, each run from a quiet disk.
// Apart from that it times CopyFileA plus a flush, and the writer's steps by
// hand, one by one: with one flush at the end as the writer does, flushed
// behind the writes by a second thread (with what that thread commits), and
// with no flush. The shown build runs the writer as the updater does, with a
// visible progress dialog from template 102, and counts and times what the two
// progress controls are asked to do.
//
// Prints "name value" lines for scripts/bench. Usage: writer_bench_X [runs]
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/progress_dialog.h"
#include "base/update_state.h"
#include "apply/payload_writer.h"
#include "apply/progress.h"
#include "title/title_profile.h"

namespace {

const char* const kPayloadList[] = {"payload.bin", nullptr};
constexpr const char* kResourceName = "PAYLOAD.BIN";

double Now() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

void Print(const char* name, double value) { std::printf("%s %.3f\n", name, value); }

const BYTE* PayloadBytes(DWORD* size) {
  HMODULE self = GetModuleHandleA(nullptr);
  HRSRC found = FindResourceA(self, kResourceName, "bin");
  if (!found) return nullptr;
  *size = SizeofResource(self, found);
  return static_cast<const BYTE*>(LockResource(LoadResource(self, found)));
}

// One timed call of the writer; exits the program if it fails, since a failed
// write has nothing to say about speed.
double TimeWriter() {
  const double start = Now();
  const int result = WritePayload();
  const double seconds = Now() - start;
  if (result != 1) {
    std::fprintf(stderr, "writer_bench: WritePayload failed\n");
    std::exit(1);
  }
  return seconds;
}

#if defined(UPDATER_BENCH_NO_PROGRESS)

double TimeCopy(const std::string& from, const std::string& to) {
  const double start = Now();
  const BOOL copied = CopyFileA(from.c_str(), to.c_str(), FALSE);
  const double seconds = Now() - start;
  if (!copied) {
    std::fprintf(stderr, "writer_bench: CopyFileA failed (%lu)\n", GetLastError());
    std::exit(1);
  }
  return seconds;
}

// Writes a file the benchmark left in memory to the disk, untimed, and waits
// for write-back already under way: each timed run starts with a quiet disk,
// not behind the previous run's leftovers.
void Settle(const std::string& path) {
  HANDLE file =
      CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  FlushFileBuffers(file);
  CloseHandle(file);
}

// CopyFileA followed by a flush of the copy: the copy made as durable as the
// writer makes its file, for comparison.
double TimeDurableCopy(const std::string& from, const std::string& to) {
  const double start = Now();
  TimeCopy(from, to);
  Settle(to);
  return Now() - start;
}

// The writer's steps by hand, each timed: chunked writes from the resource,
// the flush, and the move over the target.
struct Steps {
  double write = 0, flush = 0, move = 0, total = 0;
};

enum class Flush {
  kAtEnd,   // as the writer does: one flush after the last chunk
  kNone,    // what skipping the flush would save (ext4 writes a file renamed
            // over another back at the move anyway)
  kBehind,  // a second thread flushes through its own handle every 4 MiB
            // while the chunks are written: the overlap the writer would need
};

// Private bytes committed in this process: what Windows charges as private.
double PrivateCommitKiB() {
  double bytes = 0;
  MEMORY_BASIC_INFORMATION region;
  const char* address = nullptr;
  while (VirtualQuery(address, &region, sizeof region) == sizeof region) {
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) bytes += region.RegionSize;
    const char* next = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
    if (next <= address) break;
    address = next;
  }
  return bytes / 1024;
}

// The second thread of Flush::kBehind, and what it adds to the private commit.
struct Flusher {
  HANDLE file = INVALID_HANDLE_VALUE;
  HANDLE wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE thread = nullptr;
  volatile LONG busy = 0, stop = 0;
  double commitKiB = 0;

  static DWORD WINAPI Loop(void* parameter) {
    auto* self = static_cast<Flusher*>(parameter);
    for (;;) {
      WaitForSingleObject(self->wake, INFINITE);
      if (self->stop) return 0;
      FlushFileBuffers(self->file);
      InterlockedExchange(&self->busy, 0);
    }
  }
  void Start(const std::string& path) {
    file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    const double before = PrivateCommitKiB();
    thread = CreateThread(nullptr, 64 << 10, Loop, this, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    commitKiB = PrivateCommitKiB() - before;
  }
  void Request() {
    if (InterlockedCompareExchange(&busy, 1, 0) == 0) SetEvent(wake);
  }
  ~Flusher() {
    if (thread) {
      InterlockedExchange(&stop, 1);
      SetEvent(wake);
      WaitForSingleObject(thread, INFINITE);
      CloseHandle(thread);
    }
    CloseHandle(wake);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }
};

Steps TimeSteps(const std::string& folder, const BYTE* bytes, DWORD size, Flush how,
                double* threadCommitKiB = nullptr) {
  Steps steps;
  const std::string temporary = folder + "\\steps.tmp";
  const std::string target = folder + "\\steps.bin";
  HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return steps;
  double start = Now();
  {
    Flusher flusher;
    if (how == Flush::kBehind) flusher.Start(temporary);
    DWORD sinceRequest = 0;
    for (DWORD done = 0; done < size;) {
      DWORD written = 0;
      if (!WriteFile(file, bytes + done, progress::ChunkSize(size - done), &written, nullptr) || written == 0)
        break;
      done += written;
      sinceRequest += written;
      if (how == Flush::kBehind && sinceRequest >= (4u << 20)) {
        flusher.Request();
        sinceRequest = 0;
      }
    }
    steps.write = Now() - start;
    start = Now();
    if (how != Flush::kNone) FlushFileBuffers(file);
    if (threadCommitKiB) *threadCommitKiB = flusher.commitKiB;
  }
  CloseHandle(file);
  steps.flush = Now() - start;
  start = Now();
  MoveFileExA(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  steps.move = Now() - start;
  steps.total = steps.write + steps.flush + steps.move;
  return steps;
}

void Run(const std::string& folder, int runs) {
  DWORD size = 0;
  const BYTE* bytes = PayloadBytes(&size);
  if (!bytes) {
    std::fprintf(stderr, "writer_bench: no payload resource\n");
    std::exit(1);
  }
  // CopyFileA's source: the same bytes, as a file of their own.
  const std::string source = folder + "\\source.bin";
  HANDLE file =
      CreateFileA(source.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  if (file == INVALID_HANDLE_VALUE || !WriteFile(file, bytes, size, &written, nullptr) || written != size) {
    std::fprintf(stderr, "writer_bench: cannot write %s\n", source.c_str());
    std::exit(1);
  }
  CloseHandle(file);
  const std::string copy = folder + "\\copy.bin";

  // Warm-up: the payload's pages and the source file in memory, both targets existing.
  TimeWriter();
  TimeCopy(source, copy);

  // The goal: the writer against CopyFileA, alternating which goes first.
  // Both replace a file of the same size whose blocks are on the disk.
  std::vector<double> writer, copier, ratio;
  for (int i = 0; i < runs; ++i) {
    Settle(copy);
    double w, c;
    if (i % 2 == 0) {
      w = TimeWriter();
      c = TimeCopy(source, copy);
    } else {
      c = TimeCopy(source, copy);
      Settle(copy);
      w = TimeWriter();
    }
    writer.push_back(w * 1000);
    copier.push_back(c * 1000);
    ratio.push_back(w / c);
  }

  // What explains the figure, measured apart so as not to disturb it.
  const std::string steps = folder + "\\steps.bin";
  std::vector<double> durable, durableRatio, write, flush, move, behind, behindTail, threadCommit,
      unflushedMove, unflushed;
  for (int i = 0; i < runs; ++i) {
    const double d = TimeDurableCopy(source, copy);
    durable.push_back(d * 1000);
    durableRatio.push_back(writer[i] / (d * 1000));
    const Steps atEnd = TimeSteps(folder, bytes, size, Flush::kAtEnd);
    write.push_back(atEnd.write * 1000);
    flush.push_back(atEnd.flush * 1000);
    move.push_back(atEnd.move * 1000);
    double commitKiB = 0;
    const Steps overlapped = TimeSteps(folder, bytes, size, Flush::kBehind, &commitKiB);
    behind.push_back(overlapped.total * 1000);
    behindTail.push_back(overlapped.flush * 1000);
    threadCommit.push_back(commitKiB);
    const Steps withoutFlush = TimeSteps(folder, bytes, size, Flush::kNone);
    unflushedMove.push_back(withoutFlush.move * 1000);
    unflushed.push_back(withoutFlush.total * 1000);
    Settle(steps);
  }
  Print("payload_mib", size / 1048576.0);
  Print("runs", runs);
  Print("writer_ms", Median(writer));
  Print("copyfile_ms", Median(copier));
  Print("writer_over_copyfile", Median(ratio));
  Print("copyfile_flush_ms", Median(durable));
  Print("writer_over_copyfile_flush", Median(durableRatio));
  Print("step_write_ms", Median(write));
  Print("step_flush_ms", Median(flush));
  Print("step_move_ms", Median(move));
  Print("behind_total_ms", Median(behind));
  Print("behind_tail_ms", Median(behindTail));
  Print("thread_commit_kib", Median(threadCommit));
  Print("unflushed_move_ms", Median(unflushedMove));
  Print("unflushed_total_ms", Median(unflushed));
  DeleteFileA(source.c_str());
  DeleteFileA(copy.c_str());
  DeleteFileA(steps.c_str());
}

#else

// What the two progress controls were asked to do, and the time spent in
// their window procedures (painting included) during one write.
struct ControlLog {
  WNDPROC textProc = nullptr;
  WNDPROC barProc = nullptr;
  int setText = 0, setPos = 0, paints = 0;
  double seconds = 0;
  int depth = 0;  // a handler may send to the other control: time the outer call only
};
ControlLog gLog;

LRESULT Timed(WNDPROC proc, HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  const bool outer = gLog.depth++ == 0;
  const double start = outer ? Now() : 0;
  const LRESULT result = CallWindowProcA(proc, window, message, wParam, lParam);
  if (outer) gLog.seconds += Now() - start;
  --gLog.depth;
  return result;
}

LRESULT CALLBACK TextProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_SETTEXT) ++gLog.setText;
  if (message == WM_PAINT) ++gLog.paints;
  return Timed(gLog.textProc, window, message, wParam, lParam);
}

LRESULT CALLBACK BarProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == PBM_SETPOS) ++gLog.setPos;
  if (message == WM_PAINT) ++gLog.paints;
  return Timed(gLog.barProc, window, message, wParam, lParam);
}

INT_PTR CALLBACK BenchDialogProc(HWND, UINT message, WPARAM, LPARAM) { return message == WM_INITDIALOG; }

void Drain() {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}

void Run(const std::string&, int runs) {
  DWORD size = 0;
  if (!PayloadBytes(&size)) {
    std::fprintf(stderr, "writer_bench: no payload resource\n");
    std::exit(1);
  }
  RegisterProgressBarClass();
  HWND dialog =
      CreateDialogParamA(gState.instance, MAKEINTRESOURCEA(IDD_PROGRESS), nullptr, BenchDialogProc, 0);
  if (!dialog) {
    std::fprintf(stderr, "writer_bench: no dialog\n");
    std::exit(1);
  }
  gState.dialog = dialog;
  ShowWindow(dialog, SW_SHOW);
  Drain();
  gLog.textProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(
      GetDlgItem(dialog, IDC_PERCENT_TEXT), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(TextProc)));
  gLog.barProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(GetDlgItem(dialog, IDC_PROGRESS_BAR), GWLP_WNDPROC,
                                                             reinterpret_cast<LONG_PTR>(BarProc)));
  TimeWriter();  // warm-up: the payload's pages in memory, the target existing
  Drain();

  std::vector<double> total, controls, setText, setPos, paints;
  for (int i = 0; i < runs; ++i) {
    gLog.setText = gLog.setPos = gLog.paints = 0;
    gLog.seconds = 0;
    total.push_back(TimeWriter() * 1000);
    controls.push_back(gLog.seconds * 1000);
    setText.push_back(gLog.setText);
    setPos.push_back(gLog.setPos);
    paints.push_back(gLog.paints);
    Drain();  // what the last chunks left for the pump, outside the timing
  }
  Print("payload_mib", size / 1048576.0);
  Print("runs", runs);
  Print("chunks", (size + progress::kChunkLimit - 1) / progress::kChunkLimit);
  Print("shown_ms", Median(total));
  Print("controls_ms", Median(controls));
  Print("settext_count", Median(setText));
  Print("setpos_count", Median(setPos));
  Print("paint_count", Median(paints));
  DestroyWindow(dialog);
  Drain();
}

#endif

}  // namespace

extern const TitleProfile kTitleProfile = {"KAZETOU", "Bench", "TumbleTrain", "1", kPayloadList, ""};

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  const std::string folder = std::string(temp) + "writer-bench-" + std::to_string(GetCurrentProcessId());
  CreateDirectoryA(folder.c_str(), nullptr);

  gState.instance = GetModuleHandleA(nullptr);
  lstrcpynA(gState.caption, "Bench - Update Program", sizeof gState.caption);
  lstrcpynA(gState.installFolder, folder.c_str(), MAX_PATH);

  Run(folder, runs);

  DeleteFileA((folder + "\\payload.bin").c_str());
  RemoveDirectoryA(folder.c_str());
  return 0;
}
