#include "tools/patch_make.h"

#include <divsufsort.h>
#include <zlib.h>
#include <zopfli/zopfli.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>

#include "apply/patch_apply.h"
#include "verify/checksum.h"

namespace tools {
namespace {

constexpr int kSegmentBits = 15;
static_assert(patch::kSegmentSize == 1u << kSegmentBits);

struct Command {
  uint32_t copy;
  uint32_t extra;
  int32_t seek;
};

// Finds the longest match of target[from..] among the base's suffixes (a
// binary search of the suffix array, comparing bytes).
class Matcher {
 public:
  explicit Matcher(const Bytes& base) : base_(base), suffixes_(base.size()) {
    if (!base.empty()) divsufsort(base.data(), suffixes_.data(), static_cast<saidx_t>(base.size()));
  }

  // The match's length, and where it starts in the base. The bounds of the
  // search keep how much of the target they share, so each step compares
  // only from there on.
  uint32_t Longest(const Bytes& target, uint32_t from, uint32_t* at) const {
    *at = 0;
    if (suffixes_.empty()) return 0;
    size_t lo = 0, hi = suffixes_.size() - 1;
    uint32_t loCommon = Common(target, static_cast<uint32_t>(suffixes_[lo]), from, 0);
    uint32_t hiCommon = Common(target, static_cast<uint32_t>(suffixes_[hi]), from, 0);
    while (hi - lo > 1) {
      const size_t mid = lo + (hi - lo) / 2;
      const uint32_t s = static_cast<uint32_t>(suffixes_[mid]);
      const uint32_t common = Common(target, s, from, std::min(loCommon, hiCommon));
      // The suffix sorts before the target's when it ends first or has the smaller byte.
      const bool before = s + common == base_.size() ||
                          (from + common < target.size() && base_[s + common] < target[from + common]);
      if (before) {
        lo = mid, loCommon = common;
      } else {
        hi = mid, hiCommon = common;
      }
    }
    *at = static_cast<uint32_t>(loCommon >= hiCommon ? suffixes_[lo] : suffixes_[hi]);
    return std::max(loCommon, hiCommon);
  }

 private:
  // How many bytes the base from s and the target from `from` share, known to share `n`.
  uint32_t Common(const Bytes& target, uint32_t s, uint32_t from, uint32_t n) const {
    while (s + n < base_.size() && from + n < target.size() && base_[s + n] == target[from + n]) ++n;
    return n;
  }

