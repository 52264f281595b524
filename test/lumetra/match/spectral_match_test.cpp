// The spectral block-field matcher: block similarity, scoring one position,
// the search, the alignment formulas and a field recovered from a turned
// and shifted copy of a generated print.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "engine/match/spectral_match.h"
#include "engine/match/spectral_steps.hpp"
#include "engine/qx_rc.h"
#include "engine/qx_simd.h"
#include "spectral_fixtures.hpp"

namespace {

using namespace spectral_test;
using qx_spectral::Canvas;
using qx_spectral::RowExtent;

constexpr uint32_t kRaw = QX_SPECTRAL_RAW_SCORE | QX_SPECTRAL_AUX_VALUES;
// What the hybrid verifier sets for the small sensor (code 6).
constexpr uint32_t kHybrid6 = QX_SPECTRAL_SMALL_SENSOR | QX_SPECTRAL_WIDE_FINE | QX_SPECTRAL_AUX_VALUES |
                              QX_SPECTRAL_RAW_SCORE;

// A canvas with its own storage and extents.
struct OwnedCanvas {
  std::vector<uint8_t> data;
  std::vector<RowExtent> ext;
  Canvas cv;
};

OwnedCanvas plain_canvas(const Bytes &blocks, int rows, int cols) {
  OwnedCanvas o;
  o.data.resize(qx_spectral::canvas_bytes(rows, cols));
  o.ext.resize(static_cast<size_t>(rows));
  o.cv.data = o.data.data();
  qx_spectral::align8_feature_canvas(blocks.data(), rows, cols, &o.cv);
  qx_spectral::refine_bounding_boxes(o.cv, o.ext.data());
  return o;
}

int32_t direct_score(const Bytes &a, int ar, int ac, const Bytes &b, int br, int bc, int x, int y,
                     uint32_t threshold, uint32_t scale) {
  const OwnedCanvas ca = plain_canvas(a, ar, ac), cb = plain_canvas(b, br, bc);
  qx_spectral::ScoreParams p;
  p.threshold = threshold;
  p.scale = scale;
  return qx_spectral::xcorr_features(ca.cv, ca.ext.data(), cb.cv, cb.ext.data(), x, y, p);
}

// Scale value of the score for 12-pixel blocks at 500 dpi, and for the fine
// grid's 4-pixel blocks.
constexpr uint32_t kScaleCoarse = (500 * 13 / 2 + 12 * 32000) / 13 / 500;
constexpr uint32_t kScaleFine = (500 * 13 / 2 + 4 * 32000) / 13 / 500 + 1;

// Score of n pairs that all agree perfectly.
int32_t perfect_score(uint32_t n, uint32_t scale) {
  const uint32_t w = qx_spectral::isqrt64(static_cast<uint64_t>(scale) * qx_spectral::isqrt64(4096ull * n));
  return std::min<int32_t>(32767, static_cast<int32_t>(32768ull * w / 256));
}

// Chooses the path of the vector kernels for one test and restores the
// processor's choice afterwards.
struct PlainPathSwitch {
  int previous = qx_simd_force_plain(0);
  void set(int plain) { qx_simd_force_plain(plain); }
  ~PlainPathSwitch() { qx_simd_force_plain(previous); }
};

Bytes piece(const Bytes &grid, int cols, int top, int left, int rows_out, int cols_out) {
  Bytes out;
  for (int r = 0; r < rows_out; ++r)
    for (int c = 0; c < cols_out; ++c) {
      out.push_back(grid[2 * ((top + r) * cols + left + c)]);
      out.push_back(grid[2 * ((top + r) * cols + left + c) + 1]);
    }
  return out;
}

// The fine field of a grid: every block repeated 3 x 3.
Bytes fine_of(const Bytes &grid, int rows, int cols) {
  Bytes f;
  for (int r = 0; r < 3 * rows; ++r)
    for (int c = 0; c < 3 * cols; ++c) {
      f.push_back(grid[2 * ((r / 3) * cols + c / 3)]);
      f.push_back(grid[2 * ((r / 3) * cols + c / 3) + 1]);
    }
  return f;
}

TEST(SpectralScore, BlockSimilarityTakesSignedByteDifferences) {
  // 250 and 5 differ by 11 as signed bytes: so = 10, sf = 21, similarity 210.
  const Bytes a = make_set(1, 1, Bytes{250, 100}), b = make_set(1, 1, Bytes{5, 100});
  const MatchOut m = run_match(a, b, kRaw | QX_SPECTRAL_AT_ALIGNMENT, 0, nullptr);
  qx_spectral_alignment at{};
  const MatchOut m2 = run_match(a, b, kRaw | QX_SPECTRAL_AT_ALIGNMENT, 0, &at);
  ASSERT_EQ(m2.rc, 0);
  ASSERT_EQ(m2.result.status, QX_SPECTRAL_STATUS_WRITTEN);
  EXPECT_EQ(m2.result.aux[0], 1);    // one pair
  EXPECT_EQ(m2.result.aux[1], 210);  // so x sf
  EXPECT_EQ(m2.result.aux[2], 31);   // so + sf
  EXPECT_EQ(m2.result.aux[14], 10);  // mode of so
  EXPECT_EQ(m2.result.aux[13], 21);  // mode of sf
  EXPECT_EQ(m2.result.aux[15], 10);  // mode of similarity / 21
  EXPECT_EQ(m2.result.aux[4], qx_spectral::isqrt64(256 * 11));
  EXPECT_EQ(m.rc, 0);  // without an alignment the flag means a search
  // Frequencies 100 and 90: sf = 11.
  const Bytes c = make_set(1, 1, Bytes{5, 90});
  const MatchOut m3 = run_match(b, c, kRaw | QX_SPECTRAL_AT_ALIGNMENT, 0, &at);
  EXPECT_EQ(m3.result.aux[1], 21 * 11);
  EXPECT_EQ(m3.result.aux[5], qx_spectral::isqrt64(256 * 10));
}

TEST(SpectralScore, FrequencyZeroNeverCounts) {
  Bytes blocks = swirl_blocks(6, 6, 2.5, 2.5);
  for (int i = 0; i < 36; i += 5) blocks[2 * i + 1] = 0;  // 8 blocks without ridges
  const Bytes a = make_set(6, 6, blocks);
  qx_spectral_alignment at{};
  const MatchOut m = run_match(a, a, kRaw | QX_SPECTRAL_AT_ALIGNMENT, 0, &at);
  ASSERT_EQ(m.rc, 0);
  EXPECT_EQ(m.result.aux[0], 28);
  EXPECT_EQ(m.result.aux[1], 441);
  EXPECT_EQ(m.result.score, perfect_score(28, kScaleCoarse));
  // Against a grid that has ridge data only where A has none, no pair counts.
  Bytes holes = blocks;
  for (int i = 0; i < 36; ++i) holes[2 * i + 1] = blocks[2 * i + 1] == 0 ? 100 : 0;
  const MatchOut none = run_match(a, make_set(6, 6, holes), kRaw | QX_SPECTRAL_AT_ALIGNMENT, 0, &at);
  EXPECT_EQ(none.result.aux[0], 0);
  EXPECT_EQ(none.result.score, 0);
}

TEST(SpectralScore, ThresholdAndSampledPhases) {
  const Bytes u = uniform_blocks(400, 40, 100);
  const OwnedCanvas a = plain_canvas(u, 20, 20), b = plain_canvas(u, 20, 20);
  qx_spectral::ScoreParams p;
  p.scale = kScaleCoarse;
  qx_spectral::PairSums s;
  p.threshold = 400;
  EXPECT_EQ(qx_spectral::xcorr_features(a.cv, a.ext.data(), b.cv, b.ext.data(), 0, 0, p, &s), perfect_score(400, kScaleCoarse));
  EXPECT_EQ(s.n, 400u);
  p.threshold = 401;
  EXPECT_EQ(qx_spectral::xcorr_features(a.cv, a.ext.data(), b.cv, b.ext.data(), 0, 0, p), 0);
  // Sampled: the first phase (even rows and columns) already shows enough.
  p.sampled = true;
  p.threshold = 100;
  EXPECT_EQ(qx_spectral::xcorr_features(a.cv, a.ext.data(), b.cv, b.ext.data(), 0, 0, p, &s), perfect_score(400, kScaleCoarse));
  EXPECT_EQ(s.n, 100u);
  EXPECT_EQ(s.count, 400u);
  // Offset by (3, 5): a 17 x 15 overlap of 255 pairs.  Phases over the B
  // parities: even rows 6..18 x even columns 4..18 (56 pairs), odd x odd
  // (72), even x odd (63), odd x even (64).  Against 300 no phase is enough:
  // all four run and the count is the true one.
  p.threshold = 300;
  EXPECT_EQ(qx_spectral::xcorr_features(a.cv, a.ext.data(), b.cv, b.ext.data(), 3, 5, p, &s), 0);
  EXPECT_EQ(s.n, 255u);
  EXPECT_EQ(s.count, 255u);
  // Against 256 two phases suffice (4 x 128 >= 2 x 256); the estimate is 256.
  p.threshold = 256;
  EXPECT_EQ(qx_spectral::xcorr_features(a.cv, a.ext.data(), b.cv, b.ext.data(), 3, 5, p, &s), perfect_score(256, kScaleCoarse));
  EXPECT_EQ(s.n, 128u);
  EXPECT_EQ(s.count, 256u);
  p.threshold = 200;
  EXPECT_EQ(qx_spectral::xcorr_features(a.cv, a.ext.data(), b.cv, b.ext.data(), 3, 5, p, &s), perfect_score(224, kScaleCoarse));
  EXPECT_EQ(s.n, 56u);
  EXPECT_EQ(s.count, 224u);
}

// The pair count and similarity sum of A (ar x ac) placed with its block
// (0, 0) on B's block (y, x), pair by pair from the definition.
void plain_pair_sums(const Bytes &ga, int ar, int ac, const Bytes &gb, int br, int bc, int x, int y, uint32_t *n,
                     uint64_t *sim) {
  for (int i = 0; i < ar; ++i)
    for (int j = 0; j < ac; ++j) {
      const int bi = i + y, bj = j + x;
      if (bi < 0 || bi >= br || bj < 0 || bj >= bc) continue;
      const uint8_t *pa = &ga[2 * (i * ac + j)], *pb = &gb[2 * (bi * bc + bj)];
      if (pa[1] == 0 || pb[1] == 0) continue;
      const int d = std::abs(static_cast<int>(static_cast<int8_t>(static_cast<uint8_t>(pa[0] - pb[0]))));
      const int e = std::abs(pa[1] - pb[1]);
      ++*n;
      *sim += static_cast<uint64_t>(std::max(0, 21 - d) * std::max(0, 21 - e));
    }
}

// The vector pair sums against a plain loop, on random canvases with empty
// blocks, at every offset (runs of every length and alignment).
TEST(SpectralScore, PairSumsAgreeWithAPlainLoop) {
  PlainPathSwitch paths;
  for (int plain = 0; plain < 2; ++plain) {
  paths.set(plain);
  uint32_t seed = 99;
  auto next = [&] { return (seed = seed * 1664525u + 1013904223u) >> 8; };
  for (int trial = 0; trial < 6; ++trial) {
    const int ar = 3 + static_cast<int>(next() % 20), ac = 1 + static_cast<int>(next() % 40);
    const int br = 3 + static_cast<int>(next() % 20), bc = 1 + static_cast<int>(next() % 40);
    Bytes ga, gb;
    for (int i = 0; i < ar * ac; ++i) {
      ga.push_back(static_cast<uint8_t>(next()));
      ga.push_back(next() % 4 == 0 ? 0 : static_cast<uint8_t>(next()));
    }
    for (int i = 0; i < br * bc; ++i) {
      gb.push_back(static_cast<uint8_t>(next()));
      gb.push_back(next() % 4 == 0 ? 0 : static_cast<uint8_t>(80 + next() % 40));
    }
    // Some A blocks close to B's values, so that similarities are not all 0.
    for (int i = 0; i < std::min(ar * ac, br * bc); i += 2) {
      ga[2 * i] = static_cast<uint8_t>(gb[2 * i] + next() % 30 - 15);
      ga[2 * i + 1] = gb[2 * i + 1] == 0 ? 0 : static_cast<uint8_t>(gb[2 * i + 1] + next() % 30 - 15);
    }
    const OwnedCanvas a = plain_canvas(ga, ar, ac), b = plain_canvas(gb, br, bc);
    qx_spectral::ScoreParams p;
    p.scale = kScaleCoarse;
    for (int y = -ar; y <= br; ++y)
      for (int x = -ac; x <= bc; ++x) {
        uint32_t n = 0;
        uint64_t sim = 0;
        plain_pair_sums(ga, ar, ac, gb, br, bc, x, y, &n, &sim);
        qx_spectral::PairSums s;
        qx_spectral::xcorr_features(a.cv, a.ext.data(), b.cv, b.ext.data(), x, y, p, &s);
        ASSERT_EQ(s.n, n) << plain << " " << trial << " at " << x << "," << y;
        ASSERT_EQ(s.sim, sim) << plain << " " << trial << " at " << x << "," << y;
      }
  }
  }
}

// A whole row of positions scored in one call against each position scored
// by itself on the plain path: canvases of the coarse and fine sizes and
// wider, every offset of each row (overlaps of every length, none at all,
// rows past either canvas), rows longer than one batch, given out of order
// and repeated, thresholds that some positions miss, sampled and dense.
TEST(SpectralScore, ARowScoredAtOnceGivesEachPositionsOwnScore) {
  PlainPathSwitch paths;
  uint32_t seed = 321;
  auto next = [&] { return (seed = seed * 1664525u + 1013904223u) >> 8; };
  const int shapes[][4] = {{10, 10, 10, 10}, {30, 30, 30, 30}, {9, 12, 10, 10}, {13, 61, 12, 57}, {3, 5, 20, 33}};
  int scored = 0, nonzero = 0;
  for (const auto &shape : shapes) {
    const int ar = shape[0], ac = shape[1], br = shape[2], bc = shape[3];
    Bytes ga, gb;
    for (int i = 0; i < br * bc; ++i) {
      gb.push_back(static_cast<uint8_t>(next()));
      gb.push_back(next() % 4 == 0 ? 0 : static_cast<uint8_t>(80 + next() % 40));
    }
    for (int i = 0; i < ar * ac; ++i) {
      const int k = i % (br * bc);
      ga.push_back(static_cast<uint8_t>(gb[2 * k] + next() % 16 - 8));
      ga.push_back(next() % 5 == 0 ? 0 : static_cast<uint8_t>(gb[2 * k + 1] + next() % 10));
    }
    const OwnedCanvas a = plain_canvas(ga, ar, ac), b = plain_canvas(gb, br, bc);
    for (const uint32_t threshold : {0u, 1u, static_cast<uint32_t>(ar * ac / 3)})
      for (const bool sampled : {false, true}) {
        std::vector<uint32_t> weights(64, 0);
        qx_spectral::ScoreParams p;
        p.scale = kScaleFine;
        p.threshold = threshold;
        p.sampled = sampled;
        p.weights = weights.data();
        p.weights_size = static_cast<uint32_t>(weights.size());
        for (int y = -ar - 1; y <= br + 1; ++y) {
          std::vector<int> xs;
          for (int x = -ac - 1; x <= bc + 1; ++x) xs.push_back(x);
          // More than a batch: the row again, backwards.
          for (int k = static_cast<int>(xs.size()) - 1; k >= 0 && xs.size() < 150; --k) xs.push_back(xs[k]);
          paths.set(1);
          std::vector<int32_t> want;
          for (int x : xs) want.push_back(qx_spectral::xcorr_features(a.cv, a.ext.data(), b.cv, b.ext.data(), x, y, p));
          for (int plain = 0; plain < 2; ++plain) {
            paths.set(plain);
            std::vector<int32_t> got(xs.size(), -1);
            qx_spectral::xcorr_row(a.cv, a.ext.data(), b.cv, b.ext.data(), y, xs.data(), static_cast<int>(xs.size()),
                                   p, got.data());
            for (size_t k = 0; k < xs.size(); ++k)
              ASSERT_EQ(got[k], want[k]) << ar << "x" << ac << " on " << br << "x" << bc << " at " << xs[k] << ","
                                         << y << " plain " << plain << " sampled " << sampled;
          }
          scored += static_cast<int>(xs.size());
          for (int32_t w : want) nonzero += w > 0;
        }
      }
  }
  EXPECT_GT(scored, 10000);
  EXPECT_GT(nonzero, 1000);
}

// The score's mean against the division it replaces: every pair count
// on both sides of the reciprocal table's end, sums at both ends of their
// range, just below and at each step of the quotient near them and in the
// middle, and sums too large for the table (taken by the division).
TEST(SpectralScore, MeanByReciprocalIsTheQuotient) {
  uint32_t seed = 99;
  auto next = [&] { return (seed = seed * 1664525u + 1013904223u) >> 8; };
  for (uint32_t n = 1; n <= 1100; ++n) {
    const uint64_t d = 441 * uint64_t{n}, top = d;  // the largest sum of n pairs
    std::vector<uint64_t> sims = {0, 1, 2, top - 1, top, top / 2, next() % (top + 1), uint64_t{1} << 30,
                                  (uint64_t{1} << 30) - 1, uint64_t{1} << 33};
    // Sums whose numerator S x 32768 lies just at or past a multiple of d.
    for (uint64_t q : {uint64_t{1}, uint64_t{32767}, uint64_t{16384}, uint64_t{next() % 32768}}) {
      const uint64_t at = (q * d + 32767) / 32768;
      sims.push_back(at);
      if (at > 0) sims.push_back(at - 1);
    }
    for (uint64_t sim : sims) {
      const uint64_t want = sim * 32768 / d;
      ASSERT_EQ(qx_spectral::mean_similarity(sim, n), want) << "n " << n << " sum " << sim;
    }
  }
}

// Long overlaps against the plain loop: rows of up to 61 blocks (runs
// split into pieces of 32, 16 and 8), and overlaps of thousands of pairs,
// most of them empty on one side, so that the vector path's per-lane
// counts of empty pairs run past what one byte holds.
TEST(SpectralScore, LongOverlapsAgreeWithAPlainLoop) {
  PlainPathSwitch paths;
  uint32_t seed = 4242;
  auto next = [&] { return (seed = seed * 1664525u + 1013904223u) >> 8; };
  const int shapes[][4] = {{300, 40, 300, 40}, {120, 61, 90, 57}, {400, 8, 400, 8}, {260, 16, 250, 13}};
  for (const auto &shape : shapes) {
    const int ar = shape[0], ac = shape[1], br = shape[2], bc = shape[3];
    Bytes ga, gb;
    for (int i = 0; i < ar * ac; ++i) {
      ga.push_back(static_cast<uint8_t>(next()));
      ga.push_back(static_cast<uint8_t>(1 + next() % 255));
    }
    for (int i = 0; i < br * bc; ++i) {
      gb.push_back(static_cast<uint8_t>(ga[2 * (i % (ar * ac))] + next() % 20 - 10));
      gb.push_back(next() % 10 == 0 ? static_cast<uint8_t>(next()) : 0);
    }
    const OwnedCanvas a = plain_canvas(ga, ar, ac), b = plain_canvas(gb, br, bc);
    qx_spectral::ScoreParams p;
    p.scale = kScaleCoarse;
    const int offsets[][2] = {{0, 0}, {1, 3}, {-2, -5}, {bc - ac, br - ar}, {-ac / 2, 7}, {bc / 3, -br / 4}};
    for (const auto &o : offsets) {
      const int x = o[0], y = o[1];
      uint32_t n = 0;
      uint64_t sim = 0;
      plain_pair_sums(ga, ar, ac, gb, br, bc, x, y, &n, &sim);
      for (int plain = 0; plain < 2; ++plain) {
        paths.set(plain);
        qx_spectral::PairSums s;
        qx_spectral::xcorr_features(a.cv, a.ext.data(), b.cv, b.ext.data(), x, y, p, &s);
        ASSERT_EQ(s.n, n) << plain << " " << ar << "x" << ac << " at " << x << "," << y;
        ASSERT_EQ(s.sim, sim) << plain << " " << ar << "x" << ac << " at " << x << "," << y;
      }
      ASSERT_GT(n, 0u);
    }
  }
}

TEST(SpectralMatch, RefusesMalformedInputLevelsAndSmallWorkAreas) {
  const Bytes a = make_set(4, 4, swirl_blocks(4, 4, 1, 2));
  Bytes bad = a;
  bad[9] ^= 1;
  EXPECT_EQ(run_match(bad, a, kRaw).rc, QX_RC_UNSUPPORTED);
  EXPECT_EQ(run_match(a, bad, kRaw).rc, QX_RC_UNSUPPORTED);
  EXPECT_EQ(run_match(a, a, kRaw, 13).rc, QX_RC_UNSUPPORTED);
  EXPECT_EQ(run_match(a, a, kRaw, -1).rc, QX_RC_UNSUPPORTED);
  const uint32_t need = qx_spectral_match_required_mem(a.data(), static_cast<uint32_t>(a.size()), a.data(),
                                                       static_cast<uint32_t>(a.size()), kRaw);
  ASSERT_GE(need, 48u);
  std::vector<uint8_t> work(need);
  qx_spectral_result r{};
  r.count = QX_SPECTRAL_RESULT_COUNT;
  EXPECT_EQ(qx_spectral_match(work.data(), need - 1, a.data(), static_cast<uint32_t>(a.size()), a.data(),
                              static_cast<uint32_t>(a.size()), 0, &r, nullptr, nullptr, kRaw),
            QX_RC_UNSUPPORTED);
  EXPECT_EQ(qx_spectral_match(nullptr, need, a.data(), static_cast<uint32_t>(a.size()), a.data(),
                              static_cast<uint32_t>(a.size()), 0, &r, nullptr, nullptr, kRaw),
            QX_RC_UNSUPPORTED);
  EXPECT_EQ(qx_spectral_match(work.data(), need, a.data(), static_cast<uint32_t>(a.size()), a.data(),
                              static_cast<uint32_t>(a.size()), 0, nullptr, nullptr, nullptr, kRaw),
            0);
  // A fine field on both sides needs the fine canvases.
  const Bytes f = make_set(4, 4, swirl_blocks(4, 4, 1, 2), fine_of(swirl_blocks(4, 4, 1, 2), 4, 4));
  EXPECT_GT(qx_spectral_match_required_mem(f.data(), static_cast<uint32_t>(f.size()), f.data(),
                                           static_cast<uint32_t>(f.size()), kRaw),
            4 * need);
  EXPECT_EQ(qx_spectral_match_required_mem(f.data(), static_cast<uint32_t>(f.size()), a.data(),
                                           static_cast<uint32_t>(a.size()), kRaw),
            need);
}

TEST(SpectralMatch, EmptyGridsScoreZeroWithoutError) {
  const Bytes a = make_set(0, 4, {});
  const Bytes b = make_set(4, 4, swirl_blocks(4, 4, 1, 2));
  MatchOut m = run_match(a, b, kRaw, 3);
  EXPECT_EQ(m.rc, 0);
  EXPECT_EQ(m.result.score, 0);
  EXPECT_EQ(m.result.status, QX_SPECTRAL_STATUS_ACCEPTED);
  EXPECT_EQ(m.decision, 2);
  m = run_match(b, make_set(4, 4, uniform_blocks(16, 0, 0)), kRaw, 3);
  EXPECT_EQ(m.rc, 0);
  EXPECT_EQ(m.result.score, 0);
  EXPECT_EQ(m.alignment.precise, 0);
}

TEST(SpectralMatch, ResultRecordTooSmallForAuxiliaryValuesKeepsThem) {
  const Bytes a = make_set(5, 5, swirl_blocks(5, 5, 2, 2));
  const uint32_t need = qx_spectral_match_required_mem(a.data(), static_cast<uint32_t>(a.size()), a.data(),
                                                       static_cast<uint32_t>(a.size()), kRaw);
  std::vector<uint8_t> work(need);
  qx_spectral_result r{};
  r.count = 2;
  for (auto &v : r.aux) v = 77;
  ASSERT_EQ(qx_spectral_match(work.data(), need, a.data(), static_cast<uint32_t>(a.size()), a.data(),
                              static_cast<uint32_t>(a.size()), 0, &r, nullptr, nullptr, kRaw),
            0);
  EXPECT_EQ(r.status, 0);
  EXPECT_GT(r.score, 0);
  EXPECT_EQ(r.aux[0], 0);  // cleared, not written
}

TEST(SpectralMatch, AtAlignmentScoresOnlyThatPosition) {
  const Bytes g = swirl_blocks(10, 10, 3.5, 6.0);
  const Bytes a = make_set(10, 10, g);
  // Thresholds for 100 + 100 blocks: t1 = 200 x 21 / 121 = 34.
  const uint32_t t1 = 200 * 21 / 121;
  for (int shift : {0, 2, -3, 5}) {
    qx_spectral_alignment at{};
    at.dx = static_cast<int16_t>(12 * shift);
    const MatchOut m = run_match(a, a, kRaw | QX_SPECTRAL_AT_ALIGNMENT, 0, &at);
    ASSERT_EQ(m.rc, 0);
    EXPECT_EQ(m.result.score, direct_score(g, 10, 10, g, 10, 10, shift, 0, t1, kScaleCoarse)) << shift;
    EXPECT_EQ(m.alignment.dx, 12 * shift);
    EXPECT_EQ(m.alignment.dy, 0);
    EXPECT_EQ(m.alignment.precise, 1);
  }
  // Shifted by 5 blocks only 50 pairs overlap: a search finds far better.
  qx_spectral_alignment at{};
  at.dx = 60;
  const MatchOut one = run_match(a, a, kRaw | QX_SPECTRAL_AT_ALIGNMENT, 0, &at);
  const MatchOut search = run_match(a, a, kRaw, 0, &at);
  EXPECT_GT(search.result.score, one.result.score);
  EXPECT_EQ(search.alignment.dx, 0);
}

TEST(SpectralMatch, LevelZeroNeverStopsEarly) {
  const Bytes g = swirl_blocks(10, 10, 4.5, 4.5);
  const Bytes a = make_set(10, 10, g, fine_of(g, 10, 10));
  // Level 0: the search goes down to the fine grid, whose best is the
  // identity with all 900 fine pairs.
  const MatchOut full = run_match(a, a, kRaw, 0);
  ASSERT_EQ(full.rc, 0);
  EXPECT_EQ(full.decision, 0);
  EXPECT_EQ(full.result.score, perfect_score(900, kScaleFine));
  EXPECT_EQ(full.result.aux[0], 900);
  // Level 1: the identity on the coarse grid already beats 6078, and the
  // refinement stops there.
  const MatchOut early = run_match(a, a, kRaw, 1);
  EXPECT_EQ(early.decision, 1);
  EXPECT_EQ(early.result.score, perfect_score(100, kScaleCoarse));
  EXPECT_EQ(early.result.aux[0], 100);
  EXPECT_NE(early.result.score, full.result.score);
  for (const MatchOut *m : {&full, &early}) {
    EXPECT_EQ(m->alignment.dx, 0);
    EXPECT_EQ(m->alignment.dy, 0);
    EXPECT_EQ(m->alignment.rotation, 0);
  }
}

TEST(SpectralMatch, QualityNormalisationUnlessRawScoreIsAsked) {
  const Bytes g = swirl_blocks(6, 6, 2, 3);
  for (int q : {-1, 50, 90, 200}) {
    const Bytes a = make_set(6, 6, g, {}, q);
    const MatchOut raw = run_match(a, a, kRaw);
    const MatchOut norm = run_match(a, a, QX_SPECTRAL_AUX_VALUES);
    const int qmax = std::max(q < 0 ? 0 : q, 75);
    const uint32_t d = qx_spectral::isqrt64(1024ull * std::max(40, qmax - 35));
    EXPECT_EQ(norm.result.score, std::min<uint32_t>(65535, 237u * raw.result.score / d)) << q;
  }
}

TEST(SpectralMatch, SearchReachesAPieceInTheCorner) {
  // A 6 x 6 piece of a 9 x 10 field, taken at column 4, row 3.
  const Bytes g = swirl_blocks(9, 10, 2.0, 7.0);
  const Bytes b = make_set(9, 10, g);
  const Bytes a = make_set(6, 6, piece(g, 10, 3, 4, 6, 6));
  for (uint32_t flags : {kRaw, kRaw | QX_SPECTRAL_FULL_ROTATION, kRaw | QX_SPECTRAL_SMALL_SENSOR}) {
    const MatchOut m = run_match(a, b, flags);
    ASSERT_EQ(m.rc, 0);
    EXPECT_EQ(m.result.aux[0], 36) << flags;
    EXPECT_EQ(m.result.aux[1], 441) << flags;
    EXPECT_EQ(m.alignment.rotation, 0) << flags;
    EXPECT_EQ(m.alignment.dx, 48) << flags;
    EXPECT_EQ(m.alignment.dy, 36) << flags;
  }
}

TEST(SpectralMatch, QuarterTurnIsFoundWithTheFullRotationRange) {
  // B is A turned by a quarter turn: p_B = R p_A + t, with R (x, y) =
  // (-y, x) (y downward); orientations grow by 128 steps.
  const int n = 8;
  const Bytes g = swirl_blocks(n, n, 2.0, 5.0);
  Bytes t(g.size());
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      const int bi = j, bj = n - 1 - i;
      t[2 * (bi * n + bj)] = static_cast<uint8_t>(g[2 * (i * n + j)] + 128);
      t[2 * (bi * n + bj) + 1] = g[2 * (i * n + j) + 1];
    }
  const Bytes a = make_set(n, n, g), b = make_set(n, n, t);
  const MatchOut m = run_match(a, b, kRaw | QX_SPECTRAL_FULL_ROTATION);
  ASSERT_EQ(m.rc, 0);
  EXPECT_EQ(m.result.aux[0], 64);
  EXPECT_EQ(m.result.aux[1], 441);
  EXPECT_EQ(m.alignment.rotation, 64);
  // Turning about the grid centre (47.5, 47.5): t = (95, 0).
  EXPECT_EQ(m.alignment.dx, 95);
  EXPECT_EQ(m.alignment.dy, 0);
  EXPECT_EQ(m.alignment.prec_rotation, 16384);
  // The limited range does not reach a quarter turn.
  const MatchOut limited = run_match(a, b, kRaw);
  EXPECT_LT(limited.result.aux[1], 441);
}

