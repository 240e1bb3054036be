#include "base/command_line.h"

namespace {

wchar_t Lower(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

// Whether `word` begins with `name` (lower case ASCII), in any letter case;
// *rest is what follows it.
bool StartsWith(const wchar_t* word, const wchar_t* name, const wchar_t** rest) {
  for (; *name; ++word, ++name) {
    if (Lower(*word) != *name) return false;
  }
  *rest = word;
  return true;
}

bool Is(const wchar_t* word, const wchar_t* name) {
  const wchar_t* rest = nullptr;
  return StartsWith(word, name, &rest) && *rest == L'\0';
}

}  // namespace

bool ReadCommandLine(int count, const wchar_t* const* words, CommandLine* line) {
  *line = CommandLine{};
  for (int i = 0; i < count; ++i) {
    const wchar_t* word = words[i];
    const wchar_t* path = nullptr;
    if (Is(word, L"/s") || Is(word, L"/silent")) {
      line->silent = true;
    } else if (Is(word, L"/force")) {
      line->force = true;
    } else if (StartsWith(word, L"/log=", &path) && *path != L'\0') {
      line->logPath = path;
    } else if (!line->unknown) {
      line->unknown = word;
    }
  }
  return line->unknown == nullptr;
}
