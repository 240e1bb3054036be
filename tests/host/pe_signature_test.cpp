// The check the build runs after signing: a signed image must be the linked
// one with only a certificate table appended and a right checksum.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "tools/pe_signature.h"
#include "tools/pe_writer.h"
#include "tools/record_library.h"

namespace fs = std::filesystem;

namespace {

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A small image whose size is not a multiple of 8, so the signer must pad.
std::vector<uint8_t> LinkedImage(size_t* resourceOffset = nullptr) {
  tools::ResourceToWrite resource{"BIN", 0, "PAYLOAD", 0, 0x411, std::vector<uint8_t>(300, 0x5A)};
  tools::WrittenPe written;
  std::string error;
  EXPECT_TRUE(tools::WriteResourceDll({resource}, {0x803, true}, &written, &error)) << error;
  if (resourceOffset) *resourceOffset = written.dataOffsets[0];
  return written.bytes;
}

// Appends a certificate table the way a signer does: zeros to the next 8-byte
// boundary, a WIN_CERTIFICATE holding the blob, the directory entry, the checksum.
std::vector<uint8_t> Sign(std::vector<uint8_t> image) {
  tools::PeSigningFields fields;
  std::string error;
  EXPECT_TRUE(tools::LocatePeSigningFields(image, &fields, &error)) << error;
  image.resize((image.size() + 7) / 8 * 8, 0);
  const size_t table = image.size();
  const std::vector<uint8_t> blob(93, 0x30);
  const uint32_t length = static_cast<uint32_t>(8 + blob.size());
  image.resize(table + (length + 7) / 8 * 8, 0);
  Put32(image, table, length);
  Put32(image, table + 4, 0x00020200);  // revision 2.0, PKCS#7 signed data
  std::copy(blob.begin(), blob.end(), image.begin() + table + 8);
  Put32(image, fields.securityEntryOffset, static_cast<uint32_t>(table));
  Put32(image, fields.securityEntryOffset + 4, static_cast<uint32_t>(image.size() - table));
  EXPECT_TRUE(tools::FixPeChecksum(&image, &error)) << error;
  return image;
}

TEST(PeSignature, AcceptsOnlyAnAppendedTableWithARightChecksum) {
  size_t resource = 0;
  const std::vector<uint8_t> linked = LinkedImage(&resource);
  tools::PeSigningFields fields;
  std::string error;
  ASSERT_TRUE(tools::LocatePeSigningFields(linked, &fields, &error)) << error;
  const size_t table = (linked.size() + 7) / 8 * 8;
  ASSERT_NE(table, linked.size());

  struct Case {
    const char* name;
    std::function<void(std::vector<uint8_t>& before, std::vector<uint8_t>& after)> change;
    bool refixChecksum;
    const char* expected;  // part of the error, or null when accepted
  };
  const Case cases[] = {
      {"as signed", [](auto&, auto&) {}, false, nullptr},
      {"checksum left as linked", [&](auto& before, auto& after) {
         for (int i = 0; i < 4; ++i) after[fields.checksumOffset + i] = before[fields.checksumOffset + i];
       }, false, "PE checksum is"},
      {"a payload byte changed", [&](auto&, auto& after) { after[resource + 150] ^= 1; }, true,
       "of the image changed"},
      {"a header byte changed", [&](auto&, auto& after) { after[fields.checksumOffset - 1] ^= 1; }, true,
       "of the image changed"},
      {"the image's last byte changed", [&](auto&, auto& after) { after[linked.size() - 1] ^= 1; }, true,
       "of the image changed"},
      {"table placed 8 bytes later", [&](auto&, auto& after) {
         Put32(after, fields.securityEntryOffset, static_cast<uint32_t>(table + 8));
       }, true, "certificate table lies at"},
      {"bytes after the table", [](auto&, auto& after) { after.push_back(0); }, true,
       "certificate table lies at"},
      {"padding not zero", [&](auto&, auto& after) { after[linked.size()] = 1; }, true, "padding"},
      {"not a PKCS#7 entry", [&](auto&, auto& after) { after[table + 6] = 1; }, true, "not one PKCS#7"},
      {"image was signed before", [&](auto& before, auto&) {
         Put32(before, fields.securityEntryOffset, 0x1000);
       }, true, "already has a certificate table"},
      {"nothing appended", [&](auto& before, auto& after) { after = before; }, false, "nothing was appended"},
      {"not a PE", [](auto& before, auto&) { before[0] = 'X'; }, false, "no MZ header"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> before = linked, after = Sign(linked);
    c.change(before, after);
    if (c.refixChecksum) {
      ASSERT_TRUE(tools::FixPeChecksum(&after, &error));
    }
    error.clear();
    const bool accepted = tools::CheckSignedImage(before, after, &error);
    if (c.expected) {
      EXPECT_FALSE(accepted);
      EXPECT_NE(error.find(c.expected), std::string::npos) << error;
    } else {
      EXPECT_TRUE(accepted) << error;
    }
  }
}

TEST(PeSignature, ChecksumMatchesTheWriterAndTracksEveryByte) {
  std::vector<uint8_t> image = LinkedImage();
  uint32_t stored = 0, computed = 0;
  std::string error;
  ASSERT_TRUE(tools::ReadPeChecksums(image, &stored, &computed, &error)) << error;
  EXPECT_NE(stored, 0u);
  EXPECT_EQ(stored, computed);
  image[image.size() / 2] ^= 0x40;
  ASSERT_TRUE(tools::ReadPeChecksums(image, &stored, &computed, &error));
  EXPECT_NE(stored, computed);
  ASSERT_TRUE(tools::FixPeChecksum(&image, &error));
  ASSERT_TRUE(tools::ReadPeChecksums(image, &stored, &computed, &error));
  EXPECT_EQ(stored, computed);
}

// The build's step: a signer that left the linked checksum is put right, and
// anything else wrong fails with the reason.
TEST(PeSignature, CommandFixesOnlyTheChecksum) {
  const fs::path dir = fs::temp_directory_path() / ("signcheck_test_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  auto write = [&](const char* name, const std::vector<uint8_t>& bytes) {
    std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return (dir / name).string();
  };
  const std::vector<uint8_t> linked = LinkedImage();
  std::vector<uint8_t> stale = Sign(linked);
  tools::PeSigningFields fields;
  std::string error;
  ASSERT_TRUE(tools::LocatePeSigningFields(linked, &fields, &error));
  for (int i = 0; i < 4; ++i) stale[fields.checksumOffset + i] = linked[fields.checksumOffset + i];
  const std::string before = write("linked.exe", linked), after = write("signed.exe", stale);

  std::ostringstream out, err;
  EXPECT_EQ(tools::RunSigncheck({"checksum", after}, out, err), 1);
  EXPECT_EQ(tools::RunSigncheck({"appended", before, after}, out, err), 1);
  EXPECT_NE(err.str().find("PE checksum is"), std::string::npos) << err.str();
  out.str("");
  EXPECT_EQ(tools::RunSigncheck({"appended", before, after, "--fix-checksum"}, out, err), 0);
  EXPECT_NE(out.str().find("PE checksum put right"), std::string::npos) << out.str();
  EXPECT_EQ(tools::RunSigncheck({"checksum", after}, out, err), 0);

  std::vector<uint8_t> changed = stale;
  changed[0x400] ^= 1;
  write("changed.exe", changed);
  EXPECT_EQ(tools::RunSigncheck({"appended", before, (dir / "changed.exe").string(), "--fix-checksum"}, out, err),
            1);
  EXPECT_EQ(tools::RunSigncheck({"appended", before}, out, err), 2);
  fs::remove_all(dir);
}

}  // namespace
