// Bit-exactness guard for the extraction pipeline.  Every output of the
// integer transforms, of bal_extract (minutiae, singular points, fields,
// debug picture), of the enhancement and of a template extraction is
// folded into an FNV-1a hash and compared with the value the reference
// implementation produced.  Speed work on these paths may change the
// amount and order of work but never a single output bit; any drift shows
// up here as a changed hash.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/image/enhance.h"
#include "engine/image/extract.h"
#include "engine/image/fft.h"
#include "engine/image/qx_image.h"
#include "engine/match/qx_config.h"
#include "engine/objects/qx_algorithm.h"
#include "engine/objects/qx_session.h"
#include "engine/objects/qx_template.h"
#include "engine/qx_simd.h"
#include "image_gen.hpp"

namespace {

// Set to print the hashes instead of checking them (when a deliberate
// change of the algorithm needs new reference values).
constexpr bool kPrintOnly = false;

struct Fnv {
  uint64_t h = 1469598103934665603ull;
  void byte(uint8_t b) {
    h ^= b;
    h *= 1099511628211ull;
  }
  void bytes(const void *p, size_t n) {
    const auto *b = static_cast<const uint8_t *>(p);
    for (size_t i = 0; i < n; ++i) byte(b[i]);
  }
  void i64(int64_t v) {
    for (int i = 0; i < 8; ++i) byte(static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i)));
  }
};

// Every golden value is checked on both paths of the vector kernels: the
// processor's own (AVX2 where it has it) and the plain one, which must give
// the same bits.
class ExtractGolden : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { previous_ = qx_simd_force_plain(GetParam() ? 1 : 0); }
  void TearDown() override { qx_simd_force_plain(previous_); }

 private:
  int previous_ = 0;
};

void check(const char *what, uint64_t got, uint64_t want) {
  if (kPrintOnly) {
    std::printf("  {\"%s\", 0x%016llxull},\n", what, static_cast<unsigned long long>(got));
    return;
  }
  EXPECT_EQ(got, want) << what << ": 0x" << std::hex << got;
}

// Deterministic values in [-limit, limit].
struct Lcg {
  uint32_t s;
  int32_t next(int32_t limit) {
    s = s * 1664525u + 1013904223u;
    return static_cast<int32_t>((s >> 8) % static_cast<uint32_t>(2 * limit + 1)) - limit;
  }
};

template <int N>
uint64_t transforms_hash(void (*fwd1)(int32_t *, int32_t *), void (*inv1)(int32_t *, int32_t *),
                         void (*fwd2)(const int32_t *, int32_t *, int32_t *, int32_t *),
                         void (*inv2)(int32_t *, int32_t *, int32_t *, int32_t *), uint32_t seed) {
  Fnv f;
  Lcg g{seed};
  constexpr int H = N / 2 + 1;
  std::vector<int32_t> re(N), im(N), block(N * N), sre(N * H), sim(N * H), scratch(FFT_SCRATCH_WORDS(N)),
      out(N * N);
  for (int trial = 0; trial < 24; ++trial) {
    // 1-D pairs, on full-range 8-bit pixels scaled by 2^13 as the filters use.
    for (int i = 0; i < N; ++i) {
      re[i] = g.next(128 << 13);
      im[i] = g.next(128 << 13);
    }
    fwd1(re.data(), im.data());
    f.bytes(re.data(), N * 4);
    f.bytes(im.data(), N * 4);
    inv1(re.data(), im.data());
    f.bytes(re.data(), N * 4);
    f.bytes(im.data(), N * 4);
    // 2-D forward and inverse; some trials have zero rows or columns, as
    // the padded tiles at the image border do.
    for (int r = 0; r < N; ++r)
      for (int c = 0; c < N; ++c) {
        const bool zero = (trial % 3 == 1 && r >= N / 2 + trial % 5) || (trial % 3 == 2 && c < trial % 7);
        block[r * N + c] = zero ? 0 : g.next(128 << 13);
      }
    fwd2(block.data(), sre.data(), sim.data(), scratch.data());
    f.bytes(sre.data(), sre.size() * 4);
    f.bytes(sim.data(), sim.size() * 4);
    // Inverse of a damped copy of the spectrum, as a band-pass leaves it.
    for (int t = 0; t < N * H; ++t) {
      const int32_t gain = (t * 37 + trial) % 256;
      sre[t] = static_cast<int32_t>((static_cast<int64_t>(sre[t]) * gain) >> 8);
      sim[t] = static_cast<int32_t>((static_cast<int64_t>(sim[t]) * gain) >> 8);
    }
    inv2(sre.data(), sim.data(), out.data(), scratch.data());
    f.bytes(out.data(), out.size() * 4);
  }
  return f.h;
}

