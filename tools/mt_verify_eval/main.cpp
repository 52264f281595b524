// mt-verify-eval: enrols fingers from 32 captures through the library's own
// enrollment ("ehmsq-xs" with 88 x 88 captures, or "ehmre-s" with 80 x 146
// captures, rows x cols), then verifies probes taken
// from impressions not used for enrollment through the verifier-chain walk
// and counts false rejections (genuine probes) and false acceptances
// (probes of every other finger) at FAR indexes 12, 14 and 15, with the
// coherence stage and without it (the coherence model left out of the
// algorithm's model list).
//
//   mt-verify-eval --synthetic FINGERS [--seed N] [--probes P]
//   mt-verify-eval --data DIR [--probes-per-image P] [--first-probe-window W]
//   ... [--config ehmsq-xs|ehmre-s] [--dump-coherence FILE] [--no-eval]
//
// --dump-coherence writes, for every probe against every enrolled finger,
// the coherence verifier's 24 feature scores of the best-scoring
// subtemplate (the full comparison over all main-island subtemplates, as
// the second link sees them), the input the coherence models are trained
// from, as CSV with the header
//   label,finger,probe,enrolled,n,score,f0,...,f23
// (label 1 for the probe's own finger; n the number of main-island
// subtemplates, which picks the threshold row; score what the library's
// coherence model of this build makes of f0..f23).  Multi-templates with
// fewer than 16 subtemplates never reach the coherence stage and are left
// out.  --no-eval skips the rate measurements (dumping only).
//
// --data reads DIR/<finger>_<impression>.bmp (8 impressions per finger,
// fingers numbered 1 to 999): impressions 1-4 give 8 windows each for
// enrollment, impressions 5-8 give the probe windows (P of the 9 ring
// positions from position W on, 0 the centre; the models are trained on
// positions 0-2, so 3-5 measure on windows they never saw).  Nothing is
// written.
#include <fpsynth/fpsynth.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/match/ehm_verifier.h"
#include "engine/match/mt_coherence.h"
#include "engine/match/qx_config.h"
#include "engine/match/vermodel_data.h"
#include "engine/objects/qx_algorithm.h"
#include "engine/objects/qx_multitemplate_enroll.h"
#include "engine/objects/qx_multitemplate_manager.h"
#include "engine/qx_alloc.h"

