// Times the payload writer on a 64 MiB payload of eight files in the prefix it
// runs in.
//
// Built twice from this file. The quiet build (UPDATER_BENCH_NO_PROGRESS) has
// neither progress nor message pump: it times the writer (staging, commit and
// clean-up) against a durable copy of the same bytes, CopyFileA of each file
// followed by a flush of the copy, run by run in alternation, each run from a
// quiet disk. Its hold points time the commit phase alone. Plain CopyFileA,
// which leaves the copy in the page cache, is timed for comparison. The shown
// build runs the writer as the updater does, with a visible progress dialog
// from template 102, and counts and times what the two progress controls are
// asked to do.
//
// Prints "name value" lines for scripts/bench. Usage: writer_bench_X [runs [cold]]
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/progress_dialog.h"
#include "base/update_state.h"
#include "apply/payload_writer.h"
#include "apply/progress.h"
#include "apply/staging.h"
#include "title/title_profile.h"

namespace {

// Eight files of 8 MiB: resources "PAYLOAD1.BIN" to "PAYLOAD8.BIN".
constexpr int kFiles = 8;
const char* const kPayloadList[] = {"payload1.bin", "payload2.bin", "payload3.bin", "payload4.bin",
                                    "payload5.bin", "payload6.bin", "payload7.bin", "payload8.bin", nullptr};

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

const BYTE* PayloadBytes(int file, DWORD* size) {
  HMODULE self = GetModuleHandleA(nullptr);
  HRSRC found = FindResourceA(self, kPayloadList[file], "bin");
  if (!found) return nullptr;
  *size = SizeofResource(self, found);
  return static_cast<const BYTE*>(LockResource(LoadResource(self, found)));
}

// A virtual machine may give its free memory back to the host, which then
// takes a fault at the first touch of each page again. The writer needs fresh
// pages for its staged files while the old files still hold theirs; the copy
// truncates its target and takes back the pages it just freed. On such a
// machine the writer's first run after memory went back (a new Wine prefix, a
// build) was 2-4x slower in making its bytes. Before each timed run a 256 MiB
// scratch file is written and deleted, so that both sides take memory that is
// there. "cold" as the second argument leaves that out.
std::string gWarmFile;  // in the folder the runs write to; empty when cold

void WarmMemory() {
  if (gWarmFile.empty()) return;
  static char block[1 << 20];
  HANDLE file = CreateFileA(gWarmFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  for (int i = 0; i < 256; ++i) WriteFile(file, block, sizeof block, &written, nullptr);
  CloseHandle(file);
}

// One timed call of the writer; exits the program if it fails, since a failed
// write has nothing to say about speed.
double gWriterStart = 0;  // when the last timed writer run began

double TimeWriter() {
  const double start = gWriterStart = Now();
  const int result = WritePayload();
  const double seconds = Now() - start;
  if (result != 1) {
    std::fprintf(stderr, "writer_bench: WritePayload failed\n");
    std::exit(1);
  }
  return seconds;
}

#if defined(UPDATER_BENCH_NO_PROGRESS)

// When the writer passed its hold points in the last run: the journal written,
// the last file staged, the commit record, the last replacement, the end of
// the clean-up. Within staging, the time spent making each file's bytes (from
// the end of the file before to its last chunk) and the time spent waiting for
// the flush of the file before (from the last chunk to the file handed over),
// summed over the files, and the wait for the last flush: a slow run says which.
struct CommitClock {
  double journal = 0;
  double staged = 0;
  double committed = 0;
  double replaced = 0;
  double cleaned = 0;
  double lastChunk = 0;
  double making = 0;
  double waiting = 0;
  double lastWait = 0;
  double slowestFile = 0;  // the longest making of one file
} gClock;

}  // namespace

void HoldPoint(const char* name) {
  const double now = Now();
  if (std::strcmp(name, "chunk") == 0) gClock.lastChunk = now;
  if (std::strcmp(name, "journal") == 0) {
    gClock.journal = gClock.staged = now;
    gClock.making = gClock.waiting = gClock.slowestFile = 0;
  }
  if (std::strcmp(name, "staged") == 0) {
    const double making = gClock.lastChunk - gClock.staged;
    gClock.making += making;
    gClock.slowestFile = std::max(gClock.slowestFile, making);
    gClock.waiting += now - gClock.lastChunk;
    gClock.staged = now;
  }
  if (std::strcmp(name, "flushed") == 0) gClock.lastWait = now - gClock.staged;
  if (std::strcmp(name, "commit") == 0) gClock.committed = gClock.replaced = gClock.cleaned = now;
  if (std::strcmp(name, "move") == 0) gClock.replaced = now;
  if (std::strcmp(name, "cleaned") == 0) gClock.cleaned = now;
}

// The test builds' other seams, unused here.
void TracePoint(const char*, const char*) {}
bool TestFails(const char*, const char*) { return false; }

namespace {

std::string FileIn(const std::string& folder, const char* name, int file) {
  return folder + "\\" + name + std::to_string(file + 1) + ".bin";
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

void SettleAll(const std::string& folder) {
  for (int i = 0; i < kFiles; ++i) {
    Settle(FileIn(folder, "payload", i));
    Settle(FileIn(folder, "copy", i));
  }
  WarmMemory();
}

// CopyFileA of every file, each copy flushed when `durable`: the copy made as
// durable as the writer makes its files.
double TimeCopies(const std::string& folder, bool durable) {
  const double start = Now();
  for (int i = 0; i < kFiles; ++i) {
    const std::string copy = FileIn(folder, "copy", i);
    if (!CopyFileA(FileIn(folder, "source", i).c_str(), copy.c_str(), FALSE)) {
      std::fprintf(stderr, "writer_bench: CopyFileA failed (%lu)\n", GetLastError());
      std::exit(1);
    }
    if (durable) Settle(copy);
  }
  return Now() - start;
}

void Run(const std::string& folder, int runs) {
  // CopyFileA's sources: the same bytes, as files of their own.
  DWORD total = 0;
  for (int i = 0; i < kFiles; ++i) {
    DWORD size = 0;
    const BYTE* bytes = PayloadBytes(i, &size);
    const std::string source = FileIn(folder, "source", i);
    HANDLE file =
        CreateFileA(source.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    if (!bytes || file == INVALID_HANDLE_VALUE || !WriteFile(file, bytes, size, &written, nullptr) ||
        written != size) {
      std::fprintf(stderr, "writer_bench: cannot write %s\n", source.c_str());
      std::exit(1);
    }
    CloseHandle(file);
    total += size;
  }

  // Warm-up: the payload's pages and the sources in memory, every target existing.
  TimeWriter();
  TimeCopies(folder, true);

  // The goal: the writer against the durable copy, alternating which goes
  // first. Both replace files of the same size whose blocks are on the disk.
  std::vector<double> writer, durable, ratio, journal, staging, mark, commit, cleanup, plain;
  for (int i = 0; i < runs; ++i) {
    SettleAll(folder);
    double w, d;
    if (i % 2 == 0) {
      w = TimeWriter();
      SettleAll(folder);
      d = TimeCopies(folder, true);
    } else {
      d = TimeCopies(folder, true);
      SettleAll(folder);
      w = TimeWriter();
    }
    writer.push_back(w * 1000);
    durable.push_back(d * 1000);
    ratio.push_back(w / d);
    journal.push_back((gClock.journal - gWriterStart) * 1000);
    staging.push_back((gClock.staged - gClock.journal) * 1000);
    mark.push_back((gClock.committed - gClock.staged) * 1000);
    commit.push_back((gClock.replaced - gClock.committed) * 1000);
    cleanup.push_back((gClock.cleaned - gClock.replaced) * 1000);
    // Each run as it went, for a median that needs explaining.
    std::printf("run %d writer_ms %.1f durable_copy_ms %.1f staging_ms %.1f making_ms %.1f "
                "flush_wait_ms %.1f last_flush_ms %.1f slowest_file_ms %.1f\n",
                i + 1, w * 1000, d * 1000, staging.back(), gClock.making * 1000, gClock.waiting * 1000,
                gClock.lastWait * 1000, gClock.slowestFile * 1000);
  }
  // For comparison only: copies left in the page cache.
  for (int i = 0; i < runs; ++i) {
    SettleAll(folder);
    plain.push_back(TimeCopies(folder, false) * 1000);
  }
  Print("payload_mib", total / 1048576.0);
  Print("files", kFiles);
  Print("runs", runs);
  Print("writer_ms", Median(writer));
  Print("durable_copy_ms", Median(durable));
  Print("writer_over_durable_copy", Median(ratio));
  Print("journal_ms", Median(journal));
  Print("staging_ms", Median(staging));
  Print("commit_mark_ms", Median(mark));
  Print("commit_ms", Median(commit));
  Print("commit_ms_per_file", Median(commit) / kFiles);
  Print("cleanup_ms", Median(cleanup));
  Print("copyfile_ms", Median(plain));
  for (int i = 0; i < kFiles; ++i) {
    for (const char* name : {"source", "copy", "payload"}) DeleteFileA(FileIn(folder, name, i).c_str());
  }
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

void Run(const std::string& folder, int runs) {
  DWORD size = 0;
  int chunks = 0;
  for (int i = 0; i < kFiles; ++i) {
    DWORD file = 0;
    if (!PayloadBytes(i, &file)) {
      std::fprintf(stderr, "writer_bench: no payload resource\n");
      std::exit(1);
    }
    size += file;
    chunks += static_cast<int>((file + progress::kChunkLimit - 1) / progress::kChunkLimit);
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
    WarmMemory();
    total.push_back(TimeWriter() * 1000);
    controls.push_back(gLog.seconds * 1000);
    setText.push_back(gLog.setText);
    setPos.push_back(gLog.setPos);
    paints.push_back(gLog.paints);
    Drain();  // what the last chunks left for the pump, outside the timing
  }
  Print("payload_mib", size / 1048576.0);
  Print("runs", runs);
  Print("chunks", chunks);
  Print("shown_ms", Median(total));
  Print("controls_ms", Median(controls));
  Print("settext_count", Median(setText));
  Print("setpos_count", Median(setPos));
  Print("paint_count", Median(paints));
  DestroyWindow(dialog);
  Drain();
  for (int i = 0; i < kFiles; ++i) DeleteFileA((folder + "\\payload" + std::to_string(i + 1) + ".bin").c_str());
}

#endif

}  // namespace

extern const TitleProfile kTitleProfile = {"KAZETOU", "Bench", "TumbleTrain", "1", kPayloadList, "", nullptr, false};

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  const std::string folder = std::string(temp) + "writer-bench-" + std::to_string(GetCurrentProcessId());
  CreateDirectoryA(folder.c_str(), nullptr);
  if (!(argc > 2 && std::strcmp(argv[2], "cold") == 0)) gWarmFile = folder + "\\warm.tmp";

  gState.instance = GetModuleHandleA(nullptr);
  lstrcpynA(gState.caption, "Bench - Update Program", sizeof gState.caption);
  lstrcpynA(gState.installFolder, folder.c_str(), MAX_PATH);

  Run(folder, runs);

  RemoveDirectoryA(folder.c_str());
  return 0;
}