TEST_P(ExtractGolden, KernelsTakeThePathAskedFor) {
  if (GetParam()) {
    EXPECT_EQ(qx_simd_use_avx2(), 0);
  }
  EXPECT_EQ(qx_simd_force_plain(1), GetParam() ? 1 : 0);
  EXPECT_EQ(qx_simd_use_avx2(), 0);
  qx_simd_force_plain(GetParam() ? 1 : 0);
}

TEST_P(ExtractGolden, TransformsOnRandomBlocks) {
  check("fft16", transforms_hash<16>(fftn16, fftni16, fftn2d16, fftni2d16, 16), 0x0cf353e75424f73dull);
  check("fft32", transforms_hash<32>(fftn32, fftni32, fftn2d32, fftni2d32, 32), 0x85726ef7ee2b601eull);
  check("fft64", transforms_hash<64>(fftn64, fftni64, fftn2d64, fftni2d64, 64), 0xd4ce110f00de130eull);
}

// The 32-bit-product forms must equal the general transforms over their
// whole input range, extremes included (all -2^20, alternating signs, a
// checkerboard of the extremes, random values), and so must the inverse
// of the tile rows on such a spectrum after a band-pass gain.
template <int N>
void expect_bounded_equal(void (*general)(const int32_t *, int32_t *, int32_t *, int32_t *),
                          void (*bounded)(const int32_t *, int32_t *, int32_t *),
                          void (*inv)(int32_t *, int32_t *, int32_t *, int32_t *),
                          void (*inv_rows)(int32_t *, int32_t *, int32_t *, int, int), bool columns) {
  constexpr int H = N / 2 + 1;
  std::vector<int32_t> block(N * N), r1(N * H), i1(N * H), r2(N * H), i2(N * H), scratch(FFT_SCRATCH_WORDS(N));
  Lcg g{N * 7u};
  for (int pattern = 0; pattern < 40; ++pattern) {
    for (int r = 0; r < N; ++r)
      for (int c = 0; c < N; ++c) {
        int32_t v;
        switch (pattern) {
          case 0: v = -(1 << 20); break;
          case 1: v = (1 << 20); break;
          case 2: v = ((r + c) & 1) ? (1 << 20) : -(1 << 20); break;
          case 3: v = (c & 1) ? -(1 << 20) : (1 << 20); break;
          case 4: v = ((r / 2 + c / 3) & 1) ? -(1 << 20) : (1 << 20); break;
          default: v = pattern % 2 ? g.next(1 << 20) : (g.next(1) < 0 ? -(1 << 20) : g.next(1 << 20));
        }
        block[r * N + c] = v;
      }
    general(block.data(), r1.data(), i1.data(), scratch.data());
    if (columns) {
      // A request for 11 columns fills 16; column 16 stays as it was.
      std::fill(r2.begin(), r2.end(), 77);
      std::fill(i2.begin(), i2.end(), 77);
      fftn2d32_columns(block.data(), r2.data(), i2.data(), 11);
      for (int v = 0; v < N; ++v) {
        ASSERT_EQ(r2[v * H + 16], 77);
        ASSERT_EQ(i2[v * H + 16], 77);
      }
      for (int v = 0; v < N; ++v)
        for (int u = 0; u < 16; ++u) {
          ASSERT_EQ(r1[v * H + u], r2[v * H + u]) << pattern;
          ASSERT_EQ(i1[v * H + u], i2[v * H + u]) << pattern;
        }
    } else {
      bounded(block.data(), r2.data(), i2.data());
      ASSERT_EQ(r1, r2) << pattern;
      ASSERT_EQ(i1, i2) << pattern;
      // Inverse of the spectrum under a band-pass gain (<= 255/256, whole
      // high-frequency columns zero in some patterns), the tile rows only.
      for (int t = 0; t < N * H; ++t) {
        const int32_t gain = (pattern % 3 == 0 && t % H > H / 2) ? 0 : (pattern < 5 ? 255 : (t * 53 + pattern) % 256);
        r1[t] = r2[t] = (r1[t] * gain) >> 8;
        i1[t] = i2[t] = (i1[t] * gain) >> 8;
      }
      std::vector<int32_t> out1(N * N), out2(N * N, 0x5A5A5A5A);
      inv(r1.data(), i1.data(), out1.data(), scratch.data());
      inv_rows(r2.data(), i2.data(), out2.data(), N / 4, N / 4 + N / 2);
      for (int r = N / 4; r < N / 4 + N / 2; ++r)
        for (int c = 0; c < N; ++c) ASSERT_EQ(out1[r * N + c], out2[r * N + c]) << pattern << " " << r << " " << c;
    }
  }
}

