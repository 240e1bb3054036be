#include "verify/checksum.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Byte j of a word lies at offset 4k + j; bytes at or past `size` read as zero.
uint32_t LoadWordPadded(const unsigned char* data, size_t offset, size_t size) {
  uint32_t word = 0;
  for (unsigned j = 0; j < 4 && offset + j < size; ++j) word |= uint32_t{data[offset + j]} << (8 * j);
  return word;
}

uint32_t LoadWord(const unsigned char* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

#if defined(__SSE2__)

// Sums the bytes and XORs the 16-byte blocks of p[0, blocks * 16). The
// caller passes a p whose offset in the file is a multiple of 4, so the four
// 32-bit lanes hold words on the file's word grid.
//
// psadbw runs on one execution port only, so half of the blocks take another
// route to their byte sum: added as 16-bit lanes (W, which mixes low and high
// bytes modulo 2^16) beside a sum of their high bytes alone (H). The low bytes'
// sum is then W - 256 * H, exact while no lane can pass 65535.
constexpr size_t kRoundBlocks = 4;
constexpr size_t kLaneFlushRounds = 128;  // 128 rounds * 2 blocks * 255 < 65536
constexpr size_t kPrefetchDistance = 4096;

__m128i WidenLanes16(__m128i v) {
  return _mm_add_epi32(_mm_and_si128(v, _mm_set1_epi32(0xFFFF)), _mm_srli_epi32(v, 16));
}

void ScanBlocks(const unsigned char* p, size_t blocks, uint64_t& sum, uint32_t& wordXor) {
  const __m128i zero = _mm_setzero_si128();
  __m128i sadSum = zero, laneSum = zero, xor0 = zero, xor1 = zero;
  const size_t rounds = blocks / kRoundBlocks;
  // The prefetch stays inside the buffer: nothing past the content is touched.
  const size_t prefetchRounds =
      blocks * 16 > kPrefetchDistance ? (blocks * 16 - kPrefetchDistance) / (kRoundBlocks * 16) : 0;
  size_t round = 0;
  while (round < rounds) {
    size_t stop = round + kLaneFlushRounds < rounds ? round + kLaneFlushRounds : rounds;
    __m128i w = zero, h = zero;
    for (; round < stop; ++round) {
      const unsigned char* r = p + round * kRoundBlocks * 16;
      if (round < prefetchRounds)
        _mm_prefetch(reinterpret_cast<const char*>(r + kPrefetchDistance), _MM_HINT_T0);
      const __m128i* q = reinterpret_cast<const __m128i*>(r);
      __m128i a = _mm_loadu_si128(q);
      __m128i b = _mm_loadu_si128(q + 1);
      __m128i c = _mm_loadu_si128(q + 2);
      __m128i d = _mm_loadu_si128(q + 3);
      xor0 = _mm_xor_si128(xor0, _mm_xor_si128(a, c));
      xor1 = _mm_xor_si128(xor1, _mm_xor_si128(b, d));
      sadSum = _mm_add_epi64(sadSum, _mm_add_epi64(_mm_sad_epu8(a, zero), _mm_sad_epu8(c, zero)));
      w = _mm_add_epi16(w, _mm_add_epi16(b, d));
      h = _mm_add_epi16(h, _mm_add_epi16(_mm_srli_epi16(b, 8), _mm_srli_epi16(d, 8)));
    }
    __m128i low = _mm_sub_epi16(w, _mm_slli_epi16(h, 8));
    laneSum = _mm_add_epi32(laneSum, _mm_add_epi32(WidenLanes16(low), WidenLanes16(h)));
  }
  for (size_t i = rounds * kRoundBlocks; i < blocks; ++i) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i * 16));
    xor0 = _mm_xor_si128(xor0, a);
    sadSum = _mm_add_epi64(sadSum, _mm_sad_epu8(a, zero));
  }
  // Fold the lanes; only the low 32 bits of the sum matter, so 32-bit lanes
  // may wrap freely.
  __m128i s = _mm_add_epi32(laneSum, _mm_shuffle_epi32(laneSum, 0x4E));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
  s = _mm_add_epi32(s, _mm_add_epi64(sadSum, _mm_unpackhi_epi64(sadSum, sadSum)));
  __m128i x = _mm_xor_si128(xor0, xor1);
  x = _mm_xor_si128(x, _mm_unpackhi_epi64(x, x));
  x = _mm_xor_si128(x, _mm_srli_epi64(x, 32));
  sum += static_cast<uint32_t>(_mm_cvtsi128_si32(s));
  wordXor ^= static_cast<uint32_t>(_mm_cvtsi128_si32(x));
}

#else

// Portable blocks: eight bytes at a time, byte sum by pairs of 16-bit lanes.
void ScanBlocks(const unsigned char* p, size_t blocks, uint64_t& sum, uint32_t& wordXor) {
  for (size_t i = 0; i < blocks * 16; i += 4) {
    uint32_t w = LoadWord(p + i);
    wordXor ^= w;
    uint32_t pairs = (w & 0x00FF00FFu) + ((w >> 8) & 0x00FF00FFu);
    sum += (pairs & 0xFFFFu) + (pairs >> 16);
  }
}

#endif

// Takes the bytes [begin, end) of a file of `size` bytes into the checksum:
// each byte into the sum, and into the XOR each word that begins inside the
// range. A word that begins near the end of the range is still read whole
// (up to the file's end), which is what an unaligned hole asks for.
void ScanRange(const unsigned char* data, size_t begin, size_t end, size_t size, uint64_t& sum,
               uint32_t& wordXor) {
  size_t offset = begin;
  // Bytes before the first word boundary belong to a word that began in the hole.
  while (offset < end && offset % 4 != 0) sum += data[offset++];
  size_t blocks = (end - offset) / 16;
  ScanBlocks(data + offset, blocks, sum, wordXor);
  offset += blocks * 16;
  for (; offset + 4 <= end; offset += 4) {
    uint32_t w = LoadWord(data + offset);
    wordXor ^= w;
    sum += (w & 0xFF) + ((w >> 8) & 0xFF) + ((w >> 16) & 0xFF) + (w >> 24);
  }
  if (offset < end) {
    wordXor ^= LoadWordPadded(data, offset, size);
    for (; offset < end; ++offset) sum += data[offset];
  }
}

}  // namespace

FileChecksum ScanFileChecksum(const unsigned char* data, size_t size, bool hasHole, uint32_t holeOffset) {
  uint64_t sum = 0;
  uint32_t wordXor = 0;
  if (hasHole && holeOffset < size) {
    ScanRange(data, 0, holeOffset, size, sum, wordXor);
    // Written as a difference so that a hole near SIZE_MAX cannot wrap.
    if (size - holeOffset > kChecksumHoleLength)
      ScanRange(data, holeOffset + kChecksumHoleLength, size, size, sum, wordXor);
  } else {
    ScanRange(data, 0, size, size, sum, wordXor);
  }
  return FileChecksum{static_cast<uint32_t>(sum), wordXor};
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
    if (offset % 4 == 0) result.wordXor ^= LoadWordPadded(data, offset, size);
    result.byteSum += data[offset];
    ++offset;
  }
  return result;
}
