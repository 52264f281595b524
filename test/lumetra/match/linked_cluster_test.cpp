// Linked-cluster matcher: reading cards, neighbourhoods, close pairs,
// geometry, the enrolled structure and its checks, the entries' errors,
// scores of copies and impostors, the recovered alignment, the result
// record and the direction re-estimation.
#include "engine/match/linked_cluster.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "engine/formats/format_ids.h"
#include "engine/formats/tlv.h"
#include "engine/image/fixed_math.h"
#include "engine/match/linked_cluster_stages.h"
#include "engine/qx_alloc.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct M {
  int x, y, angle;      // angle in 1/256 turn (written to the card as angle / 4)
  int quality = 0x90;   // proprietary byte
};

Bytes element(uint16_t tag, const Bytes &value) {
  Bytes out(8 + value.size());
  out.resize(tlv_write(out.data(), tag, static_cast<uint32_t>(value.size()), value.data()));
  return out;
}

// A compact card: 0x7F2E holding the minutiae element (0x81 directly, or
// `tag` inside 0xA1 when grouped) and, with quality, the proprietary block.
Bytes card(const std::vector<M> &ms, bool quality = false, uint16_t tag = 0x81,
           bool grouped = false) {
  Bytes mins, prop = {QX_CC_PROPRIETARY_HEADER_0, QX_CC_PROPRIETARY_HEADER_1,
                      QX_CC_PROPRIETARY_HEADER_2, QX_CC_PROPRIETARY_HEADER_3};
  for (const M &m : ms) {
    mins.push_back(static_cast<uint8_t>(m.x));
    mins.push_back(static_cast<uint8_t>(m.y));
    mins.push_back(static_cast<uint8_t>(0x40 | ((m.angle / 4) & 0x3F)));
    prop.push_back(static_cast<uint8_t>(m.quality));
  }
  Bytes body = element(tag, mins);
  if (grouped) body = element(0xA1, body);
  if (quality) {
    const Bytes p = element(0x82, prop);
    body.insert(body.end(), p.begin(), p.end());
  }
  return element(0x7F2E, body);
}

// Deterministic pseudo-random minutiae spread over a w x h area at least
// `spacing` units apart.
std::vector<M> scatter(int n, unsigned seed, int w = 120, int h = 120, int spacing = 9,
                       int x0 = 60, int y0 = 60) {
  std::vector<M> out;
  unsigned s = seed * 2654435761u + 1;
  auto next = [&]() {
    s = s * 1664525u + 1013904223u;
    return s >> 8;
  };
  while (static_cast<int>(out.size()) < n) {
    const M m{x0 + static_cast<int>(next() % w), y0 + static_cast<int>(next() % h),
              static_cast<int>(next() % 64) * 4};
    bool ok = true;
    for (const M &o : out)
      ok = ok && (o.x - m.x) * (o.x - m.x) + (o.y - m.y) * (o.y - m.y) >= spacing * spacing;
    if (ok) out.push_back(m);
  }
  return out;
}

// The probe seen through the alignment (rotation r, translation t): p =
// R(r) e + t in card coordinates, probe angle = enrolled angle - r.
std::vector<M> moved(const std::vector<M> &ms, int r, int dx, int dy) {
  std::vector<M> out;
  const double a = r * M_PI / 128;
  for (const M &m : ms) {
    const double x = m.x * std::cos(a) - m.y * std::sin(a) + dx;
    const double y = m.x * std::sin(a) + m.y * std::cos(a) + dy;
    out.push_back(M{static_cast<int>(std::lround(x)), static_cast<int>(std::lround(y)),
                    (m.angle - r) & 255, m.quality});
  }
  return out;
}

struct Match {
  int rc = -1;
  uint16_t result[LC_RESULT_VALUES] = {0, LC_RESULT_COUNT, 0};
  int decision = -1;
  lc_alignment alignment{};
};

Match match(const Bytes &a, const Bytes &b, int rotation_mode = LC_ROTATION_AUX, int level = 12) {
  Match m;
  m.rc = linked_cluster_match_iso_compact_card(a.data(), static_cast<uint32_t>(a.size()), b.data(),
                                               static_cast<uint32_t>(b.size()), m.result, level,
                                               &m.decision, &m.alignment, rotation_mode);
  return m;
}

