// protocol-dump: the small-sensor verification protocol at the scale of its
// false-accept promise, dumped as the subtemplate feature scores that the
// library's decision is made of, so that score models and threshold tables
// can be fitted and judged offline on exactly what a host's verification
// computes.
//
//   protocol-dump --dir DIR --out PREFIX [--halves 1|2] [--size 88]
//                 [--impostor-fingers K]
//
// DIR holds <finger>_<impression>.bmp with impressions 1-8 per finger.
// Each finger is enrolled through the library's exports from 32 windows of
// SIZE x SIZE (impressions 1-4, eight offsets around the print's foreground
// centre, the way hosts with a small sensor enrol); with --halves 2 it is
// enrolled a second time from impressions 5-8.  Probes are the windows of a
// 5 x 5 grid (offsets -28 ... 28 px, step 14) on every impression of every
// finger; each probe window is extracted once and compared with every
// enrolled finger: with the other fingers it is an impostor attempt, with
// its own finger's enrolment from the other half a genuine one (windows of
// the enrolled half are not probes).  With --impostor-fingers K a probe is
// compared with the K fingers after its own (in name order, cyclically)
// instead of every other finger, which keeps large generated sets linear.
//
// Output:
//   PREFIX.attempts.csv  one row per attempt:
//     enrolled,half,finger,impression,dy,dx,label,n,first,score,accept12
//     (label 1 genuine; n the multi-template's main-island subtemplates,
//     which also picks the threshold row; first the attempt's first row in
//     PREFIX.features; score and accept12 what the library's multi-template
//     verification gives with the models of this build at FAR index 12)
//   PREFIX.features      n rows per attempt of 32 little-endian uint16:
//     f0..f29 (the hybrid verifier's feature scores of subtemplate j against
//     the probe), the subtemplate's similarity score under the models of
//     this build, and the engine's result code of that comparison
// A probe window without a template gives attempts with n = 0.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "engine/image/qx_image.h"
#include "engine/match/ehm_verifier.h"
#include "engine/match/qx_config.h"
#include "engine/objects/qx_algorithm.h"
#include "engine/objects/qx_finger.h"
#include "engine/objects/qx_multitemplate_manager.h"
#include "engine/objects/qx_template.h"
#include "imageio.h"
#include "resolution.h"
#include "lumetra.h"

namespace fs = std::filesystem;

namespace {

constexpr int kScores = 30;
constexpr int kRowWords = 32;

using Print = imageio::GreyImage;

// The windows are placed around the print's foreground centre by the rule
// the accuracy yardsticks use, so that they are the yardsticks' windows.
std::vector<uint8_t> window(const Print &p, int size, int dy, int dx) {
  return imageio::foreground_window(p, size, size, dy, dx).pixels;
}

bool read_print(const fs::path &path, Print &p) {
  std::string problem;
  return imageio::read_file(path.string(), &p, &problem);
}

const int kEnrolOffsets[8][2] = {{0, 0},     {-28, 0},  {28, 0},  {0, -28},
                                 {0, 28},    {-28, -28}, {28, 28}, {-28, 28}};

struct Enrolment {
  std::string finger;
  int half = 1;
  qx_template *mt = nullptr;
  qx_multitemplate_manager *manager = nullptr;
  std::vector<qx_template *> instances;
};

}  // namespace

