// The sample title's install folders: an update's new files and an older,
// equally consistent installation. Made from a fixed PRNG, so every run gives
// the same bytes.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "verify/checksum.h"

namespace tools {

struct SampleFile {
  std::string path;  // relative to the install folder, with '/'
  std::vector<uint8_t> content;
};

// The new main program's size and record, which the update carries.
constexpr size_t kNewMainSize = 325632;
constexpr FileChecksum kNewMainChecksum{0x01F9E64D, 0x18692FDD};
constexpr size_t kOldMainSize = 317440;
constexpr size_t kSampleLibrarySize = 2560;

// "TumbleTrain.exe" first, "dll/RESOURCE.dll" last. False only if the
// content cannot be made (a fault in this program).
bool MakeSampleInstall(bool newVersion, std::vector<SampleFile>* files, std::string* error);

// Gives bytes (size a multiple of 4, at least 16) the wanted checksum by
// moving body bytes, then solving the last two words. False when the target
// is unreachable: with all bytes inside words, the byte sum's parity must
// equal the parity of the XOR's bytes' low bits.
bool ForceFileChecksum(std::vector<uint8_t>* bytes, FileChecksum target);

// samplegen --out DIR: writes DIR/new and DIR/old, leaving files whose
// content is already the same untouched. Returns the exit code.
int RunSamplegen(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace tools
