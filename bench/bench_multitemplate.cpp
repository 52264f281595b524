// Decoding a multi-template from a template slot: 32 subtemplates
// extracted from generated 88 x 88 captures by the "ehmsq-xs" algorithm,
// with their alignment and island records and the manager's record,
// encoded and padded with erased flash to the slot's 32760 bytes.  The
// slot store hands the decoder a template that refers to the slot's bytes
// (the instances then refer to them too); decoding from an owning template
// copies every subtemplate.  Encoding is measured as well.
#include <benchmark/benchmark.h>

#include <fpsynth/fpsynth.h>

#include <vector>

#include "engine/match/qx_config.h"
#include "engine/objects/qx_algorithm.h"
#include "engine/objects/qx_multitemplate.h"
#include "engine/objects/qx_multitemplate_manager.h"

namespace {

constexpr int kInstances = 32;
constexpr size_t kSlotSize = 32760;

struct Slot {
  std::vector<uint8_t> bytes;  // kSlotSize, 0xFF after the encoding
  size_t encoded = 0;
  qx_multitemplate *mt = nullptr;
};

// Built once: the extraction of 32 captures takes a while.
const Slot &slot() {
  static Slot s = [] {
    Slot out;
    qx_session *session = qx_session_create();
    qx_algorithm *alg = square_xs_create(session);
    qx_multitemplate_manager *m = qx_multitemplate_manager_create(kInstances);
    qx_multitemplate *mt = qx_multitemplate_manager_get_multitemplate(m);
    const fpsynth::Master master = fpsynth::make_master(7);
    for (int i = 0; i < kInstances; ++i) {
      fpsynth::ImpressionParams ip;
      ip.rows = 88;
      ip.cols = 88;
      const fpsynth::Image im = fpsynth::make_impression(master, 100 + i, ip).image;
      qx_image *image = qx_image_create(88, 88, 500, 500, im.pixels.data(), 0);
      qx_template *tpl = nullptr;
      int32_t tag = 0;
      if (qx_algorithm_extract_template(alg, image, nullptr, &tpl) == 0 &&
          qx_multitemplate_add_instance_no_tag(mt, tpl, &tag) == 0) {
        qx_alignment *a = qx_alignment_create(static_cast<int16_t>(3 * i - 40),
                                              static_cast<int16_t>(20 - i), static_cast<uint8_t>(i));
        qx_multitemplate_set_instance_alignment(mt, tag, a, 0);
        qx_multitemplate_set_instance_island(mt, tag, 0);
        qx_alignment_delete(a);
      }
      qx_template_delete(tpl);
      qx_image_delete(image);
    }
    qx_template *encoded = qx_multitemplate_manager_encode(m, 0);
    const uint8_t *p = qx_template_get_data(encoded);
    out.encoded = qx_template_get_data_size(encoded);
    out.bytes.assign(p, p + out.encoded);
    out.bytes.resize(kSlotSize > out.encoded ? kSlotSize : out.encoded, 0xFF);
    out.mt = qx_multitemplate_retain(mt);
    qx_template_delete(encoded);
    qx_multitemplate_manager_delete(m);
    qx_algorithm_delete(alg);
    qx_session_delete(session);
    return out;
  }();
  return s;
}

void counters(benchmark::State &state, const Slot &s) {
  state.counters["instances"] = qx_multitemplate_get_nbr_of_instances(s.mt);
  state.counters["encoded_bytes"] = static_cast<double>(s.encoded);
}

// referring: the slot store's template, which refers to the slot's bytes;
// otherwise a template owning a copy of them.
void BM_DecodeSlot(benchmark::State &state, bool referring) {
  const Slot &s = slot();
  if (s.encoded > kSlotSize) state.SkipWithError("encoding larger than a slot");
  const auto size = static_cast<uint32_t>(s.bytes.size());
  qx_template *src = referring ? qx_template_create_mr(80, s.bytes.data(), size)
                               : qx_template_create(80, s.bytes.data(), size);
  for (auto _ : state) {
    qx_multitemplate *mt = nullptr;
    if (qx_multitemplate_decode(src, &mt) != 0) {
      state.SkipWithError("decode failed");
      break;
    }
    benchmark::DoNotOptimize(mt);
    qx_multitemplate_delete(mt);
  }
  counters(state, s);
  qx_template_delete(src);
}
BENCHMARK_CAPTURE(BM_DecodeSlot, referring, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_DecodeSlot, copying, false)->Unit(benchmark::kMicrosecond);

void BM_Encode(benchmark::State &state) {
  const Slot &s = slot();
  for (auto _ : state) {
    qx_template *out = nullptr;
    qx_multitemplate_encode(s.mt, &out);
    benchmark::DoNotOptimize(out);
    qx_template_delete(out);
  }
  counters(state, s);
}
BENCHMARK(BM_Encode)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