// The transform against a block-by-block evaluation of its definition:
// canvas block (i, j) shows the A block under its centre, turned back by r
// and scaled by 32 / scale about the two centres.
TEST(SpectralTransform, EveryBlockShowsTheABlockUnderItsCentre) {
  PlainPathSwitch paths;
  for (int plain = 0; plain < 2; ++plain) {
  paths.set(plain);
  const int rows = 7, cols = 9;
  const Bytes g = swirl_blocks(rows, cols, 3.0, 4.0);
  struct Case {
    int r, scale, xi, eta, crow, ccol;
  } cases[] = {{0, 32, 0, 0, 7, 9},      {21, 32, 0, 0, 7, 9},   {-43, 32, -16, 16, 7, 9}, {128, 32, 0, 0, 9, 9},
               {-256, 32, 16, 0, 7, 9},  {7, 24, 0, -16, 5, 6},  {-100, 48, 3, -7, 10, 13}, {200, 40, 0, 0, 11, 11},
               {64, 32, -16, -16, 12, 3}};
  for (const Case &k : cases) {
    std::vector<uint8_t> data(qx_spectral::canvas_bytes(k.crow, k.ccol), 0xAB);
    Canvas cv;
    cv.data = data.data();
    cv.rows = k.crow;
    cv.cols = k.ccol;
    qx_spectral::transform_features(g.data(), rows, cols, k.r, k.scale, k.xi, k.eta, &cv);
    const int64_t c = qx_spectral::cos16(k.r * 128), s = qx_spectral::sin16(k.r * 128);
    const int64_t den = int64_t{64} * 16384 * k.scale;
    auto floor_div = [](int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); };
    for (int i = 0; i < k.crow; ++i) {
      for (int j = 0; j < k.ccol; ++j) {
        const int64_t dx = 64 * j + 32 - 32 * k.ccol - 2 * k.xi, dy = 64 * i + 32 - 32 * k.crow - 2 * k.eta;
        const int64_t ax = floor_div(32 * (c * dx + s * dy) + int64_t{32} * cols * 16384 * k.scale, den);
        const int64_t ay = floor_div(32 * (c * dy - s * dx) + int64_t{32} * rows * 16384 * k.scale, den);
        const uint8_t *got = cv.block(i, j);
        if (ax >= 0 && ax < cols && ay >= 0 && ay < rows) {
          EXPECT_EQ(got[0], static_cast<uint8_t>(g[2 * (ay * cols + ax)] + k.r)) << k.r << " " << i << "," << j;
          EXPECT_EQ(got[1], g[2 * (ay * cols + ax) + 1]) << k.r << " " << i << "," << j;
        } else {
          EXPECT_EQ(got[0], 0) << k.r << " " << i << "," << j;
          EXPECT_EQ(got[1], 0) << k.r << " " << i << "," << j;
        }
      }
      for (int j = k.ccol; j < k.ccol + qx_spectral::kCanvasPad; ++j) EXPECT_EQ(cv.block(i, j)[1], 0);
    }
  }
  }
}