int copy_write(uint8_t *d, const uint8_t *s, uint32_t n) {
  std::memcpy(d, s, n);
  return 0;
}

Bytes enrol(const Bytes &c) {
  Bytes work(LC_ENROLL_WORK_SIZE), out(LC_ENROLLED_SIZE);
  uint32_t used = 0;
  EXPECT_EQ(qx_moc_enroll(work.data(), LC_ENROLL_WORK_SIZE, c.data(),
                          static_cast<uint32_t>(c.size()), out.data(), LC_ENROLLED_SIZE, &used,
                          copy_write),
            LC_OK);
  out.resize(used);
  return out;
}

std::vector<lc_minutia> prune(const Bytes &c, int limit = LC_MAX_MINUTIAE, int *rc = nullptr,
                              int *quality = nullptr) {
  std::vector<lc_minutia> out(LC_MAX_READ);
  int n = 0, q = 0;
  const int r = lc_prune(c.data(), static_cast<uint32_t>(c.size()), limit, out.data(), &n, &q);
  if (rc) *rc = r;
  if (quality) *quality = q;
  out.resize(static_cast<size_t>(n));
  return out;
}

// ---------------------------------------------------------------- reading

TEST(LinkedClusterCard, MinutiaeElementsQualityAndDuplicates) {
  const std::vector<M> ms = {{10, 20, 64, 0x93}, {30, 40, 128, 0x42}, {10, 20, 0}, {50, 60, 252}};
  int rc = -1, q = -1;
  std::vector<lc_minutia> m = prune(card(ms), LC_MAX_MINUTIAE, &rc, &q);
  ASSERT_EQ(rc, LC_OK);
  EXPECT_EQ(q, 0);
  ASSERT_EQ(m.size(), 3u);  // the second (10, 20) is a duplicate
  EXPECT_EQ(m[1].x, 30);
  EXPECT_EQ(m[1].angle, 128);
  EXPECT_EQ(m[2].angle, 252);
  EXPECT_EQ(m[0].quality, LC_NO_QUALITY);

  // Tag 0x90 inside 0xA1, with the quality block: per-minutia quality.
  m = prune(card(ms, true, 0x90, true), LC_MAX_MINUTIAE, &rc, &q);
  ASSERT_EQ(rc, LC_OK);
  EXPECT_EQ(q, 1);
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m[0].quality, 0x93);
  EXPECT_EQ(m[1].quality, 0x42);

  // No minutiae object; a minutiae element that is not whole minutiae; a
  // quality block of the wrong length.
  Bytes bad = element(0x7F2E, element(0x92, {1, 2, 3}));
  prune(bad, LC_MAX_MINUTIAE, &rc);
  EXPECT_EQ(rc, LC_ERR_NO_MINUTIAE);
  prune(element(0x7F2E, element(0x81, {1, 2, 3, 4})), LC_MAX_MINUTIAE, &rc);
  EXPECT_EQ(rc, LC_ERR_NO_MINUTIAE);
  Bytes body = element(0x81, {1, 2, 3});
  const Bytes p = element(0x82, {QX_CC_PROPRIETARY_HEADER_0, QX_CC_PROPRIETARY_HEADER_1,
                                 QX_CC_PROPRIETARY_HEADER_2, QX_CC_PROPRIETARY_HEADER_3, 9, 9});
  body.insert(body.end(), p.begin(), p.end());
  prune(element(0x7F2E, body), LC_MAX_MINUTIAE, &rc);
  EXPECT_EQ(rc, LC_ERR_NO_MINUTIAE);
  // A foreign 0x82 block (another header) is not ours and is ignored.
  body = element(0x81, {1, 2, 3});
  const Bytes foreign = element(0x82, {1, 2, 3, 4, 5, 6, 7});
  body.insert(body.end(), foreign.begin(), foreign.end());
  m = prune(element(0x7F2E, body), LC_MAX_MINUTIAE, &rc, &q);
  EXPECT_EQ(rc, LC_OK);
  EXPECT_EQ(q, 0);
  EXPECT_EQ(m.size(), 1u);
}

