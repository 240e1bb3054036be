// Built updaters run through full, successful updates (an installation of
// the sample's old files, the confirmation answered, the final box answered)
// while this program watches them: the sample updater against ones with
// 48 MiB and 1 GiB payloads, a raw updater against a compressed one.
//
// Per run, each kept at its median over the runs:
// - peak private bytes as Windows reports them for the process
//   (PeakPagefileUsage of GetProcessMemoryInfo), sampled through the run;
// - time from the start of the process to its first box (the confirmation,
//   which comes after the installation check);
// - time from that box to the final one: the write phase, with the dialog.
// Apart from the runs, the yardstick: CopyFileA of the same payload files,
// each then flushed to the disk as the updater flushes what it writes.
//
// The last run's installation of each updater is left in INSTALL_ROOT\<name>
// for the caller to verify and remove.
//
// Prints "name value" lines for scripts/bench. Paths are the host's.
// Usage: updater_bench INSTALL_ROOT RUNS NAME EXE PAYLOAD_DIR [NAME EXE PAYLOAD_DIR]...
#include <windows.h>
// psapi.h needs windows.h first.
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/texts.h"
#include "driver.h"
#include "test_support.h"

namespace {

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

const std::vector<std::string> kOldFiles = {"TumbleTrain.exe", "dll\\RESOURCE.dll"};

// Peak private bytes of the running updater, sampled until it ends.
double WatchPeakPrivate(const UpdaterProcess& updater) {
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | SYNCHRONIZE, FALSE, updater.ProcessId());
  if (!process) return 0;
  double peak = 0;
  do {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(process, &counters, sizeof counters))
      peak = std::max(peak, static_cast<double>(counters.PeakPagefileUsage));
  } while (WaitForSingleObject(process, 1) == WAIT_TIMEOUT);
  CloseHandle(process);
  return peak;
}

struct Run {
  double peakPrivateKiB = 0, firstBoxMs = 0, writeS = 0;
};

// One full update from a fresh installation of the sample's old files; false
// when it did not end as a successful one.
bool RunUpdate(const std::string& exe, const std::string& install, Run* result) {
  RemoveTree(install);
  CreateDirectoryA(install.c_str(), nullptr);
  CreateDirectoryA((install + "\\dll").c_str(), nullptr);
  const std::string sample = BuildPath(UPDATER_SAMPLE_DIR);
  for (const std::string& file : kOldFiles) {
    if (!CopyFileA((sample + "\\old\\" + file).c_str(), (install + "\\" + file).c_str(), FALSE)) return false;
  }
  WriteSettings("[INSTALL]\r\nInstallFold=" + install + "\r\n");

  UpdaterProcess updater(exe, {IDOK, IDOK});  // the confirmation, then the final report
  result->peakPrivateKiB = WatchPeakPrivate(updater) / 1024;
  const UpdaterRun run = updater.Finish(600000);
  // Success: exit code 0, the dialog shown, and two boxes, the confirmation
  // and the report that the update finished. The caller compares the files.
  if (run.timedOut || run.exitCode != 0 || run.boxes.size() != 2 || !run.dialog.window) return false;
  if (run.boxes[1].text != FromCp932(text::kUpdateFinished)) return false;
  result->firstBoxMs = (run.boxes[0].seenAt - run.startedAt) * 1000;
  result->writeS = run.boxes[1].seenAt - run.boxes[0].seenAt;
  return true;
}

// Every file under `folder`, as paths relative to it.
void ListFiles(const std::string& folder, const std::string& relative, std::vector<std::string>* files) {
  WIN32_FIND_DATAA found;
  const std::string base = relative.empty() ? folder : folder + "\\" + relative;
  HANDLE search = FindFirstFileA((base + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::string name = found.cFileName;
    if (name == "." || name == "..") continue;
    const std::string path = relative.empty() ? name : relative + "\\" + name;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      ListFiles(folder, path, files);
    } else {
      files->push_back(path);
    }
  } while (FindNextFileA(search, &found));
  FindClose(search);
}

// The yardstick: the payload's files copied with CopyFileA and each copy
// flushed, as durable as the updater leaves what it writes. Seconds, or -1.
double TimeDurableCopy(const std::string& payloadDir, const std::string& target) {
  std::vector<std::string> files;
  ListFiles(payloadDir, "", &files);
  RemoveTree(target);
  CreateDirectoryA(target.c_str(), nullptr);
  const double start = Seconds();
  for (size_t i = 0; i < files.size(); ++i) {
    const std::string copy = target + "\\" + std::to_string(i);
    if (!CopyFileA((payloadDir + "\\" + files[i]).c_str(), copy.c_str(), FALSE)) return -1;
    HANDLE file =
        CreateFileA(copy.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return -1;
    FlushFileBuffers(file);
    CloseHandle(file);
  }
  const double seconds = Seconds() - start;
  RemoveTree(target);
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6 || (argc - 3) % 3 != 0) {
    std::fprintf(stderr,
                 "usage: updater_bench INSTALL_ROOT RUNS NAME EXE PAYLOAD_DIR [NAME EXE PAYLOAD_DIR]...\n");
    return 2;
  }
  const std::string root = BuildPath(argv[1]);
  const int runs = std::max(1, std::atoi(argv[2]));
  CreateDirectoryA(root.c_str(), nullptr);
  struct Updater {
    const char* name;
    std::string exe, payloadDir;
    std::vector<double> peakPrivate, firstBox, write, copy;
  };
  std::vector<Updater> updaters;
  for (int u = 3; u < argc; u += 3)
    updaters.push_back({argv[u], BuildPath(argv[u + 1]), BuildPath(argv[u + 2]), {}, {}, {}, {}});
  // Run by run in turn, so that a slower spell of the shared machine falls on
  // every updater alike.
  for (int i = 0; i < runs; ++i) {
    for (Updater& updater : updaters) {
      Run run;
      if (!RunUpdate(updater.exe, root + "\\" + updater.name, &run)) {
        std::fprintf(stderr, "updater_bench: the %s updater did not run as expected\n", updater.name);
        return 1;
      }
      updater.peakPrivate.push_back(run.peakPrivateKiB);
      updater.firstBox.push_back(run.firstBoxMs);
      updater.write.push_back(run.writeS);
      // The yardstick right after, so both meet the same disk.
      updater.copy.push_back(TimeDurableCopy(updater.payloadDir, root + "\\copy"));
      if (updater.copy.back() < 0) {
        std::fprintf(stderr, "updater_bench: the durable copy of the %s payload failed\n", updater.name);
        return 1;
      }
    }
  }
  for (const Updater& updater : updaters) {
    std::printf("%s_peak_private_kib %.1f\n", updater.name, Median(updater.peakPrivate));
    std::printf("%s_first_box_ms %.1f\n", updater.name, Median(updater.firstBox));
    std::printf("%s_write_s %.4f\n", updater.name, Median(updater.write));
    std::printf("%s_copy_s %.4f\n", updater.name, Median(updater.copy));
  }
  RemoveSettings();
  return 0;
}