// The vector transform against the plain one on grids of the fine size,
// at every coarse and refinement rotation and several shifts and scales
// (rows whose span starts, ends or runs wholly inside the canvas, spans
// shorter than a vector, and the grid's last block, which the vector path
// reads by itself).
TEST(SpectralTransform, VectorAndPlainPathsLayTheSameCanvas) {
  PlainPathSwitch paths;
  uint32_t seed = 5;
  auto next = [&] { return (seed = seed * 1664525u + 1013904223u) >> 8; };
  const int sizes[][2] = {{30, 30}, {9, 11}, {1, 1}, {2, 17}, {48, 48}};
  for (const auto &size : sizes) {
    const int rows = size[0], cols = size[1];
    Bytes g;
    for (int i = 0; i < rows * cols; ++i) {
      g.push_back(static_cast<uint8_t>(next()));
      // A third of the blocks without ridges, and an empty first row, so
      // that rows have extents that start and end inside their spans.
      g.push_back(i < cols || next() % 3 == 0 ? 0 : static_cast<uint8_t>(next()));
    }
    // The grid's last block with ridges, which the vector path reads by
    // itself.
    g.back() = 77;
    // Every rotation: the vector path walks the row spans by additions
    // where the plain path divides, and each rotation has its own steps.
    for (int r = -256; r < 256; ++r)
      for (int scale : {32, 16, 64, 24})
        for (int shift = 0; shift < 3; ++shift) {
          // A random shift, none (the coarse search's, whose samples fall on
          // block edges at the axis rotations) and the fine search's largest.
          int xi = static_cast<int>(next() % 33) - 16, eta = static_cast<int>(next() % 33) - 16;
          if (shift > 0) xi = eta = shift == 1 ? 0 : 16;
          if (shift == 2 && (r & 1)) eta = -16;
          const int crow = rows * scale / 32 + static_cast<int>(next() % 3), ccol = cols * scale / 32 + 1;
          std::vector<uint8_t> out[2];
          std::vector<RowExtent> ext[2];
          for (int plain = 0; plain < 2; ++plain) {
            paths.set(plain);
            out[plain].assign(qx_spectral::canvas_bytes(crow, ccol), 0xCD);
            ext[plain].assign(static_cast<size_t>(crow), RowExtent{-7, -7});
            Canvas cv;
            cv.data = out[plain].data();
            cv.rows = crow;
            cv.cols = ccol;
            qx_spectral::transform_features(g.data(), rows, cols, r, scale, xi, eta, &cv, ext[plain].data());
          }
          ASSERT_EQ(out[0], out[1]) << rows << "x" << cols << " r " << r << " scale " << scale << " shift " << xi
                                    << "," << eta;
          // The extents the transform reports are those of the canvas it laid.
          Canvas laid;
          laid.data = out[0].data();
          laid.rows = crow;
          laid.cols = ccol;
          laid.stride = ccol + qx_spectral::kCanvasPad;
          std::vector<RowExtent> found(static_cast<size_t>(crow));
          qx_spectral::refine_bounding_boxes(laid, found.data());
          for (int plain = 0; plain < 2; ++plain)
            for (int i = 0; i < crow; ++i) {
              ASSERT_EQ(ext[plain][i].lo, found[i].lo) << plain << " " << rows << "x" << cols << " r " << r << " row " << i;
              ASSERT_EQ(ext[plain][i].hi, found[i].hi) << plain << " " << rows << "x" << cols << " r " << r << " row " << i;
            }
        }
  }
}