TEST(LinkedClusterCard, CrowdedCardsAreReducedDroppingClosePairsFirst) {
  // 80 well-spaced minutiae on a grid, then 20 close parallel pairs (the
  // pair partners 3 to 6 units apart): 100 minutiae, reduced to 64.
  std::vector<M> ms;
  for (int i = 0; i < 80; ++i) ms.push_back({20 + (i % 10) * 13, 20 + (i / 10) * 13, 64});
  for (int k = 0; k < 10; ++k) {
    ms.push_back({26 + k * 13, 140, 0});
    ms.push_back({26 + k * 13 + 3 + (k % 4), 140, 0});
  }
  ASSERT_EQ(ms.size(), 100u);
  std::vector<lc_minutia> m = prune(card(ms));
  ASSERT_EQ(m.size(), 64u);
  // Every kept minutia is one of the unmarked grid ones (the close pairs
  // are behind them).
  for (const lc_minutia &k : m) EXPECT_LT(k.y, 140);
  // With room for all of them the close pairs stay, widest marks first.
  // With room for all but one, the marked ones come last, widest marks
  // first, and one of the closest pair is cut.
  m = prune(card(ms), 99);
  ASSERT_EQ(m.size(), 99u);
  for (int i = 0; i < 80; ++i) EXPECT_LT(m[i].y, 140) << i;
  auto gap = [](const lc_minutia &x) { return 3 + ((x.x - 26) / 13) % 4; };
  for (int i = 80; i < 99; ++i) {
    ASSERT_EQ(m[i].y, 140) << i;
    if (i > 80) {
      EXPECT_LE(gap(m[i]), gap(m[i - 1])) << i;
    }
  }
  EXPECT_EQ(gap(m[80]), 6);  // the widest gap (mark 26) first
  EXPECT_EQ(gap(m[98]), 3);

  // At most 128 are read.
  std::vector<M> many;
  for (int i = 0; i < 130; ++i) many.push_back({i, i % 7, 0});
  EXPECT_EQ(prune(card(many), 128).size(), 128u);
}

TEST(LinkedClusterCard, XWindowAndYLimitOfCrowdedCards) {
  // 70 minutiae in a band x 100..169, y 10..  plus outliers far left and far
  // down: the x window [v - 75, v + 75] drops x < 60ish, the y limit drops
  // y > u + 180.
  std::vector<M> ms;
  for (int i = 0; i < 70; ++i) ms.push_back({100 + i, 10 + (i % 5) * 12, 64});
  ms.push_back({5, 30, 64});     // outside the x window
  ms.push_back({120, 250, 64});  // below the y limit
  std::vector<lc_minutia> m = prune(card(ms));
  ASSERT_EQ(m.size(), 64u);
  for (const lc_minutia &k : m) {
    EXPECT_GE(k.x, 100);
    EXPECT_LT(k.y, 250);
  }
}

TEST(LinkedClusterCard, ClosePairMarks) {
  // Opposite directions across a gap of 8 units along the line between
  // them: marked with the distance.  Parallel and 5 units apart: 5 + 20.
  // Parallel but 8 apart (d2 = 64): not marked; opposite but side by side
  // (the point ahead misses the partner): not marked.
  const lc_minutia m[] = {{50, 50, 128, 240}, {58, 50, 0, 240},   // gap
                          {50, 90, 64, 240},  {55, 90, 68, 240},  // parallel, close
                          {90, 50, 64, 240},  {98, 50, 64, 240},  // parallel, 8 apart
                          {90, 90, 64, 240},  {98, 90, 192, 240}};  // opposite, side by side
  uint8_t marks[8];
  lc_find_minutiae_pairs(m, 8, marks);
  EXPECT_EQ(marks[0], 8);
  EXPECT_EQ(marks[1], 8);
  EXPECT_EQ(marks[2], 25);
  EXPECT_EQ(marks[3], 25);
  for (int i = 4; i < 8; ++i) EXPECT_EQ(marks[i], LC_UNMARKED) << i;
}

// ---------------------------------------------------------------- neighbours

