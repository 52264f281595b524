// The cluster match of the linked-cluster matcher: neighbourhoods, the
// comparison of two neighbourhoods, the running rotation estimate, seed and
// growth through the links, the geometry of the common area and the score
// with its auxiliary values.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "engine/image/fixed_math.h"
#include "engine/match/linked_cluster_stages.h"

namespace {

constexpr uint8_t kNone = 255;
// Distance of an unused lane: neighbours are at least 5 units away, so no
// neighbour is within 4 of it (differences are taken modulo 256).
constexpr uint8_t kNoDistance = 255;

// Sixteen neighbours of an enrolled minutia side by side, one byte lane
// each (see lc_side); two of them hold all.
typedef uint8_t Lanes __attribute__((vector_size(16)));
typedef uint64_t Words __attribute__((vector_size(16)));

inline Lanes load_lanes(const uint8_t *p) {
  Lanes v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}

// The neighbours of a probe minutia, each value copied into every lane and
// raised by the tolerance of its test, so that a lane agrees when
// (uint8_t)(probe value + tolerance - enrolled value) <= 2 x tolerance.
struct ProbeLanes {
  Lanes reldir[LC_MAX_NEIGHBOURS];
  Lanes relangle[LC_MAX_NEIGHBOURS];
  Lanes distance[LC_MAX_NEIGHBOURS];
};
constexpr uint8_t kReldirTolerance = 8, kRelangleTolerance = 12, kDistanceTolerance = 4;

void spread_probe(const lc_neighbour *p, int np, ProbeLanes *out) {
  for (int a = 0; a < np; ++a) {
    out->reldir[a] = Lanes{} + static_cast<uint8_t>(p[a].reldir + kReldirTolerance);
    out->relangle[a] = Lanes{} + static_cast<uint8_t>(p[a].relangle + kRelangleTolerance);
    out->distance[a] = Lanes{} + static_cast<uint8_t>(p[a].distance + kDistanceTolerance);
  }
}

// Floor square roots of the squared neighbour distances.
constexpr std::array<uint8_t, LC_NEIGHBOUR_D2_MAX + 1> make_root_table() {
  std::array<uint8_t, LC_NEIGHBOUR_D2_MAX + 1> t{};
  int r = 0;
  for (int x = 0; x <= LC_NEIGHBOUR_D2_MAX; ++x) {
    while ((r + 1) * (r + 1) <= x) ++r;
    t[static_cast<size_t>(x)] = static_cast<uint8_t>(r);
  }
  return t;
}
constexpr auto kRoot = make_root_table();

// Floor square root of any 32-bit value (a double holds it exactly; the
// correction steps make the floor exact).
uint32_t isqrt(uint64_t x) {
  if (x <= LC_NEIGHBOUR_D2_MAX) return kRoot[x];
  uint64_t r = static_cast<uint64_t>(std::sqrt(static_cast<double>(x)));
  while (r * r > x) --r;
  while ((r + 1) * (r + 1) <= x) ++r;
  return static_cast<uint32_t>(r);
}

// atan2_ of the first quadrant for the offsets of neighbours (both at most
// 110): the division inside atan2_ is the dearest step of building the
// neighbourhoods, so its results are tabled once, when the library loads
// (atan2_ reads only constant tables).
constexpr int kQuadrant = 111;
const std::array<uint8_t, kQuadrant * kQuadrant> kQuadrantTable = [] {
  std::array<uint8_t, kQuadrant * kQuadrant> t{};
  for (int ay = 0; ay < kQuadrant; ++ay)
    for (int ax = 1; ax < kQuadrant; ++ax)
      t[static_cast<size_t>(ay * kQuadrant + ax)] = static_cast<uint8_t>(atan2_(ay, ax));
  return t;
}();

// Direction from a to b, counter-clockwise with y up (card y grows down);
// the same values as atan2_.
inline int direction(const lc_minutia &a, const lc_minutia &b) {
  const int x = b.x - a.x, y = a.y - b.y;
  const int ax = x < 0 ? -x : x, ay = y < 0 ? -y : y;
  if (x == 0 || ax >= kQuadrant || ay >= kQuadrant) return atan2_(y, x);
  const int q = kQuadrantTable[static_cast<size_t>(ay * kQuadrant + ax)];
  if (x > 0) return y >= 0 ? q : (256 - q) & 255;
  return y >= 0 ? 128 - q : 128 + q;
}

// Signed difference of two byte angles, -128..127.
inline int signed_angle(int d) { return static_cast<int8_t>(static_cast<uint8_t>(d)); }

inline int squared_distance(const lc_minutia &a, const lc_minutia &b) {
  const int dx = a.x - b.x, dy = a.y - b.y;
  return dx * dx + dy * dy;
}

// The neighbour list as byte columns (see lc_side).
void fill_lanes(lc_side *side, int c) {
  const lc_neighbour *list = side->neighbours[c];
  const int k = side->neighbour_count[c];
  for (int t = 0; t < LC_LANES; ++t) {
    side->lane_reldir[c][t] = t < k ? list[t].reldir : 0;
    side->lane_relangle[c][t] = t < k ? list[t].relangle : 0;
    side->lane_distance[c][t] = t < k ? list[t].distance : kNoDistance;
  }
}

// Sorts a neighbour list by relative direction, equal ones in the order
// they had.
void sort_by_reldir(lc_neighbour *list, int k) {
  uint16_t keys[LC_MAX_NEIGHBOURS];
  lc_neighbour copy[LC_MAX_NEIGHBOURS];
  for (int t = 0; t < k; ++t) {
    const uint16_t key = static_cast<uint16_t>(list[t].reldir << 8 | t);
    int i = t;
    for (; i > 0 && keys[i - 1] > key; --i) keys[i] = keys[i - 1];
    keys[i] = key;
    copy[t] = list[t];
  }
  for (int t = 0; t < k; ++t) list[t] = copy[keys[t] & 0xFF];
}

// Agreeing neighbours of probe minutia j (its list sorted by relative
// direction) and enrolled minutia l.  A pair of neighbours agrees when the
// relative directions differ by at most 8 and the relative angles by at
// most 12 (both modulo 256) and the distances by at most 4.  Each probe
// neighbour takes the enrolled neighbour it fits best; an enrolled
// neighbour wanted by several keeps the one with the lowest satellite cost
// e^2 + 2 f^2 + 4 h^2.  Writes the links and returns their number.
int compare_clusters(const lc_neighbour *p, const ProbeLanes &pl, int np,
                     const lc_side *enrolled, int l, uint8_t *link_probe,
                     uint8_t *link_enrolled) {
  const int ne = enrolled->neighbour_count[l];
  if (np < 2 || ne < 2) return 0;
  const lc_neighbour *e = enrolled->neighbours[l];
  const Lanes r0 = load_lanes(enrolled->lane_reldir[l]), r1 = load_lanes(enrolled->lane_reldir[l] + 16);
  const Lanes g0 = load_lanes(enrolled->lane_relangle[l]), g1 = load_lanes(enrolled->lane_relangle[l] + 16);
  const Lanes d0 = load_lanes(enrolled->lane_distance[l]), d1 = load_lanes(enrolled->lane_distance[l] + 16);
  int8_t owner[LC_LANES];
  int owner_cost[LC_LANES];
  std::memset(owner, -1, sizeof(owner));
  int owned = 0;
  for (int a = 0; a < np; ++a) {
    const Lanes ok0 = reinterpret_cast<Lanes>(
        (static_cast<Lanes>(pl.reldir[a] - r0) <= 2 * kReldirTolerance) &
        (static_cast<Lanes>(pl.relangle[a] - g0) <= 2 * kRelangleTolerance) &
        (static_cast<Lanes>(pl.distance[a] - d0) <= 2 * kDistanceTolerance));
    const Lanes ok1 = reinterpret_cast<Lanes>(
        (static_cast<Lanes>(pl.reldir[a] - r1) <= 2 * kReldirTolerance) &
        (static_cast<Lanes>(pl.relangle[a] - g1) <= 2 * kRelangleTolerance) &
        (static_cast<Lanes>(pl.distance[a] - d1) <= 2 * kDistanceTolerance));
    // Tested in registers: going through memory stalls on the store.
    const Words w0 = reinterpret_cast<Words>(ok0), w1 = reinterpret_cast<Words>(ok1);
    const Words both = w0 | w1;
    if ((both[0] | both[1]) == 0) continue;
    const uint64_t words[LC_LANES / 8] = {w0[0], w0[1], w1[0], w1[1]};
    int best = -1, best_cost = 1 << 30;
    for (int w = 0; w < LC_LANES / 8; ++w) {
      // An agreeing lane is a byte of all ones.
      for (uint64_t bits = words[w]; bits != 0;) {
        const int byte = __builtin_ctzll(bits) / 8;
        bits &= ~(uint64_t{0xFF} << (8 * byte));
        const int k = 8 * w + byte;
        const int f = signed_angle(p[a].reldir - e[k].reldir);
        const int ea = signed_angle(p[a].relangle - e[k].relangle);
        const int h = p[a].distance - e[k].distance;
        const int cost = ea * ea + 2 * f * f + 4 * h * h;
        if (cost < best_cost) {
          best_cost = cost;
          best = k;
        }
      }
    }
    if (owner[best] < 0) {
      ++owned;
    } else if (best_cost >= owner_cost[best]) {
      continue;
    }
    owner[best] = static_cast<int8_t>(a);
    owner_cost[best] = best_cost;
  }
  if (owned < 2) return owned;
  int count = 0;
  for (int b = 0; b < ne; ++b) {
    if (owner[b] < 0) continue;
    link_probe[count] = p[owner[b]].index;
    link_enrolled[count] = e[b].index;
    ++count;
  }
  return count;
}

// Folds the angle difference of a well-supported pair into the rotation
// estimate and narrows the tolerance once the estimate is consistent.
void update_rotation(lc_match_state *s, int difference, int initial_tolerance) {
  // Components rounded to 1/32.
  s->rotation_sum_c += (cos_(difference) + 256) >> 9;
  s->rotation_sum_s += (sin_(difference) + 256) >> 9;
  ++s->rotation_pairs;
  if (s->rotation_pairs < 3) return;
  s->rotation = static_cast<uint8_t>(atan2_(s->rotation_sum_s, s->rotation_sum_c));
  // Mean vector in 1/512; its squared length divided by 4 is the squared
  // length in 1/256 (65536 for perfectly consistent pairs).
  const int64_t mc = static_cast<int64_t>(s->rotation_sum_c) * 16 / s->rotation_pairs;
  const int64_t ms = static_cast<int64_t>(s->rotation_sum_s) * 16 / s->rotation_pairs;
  const int64_t l2 = std::min<int64_t>((mc * mc + ms * ms) / 4, 65535);
  if (l2 > 32767) {
    const int t = static_cast<int>(isqrt(static_cast<uint64_t>(13312 - isqrt(l2) * 52)));
    s->tolerance = static_cast<uint8_t>(std::max(4, std::min(initial_tolerance, t)));
  } else {
    s->tolerance = static_cast<uint8_t>(std::min(initial_tolerance, 128));
  }
}

// Seed pair and breadth-first growth along the stored links.
void seed_and_grow(const lc_side *enrolled, const lc_side *probe, lc_match_state *s) {
  const int np = probe->count;
  // An enrolled minutia claimed by several probe minutiae stays with the
  // one with most agreeing neighbours (the first on equal counts).
  uint8_t claim[LC_MAX_MINUTIAE];
  std::memset(claim, kNone, sizeof(claim));
  for (int j = 0; j < np; ++j) {
    const uint8_t l = s->partner[j];
    if (l == kNone) continue;
    if (claim[l] == kNone || s->agree[j] > s->agree[claim[l]]) claim[l] = static_cast<uint8_t>(j);
  }
  for (int j = 0; j < np; ++j)
    if (s->partner[j] != kNone && claim[s->partner[j]] != j) s->partner[j] = kNone;

  s->pairs = 0;
  s->links = 0;
  int seed = -1;
  for (int j = 0; j < np; ++j)
    if (s->partner[j] != kNone && (seed < 0 || s->agree[j] > s->agree[seed])) seed = j;
  if (seed < 0) return;

  uint8_t probe_paired[LC_MAX_MINUTIAE] = {0}, enrolled_paired[LC_MAX_MINUTIAE] = {0};
  (void)enrolled;
  s->pair_probe[0] = static_cast<uint8_t>(seed);
  s->pair_enrolled[0] = s->partner[seed];
  probe_paired[seed] = 1;
  enrolled_paired[s->partner[seed]] = 1;
  s->pairs = 1;
  int pass_begin = 0, pass_end = 1;
  while (pass_begin < pass_end) {
    for (int q = pass_begin; q < pass_end; ++q) {
      const int j = s->pair_probe[q];
      const int first = s->link_start[j];
      for (int k = first; k < first + s->link_count[j]; ++k) {
        ++s->links;
        const uint8_t u = s->link_probe[k], v = s->link_enrolled[k];
        if (!probe_paired[u] && !enrolled_paired[v] && s->partner[u] == v) {
          probe_paired[u] = enrolled_paired[v] = 1;
          s->pair_probe[s->pairs] = u;
          s->pair_enrolled[s->pairs] = v;
          ++s->pairs;
        }
      }
    }
    pass_begin = pass_end;
    pass_end = s->pairs;
  }
}

// Sum of the (cos, sin) vectors of the pairs' angle differences (enrolled
// minus probe), Q14 components.
void sum_pair_rotations(const lc_side *enrolled, const lc_side *probe, const lc_match_state *s,
                        int64_t *sc, int64_t *ss) {
  *sc = *ss = 0;
  for (int q = 0; q < s->pairs; ++q) {
    const int d = enrolled->minutiae[s->pair_enrolled[q]].angle - probe->minutiae[s->pair_probe[q]].angle;
    *sc += cos_(d);
    *ss += sin_(d);
  }
}

uint32_t aux_root(uint64_t numerator, uint64_t denominator) {
  return std::min<uint32_t>(isqrt(numerator / denominator), 65535);
}

}  // namespace

