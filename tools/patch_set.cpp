#include "tools/patch_set.h"

#include <cstdint>
#include <ostream>

#include "apply/patch_apply.h"
#include "apply/payload_source.h"
#include "tools/patch_make.h"

namespace tools {

bool MakePatchSet(const std::vector<std::vector<unsigned char>>& patches, std::vector<unsigned char>* set,
                  std::string* error) {
  uint64_t total = patch::kSetHeaderSize + 8 * uint64_t{patches.size()};
  for (const auto& p : patches) {
    patch::Header header;
    if (!patch::ReadHeader(p.data(), static_cast<uint32_t>(p.size()), &header) || p.size() > UINT32_MAX) {
      *error = "not a patch";
      return false;
    }
    total += p.size();
  }
  if (total > UINT32_MAX) {
    *error = "the patches pass the 4 GiB a set can hold";
    return false;
  }
  set->assign(patch::kSetHeaderSize + 8 * patches.size(), 0);
  unsigned char* head = set->data();
  for (int i = 0; i < 4; ++i) head[i] = patch::kSetMagic[i];
  payload::Write32(head + 4, static_cast<uint32_t>(patches.size()));
  for (size_t i = 0; i < patches.size(); ++i) {
    const uint32_t offset = static_cast<uint32_t>(set->size());
    payload::Write32(set->data() + patch::kSetHeaderSize + 8 * i, offset);
    payload::Write32(set->data() + patch::kSetHeaderSize + 8 * i + 4,
                     static_cast<uint32_t>(patches[i].size()));
    set->insert(set->end(), patches[i].begin(), patches[i].end());
  }
  return true;
}

int WritePatchSetFile(const std::string& set, const std::vector<std::string>& patches, std::ostream& err) {
  std::vector<Bytes> read(patches.size());
  for (size_t i = 0; i < patches.size(); ++i) {
    if (!ReadWholeFile(patches[i], &read[i])) {
      err << "payloadtool patchset: cannot read " << patches[i] << "\n";
      return 1;
    }
  }
  Bytes bytes;
  std::string error;
  if (!MakePatchSet(read, &bytes, &error)) {
    err << "payloadtool patchset: " << error << "\n";
    return 1;
  }
  if (!WriteWholeFile(set, bytes)) {
    err << "payloadtool patchset: cannot write " << set << "\n";
    return 1;
  }
  return 0;
}

}  // namespace tools
