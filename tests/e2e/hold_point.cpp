// The hold points of the test builds of the updater (apply/staging.h). Driven
// by the environment the test gives the updater:
//   UPDATER_HOLD_LOG=<file>  every point's name is appended to the file, one per line;
//   UPDATER_HOLD_AT=<at>[,<at>...]  at each of these points the updater sets the
//                            event "updater-hold-reached-<UPDATER_HOLD_TAG>" and waits
//                            until "updater-hold-resume-<UPDATER_HOLD_TAG>" is set, or for
//                            ever. A point is a number, the n-th point of the run (from
//                            1), or a name, its first occurrence, or "name#k", its k-th;
//   UPDATER_TRACE_LOG=<file> every file flushed ("flush <path>") and every journal line
//                            written ("journal <line>") is appended to the file, in order;
//   UPDATER_FAIL=<step>:<line>  the journal line fails at that step ("write:undo" is
//                            never written, "flush:commit" is written and its flush fails);
//                            "flush:<path>" fails the flush of that staged file.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "apply/staging.h"

namespace {

// Whether this point, the count-th of the run and the seen-th named `name`,
// is one of those UPDATER_HOLD_AT lists.
bool HoldsHere(const char* name, long count, long seen) {
  const char* at = std::getenv("UPDATER_HOLD_AT");
  std::string list = at ? at : "";
  for (size_t start = 0; start < list.size();) {
    const size_t end = std::min(list.find(',', start), list.size());
    const std::string item = list.substr(start, end - start);
    start = end + 1;
    if (!item.empty() && item.find_first_not_of("0123456789") == std::string::npos) {
      if (std::atol(item.c_str()) == count) return true;
      continue;
    }
    const size_t mark = item.find('#');
    const long wanted = mark == std::string::npos ? 1 : std::atol(item.c_str() + mark + 1);
    if (item.substr(0, mark) == name && wanted == seen) return true;
  }
  return false;
}

}  // namespace

void HoldPoint(const char* name) {
  static long count = 0;
  static std::map<std::string, long> seen;
  ++count;
  const long occurrence = ++seen[name];
  if (const char* log = std::getenv("UPDATER_HOLD_LOG")) {
    if (FILE* file = std::fopen(log, "a")) {
      std::fprintf(file, "%s\n", name);
      std::fclose(file);
    }
  }
  if (!HoldsHere(name, count, occurrence)) return;
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
