// Times the weighted median of the position update on recorded calls, and first checks that every
// call gives the bits of the rank search.
//   median_bench [--corpus=FILE] [benchmark options]
// FILE (or $TESSIVAR_MEDIAN_CORPUS) holds calls as [int32 m][m x {float value, float weight,
// int32 kind}], little endian; without one, generated calls of the same shape are used.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "weighted_median.h"

namespace {

struct Corpus {
  std::vector<ParticleOffsetCandidate> records;
  std::vector<size_t> starts;  // call k is records[starts[k], starts[k + 1])
  size_t largest = 0;
  int calls() const { return static_cast<int>(starts.size()) - 1; }
};

Corpus corpus;

bool load(const char* path) {
  std::FILE* f = std::fopen(path, "rb");
  if (!f) return false;
  corpus.starts = {0};
  std::int32_t m;
  while (std::fread(&m, sizeof m, 1, f) == 1) {
    if (m <= 0) break;
    const size_t at = corpus.records.size();
    corpus.records.resize(at + m);
    if (std::fread(corpus.records.data() + at, sizeof(ParticleOffsetCandidate), m, f) !=
        static_cast<size_t>(m))
      break;
    corpus.starts.push_back(at + m);
  }
  std::fclose(f);
  corpus.records.resize(corpus.starts.back());
  return corpus.calls() > 0;
}

// Calls shaped like those of a real scan: many small neighbour weights around offsets near 0 and
// the data record (value 0, weight 0.1) last; every few calls the neighbours outweigh it.
void generate() {
  std::mt19937 rng(26);
  std::lognormal_distribution<float> weight(-16.f, 2.f), size(6.5f, 0.9f);
  std::normal_distribution<float> value(0.f, 0.01f);
  std::uniform_int_distribution<int> kind(0, 99);
  corpus.starts = {0};
  for (int call = 0; call < 2000; ++call) {
    const int m = std::min(5000, 2 + static_cast<int>(size(rng)));
    const float scale = call % 8 == 0 ? 1e5f : 1.f;
    for (int k = 0; k + 1 < m; ++k) {
      const int c = kind(rng);
      corpus.records.push_back({value(rng), scale * weight(rng), c < 3 ? 1 : c < 8 ? 2 : 3});
    }
    corpus.records.push_back({0.f, 0.1f, 3});
    corpus.starts.push_back(corpus.records.size());
  }
}

const ParticleOffsetCandidate* call_records(int k, int& m) {
  m = static_cast<int>(corpus.starts[k + 1] - corpus.starts[k]);
  return corpus.records.data() + corpus.starts[k];
}

// Every call against the rank search; returns the number of calls whose bits differ.
int check() {
  std::vector<ParticleOffsetCandidate> a(corpus.largest), b(corpus.largest);
  int differ = 0, declined = 0;
  for (int k = 0; k < corpus.calls(); ++k) {
    int m;
    const ParticleOffsetCandidate* r = call_records(k, m);
    std::memcpy(a.data(), r, m * sizeof *r);
    std::memcpy(b.data(), r, m * sizeof *r);
    float selected;
    if (!weighted_median_by_selection(r, m, selected)) ++declined;
    const float fast = weighted_median(a.data(), m);
    const float defined = weighted_median_by_ranks(b.data(), m);
    if (std::memcmp(&fast, &defined, sizeof fast) != 0) {
      if (differ < 10)
        std::fprintf(stderr, "call %d (m %d): %a instead of %a\n", k, m, fast, defined);
      ++differ;
    }
  }
  std::printf("%d calls, %zu records: %d differ from the rank search; the selection declined %d"
              " (%.2f %%)\n",
              corpus.calls(), corpus.records.size(), differ, declined,
              100.0 * declined / corpus.calls());
  return differ;
}

// Each iteration runs every call once on a fresh copy of its records, as the position update
// hands them over.
template <float (*median)(ParticleOffsetCandidate*, int)>
void run_corpus(benchmark::State& state) {
  std::vector<ParticleOffsetCandidate> scratch(corpus.largest);
  for (auto _ : state) {
    for (int k = 0; k < corpus.calls(); ++k) {
      int m;
      const ParticleOffsetCandidate* r = call_records(k, m);
      std::memcpy(scratch.data(), r, m * sizeof *r);
      benchmark::DoNotOptimize(median(scratch.data(), m));
    }
  }
  state.SetItemsProcessed(state.iterations() * corpus.calls());
}

// The selection alone, which leaves the records as they are: no copy.
void run_selection(benchmark::State& state) {
  for (auto _ : state) {
    for (int k = 0; k < corpus.calls(); ++k) {
      int m;
      const ParticleOffsetCandidate* r = call_records(k, m);
      float median;
      benchmark::DoNotOptimize(weighted_median_by_selection(r, m, median));
      benchmark::DoNotOptimize(median);
    }
  }
  state.SetItemsProcessed(state.iterations() * corpus.calls());
}

float copy_only(ParticleOffsetCandidate* records, int) { return records[0].value; }
float fast_median(ParticleOffsetCandidate* records, int m) { return weighted_median(records, m); }
float rank_median(ParticleOffsetCandidate* records, int m) {
  return weighted_median_by_ranks(records, m);
}
float quick_rank_median(ParticleOffsetCandidate* records, int m) {
  return weighted_median_by_ranks_quick(records, m);
}

}  // namespace

int main(int argc, char** argv) {
  const char* path = std::getenv("TESSIVAR_MEDIAN_CORPUS");
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (i > 0 && std::strncmp(argv[i], "--corpus=", 9) == 0)
      path = argv[i] + 9;
    else
      rest.push_back(argv[i]);
  }
  if (path && !load(path)) {
    std::fprintf(stderr, "median_bench: cannot read calls from %s\n", path);
    return 2;
  }
  if (!path) generate();
  for (int k = 0; k < corpus.calls(); ++k)
    corpus.largest = std::max(corpus.largest, corpus.starts[k + 1] - corpus.starts[k]);
  std::printf("%s\n", path ? path : "generated calls");
  if (check() != 0) return 1;

  int rest_count = static_cast<int>(rest.size());
  benchmark::Initialize(&rest_count, rest.data());
  benchmark::RegisterBenchmark("WeightedMedian", run_corpus<fast_median>)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("RankSearch", run_corpus<rank_median>)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("QuickRankSearch", run_corpus<quick_rank_median>)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("Selection", run_selection)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("CopyOnly", run_corpus<copy_only>)->Unit(benchmark::kMillisecond);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
