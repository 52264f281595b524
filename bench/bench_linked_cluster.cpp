// Time of one linked-cluster match (enrolment of card A into its compact
// structure and verification of card B) of two cards of 40 minutia,
// extracted from generated 300 x 300 impressions: a genuine pair and an
// impostor pair, with rotation within 32 steps (mode 2) and full rotation
// (mode 3), auxiliary values and alignment asked for as the hybrid verifier
// asks.
#include <benchmark/benchmark.h>

#include <fpsynth/fpsynth.h>

#include <vector>

#include "engine/formats/extract_template.h"
#include "engine/match/linked_cluster.h"
#include "engine/match/linked_cluster_stages.h"

namespace {

std::vector<uint8_t> card40(uint64_t master_seed, uint64_t impression_seed) {
  const fpsynth::Master master = fpsynth::make_master(master_seed);
  fpsynth::ImpressionParams ip;
  ip.rows = ip.cols = 300;
  ip.skin = fpsynth::Skin::Normal;
  fpsynth::Image im = fpsynth::make_impression(master, impression_seed, ip).image;
  uint8_t *out = nullptr;
  uint32_t size = 0;
  std::vector<uint8_t> card;
  if (bal_extract_template(im.pixels.data(), im.rows, im.cols, 0, 0, 0, 40, 21,
                           QX_CONTENT_PROPRIETARY, QX_FORMAT_COMPACT_CARD, &out, &size) == 0) {
    card.assign(out, out + size);
    bal_free_template(out);
  }
  return card;
}

void BM_LinkedClusterMatch(benchmark::State &state) {
  const bool genuine = state.range(0) != 0;
  const int rotation_mode = static_cast<int>(state.range(1));
  const std::vector<uint8_t> a = card40(7, 1), b = genuine ? card40(7, 2) : card40(8, 2);
  if (a.empty() || b.empty()) {
    state.SkipWithError("extraction failed");
    return;
  }
  uint16_t result[LC_RESULT_VALUES] = {0, LC_RESULT_COUNT, 0};
  lc_alignment alignment;
  for (auto _ : state) {
    result[2] = 0;
    if (linked_cluster_match_iso_compact_card(a.data(), static_cast<uint32_t>(a.size()), b.data(),
                                              static_cast<uint32_t>(b.size()), result, 12, nullptr,
                                              &alignment, rotation_mode) != LC_OK) {
      state.SkipWithError("match failed");
      break;
    }
  }
  lc_minutia m[LC_MAX_MINUTIAE];
  int na = 0, nb = 0, q = 0;
  lc_prune(a.data(), static_cast<uint32_t>(a.size()), LC_MAX_MINUTIAE, m, &na, &q);
  lc_prune(b.data(), static_cast<uint32_t>(b.size()), LC_MAX_MINUTIAE, m, &nb, &q);
  state.counters["minutiae_a"] = na;
  state.counters["minutiae_b"] = nb;
  state.counters["score"] = result[0];
  state.counters["pairs"] = result[4];
}
BENCHMARK(BM_LinkedClusterMatch)
    ->ArgNames({"genuine", "rotation_mode"})
    ->Args({1, 2})
    ->Args({0, 2})
    ->Args({1, 3})
    ->Args({0, 3})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
