// spectral-eval: accuracy of the spectral block-field matcher alone.
//
//   spectral-eval synth SET_DIR [--flags N] [--scores FILE]
//       A generated set (tools/fpsynth "set" output, any capture size).
//       Every impression becomes a feature set the way the library makes it
//       (the configuration of the capture's sensor size extracts the hybrid
//       template; its spectral part is converted).  Genuine pairs are all
//       pairs of impressions of a finger (the earlier one as A), impostor
//       pairs all pairs of impressions of different fingers.  Reports the
//       equal error rate and the genuine acceptance at zero impostor
//       acceptance of the spectral score and of the two quick-match values,
//       and the share of genuine pairs whose alignment is recovered: the
//       reported rotation within 8 steps (1/256 turn) of the manifest's true
//       transform and the translation within 10 capture pixels, measured at
//       the capture's origin and at its centre.
//   spectral-eval real DIR [--size N] [--flags N] [--scores FILE]
//       Real prints named <finger>_<impression>.bmp: the N x N window
//       (default 88) centred on each print; pairs as above, no alignment.
//
// --flags: the matcher's search flags; by default those the hybrid verifier
// sets for the capture's sensor size when it searches (0x78 for the small
// sensors, 0x38 for the large ones: no 0x01).  --scores writes one line per
// pair: genuine (1/0), score, q0, q1.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../../test/lumetra/match/spectral_fixtures.hpp"
#include "imageio.h"

