// The choice of subtemplates from a match matrix: islands, shares, and the
// drop rule that keeps the captures covering the most 32-pixel cells.
#include "engine/objects/qx_subtemplate_choice.h"

#include <algorithm>
#include <cstring>

#include "engine/formats/ansi378.h"
#include "engine/formats/compact_card.h"
#include "engine/formats/iso19794_2.h"
#include "engine/formats/qx_template_convert.h"
#include "engine/image/fixed_math.h"
#include "engine/match/qx_utils.h"
#include "engine/objects/qx_enroll_islands.h"
#include "engine/qx_alloc.h"
#include "engine/qx_buffer.hpp"
#include "engine/qx_rc.h"

namespace {

constexpr int32_t kCell = 32;

struct Capture {
  int32_t island = -1;
  qx_alignment *to_top = nullptr;
  int32_t *xs = nullptr;  // minutiae in the island's frame, once read
  int32_t *ys = nullptr;
  int32_t nbr_minutiae = 0;
  bool loaded = false;
  bool kept = true;
};

// Releases what the captures hold on every path.
struct Captures {
  qx::Buffer<Capture> items;
  ~Captures() {
    for (size_t i = 0; i < items.size(); ++i) {
      qx_alignment_delete(items[i].to_top);
      qx_free(items[i].xs);
      qx_free(items[i].ys);
    }
  }
};

struct ScoredCell {
  qx_match *match;
  int32_t order;  // position in cell order, to keep ties in that order
};

int compare_scored(const void *a, const void *b) {
  const auto *p = static_cast<const ScoredCell *>(a);
  const auto *q = static_cast<const ScoredCell *>(b);
  const uint16_t sp = qx_match_get_score(p->match), sq = qx_match_get_score(q->match);
  if (sp != sq) return sp > sq ? -1 : 1;
  return p->order < q->order ? -1 : (p->order > q->order ? 1 : 0);
}

// Minutiae of a template by its type; a template that cannot be read
// contributes none.  0 or 9.
int32_t read_minutiae(const qx_template *tpl, minutiastruct *m) {
  std::memset(m, 0, sizeof(*m));
  const uint8_t *data = qx_template_get_data(tpl);
  const uint32_t size = qx_template_get_data_size(tpl);
  int rc = QX_RC_UNSUPPORTED;
  switch (qx_template_get_type(tpl)) {
    case QX_TEMPLATE_ISO19794_2:
      rc = qx_iso19794_2_to_minutiastruct(data, size, m, nullptr);
      break;
    case QX_TEMPLATE_ISO_COMPACT_CARD:
      rc = qx_convert_iso_compactcard_to_minutiastruct(data, size, m, nullptr);
      break;
    case QX_TEMPLATE_ANSI378:
      rc = qx_ansi378_to_minutiastruct(data, size, m);
      break;
    case QX_TEMPLATE_EHM_FUSION:
      // The fusion record keeps the card's minutiae elements where the card
      // reader looks for them.
      rc = qx_convert_iso_compactcard_to_minutiastruct(data, size, m, nullptr);
      break;
    case QX_TEMPLATE_EHM:
    case QX_TEMPLATE_NEO: {
      uint8_t *card = nullptr;
      uint32_t card_size = 0;
      rc = qx_template_convert(tpl, QX_TEMPLATE_ISO_COMPACT_CARD, &card, &card_size);
      if (rc == QX_RC_OK) {
        rc = qx_convert_iso_compactcard_to_minutiastruct(card, card_size, m, nullptr);
      }
      qx_free(card);
      break;
    }
    default:
      break;
  }
  if (rc == QX_RC_NO_MEMORY) return QX_RC_NO_MEMORY;
  if (rc != QX_RC_OK) m->count = 0;
  return QX_RC_OK;
}

// Reads the capture's minutiae and moves them into its island's frame:
// position minus (dx, dy), then rotated by -r.  0 or 9.
int32_t load_capture(Capture &c, const qx_template *tpl, minutiastruct *scratch) {
  if (c.loaded) return QX_RC_OK;
  if (read_minutiae(tpl, scratch) != QX_RC_OK) return QX_RC_NO_MEMORY;
  const int32_t n = scratch->count;
  c.xs = static_cast<int32_t *>(qx_calloc(n > 0 ? n : 1, sizeof(int32_t)));
  c.ys = static_cast<int32_t *>(qx_calloc(n > 0 ? n : 1, sizeof(int32_t)));
  if (c.xs == nullptr || c.ys == nullptr) return QX_RC_NO_MEMORY;
  const int32_t dx = qx_alignment_get_dx(c.to_top), dy = qx_alignment_get_dy(c.to_top);
  const int r = qx_alignment_get_rotation(c.to_top);
  const int64_t cs = cos_(-r), sn = sin_(-r);
  for (int32_t i = 0; i < n; ++i) {
    const int64_t x = scratch->minutiae[i].col - dx;
    const int64_t y = scratch->minutiae[i].row - dy;
    c.xs[i] = static_cast<int32_t>((cs * x - sn * y) >> 14);
    c.ys[i] = static_cast<int32_t>((sn * x + cs * y) >> 14);
  }
  c.nbr_minutiae = n;
  c.loaded = true;
  return QX_RC_OK;
}

// Builds the islands of step 1.  0, 9.
int32_t build_islands(qx_template *const *templates, int32_t n, qx_match *const *matrix,
                      qx_island_list *islands) {
  qx::Buffer<ScoredCell> cells;
  if (!cells.alloc(n > 1 ? static_cast<size_t>(n) * (n - 1) / 2 : 1)) return QX_RC_NO_MEMORY;
  int32_t nbr = 0;
  for (int32_t i = 0; i < n; ++i) {
    for (int32_t j = 0; j < i; ++j) {
      qx_match *m = matrix[static_cast<size_t>(i) * n + j];
      if (m != nullptr && qx_match_get_decision(m) == 1) cells[nbr] = ScoredCell{m, nbr}, ++nbr;
    }
  }
  qx_sort(cells.get(), static_cast<size_t>(nbr), sizeof(ScoredCell), compare_scored);
  for (int32_t k = 0; k < nbr; ++k) {
    const int32_t rc = qx_island_list_add_match(islands, cells[k].match);
    if (rc != QX_RC_OK) return rc;
  }
  for (int32_t i = 0; i < n; ++i) {
    const int32_t rc = qx_island_list_add_single(islands, templates[i]);
    if (rc != QX_RC_OK) return rc;
  }
  return QX_RC_OK;
}

// Drops captures of one island until `share` remain.  0 or 9.
int32_t reduce_island(qx_template *const *templates, int32_t n, Capture *caps, int32_t island,
                      int32_t share, minutiastruct *scratch) {
  int32_t remaining = 0, total = 0;
  for (int32_t i = 0; i < n; ++i) {
    if (caps[i].island != island) continue;
    if (share > 0) {
      if (load_capture(caps[i], templates[i], scratch) != QX_RC_OK) return QX_RC_NO_MEMORY;
      total += caps[i].nbr_minutiae;
    }
    ++remaining;
  }
  if (share <= 0) {
    for (int32_t i = 0; i < n; ++i) {
      if (caps[i].island == island) caps[i].kept = false;
    }
    return QX_RC_OK;
  }
  qx::Buffer<int32_t> xs, ys;
  if (!xs.alloc(total > 0 ? total : 1) || !ys.alloc(total > 0 ? total : 1)) {
    return QX_RC_NO_MEMORY;
  }
  while (remaining > share) {
    int32_t best = -1, best_count = 0;
    for (int32_t cand = 0; cand < n; ++cand) {
      if (caps[cand].island != island || !caps[cand].kept) continue;
      int32_t points = 0;
      for (int32_t o = 0; o < n; ++o) {
        if (o == cand || caps[o].island != island || !caps[o].kept) continue;
        for (int32_t k = 0; k < caps[o].nbr_minutiae; ++k, ++points) {
          xs[points] = caps[o].xs[k];
          ys[points] = caps[o].ys[k];
        }
      }
      const int32_t count = qx_subtemplate_count_cells(xs.get(), ys.get(), points);
      if (count < 0) return QX_RC_NO_MEMORY;
      if (best < 0 || count > best_count || best_count == 0) {
        best = cand;
        best_count = count;
      }
    }
    caps[best].kept = false;
    --remaining;
  }
  return QX_RC_OK;
}

}  // namespace