TEST_P(ExtractGolden, BoundedTransformsEqualTheGeneralOnes) {
  expect_bounded_equal<16>(fftn2d16, fftn2d16_bounded, fftni2d16, fftni2d16_rows, false);
  expect_bounded_equal<32>(fftn2d32, fftn2d32_bounded, fftni2d32, fftni2d32_rows, false);
  expect_bounded_equal<32>(fftn2d32, nullptr, nullptr, nullptr, true);
}

void hash_field(Fnv &f, const bal_block_field &b, bool fine) {
  f.i64(b.rows);
  f.i64(b.cols);
  f.i64(b.block);
  f.i64(b.row_offset);
  f.i64(b.col_offset);
  if (b.data != nullptr) f.bytes(b.data, static_cast<size_t>(b.rows) * b.cols);
  if (fine && b.fine != nullptr) f.bytes(b.fine, static_cast<size_t>(b.rows) * b.cols * 9);
}

uint64_t extract_hash(std::vector<uint8_t> px, int rows, int cols, uint32_t extra_flags) {
  bal_extract_result r;
  std::memset(&r, 0, sizeof r);
  r.flags = BAL_EXTRACT_CORES | BAL_EXTRACT_DELTAS | BAL_EXTRACT_QUALITY_FIELD | BAL_EXTRACT_ORIENTATION_FIELD |
            BAL_EXTRACT_FREQUENCY_FIELD | BAL_EXTRACT_DEBUG_PICTURE | extra_flags;
  r.cores.request = r.deltas.request = 1;
  r.quality_field.request = 1;
  const bool fine = (extra_flags & BAL_EXTRACT_FINE_FIELDS) != 0;
  r.orientation_field.request = r.frequency_field.request = fine ? 3 : 1;
  r.debug.request = 1;
  Fnv f;
  const int rc = bal_extract(px.data(), rows, cols, &r);
  EXPECT_EQ(rc, 0);
  f.i64(rc);
  const minutiastruct &m = r.minutiae;
  EXPECT_GT(m.count, 0) << rows << "x" << cols;
  EXPECT_NE(r.orientation_field.data, nullptr);
  f.i64(m.count);
  for (int i = 0; i < m.count; ++i) {
    const bal_minutia &x = m.minutiae[i];
    f.i64(x.row);
    f.i64(x.col);
    f.bytes(&x.direction, 1);
    f.bytes(&x.type, 1);
    f.bytes(&x.quality, 1);
    f.bytes(&x.wavelength, 1);
  }
  f.i64(m.rows);
  f.i64(m.cols);
  f.i64(m.finger_quality);
  for (int i = 0; i < r.cores.count && i < 4; ++i) {
    f.i64(r.cores.entries[i].row);
    f.i64(r.cores.entries[i].col);
    f.i64(r.cores.entries[i].direction);
  }
  for (int i = 0; i < r.deltas.count && i < 4; ++i) {
    f.i64(r.deltas.entries[i].row);
    f.i64(r.deltas.entries[i].col);
    f.bytes(r.deltas.entries[i].direction, 3);
  }
  const bal_quality_field &q = r.quality_field;
  f.i64(q.rows);
  f.i64(q.cols);
  if (q.data != nullptr) f.bytes(q.data, static_cast<size_t>(q.rows) * q.cols);
  hash_field(f, r.orientation_field, fine);
  hash_field(f, r.frequency_field, fine);
  if (r.debug.picture != nullptr) f.bytes(r.debug.picture, static_cast<size_t>(r.debug.rows) * r.debug.cols);
  f.i64(r.centre_row);
  f.i64(r.centre_col);
  f.i64(r.finger_quality);
  f.i64(r.area);
  bal_extract_release(&r);
  return f.h;
}

// Ridges in an ellipse whose phase winds once around two points (one
// ridge ends or forks at each), with noise on top: the tiles hold many
// filter classes and the skeleton has minutiae.
std::vector<uint8_t> print(int rows, int cols, double period, double degrees, double fill, uint32_t seed) {
  std::vector<uint8_t> px(static_cast<size_t>(rows) * cols);
  const double t = degrees * M_PI / 180.0;
  const double y1 = rows * 0.35, x1 = cols * 0.4, y2 = rows * 0.65, x2 = cols * 0.6;
  const double cy = rows / 2.0, cx = cols / 2.0, ry = rows * fill / 2, rx = cols * fill / 2;
  const std::vector<uint8_t> n = imggen::noise(rows, cols, seed);
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c) {
      const size_t i = static_cast<size_t>(r) * cols + c;
      const double phase = 2 * M_PI * (c * std::cos(t) + r * std::sin(t)) / period + std::atan2(r - y1, c - x1) -
                           std::atan2(r - y2, c - x2);
      const double dy = (r - cy) / ry, dx = (c - cx) / rx;
      const int v = dy * dy + dx * dx > 1 ? 255 : static_cast<int>(std::lround(128 + 100 * std::cos(phase)));
      px[i] = static_cast<uint8_t>((v * 7 + n[i]) / 8);
    }
  return px;
}

