// Reading a compact card for the linked-cluster matcher: the minutiae and
// their quality bytes, duplicates removed, and the reduction of crowded
// cards to the matcher's limit (an x window around the bulk of the print, a
// y limit, and close pairs dropped first).
#include <algorithm>
#include <cstring>

#include "engine/formats/compact_card.h"
#include "engine/formats/format_ids.h"
#include "engine/formats/tlv.h"
#include "engine/image/fixed_math.h"
#include "engine/match/linked_cluster_stages.h"

namespace {

// The element `tag` directly inside the template 0x7F2E, or inside its group
// `group`.
bool find_in_card(const tlv_element &bdt, uint16_t group, uint16_t tag, tlv_element *out) {
  if (tlv_find_tag(bdt.value, bdt.length, tag, out)) return true;
  tlv_element g;
  return tlv_find_tag(bdt.value, bdt.length, group, &g) &&
         tlv_find_tag(g.value, g.length, tag, out);
}

bool has_quality_header(const tlv_element &e) {
  return e.length >= 4 && e.value[0] == QX_CC_PROPRIETARY_HEADER_0 &&
         e.value[1] == QX_CC_PROPRIETARY_HEADER_1 && e.value[2] == QX_CC_PROPRIETARY_HEADER_2 &&
         e.value[3] == QX_CC_PROPRIETARY_HEADER_3;
}

// Keeps the minutiae inside the x window around the bulk of the print and
// above the y limit below its top.
int window_reduce(lc_minutia *m, int n) {
  uint8_t xs[LC_MAX_READ], ys[LC_MAX_READ];
  for (int i = 0; i < n; ++i) xs[i] = m[i].x;
  std::sort(xs, xs + n);
  const int v = (xs[n - n / 16 - 1] + xs[n / 16]) / 2;
  const int lo = v <= 74 ? 0 : v - 75;
  const int hi = v > 180 ? 255 : v + 75;
  int inside = 0;
  for (int i = 0; i < n; ++i)
    if (m[i].x >= lo && m[i].x <= hi) ys[inside++] = m[i].y;
  if (inside == 0) return 0;
  std::sort(ys, ys + inside);
  // The index n/32 is taken over the whole card; the window may hold fewer.
  const int u = ys[std::min(n / 32, inside - 1)];
  int kept = 0;
  for (int i = 0; i < n; ++i)
    if (m[i].x >= lo && m[i].x <= hi && m[i].y <= u + 180) m[kept++] = m[i];
  return kept;
}

}  // namespace

extern "C" void lc_find_minutiae_pairs(const lc_minutia *m, int n, uint8_t *marks) {
  for (int i = 0; i < n; ++i) marks[i] = LC_UNMARKED;
  for (int i = 0; i < n; ++i) {
    for (int k = i + 1; k < n; ++k) {
      const int dx = m[k].x - m[i].x, dy = m[k].y - m[i].y;
      if (dx > 20 || dx < -20 || dy > 20 || dy < -20) continue;
      const int d2 = dx * dx + dy * dy;
      if (d2 >= 400) continue;
      const int d = static_cast<int>(sqrt_32(static_cast<uint32_t>(d2)));
      const int diff = angle_difference(m[i].angle, m[k].angle);
      int mark = LC_UNMARKED;
      if (diff > 114) {
        // Two nearly opposite minutiae across a gap (a broken ridge): each
        // points away from the gap, so the line from the first to the second
        // runs along the second's direction and against the first's.  Step
        // the distance along the mean of those two from the first minutia.
        const int dir = angle_average(m[i].angle + 128, m[k].angle);
        const int px = m[i].x + ((d * cos_(dir) + 8192) >> 14);
        const int py = m[i].y - ((d * sin_(dir) + 8192) >> 14);  // y grows downwards
        const int ex = px - m[k].x, ey = py - m[k].y;
        if (ex * ex + ey * ey <= 24) mark = d;
      } else if (diff <= 13 && d2 < 64) {
        mark = d + 20;
      }
      if (mark < marks[i]) marks[i] = static_cast<uint8_t>(mark);
      if (mark < marks[k]) marks[k] = static_cast<uint8_t>(mark);
    }
  }
}

extern "C" int lc_prune(const uint8_t *card, uint32_t length, int limit, lc_minutia *out,
                        int *count, int *quality_present) {
  if (count != nullptr) *count = 0;
  if (quality_present != nullptr) *quality_present = 0;
  if (card == nullptr || out == nullptr || count == nullptr || quality_present == nullptr)
    return LC_ERR_NO_MINUTIAE;
  limit = std::clamp(limit, 1, LC_MAX_READ);

  tlv_element bdt, mins, ext;
  if (!tlv_find_tag(card, length, QX_CC_TAG_BDT, &bdt)) return LC_ERR_NO_MINUTIAE;
  if (!find_in_card(bdt, QX_CC_TAG_GROUP, QX_CC_TAG_MINUTIAE_V3, &mins) &&
      !find_in_card(bdt, QX_CC_TAG_GROUP, QX_CC_TAG_MINUTIAE_V2, &mins))
    return LC_ERR_NO_MINUTIAE;
  if (mins.length % 3 != 0) return LC_ERR_NO_MINUTIAE;
  const uint32_t on_card = mins.length / 3;

  const uint8_t *qualities = nullptr;
  if (find_in_card(bdt, 0xA2u, QX_CC_TAG_PROPRIETARY, &ext) && has_quality_header(ext)) {
    if (ext.length != 4 + on_card) return LC_ERR_NO_MINUTIAE;
    qualities = ext.value + 4;
  }

  lc_minutia m[LC_MAX_READ];
  int n = 0;
  const int readable = static_cast<int>(std::min<uint32_t>(on_card, LC_MAX_READ));
  for (int i = 0; i < readable; ++i) {
    const uint8_t *p = mins.value + 3 * i;
    bool duplicate = false;
    for (int k = 0; k < n && !duplicate; ++k) duplicate = m[k].x == p[0] && m[k].y == p[1];
    if (duplicate) continue;
    m[n].x = p[0];
    m[n].y = p[1];
    m[n].angle = static_cast<uint8_t>(4 * (p[2] & 0x3F));
    m[n].quality = qualities != nullptr ? qualities[i] : static_cast<uint8_t>(LC_NO_QUALITY);
    ++n;
  }

  if (n > limit) {
    n = window_reduce(m, n);
    if (n > limit) {
      // Close pairs are the least trustworthy: they go behind the others,
      // the widest marks first, and the tail is cut.
      uint8_t marks[LC_MAX_READ];
      lc_find_minutiae_pairs(m, n, marks);
      int order[LC_MAX_READ];
      for (int i = 0; i < n; ++i) order[i] = i;
      std::stable_sort(order, order + n, [&](int a, int b) {
        const bool ma = marks[a] != LC_UNMARKED, mb = marks[b] != LC_UNMARKED;
        if (ma != mb) return !ma;
        return ma && marks[a] > marks[b];
      });
      lc_minutia sorted[LC_MAX_READ];
      for (int i = 0; i < n; ++i) sorted[i] = m[order[i]];
      std::memcpy(m, sorted, sizeof(lc_minutia) * static_cast<size_t>(n));
      n = limit;
    }
  }
  std::memcpy(out, m, sizeof(lc_minutia) * static_cast<size_t>(n));
  *count = n;
  *quality_present = qualities != nullptr ? 1 : 0;
  return LC_OK;
}
