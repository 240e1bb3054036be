#include "bench/merge_reference.h"

#include <cstdlib>
#include <cstring>

namespace {

// A zero-filled copy one byte longer than the data, so the text always ends
// with a zero byte, the way the shell reads a list file.
char* CopyTerminated(const char* bytes, size_t size) {
  char* copy = static_cast<char*>(calloc(size + 1, 1));
  if (copy && size) memcpy(copy, bytes, size);
  return copy;
}

bool ContainsPlain(const char* text, size_t textLength, const char* entry, size_t entryLength) {
  if (entryLength == 0) return true;
  if (entryLength > textLength) return false;
  const char* last = text + (textLength - entryLength);
  for (const char* at = text; at <= last; ++at) {
    at = static_cast<const char*>(memchr(at, entry[0], static_cast<size_t>(last - at) + 1));
    if (!at) return false;
    if (memcmp(at + 1, entry + 1, entryLength - 1) == 0) return true;
  }
  return false;
}

// A growing output buffer; doubles so appends cost amortized constant time.
struct Output {
  char* bytes = nullptr;
  size_t length = 0;
  size_t room = 0;

  bool Append(const char* data, size_t size) {
    if (size + 1 > room - length) {  // keeps room for the terminator
      size_t wanted = room ? room : 64;
      while (wanted - length < size + 1) wanted *= 2;
      char* grown = static_cast<char*>(realloc(bytes, wanted));
      if (!grown) return false;
      bytes = grown;
      room = wanted;
    }
    if (size) memcpy(bytes + length, data, size);
    length += size;
    return true;
  }
};

}  // namespace

int MergeEntryListsPlain(const char* source, size_t sourceSize, const char* installed,
                         size_t installedSize, HeapText& merged) {
  merged = HeapText();
  char* sourceText = CopyTerminated(source, sourceSize);
  char* installedText = CopyTerminated(installed, installedSize);
  const size_t installedLength = installedText ? strlen(installedText) : 0;
  Output out;
  bool ok = sourceText && installedText && out.Append("", 0);
  for (const char* line = sourceText; ok && *line; line += LineLength(line)) {
    const size_t entryLength = strcspn(line, ";");
    if (!ContainsPlain(installedText, installedLength, line, entryLength))
      ok = out.Append(line, entryLength) && out.Append(";\n", 2);
  }
  ok = ok && out.Append(installedText, installedLength);
  free(sourceText);
  free(installedText);
  if (!ok) {
    free(out.bytes);
    return 0;
  }
  out.bytes[out.length] = '\0';
  merged = HeapText(out.bytes, out.length);
  return 1;
}
