// The linear merge against the plain per-entry search, on update lists of
// growing length against a 4 MiB installed list of realistic entries.
#include <benchmark/benchmark.h>

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "apply/merge_core.h"
#include "bench/merge_reference.h"

namespace {

constexpr size_t kInstalledBytes = size_t{4} << 20;

struct Lists {
  std::string source;
  std::string installed;
};

// "patch_00123_1a2b;" lines, with the update holding mostly installed entries
// and one in ten new ones (a suffix that never occurs installed).
const Lists& ListsFor(size_t entries) {
  static std::map<size_t, Lists> cache;
  auto [it, inserted] = cache.try_emplace(entries);
  if (!inserted) return it->second;
  Lists& lists = it->second;
  std::mt19937 random(12345);
  std::vector<std::string> installedEntries;
  char line[64];
  while (lists.installed.size() < kInstalledBytes) {
    snprintf(line, sizeof line, "patch_%05zu_%04x", installedEntries.size() % 100000,
             static_cast<unsigned>(random() & 0xFFFF));
    installedEntries.push_back(line);
    lists.installed += line;
    lists.installed += ";\r\n";
  }
  lists.installed.resize(kInstalledBytes);
  for (size_t i = 0; i < entries; ++i) {
    if (i % 10 == 9) {
      snprintf(line, sizeof line, "patch_%05zu_new%zu", i, i);
      lists.source += line;
    } else {
      lists.source += installedEntries[random() % (installedEntries.size() - 1)];
    }
    lists.source += ";\r\n";
  }

  // Both methods must give the same bytes before either is timed.
  HeapText fast, plain;
  if (!MergeEntryLists(lists.source.data(), lists.source.size(), lists.installed.data(),
                       lists.installed.size(), fast) ||
      !MergeEntryListsPlain(lists.source.data(), lists.source.size(), lists.installed.data(),
                            lists.installed.size(), plain) ||
      fast.Length() != plain.Length() || memcmp(fast.Bytes(), plain.Bytes(), fast.Length()) != 0) {
    fprintf(stderr, "merge methods disagree for %zu entries\n", entries);
    abort();
  }
  return lists;
}

// Seconds per merge of each method, so the second one can report the ratio.
std::map<size_t, double> plainSeconds;

template <int (*Merge)(const char*, size_t, const char*, size_t, HeapText&)>
double TimeMerges(benchmark::State& state, const Lists& lists) {
  // Not <chrono>: its "\u00b5s" literal has no code page 932 form, and the
  // project compiles every literal to that code page.
  timespec start, stop;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (auto _ : state) {
    HeapText merged;
    if (!Merge(lists.source.data(), lists.source.size(), lists.installed.data(), lists.installed.size(),
               merged))
      state.SkipWithError("out of memory");
    benchmark::DoNotOptimize(merged.Bytes());
  }
  clock_gettime(CLOCK_MONOTONIC, &stop);
  const double elapsed = static_cast<double>(stop.tv_sec - start.tv_sec) + 1e-9 * static_cast<double>(stop.tv_nsec - start.tv_nsec);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * lists.installed.size()));
  return elapsed / static_cast<double>(state.iterations());
}

void BM_MergePlain(benchmark::State& state) {
  const Lists& lists = ListsFor(static_cast<size_t>(state.range(0)));
  plainSeconds[static_cast<size_t>(state.range(0))] = TimeMerges<MergeEntryListsPlain>(state, lists);
  state.counters["entries"] = static_cast<double>(state.range(0));
}

void BM_MergeLinear(benchmark::State& state) {
  const Lists& lists = ListsFor(static_cast<size_t>(state.range(0)));
  const double seconds = TimeMerges<MergeEntryLists>(state, lists);
  state.counters["entries"] = static_cast<double>(state.range(0));
  // Present only when the plain method ran first for the same size.
  auto plain = plainSeconds.find(static_cast<size_t>(state.range(0)));
  if (plain != plainSeconds.end()) state.counters["plain_over_linear"] = plain->second / seconds;
}

BENCHMARK(BM_MergePlain)->RangeMultiplier(10)->Range(100, 10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MergeLinear)->RangeMultiplier(10)->Range(100, 10000)->Unit(benchmark::kMillisecond);

// Shapes that make a per-entry search, or a careless index, blow up; the
// linear method must stay proportional to the bytes. Both texts are n bytes.
enum Shape { kLongDistinct, kRepetitive, kNoSemicolons };

Lists WorstCase(Shape shape, size_t n) {
  Lists lists;
  std::mt19937 random(7);
  switch (shape) {
    case kLongDistinct:  // 1000-byte random entries, half of them installed
      while (lists.source.size() < n) {
        std::string entry(1000, ' ');
        for (char& c : entry) c = static_cast<char>('a' + random() % 4);
        lists.source += entry + ";\n";
        if (random() % 2) lists.installed += entry + ";\n";
      }
      lists.installed.resize(n, 'a');
      break;
    case kRepetitive:  // "aaa...": every entry deep in the automaton at once
      lists.installed.assign(n, 'a');
      while (lists.source.size() < n) lists.source += std::string(random() % 3000, 'a') + "b;\n";
      break;
    case kNoSemicolons:  // every line's entry runs to the end of the text, and is present
      for (size_t i = 0; lists.source.size() < n; ++i) lists.source += static_cast<char>('a' + i % 3), lists.source += '\n';
      lists.installed = lists.source;
      break;
  }
  return lists;
}

void BM_MergeLinearWorstCase(benchmark::State& state) {
  const Lists lists = WorstCase(static_cast<Shape>(state.range(0)), static_cast<size_t>(state.range(1)));
  const double seconds = TimeMerges<MergeEntryLists>(state, lists);
  state.counters["ns_per_input_byte"] = seconds * 1e9 / static_cast<double>(lists.source.size() + lists.installed.size());
}

BENCHMARK(BM_MergeLinearWorstCase)
    ->ArgsProduct({{kLongDistinct, kRepetitive, kNoSemicolons}, {1 << 20, 4 << 20}})
    ->Unit(benchmark::kMillisecond);

}  // namespace
