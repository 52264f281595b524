// lcmatch-eval: accuracy of the linked-cluster matcher's score alone.
//
//   lcmatch-eval synth SET_DIR [--scores FILE] [--truth 1] [--product 1]
//       A generated set (tools/fpsynth "set" output): every impression is
//       extracted into a card; genuine pairs are all pairs of impressions of
//       a finger (the earlier one enrolled), impostor pairs all pairs of
//       impressions of different fingers.  Reports, for rotation modes 2
//       and 3, the equal error rate, the genuine acceptance at zero impostor
//       acceptance, and the share of genuine pairs whose alignment is
//       recovered (rotation within 8 steps, translation within 10 pixels of
//       the true transform of the manifest).
//       With --product 1 the cards are the compact-card parts of the hybrid
//       templates of the station sensor's configuration (see cards.h).
//       With --truth, the cards are made from the set's true minutiae
//       (minutiae.csv) instead of extraction: the matcher on its own.
//   lcmatch-eval real DIR [--size N] [--scores FILE] [--product 1]
//       Real prints named <finger>_<impression>.bmp: an N x N window
//       (default 88) centred on each print is extracted; pairs as above.
//   lcmatch-eval thresholds SET_DIR --out FILE --note TEXT [--product 1]
//       Writes the matcher's threshold list (FAR levels 1..12, both rotation
//       modes) from the impostor scores of a generated set.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>


#include "cards.h"
#include "engine/formats/compact_card.h"
#include "engine/formats/tlv.h"
#include "engine/match/linked_cluster.h"

