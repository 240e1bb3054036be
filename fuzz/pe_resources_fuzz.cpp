// Raw bytes as a PE image: the resource walk must stay inside the image, end,
// and agree with the lookup; a library the reader accepts also goes through
// recordlib's list and verify.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "tools/record_library.h"
#include "verify/pe_resources.h"

namespace {

struct Walked {
  const unsigned char* image;
  size_t size;
  std::vector<ResourceEntry> entries;
  size_t stopAfter;  // the visitor asks to stop after this many entries
};

void CheckNameInside(const ResourceName& name, const unsigned char* image, size_t size) {
  if (name.text == nullptr) return;
  FUZZ_CHECK(name.text >= image);
  const size_t at = static_cast<size_t>(name.text - image);
  FUZZ_CHECK(at <= size && size_t{name.length} * 2 <= size - at);
}

bool Visit(const ResourceEntry& entry, void* context) {
  auto* walked = static_cast<Walked*>(context);
  FUZZ_CHECK(uint64_t{entry.dataOffset} + entry.dataSize <= walked->size);
  CheckNameInside(entry.type, walked->image, walked->size);
  CheckNameInside(entry.name, walked->image, walked->size);
  // Touch the reported bytes so an out-of-range report trips ASan too.
  volatile unsigned char sink = 0;
  if (entry.dataSize != 0)
    sink = walked->image[entry.dataOffset] ^ walked->image[entry.dataOffset + entry.dataSize - 1];
  (void)sink;
  walked->entries.push_back(entry);
  return walked->entries.size() < walked->stopAfter;
}

bool SameName(const ResourceName& a, const ResourceName& b) {
  return a.text == b.text && a.length == b.length && (a.text != nullptr || a.id == b.id);
}

bool SameEntry(const ResourceEntry& a, const ResourceEntry& b) {
  return SameName(a.type, b.type) && SameName(a.name, b.name) && a.language == b.language &&
         a.dataRva == b.dataRva && a.dataOffset == b.dataOffset && a.dataSize == b.dataSize;
}

// A lookup key for a stored name, when the name can be written as one (an id,
// or ASCII text without zero units).
bool KeyFor(const ResourceName& name, std::string* text, ResourceKey* key) {
  if (name.text == nullptr) {
    *key = MakeResourceKey(name.id);
    return true;
  }
  text->clear();
  for (uint16_t i = 0; i < name.length; ++i) {
    const uint16_t unit = static_cast<uint16_t>(name.text[2 * i] | name.text[2 * i + 1] << 8);
    if (unit == 0 || unit >= 0x80) return false;
    // Flip the case of letters: the lookup folds ASCII case.
    char c = static_cast<char>(unit);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) c = static_cast<char>(c ^ 0x20);
    text->push_back(c);
  }
  *key = MakeResourceKey(text->c_str());
  return true;
}

// FindPeResource must give the first enumerated entry the key matches, or the
// walk's own verdict when none does.
void CheckFind(const unsigned char* image, size_t size, ResourceKey type, ResourceKey name,
               const std::vector<ResourceEntry>& all, PeStatus walkStatus) {
  ResourceEntry found{};
  const PeStatus status = FindPeResource(image, size, type, name, &found);
  for (const auto& e : all) {
    if (MatchResourceName(e.type, type) && MatchResourceName(e.name, name)) {
      FUZZ_CHECK(status == PeStatus::kOk);
      FUZZ_CHECK(SameEntry(found, e));
      return;
    }
  }
  FUZZ_CHECK(status == (walkStatus == PeStatus::kOk ? PeStatus::kNotFound : walkStatus));
}

// recordlib reads libraries from files; one scratch file per fuzzing process,
// removed at exit. A plain array, so it outlives every exit handler.
char scratchPath[4096];

const char* ScratchPath() {
  if (scratchPath[0] == '\0') {
    const char* dir = std::getenv("TMPDIR");
    std::snprintf(scratchPath, sizeof scratchPath, "%s/recordlib-fuzz-%ld.dll", dir && *dir ? dir : "/tmp",
                  static_cast<long>(getpid()));
    std::atexit([] { std::remove(scratchPath); });
  }
  return scratchPath;
}

void RunRecordlibOn(const unsigned char* image, size_t size) {
  {
    std::ofstream file(ScratchPath(), std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(image), static_cast<std::streamsize>(size));
    FUZZ_CHECK(file.flush());
  }
  std::ostringstream out, err;
  // The reader accepted the bytes, so neither command may call them malformed (2).
  FUZZ_CHECK(tools::RunRecordlib({"list", ScratchPath()}, out, err) == 0);
  const int verified = tools::RunRecordlib({"verify", ScratchPath()}, out, err);
  FUZZ_CHECK(verified == 0 || verified == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Walked all{data, size, {}, SIZE_MAX};
  const PeStatus walkStatus = EnumeratePeResources(data, size, Visit, &all);
  FUZZ_CHECK(walkStatus != PeStatus::kNotFound);
  FUZZ_CHECK(walkStatus == PeStatus::kOk || walkStatus == PeStatus::kBadAddress ||
             walkStatus == PeStatus::kBadResourceTree || walkStatus == PeStatus::kTooManyEntries ||
             all.entries.empty());

  // A visitor that stops early sees exactly the first entries, and the walk succeeds.
  if (all.entries.size() > 1) {
    Walked some{data, size, {}, all.entries.size() / 2};
    FUZZ_CHECK(EnumeratePeResources(data, size, Visit, &some) == PeStatus::kOk);
    FUZZ_CHECK(some.entries.size() == some.stopAfter);
    for (size_t i = 0; i < some.entries.size(); ++i) FUZZ_CHECK(SameEntry(some.entries[i], all.entries[i]));
  }

  // Lookups: the names the walk saw (first, last), and the ones the updater asks for.
  std::string typeText, nameText;
  ResourceKey type, name;
  for (const ResourceEntry* e : {all.entries.empty() ? nullptr : &all.entries.front(),
                                 all.entries.empty() ? nullptr : &all.entries.back()}) {
    if (e != nullptr && KeyFor(e->type, &typeText, &type) && KeyFor(e->name, &nameText, &name))
      CheckFind(data, size, type, name, all.entries, walkStatus);
  }
  CheckFind(data, size, MakeResourceKey(kResourceTypeRcData), MakeResourceKey("RESOURCE.DLL"), all.entries,
            walkStatus);
  CheckFind(data, size, MakeResourceKey(kResourceTypeVersion), MakeResourceKey(uint16_t{1}), all.entries,
            walkStatus);
  CheckFind(data, size, MakeResourceKey("BIN"), MakeResourceKey("A"), all.entries, walkStatus);

  std::vector<tools::LibraryRecord> records;
  std::string error;
  const bool readable = tools::ReadLibraryRecords(std::vector<uint8_t>(data, data + size), &records, &error);
  FUZZ_CHECK(readable == (walkStatus == PeStatus::kOk));
  if (readable) RunRecordlibOn(data, size);
  return 0;
}