namespace {

constexpr int kCaptures = 32;
// Candidates a template needs before the walk gives it a coherence state.
constexpr int kCoherenceCandidates = 16;

struct Config {
  const char *name;
  qx_algorithm *(*create)(qx_session *);
  const qx_vermodel *models;
  int rows, cols;
};
const Config kConfigs[] = {
    {"ehmsq-xs", square_xs_create, qx_vermodels_ehmsq_xs, 88, 88},
    {"ehmre-s", rectangular_s_create, qx_vermodels_ehmre_s, 80, 146},
};
Config g_config = kConfigs[0];
const int kFars[] = {12, 14, 15};

struct Finger {
  std::vector<fpsynth::Image> enroll;
  std::vector<fpsynth::Image> probes;
};

// Windows on a ring around the image centre (spacing `step` pixels), from
// the ring's `first` position on.  The ring is centred on the image, not on
// the print: the coherence models are trained on these very windows.
std::vector<fpsynth::Image> windows(const fpsynth::Image &im, int count, int step, int first = 0) {
  std::vector<fpsynth::Image> out;
  const int cy = im.rows / 2 - g_config.rows / 2, cx = im.cols / 2 - g_config.cols / 2;
  const int offsets[9][2] = {{0, 0},   {-1, -1}, {-1, 1}, {1, -1}, {1, 1},
                             {0, -1},  {0, 1},   {-1, 0}, {1, 0}};
  for (int i = first; i < first + count && i < 9; ++i)
    out.push_back(imageio::window(im, cy + offsets[i][0] * step, cx + offsets[i][1] * step,
                                  g_config.rows, g_config.cols));
  return out;
}

std::vector<Finger> synthetic(int fingers, uint64_t seed, int probes) {
  std::vector<Finger> out;
  for (int f = 0; f < fingers; ++f) {
    const fpsynth::Master m = fpsynth::make_master(fpsynth::derive_seed(seed, f));
    fpsynth::ImpressionParams ip;
    ip.rows = g_config.rows;
    ip.cols = g_config.cols;
    Finger fg;
    for (int i = 0; i < kCaptures; ++i)
      fg.enroll.push_back(fpsynth::make_impression(m, fpsynth::derive_seed(seed ^ 0xE0, i), ip).image);
    for (int i = 0; i < probes; ++i)
      fg.probes.push_back(fpsynth::make_impression(m, fpsynth::derive_seed(seed ^ 0x9B, i), ip).image);
    out.push_back(std::move(fg));
  }
  return out;
}

std::vector<Finger> from_data(const std::string &dir, int probes_per_image, int first_probe) {
  std::vector<Finger> out;
  for (int f = 1; f <= 999; ++f) {
    Finger fg;
    bool ok = true;
    for (int i = 1; i <= 8 && ok; ++i) {
      fpsynth::Image im;
      std::string problem;
      ok = imageio::read_file(dir + "/" + std::to_string(f) + "_" + std::to_string(i) + ".bmp", &im,
                              &problem);
      if (!ok) break;
      auto w = i <= 4 ? windows(im, 8, 24) : windows(im, probes_per_image, 24, first_probe);
      auto &dst = i <= 4 ? fg.enroll : fg.probes;
      dst.insert(dst.end(), w.begin(), w.end());
    }
    if (ok) out.push_back(std::move(fg));
  }
  return out;
}

qx_template *extract(qx_algorithm *alg, const fpsynth::Image &im) {
  qx_image *image = qx_image_create(im.rows, im.cols, 500, 500, im.pixels.data(), 0);
  qx_template *tpl = nullptr;
  if (image != nullptr) qx_algorithm_extract_template(alg, image, nullptr, &tpl);
  qx_image_delete(image);
  return tpl;
}

qx_template *enrol(qx_algorithm *alg, const Finger &f) {
  const qx_enroll_callbacks callbacks{};
  qx_multitemplate_enroll *e = qx_multitemplate_enroll_create_algorithm(alg, nullptr, &callbacks, nullptr);
  if (e == nullptr) return nullptr;
  for (const auto &im : f.enroll) {
    qx_image *image = qx_image_create(im.rows, im.cols, 500, 500, im.pixels.data(), 0);
    if (image != nullptr) qx_multitemplate_enroll_run(e, image, nullptr);
    qx_image_delete(image);
  }
  qx_template *mt = nullptr;
  qx_multitemplate_enroll_finalize_template_algorithm(alg, e, &mt);
  qx_multitemplate_enroll_delete(e);
  return mt;
}

// The coherence features of the probe's best subtemplate in `mt`, the
// number of subtemplates and the score the coherence model gives them, or
// false (also for templates too small for the coherence stage).
bool coherence_features(qx_algorithm *alg, qx_template *mt, qx_template *probe,
                        uint16_t out[QX_MTCOHER_NBR_SCORES], int32_t *nbr, uint16_t *model_score) {
  qx_session *session = qx_algorithm_get_session(alg);
  const qx_verifier_interface *v = qx_algorithm_get_verifier(alg);
  qx_multitemplate_manager *m = qx_multitemplate_manager_create_with_template(mt);
  if (m == nullptr) return false;
  const int32_t n = qx_multitemplate_manager_get_nbr_of_templates(m);
  qx_mtcoher *state =
      n >= kCoherenceCandidates ? qx_mtcoher_create(session, n, v, g_config.models) : nullptr;
  int32_t best = -1;
  uint16_t best_score = 0;
  for (int32_t j = 0; state != nullptr && j < n; ++j) {
    qx_alignment *island = nullptr, *found = nullptr;
    int32_t island_nr = 0;
    qx_template *sub = qx_multitemplate_manager_get_template(m, j, &island, &island_nr);
    uint16_t *scores = nullptr;
    uint8_t count = 0;
    uint16_t score = 0;
    if (sub != nullptr &&
        v->extract_feature_scores(session, sub, probe, &scores, &count, &found) == 0 &&
        v->verify_feature_scores(session, sub, probe, scores, count, 12, &score, nullptr,
                                 g_config.models) == 0) {
      qx_mtcoher_fill_data(state, j, island, found, score, island_nr);
      if (best < 0 || score > best_score) {
        best = j;
        best_score = score;
      }
    }
    qx_feature_scores_free(scores);
    qx_alignment_delete(found);
    qx_alignment_delete(island);
    qx_template_delete(sub);
  }
  uint16_t *features = nullptr;
  const bool ok = best >= 0 && qx_mtcoher_get_feature_scores(state, probe, &features, best) == 0;
  if (ok) {
    std::copy(features, features + QX_MTCOHER_NBR_SCORES, out);
    const qx_vermodel *model = qx_mtcoher_get_model_list(state);
    *nbr = n;
    *model_score = qx_ml_predict_linear_score(features, nullptr, model->quadratic,
                                              QX_MTCOHER_NBR_SCORES, model->normalisation);
  }
  qx_free(features);
  qx_mtcoher_delete(state);
  qx_multitemplate_manager_delete(m);
  return ok;
}

struct Counts {
  long trials = 0, accepted = 0, errors = 0;
};

}  // namespace

