// What signing may change in a built updater. Authenticode signing appends the
// certificate table after the image and touches two header fields, the PE
// checksum and the security directory entry that points at the table; every
// other byte (code, resources, the payload's alignment) must stay as linked.
// Host-only (signcheck, tests).
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace tools {

// File offsets of the two header fields signing rewrites.
struct PeSigningFields {
  size_t checksumOffset = 0;
  size_t securityEntryOffset = 0;  // IMAGE_DATA_DIRECTORY: file offset of the table, then its size
};

// False with a message in *error when the image is not a 32- or 64-bit PE with
// a security directory entry.
bool LocatePeSigningFields(const std::vector<uint8_t>& image, PeSigningFields* fields, std::string* error);

// The stored and the computed checksum of an image. False with a message when
// the image is not a PE.
bool ReadPeChecksums(const std::vector<uint8_t>& image, uint32_t* stored, uint32_t* computed,
                     std::string* error);

// Stores the computed checksum. The checksum lies outside what the signature
// covers, so this keeps a signature valid.
bool FixPeChecksum(std::vector<uint8_t>* image, std::string* error);

// Whether signedImage is unsignedImage with a certificate table appended and
// nothing else changed but the two fields above, and its checksum is right.
// False with the first difference found in *error.
bool CheckSignedImage(const std::vector<uint8_t>& unsignedImage, const std::vector<uint8_t>& signedImage,
                      std::string* error);

// The signcheck command line (arguments after the program name): 0 when the
// check holds, 1 when it does not, 2 for usage or unreadable input.
int RunSigncheck(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace tools