namespace {

struct Capture {
  int finger = 0, impression = 0;
  lcmatch::Bytes card;
  std::vector<uint8_t> enrolled;  // its enrolled structure
  double affine[6] = {1, 0, 0, 0, 1, 0};  // master -> capture, pixels (x column, y row)
  int minutiae = 0;
};

struct Scored {
  std::vector<int> genuine, impostor;
  long aligned = 0, aligned_with_pairs = 0, with_pairs = 0;
};

int copy_write(uint8_t *d, const uint8_t *s, uint32_t n) {
  std::memcpy(d, s, n);
  return 0;
}

bool enrol(Capture &c) {
  std::vector<uint8_t> work(LC_WORK_OBJECT_SIZE);
  c.enrolled.assign(LC_ENROLLED_SIZE, 0);
  uint32_t used = 0;
  if (qx_moc_enroll(work.data(), LC_WORK_OBJECT_SIZE, c.card.data(),
                    static_cast<uint32_t>(c.card.size()), c.enrolled.data(), LC_ENROLLED_SIZE,
                    &used, copy_write) != LC_OK)
    return false;
  c.minutiae = c.enrolled[0];
  return true;
}

int verify(const Capture &a, const Capture &b, int mode, lc_alignment *al) {
  static std::vector<uint8_t> work(LC_WORK_OBJECT_SIZE);
  uint16_t result[LC_RESULT_VALUES] = {0, LC_RESULT_COUNT, 0};
  if (qx_moc_verify(work.data(), LC_WORK_OBJECT_SIZE, a.enrolled.data(), b.card.data(),
                    static_cast<uint32_t>(b.card.size()), result, 0, nullptr, al, mode) != LC_OK)
    return -1;
  return result[0];
}

bool g_product = false;

// Pixels of the capture per card unit: a card unit is 0.1 mm at 197 pixels
// per centimetre, in the frame the extractor worked in; the station
// sensor's configuration works on the 88 x 88 capture resampled to 120 x 120.
double pixels_per_card_unit() { return g_product ? 1.97 * 88 / 120 : 1.97; }

// True transform from capture a to capture b, and whether the reported
// alignment (card units) lies within 8 steps and 10 pixels of it.
bool alignment_recovered(const Capture &a, const Capture &b, const lc_alignment &al) {
  const double *A = a.affine, *B = b.affine;
  const double det = A[0] * A[4] - A[1] * A[3];
  // inverse of A's linear part
  const double i00 = A[4] / det, i01 = -A[1] / det, i10 = -A[3] / det, i11 = A[0] / det;
  const double l00 = B[0] * i00 + B[1] * i10, l10 = B[3] * i00 + B[4] * i10;
  (void)i01;
  (void)i11;
  // T(p) = L_B (L_A^-1 (p - t_A)) + t_B; T(0) = t_B - L (t_A)
  const double l01 = B[0] * i01 + B[1] * i11, l11 = B[3] * i01 + B[4] * i11;
  const double tx = B[2] - (l00 * A[2] + l01 * A[5]);
  const double ty = B[5] - (l10 * A[2] + l11 * A[5]);
  const double phi = std::atan2(l10, l00);  // y-down matrix [[c,-s],[s,c]]
  int steps = static_cast<int>(std::lround(phi * 128 / M_PI)) & 255;
  int d = std::abs(steps - al.rotation) & 255;
  if (d > 128) d = 256 - d;
  const double rx = al.dx * pixels_per_card_unit(), ry = al.dy * pixels_per_card_unit();
  return d <= 8 && std::hypot(rx - tx, ry - ty) <= 10;
}

void run_pairs(std::vector<Capture> &caps, int mode, bool with_truth, Scored &out) {
  for (size_t i = 0; i < caps.size(); ++i)
    for (size_t j = i + 1; j < caps.size(); ++j) {
      const bool genuine = caps[i].finger == caps[j].finger;
      lc_alignment al;
      const int s = verify(caps[i], caps[j], mode, &al);
      if (s < 0) continue;
      if (genuine) {
        out.genuine.push_back(s);
        if (with_truth) {
          const bool ok = alignment_recovered(caps[i], caps[j], al);
          out.aligned += ok;
          if (s > 0) {
            ++out.with_pairs;
            out.aligned_with_pairs += ok;
          }
        }
      } else {
        out.impostor.push_back(s);
      }
    }
}

// Equal error rate (percent) and the genuine acceptance at zero impostor
// acceptance (percent, threshold = highest impostor score + 1).
void report(const char *name, int mode, const Scored &s, bool with_truth) {
  std::vector<int> g = s.genuine, im = s.impostor;
  std::sort(g.begin(), g.end());
  std::sort(im.begin(), im.end());
  const double ng = static_cast<double>(g.size()), ni = static_cast<double>(im.size());
  double best_gap = 2, eer = 0;
  std::vector<int> cuts(g);
  cuts.insert(cuts.end(), im.begin(), im.end());
  cuts.push_back(65536);
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  for (int t : cuts) {
    const double frr = static_cast<double>(std::lower_bound(g.begin(), g.end(), t) - g.begin()) / ng;
    const double far = static_cast<double>(im.end() - std::lower_bound(im.begin(), im.end(), t)) / ni;
    if (std::fabs(frr - far) < best_gap) {
      best_gap = std::fabs(frr - far);
      eer = (frr + far) / 2;
    }
  }
  const int top = im.empty() ? 0 : im.back();
  const double gar0 = static_cast<double>(g.end() - std::upper_bound(g.begin(), g.end(), top)) / ng;
  auto pct = [](const std::vector<int> &v, double p) {
    return v.empty() ? 0 : v[static_cast<size_t>(p * (v.size() - 1))];
  };
  std::printf("%s mode %d: genuine %zu (median %d, zero %.1f%%), impostor %zu (median %d, 99.9%% %d, max %d)\n",
              name, mode, g.size(), pct(g, 0.5),
              100.0 * static_cast<double>(std::upper_bound(g.begin(), g.end(), 0) - g.begin()) / ng,
              im.size(), pct(im, 0.5), pct(im, 0.999), top);
  std::printf("%s mode %d: EER %.2f%%  genuine acceptance at zero impostor acceptance %.1f%% (threshold %d)\n",
              name, mode, 100 * eer, 100 * gar0, top + 1);
  if (with_truth)
    std::printf("%s mode %d: alignment recovered in %.1f%% of genuine pairs (%.1f%% of those with a score)\n",
                name, mode, 100.0 * static_cast<double>(s.aligned) / ng,
                s.with_pairs ? 100.0 * static_cast<double>(s.aligned_with_pairs) / static_cast<double>(s.with_pairs) : 0.0);
}

std::vector<std::string> split_csv(const std::string &line) {
  std::vector<std::string> f;
  std::stringstream ss(line);
  std::string x;
  while (std::getline(ss, x, ',')) f.push_back(x);
  return f;
}

// Cards of the true minutiae of every impression, keyed finger * 1000 +
// impression.
std::map<int, lcmatch::Bytes> truth_cards(const std::string &dir) {
  std::map<int, lcmatch::Bytes> mins;
  std::ifstream f(dir + "/minutiae.csv");
  std::string line;
  std::getline(f, line);
  while (std::getline(f, line)) {
    const std::vector<std::string> v = split_csv(line);
    if (v.size() < 6) continue;
    const int finger = std::atoi(v[0].c_str()), imp = std::atoi(v[1].c_str());
    if (imp == 0) continue;  // the master
    const int row = std::atoi(v[2].c_str()), col = std::atoi(v[3].c_str());
    const int dir8 = std::atoi(v[4].c_str()), type = std::atoi(v[5].c_str());
    lcmatch::Bytes &m = mins[finger * 1000 + imp];
    if (m.size() >= 3 * 64) continue;
    m.push_back(qx_cc_to_card_unit(col, 0));
    m.push_back(qx_cc_to_card_unit(row, 0));
    m.push_back(static_cast<uint8_t>((type << 6) | (((dir8 + 2) / 4) & 63)));
  }
  std::map<int, lcmatch::Bytes> cards;
  for (auto &[key, m] : mins) {
    lcmatch::Bytes inner(m.size() + 8), outer(m.size() + 16);
    inner.resize(tlv_write(inner.data(), 0x81, static_cast<uint32_t>(m.size()), m.data()));
    outer.resize(tlv_write(outer.data(), 0x7F2E, static_cast<uint32_t>(inner.size()), inner.data()));
    cards[key] = outer;
  }
  return cards;
}

bool load_synth(const std::string &dir, bool truth, std::vector<Capture> &caps) {
  const std::map<int, lcmatch::Bytes> true_cards = truth ? truth_cards(dir) : std::map<int, lcmatch::Bytes>{};
  std::ifstream man(dir + "/manifest.csv");
  if (!man) {
    std::fprintf(stderr, "lcmatch-eval: %s/manifest.csv cannot be read\n", dir.c_str());
    return false;
  }
  std::string line;
  std::getline(man, line);
  const std::vector<std::string> head = split_csv(line);
  auto col = [&](const char *name) {
    return static_cast<int>(std::find(head.begin(), head.end(), name) - head.begin());
  };
  const int cf = col("finger"), ci = col("impression"), cfile = col("file"), ca = col("a");
  while (std::getline(man, line)) {
    const std::vector<std::string> f = split_csv(line);
    if (f.size() < head.size()) continue;
    Capture c;
    c.finger = std::atoi(f[cf].c_str());
    c.impression = std::atoi(f[ci].c_str());
    for (int k = 0; k < 6; ++k) c.affine[k] = std::atof(f[ca + k].c_str());
    std::string error;
    if (truth) {
      const auto it = true_cards.find(c.finger * 1000 + c.impression);
      if (it != true_cards.end()) c.card = it->second;
      else error = "no true minutiae";
    }
    if ((truth ? c.card.empty() : !lcmatch::load_card(dir + "/" + f[cfile], c.card, error, g_product)) ||
        !enrol(c)) {
      std::fprintf(stderr, "lcmatch-eval: skipped %s: %s\n", f[cfile].c_str(), error.c_str());
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
    Capture c;
    c.finger = im.finger;
    c.impression = im.impression;
    std::string error;
    if (!lcmatch::extract_card(imageio::centred_window(im.image, size, size), c.card, error, g_product) ||
        !enrol(c))
      continue;
    caps.push_back(std::move(c));
  }
  return !caps.empty();
}

void summary(const char *name, const std::vector<Capture> &caps) {
  double m = 0;
  for (const Capture &c : caps) m += c.minutiae;
  std::printf("%s: %zu captures, %.1f minutiae on average\n", name, caps.size(),
              caps.empty() ? 0 : m / static_cast<double>(caps.size()));
}

void dump(const std::string &path, const Scored &s2, const Scored &s3) {
  if (path.empty()) return;
  std::ofstream f(path);
  f << "kind,mode,score\n";
  for (int v : s2.genuine) f << "genuine,2," << v << "\n";
  for (int v : s2.impostor) f << "impostor,2," << v << "\n";
  for (int v : s3.genuine) f << "genuine,3," << v << "\n";
  for (int v : s3.impostor) f << "impostor,3," << v << "\n";
}

// Smallest threshold t >= 1 at which at most FAR x impostors score t or more.
int threshold_for(std::vector<int> im, int level) {
  std::sort(im.begin(), im.end());
  const double allowed = std::floor(static_cast<double>(im.size()) * std::pow(10.0, -level / 3.0));
  for (size_t k = 0; k < im.size(); ++k) {
    const int t = im[k] + 1;
    const double above = static_cast<double>(im.end() - std::lower_bound(im.begin(), im.end(), t));
    if (above <= allowed) return std::max(t, 1);
  }
  return 1;
}

int write_thresholds(const std::string &out, const std::string &note, const std::string &dir,
                     const Scored &s2, const Scored &s3) {
  std::ofstream f(out);
  if (!f) return 1;
  f << "// Generated file: the linked-cluster matcher's own threshold list.\n"
       "//\n"
       "// Produced by tools/lcmatch/make_thresholds.sh, which runs\n"
       "//   " << note << "\n"
       "//   lcmatch-eval thresholds <set> --out <this file>" << (g_product ? " --product 1" : "") << "\n"
       "// Cards: " << (g_product ? "the compact-card parts of the hybrid templates that the station\n"
                                    "// sensor's configuration (\"ehmsq-xs\") extracts.\n"
                                  : "compact cards with quality bytes (BAL_EXTRACT_TEMPLATE_MOC).\n") <<
       "// For each rotation mode (tolerance 32, full rotation) every impression of\n"
       "// the generated set (" << dir.substr(dir.find_last_of('/') + 1) << ") is enrolled and matched against every\n"
       "// impression of every other finger: " << s2.impostor.size() << " impostor scores per mode.\n"
       "// The threshold of FAR level L (1 in 10^(L/3)) is the smallest score t >= 1\n"
       "// at which at most floor(count x 10^(-L/3)) impostor scores are t or more.\n"
       "#include \"engine/match/linked_cluster.h\"\n\n"
       "namespace {\n\n"
       "const uint16_t kThresholds[2][12] = {\n";
  for (int m = 0; m < 2; ++m) {
    f << "    {";
    for (int level = 1; level <= 12; ++level)
      f << threshold_for(m == 0 ? s2.impostor : s3.impostor, level) << (level < 12 ? ", " : "");
    f << (m == 0 ? "},  // rotation within 32 steps\n" : "},  // full rotation\n");
  }
  f << "};\n\n"
       "}  // namespace\n\n"
       "extern \"C\" uint16_t lc_threshold(int far_level, int full_rotation) {\n"
       "  if (far_level < 1 || far_level > 12) return 65535;\n"
       "  return kThresholds[full_rotation ? 1 : 0][far_level - 1];\n"
       "}\n";
  return 0;
}

int usage() {
  std::fprintf(stderr,
               "usage: lcmatch-eval synth SET_DIR [--scores FILE] [--truth 1] [--product 1]\n"
               "       lcmatch-eval real DIR [--size N] [--scores FILE] [--product 1]\n"
               "       lcmatch-eval thresholds SET_DIR --out FILE --note TEXT [--product 1]\n");
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) return usage();
  const std::string what = argv[1], dir = argv[2];
  std::string scores, out, note;
  int size = 88;
  bool truth = false;
  for (int i = 3; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--scores")) scores = argv[i + 1];
    else if (!std::strcmp(argv[i], "--out")) out = argv[i + 1];
    else if (!std::strcmp(argv[i], "--note")) note = argv[i + 1];
    else if (!std::strcmp(argv[i], "--size")) size = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--product")) g_product = std::atoi(argv[i + 1]) != 0;
    else if (!std::strcmp(argv[i], "--truth")) truth = std::atoi(argv[i + 1]) != 0;
    else return usage();
  }
  std::vector<Capture> caps;
  const bool synth = what == "synth" || what == "thresholds";
  if (synth ? !load_synth(dir, truth, caps) : !load_real(dir, size, caps)) {
    std::fprintf(stderr, "lcmatch-eval: no captures in %s\n", dir.c_str());
    return 1;
  }
  const std::string name = dir.substr(dir.find_last_of('/') + 1);
  summary(name.c_str(), caps);
  Scored s2, s3;
  run_pairs(caps, LC_ROTATION_AUX, synth, s2);
  run_pairs(caps, LC_ROTATION_AUX | LC_ROTATION_FULL, synth, s3);
  if (what == "thresholds") {
    if (out.empty()) return usage();
    return write_thresholds(out, note, dir, s2, s3);
  }
  report(name.c_str(), 2, s2, synth);
  report(name.c_str(), 3, s3, synth);
  dump(scores, s2, s3);
  return 0;
}
