#include "tools/payload_deflate.h"

#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <ostream>
#include <vector>

#include "apply/payload_source.h"

namespace tools {

bool DeflatePayload(std::istream& in, uint64_t size, std::ostream& out, std::string* error) {
  if (size > UINT32_MAX) {
    *error = "the file is " + std::to_string(size) + " bytes; the updater counts a file's bytes in 32 bits";
    return false;
  }
  unsigned char header[payload::kDeflatedHeaderSize];
  payload::WriteDeflatedHeader(static_cast<uint32_t>(size), header);
  out.write(reinterpret_cast<const char*>(header), sizeof header);

  z_stream stream = {};
  // The best level and the largest window and memory zlib has: the updater's
  // inflate takes the same 32 KiB window whatever the level.
  if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
    *error = "zlib could not start deflating";
    return false;
  }
  std::vector<unsigned char> input(1 << 20), output(1 << 20);
  uint64_t left = size;
  int result = Z_OK;
  while (result != Z_STREAM_END) {
    if (stream.avail_in == 0 && left != 0) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(left, input.size()));
      if (!in.read(reinterpret_cast<char*>(input.data()), static_cast<std::streamsize>(n))) break;
      stream.next_in = input.data();
      stream.avail_in = static_cast<uInt>(n);
      left -= n;
    }
    stream.next_out = output.data();
    stream.avail_out = static_cast<uInt>(output.size());
    result = deflate(&stream, left == 0 ? Z_FINISH : Z_NO_FLUSH);
    if (result == Z_STREAM_ERROR) break;
    out.write(reinterpret_cast<const char*>(output.data()),
              static_cast<std::streamsize>(output.size() - stream.avail_out));
  }
  deflateEnd(&stream);
  if (result != Z_STREAM_END || !out) {
    *error = in ? "zlib or the output failed" : "the file ended before its size";
    return false;
  }
  return true;
}

bool WriteCheckRecord(std::istream& in, uint64_t size, std::ostream& out, std::string* error) {
  if (size > UINT32_MAX) {
    *error = "the file is " + std::to_string(size) + " bytes; the updater counts a file's bytes in 32 bits";
    return false;
  }
  ChecksumRun run;
  std::vector<char> piece(1 << 20);
  while (in.read(piece.data(), static_cast<std::streamsize>(piece.size())) || in.gcount() > 0) {
    run.Add(reinterpret_cast<const unsigned char*>(piece.data()), static_cast<size_t>(in.gcount()));
  }
  if (run.Length() != size) {
    *error = "the file changed while it was read";
    return false;
  }
  unsigned char record[payload::kCheckRecordSize];
  payload::WriteCheckRecord(static_cast<uint32_t>(size), run.Value(), record);
  return static_cast<bool>(out.write(reinterpret_cast<const char*>(record), sizeof record));
}

namespace {

// Runs one of the steps above from file `in` into file `out`; on failure
// leaves no `out` behind.
int RunFileStep(const std::string& in, const std::string& out, std::ostream& err,
                bool (*step)(std::istream&, uint64_t, std::ostream&, std::string*)) {
  std::error_code ec;
  const uint64_t size = std::filesystem::file_size(in, ec);
  std::ifstream input(in, std::ios::binary);
  if (ec || !input) {
    err << "payloadtool: cannot read " << in << "\n";
    return 1;
  }
  std::ofstream output(out, std::ios::binary | std::ios::trunc);
  std::string error;
  if (!output || !step(input, size, output, &error) || !output.flush()) {
    output.close();
    std::filesystem::remove(out, ec);
    err << "payloadtool: " << in << ": " << (error.empty() ? "cannot write " + out : error) << "\n";
    return 1;
  }
  return 0;
}

}  // namespace

int DeflatePayloadFile(const std::string& in, const std::string& out, std::ostream& err) {
  return RunFileStep(in, out, err, DeflatePayload);
}

int WriteCheckRecordFile(const std::string& in, const std::string& out, std::ostream& err) {
  return RunFileStep(in, out, err, WriteCheckRecord);
}

}  // namespace tools
