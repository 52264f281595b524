// lumetra-lcmatch: what the linked-cluster matcher makes of two prints.
//
//   lumetra-lcmatch [--full] [--minutiae] [--product] [--window R,C,H,W] A B
//
// A and B are compact-card files (starting with 7F 2E) or 8-bit bitmaps,
// which are extracted first (optionally from a window: top row R, left
// column C, H rows, W columns); --product extracts them as the station
// sensor's configuration does (hybrid template, compact-card part; for
// 88 x 88 images) instead of as compact cards with quality bytes.  A is enrolled, B is the probe.  Prints the
// score, the eight auxiliary values, the alignment (card units and pixels),
// the decision at every FAR level, and the pairs of the cluster match.
// --full matches with any rotation (rotation mode 3 instead of 2).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cards.h"
#include "engine/match/linked_cluster_stages.h"

namespace {

int usage() {
  std::fprintf(stderr, "usage: lumetra-lcmatch [--full] [--minutiae] [--product] [--window R,C,H,W] A B\n");
  return 2;
}

bool product = false;

bool load(const std::string &path, const int *win, lcmatch::Bytes &card) {
  std::string error;
  bool ok;
  if (win != nullptr) {
    lcmatch::Grey g;
    ok = imageio::read_file(path, &g, &error);
    if (ok) {
      // The window is kept inside the image (and no larger than it).
      const int rows = std::min(win[2], g.rows), cols = std::min(win[3], g.cols);
      const int top = std::clamp(win[0], 0, g.rows - rows), left = std::clamp(win[1], 0, g.cols - cols);
      ok = lcmatch::extract_card(imageio::window(g, top, left, rows, cols), card, error, product);
    } else {
      error = path + ": " + error;
    }
  } else {
    ok = lcmatch::load_card(path, card, error, product);
  }
  if (!ok) std::fprintf(stderr, "lumetra-lcmatch: %s\n", error.c_str());
  return ok;
}

void print_minutiae(const char *name, const lc_side &s) {
  std::printf("%s: %d minutiae%s\n", name, s.count, s.quality_present ? " with quality" : "");
  for (int i = 0; i < s.count; ++i) {
    const lc_minutia &m = s.minutiae[i];
    std::printf("  %2d  x %3d  y %3d  angle %3d  quality %3d  neighbours %d\n", i, m.x, m.y,
                m.angle, m.quality, s.neighbour_count[i]);
  }
}

}  // namespace

int main(int argc, char **argv) {
  bool full = false, minutiae = false;
  int win[4];
  const int *window = nullptr;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--full")) {
      full = true;
    } else if (!std::strcmp(argv[i], "--product")) {
      product = true;
    } else if (!std::strcmp(argv[i], "--minutiae")) {
      minutiae = true;
    } else if (!std::strcmp(argv[i], "--window") && i + 1 < argc) {
      if (std::sscanf(argv[++i], "%d,%d,%d,%d", &win[0], &win[1], &win[2], &win[3]) != 4)
        return usage();
      window = win;
    } else if (argv[i][0] == '-') {
      return usage();
    } else {
      files.push_back(argv[i]);
    }
  }
  if (files.size() != 2) return usage();
  lcmatch::Bytes a, b;
  if (!load(files[0], window, a) || !load(files[1], window, b)) return 1;

  const int mode = LC_ROTATION_AUX | (full ? LC_ROTATION_FULL : 0);
  uint16_t result[LC_RESULT_VALUES] = {0, LC_RESULT_COUNT, 0};
  lc_alignment al;
  int decision = 0;
  const int rc = linked_cluster_match_iso_compact_card(a.data(), static_cast<uint32_t>(a.size()),
                                                       b.data(), static_cast<uint32_t>(b.size()),
                                                       result, 12, &decision, &al, mode);
  if (rc != LC_OK) {
    std::fprintf(stderr, "lumetra-lcmatch: the matcher answered %d\n", rc);
    return 1;
  }
  std::printf("score %u (rotation mode %d)\n", result[0], mode);
  std::printf("aux   links %u  pairs %u  lq*in*n %u  n/lq %u  n/in %u  n/n %u  lq/n %u  in/n %u\n",
              result[3], result[4], result[5], result[6], result[7], result[8], result[9],
              result[10]);
  std::printf("alignment  rotation %u (%.1f deg)  dx %d dy %d card units (%d, %d pixels)\n",
              al.rotation, al.rotation * 360.0 / 256, al.dx, al.dy, al.dx * 197 / 100,
              al.dy * 197 / 100);
  std::printf("accepted at FAR levels:");
  for (int level = 1; level <= 12; ++level)
    if (result[0] >= lc_threshold(level, full)) std::printf(" %d", level);
  std::printf("\n");

  // The first cluster match again, stage by stage, to list its pairs.
  std::vector<uint8_t> work(LC_WORK_OBJECT_SIZE), enrolled(LC_ENROLLED_SIZE);
  uint32_t used = 0;
  qx_moc_enroll(work.data(), LC_WORK_OBJECT_SIZE, a.data(), static_cast<uint32_t>(a.size()),
                enrolled.data(), LC_ENROLLED_SIZE, &used,
                [](uint8_t *d, const uint8_t *s, uint32_t n) {
                  std::memcpy(d, s, n);
                  return 0;
                });
  static lc_side es, ps;
  lc_side_from_enrolled(&es, enrolled.data());
  lc_minutia m[LC_MAX_MINUTIAE];
  int n = 0, q = 0;
  lc_prune(b.data(), static_cast<uint32_t>(b.size()), LC_MAX_MINUTIAE, m, &n, &q);
  lc_side_from_minutiae(&ps, m, n, q);
  if (minutiae) {
    print_minutiae("A (enrolled)", es);
    print_minutiae("B (probe)", ps);
  }
  static lc_match_state st;
  lc_outcome o;
  lc_match(&es, &ps, full ? 128 : 32, &st, &o);
  std::printf("first cluster match: score %u, %d pairs, %d links; A inside %d low %d, B inside %d low %d\n",
              o.score, o.pairs, o.links, o.enrolled.inside, o.enrolled.low_quality,
              o.probe.inside, o.probe.low_quality);
  for (int k = 0; k < st.pairs; ++k) {
    const lc_minutia &pe = es.minutiae[st.pair_enrolled[k]], &pp = ps.minutiae[st.pair_probe[k]];
    std::printf("  pair A%-2d (%3d,%3d,%3d)  B%-2d (%3d,%3d,%3d)  agreeing %d\n",
                st.pair_enrolled[k], pe.x, pe.y, pe.angle, st.pair_probe[k], pp.x, pp.y, pp.angle,
                st.agree[st.pair_probe[k]]);
  }
  return 0;
}