extern "C" int lc_direction(const lc_minutia *from, const lc_minutia *to) {
  return direction(*from, *to);
}

extern "C" int lc_select_neighbours(const lc_minutia *m, int n, int c, uint8_t *indexes) {
  // Every qualifying minutia as the key (d2, index).  Taking them in index
  // order and letting a nearer one replace the farthest kept one (the latest
  // of equally far ones) keeps exactly the 24 smallest keys, which is what
  // is selected here in one step.
  uint32_t keys[LC_MAX_READ];
  int k = 0;
  for (int i = 0; i < n && i < LC_MAX_READ; ++i) {
    const int d2 = squared_distance(m[c], m[i]);
    if (i == c || d2 <= LC_NEIGHBOUR_D2_MIN || d2 > LC_NEIGHBOUR_D2_MAX) continue;
    keys[k++] = static_cast<uint32_t>(d2) << 8 | static_cast<uint32_t>(i);
  }
  // The keys are in index order: with too many, find the 24th smallest and
  // keep those not above it, still in index order.
  uint32_t limit = ~0u;
  if (k > LC_MAX_NEIGHBOURS) {
    uint32_t copy[LC_MAX_READ];
    std::memcpy(copy, keys, sizeof(uint32_t) * static_cast<size_t>(k));
    std::nth_element(copy, copy + LC_MAX_NEIGHBOURS - 1, copy + k);
    limit = copy[LC_MAX_NEIGHBOURS - 1];
  }
  int kept = 0;
  for (int t = 0; t < k; ++t)
    if (keys[t] <= limit) indexes[kept++] = static_cast<uint8_t>(keys[t] & 0xFF);
  return kept;
}