TEST(LinkedClusterNeighbours, SquaredDistanceLimits) {
  // d2 = 30 and 31 are not sums of two squares: the nearest reachable values
  // on either side of the lower limit are 29 (not a neighbour) and 32; at the
  // upper limit 12209 = 40^2 + 103^2 is one, the next reachable (12218) not.
  auto neighbours = [](int dx, int dy) {
    const lc_minutia m[2] = {{110, 110, 0, 240},
                             {static_cast<uint8_t>(110 + dx), static_cast<uint8_t>(110 + dy), 0, 240}};
    uint8_t idx[LC_MAX_NEIGHBOURS];
    return lc_select_neighbours(m, 2, 0, idx) + lc_select_neighbours(m, 2, 1, idx);
  };
  EXPECT_EQ(neighbours(5, 2), 0);     // 29
  EXPECT_EQ(neighbours(4, 4), 2);     // 32
  EXPECT_EQ(neighbours(40, 103), 2);  // 12209
  EXPECT_EQ(neighbours(-103, 40), 2);
  EXPECT_EQ(neighbours(53, 97), 0);   // 12218
  EXPECT_EQ(neighbours(0, 0), 0);     // the same place
}

TEST(LinkedClusterNeighbours, ThirtyQualifyingKeepTheTwentyFourNearest) {
  // Minutia 0 in the middle; 30 others on a spiral, the farthest listed
  // first so that every near one has to replace a kept far one.
  std::vector<lc_minutia> m = {{128, 128, 0, 240}};
  for (int k = 0; k < 30; ++k) {
    const int r = 70 - 2 * k;  // 70 .. 12
    const double a = k * 0.7;
    m.push_back({static_cast<uint8_t>(128 + std::lround(r * std::cos(a))),
                 static_cast<uint8_t>(128 + std::lround(r * std::sin(a))), 0, 240});
  }
  uint8_t idx[LC_MAX_NEIGHBOURS];
  ASSERT_EQ(lc_select_neighbours(m.data(), 31, 0, idx), 24);
  // The six farthest (indexes 1..6) are gone; the kept ones in index order.
  for (int t = 0; t < 24; ++t) EXPECT_EQ(idx[t], 7 + t);

  // The enrolled record says the same: count 24 and the bit set.
  std::vector<M> ms;
  for (const lc_minutia &x : m) ms.push_back({x.x, x.y, 0});
  const Bytes e = enrol(card(ms));
  const uint8_t *rec = e.data() + LC_HEADER_SIZE;
  EXPECT_EQ(rec[0], 24);
  const uint8_t *set = rec + 1 + LC_MAX_NEIGHBOURS;
  for (int i = 1; i <= 30; ++i) EXPECT_EQ((set[i / 8] >> (i % 8)) & 1, i >= 7 ? 1 : 0) << i;
}

// ---------------------------------------------------------------- structure

TEST(LinkedClusterEnrol, StructureLayoutAndSizes) {
  const std::vector<M> ms = {{20, 30, 64, 0x95}, {40, 30, 128, 0x31}, {30, 50, 0, 0x70}};
  const Bytes e = enrol(card(ms, true));
  ASSERT_EQ(e.size(), static_cast<size_t>(LC_HEADER_SIZE + 3 * LC_RECORD_SIZE));
  EXPECT_EQ(e[0], 3);
  EXPECT_EQ(Bytes(e.begin() + 1, e.begin() + 13), (Bytes{20, 30, 64, 0x95, 40, 30, 128, 0x31, 30, 50, 0, 0x70}));
  EXPECT_EQ(e[13], 0);               // unused slots are zero
  EXPECT_EQ(e[LC_HEADER_SIZE - 1], 1);  // quality present
  // Minutia 0 at (20, 30) angle 64: neighbour 1 lies to the right
  // (direction 0), neighbour 2 below (direction 192 with y up, about 203
  // for (10, 20) down-right).
  const uint8_t *rec = e.data() + LC_HEADER_SIZE;
  EXPECT_EQ(rec[0], 2);
  EXPECT_EQ(rec[1], 64);
  EXPECT_EQ(rec[2], static_cast<uint8_t>(64 - atan2_(-20, 10)));
  EXPECT_EQ(rec[1 + LC_MAX_NEIGHBOURS], 0x06);
}

