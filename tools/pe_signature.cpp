#include "tools/pe_signature.h"

#include <cstdio>
#include <fstream>

#include "tools/pe_writer.h"
#include "tools/record_library.h"

namespace tools {
namespace {

constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint32_t kSecurityDirectory = 4;
constexpr uint16_t kCertificateRevision = 0x0200;
constexpr uint16_t kCertificateTypePkcs7 = 0x0002;
// The table starts on an 8-byte boundary after the image, padded with zeros.
constexpr size_t kTableAlignment = 8;

uint32_t Get16(const std::vector<uint8_t>& b, size_t at) { return b[at] | b[at + 1] << 8; }
uint32_t Get32(const std::vector<uint8_t>& b, size_t at) { return Get16(b, at) | Get16(b, at + 2) << 16; }

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

bool InField(size_t at, size_t field, size_t size) { return at >= field && at < field + size; }

}  // namespace

bool LocatePeSigningFields(const std::vector<uint8_t>& image, PeSigningFields* fields, std::string* error) {
  if (image.size() < 0x40 || image[0] != 'M' || image[1] != 'Z') {
    *error = "not a PE image (no MZ header)";
    return false;
  }
  const size_t pe = Get32(image, 0x3C);
  // Signature, file header (20 bytes) and the optional header up to its data directories.
  if (pe > image.size() || image.size() - pe < 24 + 2 || Get32(image, pe) != 0x00004550) {
    *error = "not a PE image (no PE signature)";
    return false;
  }
  const size_t optional = pe + 24;
  const size_t optionalSize = Get16(image, pe + 20);
  const uint32_t magic = Get16(image, optional);
  size_t countOffset;
  if (magic == kPe32Magic) {
    countOffset = optional + 92;
  } else if (magic == kPe32PlusMagic) {
    countOffset = optional + 108;
  } else {
    *error = "unknown optional header magic " + Hex(magic);
    return false;
  }
  const size_t entry = countOffset + 4 + kSecurityDirectory * 8;
  if (entry + 8 > image.size() || entry + 8 > optional + optionalSize ||
      Get32(image, countOffset) <= kSecurityDirectory) {
    *error = "the optional header has no security directory entry";
    return false;
  }
  fields->checksumOffset = optional + 64;
  fields->securityEntryOffset = entry;
  return true;
}

bool ReadPeChecksums(const std::vector<uint8_t>& image, uint32_t* stored, uint32_t* computed,
                     std::string* error) {
  PeSigningFields fields;
  if (!LocatePeSigningFields(image, &fields, error)) return false;
  *stored = Get32(image, fields.checksumOffset);
  *computed = ComputePeChecksum(image, fields.checksumOffset);
  return true;
}

bool FixPeChecksum(std::vector<uint8_t>* image, std::string* error) {
  PeSigningFields fields;
  if (!LocatePeSigningFields(*image, &fields, error)) return false;
  const uint32_t sum = ComputePeChecksum(*image, fields.checksumOffset);
  for (int i = 0; i < 4; ++i) (*image)[fields.checksumOffset + i] = static_cast<uint8_t>(sum >> (8 * i));
  return true;
}

bool CheckSignedImage(const std::vector<uint8_t>& unsignedImage, const std::vector<uint8_t>& signedImage,
                      std::string* error) {
  PeSigningFields fields, signedFields;
  if (!LocatePeSigningFields(unsignedImage, &fields, error)) {
    *error = "unsigned image: " + *error;
    return false;
  }
  if (!LocatePeSigningFields(signedImage, &signedFields, error)) {
    *error = "signed image: " + *error;
    return false;
  }
  if (Get32(unsignedImage, fields.securityEntryOffset) || Get32(unsignedImage, fields.securityEntryOffset + 4)) {
    *error = "the unsigned image already has a certificate table";
    return false;
  }
  const size_t imageSize = unsignedImage.size();
  if (signedImage.size() <= imageSize) {
    *error = "nothing was appended to the image";
    return false;
  }
  for (size_t at = 0; at < imageSize; ++at) {
    if (InField(at, fields.checksumOffset, 4) || InField(at, fields.securityEntryOffset, 8)) continue;
    if (unsignedImage[at] != signedImage[at]) {
      *error = "byte " + Hex(at) + " of the image changed";
      return false;
    }
  }
  const size_t tableOffset = Get32(signedImage, fields.securityEntryOffset);
  const size_t tableSize = Get32(signedImage, fields.securityEntryOffset + 4);
  const size_t expectedOffset = (imageSize + kTableAlignment - 1) / kTableAlignment * kTableAlignment;
  if (tableOffset != expectedOffset || tableOffset + tableSize != signedImage.size()) {
    *error = "the certificate table lies at " + Hex(tableOffset) + ", size " + Hex(tableSize) +
             "; expected it from " + Hex(expectedOffset) + " to the end of the file at " +
             Hex(signedImage.size());
    return false;
  }
  for (size_t at = imageSize; at < tableOffset; ++at) {
    if (signedImage[at]) {
      *error = "the padding before the certificate table is not zero";
      return false;
    }
  }
  const uint32_t length = tableSize >= 8 ? Get32(signedImage, tableOffset) : 0;
  if (length <= 8 || length > tableSize || tableSize - length >= kTableAlignment ||
      Get16(signedImage, tableOffset + 4) != kCertificateRevision ||
      Get16(signedImage, tableOffset + 6) != kCertificateTypePkcs7) {
    *error = "the appended data is not one PKCS#7 certificate entry";
    return false;
  }
  uint32_t stored, computed;
  ReadPeChecksums(signedImage, &stored, &computed, error);
  if (stored != computed) {
    *error = "the PE checksum is " + Hex(stored) + "; the image's is " + Hex(computed);
    return false;
  }
  return true;
}

int RunSigncheck(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  const bool fix = args.size() == 4 && args[3] == "--fix-checksum";
  if (args.size() == 2 && args[0] == "checksum") {
    std::vector<uint8_t> image;
    std::string error;
    uint32_t stored, computed;
    if (!ReadWholeFile(args[1], &image, &error) || !ReadPeChecksums(image, &stored, &computed, &error)) {
      err << "signcheck: " << args[1] << ": " << error << "\n";
      return 2;
    }
    out << args[1] << ": PE checksum " << Hex(stored) << ", computed " << Hex(computed)
        << (stored == computed ? "" : ": WRONG") << "\n";
    return stored == computed ? 0 : 1;
  }
  if ((args.size() == 3 || fix) && args[0] == "appended") {
    std::vector<uint8_t> before, after;
    std::string error;
    if (!ReadWholeFile(args[1], &before, &error) || !ReadWholeFile(args[2], &after, &error)) {
      err << "signcheck: " << error << "\n";
      return 2;
    }
    uint32_t stored = 0, computed = 0;
    if (fix && ReadPeChecksums(after, &stored, &computed, &error) && stored != computed) {
      // A signer that leaves the old checksum: the sum is outside the signed
      // hash, so it can be put right afterwards.
      FixPeChecksum(&after, &error);
      std::ofstream stream(args[2], std::ios::binary | std::ios::trunc);
      stream.write(reinterpret_cast<const char*>(after.data()), static_cast<std::streamsize>(after.size()));
      if (!stream.flush()) {
        err << "signcheck: cannot write " << args[2] << "\n";
        return 2;
      }
      out << args[2] << ": PE checksum put right (" << Hex(stored) << " -> " << Hex(computed) << ")\n";
    }
    if (!CheckSignedImage(before, after, &error)) {
      err << "signcheck: " << args[2] << " is not " << args[1] << " with only a certificate table appended: "
          << error << "\n";
      return 1;
    }
    out << args[2] << ": the image is unchanged, " << after.size() - before.size()
        << " bytes of certificate table appended, PE checksum right\n";
    return 0;
  }
  err << "usage: signcheck checksum FILE\n"
         "       signcheck appended UNSIGNED SIGNED [--fix-checksum]\n";
  return 2;
}

}  // namespace tools
