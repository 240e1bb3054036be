#include "verify/checksum.h"

#include <atomic>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// The AVX2 and AVX-512 kernels are built for x86-64 alone, each with its own
// target attribute, and only ever called after the CPU has said it runs them:
// the rest of the program stays baseline.
#if defined(__x86_64__) && defined(__GNUC__)
#define CHECKSUM_HAVE_AVX2 1
#include <cpuid.h>
#include <immintrin.h>
#endif

// How the scan is put together. The word XOR does not care where a word's
// bytes come from, only at which offset modulo 4 each byte lies: byte f of the
// file lands in bits 8 * (f % 4) of the XOR. So both halves of the checksum are
// sums over byte ranges, and any piece of a range can be scanned on its own
// and its XOR rotated into place by the piece's start modulo 4. That lets the
// vector kernels start on an aligned address whatever the file offset.

namespace {

uint32_t RotateLanes(uint32_t x, size_t offset) {
  const unsigned shift = 8 * static_cast<unsigned>(offset % 4);
  return shift == 0 ? x : (x << shift) | (x >> (32 - shift));
}

// Bytes one at a time; `offset` is p's place relative to the XOR lanes.
void ScanBytes(const unsigned char* p, size_t n, size_t offset, uint32_t& sum, uint32_t& lanes) {
  for (size_t i = 0; i < n; ++i) {
    sum += p[i];
    lanes ^= uint32_t{p[i]} << (8 * ((offset + i) % 4));
  }
}

uint32_t LoadWord(const unsigned char* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// A kernel scans p[0, n) with bytes in lanes relative to p, and returns how
// many bytes it took (its caller scans the rest).
using Kernel = size_t (*)(const unsigned char* p, size_t n, uint32_t& sum, uint32_t& lanes);

// Any CPU: four bytes at a time, the byte sum by pairs of 16-bit halves.
size_t ScanPortable(const unsigned char* p, size_t n, uint32_t& sum, uint32_t& lanes) {
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const uint32_t w = LoadWord(p + i);
    lanes ^= w;
    const uint32_t pairs = (w & 0x00FF00FFu) + ((w >> 8) & 0x00FF00FFu);
    sum += (pairs & 0xFFFFu) + (pairs >> 16);
  }
  return i;
}

#if defined(__SSE2__)

// psadbw runs on one execution port only, so half of the blocks take another
// route to their byte sum: added as 16-bit lanes (W, which mixes low and high
// bytes modulo 2^16) beside a sum of their high bytes alone (H). The low bytes'
// sum is then W - 256 * H, exact while no lane can pass 65535.
constexpr size_t kSse2LaneFlushRounds = 128;  // 128 rounds * 2 blocks * 255 < 65536

__m128i WidenLanes16(__m128i v) {
  return _mm_add_epi32(_mm_and_si128(v, _mm_set1_epi32(0xFFFF)), _mm_srli_epi32(v, 16));
}

size_t ScanBlocksSse2(const unsigned char* p, size_t n, uint32_t& sum, uint32_t& lanes) {
  const __m128i zero = _mm_setzero_si128();
  __m128i sadSum = zero, laneSum = zero, xor0 = zero, xor1 = zero;
  const size_t rounds = n / 64;
  size_t round = 0;
  while (round < rounds) {
    const size_t stop = round + kSse2LaneFlushRounds < rounds ? round + kSse2LaneFlushRounds : rounds;
    __m128i w = zero, h = zero;
    for (; round < stop; ++round) {
      const __m128i* q = reinterpret_cast<const __m128i*>(p + round * 64);
      const __m128i a = _mm_load_si128(q);
      const __m128i b = _mm_load_si128(q + 1);
      const __m128i c = _mm_load_si128(q + 2);
      const __m128i d = _mm_load_si128(q + 3);
      xor0 = _mm_xor_si128(xor0, _mm_xor_si128(a, c));
      xor1 = _mm_xor_si128(xor1, _mm_xor_si128(b, d));
      sadSum = _mm_add_epi64(sadSum, _mm_add_epi64(_mm_sad_epu8(a, zero), _mm_sad_epu8(c, zero)));
      w = _mm_add_epi16(w, _mm_add_epi16(b, d));
      h = _mm_add_epi16(h, _mm_add_epi16(_mm_srli_epi16(b, 8), _mm_srli_epi16(d, 8)));
    }
    const __m128i low = _mm_sub_epi16(w, _mm_slli_epi16(h, 8));
    laneSum = _mm_add_epi32(laneSum, _mm_add_epi32(WidenLanes16(low), WidenLanes16(h)));
  }
  size_t i = rounds * 64;
  for (; i + 16 <= n; i += 16) {
    const __m128i a = _mm_load_si128(reinterpret_cast<const __m128i*>(p + i));
    xor0 = _mm_xor_si128(xor0, a);
    sadSum = _mm_add_epi64(sadSum, _mm_sad_epu8(a, zero));
  }
  // Only the low 32 bits of the sum matter, so 32-bit lanes may wrap freely.
  __m128i s = _mm_add_epi32(laneSum, _mm_shuffle_epi32(laneSum, 0x4E));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
  s = _mm_add_epi32(s, _mm_add_epi64(sadSum, _mm_unpackhi_epi64(sadSum, sadSum)));
  __m128i x = _mm_xor_si128(xor0, xor1);
  x = _mm_xor_si128(x, _mm_unpackhi_epi64(x, x));
  x = _mm_xor_si128(x, _mm_srli_epi64(x, 32));
  sum += static_cast<uint32_t>(_mm_cvtsi128_si32(s));
  lanes ^= static_cast<uint32_t>(_mm_cvtsi128_si32(x));
  return i;
}

#endif

#if defined(CHECKSUM_HAVE_AVX2)

// Per 128 bytes: two vectors summed by psadbw (one port), two by pmaddubsw
// against ones (two other ports), all four XORed. 32 rounds of pmaddubsw pairs
// (at most 32 * 2 * 510) stay below 32768, so pmaddwd may widen them as signed.
constexpr size_t kAvx2LaneFlushRounds = 32;

// Ends a 256-bit kernel: its 32-bit sum lanes and XOR lanes folded to 128
// bits, the 16-byte blocks after its last 32-byte one, and the lanes folded into
// sum and lanes. Returns the offset where the kernel's blocks end.
__attribute__((target("avx2"), always_inline)) inline size_t FinishWideKernel(
    const unsigned char* p, size_t n, size_t i, __m256i s256, __m256i x256, uint32_t& sum, uint32_t& lanes) {
  __m128i s = _mm_add_epi32(_mm256_castsi256_si128(s256), _mm256_extracti128_si256(s256, 1));
  __m128i x = _mm_xor_si128(_mm256_castsi256_si128(x256), _mm256_extracti128_si256(x256, 1));
  for (; i + 16 <= n; i += 16) {
    const __m128i a = _mm_load_si128(reinterpret_cast<const __m128i*>(p + i));
    x = _mm_xor_si128(x, a);
    s = _mm_add_epi32(s, _mm_sad_epu8(a, _mm_setzero_si128()));
  }
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
  x = _mm_xor_si128(x, _mm_unpackhi_epi64(x, x));
  x = _mm_xor_si128(x, _mm_srli_epi64(x, 32));
  sum += static_cast<uint32_t>(_mm_cvtsi128_si32(s));
  lanes ^= static_cast<uint32_t>(_mm_cvtsi128_si32(x));
  return i;
}

// One function without calls: everything stays in registers, so no 32-byte
// value is ever spilled to a stack that the Windows x64 ABI aligns to 16 only.
__attribute__((target("avx2"))) size_t ScanBlocksAvx2(const unsigned char* p, size_t n, uint32_t& sum,
                                                      uint32_t& lanes) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i ones8 = _mm256_set1_epi8(1);
  const __m256i ones16 = _mm256_set1_epi16(1);
  __m256i sadSum = zero, laneSum = zero, xor0 = zero, xor1 = zero;
  const size_t rounds = n / 128;
  size_t round = 0;
  while (round < rounds) {
    const size_t stop = round + kAvx2LaneFlushRounds < rounds ? round + kAvx2LaneFlushRounds : rounds;
    __m256i w = zero;
    for (; round < stop; ++round) {
      const __m256i* q = reinterpret_cast<const __m256i*>(p + round * 128);
      const __m256i a = _mm256_load_si256(q);
      const __m256i b = _mm256_load_si256(q + 1);
      const __m256i c = _mm256_load_si256(q + 2);
      const __m256i d = _mm256_load_si256(q + 3);
      xor0 = _mm256_xor_si256(xor0, _mm256_xor_si256(a, c));
      xor1 = _mm256_xor_si256(xor1, _mm256_xor_si256(b, d));
      sadSum = _mm256_add_epi64(sadSum, _mm256_add_epi64(_mm256_sad_epu8(a, zero), _mm256_sad_epu8(c, zero)));
      w = _mm256_add_epi16(w,
                           _mm256_add_epi16(_mm256_maddubs_epi16(b, ones8), _mm256_maddubs_epi16(d, ones8)));
    }
    laneSum = _mm256_add_epi32(laneSum, _mm256_madd_epi16(w, ones16));
  }
  // Only the low half of each 64-bit sad lane counts: the sum is wanted modulo 2^32.
  size_t i = rounds * 128;
  for (; i + 32 <= n; i += 32) {
    const __m256i a = _mm256_load_si256(reinterpret_cast<const __m256i*>(p + i));
    xor0 = _mm256_xor_si256(xor0, a);
    sadSum = _mm256_add_epi64(sadSum, _mm256_sad_epu8(a, zero));
  }
  const __m256i s256 = _mm256_add_epi32(laneSum, _mm256_and_si256(sadSum, _mm256_set1_epi64x(0xFFFFFFFF)));
  return FinishWideKernel(p, n, i, s256, _mm256_xor_si256(xor0, xor1), sum, lanes);
}

