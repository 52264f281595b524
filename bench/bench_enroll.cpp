// A whole enrollment through the engine with the configuration of the
// station's 88 x 88 sensor ("ehmsq-xs"): 32 generated touches of one finger
// (extraction, comparisons with the accepted captures, islands, progress)
// and the finalised multi-template.  Goal: at most 0.5 s on one core.
#include <benchmark/benchmark.h>

#include "enroll_touches.h"
#include "engine/match/qx_config.h"
#include "engine/objects/qx_multitemplate_enroll.h"

namespace {

int32_t hand_back(qx_session *, qx_enroll_island_report *, int32_t) { return 1; }

void BM_Enrollment32(benchmark::State &state) {
  const std::vector<fpsynth::Image> touches =
      enroll_eval::make_touches(fpsynth::derive_seed(1, static_cast<uint64_t>(state.range(0))));
  qx_algorithm *alg = square_xs_create(nullptr);
  const qx_enroll_callbacks callbacks = {nullptr, hand_back, nullptr, nullptr, nullptr};
  int accepted = 0;
  uint8_t progress = 0;
  uint32_t bytes = 0;
  for (auto _ : state) {
    qx_multitemplate_enroll *e =
        qx_multitemplate_enroll_create_algorithm(alg, nullptr, &callbacks, nullptr);
    for (const fpsynth::Image &im : touches) {
      qx_image *image = qx_image_create(im.rows, im.cols, 500, 500, im.pixels.data(), 0);
      qx_multitemplate_enroll_run(e, image, &progress);
      qx_image_delete(image);
    }
    qx_template *mt = nullptr;
    if (qx_multitemplate_enroll_finalize_template_algorithm(alg, e, &mt) != 0) {
      state.SkipWithError("finalize failed");
    }
    accepted = qx_multitemplate_enroll_get_nbr_of_captures(e);
    bytes = qx_template_get_data_size(mt);
    qx_template_delete(mt);
    qx_multitemplate_enroll_delete(e);
  }
  state.counters["accepted"] = accepted;
  state.counters["progress"] = progress;
  state.counters["bytes"] = bytes;
  qx_algorithm_delete(alg);
}
BENCHMARK(BM_Enrollment32)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
