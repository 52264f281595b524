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
#include <map>
#include <string>
#include <vector>

#include "engine/formats/bmp_convert.h"
#include "engine/image/qx_image.h"
#include "engine/match/qx_config.h"
#include "engine/objects/qx_algorithm.h"
#include "engine/objects/qx_alignment.h"
#include "engine/objects/qx_finger.h"
#include "engine/objects/qx_template.h"
#include "engine/qx_rc.h"
#include "windows.h"

namespace {

constexpr int kResolution = 500;
constexpr int kProbeImpressions[] = {5, 6, 7, 8};
constexpr int kEnrolImpressions[] = {1, 2, 3, 4};

struct Impression {
  int width = 0, height = 0, y0 = 0, x0 = 0;
  qx_template *tpl = nullptr;
};

// The crop's template; none when the file cannot be read or gives none.
Impression prepare(qx_algorithm *alg, const std::string &path, int s) {
  Impression out;
  unsigned char *px = nullptr;
  unsigned int w = 0, h = 0;
  if (qxbmp_bmpfile_to_buffer(path.c_str(), &px, &w, &h) != QX_RC_OK) return out;
  out.width = static_cast<int>(w);
  out.height = static_cast<int>(h);
  int cy, cx;
  evaluate::foreground_centre(px, out.width, out.height, cy, cx);
  evaluate::window_origin(out.width, out.height, cy, cx, s, 0, 0, out.y0, out.x0);
  std::vector<uint8_t> crop(static_cast<size_t>(s) * s);
  evaluate::cut_window(px, out.width, out.height, s, out.y0, out.x0, crop.data());
  qxbmp_free(px);
  qx_image *image = qx_image_create(s, s, kResolution, kResolution, crop.data(), 0);
  if (image == nullptr) return out;
  if (qx_algorithm_extract_template(alg, image, qx_finger_static_zero(), &out.tpl) != QX_RC_OK) {
    qx_template_delete(out.tpl);
    out.tpl = nullptr;
  }
  qx_image_delete(image);
  return out;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: lumetra-evaluate-align DIR OUT.tsv [--size 197] [--far 12]\n");
    return 2;
  }
  const std::string dir = argv[1];
  int s = 197, far = 12;
  for (int i = 3; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--size") == 0) s = std::atoi(argv[i + 1]);
    else if (std::strcmp(argv[i], "--far") == 0) far = std::atoi(argv[i + 1]);
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
  std::vector<uint8_t> blank(static_cast<size_t>(s) * s, evaluate::kWhite);
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
  std::fprintf(out, "finger\tprobe\tenrol\tfar\tscore\tdecision\ta\tb\tc\td\te\tf\n");
  for (const auto &[finger, imps] : files) {
    std::map<int, Impression> prepared;
    for (const auto &[i, path] : imps) prepared[i] = prepare(alg, path, s);
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
    for (auto &kv : prepared) qx_template_delete(kv.second.tpl);
  }
  qx_algorithm_delete(alg);
  return std::fclose(out) == 0 ? 0 : 2;
}
