// The set of patches a build carries for one payload file, one per base
// (apply/patch_apply.h, docs/patch-format.md): `payloadtool patchset SET
// PATCH...` writes it from patches payloadtool diff made.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace tools {

// The set holding `patches` in order. False with a message when one is not a
// patch, or the set would pass the updater's 32-bit sizes.
bool MakePatchSet(const std::vector<std::vector<unsigned char>>& patches, std::vector<unsigned char>* set,
                  std::string* error);

// `payloadtool patchset SET PATCH...`: 0 when SET is written, 1 with a message.
int WritePatchSetFile(const std::string& set, const std::vector<std::string>& patches, std::ostream& err);

}  // namespace tools
