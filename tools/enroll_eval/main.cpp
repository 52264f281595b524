// enroll-eval: enrolls generated fingers through the engine's multi-
// template enrollment (configuration "ehmsq-xs", 88 x 88 touches) and
// reports the progress curve, the islands at the end, the touches refused
// as duplicates and the size of the finalised template.
//
//   enroll-eval [--fingers N] [--seed S] [--csv FILE] [--sheet PNG]
//
// --csv writes one line per touch (finger, touch, result code, progress,
// accepted captures); --sheet draws the first finger's touches.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "enroll_touches.h"
#include "engine/match/qx_config.h"
#include "engine/objects/qx_multitemplate_enroll.h"

namespace {

struct Counters {
  int duplicates = 0;
  int unmatched = 0;
} g_counters;

int32_t on_event(qx_session *, uint16_t event, qx_finger *) {
  if (event == QX_ENROLL_EVENT_DUPLICATE) ++g_counters.duplicates;
  if (event == QX_ENROLL_EVENT_NO_MATCH) ++g_counters.unmatched;
  return 0;
}

int32_t on_islands(qx_session *, qx_enroll_island_report *, int32_t) { return 1; }

int percentile(std::vector<int> v, int pct) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t i = static_cast<size_t>(pct) * (v.size() - 1) / 100;
  return v[i];
}

}  // namespace

int main(int argc, char **argv) {
  int fingers = 20;
  uint64_t seed = 1;
  std::string csv, sheet;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--fingers") && i + 1 < argc) fingers = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--seed") && i + 1 < argc) seed = std::strtoull(argv[++i], nullptr, 10);
    else if (!std::strcmp(argv[i], "--csv") && i + 1 < argc) csv = argv[++i];
    else if (!std::strcmp(argv[i], "--sheet") && i + 1 < argc) sheet = argv[++i];
    else {
      std::fprintf(stderr, "usage: enroll-eval [--fingers N] [--seed S] [--csv FILE] [--sheet PNG]\n");
      return 2;
    }
  }
  FILE *out = csv.empty() ? nullptr : std::fopen(csv.c_str(), "w");
  if (out) std::fprintf(out, "finger,touch,rc,progress,accepted\n");

  const int marks[] = {8, 16, 24, 32};
  std::vector<std::vector<int>> at_mark(4);
  std::vector<int> islands_end, multi_islands_end, duplicates, unmatched, accepted, kept, sizes;
  std::vector<int> failures;
  double seconds = 0;
  const qx_enroll_callbacks callbacks = {on_event, on_islands, nullptr, nullptr, nullptr};
  for (int f = 0; f < fingers; ++f) {
    const uint64_t finger_seed = fpsynth::derive_seed(seed, static_cast<uint64_t>(f));
    const std::vector<fpsynth::Image> touches = enroll_eval::make_touches(finger_seed);
    std::string problem;
    if (f == 0 && !sheet.empty() &&
        !imageio::write_png(sheet, fpsynth::contact_sheet(touches, enroll_eval::kImpressions),
                            &problem)) {
      std::fprintf(stderr, "cannot write %s: %s\n", sheet.c_str(), problem.c_str());
    }
    qx_algorithm *alg = square_xs_create(nullptr);
    if (alg == nullptr) return 1;
    g_counters = Counters{};
    const auto t0 = std::chrono::steady_clock::now();
    qx_multitemplate_enroll *e =
        qx_multitemplate_enroll_create_algorithm(alg, nullptr, &callbacks, nullptr);
    uint8_t progress = 0;
    int fails = 0;
    for (int t = 0; t < enroll_eval::kTouches; ++t) {
      const fpsynth::Image &im = touches[t];
      qx_image *image = qx_image_create(im.rows, im.cols, 500, 500, im.pixels.data(), 0);
      const int32_t rc = qx_multitemplate_enroll_run(e, image, &progress);
      qx_image_delete(image);
      if (rc != 0) ++fails;
      if (out) {
        std::fprintf(out, "%d,%d,%d,%d,%d\n", f, t + 1, rc, progress,
                     qx_multitemplate_enroll_get_nbr_of_captures(e));
      }
      for (int m = 0; m < 4; ++m) {
        if (t + 1 == marks[m]) at_mark[m].push_back(progress);
      }
    }
    qx_template *mt = nullptr;
    const int32_t frc = qx_multitemplate_enroll_finalize_template_algorithm(alg, e, &mt);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    // Islands of accepted captures (refused touches are reported as islands
    // of their own; they are not counted here).
    const qx_island_list *isl = qx_multitemplate_enroll_get_islands(e);
    int n_isl = 0, multi = 0;
    for (int k = 0; k < qx_island_list_get_nbr_of_islands(isl); ++k) {
      const qx_template *top = qx_subtemplate_get_template(qx_island_list_get_top(isl, k));
      bool accepted_top = false;
      for (int i = 0; i < qx_multitemplate_enroll_get_nbr_of_captures(e); ++i) {
        accepted_top = accepted_top || qx_multitemplate_enroll_get_capture(e, i) == top;
      }
      if (!accepted_top) continue;
      ++n_isl;
      multi += qx_island_list_get_size(isl, k) > 1 ? 1 : 0;
    }
    islands_end.push_back(n_isl);
    multi_islands_end.push_back(multi);
    duplicates.push_back(g_counters.duplicates);
    unmatched.push_back(g_counters.unmatched);
    accepted.push_back(qx_multitemplate_enroll_get_nbr_of_captures(e));
    failures.push_back(fails);
    sizes.push_back(frc == 0 ? static_cast<int>(qx_template_get_data_size(mt)) : -frc);
    qx_template_delete(mt);
    qx_multitemplate_enroll_delete(e);
    qx_algorithm_delete(alg);
    std::fprintf(stderr, "finger %d: progress %d, accepted %d, islands %d (%d with 2+), duplicates %d, "
                 "run errors %d, template %d\n", f, progress, accepted.back(), n_isl, multi,
                 g_counters.duplicates, fails, sizes.back());
  }
  if (out) std::fclose(out);

  std::printf("fingers %d, seed %llu, %d touches of 88 x 88 each (8 impressions x 4 places)\n",
              fingers, static_cast<unsigned long long>(seed), enroll_eval::kTouches);
  for (int m = 0; m < 4; ++m) {
    std::printf("progress after %2d touches: median %3d, 10th percentile %3d\n", marks[m],
                percentile(at_mark[m], 50), percentile(at_mark[m], 10));
  }
  std::printf("islands of accepted captures at the end: median %d (of which 2+ captures: median %d), max %d\n",
              percentile(islands_end, 50), percentile(multi_islands_end, 50),
              percentile(islands_end, 100));
  int one_island = 0;
  for (int n : islands_end) one_island += n == 1 ? 1 : 0;
  std::printf("fingers ending with a single island: %d of %d\n", one_island, fingers);
  int dup_total = 0, fail_total = 0;
  for (int d : duplicates) dup_total += d;
  for (int x : failures) fail_total += x;
  std::printf("duplicates refused: %d of %d touches (median per finger %d)\n", dup_total,
              fingers * enroll_eval::kTouches, percentile(duplicates, 50));
  std::printf("accepted captures: median %d; unmatched on arrival: median %d; runs with an error code: %d\n",
              percentile(accepted, 50), percentile(unmatched, 50), fail_total);
  std::printf("finalised template bytes: median %d\n", percentile(sizes, 50));
  std::printf("time per enrollment (32 runs + finalize): %.3f s\n", seconds / std::max(1, fingers));
  return 0;
}
