// Time of one hybrid comparison of two templates already extracted
// (extraction not included): the similarity score of "ehmsq-xs" (88 x 88
// captures, type 74) and of "ehmsq-xl" (197 x 197, type 67), for a genuine
// and an impostor pair; and one cheetah (quick-match) comparison.
#include <benchmark/benchmark.h>

#include <fpsynth/fpsynth.h>

#include "engine/image/qx_image.h"
#include "engine/match/ehm_verifier.h"
#include "engine/match/qx_config.h"
#include "engine/objects/qx_algorithm.h"

namespace {

qx_template *extract(qx_algorithm *alg, uint64_t finger, uint64_t impression, int side) {
  const fpsynth::Master master = fpsynth::make_master(finger);
  fpsynth::ImpressionParams ip;
  ip.rows = ip.cols = side;
  ip.skin = fpsynth::Skin::Normal;
  const fpsynth::Image im = fpsynth::make_impression(master, impression, ip).image;
  qx_image *image = qx_image_create(side, side, 500, 500, im.pixels.data(), 0);
  qx_template *tpl = nullptr;
  qx_algorithm_extract_template(alg, image, nullptr, &tpl);
  qx_image_delete(image);
  return tpl;
}

// Pair: 0 genuine (two impressions of one finger), 1 impostor.
void BM_Similarity(benchmark::State &state, qx_config_builder builder, int side) {
  qx_algorithm *alg = builder(nullptr);
  const qx_verifier_interface *verifier = qx_algorithm_get_verifier(alg);
  qx_template *a = extract(alg, 7, 1, side);
  qx_template *b = extract(alg, state.range(0) == 0 ? 7 : 8, 2, side);
  uint16_t score = 0;
  for (auto _ : state) {
    int32_t decision = 0;
    if (a == nullptr || b == nullptr ||
        verifier->get_similarity_score(qx_algorithm_get_session(alg), a, b, 12, &score, &decision,
                                       nullptr, nullptr, nullptr) != 0) {
      state.SkipWithError("comparison failed");
      break;
    }
  }
  state.counters["score"] = score;
  qx_template_delete(a);
  qx_template_delete(b);
  qx_algorithm_delete(alg);
}
BENCHMARK_CAPTURE(BM_Similarity, ehmsq_xs_88, square_xs_create, 88)
    ->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Similarity, ehmsq_xl_197, square_xl_create, 197)
    ->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_Cheetah(benchmark::State &state) {
  qx_algorithm *alg = square_xs_create(nullptr);
  qx_template *a = extract(alg, 7, 1, 88);
  qx_template *b = extract(alg, 8, 2, 88);
  for (auto _ : state) {
    uint16_t score = 0;
    if (qx_cheetah_get_similarity_score(qx_algorithm_get_session(alg), a, b, 12, &score, nullptr,
                                        nullptr, nullptr, nullptr) != 0) {
      state.SkipWithError("comparison failed");
      break;
    }
    benchmark::DoNotOptimize(score);
  }
  qx_template_delete(a);
  qx_template_delete(b);
  qx_algorithm_delete(alg);
}
BENCHMARK(BM_Cheetah)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
