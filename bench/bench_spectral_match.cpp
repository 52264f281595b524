// Time of the spectral block-field matcher on two captures of one generated
// finger: the full match with the flags the hybrid verifier sets for the
// small sensor (code 6: small-sensor mode, wide fine search, auxiliary
// values, raw score), searching or at a given alignment; the same on
// 197 x 197 captures, also with the flags of code 2 (sampled coarse
// scoring allowed); the quick match; and the conversion of a spectral part.
#include <benchmark/benchmark.h>

#include <fpsynth/fpsynth.h>

#include "../test/lumetra/match/spectral_fixtures.hpp"

namespace {

using spectral_test::Bytes;

constexpr uint32_t kCode6 = QX_SPECTRAL_SMALL_SENSOR | QX_SPECTRAL_WIDE_FINE | QX_SPECTRAL_AUX_VALUES |
                            QX_SPECTRAL_RAW_SCORE;
constexpr uint32_t kCode2 = QX_SPECTRAL_WIDE_FINE | QX_SPECTRAL_AUX_VALUES | QX_SPECTRAL_RAW_SCORE;

struct Pair {
  Bytes a, b;
};

// Two impressions of one finger, as the library's configuration for their
// size extracts them (the 197 x 197 configuration has no fine field), or,
// with `fine`, straight from the extractor with fine fields at 500 dpi.
Pair pair_of(int size, bool quick = false, bool fine = false) {
  const fpsynth::Master master = fpsynth::make_master(21);
  fpsynth::ImpressionParams ip;
  ip.rows = ip.cols = size;
  ip.skin = fpsynth::Skin::Normal;
  ip.placement_sd = 6;
  const fpsynth::Impression i1 = fpsynth::make_impression(master, 1, ip);
  const fpsynth::Impression i2 = fpsynth::make_impression(master, 2, ip);
  if (fine)
    return {spectral_test::features_of_part(spectral_test::fields_of_image(i1.image.pixels.data(), size, size, true).part),
            spectral_test::features_of_part(spectral_test::fields_of_image(i2.image.pixels.data(), size, size, true).part)};
  return {spectral_test::features_of_capture(i1.image.pixels.data(), size, size, quick).set,
          spectral_test::features_of_capture(i2.image.pixels.data(), size, size, quick).set};
}

void BM_SpectralMatch(benchmark::State &state, int size, uint32_t flags, bool fine = false) {
  const Pair p = pair_of(size, false, fine);
  if (p.a.empty() || p.b.empty()) {
    state.SkipWithError("no features");
    return;
  }
  const uint32_t la = static_cast<uint32_t>(p.a.size()), lb = static_cast<uint32_t>(p.b.size());
  const uint32_t need = qx_spectral_match_required_mem(p.a.data(), la, p.b.data(), lb, flags);
  std::vector<uint8_t> work(need);
  // The alignment handed in when only one position is scored: the one a
  // search finds.
  qx_spectral_alignment start{};
  qx_spectral_result r{};
  r.count = QX_SPECTRAL_RESULT_COUNT;
  qx_spectral_match(work.data(), need, p.a.data(), la, p.b.data(), lb, 0, &r, nullptr, &start,
                    flags & ~QX_SPECTRAL_AT_ALIGNMENT);
  for (auto _ : state) {
    qx_spectral_alignment al = start;
    r.count = QX_SPECTRAL_RESULT_COUNT;
    int32_t decision;
    if (qx_spectral_match(work.data(), need, p.a.data(), la, p.b.data(), lb, 0, &r, &decision, &al, flags) != 0) {
      state.SkipWithError("match failed");
      break;
    }
    benchmark::DoNotOptimize(r);
  }
  state.counters["score"] = r.score;
  state.counters["pairs"] = r.aux[0];
  state.counters["work_bytes"] = need;
}
BENCHMARK_CAPTURE(BM_SpectralMatch, s88_code6_search, 88, kCode6)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_SpectralMatch, s88_code6_at_alignment, 88, kCode6 | QX_SPECTRAL_AT_ALIGNMENT)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_SpectralMatch, s88_code6_full_rotation, 88, kCode6 | QX_SPECTRAL_FULL_ROTATION)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_SpectralMatch, s197_code6_search, 197, kCode6)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_SpectralMatch, s197_code6_at_alignment, 197, kCode6 | QX_SPECTRAL_AT_ALIGNMENT)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_SpectralMatch, s197_fine_code6_search, 197, kCode6, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_SpectralMatch, s197_fine_code6_at_alignment, 197, kCode6 | QX_SPECTRAL_AT_ALIGNMENT, true)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_SpectralMatch, s197_code2_search, 197, kCode2)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_SpectralMatch, s197_code2_at_alignment, 197, kCode2 | QX_SPECTRAL_AT_ALIGNMENT)
    ->Unit(benchmark::kMicrosecond);

void BM_SpectralQuickMatch(benchmark::State &state, int size) {
  const Pair p = pair_of(size, true);
  uint16_t v[2] = {};
  for (auto _ : state) {
    qx_spectral_quick_match(p.a.data(), static_cast<uint32_t>(p.a.size()), p.b.data(),
                            static_cast<uint32_t>(p.b.size()), v);
    benchmark::DoNotOptimize(v);
  }
  state.counters["q0"] = v[0];
  state.counters["q1"] = v[1];
}
BENCHMARK_CAPTURE(BM_SpectralQuickMatch, s88, 88)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_SpectralQuickMatch, s197, 197)->Unit(benchmark::kMicrosecond);

// Conversion of the spectral part of an 88 x 88 capture (fine field
// decoded from its delta streams), and its quick form.
void BM_SpectralConversion(benchmark::State &state, int quick) {
  const fpsynth::Master master = fpsynth::make_master(21);
  fpsynth::ImpressionParams ip;
  ip.skin = fpsynth::Skin::Normal;
  const fpsynth::Impression im = fpsynth::make_impression(master, 1, ip);
  const spectral_test::Fields f = spectral_test::fields_of_image(im.image.pixels.data(), 88, 88, true);
  for (auto _ : state) {
    uint8_t *out = nullptr;
    uint32_t n = 0;
    qx_fusion_spectral_to_matcher(f.part.data(), static_cast<uint32_t>(f.part.size()), &out, &n, nullptr, nullptr,
                                  nullptr, nullptr, quick);
    qx_free(out);
  }
}
BENCHMARK_CAPTURE(BM_SpectralConversion, full, 0)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_SpectralConversion, quick, 1)->Unit(benchmark::kMicrosecond);

}  // namespace
BENCHMARK_MAIN();
