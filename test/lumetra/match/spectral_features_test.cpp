// Matcher feature sets: conversion from the spectral part, reading them
// back, the quick match and the fixed-point entropy.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "engine/formats/hybrid_record.h"
#include "engine/match/spectral_match.h"
#include "engine/match/spectral_steps.hpp"
#include "engine/qx_alloc.h"
#include "engine/qx_rc.h"
#include "spectral_fixtures.hpp"

namespace {

using spectral_test::Bytes;
using spectral_test::make_set;
using spectral_test::uniform_blocks;

struct Converted {
  int rc;
  Bytes set;
  int32_t y_offset, x_offset, rows, cols;
  uint32_t length;
};

Converted convert(const Bytes &part, int quick = 0, bool validate_only = false) {
  Converted c{};
  uint8_t *f = nullptr;
  c.rc = qx_fusion_spectral_to_matcher(part.data(), static_cast<uint32_t>(part.size()), validate_only ? nullptr : &f,
                                       &c.length, &c.y_offset, &c.x_offset, &c.rows, &c.cols, quick);
  if (f != nullptr) {
    c.set.assign(f, f + c.length);
    qx_free(f);
  }
  return c;
}

// Short layout: block size 12, offsets, rows, cols, entries of `entry` bytes.
Bytes short_part(int rows, int cols, int entry, int8_t y_off = -4, int8_t x_off = 3) {
  Bytes p = {12, static_cast<uint8_t>(y_off), static_cast<uint8_t>(rows), static_cast<uint8_t>(x_off),
             static_cast<uint8_t>(cols)};
  for (int i = 0; i < rows * cols; ++i) {
    p.push_back(static_cast<uint8_t>(10 * i + 1));
    p.push_back(static_cast<uint8_t>(100 + i));
    if (entry == 3) p.push_back(0xEE);
  }
  return p;
}

// Long layout around a main part, with an extension.
Bytes long_part(const Bytes &main, const Bytes &extension) {
  Bytes p = {0, 0, static_cast<uint8_t>(main.size() >> 8), static_cast<uint8_t>(main.size())};
  p.insert(p.end(), main.begin(), main.end());
  p.insert(p.end(), extension.begin(), extension.end());
  return p;
}

uint8_t xor_all(const Bytes &b) {
  uint8_t x = 0;
  for (uint8_t v : b) x ^= v;
  return x;
}

TEST(SpectralConversion, ShortLayoutCopiesTheBlocksAndSetsTheCheckByte) {
  for (int entry : {2, 3}) {
    const Bytes part = short_part(2, 3, entry);
    const Converted c = convert(part);
    ASSERT_EQ(c.rc, 0) << entry;
    ASSERT_EQ(c.set.size(), 10u + 12u);
    EXPECT_EQ(c.length, 22u);
    const Bytes head(c.set.begin(), c.set.begin() + 9);
    EXPECT_EQ(head, (Bytes{0x5B, 0xDA, 2, 12, 0x01, 0xF4, 3, 2, 0}));
    EXPECT_EQ(xor_all(c.set), 0);
    for (int i = 0; i < 6; ++i) {
      EXPECT_EQ(c.set[10 + 2 * i], 10 * i + 1);
      EXPECT_EQ(c.set[11 + 2 * i], 100 + i);
    }
    EXPECT_EQ(c.y_offset, -4);
    EXPECT_EQ(c.x_offset, 3);
    EXPECT_EQ(c.rows, 2);
    EXPECT_EQ(c.cols, 3);
  }
}

TEST(SpectralConversion, ValidationOnlyReportsSizesWithoutAllocating) {
  const long live = qx_alloc_live();
  const Converted c = convert(short_part(4, 5, 2, -8, -2), 0, true);
  EXPECT_EQ(c.rc, 0);
  EXPECT_TRUE(c.set.empty());
  EXPECT_EQ(c.length, 10u + 40u);
  EXPECT_EQ(c.y_offset, -8);
  EXPECT_EQ(c.x_offset, -2);
  EXPECT_EQ(c.rows, 4);
  EXPECT_EQ(c.cols, 5);
  EXPECT_EQ(qx_alloc_live(), live);
}

TEST(SpectralConversion, Type1ExtensionIsCopiedUnlessQuick) {
  const Bytes main = short_part(1, 2, 2);
  Bytes ext = {1, 0, 36};
  for (int i = 0; i < 36; ++i) ext.push_back(static_cast<uint8_t>(200 - i));
  const Bytes part = long_part(main, ext);
  const Converted full = convert(part);
  ASSERT_EQ(full.rc, 0);
  ASSERT_EQ(full.set.size(), 10u + 4u + 36u);
  EXPECT_TRUE(std::equal(ext.begin() + 3, ext.end(), full.set.begin() + 14));
  EXPECT_EQ(xor_all(full.set), 0);
  const Converted quick = convert(part, 1);
  ASSERT_EQ(quick.rc, 0);
  EXPECT_EQ(quick.set.size(), 14u);
  // Unknown extension types are skipped.
  Bytes other = ext;
  other[0] = 7;
  const Converted skipped = convert(long_part(main, other));
  ASSERT_EQ(skipped.rc, 0);
  EXPECT_EQ(skipped.set.size(), 14u);
}

TEST(SpectralConversion, Type2ExtensionDecodesBlockPlusFourTimesDelta) {
  // A 2 x 1 grid whose fine entries differ from their block by known steps.
  const uint8_t ori[2] = {100, 30}, frq[2] = {90, 120};
  Bytes fine_o(18), fine_f(18);
  const int deltas[8] = {0, 4, -4, 8, -8, 3, -6, 5};  // quantised 0, 1, -1, 2, -2, 1, -2, 1
  const int quant[8] = {0, 1, -1, 2, -2, 1, -2, 1};
  const int order[8][2] = {{0, 0}, {0, 1}, {0, 2}, {1, 0}, {1, 2}, {2, 0}, {2, 1}, {2, 2}};
  for (int r = 0; r < 2; ++r) {
    for (int k = 0; k < 8; ++k) {
      const int at = (3 * r + order[k][0]) * 3 + order[k][1];
      fine_o[at] = static_cast<uint8_t>(ori[r] + deltas[k]);
      fine_f[at] = static_cast<uint8_t>(frq[r] - deltas[k]);
    }
    fine_o[(3 * r + 1) * 3 + 1] = ori[r];
    fine_f[(3 * r + 1) * 3 + 1] = frq[r];
  }
  const qx_block_field fo{ori, 2, 1, 12, -4, -5, fine_o.data()};
  const qx_block_field ff{frq, 2, 1, 12, -4, -5, fine_f.data()};
  uint8_t *part = nullptr;
  uint32_t size = 0;
  ASSERT_EQ(qx_spectral_part_encode(&fo, &ff, &part, &size), 0);
  const Bytes p(part, part + size);
  qx_free(part);
  const Converted c = convert(p);
  ASSERT_EQ(c.rc, 0);
  ASSERT_EQ(c.set.size(), 10u + 2u * 20u);
  EXPECT_EQ(c.y_offset, -5);
  EXPECT_EQ(c.x_offset, -4);
  const uint8_t *f = c.set.data() + 14;
  for (int r = 0; r < 2; ++r) {
    EXPECT_EQ(f[2 * ((3 * r + 1) * 3 + 1)], ori[r]);
    for (int k = 0; k < 8; ++k) {
      const int at = (3 * r + order[k][0]) * 3 + order[k][1];
      EXPECT_EQ(f[2 * at], static_cast<uint8_t>(ori[r] + 4 * quant[k])) << r << " " << k;
      EXPECT_EQ(f[2 * at + 1], static_cast<uint8_t>(frq[r] - 4 * quant[k])) << r << " " << k;
    }
  }
  // A stream cut short is refused, in validation as well.
  Bytes broken = p;
  const size_t ext = 4 + 5 + 4;         // extension type byte
  const size_t lo_at = ext + 3;         // orientation stream length
  broken[lo_at + 1] = static_cast<uint8_t>(broken[lo_at + 1] - 1);  // one byte less than it holds
  EXPECT_EQ(convert(broken).rc, QX_RC_UNSUPPORTED);
  EXPECT_EQ(convert(broken, 0, true).rc, QX_RC_UNSUPPORTED);
  EXPECT_EQ(convert(broken, 1).rc, 0);  // the quick form does not read the field
}

TEST(SpectralConversion, RefusesMalformedParts) {
  EXPECT_EQ(convert(Bytes{12, 0, 0}).rc, QX_RC_UNSUPPORTED);          // 3 bytes or less
  EXPECT_EQ(convert(Bytes{12, 0, 1, 0}).rc, QX_RC_UNSUPPORTED);       // no room for the header
  Bytes bad = short_part(2, 2, 2);
  bad.push_back(0);                                                    // neither 2 nor 3 per block
  EXPECT_EQ(convert(bad).rc, QX_RC_UNSUPPORTED);
  const Bytes main = short_part(2, 2, 2);
  Bytes p = long_part(main, {});
  p[1] = 1;
  EXPECT_EQ(convert(p).rc, QX_RC_NOT_A_RECORD);                               // long layout, byte 1
  p = long_part(main, {});
  p[3] = static_cast<uint8_t>(main.size() + 1);
  EXPECT_EQ(convert(p).rc, QX_RC_MALFORMED);                               // length past the input
  p = long_part(main, {2, 0, 10, 0, 0});
  EXPECT_EQ(convert(p).rc, QX_RC_TRUNCATED);                               // extension past the input
  p = long_part(main, {2, 0});
  EXPECT_EQ(convert(p).rc, QX_RC_TRUNCATED);                               // extension header cut
  Bytes zero_code = short_part(1, 1, 2);
  zero_code[0] = 0x30;                                                 // block-size code 0
  EXPECT_EQ(convert(zero_code).rc, QX_RC_UNSUPPORTED);
}

TEST(SpectralConversion, EveryAllocationFailureAnswers9AndLeaksNothing) {
  std::vector<uint8_t> fo(9 * 6, 80), ff(9 * 6, 100), o(6, 80), f(6, 100);
  const qx_block_field bo{o.data(), 2, 3, 12, 0, 0, fo.data()};
  const qx_block_field bf{f.data(), 2, 3, 12, 0, 0, ff.data()};
  uint8_t *part = nullptr;
  uint32_t size = 0;
  ASSERT_EQ(qx_spectral_part_encode(&bo, &bf, &part, &size), 0);
  const Bytes p(part, part + size);
  qx_free(part);
  for (bool validate : {false, true}) {
    const long live = qx_alloc_live();
    int k = 0;
    for (;; ++k) {
      qx_alloc_fail_after(k);
      const Converted c = convert(p, 0, validate);
      const bool fired = !qx_alloc_fail_pending();
      qx_alloc_fail_after(-1);
      if (!fired) {
        EXPECT_EQ(c.rc, 0);
        break;
      }
      EXPECT_EQ(c.rc, QX_RC_NO_MEMORY) << k;
      EXPECT_TRUE(c.set.empty());
      ASSERT_EQ(qx_alloc_live(), live);
    }
    EXPECT_GT(k, 0);
  }
}

// ---------------------------------------------------------------------------

TEST(SpectralFeatureSet, CheckByteIsTestedUnlessBytes8And9AreZero) {
  Bytes set = make_set(2, 2, uniform_blocks(4, 40, 100));
  qx_spectral::Grid g;
  EXPECT_TRUE(qx_spectral::read_grid(set.data(), static_cast<uint32_t>(set.size()), &g));
  Bytes unchecked = set;
  unchecked[9] = 0;
  if (xor_all(unchecked) == 0) unchecked[10] ^= 1;  // make sure the xor is not 0
  EXPECT_TRUE(qx_spectral::read_grid(unchecked.data(), static_cast<uint32_t>(unchecked.size()), &g));
  Bytes wrong = set;
  wrong[9] ^= 0x40;
  EXPECT_FALSE(qx_spectral::read_grid(wrong.data(), static_cast<uint32_t>(wrong.size()), &g));
  uint16_t v[2] = {7, 7};
  EXPECT_EQ(qx_spectral_quick_match(wrong.data(), static_cast<uint32_t>(wrong.size()), set.data(),
                                    static_cast<uint32_t>(set.size()), v), 1);
  EXPECT_EQ(v[0], 0);
  EXPECT_EQ(qx_spectral_quick_match(unchecked.data(), static_cast<uint32_t>(unchecked.size()), set.data(),
                                    static_cast<uint32_t>(set.size()), v), 0);
  EXPECT_EQ(qx_spectral_match_required_mem(wrong.data(), static_cast<uint32_t>(wrong.size()), set.data(),
                                           static_cast<uint32_t>(set.size()), 0), 0u);
}

TEST(SpectralQuickMatch, IdenticalAndOneBinTurnedHistogramsCountEveryBlock) {
  Bytes blocks;
  for (int i = 0; i < 30; ++i) {
    blocks.push_back(static_cast<uint8_t>(i * 37));
    blocks.push_back(static_cast<uint8_t>(60 + 5 * (i % 7)));
  }
  const Bytes a = make_set(5, 6, blocks);
  uint16_t v[2];
  ASSERT_EQ(qx_spectral_quick_match(a.data(), static_cast<uint32_t>(a.size()), a.data(),
                                    static_cast<uint32_t>(a.size()), v), 0);
  EXPECT_EQ(v[0], 30);
  EXPECT_EQ(v[1], 30);
  // Every orientation one bin (21 steps) further: the cyclic shift finds it.
  Bytes turned = blocks;
  for (size_t i = 0; i < turned.size(); i += 2) turned[i] = static_cast<uint8_t>(turned[i] + 21);
  const Bytes b = make_set(5, 6, turned);
  ASSERT_EQ(qx_spectral_quick_match(a.data(), static_cast<uint32_t>(a.size()), b.data(),
                                    static_cast<uint32_t>(b.size()), v), 0);
  EXPECT_EQ(v[0], 30);
}

TEST(SpectralQuickMatch, FrequencyZeroNeverCounts) {
  Bytes blocks = uniform_blocks(12, 64, 100);
  for (int i = 0; i < 12; i += 3) blocks[2 * i + 1] = 0;  // 4 blocks without ridges
  const Bytes a = make_set(3, 4, blocks);
  uint16_t v[2];
  ASSERT_EQ(qx_spectral_quick_match(a.data(), static_cast<uint32_t>(a.size()), a.data(),
                                    static_cast<uint32_t>(a.size()), v), 0);
  EXPECT_EQ(v[0], 8);
  EXPECT_EQ(v[1], 8);
  // Against an empty grid nothing overlaps.
  const Bytes empty = make_set(3, 4, uniform_blocks(12, 64, 0));
  ASSERT_EQ(qx_spectral_quick_match(a.data(), static_cast<uint32_t>(a.size()), empty.data(),
                                    static_cast<uint32_t>(empty.size()), v), 0);
  EXPECT_EQ(v[0], 0);
  EXPECT_EQ(v[1], 0);
}

TEST(SpectralQuickMatch, FrequencyHistogramsAreNotShifted) {
  // Orientations 0 and frequencies in bins 4 (84) and 5 (105).
  const Bytes a = make_set(1, 4, Bytes{0, 84, 0, 84, 0, 84, 0, 105});
  const Bytes b = make_set(1, 4, Bytes{0, 105, 0, 105, 0, 105, 0, 126});
  uint16_t v[2];
  ASSERT_EQ(qx_spectral_quick_match(a.data(), static_cast<uint32_t>(a.size()), b.data(),
                                    static_cast<uint32_t>(b.size()), v), 0);
  EXPECT_EQ(v[0], 4);
  EXPECT_EQ(v[1], 1);
  // Bin 12 wraps to bin 0: orientation 245 lands with orientation 0.
  const Bytes c = make_set(1, 1, Bytes{245, 100}), d = make_set(1, 1, Bytes{5, 100});
  ASSERT_EQ(qx_spectral_quick_match(c.data(), static_cast<uint32_t>(c.size()), d.data(),
                                    static_cast<uint32_t>(d.size()), v), 0);
  EXPECT_EQ(v[0], 1);
}

TEST(SpectralQuickMatch, GridWithoutRowsGivesZeroes) {
  const Bytes a = make_set(0, 5, {});
  const Bytes b = make_set(2, 2, uniform_blocks(4, 1, 1));
  uint16_t v[2] = {9, 9};
  EXPECT_EQ(qx_spectral_quick_match(a.data(), static_cast<uint32_t>(a.size()), b.data(),
                                    static_cast<uint32_t>(b.size()), v), 0);
  EXPECT_EQ(v[0], 0);
  EXPECT_EQ(v[1], 0);
}

// ---------------------------------------------------------------------------

TEST(SpectralIsqrt, FloorOfTheRootUpTo32Bits) {
  using qx_spectral::isqrt64;
  for (uint64_t r : {0ull, 1ull, 2ull, 255ull, 4096ull, 46340ull, 65535ull}) {
    EXPECT_EQ(isqrt64(r * r), r);
    if (r > 0) {
      EXPECT_EQ(isqrt64(r * r - 1), r - 1);
    }
    EXPECT_EQ(isqrt64(r * r + 2 * r), r);
  }
  EXPECT_EQ(isqrt64(0xFFFFFFFFull), 65535u);
  EXPECT_EQ(isqrt64(1ull << 40), 65535u);  // saturates at 2^32 - 1
}

TEST(SpectralEntropy, KnownValues) {
  using qx_spectral::spectral_entropy;
  uint32_t h[32] = {};
  EXPECT_EQ(spectral_entropy(h, 32), 0);  // empty
  h[5] = 17;
  EXPECT_EQ(spectral_entropy(h, 32), 0);  // one bin
  h[9] = 17;
  EXPECT_EQ(spectral_entropy(h, 32), 4096);  // two equal bins: one bit
  std::fill(h, h + 32, 3u);
  EXPECT_EQ(spectral_entropy(h, 32), 20480);  // 32 equal bins: five bits
  std::fill(h, h + 8, 1000u);
  EXPECT_EQ(spectral_entropy(h, 8), 12288);
  // 1 : 3 gives 0.811278 bit.
  uint32_t q[2] = {1, 3};
  EXPECT_EQ(spectral_entropy(q, 2), static_cast<uint16_t>(std::floor(0.8112781244591328 * 4096)));
}

// Doubling every count leaves the shares, and so the value, exactly as
// they were: the logarithms of 2h and h differ by exactly one.  Counts
// below 1024 take their logarithm from a table, larger ones work it out
// digit by digit; every count of the table is checked against the same
// histogram scaled past it (and against one scaled within it).
TEST(SpectralEntropy, ScaledCountsGiveTheSameValueOnEitherSideOfTheTable) {
  using qx_spectral::spectral_entropy;
  for (uint32_t x = 1; x < 1024; ++x) {
    uint32_t h[3] = {x, 3, 1};
    const uint16_t v = spectral_entropy(h, 3);
    int k = 1;
    while ((x << k) < 1024) ++k;
    for (int shift : {1, k, k + 3}) {
      uint32_t s[3] = {x << shift, 3u << shift, 1u << shift};
      ASSERT_EQ(spectral_entropy(s, 3), v) << x << " scaled by 2^" << shift;
    }
  }
}

TEST(SpectralEntropy, MonotoneInTheTrueEntropyAndOrderFree) {
  std::mt19937 rng(7);
  struct Sample {
    long double truth;
    uint16_t fixed;
  };
  std::vector<Sample> samples;
  for (int t = 0; t < 20000; ++t) {
    const int bins = (t % 3 == 0) ? 32 : (t % 3 == 1) ? 22 : 8;
    uint32_t h[32] = {};
    const int spread = 1 + static_cast<int>(rng() % bins);
    const int n = 1 + static_cast<int>(rng() % 700);
    for (int i = 0; i < n; ++i) ++h[rng() % spread];
    long double total = n, e = 0;
    for (int i = 0; i < bins; ++i)
      if (h[i] != 0) e -= h[i] / total * std::log2(static_cast<long double>(h[i]) / total);
    const uint16_t v = qx_spectral::spectral_entropy(h, bins);
    std::reverse(h, h + bins);
    ASSERT_EQ(qx_spectral::spectral_entropy(h, bins), v);
    EXPECT_NEAR(static_cast<double>(v), static_cast<double>(e * 4096), 1.0);
    samples.push_back({e, v});
  }
  std::sort(samples.begin(), samples.end(), [](const Sample &a, const Sample &b) { return a.truth < b.truth; });
  for (size_t i = 1; i < samples.size(); ++i)
    ASSERT_LE(samples[i - 1].fixed, samples[i].fixed) << static_cast<double>(samples[i - 1].truth) << " vs "
                                                      << static_cast<double>(samples[i].truth);
}

}  // namespace