int record_writes = 0;
int failing_second_batch(uint8_t *d, const uint8_t *s, uint32_t n) {
  if (n != LC_HEADER_SIZE && ++record_writes == 2) return 1;
  std::memcpy(d, s, n);
  return 0;
}

TEST(LinkedClusterEnrol, SizeAndWriteErrors) {
  const Bytes c = card(scatter(40, 3));
  Bytes work(LC_WORK_OBJECT_SIZE), out(LC_ENROLLED_SIZE);
  uint32_t used = 77;
  EXPECT_EQ(qx_moc_enroll(work.data(), LC_ENROLL_WORK_SIZE - 1, c.data(), static_cast<uint32_t>(c.size()),
                          out.data(), LC_ENROLLED_SIZE, &used, copy_write),
            LC_ERR_WORK_SIZE);
  EXPECT_EQ(used, 0u);
  EXPECT_EQ(qx_moc_enroll(work.data(), LC_ENROLL_WORK_SIZE, c.data(), static_cast<uint32_t>(c.size()),
                          out.data(), LC_ENROLLED_SIZE - 1, &used, copy_write),
            LC_ERR_ENROLLED_SIZE);
  EXPECT_EQ(used, 2370u);
  EXPECT_EQ(qx_moc_enroll(work.data(), LC_ENROLL_WORK_SIZE, c.data(), static_cast<uint32_t>(c.size()),
                          out.data(), LC_ENROLLED_SIZE, &used,
                          [](uint8_t *, const uint8_t *, uint32_t) { return 1; }),
            LC_ERR_WRITE);
  // A failure on a later batch of records (40 records do not fit into one
  // batch of the smallest work object) is reported too.
  EXPECT_EQ(qx_moc_enroll(work.data(), LC_ENROLL_WORK_SIZE, c.data(), static_cast<uint32_t>(c.size()),
                          out.data(), LC_ENROLLED_SIZE, &used, failing_second_batch),
            LC_ERR_WRITE);
  EXPECT_EQ(record_writes, 2);
  const Bytes none = element(0x7F2E, element(0x93, {}));
  EXPECT_EQ(qx_moc_enroll(work.data(), LC_ENROLL_WORK_SIZE, none.data(), static_cast<uint32_t>(none.size()),
                          out.data(), LC_ENROLLED_SIZE, &used, copy_write),
            LC_ERR_NO_MINUTIAE);
  // Records written in batches through the smallest work object equal
  // those of a single batch.
  EXPECT_EQ(qx_moc_enroll(work.data(), LC_WORK_OBJECT_SIZE, c.data(), static_cast<uint32_t>(c.size()),
                          out.data(), LC_ENROLLED_SIZE, &used, copy_write),
            LC_OK);
  EXPECT_EQ(used, static_cast<uint32_t>(LC_HEADER_SIZE + 40 * LC_RECORD_SIZE));
  const Bytes small = enrol(c);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + used), small);
}

