// lumetra-evaluate-align: where each probe impression lies on each enrolled
// impression of the same finger, for the coverage split of the evaluation
// report.  A crop of each impression at its foreground centre (197 x 197
// by default, large enough for the "ehmsq-xl" configuration, whose 1:1
// errors are a fraction of the small sensor's) is extracted and compared
// with the engine's similarity, which also gives the rigid alignment of
// the two crops.  The alignment is written as an affine map of full-image
// pixel coordinates, probe impression to enrolled impression:
//   x_enrol = a x_probe + b y_probe + c,  y_enrol = d x_probe + e y_probe + f
// together with the score and the decision at the FAR index asked, so that
// the report can trust only the alignments of clear matches.
//
//   lumetra-evaluate-align DIR OUT.tsv [--size 197] [--far 12]
//                          [--thresholds FILE] [--timing FILE]
//
// With --thresholds, the lowest score the configuration accepts at each FAR
// index 0-27 (its own decision, asked through the engine's decision from a
// score), so that the report can place the library's threshold on the 1:1
// score distributions.  With --timing, one extraction of each crop and one
// comparison per aligned pair, timed directly (the least of 3 calls, wall
// clock and the thread's CPU time), with the size of each template: the
// exports only offer the comparison of two bitmap files, whose share of a
// template comparison no difference of calls resolves.
//
// DIR holds the gathered <finger>_<impression>.bmp images; impressions 5-8
// are aligned with impressions 1-4.  The engine is linked in (the exports
// give no alignment); the evaluation's own measurements still go through
// the public exports only (lumetra-evaluate).
#include <dirent.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "engine/image/qx_image.h"
#include "engine/match/qx_config.h"
#include "engine/objects/qx_algorithm.h"
#include "engine/objects/qx_alignment.h"
#include "engine/objects/qx_finger.h"
#include "engine/objects/qx_template.h"
#include "engine/qx_rc.h"
#include "imageio.h"

namespace {

constexpr int kResolution = 500;
constexpr int kProbeImpressions[] = {5, 6, 7, 8};
constexpr int kEnrolImpressions[] = {1, 2, 3, 4};

struct Impression {
  int width = 0, height = 0, y0 = 0, x0 = 0;
  qx_template *tpl = nullptr;
};

constexpr int kRepeats = 3;

double ms_of(const timespec &a, const timespec &b) {
  return (b.tv_sec - a.tv_sec) * 1e3 + (b.tv_nsec - a.tv_nsec) / 1e6;
}

struct Timed {
  double wall_ms = 1e300, cpu_ms = 1e300;
};

// The least of a few calls: the work is deterministic, what exceeds the
// least is interference from the rest of a shared machine.
template <typename Call>
Timed least_of(Call call) {
  Timed best;
  for (int r = 0; r < kRepeats; ++r) {
    timespec w0, c0, w1, c1;
    clock_gettime(CLOCK_MONOTONIC, &w0);
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c0);
    call();
    clock_gettime(CLOCK_MONOTONIC, &w1);
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c1);
    best.wall_ms = std::min(best.wall_ms, ms_of(w0, w1));
    best.cpu_ms = std::min(best.cpu_ms, ms_of(c0, c1));
  }
  return best;
}

// The crop's template; none when the file cannot be read or gives none.
// The crop is the 1:1 protocol's (lumetra-evaluate pairs): s x s around
// the tools' print centre.  With `timing`, the extraction is timed (and
// repeated) and written there.
Impression prepare(qx_algorithm *alg, const std::string &path, int s, std::FILE *timing) {
  Impression out;
  imageio::GreyImage grey;
  std::string problem;
  if (!imageio::read_file(path, &grey, &problem)) return out;
  out.width = grey.cols;
  out.height = grey.rows;
  int cy, cx;
  imageio::print_centre(grey, &cy, &cx);
  imageio::window_origin(grey, cy, cx, s, s, &out.y0, &out.x0);
  const imageio::GreyImage crop = imageio::window(grey, out.y0, out.x0, s, s);
  qx_image *image = qx_image_create(s, s, kResolution, kResolution, crop.pixels.data(), 0);
  if (image == nullptr) return out;
  if (qx_algorithm_extract_template(alg, image, qx_finger_static_zero(), &out.tpl) != QX_RC_OK) {
    qx_template_delete(out.tpl);
    out.tpl = nullptr;
  }
  if (timing != nullptr && out.tpl != nullptr) {
    const Timed t = least_of([&] {
      qx_template *again = nullptr;
      qx_algorithm_extract_template(alg, image, qx_finger_static_zero(), &again);
      qx_template_delete(again);
    });
    std::fprintf(timing, "extract\t%.4f\t%.4f\t%u\n", t.wall_ms, t.cpu_ms, qx_template_get_data_size(out.tpl));
  }
  qx_image_delete(image);
  return out;
}