// A canvas moved by whole blocks to other sub-block offsets against the
// canvas laid at those offsets: every block (the rows and columns moved in
// and the ones sampled afresh), the padding and the extents, for every
// direction, on both paths of the vector kernels (the canvas moved is laid
// by either), at every rotation and several scales and grid sizes.
TEST(SpectralTransform, MovedCanvasIsTheOneLaidAtTheMovedOffsets) {
  PlainPathSwitch paths;
  uint32_t seed = 11;
  auto next = [&] { return (seed = seed * 1664525u + 1013904223u) >> 8; };
  const int sizes[][2] = {{30, 30}, {9, 11}, {1, 1}, {2, 17}, {17, 2}};
  int moved = 0;
  for (const auto &size : sizes) {
    const int rows = size[0], cols = size[1];
    Bytes g;
    for (int i = 0; i < rows * cols; ++i) {
      g.push_back(static_cast<uint8_t>(next()));
      g.push_back(next() % 3 == 0 ? 0 : static_cast<uint8_t>(next() | 1));
    }
    for (int plain = 0; plain < 2; ++plain) {
      paths.set(plain);
      for (int r = -256; r < 256; r += (rows == 30 ? 1 : 5))
        for (int scale : {32, 24, 64}) {
          const int crow = std::max(1, rows * scale / 32 + static_cast<int>(next() % 3) - 1);
          const int ccol = std::max(1, cols * scale / 32 + static_cast<int>(next() % 3) - 1);
          // The fine search's offsets and a random one.
          const int xi = (r & 1) ? -16 : static_cast<int>(next() % 33) - 16;
          const int eta = (r & 2) ? -16 : static_cast<int>(next() % 33) - 16;
          const int kx = static_cast<int>(next() % 3) - 1, ky = static_cast<int>(next() % 3) - 1;
          auto laid = [&](int x, int e, std::vector<uint8_t> *data, std::vector<RowExtent> *ext, Canvas *cv) {
            data->assign(qx_spectral::canvas_bytes(crow, ccol), 0xCD);
            ext->assign(static_cast<size_t>(crow), RowExtent{-7, -7});
            cv->data = data->data();
            cv->rows = crow;
            cv->cols = ccol;
            qx_spectral::transform_features(g.data(), rows, cols, r, scale, x, e, cv, ext->data());
          };
          std::vector<uint8_t> want, got;
          std::vector<RowExtent> want_ext, got_ext;
          Canvas cw, cg;
          laid(xi + 32 * kx, eta + 32 * ky, &want, &want_ext, &cw);
          laid(xi, eta, &got, &got_ext, &cg);
          qx_spectral::shift_features(g.data(), rows, cols, r, scale, xi, eta, kx, ky, &cg, got_ext.data());
          ++moved;
          ASSERT_EQ(want, got) << rows << "x" << cols << " r " << r << " scale " << scale << " at " << xi << ","
                               << eta << " by " << kx << "," << ky << " plain " << plain;
          for (int i = 0; i < crow; ++i) {
            ASSERT_EQ(want_ext[i].lo, got_ext[i].lo) << rows << "x" << cols << " r " << r << " row " << i;
            ASSERT_EQ(want_ext[i].hi, got_ext[i].hi) << rows << "x" << cols << " r " << r << " row " << i;
          }
        }
    }
  }
  EXPECT_GT(moved, 3000);
}