int main(int argc, char **argv) {
  std::string dir, out;
  int halves = 1, size = 88, impostor_fingers = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string o = argv[i];
    if (o == "--dir") dir = argv[i + 1];
    else if (o == "--out") out = argv[i + 1];
    else if (o == "--halves") halves = std::atoi(argv[i + 1]);
    else if (o == "--size") size = std::atoi(argv[i + 1]);
    else if (o == "--impostor-fingers") impostor_fingers = std::atoi(argv[i + 1]);
    else {
      std::fprintf(stderr, "protocol-dump: unknown option %s\n", o.c_str());
      return 2;
    }
  }
  if (dir.empty() || out.empty() || halves < 1 || halves > 2 || size < 64 || size > 256) {
    std::fprintf(stderr, "usage: protocol-dump --dir DIR --out PREFIX [--halves 1|2] [--size 88]\n");
    return 2;
  }

  // fingers in name order, each with impressions 1..8
  std::map<std::string, std::vector<Print>> prints;
  for (const auto &e : fs::directory_iterator(dir)) {
    const std::string stem = e.path().stem().string();
    const size_t us = stem.rfind('_');
    if (e.path().extension() != ".bmp" || us == std::string::npos) continue;
    const int imp = std::atoi(stem.c_str() + us + 1);
    if (imp < 1 || imp > 8) continue;
    auto &v = prints[stem.substr(0, us)];
    v.resize(8);
    if (!read_print(e.path(), v[imp - 1])) {
      std::fprintf(stderr, "protocol-dump: cannot read %s\n", e.path().c_str());
      return 1;
    }
  }
  for (auto it = prints.begin(); it != prints.end();) {
    const bool whole = std::all_of(it->second.begin(), it->second.end(),
                                   [](const Print &p) { return !p.pixels.empty(); });
    it = whole ? std::next(it) : prints.erase(it);
  }
  if (prints.size() < 2) {
    std::fprintf(stderr, "protocol-dump: %s holds fewer than two fingers with 8 impressions\n",
                 dir.c_str());
    return 1;
  }

  // Enrolment through the exports, exactly as a host enrols.
  set_fp_sensor_col_row(size, size);
  if (init_nerio_algorithm() != 0) {
    std::fprintf(stderr, "protocol-dump: the library has no configuration for %dx%d\n", size, size);
    return 1;
  }
  set_fp_dyn_update_flg(0);
  qx_algorithm *alg = square_xs_create(nullptr);
  if (size != 88) {  // the dump fits the small sensor's models only
    qx_algorithm_delete(alg);
    alg = nullptr;
  }
  if (alg == nullptr) {
    std::fprintf(stderr, "protocol-dump: only the 88 x 88 configuration is dumped\n");
    return 1;
  }
  qx_algorithm_get_config(alg)->max_nbr_subtemplates = 32;  // as the library sets it
  qx_session *session = qx_algorithm_get_session(alg);
  const qx_verifier_interface *verifier = qx_algorithm_get_verifier(alg);

  std::vector<Enrolment> enrolled;
  std::map<std::string, int> finger_index;
  for (const auto &[finger, imps] : prints) finger_index.emplace(finger, static_cast<int>(finger_index.size()));
  const int nfingers = static_cast<int>(finger_index.size());
  static tpl_record record;
  for (const auto &[finger, imps] : prints)
    for (int half = 1; half <= halves; ++half) {
      unsigned char progress = 0;
      for (int i = 0; i < 4; ++i)
        for (const auto &o : kEnrolOffsets) {
          const auto w = window(imps[(half - 1) * 4 + i], size, o[0], o[1]);
          nerio_qx_enroll_Image(w.data(), 0, 0, &progress);
        }
      std::memset(&record, 0, sizeof record);
      Enrolment e;
      e.finger = finger;
      e.half = half;
      if (nerio_qx_save_tpl(0, &record) == 0 && record.length > 0 &&
          record.length <= sizeof record.data) {
        e.mt = qx_template_create(record.type, record.data, record.length);
        if (e.mt != nullptr &&
            qx_multitemplate_manager_create_from_template(e.mt, &e.manager) == 0 &&
            e.manager != nullptr) {
          const int32_t n = qx_multitemplate_manager_get_nbr_of_templates(e.manager);
          for (int32_t j = 0; j < n; ++j)
            e.instances.push_back(qx_multitemplate_manager_get_template(e.manager, j, nullptr, nullptr));
        }
      } else {
        std::fprintf(stderr, "protocol-dump: finger %s half %d: enrolment failed\n", finger.c_str(), half);
      }
      nerio_DelFinger(0);
      enrolled.push_back(e);
    }

  std::FILE *attempts = std::fopen((out + ".attempts.csv").c_str(), "w");
  std::FILE *features = std::fopen((out + ".features").c_str(), "wb");
  if (attempts == nullptr || features == nullptr) {
    std::fprintf(stderr, "protocol-dump: cannot write %s.*\n", out.c_str());
    return 1;
  }
  std::fprintf(attempts, "enrolled,half,finger,impression,dy,dx,label,n,first,score,accept12\n");
  long row = 0;
  std::vector<uint16_t> words;
  for (const auto &[finger, imps] : prints) {
    for (int imp = 1; imp <= 8; ++imp) {
      const int probe_half = imp <= 4 ? 1 : 2;
      for (int k = 0; k < 25; ++k) {
        const int dy = -28 + 14 * (k / 5), dx = -28 + 14 * (k % 5);
        const auto w = window(imps[imp - 1], size, dy, dx);
        qx_image *image = qx_image_create(size, size, 500, 500, w.data(), 0);
        qx_template *probe = nullptr;
        if (image != nullptr)
          qx_algorithm_extract_template(alg, image, qx_finger_static_zero(), &probe);
        qx_image_delete(image);
        for (size_t e = 0; e < enrolled.size(); ++e) {
          const Enrolment &en = enrolled[e];
          const bool genuine = en.finger == finger;
          if (genuine && en.half == probe_half) continue;  // enrolled windows are not probes
          const int ahead = (finger_index[en.finger] - finger_index[finger] + nfingers) % nfingers;
          if (!genuine && impostor_fingers > 0 && ahead > impostor_fingers) continue;
          int n = 0;
          uint16_t score = 0;
          int32_t decision = 0;
          if (probe != nullptr && en.mt != nullptr) {
            n = static_cast<int>(en.instances.size());
            for (qx_template *sub : en.instances) {
              uint16_t *fs = nullptr;
              uint8_t count = 0;
              uint16_t s = 0;
              qx_alignment *found = nullptr;
              int32_t rc = sub == nullptr ? 9
                                          : verifier->extract_feature_scores(session, sub, probe,
                                                                             &fs, &count, &found);
              words.assign(kRowWords, 0);
              if (rc == 0 && count == kScores) {
                std::copy(fs, fs + kScores, words.begin());
                rc = verifier->verify_feature_scores(session, sub, probe, fs, count, 12, &s,
                                                     nullptr, nullptr);
              }
              words[30] = s;
              words[31] = static_cast<uint16_t>(rc);
              qx_feature_scores_free(fs);
              qx_alignment_delete(found);
              std::fwrite(words.data(), sizeof(uint16_t), kRowWords, features);
            }
            qx_algorithm_get_similarity_score(alg, en.mt, probe, 12, &score, &decision, nullptr,
                                              nullptr);
          }
          std::fprintf(attempts, "%s,%d,%s,%d,%d,%d,%d,%d,%ld,%u,%d\n", en.finger.c_str(), en.half,
                       finger.c_str(), imp, dy, dx, genuine ? 1 : 0, n, row, score, decision);
          row += n;
        }
        qx_template_delete(probe);
      }
    }
    std::fprintf(stderr, "protocol-dump: %s done\n", finger.c_str());
  }
  const bool ok = std::fclose(attempts) == 0 && std::fclose(features) == 0;
  for (auto &e : enrolled) {
    for (auto *t : e.instances) qx_template_delete(t);
    qx_multitemplate_manager_delete(e.manager);
    qx_template_delete(e.mt);
  }
  qx_algorithm_delete(alg);
  uninit_nerio_algorithm();
  return ok ? 0 : 1;
}