extern "C" {

int32_t qx_subtemplate_count_cells(const int32_t *xs, const int32_t *ys, int32_t n) {
  if (n <= 0 || xs == nullptr || ys == nullptr) return 0;
  int32_t min_x = xs[0], min_y = ys[0];
  for (int32_t i = 1; i < n; ++i) {
    min_x = std::min(min_x, xs[i]);
    min_y = std::min(min_y, ys[i]);
  }
  // Rounded toward zero: the remainder takes the sign of the value.
  const int64_t x0 = min_x - min_x % kCell, y0 = min_y - min_y % kCell;
  qx::Buffer<int64_t> keys;
  if (!keys.alloc(static_cast<size_t>(n))) return -1;
  for (int32_t i = 0; i < n; ++i) {
    const int64_t cx = (xs[i] - x0) / kCell, cy = (ys[i] - y0) / kCell;
    keys[i] = cx * (int64_t{1} << 32) + cy;
  }
  std::sort(keys.get(), keys.get() + n);
  int32_t cells = 1;
  for (int32_t i = 1; i < n; ++i) {
    if (keys[i] != keys[i - 1]) ++cells;
  }
  return cells;
}

qx_rc qx_subtemplate_choose(qx_template *const *templates, int32_t count,
                            qx_match *const *matrix, int32_t budget,
                            qx_subtemplate_pick **out, int32_t *out_count) {
  if (out != nullptr) *out = nullptr;
  if (out_count != nullptr) *out_count = 0;
  if (out == nullptr || out_count == nullptr || count < 0 ||
      (count > 0 && (templates == nullptr || matrix == nullptr))) {
    return QX_RC_BAD_ARGUMENT;
  }
  if (budget < 1) return QX_RC_CAPACITY_FULL;
  for (int32_t i = 0; i < count; ++i) {
    if (templates[i] == nullptr) return QX_RC_BAD_ARGUMENT;
  }
  if (count == 0) return QX_RC_OK;

  qx_island_list *islands = qx_island_list_create();
  if (islands == nullptr) return QX_RC_NO_MEMORY;
  struct ListGuard {
    qx_island_list *l;
    ~ListGuard() { qx_island_list_delete(l); }
  } guard{islands};
  int32_t rc = build_islands(templates, count, matrix, islands);
  if (rc != QX_RC_OK) return rc;

  Captures caps;
  if (!caps.items.alloc(static_cast<size_t>(count))) return QX_RC_NO_MEMORY;
  for (int32_t i = 0; i < count; ++i) caps.items[i] = Capture{};
  for (int32_t i = 0; i < count; ++i) {
    qx_subtemplate *node = qx_island_list_find(islands, templates[i], &caps.items[i].island);
    rc = qx_subtemplate_get_alignment_to_top(node, &caps.items[i].to_top);
    if (rc != QX_RC_OK) return rc;
  }

  qx::Buffer<minutiastruct> scratch;
  if (!scratch.alloc(1)) return QX_RC_NO_MEMORY;
  const int32_t nbr_islands = qx_island_list_get_nbr_of_islands(islands);
  int32_t given = 0;
  for (int32_t k = 0; k < nbr_islands; ++k) {
    const int32_t size = qx_island_list_get_size(islands, k);
    const int32_t left = budget - given;
    int32_t share;
    if (size == 1) {
      share = left > 0 ? 1 : 0;
    } else {
      share = std::min(size, std::min(left, static_cast<int32_t>(
                                                  static_cast<int64_t>(budget) * size / count + 1)));
    }
    given += share;
    if (size > share) {
      rc = reduce_island(templates, count, caps.items.get(), k, share, scratch.get());
      if (rc != QX_RC_OK) return rc;
    }
  }

  int32_t kept = 0;
  for (int32_t i = 0; i < count; ++i) kept += caps.items[i].kept ? 1 : 0;
  auto *picks = static_cast<qx_subtemplate_pick *>(
      qx_calloc(static_cast<size_t>(kept > 0 ? kept : 1), sizeof(qx_subtemplate_pick)));
  if (picks == nullptr) return QX_RC_NO_MEMORY;
  int32_t filled = 0;
  for (int32_t k = 0; k < nbr_islands; ++k) {
    for (int32_t i = 0; i < count; ++i) {
      Capture &c = caps.items[i];
      if (c.island != k || !c.kept) continue;
      picks[filled].index = i;
      picks[filled].island = k;
      picks[filled].alignment = c.to_top;  // handed over to the pick
      c.to_top = nullptr;
      ++filled;
    }
  }
  *out = picks;
  *out_count = filled;
  return QX_RC_OK;
}

void qx_subtemplate_picks_free(qx_subtemplate_pick *picks, int32_t count) {
  if (picks == nullptr) return;
  for (int32_t i = 0; i < count; ++i) qx_alignment_delete(picks[i].alignment);
  qx_free(picks);
}

}  // extern "C"