// Whole matches on both paths of the vector kernels, on feature sets of
// generated captures at the sizes the library sees (88 x 88 with fine
// fields, 197 x 197 without), with the flags the hybrid verifier sets,
// searching and at a given alignment: the same score, auxiliary values,
// decision and alignment.
// Feature sets of three generated captures each of two fingers (masters
// first_master + 1 and + 2), as the library's configuration for their size
// extracts them.
std::vector<Bytes> generated_sets(int size, uint64_t first_master) {
  std::vector<Bytes> sets;
  for (uint64_t finger = 1; finger <= 2; ++finger) {
    const fpsynth::Master master = fpsynth::make_master(first_master + finger);
    for (uint64_t touch = 1; touch <= 3; ++touch) {
      fpsynth::ImpressionParams ip;
      ip.rows = ip.cols = size;
      ip.placement_sd = 8;
      const fpsynth::Impression im = fpsynth::make_impression(master, touch, ip);
      sets.push_back(features_of_capture(im.image.pixels.data(), size, size).set);
    }
  }
  return sets;
}

TEST(SpectralPaths, VectorAndPlainMatchesAgree) {
  PlainPathSwitch paths;
  for (int size : {88, 197}) {
    const std::vector<Bytes> sets = generated_sets(size, 40);
    for (const Bytes &set : sets) ASSERT_FALSE(set.empty());
    const uint32_t flag_sets[] = {kHybrid6, kHybrid6 | QX_SPECTRAL_FULL_ROTATION,
                                  QX_SPECTRAL_WIDE_FINE | QX_SPECTRAL_AUX_VALUES | QX_SPECTRAL_RAW_SCORE,
                                  kHybrid6 | QX_SPECTRAL_AT_ALIGNMENT, QX_SPECTRAL_AUX_VALUES};
    for (size_t i = 0; i < sets.size(); ++i)
      for (size_t j = 0; j < sets.size(); ++j)
        for (uint32_t flags : flag_sets) {
          qx_spectral_alignment given{};
          given.rotation = static_cast<uint8_t>(3 * i + 250);
          given.dx = static_cast<int16_t>(4 * static_cast<int>(j) - 9);
          given.dy = static_cast<int16_t>(7 - 3 * static_cast<int>(i));
          paths.set(0);
          const MatchOut v = run_match(sets[i], sets[j], flags, 0, &given);
          paths.set(1);
          const MatchOut p = run_match(sets[i], sets[j], flags, 0, &given);
          ASSERT_EQ(v.rc, p.rc);
          EXPECT_EQ(0, std::memcmp(&v.result, &p.result, sizeof v.result))
              << size << " " << i << " against " << j << " flags " << flags << ": " << v.result.score << " vs "
              << p.result.score;
          EXPECT_EQ(v.decision, p.decision);
          EXPECT_EQ(0, std::memcmp(&v.alignment, &p.alignment, sizeof v.alignment));
        }
  }
}