// Per 256 bytes: vpdpbusd adds each vector's bytes (times one) straight into
// 32-bit lanes, and vpternlogd XORs two vectors into the XOR at once: twenty
// instructions where AVX2 needs about thirty. The eight sums are independent
// chains, enough to cover vpdpbusd's latency. The 32-bit lanes may wrap: the
// sum is wanted modulo 2^32.
//
// The loop is written out because GCC 12 copies every accumulator of the
// intrinsics on each round, which doubles the loop's instructions.
__attribute__((target("avx2,avx512vl,avx512vnni"))) size_t ScanBlocksAvx512Vnni(const unsigned char* p,
                                                                                size_t n, uint32_t& sum,
                                                                                uint32_t& lanes) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i ones8 = _mm256_set1_epi8(1);
  __m256i s0 = zero, s1 = zero, s2 = zero, s3 = zero, s4 = zero, s5 = zero, s6 = zero, s7 = zero;
  __m256i x0 = zero, x1 = zero;
  const size_t rounds = n / 256;
  if (rounds != 0) {
    const unsigned char* q = p;
    const unsigned char* const end = p + rounds * 256;
    // AT&T order: "vpdpbusd s8, u8, acc" adds the unsigned bytes times the signed ones.
    __asm__(
        "1:\n\t"
        "vmovdqa 0x00(%[q]), %%ymm0\n\t"
        "vmovdqa 0x20(%[q]), %%ymm1\n\t"
        "vmovdqa 0x40(%[q]), %%ymm2\n\t"
        "vmovdqa 0x60(%[q]), %%ymm3\n\t"
        "vmovdqa 0x80(%[q]), %%ymm4\n\t"
        "vmovdqa 0xa0(%[q]), %%ymm5\n\t"
        "vmovdqa 0xc0(%[q]), %%ymm6\n\t"
        "vmovdqa 0xe0(%[q]), %%ymm7\n\t"
        "vpdpbusd %[ones], %%ymm0, %[s0]\n\t"
        "vpdpbusd %[ones], %%ymm1, %[s1]\n\t"
        "vpdpbusd %[ones], %%ymm2, %[s2]\n\t"
        "vpdpbusd %[ones], %%ymm3, %[s3]\n\t"
        "vpdpbusd %[ones], %%ymm4, %[s4]\n\t"
        "vpdpbusd %[ones], %%ymm5, %[s5]\n\t"
        "vpdpbusd %[ones], %%ymm6, %[s6]\n\t"
        "vpdpbusd %[ones], %%ymm7, %[s7]\n\t"
        "vpternlogd $0x96, %%ymm1, %%ymm0, %[x0]\n\t"  // 0x96: the XOR of all three
        "vpternlogd $0x96, %%ymm3, %%ymm2, %[x1]\n\t"
        "vpternlogd $0x96, %%ymm5, %%ymm4, %[x0]\n\t"
        "vpternlogd $0x96, %%ymm7, %%ymm6, %[x1]\n\t"
        "addq $0x100, %[q]\n\t"
        "cmpq %[end], %[q]\n\t"
        "jne 1b"
        : [q] "+r"(q), [s0] "+v"(s0), [s1] "+v"(s1), [s2] "+v"(s2), [s3] "+v"(s3), [s4] "+v"(s4),
          [s5] "+v"(s5), [s6] "+v"(s6), [s7] "+v"(s7), [x0] "+v"(x0), [x1] "+v"(x1)
        : [end] "r"(end), [ones] "v"(ones8)
        // "memory": the loop reads the buffer, which no operand names.
        : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "cc", "memory");
  }
  size_t i = rounds * 256;
  for (; i + 32 <= n; i += 32) {
    const __m256i a = _mm256_load_si256(reinterpret_cast<const __m256i*>(p + i));
    x0 = _mm256_xor_si256(x0, a);
    s0 = _mm256_add_epi32(s0, _mm256_sad_epu8(a, zero));  // 64-bit lanes below 2^32: fine as 32-bit
  }
  const __m256i s256 = _mm256_add_epi32(_mm256_add_epi32(_mm256_add_epi32(s0, s1), _mm256_add_epi32(s2, s3)),
                                        _mm256_add_epi32(_mm256_add_epi32(s4, s5), _mm256_add_epi32(s6, s7)));
  return FinishWideKernel(p, n, i, s256, _mm256_xor_si256(x0, x1), sum, lanes);
}