namespace {

using spectral_test::Bytes;

struct Capture {
  int finger = 0, impression = 0;
  Bytes set, quick;
  int row_offset = 0, col_offset = 0;
  double scale = 1;                          // working pixels per capture pixel
  int rows = 0, cols = 0;                    // capture size
  double affine[6] = {1, 0, 0, 0, 1, 0};     // master -> capture (x column, y row)
};

struct Pair {
  bool genuine;
  int score, q0, q1;
};

bool make_capture(const uint8_t *pixels, int rows, int cols, Capture &c) {
  const spectral_test::CaptureFeatures f = spectral_test::features_of_capture(pixels, rows, cols);
  const spectral_test::CaptureFeatures q = spectral_test::features_of_capture(pixels, rows, cols, true);
  if (f.set.empty() || q.set.empty()) return false;
  c.set = f.set;
  c.quick = q.set;
  c.row_offset = f.row_offset;
  c.col_offset = f.col_offset;
  c.scale = f.scale;
  c.rows = rows;
  c.cols = cols;
  return true;
}

std::vector<std::string> split_csv(const std::string &line) {
  std::vector<std::string> out;
  std::stringstream ss(line);
  std::string f;
  while (std::getline(ss, f, ',')) out.push_back(f);
  return out;
}

bool load_synth(const std::string &dir, std::vector<Capture> &caps) {
  std::ifstream man(dir + "/manifest.csv");
  if (!man) {
    std::fprintf(stderr, "spectral-eval: %s/manifest.csv cannot be read\n", dir.c_str());
    return false;
  }
  std::string line;
  std::getline(man, line);
  const std::vector<std::string> head = split_csv(line);
  auto col = [&](const char *name) { return static_cast<size_t>(std::find(head.begin(), head.end(), name) - head.begin()); };
  const size_t cf = col("finger"), ci = col("impression"), cfile = col("file"), ca = col("a");
  if (ca + 6 > head.size() || cfile >= head.size()) return false;
  while (std::getline(man, line)) {
    const std::vector<std::string> f = split_csv(line);
    if (f.size() < head.size()) continue;
    Capture c;
    c.finger = std::atoi(f[cf].c_str());
    c.impression = std::atoi(f[ci].c_str());
    for (int k = 0; k < 6; ++k) c.affine[k] = std::atof(f[ca + k].c_str());
    imageio::GreyImage im;
    std::string problem;
    if (!imageio::read_file(dir + "/" + f[cfile], &im, &problem) ||
        !make_capture(im.pixels.data(), im.rows, im.cols, c)) {
      std::fprintf(stderr, "spectral-eval: skipped %s\n", f[cfile].c_str());
      continue;
    }
    caps.push_back(std::move(c));
  }
  return !caps.empty();
}

bool load_real(const std::string &dir, int size, std::vector<Capture> &caps) {
  std::vector<imageio::NumberedImage> images;
  if (!imageio::read_numbered_bitmaps(dir, &images)) return false;
  for (const imageio::NumberedImage &im : images) {
    if (im.image.rows < size || im.image.cols < size) continue;
    Capture c;
    c.finger = im.finger;
    c.impression = im.impression;
    const imageio::GreyImage w = imageio::centred_window(im.image, size, size);
    if (!make_capture(w.pixels.data(), size, size, c)) {
      std::fprintf(stderr, "spectral-eval: skipped %s\n", im.name.c_str());
      continue;
    }
    caps.push_back(std::move(c));
  }
  return !caps.empty();
}

// The true map from capture a to capture b: T = B o A^-1 (rigid parts).
struct Rigid {
  double l00, l01, l10, l11, tx, ty;
  void apply(double x, double y, double &ox, double &oy) const {
    ox = l00 * x + l01 * y + tx;
    oy = l10 * x + l11 * y + ty;
  }
};

Rigid truth_of(const Capture &a, const Capture &b) {
  const double *A = a.affine, *B = b.affine;
  const double det = A[0] * A[4] - A[1] * A[3];
  const double i00 = A[4] / det, i01 = -A[1] / det, i10 = -A[3] / det, i11 = A[0] / det;
  Rigid t;
  t.l00 = B[0] * i00 + B[1] * i10;
  t.l01 = B[0] * i01 + B[1] * i11;
  t.l10 = B[3] * i00 + B[4] * i10;
  t.l11 = B[3] * i01 + B[4] * i11;
  t.tx = B[2] - (t.l00 * A[2] + t.l01 * A[5]);
  t.ty = B[5] - (t.l10 * A[2] + t.l11 * A[5]);
  return t;
}

// The reported alignment as a map of capture pixels: the matcher's grids
// are in the working frame (capture pixels x scale) with their origins at
// the grid offsets: p_B = R (p_A - o_A) + t + o_B.
Rigid reported(const Capture &a, const Capture &b, const qx_spectral_alignment &al) {
  const double th = al.prec_rotation * 2 * M_PI / 65536;
  const double c = std::cos(th), s = std::sin(th);
  const double tx = al.prec_dx / 256.0, ty = al.prec_dy / 256.0;
  const double ox = tx - (c * a.col_offset - s * a.row_offset) + b.col_offset;
  const double oy = ty - (s * a.col_offset + c * a.row_offset) + b.row_offset;
  Rigid r;
  r.l00 = c;
  r.l01 = -s;
  r.l10 = s;
  r.l11 = c;
  r.tx = ox / b.scale;
  r.ty = oy / b.scale;
  return r;
}

struct Alignment {
  long pairs = 0, rotation_ok = 0, origin_ok = 0, centre_ok = 0;
};

void check_alignment(const Capture &a, const Capture &b, const qx_spectral_alignment &al, Alignment &s) {
  const Rigid t = truth_of(a, b), r = reported(a, b, al);
  const double phi = std::atan2(t.l10, t.l00);
  const int steps = static_cast<int>(std::lround(phi * 128 / M_PI)) & 255;
  int d = std::abs(steps - static_cast<int>(al.rotation)) & 255;
  if (d > 128) d = 256 - d;
  double x1, y1, x2, y2;
  t.apply(0, 0, x1, y1);
  r.apply(0, 0, x2, y2);
  const bool origin = std::hypot(x1 - x2, y1 - y2) <= 10;
  const double cx = (a.cols - 1) / 2.0, cy = (a.rows - 1) / 2.0;
  t.apply(cx, cy, x1, y1);
  r.apply(cx, cy, x2, y2);
  const bool centre = std::hypot(x1 - x2, y1 - y2) <= 10;
  ++s.pairs;
  s.rotation_ok += d <= 8;
  s.origin_ok += d <= 8 && origin;
  s.centre_ok += d <= 8 && centre;
}

// Equal error rate (percent) and genuine acceptance at zero impostor
// acceptance (percent: genuine scores above the highest impostor score).
void rates(std::vector<int> g, std::vector<int> im, double &eer, double &ga0) {
  std::sort(g.begin(), g.end());
  std::sort(im.begin(), im.end());
  eer = 100;
  double best = 2;
  std::vector<int> th(g.begin(), g.end());
  th.insert(th.end(), im.begin(), im.end());
  th.push_back(im.empty() ? 0 : im.back() + 1);
  std::sort(th.begin(), th.end());
  th.erase(std::unique(th.begin(), th.end()), th.end());
  for (int t : th) {
    // accept when score >= t
    const double frr = static_cast<double>(std::lower_bound(g.begin(), g.end(), t) - g.begin()) / g.size();
    const double far = static_cast<double>(im.end() - std::lower_bound(im.begin(), im.end(), t)) / im.size();
    if (std::fabs(frr - far) < best) {
      best = std::fabs(frr - far);
      eer = 50 * (frr + far);
    }
  }
  const int top = im.empty() ? -1 : im.back();
  ga0 = 100.0 * static_cast<double>(g.end() - std::upper_bound(g.begin(), g.end(), top)) / g.size();
}

uint32_t default_flags(const Capture &c) {
  // Sensor-size codes 1 and 2 (the large ones) may sample; the others are
  // scored in small-sensor mode.
  const long area = static_cast<long>(c.rows) * c.cols;
  const bool large = area >= 30000;
  return QX_SPECTRAL_WIDE_FINE | QX_SPECTRAL_AUX_VALUES | QX_SPECTRAL_RAW_SCORE |
         (large ? 0u : QX_SPECTRAL_SMALL_SENSOR);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3 || (std::strcmp(argv[1], "synth") != 0 && std::strcmp(argv[1], "real") != 0)) {
    std::fprintf(stderr,
                 "usage: spectral-eval synth SET_DIR [--flags N] [--scores FILE]\n"
                 "       spectral-eval real DIR [--size N] [--flags N] [--scores FILE]\n");
    return 2;
  }
  const bool synth = std::strcmp(argv[1], "synth") == 0;
  const std::string dir = argv[2];
  int size = 88;
  long flags = -1;
  std::string scores_path;
  for (int i = 3; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--size")) size = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--flags")) flags = std::strtol(argv[i + 1], nullptr, 0);
    else if (!std::strcmp(argv[i], "--scores")) scores_path = argv[i + 1];
  }
  std::vector<Capture> caps;
  if (synth ? !load_synth(dir, caps) : !load_real(dir, size, caps)) {
    std::fprintf(stderr, "spectral-eval: no captures from %s\n", dir.c_str());
    return 1;
  }
  const uint32_t f = flags >= 0 ? static_cast<uint32_t>(flags) : default_flags(caps[0]);
  std::vector<Pair> pairs;
  Alignment al_all;
  std::vector<uint8_t> work;
  for (size_t i = 0; i < caps.size(); ++i)
    for (size_t j = i + 1; j < caps.size(); ++j) {
      const Capture &a = caps[i], &b = caps[j];
      const spectral_test::MatchOut m = spectral_test::run_match(a.set, b.set, f);
      uint16_t q[2] = {0, 0};
      qx_spectral_quick_match(a.quick.data(), static_cast<uint32_t>(a.quick.size()), b.quick.data(),
                              static_cast<uint32_t>(b.quick.size()), q);
      if (m.rc != 0) continue;
      const bool genuine = a.finger == b.finger;
      pairs.push_back({genuine, m.result.score, q[0], q[1]});
      if (genuine && synth) check_alignment(a, b, m.alignment, al_all);
    }
  if (!scores_path.empty()) {
    std::FILE *out = std::fopen(scores_path.c_str(), "w");
    if (out != nullptr) {
      for (const Pair &p : pairs) std::fprintf(out, "%d %d %d %d\n", p.genuine ? 1 : 0, p.score, p.q0, p.q1);
      std::fclose(out);
    }
  }
  std::printf("%s: %zu captures, flags 0x%02X, %zu pairs\n", dir.c_str(), caps.size(), f, pairs.size());
  const char *names[3] = {"spectral score", "quick value 0", "quick value 1"};
  for (int k = 0; k < 3; ++k) {
    std::vector<int> g, im;
    for (const Pair &p : pairs) (p.genuine ? g : im).push_back(k == 0 ? p.score : k == 1 ? p.q0 : p.q1);
    if (g.empty() || im.empty()) continue;
    double eer, ga0;
    rates(g, im, eer, ga0);
    std::printf("  %-15s genuine %zu, impostor %zu: EER %.2f %%, genuine acceptance at 0 impostor acceptance %.2f %%\n",
                names[k], g.size(), im.size(), eer, ga0);
  }
  if (synth && al_all.pairs > 0)
    std::printf("  alignment of %ld genuine pairs: rotation within 8 steps %.1f %%; and translation within 10 px "
                "at the origin %.1f %%, at the centre %.1f %%\n",
                al_all.pairs, 100.0 * al_all.rotation_ok / al_all.pairs, 100.0 * al_all.origin_ok / al_all.pairs,
                100.0 * al_all.centre_ok / al_all.pairs);
  return 0;
}
