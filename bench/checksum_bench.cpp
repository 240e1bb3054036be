// Throughput of the checksum scan against memchr over the same buffer (a
// search for a byte that is absent, so memchr reads everything) and against
// the byte-at-a-time reference, plus each vector kernel forced. Sizes run from
// the record library up to well past the caches; 256 KiB and 256 MiB are the
// two that the target names.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <memory>

#include "verify/checksum.h"

namespace {

constexpr size_t kMaxSize = size_t{256} << 20;

// One shared buffer of pseudo-random bytes without any 0xFF, so memchr of
// 0xFF must read the whole range.
const unsigned char* SharedBuffer() {
  static std::unique_ptr<unsigned char[]> buffer = [] {
    std::unique_ptr<unsigned char[]> b(new unsigned char[kMaxSize]);
    uint32_t state = 0x12345678u;
    for (size_t i = 0; i < kMaxSize; ++i) {
      state = state * 1664525u + 1013904223u;
      b[i] = static_cast<unsigned char>((state >> 24) % 255);
    }
    return b;
  }();
  return buffer.get();
}

void Report(benchmark::State& state, size_t size) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}

void BM_ScanFileChecksum(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  const unsigned char* data = SharedBuffer();
  for (auto _ : state) {
    benchmark::DoNotOptimize(data);
    FileChecksum c = ScanFileChecksum(data, size, false, 0);
    benchmark::DoNotOptimize(c);
  }
  Report(state, size);
}

// The record library's case: a hole in the middle splits the scan in two.
void BM_ScanFileChecksumWithHole(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  const unsigned char* data = SharedBuffer();
  for (auto _ : state) {
    benchmark::DoNotOptimize(data);
    FileChecksum c = ScanFileChecksum(data, size, true, static_cast<uint32_t>(size / 2 + 1));
    benchmark::DoNotOptimize(c);
  }
  Report(state, size);
}

// Each kernel forced, so a machine with AVX2 still shows what the baseline does.
void BM_ScanKernel(benchmark::State& state, ChecksumKernel kernel) {
  if (!ChecksumKernelAvailable(kernel)) {
    state.SkipWithError("kernel not available on this CPU");
    return;
  }
  const size_t size = static_cast<size_t>(state.range(0));
  const unsigned char* data = SharedBuffer();
  for (auto _ : state) {
    benchmark::DoNotOptimize(data);
    FileChecksum c = ScanFileChecksumWithKernel(kernel, data, size, false, 0);
    benchmark::DoNotOptimize(c);
  }
  Report(state, size);
}

void BM_Memchr(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  const unsigned char* data = SharedBuffer();
  for (auto _ : state) {
    benchmark::DoNotOptimize(data);
    const void* hit = std::memchr(data, 0xFF, size);
    benchmark::DoNotOptimize(hit);
  }
  Report(state, size);
}

void BM_ScanFileChecksumReference(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  const unsigned char* data = SharedBuffer();
  for (auto _ : state) {
    benchmark::DoNotOptimize(data);
    FileChecksum c = ScanFileChecksumReference(data, size, false, 0);
    benchmark::DoNotOptimize(c);
  }
  Report(state, size);
}

void Sizes(benchmark::internal::Benchmark* b) {
  for (int64_t size : {int64_t{2560}, int64_t{32} << 10, int64_t{256} << 10, int64_t{325632},
                       int64_t{4} << 20, int64_t{32} << 20, int64_t{256} << 20})
    b->Arg(size);
}

}  // namespace

BENCHMARK(BM_ScanFileChecksum)->Apply(Sizes);
BENCHMARK(BM_Memchr)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_ScanKernel, Sse2, ChecksumKernel::kSse2)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_ScanKernel, Avx2, ChecksumKernel::kAvx2)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_ScanKernel, Avx512Vnni, ChecksumKernel::kAvx512Vnni)->Apply(Sizes);
BENCHMARK(BM_ScanFileChecksumWithHole)->Arg(2560)->Arg(int64_t{256} << 10);
BENCHMARK(BM_ScanFileChecksumReference)->Apply(Sizes);