TEST(LinkedClusterVerify, StructureChecksAndArguments) {
  const Bytes c = card(scatter(30, 5));
  const Bytes good = enrol(c);
  Bytes e(LC_ENROLLED_SIZE, 0);
  std::copy(good.begin(), good.end(), e.begin());
  Bytes work(LC_VERIFY_WORK_SIZE);
  auto verify = [&](const Bytes &enrolled, int level, int *decision, uint32_t size = LC_VERIFY_WORK_SIZE) {
    uint16_t r[LC_RESULT_VALUES] = {0, LC_RESULT_COUNT, 0};
    return qx_moc_verify(work.data(), size, enrolled.data(), c.data(),
                         static_cast<uint32_t>(c.size()), r, level, decision, nullptr, 2);
  };
  int d = -1;
  EXPECT_EQ(verify(e, 12, &d), LC_OK);
  EXPECT_EQ(d, 1);
  EXPECT_EQ(verify(e, 12, &d, LC_VERIFY_WORK_SIZE - 1), LC_ERR_WORK_SIZE);
  EXPECT_EQ(d, 0);
  EXPECT_EQ(verify(e, 0, &d), LC_ERR_ARGUMENT);
  EXPECT_EQ(verify(e, 13, &d), LC_ERR_ARGUMENT);
  EXPECT_EQ(verify(e, 13, nullptr), LC_OK);  // no decision asked: the level is not read

  Bytes bad = e;
  bad[0] = 65;
  EXPECT_EQ(verify(bad, 12, &d), LC_ERR_STRUCTURE);
  bad = e;
  bad[LC_HEADER_SIZE + LC_RECORD_SIZE * 4] += 1;  // count differs from the set
  EXPECT_EQ(verify(bad, 12, &d), LC_ERR_STRUCTURE);
  bad = e;
  uint8_t *rec = bad.data() + LC_HEADER_SIZE + LC_RECORD_SIZE * 2;
  rec[0] = 25;
  std::memset(rec + 1 + LC_MAX_NEIGHBOURS, 0, 8);
  for (int i = 0; i < 25; ++i) rec[1 + LC_MAX_NEIGHBOURS + i / 8] |= static_cast<uint8_t>(1u << (i % 8));
  EXPECT_EQ(verify(bad, 12, &d), LC_ERR_STRUCTURE);  // 25 neighbours
  bad = e;
  rec = bad.data() + LC_HEADER_SIZE + LC_RECORD_SIZE * 2;
  rec[1 + LC_MAX_NEIGHBOURS + 7] ^= 0x80;  // minutia 63, beyond the count of 30
  rec[0] = static_cast<uint8_t>(rec[0] + ((rec[1 + LC_MAX_NEIGHBOURS + 7] & 0x80) ? 1 : -1));
  EXPECT_EQ(verify(bad, 12, &d), LC_ERR_STRUCTURE);

  // An unreadable probe.
  const Bytes junk = {0x7F, 0x2E, 0x05, 0x81};
  EXPECT_EQ(qx_moc_verify(work.data(), LC_VERIFY_WORK_SIZE, e.data(), junk.data(), 4, nullptr, 12,
                          &d, nullptr, 2),
            LC_ERR_NO_MINUTIAE);
}

// ---------------------------------------------------------------- matching

TEST(LinkedClusterMatch, EmptyAndTwoMinutiaCardsScoreZero) {
  const Bytes a = card(scatter(20, 7));
  const Bytes empty = card({});
  Match m = match(a, empty);
  EXPECT_EQ(m.rc, LC_OK);
  EXPECT_EQ(m.result[0], 0);
  EXPECT_EQ(m.decision, 0);
  m = match(empty, a);
  EXPECT_EQ(m.rc, LC_OK);
  EXPECT_EQ(m.result[0], 0);

  const Bytes two = card({{40, 40, 64}, {60, 52, 100}});
  m = match(two, two, LC_ROTATION_AUX | LC_ROTATION_FULL);
  EXPECT_EQ(m.rc, LC_OK);
  EXPECT_EQ(m.result[0], 0);
  EXPECT_EQ(m.result[4], 0);  // no pairs
  EXPECT_EQ(m.alignment.rotation, 0);
  EXPECT_EQ(m.alignment.dx, 0);
}

TEST(LinkedClusterMatch, CopiesScoreFarAboveImpostorsAndAlignmentIsRecovered) {
  // Impostor pairs among twelve unrelated cards set the bar.
  std::vector<Bytes> cards;
  for (unsigned s = 0; s < 12; ++s) cards.push_back(card(scatter(30, 100 + s)));
  int top = 0;
  for (size_t i = 0; i < cards.size(); ++i)
    for (size_t j = 0; j < cards.size(); ++j)
      if (i != j) top = std::max<int>(top, match(cards[i], cards[j]).result[0]);
  EXPECT_LT(top, lc_threshold(12, 0));

  const std::vector<M> base = scatter(30, 11, 100, 100, 9, 100, 20);
  const Bytes a = card(base);
  Match self = match(a, a);
  EXPECT_GT(self.result[0], 4 * std::max(top, static_cast<int>(lc_threshold(12, 0))));
  EXPECT_EQ(self.decision, 1);
  // Every neighbourhood agrees in full, so the link table (614 entries, 24
  // per minutia) fills after 25 probe minutiae and matching stops there.
  EXPECT_EQ(self.result[4], 25);
  EXPECT_EQ(self.alignment.rotation, 0);
  EXPECT_EQ(self.alignment.dx, 0);
  EXPECT_EQ(self.alignment.dy, 0);

  // Turned by 16 steps (22.5 degrees) and shifted: still far above the
  // impostors, and the transform comes back.
  for (int rotation_mode : {LC_ROTATION_AUX, LC_ROTATION_AUX | LC_ROTATION_FULL}) {
    const Match m = match(a, card(moved(base, 16, 12, -20)), rotation_mode);
    ASSERT_EQ(m.rc, LC_OK);
    EXPECT_GT(m.result[0], 4 * top);
    EXPECT_EQ(m.decision, 1);
    EXPECT_LE(angle_difference(m.alignment.rotation, 16), 2);
    EXPECT_NEAR(m.alignment.dx, 12, 3);
    EXPECT_NEAR(m.alignment.dy, -20, 3);
  }
  // Turned by 96 steps, only full rotation finds it.
  const Bytes turned = card(moved(base, 96, 240, 40));
  EXPECT_LT(match(a, turned).result[0], lc_threshold(6, 0));
  const Match full = match(a, turned, LC_ROTATION_AUX | LC_ROTATION_FULL);
  EXPECT_GT(full.result[0], 4 * top);
  EXPECT_LE(angle_difference(full.alignment.rotation, 96), 2);
}

