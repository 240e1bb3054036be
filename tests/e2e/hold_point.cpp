// The hold points of the test builds of the updater (apply/staging.h). Driven
// by the environment the test gives the updater:
//   UPDATER_HOLD_LOG=<file>  every point's name is appended to the file, one per line;
//   UPDATER_HOLD_AT=<n>      at the n-th point (from 1) the updater sets the event
//                            "updater-hold-reached-<UPDATER_HOLD_TAG>" and waits until
//                            "updater-hold-resume-<UPDATER_HOLD_TAG>" is set, or for ever;
//   UPDATER_TRACE_LOG=<file> every file flushed ("flush <path>") and every journal line
//                            written ("journal <line>") is appended to the file, in order;
//   UPDATER_FAIL=<step>:<line>  the journal line fails at that step ("write:undo" is
//                            never written, "flush:commit" is written and its flush fails).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
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

void TracePoint(const char* what, const char* path) {
  const char* log = std::getenv("UPDATER_TRACE_LOG");
  if (!log) return;
  if (FILE* file = std::fopen(log, "a")) {
    // A journal line comes with its own line end.
    const size_t length = std::strcspn(path, "\n");
    std::fprintf(file, "%s %.*s\n", what, static_cast<int>(length), path);
    std::fclose(file);
  }
}

bool TestFails(const char* step, const char* what) {
  const char* fail = std::getenv("UPDATER_FAIL");
  if (!fail) return false;
  const std::string wanted = std::string(step) + ":" + std::string(what, std::strcspn(what, "\n"));
  return wanted == fail;
}
