// The spectral matcher's sixteen auxiliary values and the fixed-point
// entropy they use.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "engine/match/spectral_steps.hpp"

namespace qx_spectral {

// Every root the matcher takes is of a value below 2^32 (pair counts of at
// most 765 x 765 blocks times 4096, and smaller products); larger values
// saturate.  The double square root of such a value is correctly rounded,
// and the two corrections make the floor exact whatever the rounding.
uint32_t isqrt64(uint64_t x) {
  if (x > 0xFFFFFFFFu) x = 0xFFFFFFFFu;
  uint64_t r = static_cast<uint64_t>(std::sqrt(static_cast<double>(x)));
  while (r * r > x) --r;
  while ((r + 1) * (r + 1) <= x) ++r;
  return static_cast<uint32_t>(r);
}

namespace {

// log2(x) for x >= 1 in Q32 (32 fractional bits), by repeated squaring of
// the mantissa: each squaring doubles the logarithm, and the bit that
// carries out of [1, 2) is the next binary digit.  Truncating, error below
// 2^-30.
constexpr uint64_t log2_q32_digits(uint32_t x) {
  int ip = 31;
  while (((x >> ip) & 1u) == 0) --ip;
  uint64_t m = static_cast<uint64_t>(x) << (31 - ip);  // [2^31, 2^32): 1.0 in Q31
  uint64_t frac = 0;
  for (int i = 0; i < 32; ++i) {
    m = (m * m) >> 31;
    frac <<= 1;
    if (m >= (uint64_t{1} << 32)) {
      m >>= 1;
      frac |= 1;
    }
  }
  return static_cast<uint64_t>(ip) << 32 | frac;
}

// The same logarithms of the counts a comparison's histograms hold (pairs
// of two small-sensor grids stay below 1024), worked out by the compiler.
constexpr uint32_t kLogTable = 1024;
struct LogTable {
  uint64_t v[kLogTable] = {};
  constexpr LogTable() {
    for (uint32_t x = 1; x < kLogTable; ++x) v[x] = log2_q32_digits(x);
  }
};
constexpr LogTable kLog;
static_assert(kLog.v[1] == 0 && kLog.v[2] == uint64_t{1} << 32 && kLog.v[1023] == log2_q32_digits(1023),
              "logarithm table");

uint64_t log2_q32(uint32_t x) { return x < kLogTable ? kLog.v[x] : log2_q32_digits(x); }

}  // namespace

// Entropy of a histogram, H = log2 N - (1/N) sum h log2 h with N the total,
// reported as floor(H x 4096) (1/4096 bit), capped at 65535.
//
// Why this form: the value is the true Shannon entropy of the bin shares,
// quantised once at the end, so it is monotone in the true entropy (two
// histograms can only swap order when their entropies lie within about
// 2^-17 / 4096 bit of the same quantisation step, far below anything the
// score model can see), it does not depend on the order of the bins, and a
// uniform histogram of k bins gives exactly log2(k) x 4096 where that is an
// integer (32 bins: 20480, 8 bins: 12288).  The logarithms are exact to
// 2^-30, summed as integers, so the result is the same on every machine.
uint16_t spectral_entropy(const uint32_t *hist, int bins) {
  uint64_t total = 0;
  for (int i = 0; i < bins; ++i) total += hist[i];
  if (total == 0 || total > 0xFFFFFFFFu) return 0;
  // N log2 N - sum h log2 h, each term below 2^32 x 2^37: 128 bits.
  using Wide = unsigned __int128;
  Wide t = static_cast<Wide>(total) * log2_q32(static_cast<uint32_t>(total));
  for (int i = 0; i < bins; ++i)
    if (hist[i] > 1) t -= static_cast<Wide>(hist[i]) * log2_q32(hist[i]);
  const Wide h = t / (static_cast<Wide>(total) << 20);  // x 4096 / 2^32 / N
  return static_cast<uint16_t>(h > 65535 ? 65535 : static_cast<uint32_t>(h));
}

namespace {

int first_mode(const uint32_t *hist, int bins) {
  int best = 0;
  for (int i = 1; i < bins; ++i)
    if (hist[i] > hist[best]) best = i;
  return best;
}

uint16_t clamp16(uint64_t v) { return static_cast<uint16_t>(std::min<uint64_t>(v, 65535)); }

// sqrt(65536 |ea - eb| / (ea + eb + 1)): how far apart two entropies are.
uint16_t entropy_gap(uint16_t ea, uint16_t eb) {
  const uint64_t d = static_cast<uint64_t>(std::abs(static_cast<int>(ea) - static_cast<int>(eb)));
  return clamp16(isqrt64(65536 * d / (static_cast<uint64_t>(ea) + eb + 1)));
}

}  // namespace

void aux_values(const Canvas &a, const RowExtent *ea, const Canvas &b, const RowExtent *eb, int x,
                int y, uint16_t aux[QX_SPECTRAL_AUX_COUNT]) {
  uint64_t n = 0, sim_sum = 0, sosf_sum = 0, dfdo_sum = 0, do_sum = 0, df_sum = 0;
  uint32_t ha32[32] = {}, hb32[32] = {}, hsf[22] = {}, hso[22] = {}, hsim[22] = {};
  const int y0 = std::max(0, -y), y1 = std::min(a.rows, b.rows - y);
  for (int ya = y0; ya < y1; ++ya) {
    const int yb = ya + y;
    const int lo = std::max(ea[ya].lo + x, static_cast<int>(eb[yb].lo));
    const int hi = std::min(ea[ya].hi + x, static_cast<int>(eb[yb].hi));
    for (int c = lo; c < hi; ++c) {
      const uint8_t *pa = a.block(ya, c - x), *pb = b.block(yb, c);
      if (pa[1] == 0 || pb[1] == 0) continue;
      const int ado = std::abs(static_cast<int>(static_cast<int8_t>(static_cast<uint8_t>(pa[0] - pb[0]))));
      const int adf = std::abs(static_cast<int>(pa[1]) - static_cast<int>(pb[1]));
      const int so = std::max(0, 21 - ado), sf = std::max(0, 21 - adf), sim = so * sf;
      ++n;
      sim_sum += static_cast<uint64_t>(sim);
      sosf_sum += static_cast<uint64_t>(so + sf);
      dfdo_sum += static_cast<uint64_t>(adf * ado);
      do_sum += static_cast<uint64_t>(ado);
      df_sum += static_cast<uint64_t>(adf);
      ++ha32[pa[0] / 8];
      ++hb32[pb[0] / 8];
      ++hsf[sf];
      ++hso[so];
      ++hsim[sim / 21];
    }
  }
  std::fill(aux, aux + QX_SPECTRAL_AUX_COUNT, uint16_t{0});
  if (n == 0) return;
  aux[0] = clamp16(n);
  aux[1] = clamp16(sim_sum / n);
  aux[2] = clamp16(sosf_sum / n);
  aux[3] = clamp16(isqrt64(64 * dfdo_sum / n));
  aux[4] = clamp16(isqrt64(256 * do_sum / n));
  aux[5] = clamp16(isqrt64(256 * df_sum / n));
  const uint16_t e32a = spectral_entropy(ha32, 32), e32b = spectral_entropy(hb32, 32);
  aux[6] = entropy_gap(e32a, e32b);
  aux[7] = std::min(e32a, e32b);
  uint32_t ha8[8] = {}, hb8[8] = {};
  for (int i = 0; i < 32; ++i) {
    ha8[i / 4] += ha32[i];
    hb8[i / 4] += hb32[i];
  }
  const uint16_t e8a = spectral_entropy(ha8, 8), e8b = spectral_entropy(hb8, 8);
  aux[8] = entropy_gap(e8a, e8b);
  aux[9] = std::min(e8a, e8b);
  aux[10] = spectral_entropy(hsf, 22);
  aux[11] = spectral_entropy(hso, 22);
  aux[12] = spectral_entropy(hsim, 22);
  aux[13] = static_cast<uint16_t>(first_mode(hsf, 22));
  aux[14] = static_cast<uint16_t>(first_mode(hso, 22));
  aux[15] = static_cast<uint16_t>(first_mode(hsim, 22));
}

}  // namespace qx_spectral
