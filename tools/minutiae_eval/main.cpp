// minutiae-eval: precision and recall of bal_extract against the synthetic
// generator's ground truth, per skin condition, on full 500 dpi prints and
// on 120 x 120 windows; with libfprint's detector as a yardstick on the same
// images (positions only).
//
//   minutiae-eval [-n fingers] [-i impressions] [-s seed] [-o overlay_dir] [--no-peer]
//
// A detected minutia matches a ground-truth one within 8 pixels and 22.5
// degrees (16 byte steps); matching is one-to-one, closest pairs first.
// The peer is scored on position only (8 pixels).
#include <gio/gio.h>
#include <libfprint-2/fprint.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fpsynth/fpsynth.h"
#include "overlay.h"

namespace {

struct Point {
  int row, col, direction;  // direction < 0: unknown
};

struct Score {
  long tp = 0, found = 0, truth = 0;
  double seconds = 0;
  long images = 0;
  void add(const Score &o) {
    tp += o.tp;
    found += o.found;
    truth += o.truth;
    seconds += o.seconds;
    images += o.images;
  }
  double precision() const { return found ? static_cast<double>(tp) / found : 0; }
  double recall() const { return truth ? static_cast<double>(tp) / truth : 0; }
};

long match(const std::vector<Point> &found, const std::vector<Point> &truth, bool use_direction) {
  struct Pair {
    int d2, f, t;
  };
  std::vector<Pair> pairs;
  for (size_t f = 0; f < found.size(); ++f)
    for (size_t t = 0; t < truth.size(); ++t) {
      const int dr = found[f].row - truth[t].row, dc = found[f].col - truth[t].col, d2 = dr * dr + dc * dc;
      if (d2 > 64) continue;
      if (use_direction && fpsynth::byte_angle_difference(found[f].direction, truth[t].direction) > 16) continue;
      pairs.push_back({d2, static_cast<int>(f), static_cast<int>(t)});
    }
  std::stable_sort(pairs.begin(), pairs.end(), [](const Pair &a, const Pair &b) { return a.d2 < b.d2; });
  std::vector<char> fu(found.size()), tu(truth.size());
  long tp = 0;
  for (const Pair &p : pairs)
    if (!fu[p.f] && !tu[p.t]) {
      fu[p.f] = tu[p.t] = 1;
      ++tp;
    }
  return tp;
}

struct PeerResult {
  GMainLoop *loop;
  bool ok;
};

void peer_done(GObject *source, GAsyncResult *res, gpointer data) {
  auto *r = static_cast<PeerResult *>(data);
  GError *err = nullptr;
  r->ok = fp_image_detect_minutiae_finish(FP_IMAGE(source), res, &err);
  if (err) g_error_free(err);
  g_main_loop_quit(r->loop);
}

// libfprint's detector: positions only.
std::vector<Point> peer_detect(const fpsynth::Image &img, double &seconds) {
  std::vector<Point> out;
  FpImage *fi = fp_image_new(img.cols, img.rows);
  gsize len = 0;
  auto *data = const_cast<guchar *>(fp_image_get_data(fi, &len));
  if (len < img.pixels.size()) {
    g_object_unref(fi);
    return out;
  }
  std::memcpy(data, img.pixels.data(), img.pixels.size());
  PeerResult r{g_main_loop_new(nullptr, FALSE), false};
  const auto t0 = std::chrono::steady_clock::now();
  fp_image_detect_minutiae(fi, nullptr, peer_done, &r);
  g_main_loop_run(r.loop);
  seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  g_main_loop_unref(r.loop);
  if (r.ok) {
    GPtrArray *m = fp_image_get_minutiae(fi);
    for (guint i = 0; m && i < m->len; ++i) {
      gint x = 0, y = 0;
      fp_minutia_get_coords(static_cast<FpMinutia *>(g_ptr_array_index(m, i)), &x, &y);
      out.push_back({y, x, -1});
    }
  }
  g_object_unref(fi);
  return out;
}

struct Condition {
  const char *name;
  fpsynth::Skin skin;
  double noise, variability;
};

}  // namespace

