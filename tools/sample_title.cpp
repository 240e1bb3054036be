#include "tools/sample_title.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <ostream>

#include "tools/record_library.h"

namespace tools {
namespace {

// splitmix64: small, fixed and the same on every host.
struct Prng {
  uint64_t state;
  uint64_t Next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
};

std::vector<uint8_t> RandomContent(size_t size, uint64_t seed) {
  Prng prng{seed};
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; i += 8) {
    uint64_t v = prng.Next();
    for (size_t j = 0; j < 8 && i + j < size; ++j) bytes[i + j] = static_cast<uint8_t>(v >> (8 * j));
  }
  return bytes;
}

uint32_t ByteSumOf(uint32_t word) {
  return (word & 0xFF) + (word >> 8 & 0xFF) + (word >> 16 & 0xFF) + (word >> 24);
}

// Two words a, b with a ^ b == x and byteSum(a) + byteSum(b) == wanted, if any.
// Per byte, a_j + b_j = x_j + 2 c_j where c_j = a_j & b_j is any subset of
// the bits x_j leaves clear; the c_j are picked greedily, largest bit first.
bool SolveTailWords(uint32_t x, int64_t wanted, uint32_t* a, uint32_t* b) {
  const int64_t base = ByteSumOf(x);
  if (wanted < base || (wanted - base) % 2 != 0) return false;
  int64_t rest = (wanted - base) / 2;
  uint32_t c = 0;
  for (int bit = 7; bit >= 0; --bit)
    for (int j = 0; j < 4; ++j) {
      const uint32_t mask = 1u << (8 * j + bit);
      if ((x & mask) == 0 && rest >= (1 << bit)) {
        c |= mask;
        rest -= 1 << bit;
      }
    }
  if (rest != 0) return false;
  *a = x | c;
  *b = c;
  return true;
}

void PutWord(std::vector<uint8_t>& bytes, size_t at, uint32_t w) {
  for (int j = 0; j < 4; ++j) bytes[at + j] = static_cast<uint8_t>(w >> (8 * j));
}

bool WriteIfChanged(const std::filesystem::path& path, const std::vector<uint8_t>& content, bool* written,
                    std::string* error) {
  std::vector<uint8_t> existing;
  std::string ignored;
  *written = false;
  if (ReadWholeFile(path.string(), &existing, &ignored) && existing == content) return true;
  std::error_code ec;
  std::filesystem::create_directories(path.parent_path(), ec);
  std::ofstream stream(path, std::ios::binary | std::ios::trunc);
  stream.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
  if (!stream.flush()) {
    *error = "cannot write " + path.string();
    return false;
  }
  *written = true;
  return true;
}

}  // namespace

bool ForceFileChecksum(std::vector<uint8_t>* bytes, FileChecksum target) {
  std::vector<uint8_t>& b = *bytes;
  if (b.size() % 4 != 0 || b.size() < 16) return false;
  uint32_t lowBits = 0;
  for (int j = 0; j < 4; ++j) lowBits ^= target.wordXor >> (8 * j) & 1;
  if ((target.byteSum & 1) != lowBits) return false;
  const size_t tail = b.size() - 8;
  // Each step moves one body byte (walking back from the tail) so that the
  // sum still needed lands in the middle of what two words can carry (0..2040).
  FileChecksum body = ScanFileChecksum(b.data(), tail, false, 0);
  for (size_t step = 0; step < tail; ++step) {
    const int64_t need = static_cast<int32_t>(target.byteSum - body.byteSum);
    const uint32_t x = target.wordXor ^ body.wordXor;
    uint32_t wa, wb;
    if (need >= 0 && need <= 2040 && SolveTailWords(x, need, &wa, &wb)) {
      PutWord(b, tail, wa);
      PutWord(b, tail + 4, wb);
      return ScanFileChecksum(b.data(), b.size(), false, 0) == target;
    }
    const size_t at = tail - 1 - step;
    int64_t delta = need - 1020;
    if (delta == 0) delta = 1;  // in range but no exact split: change the XOR and retry
    const uint8_t old = b[at];
    b[at] = static_cast<uint8_t>(std::clamp<int64_t>(old + delta, 0, 255));
    body.byteSum += static_cast<uint32_t>(b[at]) - old;
    body.wordXor ^= static_cast<uint32_t>(old ^ b[at]) << (8 * (at % 4));
  }
  return false;
}

bool MakeSampleInstall(bool newVersion, std::vector<SampleFile>* files, std::string* error) {
  files->clear();
  std::vector<uint8_t> main;
  if (newVersion) {
    main = RandomContent(kNewMainSize, 0x5EED0001);
    if (!ForceFileChecksum(&main, kNewMainChecksum)) {
      *error = "cannot give the new main program its record";
      return false;
    }
  } else {
    main = RandomContent(kOldMainSize, 0x5EED0002);
  }
  files->push_back({"TumbleTrain.exe", std::move(main)});
  // The title's other files are the same in both versions.
  const struct {
    const char* path;
    size_t size;
  } others[] = {
      {"TumbleConfig.exe", 49152},    {"dll/TumbleAudio.dll", 81920},  {"dll/TumbleGraphics.dll", 131072},
      {"dll/TumbleInput.dll", 24576}, {"dll/TumbleScript.dll", 65536}, {"dll/TumbleSave.dll", 16384},
  };
  uint64_t seed = 0x5EED0100;
  for (const auto& other : others) files->push_back({other.path, RandomContent(other.size, seed++)});

  std::vector<RecordSource> sources;
  for (const auto& file : *files) sources.push_back({RecordNameForPath(file.path), file.content});
  std::vector<uint8_t> library;
  if (!BuildRecordLibrary(sources, kSampleLibrarySize, &library, error)) return false;
  files->push_back({"dll/RESOURCE.dll", std::move(library)});
  return true;
}

int RunSamplegen(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.size() != 2 || args[0] != "--out") {
    err << "usage: samplegen --out DIR\n";
    return 2;
  }
  size_t writtenCount = 0;
  for (bool newVersion : {true, false}) {
    std::vector<SampleFile> files;
    std::string error;
    if (!MakeSampleInstall(newVersion, &files, &error)) {
      err << "samplegen: " << error << "\n";
      return 1;
    }
    const std::filesystem::path root = std::filesystem::path(args[1]) / (newVersion ? "new" : "old");
    for (const auto& file : files) {
      bool written = false;
      if (!WriteIfChanged(root / file.path, file.content, &written, &error)) {
        err << "samplegen: " << error << "\n";
        return 1;
      }
      writtenCount += written;
    }
  }
  out << "samplegen: " << writtenCount << " files written to " << args[1] << "\n";
  return 0;
}

}  // namespace tools
