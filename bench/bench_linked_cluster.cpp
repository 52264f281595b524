// Time of one linked-cluster match (enrolment of card A into its compact
// structure and verification of card B) of two cards of 40 minutiae from
// generated full-finger impressions: a genuine pair and an
// impostor pair, with rotation within 32 steps (mode 2) and full rotation
// (mode 3), auxiliary values and alignment asked for as the hybrid verifier
// asks.
#include <benchmark/benchmark.h>

#include <fpsynth/fpsynth.h>

#include <algorithm>
#include <vector>

#include "engine/formats/compact_card.h"
#include "engine/formats/tlv.h"
#include "engine/match/linked_cluster.h"
#include "engine/match/linked_cluster_stages.h"

namespace {

// Card of the 40 true minutiae nearest the centre of a generated
// full-finger impression (the extractor finds fewer than 40 on most
// generated prints, and the time depends on the count).
std::vector<uint8_t> card40(uint64_t master_seed, uint64_t impression_seed) {
  fpsynth::MasterParams mp;  // a large finger, so that 40 fit
  mp.rows = 448;
  mp.cols = 384;
  const fpsynth::Master master = fpsynth::make_master(master_seed, mp);
  fpsynth::ImpressionParams ip;
  ip.rows = ip.cols = 0;  // the whole finger
  ip.skin = fpsynth::Skin::Normal;
  const fpsynth::Impression imp = fpsynth::make_impression(master, impression_seed, ip);
  std::vector<fpsynth::Minutia> m = imp.minutiae;
  const int cr = imp.image.rows / 2, cc = imp.image.cols / 2;
  std::stable_sort(m.begin(), m.end(), [&](const fpsynth::Minutia &x, const fpsynth::Minutia &y) {
    return (x.row - cr) * (x.row - cr) + (x.col - cc) * (x.col - cc) <
           (y.row - cr) * (y.row - cr) + (y.col - cc) * (y.col - cc);
  });
  if (m.size() < 40) return {};
  std::vector<uint8_t> mins;
  for (size_t i = 0; i < 40; ++i) {
    mins.push_back(qx_cc_to_card_unit(m[i].col, 0));
    mins.push_back(qx_cc_to_card_unit(m[i].row, 0));
    mins.push_back(static_cast<uint8_t>(m[i].type << 6 | (((m[i].direction + 2) / 4) & 63)));
  }
  std::vector<uint8_t> inner(mins.size() + 8), card(mins.size() + 16);
  inner.resize(tlv_write(inner.data(), 0x81, static_cast<uint32_t>(mins.size()), mins.data()));
  card.resize(tlv_write(card.data(), 0x7F2E, static_cast<uint32_t>(inner.size()), inner.data()));
  return card;
}

void BM_LinkedClusterMatch(benchmark::State &state) {
  const bool genuine = state.range(0) != 0;
  const int rotation_mode = static_cast<int>(state.range(1));
  const std::vector<uint8_t> a = card40(7, 1), b = genuine ? card40(7, 2) : card40(8, 2);
  if (a.empty() || b.empty()) {
    state.SkipWithError("fewer than 40 minutiae");
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