int main(int argc, char **argv) {
  int fingers = 10, impressions = 2;
  uint64_t seed = 7;
  bool peer = true;
  std::string overlay_dir;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "-n") && i + 1 < argc)
      fingers = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "-i") && i + 1 < argc)
      impressions = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "-s") && i + 1 < argc)
      seed = std::strtoull(argv[++i], nullptr, 10);
    else if (!std::strcmp(argv[i], "-o") && i + 1 < argc)
      overlay_dir = argv[++i];
    else if (!std::strcmp(argv[i], "--no-peer"))
      peer = false;
    else {
      std::fprintf(stderr, "usage: minutiae-eval [-n fingers] [-i impressions] [-s seed] [-o dir] [--no-peer]\n");
      return 2;
    }
  }
  const Condition conditions[] = {{"clean", fpsynth::Skin::Normal, 0.0, 0.0},
                                  {"normal", fpsynth::Skin::Normal, 1.0, 1.0},
                                  {"dry", fpsynth::Skin::Dry, 1.0, 1.0},
                                  {"wet", fpsynth::Skin::Wet, 1.0, 1.0},
                                  {"noisy", fpsynth::Skin::Normal, 3.0, 1.0}};
  std::printf("size,condition,images,truth,found,matched,precision,recall,ms_per_image,"
              "peer_found,peer_matched_pos,peer_precision_pos,peer_recall_pos,peer_ms_per_image,ours_recall_pos,"
              "ours_precision_pos\n");
  for (int window : {0, 120}) {
    for (const Condition &cond : conditions) {
      Score ours, ours_pos, theirs;
      for (int f = 0; f < fingers; ++f) {
        const fpsynth::Master master = fpsynth::make_master(fpsynth::derive_seed(seed, f));
        for (int k = 0; k < impressions; ++k) {
          fpsynth::ImpressionParams ip;
          ip.rows = ip.cols = window;
          ip.skin = cond.skin;
          ip.noise = cond.noise;
          ip.variability = cond.variability;
          const fpsynth::Impression imp =
              fpsynth::make_impression(master, fpsynth::derive_seed(fpsynth::derive_seed(seed, f), k + 1), ip);
          const fpsynth::Image &img = imp.image;
          std::vector<Point> truth;
          for (const auto &m : imp.minutiae)
            if (m.row >= 0 && m.col >= 0 && m.row < img.rows && m.col < img.cols)
              truth.push_back({m.row, m.col, m.direction});
          bal_extract_result r;
          std::memset(&r, 0, sizeof r);
          std::vector<uint8_t> px = img.pixels;
          const auto t0 = std::chrono::steady_clock::now();
          const int rc = bal_extract(px.data(), img.rows, img.cols, &r);
          const double dt = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
          std::vector<Point> found;
          if (rc == 0)
            for (int i = 0; i < r.minutiae.count; ++i)
              found.push_back({r.minutiae.minutiae[i].row, r.minutiae.minutiae[i].col,
                               r.minutiae.minutiae[i].direction});
          Score s;
          s.tp = match(found, truth, true);
          s.found = static_cast<long>(found.size());
          s.truth = static_cast<long>(truth.size());
          s.seconds = dt;
          s.images = 1;
          ours.add(s);
          s.tp = match(found, truth, false);
          ours_pos.add(s);
          if (!overlay_dir.empty() && k == 0 && f < 3) {
            std::vector<overlay::Mark> marks;
            for (const Point &t : truth) marks.push_back({t.row, t.col, t.direction, 0});
            char name[256];
            std::snprintf(name, sizeof name, "%s/synth_%s_%d_f%d.png", overlay_dir.c_str(), cond.name, window, f);
            std::string problem;
            if (!imageio::write_rgb_png(name, overlay::draw(img.pixels.data(), img.rows, img.cols, r, 2, marks),
                                        &problem))
              std::fprintf(stderr, "minutiae-eval: %s: %s\n", name, problem.c_str());
          }
          bal_extract_release(&r);
          if (peer) {
            Score p;
            const std::vector<Point> pf = peer_detect(img, p.seconds);
            p.tp = match(pf, truth, false);
            p.found = static_cast<long>(pf.size());
            p.truth = static_cast<long>(truth.size());
            p.images = 1;
            theirs.add(p);
          }
        }
      }
      std::printf("%s,%s,%ld,%ld,%ld,%ld,%.3f,%.3f,%.2f,%ld,%ld,%.3f,%.3f,%.2f,%.3f,%.3f\n",
                  window ? "120x120" : "full", cond.name, ours.images, ours.truth, ours.found, ours.tp,
                  ours.precision(), ours.recall(), 1000 * ours.seconds / std::max(1L, ours.images), theirs.found,
                  theirs.tp, theirs.precision(), theirs.recall(), 1000 * theirs.seconds / std::max(1L, theirs.images),
                  ours_pos.recall(), ours_pos.precision());
      std::fflush(stdout);
    }
  }
  return 0;
}
