// Memory use of the built updater against its payload size: the sample
// updater and the one with a 48 MiB payload each run through a full,
// successful update (an installation of the sample's old files, the
// confirmation answered, the final box answered), while this program samples
// the child's counters as often as it can.
//
// Two measures per sample, each kept at its maximum over the run:
// - PrivateUsage and PeakPagefileUsage from GetProcessMemoryInfo, as Windows
//   reports them. Wine may fill them poorly for another process (it gave 0
//   for PrivateUsage here), so they are printed but not relied on.
// - The committed private regions (MEM_PRIVATE) from VirtualQueryEx, which is
//   what Windows charges as private bytes; image regions (MEM_IMAGE) are
//   reported apart, since a payload lives there.
//
// With "startup", each updater is instead run without a settings file: it
// loads, shows its first box and ends (exit code 1) without writing anything,
// which tells what loading the program costs apart from the update.
//
// Prints "name value" lines for scripts/bench. Usage: memory_bench [runs] [startup]
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver.h"
#include "test_support.h"

namespace {

struct Usage {
  double privateUsage = 0;   // GetProcessMemoryInfo PrivateUsage
  double pagefilePeak = 0;   // GetProcessMemoryInfo PeakPagefileUsage
  double privateCommit = 0;  // committed MEM_PRIVATE regions
  double imageCommit = 0;    // committed MEM_IMAGE regions
};

Usage Max(Usage a, Usage b) {
  return {std::max(a.privateUsage, b.privateUsage), std::max(a.pagefilePeak, b.pagefilePeak),
          std::max(a.privateCommit, b.privateCommit), std::max(a.imageCommit, b.imageCommit)};
}

bool Sample(HANDLE process, Usage* usage) {
  PROCESS_MEMORY_COUNTERS_EX counters = {};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters))
    return false;
  usage->privateUsage = static_cast<double>(counters.PrivateUsage);
  usage->pagefilePeak = static_cast<double>(counters.PeakPagefileUsage);
  usage->privateCommit = usage->imageCommit = 0;
  MEMORY_BASIC_INFORMATION region;
  const char* address = nullptr;
  while (VirtualQueryEx(process, address, &region, sizeof region) == sizeof region) {
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) usage->privateCommit += region.RegionSize;
    if (region.State == MEM_COMMIT && region.Type == MEM_IMAGE) usage->imageCommit += region.RegionSize;
    const char* next = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
    if (next <= address) break;
    address = next;
  }
  return true;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

const std::vector<std::string> kFiles = {"TumbleTrain.exe", "dll\\RESOURCE.dll"};

// Samples the running updater until it ends.
void Watch(const UpdaterProcess& updater, Usage* peak, int* samples) {
  HANDLE process =
      OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE, FALSE, updater.ProcessId());
  *peak = Usage{};
  *samples = 0;
  if (!process) return;
  do {
    Usage now;
    if (Sample(process, &now)) {
      *peak = Max(*peak, now);
      ++*samples;
    }
  } while (WaitForSingleObject(process, 1) == WAIT_TIMEOUT);
  CloseHandle(process);
}

// Start-up only: no settings file, so the first box ends the run.
bool RunStartup(const std::string& exe, Usage* peak, int* samples) {
  RemoveSettings();
  UpdaterProcess updater(exe, {IDOK});
  Watch(updater, peak, samples);
  const UpdaterRun run = updater.Finish();
  return !run.timedOut && run.exitCode == 1 && run.boxes.size() == 1 && *samples > 0;
}

// One full update; false when it did not end as a successful one.
bool RunUpdate(const std::string& exe, const ScratchFolder& install, Usage* peak, int* samples) {
  RemoveTree(install.Path());
  CreateDirectoryA(install.Path().c_str(), nullptr);
  CreateDirectoryA((install / "dll").c_str(), nullptr);
  const std::string sample = BuildPath(UPDATER_SAMPLE_DIR);
  for (const std::string& file : kFiles) {
    if (!CopyFileA((sample + "\\old\\" + file).c_str(), (install / file).c_str(), FALSE)) return false;
  }
  RemoveSettings();
  WriteSettings("[INSTALL]\r\nInstallFold=" + install.Path() + "\r\n");

  UpdaterProcess updater(exe, {IDOK, IDOK});  // the confirmation, then the final report
  Watch(updater, peak, samples);
  const UpdaterRun run = updater.Finish();
  // Success: exit code 0, two boxes (confirmation and report), the dialog shown,
  // and the new main program in place.
  const bool updated = !run.timedOut && run.exitCode == 0 && run.boxes.size() == 2 && run.dialog.window &&
                       ReadBytes(install / "TumbleTrain.exe") != ReadBytes(sample + "\\old\\TumbleTrain.exe");
  return updated && *samples > 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const bool startup = argc > 2 && std::string(argv[2]) == "startup";
  ScratchFolder install("memory-bench-" + std::to_string(GetCurrentProcessId()));
  const struct {
    const char* name;
    std::string exe;
  } updaters[] = {{"sample", BuildPath(UPDATER_EXE)}, {"large", BuildPath(UPDATER_LARGE_EXE)}};
  for (const auto& updater : updaters) {
    std::vector<double> privateUsage, pagefilePeak, privateCommit, imageCommit, samples;
    for (int i = 0; i < runs; ++i) {
      Usage peak;
      int count = 0;
      const bool ran =
          startup ? RunStartup(updater.exe, &peak, &count) : RunUpdate(updater.exe, install, &peak, &count);
      if (!ran) {
        std::fprintf(stderr, "memory_bench: the %s updater did not run as expected\n", updater.name);
        return 1;
      }
      privateUsage.push_back(peak.privateUsage / 1024);
      pagefilePeak.push_back(peak.pagefilePeak / 1024);
      privateCommit.push_back(peak.privateCommit / 1024);
      imageCommit.push_back(peak.imageCommit / 1024);
      samples.push_back(count);
    }
    HANDLE exe =
        CreateFileA(updater.exe.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    const DWORD exeSize = exe == INVALID_HANDLE_VALUE ? 0 : GetFileSize(exe, nullptr);
    if (exe != INVALID_HANDLE_VALUE) CloseHandle(exe);
    std::printf("%s_exe_kib %.1f\n", updater.name, exeSize / 1024.0);
    std::printf("%s_private_usage_kib %.1f\n", updater.name, Median(privateUsage));
    std::printf("%s_peak_pagefile_kib %.1f\n", updater.name, Median(pagefilePeak));
    std::printf("%s_private_commit_kib %.1f\n", updater.name, Median(privateCommit));
    std::printf("%s_image_commit_kib %.1f\n", updater.name, Median(imageCommit));
    std::printf("%s_samples %.0f\n", updater.name, Median(samples));
  }
  RemoveSettings();
  return 0;
}
