// bal_extract against NBIS (libfprint's fp_image_detect_minutiae) on the
// same generated prints in the same run: square impressions of 96, 160 and
// 300 pixels at 500 dpi.  Counters: minutiae found, and true minutiae
// (within 8 pixels of one of the generator's, one-to-one, nearest first).
// Goal: bal_extract at least twice as fast as NBIS at every size, with at
// least as many true minutiae.  Without libfprint only our side is built.
#include <benchmark/benchmark.h>

#include <fpsynth/fpsynth.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/image/extract.h"

#if defined(LUMETRA_BENCH_WITH_LIBFPRINT)
#include <libfprint-2/fprint.h>
#endif

namespace {

constexpr int kSides[] = {96, 160, 300};
constexpr int kPrints = 4;  // images per size, run in turn

struct Print {
  fpsynth::Image image;
  std::vector<std::pair<int, int>> truth;  // (row, col)
};

const std::vector<Print> &prints(int side) {
  static std::vector<Print> sets[3];
  std::vector<Print> &set = sets[side == 96 ? 0 : side == 160 ? 1 : 2];
  if (set.empty()) {
    for (int k = 0; k < kPrints; ++k) {
      const fpsynth::Master master = fpsynth::make_master(fpsynth::derive_seed(31, static_cast<uint64_t>(k)));
      fpsynth::ImpressionParams ip;
      ip.rows = ip.cols = side;
      ip.skin = fpsynth::Skin::Normal;
      const fpsynth::Impression imp = fpsynth::make_impression(master, 5, ip);
      Print p{imp.image, {}};
      for (const auto &m : imp.minutiae)
        if (m.row >= 0 && m.col >= 0 && m.row < side && m.col < side) p.truth.emplace_back(m.row, m.col);
      set.push_back(std::move(p));
    }
  }
  return set;
}

// Found positions that pair with a true one within 8 pixels, closest
// pairs taken first, each minutia used once.
long true_minutiae(const std::vector<std::pair<int, int>> &found, const std::vector<std::pair<int, int>> &truth) {
  std::vector<std::pair<int, std::pair<int, int>>> near;  // (d^2, (found, truth))
  for (size_t f = 0; f < found.size(); ++f)
    for (size_t t = 0; t < truth.size(); ++t) {
      const int dr = found[f].first - truth[t].first, dc = found[f].second - truth[t].second;
      if (dr * dr + dc * dc <= 64) near.push_back({dr * dr + dc * dc, {static_cast<int>(f), static_cast<int>(t)}});
    }
  std::sort(near.begin(), near.end());
  std::vector<bool> used_f(found.size()), used_t(truth.size());
  long n = 0;
  for (const auto &e : near)
    if (!used_f[e.second.first] && !used_t[e.second.second]) {
      used_f[e.second.first] = used_t[e.second.second] = true;
      ++n;
    }
  return n;
}

std::vector<std::pair<int, int>> ours(const Print &p, std::vector<uint8_t> &work) {
  std::memcpy(work.data(), p.image.pixels.data(), work.size());
  bal_extract_result r;
  std::memset(&r, 0, sizeof r);
  std::vector<std::pair<int, int>> found;
  if (bal_extract(work.data(), p.image.rows, p.image.cols, &r) == 0)
    for (int i = 0; i < r.minutiae.count; ++i) found.emplace_back(r.minutiae.minutiae[i].row, r.minutiae.minutiae[i].col);
  bal_extract_release(&r);
  return found;
}

// Times `detect` over the prints of the size in turn, then counts what it
// finds on each of them once.
template <typename Detect>
void run(benchmark::State &state, Detect detect) {
  const int side = kSides[state.range(0)];
  const std::vector<Print> &set = prints(side);
  size_t k = 0;
  for (auto _ : state) benchmark::DoNotOptimize(detect(set[k++ % set.size()]));
  long found = 0, hits = 0, truth = 0;
  for (const Print &p : set) {
    const auto f = detect(p);
    found += static_cast<long>(f.size());
    hits += true_minutiae(f, p.truth);
    truth += static_cast<long>(p.truth.size());
  }
  state.counters["found"] = static_cast<double>(found) / set.size();
  state.counters["true"] = static_cast<double>(hits) / set.size();
  state.counters["truth"] = static_cast<double>(truth) / set.size();
  state.SetLabel(std::to_string(side) + "x" + std::to_string(side));
}

void BM_BalExtractVsNbis_Ours(benchmark::State &state) {
  std::vector<uint8_t> work(static_cast<size_t>(kSides[state.range(0)]) * kSides[state.range(0)]);
  run(state, [&](const Print &p) { return ours(p, work); });
}
// Process CPU time, measured as for the peer.
BENCHMARK(BM_BalExtractVsNbis_Ours)->DenseRange(0, 2)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

#if defined(LUMETRA_BENCH_WITH_LIBFPRINT)
struct Pending {
  GMainLoop *loop;
  bool ok;
};

void detected(GObject *source, GAsyncResult *res, gpointer data) {
  auto *p = static_cast<Pending *>(data);
  GError *err = nullptr;
  p->ok = fp_image_detect_minutiae_finish(FP_IMAGE(source), res, &err);
  if (err) g_error_free(err);
  g_main_loop_quit(p->loop);
}

// One detection through libfprint's asynchronous call (its worker thread
// does the work; the benchmark thread waits in the main loop, so CPU time
// is measured for the whole process below).
std::vector<std::pair<int, int>> nbis(const Print &p) {
  std::vector<std::pair<int, int>> found;
  FpImage *fi = fp_image_new(p.image.cols, p.image.rows);
  gsize len = 0;
  auto *data = const_cast<guchar *>(fp_image_get_data(fi, &len));
  if (len >= p.image.pixels.size()) {
    std::memcpy(data, p.image.pixels.data(), p.image.pixels.size());
    Pending pending{g_main_loop_new(nullptr, FALSE), false};
    fp_image_detect_minutiae(fi, nullptr, detected, &pending);
    g_main_loop_run(pending.loop);
    g_main_loop_unref(pending.loop);
    GPtrArray *m = pending.ok ? fp_image_get_minutiae(fi) : nullptr;
    for (guint i = 0; m != nullptr && i < m->len; ++i) {
      gint x = 0, y = 0;
      fp_minutia_get_coords(static_cast<FpMinutia *>(g_ptr_array_index(m, i)), &x, &y);
      found.emplace_back(y, x);
    }
  }
  g_object_unref(fi);
  return found;
}

void BM_BalExtractVsNbis_Nbis(benchmark::State &state) { run(state, nbis); }
// The detection runs on libfprint's worker thread: process CPU time.
BENCHMARK(BM_BalExtractVsNbis_Nbis)->DenseRange(0, 2)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);
#endif

}  // namespace

BENCHMARK_MAIN();