TEST(LinkedClusterMatch, ResultRecordStatusAndAuxiliaryValues) {
  const Bytes a = card(scatter(25, 21)), b = card(scatter(20, 21));  // b: a subset of a
  uint16_t r[LC_RESULT_VALUES];
  auto run = [&](uint16_t count, uint16_t status, int rotation_mode) {
    for (int i = 0; i < LC_RESULT_VALUES; ++i) r[i] = 0xEEEE;
    r[1] = count;
    r[2] = status;
    return linked_cluster_match_iso_compact_card_score(a.data(), static_cast<uint32_t>(a.size()),
                                                       b.data(), static_cast<uint32_t>(b.size()),
                                                       r, 0, rotation_mode);
  };
  ASSERT_EQ(run(LC_RESULT_COUNT, 0, LC_ROTATION_AUX), LC_OK);
  EXPECT_GT(r[0], 0);
  EXPECT_EQ(r[2], LC_STATUS_AUX);
  EXPECT_EQ(r[4], 20);  // all of b paired
  EXPECT_GT(r[3], 0);  // links
  // |nA - nB| = 5 over nA + nB + 1 = 46.
  EXPECT_EQ(r[8], static_cast<uint16_t>(sqrt_32(5u * 65536 / 46)));

  ASSERT_EQ(run(LC_RESULT_COUNT, 0, 0), LC_OK);  // not asked for
  EXPECT_EQ(r[2], LC_STATUS_SCORE);
  EXPECT_EQ(r[3], 0xEEEE);
  ASSERT_EQ(run(9, 0, LC_ROTATION_AUX), LC_OK);  // wrong count
  EXPECT_EQ(r[2], LC_STATUS_SCORE);
  EXPECT_EQ(r[3], 0xEEEE);
  ASSERT_EQ(run(LC_RESULT_COUNT, 1, LC_ROTATION_AUX), LC_OK);  // status already set
  EXPECT_EQ(r[2], 1);
  EXPECT_EQ(r[3], 0xEEEE);
}

TEST(LinkedClusterMatch, EnrolledBufferIsOnlyRead) {
  const Bytes c = card(scatter(30, 9));
  const Bytes e = enrol(c);
  Bytes padded(LC_ENROLLED_SIZE, 0xA5);
  std::copy(e.begin(), e.end(), padded.begin());
  const Bytes before = padded;
  Bytes work(LC_WORK_OBJECT_SIZE);
  uint16_t r[LC_RESULT_VALUES] = {0, LC_RESULT_COUNT, 0};
  ASSERT_EQ(qx_moc_verify(work.data(), LC_WORK_OBJECT_SIZE, padded.data(), c.data(),
                          static_cast<uint32_t>(c.size()), r, 12, nullptr, nullptr, 3),
            LC_OK);
  EXPECT_GT(r[0], 0);
  EXPECT_EQ(padded, before);
}

