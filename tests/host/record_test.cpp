#include "verify/record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

TEST(RecordTest, ParseHexField) {
  const struct {
    const char* text;
    uint32_t expected;
  } cases[] = {
      {"01f9e64d", 0x01F9E64D},
      {"01F9E64D", 0x01F9E64D},
      {"0x1f", 0x1F},
      {"x1f", 0x1F},
      {"0X1F", 0x1F},
      {"12g4", 0x12},
      {"", 0},
      {"g1", 0},
      {"1fx", 0},
      {"1x2x3", 3},
      {"ffffffff", 0xFFFFFFFF},
      {"00000000", 0},
      // More than eight digits keep the wrapped 32-bit sum: the leading digits fall out.
      {"123456789", 0x23456789},
      {"1ffffffff", 0xFFFFFFFF},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseHexField(c.text), c.expected) << '"' << c.text << '"';
  EXPECT_EQ(ParseHexFieldBounded("12345678abc", 8), 0x12345678u);
}

std::vector<unsigned char> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

FileChecksum ReadText(const std::vector<unsigned char>& record) {
  unsigned char buffer[kRecordBufferSize];
  EXPECT_TRUE(CopyRecordToBuffer(record.data(), record.size(), buffer));
  return ReadFileRecord(buffer);
}

TEST(RecordTest, ReadFileRecordFields) {
  EXPECT_EQ(ReadText(Bytes("01f9e64d18692fdd")), (FileChecksum{0x01F9E64D, 0x18692FDD}));
  EXPECT_EQ(ReadText(Bytes("01F9E64D18692FDD")), (FileChecksum{0x01F9E64D, 0x18692FDD}));
  // Eight characters only: the XOR field is empty.
  EXPECT_EQ(ReadText(Bytes("01f9e64d")), (FileChecksum{0x01F9E64D, 0}));
  EXPECT_EQ(ReadText(Bytes("1f")), (FileChecksum{0x1F, 0}));
  // The sum field ends after eight characters, the XOR field runs on to the first zero.
  EXPECT_EQ(ReadText(Bytes("000000240x0c040404")), (FileChecksum{0x24, 0x0C040404}));
  // A record that fills the buffer without a zero: the XOR text ends at the buffer's end.
  std::vector<unsigned char> full(kRecordBufferSize, '0');
  full.back() = '7';
  EXPECT_EQ(ReadText(full), (FileChecksum{0, 7}));
}

TEST(RecordTest, RecordBufferTakesAtMost260Bytes) {
  std::vector<unsigned char> record(kRecordBufferSize + 1, 'a');
  unsigned char buffer[kRecordBufferSize];
  std::memset(buffer, 0x55, sizeof buffer);
  EXPECT_FALSE(CopyRecordToBuffer(record.data(), record.size(), buffer));
  EXPECT_EQ(buffer[0], 0x55);
  EXPECT_TRUE(CopyRecordToBuffer(record.data(), kRecordBufferSize, buffer));
  EXPECT_EQ(buffer[kRecordBufferSize - 1], 'a');
  // A short record leaves zeros behind it, whatever the buffer held.
  EXPECT_TRUE(CopyRecordToBuffer(record.data(), 3, buffer));
  EXPECT_EQ(buffer[3], 0);
}

TEST(RecordTest, FormatAndReadRoundTrip) {
  char text[kFileRecordLength + 1];
  FormatFileRecord(FileChecksum{0x24, 0x0C040404}, text);
  EXPECT_STREQ(text, "000000240c040404");
  FormatFileRecord(FileChecksum{0xFEDCBA98, 0x01234567}, text);
  EXPECT_EQ(ReadText(Bytes(text)), (FileChecksum{0xFEDCBA98, 0x01234567}));

  unsigned char self[kSelfRecordSize];
  FormatSelfRecord(SelfRecordValues{0x548, FileChecksum{0x0001A203, 0x1856C522}}, self);
  const unsigned char expected[16] = {0x2F, 0x2A, 0x2A, 0x2F, 0x48, 0x05, 0,    0,
                                      0x03, 0xA2, 0x01, 0,    0x22, 0xC5, 0x56, 0x18};
  EXPECT_EQ(std::memcmp(self, expected, 16), 0);
  for (size_t i = 16; i < kSelfRecordSize; ++i) EXPECT_EQ(self[i], 0);
  unsigned char buffer[kRecordBufferSize];
  ASSERT_TRUE(CopyRecordToBuffer(self, sizeof self, buffer));
  SelfRecordValues read = ReadSelfRecord(buffer);
  EXPECT_EQ(read.holeOffset, 0x548u);
  EXPECT_EQ(read.checksum, (FileChecksum{0x0001A203, 0x1856C522}));
  // A record cut short reads zero where it does not reach.
  ASSERT_TRUE(CopyRecordToBuffer(self, 10, buffer));
  read = ReadSelfRecord(buffer);
  EXPECT_EQ(read.holeOffset, 0x548u);
  EXPECT_EQ(read.checksum, (FileChecksum{0xA203, 0}));
}

// A tiny "library": 64 bytes with a self record at 16, stamped the way the
// tools stamp it. Any byte outside the hole counts, the stated values do not.
TEST(RecordTest, MatchSelfRecordCoversEveryByteButTheHole) {
  std::vector<unsigned char> file(64);
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<unsigned char>(i * 7 + 1);
  const uint32_t recordAt = 16, hole = recordAt + kSelfRecordHoleStart;
  unsigned char self[kSelfRecordSize];
  FormatSelfRecord(SelfRecordValues{0, FileChecksum{0, 0}}, self);
  std::memcpy(file.data() + recordAt, self, sizeof self);
  FormatSelfRecord(SelfRecordValues{hole, ScanFileChecksum(file.data(), file.size(), true, hole)}, self);
  std::memcpy(file.data() + recordAt, self, sizeof self);
  unsigned char buffer[kRecordBufferSize];
  ASSERT_TRUE(CopyRecordToBuffer(file.data() + recordAt, kSelfRecordSize, buffer));
  ASSERT_EQ(MatchSelfRecord(buffer, file.data(), file.size()), 1);
  for (size_t i = 0; i < file.size(); ++i) {
    if (i >= hole && i < hole + kChecksumHoleLength) continue;
    auto changed = file;
    changed[i] ^= 0x01;
    EXPECT_EQ(MatchSelfRecord(buffer, changed.data(), changed.size()), 0) << "byte " << i;
  }
}

TEST(RecordTest, MatchFileRecord) {
  const unsigned char file[] = {1, 2, 3, 4, 5, 6, 7, 8};
  unsigned char buffer[kRecordBufferSize];
  ASSERT_TRUE(CopyRecordToBuffer(reinterpret_cast<const unsigned char*>("000000240C040404"), 16, buffer));
  EXPECT_EQ(MatchFileRecord(buffer, file, sizeof file), 1);
  EXPECT_EQ(MatchFileRecord(buffer, file, 7), 0);
  // An empty file matches only a record whose fields both read 0.
  ASSERT_TRUE(CopyRecordToBuffer(reinterpret_cast<const unsigned char*>("0000000000000000"), 16, buffer));
  EXPECT_EQ(MatchFileRecord(buffer, file, 0), 1);
}

}  // namespace