  const Bytes& base_;
  std::vector<saidx_t> suffixes_;
};

// The approximate-match scan: long exact matches found through the suffix
// array are extended both ways while at least half of the bytes still agree,
// so that code which moved and changed a little becomes a copy whose diff
// bytes are mostly zero; what no match covers goes as extra bytes.
std::vector<Command> Diff(const Matcher& matcher, const Bytes& base, const Bytes& target) {
  std::vector<Command> commands;
  const int64_t n = static_cast<int64_t>(base.size());
  const int64_t m = static_cast<int64_t>(target.size());
  auto same = [&](int64_t b, int64_t t) { return b >= 0 && b < n && base[b] == target[t]; };

  int64_t scan = 0, length = 0, position = 0;
  int64_t lastScan = 0, lastPosition = 0, lastOffset = 0;
  while (scan < m) {
    int64_t oldScore = 0;
    int64_t scored = scan += length;
    for (; scan < m; ++scan) {
      uint32_t at = 0;
      length = matcher.Longest(target, static_cast<uint32_t>(scan), &at);
      position = at;
      for (; scored < scan + length; ++scored) oldScore += same(scored + lastOffset, scored);
      // A new match that is as good as continuing the last copy, or clearly
      // better; much better when it leaves the base's segment the last copy
      // reads. The decoder loads and transforms a whole segment for a copy
      // elsewhere: short copies from all over the base cost it one load every
      // hundred bytes or so, and their seeks cost the patch more than they save.
      const bool near = position >> kSegmentBits == (scan + lastOffset) >> kSegmentBits;
      if ((length == oldScore && length != 0) || length > oldScore + (near ? 8 : 32)) break;
      oldScore -= same(scan + lastOffset, scan);
    }
    if (length == oldScore && scan != m) continue;

    // How far the last copy reaches forward, and the new one backward.
    int64_t forward = 0, backward = 0;
    for (int64_t i = 0, agree = 0, best = 0; lastScan + i < scan && lastPosition + i < n;) {
      agree += base[lastPosition + i] == target[lastScan + i];
      ++i;
      if (agree * 2 - i > best * 2 - forward) best = agree, forward = i;
    }
    if (scan < m) {
      for (int64_t i = 1, agree = 0, best = 0; scan >= lastScan + i && position >= i; ++i) {
        agree += base[position - i] == target[scan - i];
        if (agree * 2 - i > best * 2 - backward) best = agree, backward = i;
      }
    }
    if (lastScan + forward > scan - backward) {  // they overlap: split where it loses least
      const int64_t overlap = lastScan + forward - (scan - backward);
      int64_t score = 0, best = 0, split = 0;
      for (int64_t i = 0; i < overlap; ++i) {
        score += base[lastPosition + forward - overlap + i] == target[lastScan + forward - overlap + i];
        score -= base[position - backward + i] == target[scan - backward + i];
        if (score > best) best = score, split = i + 1;
      }
      forward += split - overlap;
      backward -= split;
    }

    const int64_t extraEnd = scan - backward;
    const int64_t seek = scan < m ? (position - backward) - (lastPosition + forward) : 0;
    commands.push_back({static_cast<uint32_t>(forward), static_cast<uint32_t>(extraEnd - lastScan - forward),
                        static_cast<int32_t>(seek)});
    lastScan = scan - backward;
    lastPosition = position - backward;
    lastOffset = position - scan;
  }
  return commands;
}

void PutNumber(Bytes& out, uint32_t value) {
  for (; value >= 0x80; value >>= 7) out.push_back(static_cast<unsigned char>(value | 0x80));
  out.push_back(static_cast<unsigned char>(value));
}

// The stream's blocks: each holds at most kMaxBlockCommands commands and
// kMaxBlockExtra extra bytes (a longer extra is split), its commands, then
// its extra bytes, then its diff bytes as runs of zeros and the byte after
// each, so that like bytes sit together for deflate while the decoder keeps
// only one block's extra bytes.
Bytes Blocks(const std::vector<Command>& commands, const Bytes& base, const Bytes& target) {
  Bytes stream, extra, diff;
  std::vector<Command> block;
  uint32_t zeros = 0;
  size_t from = 0, to = 0;  // where the next copy reads the base and writes the target
  auto flush = [&] {
    if (block.empty()) return;
    PutNumber(stream, static_cast<uint32_t>(block.size()));
    for (const Command& c : block) {
      PutNumber(stream, c.copy);
      PutNumber(stream, c.extra);
      PutNumber(stream, static_cast<uint32_t>(c.seek) << 1 ^ static_cast<uint32_t>(c.seek >> 31));
    }
    if (zeros != 0) PutNumber(diff, zeros);
    stream.insert(stream.end(), extra.begin(), extra.end());
    stream.insert(stream.end(), diff.begin(), diff.end());
    extra.clear();
    diff.clear();
    block.clear();
    zeros = 0;
  };
  auto add = [&](Command c) {
    block.push_back(c);
    for (uint32_t i = 0; i < c.copy; ++i) {
      const unsigned char d = static_cast<unsigned char>(target[to + i] - base[from + i]);
      if (d == 0) {
        ++zeros;
      } else {
        PutNumber(diff, zeros);
        diff.push_back(d);
        zeros = 0;
      }
    }
    extra.insert(extra.end(), target.begin() + to + c.copy, target.begin() + to + c.copy + c.extra);
    from += c.copy + static_cast<int64_t>(c.seek);
    to += c.copy + c.extra;
  };
  for (Command c : commands) {
    for (;;) {
      if (block.size() == patch::kMaxBlockCommands || extra.size() == patch::kMaxBlockExtra) flush();
      const uint32_t room = static_cast<uint32_t>(patch::kMaxBlockExtra - extra.size());
      if (c.extra <= room) break;
      add({c.copy, room, 0});
      c.copy = 0;
      c.extra -= room;
    }
    add(c);
  }
  flush();
  return stream;
}

// zlib's best, to compare the candidates quickly.
size_t DeflatedSize(const Bytes& data) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  Bytes out(size);
  compress2(out.data(), &size, data.data(), static_cast<uLong>(data.size()), Z_BEST_COMPRESSION);
  return size;
}

// The stream as the patch carries it: zopfli's exhaustive search for the
// shortest deflate, which any inflate reads (a few percent below zlib's best).
Bytes Deflate(const Bytes& data) {
  ZopfliOptions options;
  ZopfliInitOptions(&options);
  options.numiterations = 3;  // most of its gain; it costs little beside the diff
  unsigned char* out = nullptr;
  size_t size = 0;
  ZopfliCompress(&options, ZOPFLI_FORMAT_ZLIB, data.data(), data.size(), &out, &size);
  Bytes bytes(out, out + size);
  free(out);
  return bytes;
}

// The transform a Windows image's machine asks for: none for anything else.
uint32_t TransformFor(const Bytes& file) {
  if (file.size() < 0x40 || file[0] != 'M' || file[1] != 'Z') return 0;
  const uint32_t pe = uint32_t{file[0x3C]} | uint32_t{file[0x3D]} << 8 | uint32_t{file[0x3E]} << 16 |
                      uint32_t{file[0x3F]} << 24;
  if (pe > file.size() - 6 || std::memcmp(file.data() + pe, "PE\0\0", 4) != 0) return 0;
  const uint32_t machine = uint32_t{file[pe + 4]} | uint32_t{file[pe + 5]} << 8;
  if (machine == 0x14C) return patch::kTransformBranches;
  if (machine == 0x8664) return patch::kTransformBranches | patch::kTransformRipRelative;
  return 0;
}

void Transform(Bytes& file, uint32_t flags, bool forward) {
  for (size_t at = 0; at < file.size(); at += patch::kSegmentSize) {
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(patch::kSegmentSize, file.size() - at));
    patch::TransformSegment(file.data() + at, n, static_cast<uint32_t>(at), flags, forward);
  }
}

