// Time of one template extraction through the algorithm of "ehmsq-xs" (the
// configuration of the station's 88 x 88 sensor: resampling to 120 x 120 at
// 650 dpi, extraction with fine fields, hybrid record) and of "ehmsq-xl" on
// a 197 x 197 capture (no resampling, no fine fields), and of the encoding
// alone.  Goals: xs <= 2 ms, xl <= 1.5 ms.
#include <benchmark/benchmark.h>

#include <fpsynth/fpsynth.h>

#include "engine/formats/extract_template.h"
#include "engine/match/qx_config.h"
#include "engine/objects/qx_algorithm.h"
#include "engine/qx_alloc.h"

namespace {

fpsynth::Image capture(int rows, int cols) {
  const fpsynth::Master master = fpsynth::make_master(7);
  fpsynth::ImpressionParams ip;
  ip.rows = rows;
  ip.cols = cols;
  ip.skin = fpsynth::Skin::Normal;
  return fpsynth::make_impression(master, 11, ip).image;
}

void BM_AlgorithmExtractTemplate(benchmark::State &state, qx_config_builder builder, int side) {
  const fpsynth::Image im = capture(side, side);
  qx_session *session = qx_session_create();
  qx_algorithm *alg = builder(session);
  qx_image *image = qx_image_create(side, side, 500, 500, im.pixels.data(), 0);
  uint32_t bytes = 0;
  for (auto _ : state) {
    qx_template *tpl = nullptr;
    if (qx_algorithm_extract_template(alg, image, nullptr, &tpl) != 0) {
      state.SkipWithError("extraction failed");
      break;
    }
    bytes = qx_template_get_data_size(tpl);
    qx_template_delete(tpl);
  }
  state.counters["bytes"] = bytes;
  qx_image_delete(image);
  qx_algorithm_delete(alg);
  qx_session_delete(session);
}
BENCHMARK_CAPTURE(BM_AlgorithmExtractTemplate, ehmsq_xs, square_xs_create, 88)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_AlgorithmExtractTemplate, ehmsq_xl, square_xl_create, 197)->Unit(benchmark::kMicrosecond);
// The large sensor's configuration on the small capture (the figure the
// first version of this benchmark gave as "ehmsq_xl").
BENCHMARK_CAPTURE(BM_AlgorithmExtractTemplate, ehmsq_xl_88, square_xl_create, 88)->Unit(benchmark::kMicrosecond);

// The encoder on a finished extraction of a 300 x 300 print: standard
// record, compact card with proprietary data, and the hybrid record.
void BM_EncodeExtraction(benchmark::State &state) {
  const int format = static_cast<int>(state.range(0));
  const uint32_t flags = static_cast<uint32_t>(state.range(1));
  fpsynth::Image im = capture(300, 300);
  bal_extract_result res{};
  res.flags = 0x2 | 0x4 | 0x10 | 0x20;
  res.cores.request = res.deltas.request = 1;
  res.orientation_field.request = res.frequency_field.request = 1;
  bal_extract(im.pixels.data(), 300, 300, &res);
  for (auto _ : state) {
    uint8_t *out = nullptr;
    uint32_t n = 0;
    qx_encode_extraction(&res, nullptr, 300, 300, flags, format, 64, &out, &n);
    benchmark::DoNotOptimize(out);
    bal_free_template(out);
  }
  bal_extract_release(&res);
}
BENCHMARK(BM_EncodeExtraction)->Args({1, 0x0402})->Args({2, 0x0442})->Args({2, 0x0472})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