int main(int argc, char **argv) {
  int fingers = 10, probes = 8, per_image = 3, first_probe = 0;
  uint64_t seed = 1;
  std::string data, dump, config = "ehmsq-xs";
  bool evaluate = true;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--no-eval")) {
      evaluate = false;
      continue;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "mt-verify-eval: %s needs a value\n", argv[i]);
      return 2;
    }
    if (!std::strcmp(argv[i], "--synthetic")) fingers = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--seed")) seed = std::strtoull(argv[i + 1], nullptr, 10);
    else if (!std::strcmp(argv[i], "--probes")) probes = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--data")) data = argv[i + 1];
    else if (!std::strcmp(argv[i], "--probes-per-image")) per_image = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--first-probe-window")) first_probe = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--dump-coherence")) dump = argv[i + 1];
    else if (!std::strcmp(argv[i], "--config")) config = argv[i + 1];
    else {
      std::fprintf(stderr, "mt-verify-eval: unknown option %s\n", argv[i]);
      return 2;
    }
    ++i;
  }
  const Config *chosen = nullptr;
  for (const Config &c : kConfigs)
    if (config == c.name) chosen = &c;
  if (chosen == nullptr) {
    std::fprintf(stderr, "mt-verify-eval: configuration %s has no coherence model\n",
                 config.c_str());
    return 2;
  }
  g_config = *chosen;
  const std::vector<Finger> set = data.empty() ? synthetic(fingers, seed, probes)
                                               : from_data(data, per_image, first_probe);
  if (set.size() < 2) {
    std::fprintf(stderr, "mt-verify-eval: need at least two fingers\n");
    return 2;
  }

  qx_algorithm *alg = g_config.create(nullptr);
  if (alg == nullptr) return 1;
  qx_algorithm_get_config(alg)->max_nbr_subtemplates = 32;  // as the library sets it
  // The model list without the coherence record.
  std::vector<qx_vermodel> plain;
  for (const qx_vermodel *m = g_config.models; m->verifier != nullptr; ++m)
    if (m->key2 == 0) plain.push_back(*m);
  plain.push_back(qx_vermodel{});

  std::vector<qx_template *> enrolled;
  std::vector<std::vector<qx_template *>> probe_templates;
  for (const Finger &f : set) {
    enrolled.push_back(enrol(alg, f));
    std::vector<qx_template *> p;
    for (const auto &im : f.probes) p.push_back(extract(alg, im));
    probe_templates.push_back(std::move(p));
  }

  long kept = 0, made = 0;
  for (qx_template *t : enrolled) {
    qx_multitemplate_manager *m = qx_multitemplate_manager_create_with_template(t);
    if (m != nullptr) {
      kept += qx_multitemplate_manager_get_nbr_of_templates(m);
      ++made;
    }
    qx_multitemplate_manager_delete(m);
  }
  std::printf("%s: %zu fingers (%ld enrolled, %.1f main-island subtemplates each), %zu probes "
              "per finger, source %s\n",
              g_config.name, set.size(), made, made ? static_cast<double>(kept) / made : 0.0,
              set[0].probes.size(), data.empty() ? "synthetic" : data.c_str());
  // Template scores (FAR index 28 reports them): how far apart genuine and
  // impostor probes lie, whatever the thresholds.
  if (evaluate) {
    std::vector<int> g, im;
    for (size_t e = 0; e < enrolled.size(); ++e)
      for (size_t p = 0; p < probe_templates.size(); ++p)
        for (qx_template *probe : probe_templates[p]) {
          if (enrolled[e] == nullptr || probe == nullptr) continue;
          int32_t score = 0, index = -1;
          qx_match *match = nullptr;
          qx_algorithm_verify_templates(alg, &enrolled[e], 1, probe, 28, &score, &match, &index);
          qx_match_delete(match);
          (p == e ? g : im).push_back(score);
        }
    std::sort(g.begin(), g.end());
    std::sort(im.begin(), im.end());
    auto at = [](const std::vector<int> &v, double q) {
      return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<size_t>(q * v.size()))];
    };
    std::printf("template scores: genuine min %d median %d; impostor median %d, 99th %d, max %d\n",
                at(g, 0), at(g, 0.5), at(im, 0.5), at(im, 0.99), at(im, 1.0));
    // What a threshold placed on this very set would give (no walk
    // decisions involved): FRR with no impostor accepted, and with 1 %.
    auto frr_above = [&g](int threshold) {
      const long below = std::upper_bound(g.begin(), g.end(), threshold) - g.begin();
      return 100.0 * below / std::max<size_t>(1, g.size());
    };
    std::printf("template-score threshold at the highest impostor: FRR %.2f %%; "
                "at the impostors' 99th percentile: FRR %.2f %%\n",
                frr_above(at(im, 1.0)), frr_above(at(im, 0.99)));
  }
  for (int coherence = 1; evaluate && coherence >= 0; --coherence) {
    qx_algorithm_set_vermodels(alg, coherence ? g_config.models : plain.data());
    for (int far : kFars) {
      Counts genuine, impostor;
      double ms_genuine = 0, ms_impostor = 0;
      for (size_t e = 0; e < enrolled.size(); ++e) {
        if (enrolled[e] == nullptr) continue;
        for (size_t p = 0; p < probe_templates.size(); ++p) {
          for (qx_template *probe : probe_templates[p]) {
            if (probe == nullptr) continue;
            int32_t decision = 0, index = -1;
            qx_match *match = nullptr;
            const auto t0 = std::chrono::steady_clock::now();
            const int32_t rc = qx_algorithm_verify_templates(alg, &enrolled[e], 1, probe, far,
                                                             &decision, &match, &index);
            const double ms = std::chrono::duration<double, std::milli>(
                                  std::chrono::steady_clock::now() - t0).count();
            qx_match_delete(match);
            Counts &c = p == e ? genuine : impostor;
            (p == e ? ms_genuine : ms_impostor) += ms;
            ++c.trials;
            if (rc != 0) ++c.errors;
            if (decision == 1) ++c.accepted;
          }
        }
      }
      std::printf("coherence %-3s FAR index %2d: FRR %6.2f %% (%ld/%ld)  FAR %7.4f %% (%ld/%ld)"
                  "  errors %ld/%ld  mean ms %.2f genuine %.2f impostor\n",
                  coherence ? "on" : "off", far,
                  100.0 * (genuine.trials - genuine.accepted) / std::max(1L, genuine.trials),
                  genuine.trials - genuine.accepted, genuine.trials,
                  100.0 * impostor.accepted / std::max(1L, impostor.trials), impostor.accepted,
                  impostor.trials, genuine.errors, impostor.errors,
                  ms_genuine / std::max(1L, genuine.trials),
                  ms_impostor / std::max(1L, impostor.trials));
    }
  }
  if (!dump.empty()) {
    std::FILE *f = std::fopen(dump.c_str(), "w");
    if (f == nullptr) {
      std::fprintf(stderr, "mt-verify-eval: cannot write %s\n", dump.c_str());
    } else {
      std::fprintf(f, "# mt-verify-eval coherence features; %s, source %s, seed %llu\n",
                   g_config.name, data.empty() ? "synthetic" : data.c_str(),
                   static_cast<unsigned long long>(seed));
      std::fprintf(f, "label,finger,probe,enrolled,n,score");
      for (int i = 0; i < QX_MTCOHER_NBR_SCORES; ++i) std::fprintf(f, ",f%d", i);
      std::fprintf(f, "\n");
      qx_algorithm_set_vermodels(alg, g_config.models);
      for (size_t e = 0; e < enrolled.size(); ++e) {
        for (size_t p = 0; p < probe_templates.size(); ++p) {
          for (size_t k = 0; k < probe_templates[p].size(); ++k) {
            qx_template *probe = probe_templates[p][k];
            uint16_t x[QX_MTCOHER_NBR_SCORES];
            int32_t n = 0;
            uint16_t score = 0;
            if (enrolled[e] == nullptr || probe == nullptr ||
                !coherence_features(alg, enrolled[e], probe, x, &n, &score))
              continue;
            std::fprintf(f, "%d,%zu,%zu,%zu,%d,%u", p == e ? 1 : 0, p, k, e, n, score);
            for (uint16_t v : x) std::fprintf(f, ",%u", v);
            std::fprintf(f, "\n");
          }
        }
      }
      if (std::fclose(f) != 0) {
        std::fprintf(stderr, "mt-verify-eval: cannot write %s\n", dump.c_str());
        return 1;
      }
    }
  }
  for (auto *t : enrolled) qx_template_delete(t);
  for (auto &v : probe_templates)
    for (auto *t : v) qx_template_delete(t);
  qx_algorithm_delete(alg);
  return 0;
}