#endif

struct KernelInfo {
  Kernel scan;
  size_t alignment;  // the kernel's loads need p aligned to this
};

KernelInfo KernelFor(ChecksumKernel kernel) {
  switch (kernel) {
#if defined(__SSE2__)
    case ChecksumKernel::kSse2:
      return {ScanBlocksSse2, 16};
#endif
#if defined(CHECKSUM_HAVE_AVX2)
    case ChecksumKernel::kAvx2:
      // Aligned to the cache line, so no 32-byte load is split across two.
      return {ScanBlocksAvx2, 64};
    case ChecksumKernel::kAvx512Vnni:
      return {ScanBlocksAvx512Vnni, 64};
#endif
    default:
      return {ScanPortable, 1};
  }
}

#if defined(CHECKSUM_HAVE_AVX2)

// What the CPU and the operating system both support. Asked with cpuid and
// xgetbv directly: the compiler's __builtin_cpu_supports links a CPU model
// table that adds 5.5 KiB to the updater, more than all the kernels together.
struct CpuVectors {
  bool avx2 = false;
  bool avx512VlVnni = false;
};

CpuVectors AskCpuVectors() {
  CpuVectors found;
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return found;
  // The instructions are of no use unless the system saves the vector state.
  if (!(c & bit_OSXSAVE) || !(c & bit_AVX)) return found;
  unsigned stateLow, stateHigh;
  __asm__("xgetbv" : "=a"(stateLow), "=d"(stateHigh) : "c"(0));
  if ((stateLow & 0x6) != 0x6) return found;  // XMM and YMM state
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return found;
  found.avx2 = (b & bit_AVX2) != 0;
  // AVX-512 also needs the opmask and the upper ZMM state saved.
  found.avx512VlVnni = found.avx2 && (stateLow & 0xE0) == 0xE0 && (b & bit_AVX512F) && (b & bit_AVX512VL) &&
                       (c & bit_AVX512VNNI);
  return found;
}

