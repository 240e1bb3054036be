#include "verify/record.h"

#include <cstring>

namespace {

uint32_t ReadLittleEndian32(const unsigned char* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void WriteLittleEndian32(unsigned char* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(value >> (8 * i));
}

// Digit value of a lowercased character of the run, or -1 for x, or -2 outside the run.
int ClassifyHexChar(char c) {
  if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c == 'x') return -1;
  return -2;
}

}  // namespace

uint32_t ParseHexFieldBounded(const char* text, size_t maxLength) {
  // Walking forward from the last x gives the same value as walking back from
  // the end of the run, and needs no copy of the text. More than eight digits
  // after the last x are outside the record format; they keep what the 32-bit
  // sum of the contributions gives, so the leading digits wrap out.
  uint32_t value = 0;
  for (size_t i = 0; i < maxLength && text[i] != '\0'; ++i) {
    int digit = ClassifyHexChar(text[i]);
    if (digit == -2) break;
    value = digit == -1 ? 0 : (value << 4) + static_cast<uint32_t>(digit);
  }
  return value;
}

uint32_t ParseHexField(const char* text) { return ParseHexFieldBounded(text, SIZE_MAX); }

bool CopyRecordToBuffer(const unsigned char* record, size_t size,
                        unsigned char (&buffer)[kRecordBufferSize]) {
  if (size > kRecordBufferSize) return false;
  std::memset(buffer, 0, sizeof buffer);
  if (size != 0) std::memcpy(buffer, record, size);
  return true;
}

FileChecksum ReadFileRecord(const unsigned char (&buffer)[kRecordBufferSize]) {
  const char* text = reinterpret_cast<const char*>(buffer);
  FileChecksum fields;
  fields.wordXor = ParseHexFieldBounded(text + 8, kRecordBufferSize - 8);
  fields.byteSum = ParseHexFieldBounded(text, 8);
  return fields;
}

SelfRecordValues ReadSelfRecord(const unsigned char (&buffer)[kRecordBufferSize]) {
  return SelfRecordValues{ReadLittleEndian32(buffer + 4),
                          FileChecksum{ReadLittleEndian32(buffer + 8), ReadLittleEndian32(buffer + 12)}};
}

void FormatFileRecord(FileChecksum checksum, char (&text)[kFileRecordLength + 1]) {
  static const char kDigits[] = "0123456789abcdef";
  const uint32_t fields[2] = {checksum.byteSum, checksum.wordXor};
  for (int f = 0; f < 2; ++f)
    for (int i = 0; i < 8; ++i) text[f * 8 + i] = kDigits[(fields[f] >> (28 - 4 * i)) & 0xF];
  text[kFileRecordLength] = '\0';
}

void FormatSelfRecord(SelfRecordValues values, unsigned char (&record)[kSelfRecordSize]) {
  std::memset(record, 0, sizeof record);
  std::memcpy(record, "/**/", 4);
  WriteLittleEndian32(record + 4, values.holeOffset);
  WriteLittleEndian32(record + 8, values.checksum.byteSum);
  WriteLittleEndian32(record + 12, values.checksum.wordXor);
}

int MatchFileRecord(const unsigned char (&buffer)[kRecordBufferSize], const unsigned char* file,
                    size_t size) {
  return ScanFileChecksum(file, size, false, 0) == ReadFileRecord(buffer) ? 1 : 0;
}

int MatchSelfRecord(const unsigned char (&buffer)[kRecordBufferSize], const unsigned char* file,
                    size_t size) {
  SelfRecordValues stated = ReadSelfRecord(buffer);
  return ScanFileChecksum(file, size, true, stated.holeOffset) == stated.checksum ? 1 : 0;
}