// The lowest score accepted at each FAR index (acceptance grows with the
// score), or 65536 when no score is.
bool write_thresholds(qx_algorithm *alg, qx_template *tpl, const std::string &path) {
  if (tpl == nullptr) {
    std::fprintf(stderr, "lumetra-evaluate-align: no template to ask the decision with\n");
    return false;
  }
  std::FILE *f = std::fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  std::fprintf(f, "far\tlowest_accepted\n");
  auto accepts = [&](long score, int far) {
    int32_t decision = 0;
    return qx_algorithm_decision_from_score(alg, tpl, static_cast<uint16_t>(score), far, &decision) ==
               QX_RC_OK &&
           decision != 0;
  };
  for (int far = 0; far <= 27; ++far) {
    long lo = 0, hi = 65536;  // accepted at hi (65536: none), lowest such
    if (accepts(0, far)) hi = 0;
    while (hi - lo > 1) {
      const long mid = (lo + hi) / 2;
      if (accepts(mid, far)) hi = mid;
      else lo = mid;
    }
    std::fprintf(f, "%d\t%ld\n", far, hi);
  }
  return std::fclose(f) == 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: lumetra-evaluate-align DIR OUT.tsv [--size 197] [--far 12]\n");
    return 2;
  }
  const std::string dir = argv[1];
  int s = 197, far = 12;
  std::string thresholds_path, timing_path;
  for (int i = 3; i < argc; i += 2) {
    if (i + 1 >= argc) {
      std::fprintf(stderr, "lumetra-evaluate-align: %s needs a value\n", argv[i]);
      return 2;
    }
    if (std::strcmp(argv[i], "--size") == 0) s = std::atoi(argv[i + 1]);
    else if (std::strcmp(argv[i], "--far") == 0) far = std::atoi(argv[i + 1]);
    else if (std::strcmp(argv[i], "--thresholds") == 0) thresholds_path = argv[i + 1];
    else if (std::strcmp(argv[i], "--timing") == 0) timing_path = argv[i + 1];
    else {
      std::fprintf(stderr, "lumetra-evaluate-align: unknown option %s\n", argv[i]);
      return 2;
    }
  }
  if (s < 70 || s > 512 || far < 0 || far > 27) {
    std::fprintf(stderr, "lumetra-evaluate-align: --size 70..512 and --far 0..27\n");
    return 2;
  }
  // The configuration the library would build for an s x s sensor.
  std::vector<uint8_t> blank(static_cast<size_t>(s) * s, 255);
  qx_image *probe_image = qx_image_create(s, s, kResolution, kResolution, blank.data(), 0);
  const qx_config_builder build = qx_config_lookup("ehm", qx_image_get_sensor_size(probe_image), 0);
  qx_image_delete(probe_image);
  qx_algorithm *alg = build != nullptr ? build(nullptr) : nullptr;
  if (alg == nullptr) {
    std::fprintf(stderr, "lumetra-evaluate-align: the engine has no configuration for %d x %d\n", s, s);
    return 2;
  }

  // Fingers and their impressions, by file name.
  std::map<std::string, std::map<int, std::string>> files;
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) {
    std::fprintf(stderr, "lumetra-evaluate-align: cannot read %s\n", dir.c_str());
    qx_algorithm_delete(alg);
    return 2;
  }
  while (dirent *e = readdir(d)) {
    const std::string name = e->d_name;
    const size_t dot = name.rfind('.'), us = name.rfind('_', dot);
    if (dot == std::string::npos || us == std::string::npos || us == 0 || name.substr(dot) != ".bmp") continue;
    const std::string number = name.substr(us + 1, dot - us - 1);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) continue;
    files[name.substr(0, us)][std::atoi(number.c_str())] = dir + "/" + name;
  }
  closedir(d);

  std::FILE *out = std::fopen(argv[2], "w");
  if (out == nullptr) {
    std::fprintf(stderr, "lumetra-evaluate-align: cannot write %s\n", argv[2]);
    qx_algorithm_delete(alg);
    return 2;
  }
  std::FILE *timing = timing_path.empty() ? nullptr : std::fopen(timing_path.c_str(), "w");
  if (!timing_path.empty() && timing == nullptr) {
    std::fprintf(stderr, "lumetra-evaluate-align: cannot write %s\n", timing_path.c_str());
    std::fclose(out);
    qx_algorithm_delete(alg);
    return 2;
  }
  if (timing != nullptr) std::fprintf(timing, "operation\twall_ms\tcpu_ms\tbytes\n");
  std::fprintf(out, "finger\tprobe\tenrol\tfar\tscore\tdecision\ta\tb\tc\td\te\tf\n");
  qx_template *any = nullptr;  // for the thresholds: the decision takes a template
  for (const auto &[finger, imps] : files) {
    std::map<int, Impression> prepared;
    for (const auto &[i, path] : imps) prepared[i] = prepare(alg, path, s, timing);
    for (int p : kProbeImpressions)
      for (int e : kEnrolImpressions) {
        if (prepared.count(p) == 0 || prepared.count(e) == 0) continue;
        const Impression &ip = prepared[p], &ie = prepared[e];
        uint16_t score = 0;
        int32_t decision = 0;
        qx_alignment *al = nullptr;
        if (ip.tpl == nullptr || ie.tpl == nullptr ||
            qx_algorithm_get_similarity_score(alg, ip.tpl, ie.tpl, far, &score, &decision, &al, nullptr) !=
                QX_RC_OK ||
            al == nullptr) {
          qx_alignment_delete(al);
          std::fprintf(out, "%s\t%d\t%d\t%d\t0\t0\t\t\t\t\t\t\n", finger.c_str(), p, e, far);
          continue;
        }
        // The alignment of (A, B) maps a point of A's crop onto B's crop:
        // x' = x cos r - y sin r + dx, y' = x sin r + y cos r + dy, in
        // pixels from the crop's top-left corner (y downwards); the crop
        // origins bring it to full-image coordinates.
        if (timing != nullptr) {
          const Timed t = least_of([&] {
            uint16_t sc = 0;
            int32_t dec = 0;
            qx_alignment *again = nullptr;
            qx_algorithm_get_similarity_score(alg, ip.tpl, ie.tpl, far, &sc, &dec, &again, nullptr);
            qx_alignment_delete(again);
          });
          std::fprintf(timing, "compare\t%.4f\t%.4f\t\n", t.wall_ms, t.cpu_ms);
        }
        const double r = static_cast<int8_t>(qx_alignment_get_rotation(al)) * M_PI / 128.0;
        const double co = std::cos(r), si = std::sin(r);
        const double dx = qx_alignment_get_prec_dx(al) / 256.0, dy = qx_alignment_get_prec_dy(al) / 256.0;
        const double a = co, b = -si, dd = si, ee = co;
        const double c = dx + ie.x0 - (a * ip.x0 + b * ip.y0);
        const double f = dy + ie.y0 - (dd * ip.x0 + ee * ip.y0);
        std::fprintf(out, "%s\t%d\t%d\t%d\t%u\t%d\t%.6f\t%.6f\t%.3f\t%.6f\t%.6f\t%.3f\n", finger.c_str(), p, e, far, score,
                     decision ? 1 : 0, a, b, c, dd, ee, f);
        qx_alignment_delete(al);
      }
    for (auto &kv : prepared) {
      if (any == nullptr && kv.second.tpl != nullptr) any = qx_template_retain(kv.second.tpl);
      qx_template_delete(kv.second.tpl);
    }
  }
  bool ok = std::fclose(out) == 0;
  if (timing != nullptr) ok = std::fclose(timing) == 0 && ok;
  if (!thresholds_path.empty()) ok = write_thresholds(alg, any, thresholds_path) && ok;
  qx_template_delete(any);
  qx_algorithm_delete(alg);
  return ok ? 0 : 2;
}
