// Deflates a payload file into the resource a profile with UPDATER_COMPRESS
// carries (apply/payload_source.h has the format): the header, then a zlib
// stream at the best level. Host-only: payloadtool runs it at build time.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

namespace tools {

// Deflates the `size` bytes `in` holds into `out`, in pieces, so that a file of
// any size passes through a fixed buffer. False with a message when the file
// is too large for the 32-bit size the updater counts in, or a stream fails.
bool DeflatePayload(std::istream& in, uint64_t size, std::ostream& out, std::string* error);

// The `payloadtool deflate IN OUT` command. 0 on success, 1 with a message on err.
int DeflatePayloadFile(const std::string& in, const std::string& out, std::ostream& err);

// Writes the check record (apply/payload_source.h) of the `size` bytes `in`
// holds into `out`: their size and checksum, read in pieces.
bool WriteCheckRecord(std::istream& in, uint64_t size, std::ostream& out, std::string* error);

// The `payloadtool check IN OUT` command: writes the check record of file IN
// (its size and checksum, apply/payload_source.h) to OUT. 0 on success, 1
// with a message on err.
int WriteCheckRecordFile(const std::string& in, const std::string& out, std::ostream& err);

}  // namespace tools