// Whole searches pinned: every ordered pair of generated captures of two
// fingers (88 x 88 with fine fields, 197 x 197 without), with the flags the
// hybrid verifier sets, the full rotation range, sampled coarse scoring
// allowed, and a level that stops searches early, on both paths of the
// vector kernels.  The hash covers score, auxiliary values, status,
// decision and alignment; it was taken from the search as it scored one
// position at a time and laid every canvas afresh, so any change of the
// order of visits, of tie-breaking or of a score shows here.
TEST(SpectralPaths, SearchResultsOfGeneratedCapturesArePinned) {
  PlainPathSwitch paths;
  const uint64_t pinned[2] = {8838012095916468679ull, 13301202874314273445ull};
  for (int plain = 0; plain < 2; ++plain) {
    paths.set(plain);
    int k = 0;
    for (int size : {88, 197}) {
      const std::vector<Bytes> sets = generated_sets(size, 60);
      for (const Bytes &set : sets) ASSERT_FALSE(set.empty());
      uint64_t h = 1469598103934665603ull;
      auto mix = [&h](int64_t v) {
        for (int b = 0; b < 8; ++b) {
          h ^= static_cast<uint64_t>(v >> (8 * b)) & 0xFF;
          h *= 1099511628211ull;
        }
      };
      const uint32_t flag_sets[] = {kHybrid6, kHybrid6 | QX_SPECTRAL_FULL_ROTATION,
                                    QX_SPECTRAL_WIDE_FINE | QX_SPECTRAL_AUX_VALUES | QX_SPECTRAL_RAW_SCORE,
                                    QX_SPECTRAL_AUX_VALUES | QX_SPECTRAL_FULL_ROTATION};
      int nonzero = 0;
      for (size_t i = 0; i < sets.size(); ++i)
        for (size_t j = 0; j < sets.size(); ++j)
          for (uint32_t flags : flag_sets)
            for (int level : {0, 4}) {
              const MatchOut m = run_match(sets[i], sets[j], flags, level);
              mix(m.rc);
              mix(m.result.score);
              mix(m.result.status);
              for (uint16_t v : m.result.aux) mix(v);
              mix(m.decision);
              mix(m.alignment.rotation);
              mix(m.alignment.dx);
              mix(m.alignment.dy);
              mix(m.alignment.prec_rotation);
              mix(m.alignment.prec_dx);
              mix(m.alignment.prec_dy);
              mix(m.alignment.precise);
              nonzero += m.result.score > 0;
            }
      EXPECT_GT(nonzero, 100) << size;
      EXPECT_EQ(h, pinned[k]) << size << " plain " << plain << ": " << h;
      ++k;
    }
  }
}

