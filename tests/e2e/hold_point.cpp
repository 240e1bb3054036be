// The hold points of the test builds of the updater (apply/staging.h). Driven
// by the environment the test gives the updater:
//   UPDATER_HOLD_LOG=<file>  every point's name is appended to the file, one per line;
//   UPDATER_HOLD_AT=<n>      at the n-th point (from 1) the updater sets the event
//                            "updater-hold-reached-<UPDATER_HOLD_TAG>" and waits until
//                            "updater-hold-resume-<UPDATER_HOLD_TAG>" is set, or for ever.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "apply/staging.h"

void HoldPoint(const char* name) {
  static long count = 0;
  ++count;
  if (const char* log = std::getenv("UPDATER_HOLD_LOG")) {
    if (FILE* file = std::fopen(log, "a")) {
      std::fprintf(file, "%s\n", name);
      std::fclose(file);
    }
  }
  const char* at = std::getenv("UPDATER_HOLD_AT");
  if (at == nullptr || std::atol(at) != count) return;
  const char* tag = std::getenv("UPDATER_HOLD_TAG");
  const std::string suffix = tag ? tag : "";
  HANDLE reached = OpenEventA(EVENT_MODIFY_STATE, FALSE, ("updater-hold-reached-" + suffix).c_str());
  HANDLE resume = OpenEventA(SYNCHRONIZE, FALSE, ("updater-hold-resume-" + suffix).c_str());
  if (reached) SetEvent(reached);
  WaitForSingleObject(resume ? resume : GetCurrentProcess(), INFINITE);
  if (reached) CloseHandle(reached);
  if (resume) CloseHandle(resume);
}