// What `work` returns with both files transformed by `flags` (in place and
// undone before it returns, so no copy is needed).
template <typename Work>
auto Transformed(Bytes& base, Bytes& target, uint32_t flags, Work work) {
  Transform(base, flags, true);
  Transform(target, flags, true);
  auto result = work();
  Transform(base, flags, false);
  Transform(target, flags, false);
  return result;
}

// The blocks of the patch from base to target, with the transform `flags`.
Bytes Stream(Bytes& base, Bytes& target, uint32_t flags) {
  return Transformed(base, target, flags,
                     [&] { return Blocks(Diff(Matcher(base), base, target), base, target); });
}

// A large program's scan costs many times its suffix sort (on a 79 MB
// program, about 35 s against 3 s), so whether the transform pays is tried on
// pieces spread over the target, each matched against the whole base, and
// the whole target is then diffed once. Smaller files are diffed both ways.
constexpr size_t kSamplePieces = 16;
constexpr size_t kSamplePiece = 128 * 1024;
constexpr size_t kSampleAbove = 8 * kSamplePieces * kSamplePiece;

// The deflated size of the stream from the base to the target's pieces, with the transform `flags`.
size_t SampledSize(Bytes& base, Bytes& target, uint32_t flags) {
  return Transformed(base, target, flags, [&] {
    Bytes pieces;
    for (size_t i = 0; i < kSamplePieces; ++i) {
      const auto at = target.begin() + static_cast<std::ptrdiff_t>(i * (target.size() / kSamplePieces));
      pieces.insert(pieces.end(), at, at + kSamplePiece);
    }
    return DeflatedSize(Blocks(Diff(Matcher(base), base, pieces), base, pieces));
  });
}

const unsigned char* ReadBase(void* context, uint32_t offset, uint32_t length) {
  const auto& base = *static_cast<const Bytes*>(context);
  return offset <= base.size() && length <= base.size() - offset ? base.data() + offset : nullptr;
}

bool Collect(void* context, const unsigned char* bytes, uint32_t count, uint32_t* stored) {
  auto& out = *static_cast<Bytes*>(context);
  out.insert(out.end(), bytes, bytes + count);
  *stored = count;
  return true;
}

}  // namespace