extern "C" void lc_side_from_minutiae(lc_side *side, const lc_minutia *m, int n,
                                      int quality_present) {
  n = std::clamp(n, 0, LC_MAX_MINUTIAE);
  side->count = n;
  side->quality_present = quality_present;
  std::memcpy(side->minutiae, m, sizeof(lc_minutia) * static_cast<size_t>(n));
  for (int c = 0; c < n; ++c) {
    uint8_t idx[LC_MAX_NEIGHBOURS];
    const int k = lc_select_neighbours(m, n, c, idx);
    lc_neighbour *list = side->neighbours[c];
    for (int t = 0; t < k; ++t) {
      const lc_minutia &o = m[idx[t]];
      list[t].reldir = static_cast<uint8_t>(m[c].angle - direction(m[c], o));
      list[t].relangle = static_cast<uint8_t>(m[c].angle - o.angle);
      list[t].distance = static_cast<uint8_t>(kRoot[squared_distance(m[c], o)]);
      list[t].index = idx[t];
    }
    sort_by_reldir(list, k);
    side->neighbour_count[c] = static_cast<uint8_t>(k);
    fill_lanes(side, c);
  }
}

extern "C" int lc_side_from_enrolled(lc_side *side, const uint8_t *enrolled) {
  const int n = enrolled[0];
  if (n > LC_MAX_MINUTIAE) return LC_ERR_STRUCTURE;
  side->count = n;
  side->quality_present = enrolled[1 + 4 * LC_MAX_MINUTIAE] != 0;
  for (int i = 0; i < n; ++i) {
    const uint8_t *slot = enrolled + 1 + 4 * i;
    side->minutiae[i] = lc_minutia{slot[0], slot[1], slot[2], slot[3]};
  }
  for (int c = 0; c < n; ++c) {
    const uint8_t *rec = enrolled + LC_HEADER_SIZE + LC_RECORD_SIZE * c;
    const int k = rec[0];
    const uint8_t *set = rec + 1 + LC_MAX_NEIGHBOURS;
    if (k > LC_MAX_NEIGHBOURS) return LC_ERR_STRUCTURE;
    lc_neighbour *list = side->neighbours[c];
    int t = 0;
    for (int i = 0; i < LC_MAX_MINUTIAE; ++i) {
      if (!(set[i / 8] & (1u << (i % 8)))) continue;
      // More members than the count, the minutia itself, or one beyond the
      // count: inconsistent.
      if (t == k || i == c || i >= n) return LC_ERR_STRUCTURE;
      const lc_minutia &o = side->minutiae[i];
      list[t].reldir = rec[1 + t];
      list[t].relangle = static_cast<uint8_t>(side->minutiae[c].angle - o.angle);
      list[t].distance =
          static_cast<uint8_t>(std::min<uint32_t>(isqrt(static_cast<uint64_t>(
                                                      squared_distance(side->minutiae[c], o))),
                                                  255));
      list[t].index = static_cast<uint8_t>(i);
      ++t;
    }
    if (t != k) return LC_ERR_STRUCTURE;
    sort_by_reldir(list, k);
    side->neighbour_count[c] = static_cast<uint8_t>(k);
    fill_lanes(side, c);
  }
  return LC_OK;
}

