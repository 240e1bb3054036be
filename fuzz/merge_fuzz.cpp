// The list merge against the plain search: the same text, or both out of
// memory. Inputs stay small enough (64 KiB) for the plain search to keep up.
#include <cstdint>
#include <cstring>
#include <memory>

#include "apply/merge_core.h"
#include "bench/merge_reference.h"
#include "fuzz/fuzz_check.h"

namespace {

constexpr size_t kMaxInput = 64 * 1024;

// Line lengths of a zero-terminated copy, read from every line start, in an
// exact allocation so a read past the terminator trips ASan.
void CheckLineLengths(const char* text, size_t size) {
  std::unique_ptr<char[]> copy(new char[size + 1]);
  if (size) std::memcpy(copy.get(), text, size);
  copy[size] = '\0';
  for (size_t at = 0;;) {
    size_t end = at;
    while (copy[end] != '\0' && copy[end] != '\n' && copy[end] != '\r') ++end;
    size_t expected = end - at;
    if (copy[end] == '\n') expected += 1;
    if (copy[end] == '\r') expected += copy[end + 1] == '\n' ? 2 : 1;
    FUZZ_CHECK(LineLength(copy.get() + at) == expected);
    if (expected == 0) break;
    at += expected;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > kMaxInput) return 0;
  // The first two bytes split the rest into the update's list and the installed one.
  const size_t rest = size - 2;
  const size_t split = (size_t{data[0]} | size_t{data[1]} << 8) % (rest + 1);
  const char* source = reinterpret_cast<const char*>(data + 2);
  const char* installed = source + split;
  const size_t installedSize = rest - split;

  CheckLineLengths(source, split);

  HeapText merged;
  HeapText plain;
  const int ok = MergeEntryLists(source, split, installed, installedSize, merged);
  const int plainOk = MergeEntryListsPlain(source, split, installed, installedSize, plain);
  FUZZ_CHECK(ok == plainOk);
  FUZZ_CHECK(merged.Empty() == !ok && plain.Empty() == !plainOk);
  if (!ok) return 0;
  FUZZ_CHECK(merged.Length() == plain.Length());
  FUZZ_CHECK(std::memcmp(merged.Bytes(), plain.Bytes(), merged.Length()) == 0);
  FUZZ_CHECK(merged.Bytes()[merged.Length()] == '\0');
  return 0;
}