// Asked once and kept: cpuid is slow under a hypervisor, which traps it. The
// cache is constant-initialised: a static with a run-time initialiser would
// need a guard, which pulls the C++ runtime's locking and exception support
// into the updater.
CpuVectors DetectCpuVectors() {
  enum : int { kAsked = 1, kAvx2 = 2, kAvx512VlVnni = 4 };
  static std::atomic<int> known{0};
  int bits = known.load(std::memory_order_relaxed);
  if (bits == 0) {
    const CpuVectors asked = AskCpuVectors();
    bits = kAsked | (asked.avx2 ? kAvx2 : 0) | (asked.avx512VlVnni ? kAvx512VlVnni : 0);
    known.store(bits, std::memory_order_relaxed);
  }
  CpuVectors cpu;
  cpu.avx2 = (bits & kAvx2) != 0;
  cpu.avx512VlVnni = (bits & kAvx512VlVnni) != 0;
  return cpu;
}

#endif

ChecksumKernel BestKernel() {
#if defined(CHECKSUM_HAVE_AVX2)
  const CpuVectors cpu = DetectCpuVectors();
  if (cpu.avx512VlVnni) return ChecksumKernel::kAvx512Vnni;
  if (cpu.avx2) return ChecksumKernel::kAvx2;
#endif
#if defined(__SSE2__)
  return ChecksumKernel::kSse2;
#else
  return ChecksumKernel::kPortable;
#endif
}