TEST_P(ExtractGolden, ExtractionOnGeneratedPrints) {
  check("print120", extract_hash(print(120, 120, 9, 30, 0.9, 1), 120, 120, 0), 0x84b8de0f0d66bebeull);
  check("print160", extract_hash(print(160, 160, 8, 70, 0.8, 2), 160, 160, 0), 0xe6512c94d84bf1e7ull);
  check("print300", extract_hash(print(300, 300, 9, 30, 0.9, 3), 300, 300, 0), 0x4d59f567a8cb512bull);
  check("print256x200", extract_hash(print(256, 200, 11, 125, 0.75, 4), 256, 200, 0), 0x03d687c533c7589cull);
  check("print120fine", extract_hash(print(120, 120, 7, 160, 0.95, 5), 120, 120, BAL_EXTRACT_FINE_FIELDS), 0xcd7b7cabcc683476ull);
  check("print200half", extract_hash(print(200, 200, 10, 45, 0.85, 6), 200, 200, BAL_EXTRACT_HALF_FREQUENCY), 0x8f8abac2ca4e5f59ull);
  check("print180", extract_hash(print(180, 180, 9, 100, 0.9, 99), 180, 180, 0), 0xe963dfef5c32033cull);
  // A 250 dpi input with fine fields, and one taller than the working
  // image (cropped around the centre).
  check("print150dpi250fine",
        extract_hash(print(150, 150, 5, 60, 0.9, 7), 150, 150, BAL_EXTRACT_250DPI | BAL_EXTRACT_FINE_FIELDS),
        0x2e883106f7520805ull);
  check("print1150x160", extract_hash(print(1150, 160, 9, 20, 0.9, 8), 1150, 160, 0), 0xd61ccaa99b343ecbull);
}

uint64_t enhance_hash(int rows, int cols, double period, double degrees) {
  std::vector<uint8_t> px = imggen::finger(rows, cols, period, degrees, 0.9);
  const std::vector<uint8_t> n = imggen::noise(rows, cols, 7);
  for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<uint8_t>((px[i] * 7 + n[i]) / 8);
  qx_image *image = qx_image_create(rows, cols, 500, 500, px.data(), 0);
  qx_image *out = nullptr;
  Fnv f;
  EXPECT_EQ(enhance_image(nullptr, image, &out), 0);
  if (out != nullptr) {
    f.i64(qx_image_get_rows(out));
    f.i64(qx_image_get_cols(out));
    f.bytes(qx_image_get_pixels(out), static_cast<size_t>(qx_image_get_rows(out)) * qx_image_get_cols(out));
  }
  qx_image_delete(out);
  qx_image_delete(image);
  return f.h;
}

TEST_P(ExtractGolden, EnhancementOnGeneratedPrints) {
  check("enhance88", enhance_hash(88, 88, 9, 30), 0x9b8b21c799321371ull);
  check("enhance256x360", enhance_hash(256, 360, 10, 75), 0x67ad87965b2cfe0bull);
}

TEST_P(ExtractGolden, TemplateThroughTheSmallSensorConfiguration) {
  qx_session *session = qx_session_create();
  qx_algorithm *alg = square_xs_create(session);
  ASSERT_NE(alg, nullptr);
  Fnv f;
  for (int k = 0; k < 3; ++k) {
    std::vector<uint8_t> px = print(88, 88, 8 + k, 30 + 50 * k, 1.1, 20 + k);
    qx_image *image = qx_image_create(88, 88, 500, 500, px.data(), 0);
    qx_template *tpl = nullptr;
    EXPECT_EQ(qx_algorithm_extract_template(alg, image, nullptr, &tpl), 0);
    ASSERT_NE(tpl, nullptr);
    EXPECT_GT(qx_template_get_data_size(tpl), 0u);
    if (tpl != nullptr) f.bytes(qx_template_get_data(tpl), qx_template_get_data_size(tpl));
    qx_template_delete(tpl);
    qx_image_delete(image);
  }
  check("template88", f.h, 0x2c9d119ac9b8c18eull);
  qx_algorithm_delete(alg);
  qx_session_delete(session);
}

INSTANTIATE_TEST_SUITE_P(Paths, ExtractGolden, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) { return info.param ? "plain" : "vector"; });

}  // namespace
