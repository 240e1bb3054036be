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

constexpr char kDigits[] = "0123456789abcdef";

char* PutHex(char* at, uint64_t value, int digits) {
  for (int i = digits - 1; i >= 0; --i) {
    at[i] = kDigits[value & 0xF];
    value >>= 4;
  }
  at[digits] = ' ';
  return at + digits + 1;
}

// `digits` lowercase hexadecimal digits and a space at *at, which moves past them.
bool TakeHex(const char*& at, const char* end, int digits, uint64_t* value) {
  if (end - at < digits + 1 || at[digits] != ' ') return false;
  uint64_t v = 0;
  for (int i = 0; i < digits; ++i) {
    const char* digit = static_cast<const char*>(std::memchr(kDigits, at[i], 16));
    if (at[i] == '\0' || digit == nullptr) return false;
    v = v << 4 | static_cast<uint64_t>(digit - kDigits);
  }
  *value = v;
  at += digits + 1;
  return true;
}

bool ParseEntry(const char* line, size_t length, JournalEntry* entry) {
  const char* at = line + 1;
  const char* end = line + length;
  *entry = JournalEntry{};
  entry->kind = line[0];
  if (entry->kind == kEntryExisted || entry->kind == kEntryNew) {
    uint64_t size = 0, sum = 0, wordXor = 0;
    if (!TakeHex(at, end, 8, &size) || !TakeHex(at, end, 8, &sum) || !TakeHex(at, end, 8, &wordXor))
      return false;
    entry->size = static_cast<uint32_t>(size);
    entry->checksum = {static_cast<uint32_t>(sum), static_cast<uint32_t>(wordXor)};
    if (entry->kind == kEntryExisted) {
      uint64_t volume = 0;
      if (!TakeHex(at, end, 8, &volume) || !TakeHex(at, end, 16, &entry->old.index)) return false;
      entry->old.volume = static_cast<uint32_t>(volume);
    }
  } else if (entry->kind != kEntryList) {
    return false;
  }
  const size_t pathLength = static_cast<size_t>(end - at);
  if (!StaysInside(at, pathLength) || pathLength >= kPathCapacity) return false;
  std::memcpy(entry->path, at, pathLength);
  entry->path[pathLength] = '\0';
  return true;
}

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether a byte leads a double-byte character of code page 932.
bool LeadsDoubleByte(char c) {
  const unsigned char b = static_cast<unsigned char>(c);
  return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

// Names as Windows compares them, as far as it matters here: ASCII letters
// without regard to case. The second byte of a double-byte character is
// compared as it is (it may look like a letter); on a code page without such
// characters that only makes two names differ that may be the same.
bool SamePath(const char* a, const char* b) {
  for (;; ++a, ++b) {
    if (FoldAscii(*a) != FoldAscii(*b)) return false;
    if (*a == '\0') return true;
    if (LeadsDoubleByte(*a)) {
      ++a, ++b;
      if (*a != *b) return false;
      if (*a == '\0') return true;
    }
  }
}

bool IsPayload(const JournalEntry& entry) { return entry.kind != kEntryList; }

// The file set aside is the old target: by its identity, or because the target
// is gone or new, which only a move aside of ours leads to (a move aside never
// goes over a file already there).
bool AsideIsOurs(const Observed& o) { return o.aside && (o.asideIsOld || !o.target || o.targetIsNew); }

bool CanGoForward(const JournalEntry& entry, const Observed& o) {
  if (!IsPayload(entry) || o.targetIsNew) return true;
  if (!o.stagedIsWhole) return false;
  // A file at the name of an entry that had none is not ours to move.
  if (entry.kind == kEntryNew) return !o.target;
  // A target still there must go aside first, and only to a free name, unless
  // the old content is already safe there.
  return !o.target || !o.aside || AsideIsOurs(o);
}

bool CanGoBackward(const JournalEntry& entry, const Observed& o) {
  if (entry.kind != kEntryExisted) return true;
  // The old content set aside, or the target itself never moved: the same
  // identity, or a file that is not the update's new one.
  return AsideIsOurs(o) || (o.target && (o.targetIsOld || !o.targetIsNew));
}

template <typename Can>
bool Every(const JournalEntry* entries, const Observed* observed, size_t count, Can can) {
  for (size_t i = 0; i < count; ++i) {
    if (!can(entries[i], observed[i])) return false;
  }
  return true;
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

size_t FormatJournalEntry(const JournalEntry& entry, char* out, size_t capacity) {
  char line[1 + 5 * 9 + 8 + kPathCapacity + 1];
  char* at = line;
  *at++ = entry.kind;
  if (entry.kind != kEntryList) {
    at = PutHex(at, entry.size, 8);
    at = PutHex(at, entry.checksum.byteSum, 8);
    at = PutHex(at, entry.checksum.wordXor, 8);
    if (entry.kind == kEntryExisted) {
      at = PutHex(at, entry.old.volume, 8);
      at = PutHex(at, entry.old.index, 16);
    }
  }
  const size_t pathLength = strnlen(entry.path, kPathCapacity);
  if (pathLength == kPathCapacity) return 0;
  std::memcpy(at, entry.path, pathLength);
  at += pathLength;
  *at++ = '\n';
  const size_t length = static_cast<size_t>(at - line);
  if (length > capacity) return 0;
  std::memcpy(out, line, length);
  return length;
}

Phase ReadJournal(const char* text, size_t size, JournalEntry* entries, size_t capacity, size_t* count) {
  *count = 0;
  const size_t header = sizeof kJournalHeader - 1;
  if (size < header) {
    // The journal's first write cut inside its header: nothing was staged yet.
    return std::memcmp(text, kJournalHeader, size) == 0 ? Phase::kCut : Phase::kForeign;
  }
  if (std::memcmp(text, kJournalHeader, header) != 0) return Phase::kForeign;

  size_t at = header;
  size_t length = 0;
  for (; LineAt(text, size, at, &length); at += length + 1) {
    const char* line = text + at;
    if (LineIs(line, length, kJournalEnd)) break;
    if (length == 0 || *count == capacity || !ParseEntry(line, length, &entries[*count]))
      return Phase::kForeign;
    for (size_t i = 0; i < *count; ++i) {
      if (SamePath(entries[i].path, entries[*count].path)) return Phase::kForeign;
    }
    ++*count;
  }
  // The list and its end go out in one write: a list that never ended was cut.
  if (!LineAt(text, size, at, &length)) return Phase::kCut;
  at += length + 1;

  Phase phase = Phase::kStaging;
  for (; LineAt(text, size, at, &length); at += length + 1) {
    const char* line = text + at;
    if (LineIs(line, length, kJournalCommit)) {
      // Once undoing, never finished.
      if (phase == Phase::kStaging) phase = Phase::kCommitting;
    } else if (LineIs(line, length, kJournalUndo) && phase != Phase::kStaging) {
      phase = Phase::kUndoing;
    } else {
      return Phase::kForeign;
    }
  }
  return phase;
}

bool EntriesAreOurs(const JournalEntry* entries, size_t count, const char* const* payloadList,
                    const char* listName) {
  for (size_t i = 0; i < count; ++i) {
    bool listed = false;
    if (entries[i].kind == kEntryList) {
      listed = listName && listName[0] && SamePath(entries[i].path, listName);
    } else {
      for (const char* const* path = payloadList; *path && !listed; ++path)
        listed = SamePath(entries[i].path, *path);
    }
    if (!listed) return false;
  }
  return true;
}

Way ChooseWay(Phase phase, const JournalEntry* entries, const Observed* observed, size_t count) {
  const bool forward = Every(entries, observed, count, CanGoForward);
  const bool backward = Every(entries, observed, count, CanGoBackward);
  switch (phase) {
    case Phase::kCut:
    case Phase::kStaging:
      return Way::kBackward;
    case Phase::kCommitting:
      return forward ? Way::kForward : backward ? Way::kBackward : Way::kStuck;
    case Phase::kUndoing:
      return backward ? Way::kBackward : forward ? Way::kForward : Way::kStuck;
    case Phase::kForeign:
      break;
  }
  return Way::kStuck;
}

unsigned StepsOf(Way way, Phase phase, const JournalEntry& entry, const Observed& o) {
  const unsigned staged = o.staged ? kDeleteStaged : 0u;
  // Before the commit no target was touched, and nothing set aside is ours.
  if (way == Way::kStuck || phase == Phase::kCut) return 0;
  if (!IsPayload(entry) || phase == Phase::kStaging) return staged;
  // Nothing of an entry that had no target is ever set aside.
  const bool aside = entry.kind == kEntryExisted && AsideIsOurs(o);
  if (way == Way::kForward) {
    if (o.targetIsNew) return staged | (aside ? kDeleteAside : 0u);
    if (entry.kind == kEntryNew) return kMoveStagedIn;
    // The old content goes aside (unless it is there already) and, once every
    // entry is new, away.
    return (o.target && !aside ? kMoveTargetAside : 0u) | kMoveStagedIn | kDeleteAside;
  }
  if (entry.kind == kEntryNew) return (o.target && o.targetIsNew ? kDeleteTarget : 0u) | staged;
  return (aside ? kMoveAsideBack : 0u) | staged;
}

}  // namespace staging