extern "C" void lc_compute_geometrics(const lc_minutia *m, int n, const uint8_t *paired,
                                      lc_geometry *g) {
  *g = lc_geometry{0, 0, 0, 0};
  if (n <= 0) return;
  int x0 = 255, x1 = 0, y0 = 255, y1 = 0;
  int px0 = 256, px1 = -1, py0 = 256, py1 = -1;
  for (int i = 0; i < n; ++i) {
    x0 = std::min<int>(x0, m[i].x);
    x1 = std::max<int>(x1, m[i].x);
    y0 = std::min<int>(y0, m[i].y);
    y1 = std::max<int>(y1, m[i].y);
    if (!paired[i]) continue;
    px0 = std::min<int>(px0, m[i].x);
    px1 = std::max<int>(px1, m[i].x);
    py0 = std::min<int>(py0, m[i].y);
    py1 = std::max<int>(py1, m[i].y);
  }
  g->width = x1 - x0;
  g->height = y1 - y0;
  lc_minutia doubtful[LC_MAX_READ];
  int nd = 0;
  for (int i = 0; i < n; ++i) {
    const bool inside = m[i].x >= px0 && m[i].x <= px1 && m[i].y >= py0 && m[i].y <= py1;
    if (inside) {
      ++g->inside;
      if (!paired[i] && nd < LC_MAX_READ) doubtful[nd++] = m[i];
    } else if (m[i].quality < 96) {
      ++g->low_quality;
    }
  }
  // Unpaired minutiae inside the common area that belong to a close pair or
  // are of low quality are not held against the match.
  uint8_t marks[LC_MAX_READ];
  lc_find_minutiae_pairs(doubtful, nd, marks);
  for (int i = 0; i < nd; ++i) {
    if (marks[i] != LC_UNMARKED || doubtful[i].quality <= 95) {
      --g->inside;
      ++g->low_quality;
    }
  }
}

