// Checksum records of the record library: reading them from the 260-byte
// buffer the installation check copies them into, and writing them.
//
// A FileRecord is 16 ASCII characters, the byte sum then the word XOR, each
// as 8 lowercase hex digits. A SelfRecord is 32 bytes: the marker "/**/",
// then little-endian hole offset, byte sum and word XOR, then 16 zero bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "verify/checksum.h"

constexpr size_t kRecordBufferSize = 260;
constexpr size_t kFileRecordLength = 16;
constexpr size_t kSelfRecordSize = 32;
// The hole covers the self record's three values, which follow the marker.
constexpr uint32_t kSelfRecordHoleStart = 4;

struct SelfRecordValues {
  uint32_t holeOffset;
  FileChecksum checksum;
};

// Reads a hex field the lenient way the check does: ASCII capitals read as
// lowercase; the run of 0-9, a-f and x at the start counts; only the digits
// after the run's last x count. "0x1F", "x1f" and "1f" read 0x1F; "12g4"
// reads 0x12; "", "g1" and "1fx" read 0.
uint32_t ParseHexField(const char* text);

// The same over at most maxLength characters: stops at a zero byte or there.
uint32_t ParseHexFieldBounded(const char* text, size_t maxLength);

// Copies a record into the check's buffer: zero-filled, then the record at its
// start. Refuses (returns false, buffer untouched) a record larger than the buffer.
bool CopyRecordToBuffer(const unsigned char* record, size_t size, unsigned char (&buffer)[kRecordBufferSize]);

// The FileRecord in a buffer: the sum field is its first 8 characters (fewer
// when its text is shorter), the XOR field the text from the 9th character to
// the first zero byte or the end of the buffer.
FileChecksum ReadFileRecord(const unsigned char (&buffer)[kRecordBufferSize]);

// The SelfRecord's values; bytes the record did not reach read as zero.
SelfRecordValues ReadSelfRecord(const unsigned char (&buffer)[kRecordBufferSize]);

// Writes the 16 characters of a FileRecord and a terminating zero.
void FormatFileRecord(FileChecksum checksum, char (&text)[kFileRecordLength + 1]);

// Writes a whole SelfRecord: marker, values, zero reserved bytes.
void FormatSelfRecord(SelfRecordValues values, unsigned char (&record)[kSelfRecordSize]);

// The two comparisons of the check, on a record buffer and a file's content
// held in memory: non-zero when the file matches.
int MatchFileRecord(const unsigned char (&buffer)[kRecordBufferSize], const unsigned char* file, size_t size);
int MatchSelfRecord(const unsigned char (&buffer)[kRecordBufferSize], const unsigned char* file, size_t size);
