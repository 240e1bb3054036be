#include "apply/staging_core.h"

#include <cstring>

namespace staging {

namespace {

// The line that starts at `at`, without its '\n'; false when no whole line is left.
bool LineAt(const char* text, size_t size, size_t at, size_t* length) {
  if (at >= size) return false;
  const void* end = std::memchr(text + at, '\n', size - at);
  if (end == nullptr) return false;
  *length = static_cast<size_t>(static_cast<const char*>(end) - (text + at));
  return true;
}

bool LineIs(const char* line, size_t length, const char* word) {
  return length + 1 == std::strlen(word) && std::memcmp(line, word, length) == 0;
}

// A relative path that stays inside the folder it is joined to: not empty, no
// drive, no root, no part made only of dots and spaces ("..", and what Windows
// trims to it). Every '\\' and '/' counts as a separator, even the second byte
// of a double-byte character, which can only refuse more.
bool StaysInside(const char* path, size_t length) {
  if (length == 0 || path[0] == '\\' || path[0] == '/') return false;
  if (std::memchr(path, ':', length) || std::memchr(path, '\0', length)) return false;
  size_t dots = 0;  // length of the current part while it holds only dots and spaces
  bool onlyDots = true;
  for (size_t i = 0; i <= length; ++i) {
    if (i == length || path[i] == '\\' || path[i] == '/') {
      if (onlyDots && dots > 0) return false;
      dots = 0;
      onlyDots = true;
    } else if (path[i] == '.' || path[i] == ' ') {
      ++dots;
    } else {
      onlyDots = false;
    }
  }
  return true;
}

// Offset of the first entry line, or 0 when the header is missing.
size_t EntriesStart(const char* text, size_t size) {
  const size_t header = sizeof kJournalHeader - 1;
  return size >= header && std::memcmp(text, kJournalHeader, header) == 0 ? header : 0;
}

}  // namespace

bool AppendSuffix(char* out, size_t capacity, const char* path, const char* suffix) {
  const size_t pathLength = std::strlen(path);
  const size_t suffixLength = std::strlen(suffix);
  if (pathLength + suffixLength >= capacity) {
    if (capacity) out[0] = '\0';
    return false;
  }
  std::memcpy(out, path, pathLength);
  std::memcpy(out + pathLength, suffix, suffixLength + 1);
  return true;
}

Phase ReadJournalPhase(const char* text, size_t size) {
  size_t at = EntriesStart(text, size);
  if (at == 0) return Phase::kNone;
  Phase phase = Phase::kNone;
  size_t length = 0;
  for (; LineAt(text, size, at, &length); at += length + 1) {
    const char* line = text + at;
    if (phase == Phase::kNone) {
      if (LineIs(line, length, kJournalEnd)) phase = Phase::kStaging;
    } else if (LineIs(line, length, kJournalCommit)) {
      if (phase == Phase::kStaging) phase = Phase::kCommitting;
    } else if (LineIs(line, length, kJournalUndo)) {
      phase = Phase::kUndoing;
    }
  }
  return phase;
}

int NextJournalEntry(const char* text, size_t size, size_t* cursor, char* kind, char* path, size_t capacity) {
  if (*cursor == 0) *cursor = EntriesStart(text, size);
  size_t length = 0;
  if (*cursor == 0 || !LineAt(text, size, *cursor, &length)) return 0;
  const char* line = text + *cursor;
  if (LineIs(line, length, kJournalEnd)) return 0;
  *cursor += length + 1;

  *kind = 0;
  if (path && capacity) path[0] = '\0';
  const char mark = length ? line[0] : 0;
  if (mark != kEntryExisted && mark != kEntryNew && mark != kEntryList) return 1;
  if (!StaysInside(line + 1, length - 1) || length - 1 >= capacity) return 1;
  std::memcpy(path, line + 1, length - 1);
  path[length - 1] = '\0';
  *kind = mark;
  return 1;
}

unsigned ForwardSteps(EntryFiles files) {
  if (!files.staged) return files.target ? 0u : kCannot;
  // The old target goes aside first; if it is already there, the target (if
  // any) is no longer the old content and is simply replaced.
  return (files.target && !files.aside ? kMoveTargetAside : 0u) | kMoveStagedIn;
}

unsigned BackwardSteps(EntryFiles files, bool existed, Phase phase) {
  unsigned steps = files.staged ? kDeleteStaged : 0u;
  if (files.aside) return steps | kMoveAsideBack;
  // Without a staged file, the target of an entry that had none was moved in by
  // this update, which only happens once replacements began.
  if (!existed && files.target && !files.staged && phase >= Phase::kCommitting) steps |= kDeleteTarget;
  return steps;
}

unsigned LeftoverSteps(EntryFiles files, bool payload) {
  return (files.staged ? kDeleteStaged : 0u) | (payload && files.aside ? kDeleteAside : 0u);
}

}  // namespace staging