extern "C" uint16_t lc_match(const lc_side *enrolled, const lc_side *probe,
                             int initial_tolerance, lc_match_state *s, lc_outcome *out) {
  std::memset(s, 0, sizeof(*s));
  std::memset(out, 0, sizeof(*out));
  std::memset(s->partner, kNone, sizeof(s->partner));
  std::memset(s->first_candidate, kNone, sizeof(s->first_candidate));
  s->tolerance = static_cast<uint8_t>(std::min(initial_tolerance, 128));
  const int np = probe->count, ne = enrolled->count;
  const bool use_quality = enrolled->quality_present && probe->quality_present;

  uint8_t lp[LC_MAX_NEIGHBOURS], le[LC_MAX_NEIGHBOURS];
  ProbeLanes pl;
  bool table_full = false;
  for (int j = 0; j < np && !table_full; ++j) {
    if (j > 0 && s->agree[j - 1] > 5)
      update_rotation(s, enrolled->minutiae[s->partner[j - 1]].angle - probe->minutiae[j - 1].angle,
                      initial_tolerance);
    s->link_start[j] = s->links_used;
    const lc_minutia &pj = probe->minutiae[j];
    spread_probe(probe->neighbours[j], probe->neighbour_count[j], &pl);
    const int first = s->first_candidate[j] < ne ? s->first_candidate[j] : -1;
    for (int t = -1; t < ne; ++t) {
      const int l = t < 0 ? first : t;
      if (l < 0 || (t >= 0 && l == first)) continue;
      const lc_minutia &el = enrolled->minutiae[l];
      // A candidate cannot agree on more neighbours than it has.
      if (enrolled->neighbour_count[l] <= s->agree[j]) continue;
      if (angle_difference(el.angle - pj.angle, s->rotation) > s->tolerance) continue;
      if (use_quality) {
        const int dq = (pj.quality & 15) - (el.quality & 15);
        if (dq > 1 || dq < -1) continue;
      }
      const int count =
          compare_clusters(probe->neighbours[j], pl, probe->neighbour_count[j], enrolled, l, lp, le);
      if (count < 2 || count <= s->agree[j]) continue;
      if (s->link_start[j] + count > LC_MAX_LINKS) {
        table_full = true;
        break;
      }
      s->partner[j] = static_cast<uint8_t>(l);
      s->agree[j] = static_cast<uint8_t>(count);
      s->link_count[j] = static_cast<uint8_t>(count);
      std::memcpy(s->link_probe + s->link_start[j], lp, static_cast<size_t>(count));
      std::memcpy(s->link_enrolled + s->link_start[j], le, static_cast<size_t>(count));
      if (count >= 6) {
        for (int k = 0; k < count; ++k)
          if (lp[k] > j && s->first_candidate[lp[k]] == kNone) s->first_candidate[lp[k]] = le[k];
        break;
      }
    }
    s->links_used = static_cast<uint16_t>(s->link_start[j] + s->link_count[j]);
  }

  seed_and_grow(enrolled, probe, s);

  uint8_t paired_e[LC_MAX_MINUTIAE] = {0}, paired_p[LC_MAX_MINUTIAE] = {0};
  for (int q = 0; q < s->pairs; ++q) {
    paired_e[s->pair_enrolled[q]] = 1;
    paired_p[s->pair_probe[q]] = 1;
  }
  lc_compute_geometrics(enrolled->minutiae, ne, paired_e, &out->enrolled);
  lc_compute_geometrics(probe->minutiae, np, paired_p, &out->probe);
  out->pairs = s->pairs;
  out->links = s->links;

  const lc_geometry &ga = out->enrolled, &gb = out->probe;
  const int64_t la = ga.low_quality, lb = gb.low_quality, ia = ga.inside, ib = gb.inside;
  const int64_t a = std::llabs(la - lb), b = std::llabs(ia - ib),
                c = std::llabs(static_cast<int64_t>(ne) - np);
  const uint64_t nsum = static_cast<uint64_t>(ne + np + 1);
  out->aux[0] = static_cast<uint16_t>(std::min<uint32_t>(isqrt(static_cast<uint64_t>(s->links) * 256), 65535));
  out->aux[1] = static_cast<uint16_t>(s->pairs);
  out->aux[2] = static_cast<uint16_t>(std::min<uint32_t>(isqrt(static_cast<uint64_t>(a * b * c)), 65535));
  out->aux[3] = static_cast<uint16_t>(aux_root(static_cast<uint64_t>(c) * 65536, static_cast<uint64_t>(la + lb + 1)));
  out->aux[4] = static_cast<uint16_t>(aux_root(static_cast<uint64_t>(c) * 65536, static_cast<uint64_t>(ia + ib + 1)));
  out->aux[5] = static_cast<uint16_t>(aux_root(static_cast<uint64_t>(c) * 65536, nsum));
  out->aux[6] = static_cast<uint16_t>(aux_root(static_cast<uint64_t>(a) * 65536, nsum));
  out->aux[7] = static_cast<uint16_t>(aux_root(static_cast<uint64_t>(b) * 65536, nsum));

  if (s->pairs == 0) return 0;

  // Consistency of the pairs: angle residuals after the common rotation,
  // and, over all pairs of pairs, distance and direction residuals.
  int64_t sc, ss;
  sum_pair_rotations(enrolled, probe, s, &sc, &ss);
  const int rot = atan2_(static_cast<int32_t>(ss), static_cast<int32_t>(sc));
  out->rotation = static_cast<uint8_t>(rot);
  uint64_t sum1 = 0;
  for (int q = 0; q < s->pairs; ++q) {
    const int r = signed_angle(enrolled->minutiae[s->pair_enrolled[q]].angle -
                               probe->minutiae[s->pair_probe[q]].angle - rot);
    sum1 += static_cast<uint64_t>(r * r);
  }
  const uint64_t r1 = isqrt(sum1 / static_cast<uint64_t>(s->pairs)) + 1;
  uint64_t product;
  if (s->pairs == 1) {
    product = r1 * 400;
  } else {
    uint64_t sum2 = 0, sum3 = 0, count = 0;
    for (int p = 0; p < s->pairs; ++p) {
      const lc_minutia &ea = enrolled->minutiae[s->pair_enrolled[p]];
      const lc_minutia &pa = probe->minutiae[s->pair_probe[p]];
      for (int q = p + 1; q < s->pairs; ++q) {
        const lc_minutia &eb = enrolled->minutiae[s->pair_enrolled[q]];
        const lc_minutia &pb = probe->minutiae[s->pair_probe[q]];
        const int dd = static_cast<int>(isqrt(static_cast<uint64_t>(squared_distance(ea, eb)))) -
                       static_cast<int>(isqrt(static_cast<uint64_t>(squared_distance(pa, pb))));
        const int dr = signed_angle(direction(ea, eb) - direction(pa, pb) - rot);
        sum2 += static_cast<uint64_t>(dd * dd);
        sum3 += static_cast<uint64_t>(dr * dr);
        ++count;
      }
    }
    product = r1 * (isqrt(sum2 / count) + 1) * (isqrt(sum3 / count) + 1);
  }
  const uint64_t spread = std::clamp<uint64_t>(isqrt(product), 3, 64);
  const uint64_t area = static_cast<uint64_t>(ga.width * ga.height + gb.width * gb.height) / 2;
  const uint64_t extent = isqrt(static_cast<uint64_t>(isqrt(area)) * 256);
  const uint64_t inside = static_cast<uint64_t>(ia + ib);
  const int64_t good_minutiae = (ne - la) + (np - lb);
  if (inside == 0 || good_minutiae <= 0) return 0;
  const uint64_t denominator =
      static_cast<uint64_t>(good_minutiae) * inside * isqrt(spread * 256) / 4;
  if (denominator == 0) return 0;
  const uint64_t score = static_cast<uint64_t>(s->links) * static_cast<uint64_t>(s->pairs) * 64 *
                         extent / denominator;
  out->score = static_cast<uint16_t>(std::min<uint64_t>(score, 65535));
  return out->score;
}