// A short stretch (a kernel's unaligned head or its tail) by words, then the
// last bytes; `offset` is p's place relative to the lanes.
void ScanShort(const unsigned char* p, size_t n, size_t offset, uint32_t& sum, uint32_t& lanes) {
  uint32_t wordLanes = 0;
  const size_t words = ScanPortable(p, n, sum, wordLanes);
  lanes ^= RotateLanes(wordLanes, offset);
  ScanBytes(p + words, n - words, offset + words, sum, lanes);
}

// Sums p[0, n) into sum and its bytes into lanes relative to p: the unaligned
// head and the tail by words, the aligned middle by the kernel.
void ScanPiece(const KernelInfo& kernel, const unsigned char* p, size_t n, uint32_t& sum, uint32_t& lanes) {
  const size_t misalignment = reinterpret_cast<uintptr_t>(p) % kernel.alignment;
  size_t head = misalignment == 0 ? 0 : kernel.alignment - misalignment;
  if (head > n) head = n;
  ScanShort(p, head, 0, sum, lanes);
  uint32_t middleLanes = 0;
  const size_t middle = kernel.scan(p + head, n - head, sum, middleLanes);
  lanes ^= RotateLanes(middleLanes, head);
  ScanShort(p + head + middle, n - head - middle, head + middle, sum, lanes);
}

// Bytes [begin, end) of the file into the sum only (0 to 3 of them).
void SumOnly(const unsigned char* data, size_t begin, size_t end, uint32_t& sum) {
  for (size_t f = begin; f < end; ++f) sum += data[f];
}

// Bytes [begin, end) of the file into the XOR only (0 to 3 of them).
void XorOnly(const unsigned char* data, size_t begin, size_t end, uint32_t& lanes) {
  for (size_t f = begin; f < end; ++f) lanes ^= uint32_t{data[f]} << (8 * (f % 4));
}