TEST(LinkedClusterMatch, QualityTypesMustAgreeWhenBothCardsCarryThem) {
  std::vector<M> ms = scatter(25, 31);
  for (M &m : ms) m.quality = 0x92;
  const Bytes a = card(ms, true);
  EXPECT_GT(match(a, a).result[0], lc_threshold(12, 0));
  // Ridge-spacing nibbles two apart everywhere: no candidate survives.
  for (M &m : ms) m.quality = 0x94;
  EXPECT_EQ(match(a, card(ms, true)).result[0], 0);
  // One apart is tolerated.
  for (M &m : ms) m.quality = 0x93;
  EXPECT_GT(match(a, card(ms, true)).result[0], lc_threshold(12, 0));
}

TEST(LinkedClusterMatch, AllocationFailureAnswersNoMemoryWithoutLeaks) {
  const Bytes a = card(scatter(20, 41));
  for (long n = 0; n < 2; ++n) {
    const long live = qx_alloc_live();
    qx_alloc_fail_after(n);
    const Match m = match(a, a);
    qx_alloc_fail_after(-1);
    EXPECT_EQ(m.rc, LC_ERR_NO_MEMORY) << n;
    EXPECT_EQ(m.result[0], 0);
    EXPECT_EQ(qx_alloc_live(), live);
  }
}

// ---------------------------------------------------------------- geometry

TEST(LinkedClusterGeometry, InsideAndLowQualityCounts) {
  // Paired: 0 and 1 span the box (10..50, 10..40).  Inside unpaired: 2
  // (good, counts inside), 3 (quality 0x50 <= 95: doubtful), 4 and 5 (a close
  // parallel pair: doubtful).  Outside: 6 (quality 0x30 < 96: low), 7 (good).
  const lc_minutia m[] = {{10, 10, 0, 0xF0},  {50, 40, 0, 0xF0},  {30, 20, 0, 0xF0},
                          {20, 35, 0, 0x50},  {40, 15, 64, 0xF0}, {44, 15, 64, 0xF0},
                          {90, 90, 0, 0x30},  {100, 5, 0, 0xF0}};
  const uint8_t paired[] = {1, 1, 0, 0, 0, 0, 0, 0};
  lc_geometry g;
  lc_compute_geometrics(m, 8, paired, &g);
  EXPECT_EQ(g.width, 90);
  EXPECT_EQ(g.height, 85);
  EXPECT_EQ(g.inside, 3);       // 0, 1, 2
  EXPECT_EQ(g.low_quality, 4);  // 6, and 3, 4, 5 moved from inside
  const uint8_t none[8] = {0};
  lc_compute_geometrics(m, 8, none, &g);
  EXPECT_EQ(g.inside, 0);
  EXPECT_EQ(g.low_quality, 2);  // 3 and 6
}

// ---------------------------------------------------------------- directions

TEST(LinkedClusterDirections, ReestimatedFromTheFlowAround) {
  // A field of minutiae all along 64 (vertical flow); the middle one's
  // direction is off by 36 steps, another's is reversed and off.
  std::vector<lc_minutia> m;
  for (int r = 0; r < 5; ++r)
    for (int c = 0; c < 5; ++c)
      m.push_back({static_cast<uint8_t>(60 + 10 * c), static_cast<uint8_t>(60 + 10 * r), 64, 240});
  m[12].angle = 100;
  m[7].angle = 200;
  m.push_back({250, 250, 17, 240});  // alone: keeps its direction
  lc_reestimate_directions(m.data(), static_cast<int>(m.size()));
  EXPECT_LE(angle_difference(m[12].angle, 64), 2);
  EXPECT_LE(angle_difference(m[7].angle, 192), 2);  // turned towards the stored direction
  EXPECT_LE(angle_difference(m[0].angle, 64), 2);
  EXPECT_EQ(m.back().angle, 17);
}

TEST(LinkedClusterThresholds, GrowWithTheLevel) {
  for (int full = 0; full < 2; ++full) {
    EXPECT_GE(lc_threshold(1, full), 1);
    for (int level = 2; level <= 12; ++level)
      EXPECT_GE(lc_threshold(level, full), lc_threshold(level - 1, full));
    EXPECT_EQ(lc_threshold(0, full), 65535);
    EXPECT_EQ(lc_threshold(13, full), 65535);
  }
}

}  // namespace