extern "C" void lc_reestimate_directions(lc_minutia *m, int n) {
  // Each minutia's direction is taken again from the ridge flow around it,
  // read from the other minutiae: the orientations (doubled angles) of the
  // minutiae within sqrt(624) units of two points 6 units ahead of and
  // behind the minutia along its direction are averaged with weights
  // 1024 / (1 + distance to the point).  The orientation found is turned
  // by half a turn when it is more than a quarter turn from the stored
  // direction.  A minutia with no other minutia near those points keeps
  // its direction.  Directions are read from the stored values, so the
  // order of the minutiae does not matter.
  constexpr int kStep = 6;
  constexpr int kRadius2 = 624;
  uint8_t fresh[LC_MAX_READ];
  n = std::clamp(n, 0, LC_MAX_READ);
  for (int c = 0; c < n; ++c) {
    fresh[c] = m[c].angle;
    const int ox = (kStep * cos_(m[c].angle) + 8192) >> 14;
    const int oy = -((kStep * sin_(m[c].angle) + 8192) >> 14);
    int64_t sc = 0, ss = 0;
    for (int side = -1; side <= 1; side += 2) {
      const int px = m[c].x + side * ox, py = m[c].y + side * oy;
      for (int i = 0; i < n; ++i) {
        if (i == c) continue;
        const int dx = m[i].x - px, dy = m[i].y - py;
        const int d2 = dx * dx + dy * dy;
        if (d2 >= kRadius2) continue;
        const int w = 1024 / (1 + static_cast<int>(isqrt(static_cast<uint64_t>(d2))));
        sc += static_cast<int64_t>(w) * cos_(2 * m[i].angle);
        ss += static_cast<int64_t>(w) * sin_(2 * m[i].angle);
      }
    }
    if (sc == 0 && ss == 0) continue;
    // Scale into 32 bits before the angle is taken.
    while (sc > INT32_MAX || sc < -INT32_MAX || ss > INT32_MAX || ss < -INT32_MAX) {
      sc /= 2;
      ss /= 2;
    }
    int o = atan2_(static_cast<int32_t>(ss), static_cast<int32_t>(sc)) / 2;
    if (angle_difference(o, m[c].angle) > 64) o += 128;
    fresh[c] = static_cast<uint8_t>(o);
  }
  for (int c = 0; c < n; ++c) m[c].angle = fresh[c];
}