// ---------------------------------------------------------------------------

TEST(SpectralAlignment, FormulasTruncateTowardZero) {
  qx_spectral_alignment al{};
  // No turn, square canvas the size of A: the canvas origin is the
  // translation; a sub-block offset of -16/32 is half a block.
  qx_spectral::GridFrame g{12, 500, 8, 8, 8, 8};
  qx_spectral::alignment_of_position(g, 0, 1, -16, -2, 5, &al);
  EXPECT_EQ(al.dx, 6);
  EXPECT_EQ(al.dy, -22);  // 12 x (-64 + 5) / 32 = -22.125 -> -22
  EXPECT_EQ(al.prec_dx, 6 * 256);
  EXPECT_EQ(al.prec_dy, 12 * (-59) * 8);
  EXPECT_EQ(al.rotation, 0);
  EXPECT_EQ(al.precise, 1);
  // r = 64 (an eighth of a turn), A 3 x 2 blocks in a canvas of the same
  // size: c = s = 11585; c (35) - s (23) - 35 x 16384 = -434420, /32768 =
  // -13.26 -> -13; c 23 + s 35 - 23 x 16384 = 295098 -> 9.
  g = qx_spectral::GridFrame{12, 500, 3, 2, 3, 2};
  qx_spectral::alignment_of_position(g, 64, 0, 0, 0, 0, &al);
  EXPECT_EQ(al.rotation, 32);
  EXPECT_EQ(al.prec_rotation, 8192);
  EXPECT_EQ(al.dx, 13);
  EXPECT_EQ(al.dy, -9);
  EXPECT_EQ(al.prec_dx, 3393);   // 434420 / 128 = 3393.9
  EXPECT_EQ(al.prec_dy, -2305);  // 295098 / 128 = 2305.5
  // Negative rotations: r / 2 toward zero, the 16-bit angle modulo a turn.
  qx_spectral::alignment_of_position(g, -21, 0, 0, 0, 0, &al);
  EXPECT_EQ(al.rotation, 246);
  EXPECT_EQ(al.prec_rotation, 65536 - 21 * 128);
  // 250 dpi: pixels at 500 dpi are twice as many.
  g = qx_spectral::GridFrame{12, 250, 8, 8, 8, 8};
  qx_spectral::alignment_of_position(g, 0, 1, 0, 0, 0, &al);
  EXPECT_EQ(al.dx, 24);
}

