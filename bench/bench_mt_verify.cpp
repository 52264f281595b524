// One verification of an 88 x 88 probe template against one multi-template
// of 32 subtemplates through the chain walk of "ehmsq-xs" (extraction not
// included): a genuine probe the walk accepts, and an impostor probe it
// rejects, at FAR index 12.
#include <benchmark/benchmark.h>

#include <fpsynth/fpsynth.h>

#include "engine/match/qx_config.h"
#include "engine/objects/qx_algorithm.h"
#include "engine/objects/qx_multitemplate_manager.h"

namespace {

qx_template *extract(qx_algorithm *alg, const fpsynth::Image &im) {
  qx_image *image = qx_image_create(im.rows, im.cols, 500, 500, im.pixels.data(), 0);
  qx_template *tpl = nullptr;
  if (image != nullptr) qx_algorithm_extract_template(alg, image, nullptr, &tpl);
  qx_image_delete(image);
  return tpl;
}

struct Setup {
  qx_algorithm *alg = square_xs_create(nullptr);
  qx_template *enrolled = nullptr;
  qx_template *genuine = nullptr;
  qx_template *impostor = nullptr;
  int subtemplates = 0;

  Setup() {
    qx_algorithm_get_config(alg)->max_nbr_subtemplates = 32;  // as the library sets it
    fpsynth::ImpressionParams ip;
    ip.rows = ip.cols = 88;
    const fpsynth::Master finger = fpsynth::make_master(21);
    const fpsynth::Master other = fpsynth::make_master(22);
    // 32 touches of the finger, all kept as subtemplates (the rebuild path
    // of the manager: every pair compared, the choice within 32).
    qx_template *captures[32] = {};
    for (uint64_t i = 0; i < 32; ++i)
      captures[i] = extract(alg, fpsynth::make_impression(finger, 100 + i, ip).image);
    qx_algorithm_create_multitemplate(alg, captures, 32, &enrolled);
    for (qx_template *t : captures) qx_template_delete(t);
    qx_multitemplate_manager *m = qx_multitemplate_manager_create_with_template(enrolled);
    subtemplates = qx_multitemplate_manager_get_nbr_of_templates(m);
    qx_multitemplate_manager_delete(m);
    // The first genuine probe the walk accepts, the first impostor it rejects.
    for (uint64_t i = 0; i < 20 && enrolled != nullptr && genuine == nullptr; ++i) {
      qx_template *p = extract(alg, fpsynth::make_impression(finger, 900 + i, ip).image);
      if (decide(p) == 1) genuine = p;
      else qx_template_delete(p);
    }
    for (uint64_t i = 0; i < 20 && enrolled != nullptr && impostor == nullptr; ++i) {
      qx_template *p = extract(alg, fpsynth::make_impression(other, 900 + i, ip).image);
      if (decide(p) == 0) impostor = p;
      else qx_template_delete(p);
    }
  }
  ~Setup() {
    qx_template_delete(enrolled);
    qx_template_delete(genuine);
    qx_template_delete(impostor);
    qx_algorithm_delete(alg);
  }
  int32_t decide(qx_template *probe) {
    if (probe == nullptr) return -1;
    int32_t decision = 0, index = -1;
    qx_match *match = nullptr;
    const int32_t rc =
        qx_algorithm_verify_templates(alg, &enrolled, 1, probe, 12, &decision, &match, &index);
    qx_match_delete(match);
    return rc == 0 ? decision : -1;
  }
};

Setup &setup() {
  static Setup s;
  return s;
}

void BM_VerifyChain(benchmark::State &state, bool genuine) {
  Setup &s = setup();
  qx_template *probe = genuine ? s.genuine : s.impostor;
  if (probe == nullptr) {
    state.SkipWithError("no enrolled template or no probe with the wanted decision");
    return;
  }
  int32_t decision = 0;
  for (auto _ : state) {
    int32_t index = -1;
    qx_match *match = nullptr;
    qx_algorithm_verify_templates(s.alg, &s.enrolled, 1, probe, 12, &decision, &match, &index);
    qx_match_delete(match);
  }
  state.counters["accepted"] = decision;
  state.counters["subtemplates"] = s.subtemplates;
}
BENCHMARK_CAPTURE(BM_VerifyChain, genuine, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_VerifyChain, impostor, false)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