extern "C" void lc_alignment_of_pairs(const lc_side *enrolled, const lc_side *probe,
                                      const lc_match_state *s, lc_alignment *out) {
  *out = lc_alignment{0, 0, 0};
  if (s->pairs <= 0) return;
  int64_t sc, ss;
  sum_pair_rotations(enrolled, probe, s, &sc, &ss);
  // Components scaled into -255..255 before the angle is taken.
  const int64_t big = std::max(std::llabs(sc), std::llabs(ss));
  if (big > 255) {
    sc = sc * 255 / big;
    ss = ss * 255 / big;
  }
  const int r = atan2_(static_cast<int32_t>(ss), static_cast<int32_t>(sc));
  const int32_t cr = cos_(r), sr = sin_(r);
  int64_t tx = 0, ty = 0;
  for (int q = 0; q < s->pairs; ++q) {
    const lc_minutia &e = enrolled->minutiae[s->pair_enrolled[q]];
    const lc_minutia &p = probe->minutiae[s->pair_probe[q]];
    const int32_t rx = (e.x * cr - e.y * sr + 8192) >> 14;
    const int32_t ry = (e.x * sr + e.y * cr + 8192) >> 14;
    tx += p.x - rx;
    ty += p.y - ry;
  }
  out->rotation = static_cast<uint8_t>(r);
  out->dx = static_cast<int16_t>(tx / s->pairs);
  out->dy = static_cast<int16_t>(ty / s->pairs);
}