TEST(SpectralAlignment, GivenAlignmentRoundsHalvesAwayFromZero) {
  const qx_spectral::GridFrame g{12, 500, 1, 1, 1, 1};
  struct Case {
    int dx, x, xi;
  } cases[] = {{6, 1, -16}, {-6, -1, 16}, {5, 0, 13}, {-5, 0, -13}, {18, 2, -16}, {-17, -1, -13}, {0, 0, 0}};
  for (const Case &c : cases) {
    qx_spectral_alignment al{};
    al.dx = static_cast<int16_t>(c.dx);
    al.dy = static_cast<int16_t>(-c.dx);
    int r, x, xi, y, eta;
    qx_spectral::position_of_alignment(g, al, &r, &x, &xi, &y, &eta);
    EXPECT_EQ(x, c.x) << c.dx;
    EXPECT_EQ(xi, c.xi) << c.dx;
    EXPECT_EQ(y, -c.x) << c.dx;
    EXPECT_EQ(eta, -c.xi) << c.dx;
    EXPECT_EQ(r, 0);
  }
  // Rotation 200 (1/256 turn) is the search rotation 400 = -112.
  qx_spectral_alignment al{};
  al.rotation = 200;
  int r, x, xi, y, eta;
  qx_spectral::position_of_alignment(g, al, &r, &x, &xi, &y, &eta);
  EXPECT_EQ(r, -112);
}

TEST(SpectralAlignment, PositionAndAlignmentAreInverse) {
  // Through the search's own transform: score at an alignment, report it.
  const qx_spectral::GridFrame g{12, 500, 9, 7, 9, 7};
  for (int rho : {0, 5, 250, 64, 128}) {
    for (int dx : {-40, -7, 0, 13, 55}) {
      qx_spectral_alignment in{};
      in.rotation = static_cast<uint8_t>(rho);
      in.dx = static_cast<int16_t>(dx);
      in.dy = static_cast<int16_t>(-dx / 2);
      int r, x, xi, y, eta;
      qx_spectral::position_of_alignment(g, in, &r, &x, &xi, &y, &eta);
      qx_spectral_alignment out{};
      qx_spectral::alignment_of_position(g, r, x, xi, y, eta, &out);
      EXPECT_EQ(out.rotation, in.rotation);
      EXPECT_NEAR(out.dx, in.dx, 1) << rho << " " << dx;
      EXPECT_NEAR(out.dy, in.dy, 1) << rho << " " << dx;
    }
  }
}

// ---------------------------------------------------------------------------

// A turn about the window's centre, then a shift.
struct Truth {
  double degrees, shift_x, shift_y;
};

// Fields of a generated print and of the same print turned and shifted;
// the matcher must find the transform of the grids.
void expect_recovered(const Truth &truth, uint32_t flags, int size) {
  // One master for every case: growing it is the slow part.
  static const fpsynth::Master master = fpsynth::make_master(11);
  static const fpsynth::Image img = master.render();
  const int top = static_cast<int>(master.centre_row) - size / 2;
  const int left = static_cast<int>(master.centre_col) - size / 2;
  const fpsynth::Image ia = warp_window(img, top, left, size, size, 0, 0, 0);
  const double th = truth.degrees * M_PI / 180;
  const double c = std::cos(th), s = std::sin(th), mid = (size - 1) / 2.0;
  const double tx = mid - (c * mid - s * mid) + truth.shift_x;
  const double ty = mid - (s * mid + c * mid) + truth.shift_y;
  const fpsynth::Image ib = warp_window(img, top, left, size, size, th, tx, ty);
  const Fields fa = fields_of_image(ia.pixels.data(), size, size, true);
  const Fields fb = fields_of_image(ib.pixels.data(), size, size, true);
  const Bytes a = features_of_part(fa.part), b = features_of_part(fb.part);
  ASSERT_FALSE(a.empty());
  ASSERT_FALSE(b.empty());
  const MatchOut m = run_match(a, b, flags);
  ASSERT_EQ(m.rc, 0);
  ASSERT_GT(m.result.score, 0);
  // Grid coordinates: g_B = R g_A + (R o_A + t - o_B).
  const double gx = c * fa.col_offset - s * fa.row_offset + tx - fb.col_offset;
  const double gy = s * fa.col_offset + c * fa.row_offset + ty - fb.row_offset;
  const double rot = truth.degrees * 256 / 360;
  const double drot = std::remainder(m.alignment.rotation - rot, 256.0);
  EXPECT_LE(std::fabs(drot), 7) << truth.degrees << " got rotation " << int{m.alignment.rotation};
  EXPECT_LE(std::hypot(m.alignment.dx - gx, m.alignment.dy - gy), 12)
      << truth.degrees << ": got (" << m.alignment.dx << ", " << m.alignment.dy << ") want (" << gx << ", " << gy
      << ")";
}

TEST(SpectralRecovery, TurnedAndShiftedCopyOfAGeneratedPrint) {
  expect_recovered({0, 14, -9}, kHybrid6, 160);
  expect_recovered({12, -10, 6}, kHybrid6, 160);
  expect_recovered({-18, 5, 12}, kHybrid6, 160);
  expect_recovered({100, 8, -4}, kHybrid6 | QX_SPECTRAL_FULL_ROTATION, 160);
  expect_recovered({-150, 0, 10}, kHybrid6 | QX_SPECTRAL_FULL_ROTATION, 160);
  expect_recovered({9, 6, 6}, QX_SPECTRAL_AUX_VALUES | QX_SPECTRAL_RAW_SCORE, 200);
}

}  // namespace