// The end of the word that holds byte `offset`, but not past `size`; written
// so that nothing wraps near SIZE_MAX.
size_t WordEnd(size_t offset, size_t size) {
  const size_t pad = (4 - offset % 4) % 4;
  return size - offset > pad ? offset + pad : size;
}

FileChecksum Scan(const KernelInfo& kernel, const unsigned char* data, size_t size, bool hasHole,
                  uint32_t holeOffset) {
  uint32_t sum = 0, lanes = 0;
  if (!hasHole || holeOffset >= size) {
    ScanPiece(kernel, data, size, sum, lanes);
    return FileChecksum{sum, lanes};
  }
  // Before the hole: every byte in the sum; the word that the hole cuts is
  // taken whole, so its bytes inside the hole join the XOR.
  ScanPiece(kernel, data, holeOffset, sum, lanes);
  XorOnly(data, holeOffset, WordEnd(holeOffset, size), lanes);
  // Difference, not sum, so that a hole near SIZE_MAX cannot wrap.
  if (size - holeOffset > kChecksumHoleLength) {
    // After it: bytes of a word that began inside the hole count in the sum only.
    const size_t resume = holeOffset + kChecksumHoleLength;
    const size_t aligned = WordEnd(resume, size);
    SumOnly(data, resume, aligned, sum);
    uint32_t rest = 0;
    ScanPiece(kernel, data + aligned, size - aligned, sum, rest);
    lanes ^= RotateLanes(rest, aligned);
  }
  return FileChecksum{sum, lanes};
}

}  // namespace

FileChecksum ScanFileChecksum(const unsigned char* data, size_t size, bool hasHole, uint32_t holeOffset) {
  return Scan(KernelFor(BestKernel()), data, size, hasHole, holeOffset);
}

bool ChecksumKernelAvailable(ChecksumKernel kernel) {
  switch (kernel) {
    case ChecksumKernel::kPortable:
      return true;
    case ChecksumKernel::kSse2:
#if defined(__SSE2__)
      return true;
#else
      return false;
#endif
    case ChecksumKernel::kAvx2:
#if defined(CHECKSUM_HAVE_AVX2)
      return DetectCpuVectors().avx2;
#else
      return false;
#endif
    case ChecksumKernel::kAvx512Vnni:
      return BestKernel() == ChecksumKernel::kAvx512Vnni;
  }
  return false;
}

FileChecksum ScanFileChecksumWithKernel(ChecksumKernel kernel, const unsigned char* data, size_t size,
                                        bool hasHole, uint32_t holeOffset) {
  if (!ChecksumKernelAvailable(kernel)) kernel = ChecksumKernel::kPortable;
  return Scan(KernelFor(kernel), data, size, hasHole, holeOffset);
}

void ChecksumRun::Add(const unsigned char* data, size_t size) {
  // A piece scanned on its own has its bytes in lanes relative to its start;
  // rotated by where it starts in the file they land where one scan puts them.
  const FileChecksum piece = ScanFileChecksum(data, size, false, 0);
  value_.byteSum += piece.byteSum;
  value_.wordXor ^= RotateLanes(piece.wordXor, static_cast<size_t>(length_ % 4));
  length_ += size;
}

FileChecksum ScanFileChecksumReference(const unsigned char* data, size_t size, bool hasHole,
                                       uint32_t holeOffset) {
  FileChecksum result{0, 0};
  size_t offset = 0;
  while (offset < size) {
    if (hasHole && offset == holeOffset) {
      if (size - offset <= kChecksumHoleLength) break;
      offset += kChecksumHoleLength;
      continue;
    }
    if (offset % 4 == 0) {
      uint32_t word = 0;
      for (unsigned j = 0; j < 4 && offset + j < size; ++j) word |= uint32_t{data[offset + j]} << (8 * j);
      result.wordXor ^= word;
    }
    result.byteSum += data[offset];
    ++offset;
  }
  return result;
}