bool MakePatch(Bytes& base, Bytes& target, Bytes* patch, std::string* error) {
  // The suffix array counts in 31 bits; the updater in 32.
  if (base.size() >= (1u << 31) || target.size() > UINT32_MAX) {
    *error = "a file is larger than a patch can take (2 GiB for the old file, 4 GiB for the new)";
    return false;
  }
  uint32_t flags = 0;
  Bytes stream;
  const uint32_t transform = TransformFor(target) & TransformFor(base);
  if (transform != 0 && target.size() > kSampleAbove) {
    if (SampledSize(base, target, transform) < SampledSize(base, target, 0)) flags = transform;
    stream = Stream(base, target, flags);
  } else {
    stream = Stream(base, target, 0);
    if (transform != 0) {
      Bytes transformed = Stream(base, target, transform);
      if (DeflatedSize(transformed) < DeflatedSize(stream)) {
        stream.swap(transformed);
        flags = transform;
      }
    }
  }
  const patch::Header header = {
      flags, static_cast<uint32_t>(base.size()), ScanFileChecksum(base.data(), base.size(), false, 0),
      static_cast<uint32_t>(target.size()), ScanFileChecksum(target.data(), target.size(), false, 0)};
  unsigned char bytes[patch::kHeaderSize];
  patch::WriteHeader(header, bytes);
  patch->assign(bytes, bytes + sizeof bytes);
  const Bytes deflated = Deflate(stream);
  patch->insert(patch->end(), deflated.begin(), deflated.end());
  return true;
}

bool ApplyPatch(const Bytes& base, const Bytes& patch, Bytes* result, std::string* error) {
  patch::Header header;
  if (patch.size() > UINT32_MAX ||
      !patch::ReadHeader(patch.data(), static_cast<uint32_t>(patch.size()), &header)) {
    *error = "not a patch";
    return false;
  }
  if (header.baseSize != base.size() ||
      !(ScanFileChecksum(base.data(), base.size(), false, 0) == header.baseChecksum)) {
    *error = "the patch is not made from this file (its size or checksum differs)";
    return false;
  }
  result->clear();
  const payload::Outcome outcome =
      patch::WritePatchedFile(patch.data(), static_cast<uint32_t>(patch.size()), ReadBase,
                              const_cast<Bytes*>(&base), Collect, result);
  if (outcome != payload::Outcome::kWritten) {
    *error = "the patch is damaged";
    return false;
  }
  return true;
}

bool ReadWholeFile(const std::string& path, Bytes* bytes) {
  std::error_code ec;
  const uint64_t size = std::filesystem::file_size(path, ec);
  std::ifstream in(path, std::ios::binary);
  if (ec || !in || size > SIZE_MAX) return false;
  bytes->resize(static_cast<size_t>(size));
  return size == 0 || in.read(reinterpret_cast<char*>(bytes->data()), static_cast<std::streamsize>(size));
}

bool WriteWholeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size())) &&
      out.flush()) {
    return true;
  }
  out.close();
  std::error_code ec;
  std::filesystem::remove(path, ec);
  return false;
}

int DiffFiles(const std::string& base, const std::string& target, const std::string& patchPath,
              std::ostream& err) {
  Bytes old, next, patch, check;
  std::string error;
  for (const auto& [path, bytes] : {std::pair{&base, &old}, std::pair{&target, &next}}) {
    if (!ReadWholeFile(*path, bytes)) {
      err << "payloadtool: cannot read " << *path << "\n";
      return 1;
    }
  }
  if (!MakePatch(old, next, &patch, &error) || !ApplyPatch(old, patch, &check, &error) || check != next) {
    err << "payloadtool: " << target << ": " << (error.empty() ? "the patch does not make the file" : error)
        << "\n";
    return 1;
  }
  if (!WriteWholeFile(patchPath, patch)) {
    err << "payloadtool: cannot write " << patchPath << "\n";
    return 1;
  }
  return 0;
}

int PatchFile(const std::string& base, const std::string& patchPath, const std::string& out,
              std::ostream& err) {
  Bytes old, patch, result;
  std::string error;
  if (!ReadWholeFile(base, &old) || !ReadWholeFile(patchPath, &patch)) {
    err << "payloadtool: cannot read " << (ReadWholeFile(base, &old) ? patchPath : base) << "\n";
    return 1;
  }
  if (!ApplyPatch(old, patch, &result, &error)) {
    err << "payloadtool: " << patchPath << ": " << error << "\n";
    return 1;
  }
  if (!WriteWholeFile(out, result)) {
    err << "payloadtool: cannot write " << out << "\n";
    return 1;
  }
  return 0;
}

}  // namespace tools
