// The thinning against a plain driver built from the exported steps
// (extract_contour's chains of step codes, get_pattern and
// is_single_island with their bounds tests), which is how the thinning
// was first written: the same pictures must come out, pixel for pixel,
// on prints, at the picture's edges, on noise and on pictures whose
// contours overflow the chain storage.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "engine/image/pixel_ops.h"
#include "engine/image/skeleton.h"
#include "engine/qx_simd.h"
#include "lumetra/image/image_gen.hpp"

namespace {

const int kDr[8] = {-1, -1, 0, 1, 1, 1, 0, -1};
const int kDc[8] = {0, 1, 1, 1, 0, -1, -1, -1};

int dir_of(int code) {
  static const int8_t kDir[16] = {7, 6, 5, -1, 0, -1, 4, -1, 1, 2, 3, -1, -1, -1, -1, -1};
  return kDir[code];
}

bool is_white(uint8_t **rowp, int rows, int cols, int r, int c) {
  return r < 0 || r >= rows || c < 0 || c >= cols || rowp[r][c] == 1;
}

bool deletable(int p) {
  static const std::vector<int> kDel = {
      7,   10,  11,  14,  15,  18,  19,  22,  23,  26,  30,  31,  41,  42,  43,  46,  47,
      58,  63,  72,  73,  74,  78,  80,  82,  83,  84,  88,  89,  90,  92,  93,  104, 105,
      107, 111, 112, 114, 115, 116, 146, 147, 148, 150, 151, 154, 159, 186, 200, 201, 202,
      206, 208, 212, 214, 215, 224, 232, 233, 235, 240, 244, 246, 248, 249, 252};
  for (int d : kDel)
    if (d == p) return true;
  return false;
}

bool connecting(int p) {
  for (int c : {12, 17, 24, 34, 48, 65, 66, 68, 130, 136})
    if (c == p) return true;
  return false;
}

// Contours traced as step codes, their pixels walked from the start each
// pass, every neighbourhood read with bounds tests.
void reference_thin(uint8_t **rowp, int rows, int cols) {
  if (rows <= 3 || cols <= 0) return;
  const int size = rows * cols;
  struct Contour {
    int r, c, state, off, len;
    bool active;
  };
  std::vector<uint8_t> chain(static_cast<size_t>(size));
  std::vector<Contour> contours;
  std::vector<int> pr(static_cast<size_t>(size)), pc(static_cast<size_t>(size));
  std::vector<int> verdict(static_cast<size_t>(size));
  int fill = 0;
  for (int i = 2; i < rows - 1; i += 2) {
    for (int j = 0; j <= 2 * ((cols - 3) / 2) && j + 2 < cols; j += 2) {
      const uint8_t *row = rowp[i];
      int start = -1;
      if (row[j + 1] == 1 && row[j + 2] == 0)
        start = j + 2;
      else if (row[j + 1] == 0 && row[j] == 1)
        start = j + 1;
      if (start < 0 || fill >= size) continue;
      Contour k{i, start, 8, fill, 0, true};
      extract_contour(rowp, rows, cols, i, start, 8, size, chain.data(), &fill);
      k.len = fill - k.off;
      contours.push_back(k);
    }
  }
  const int ncont = static_cast<int>(contours.size());
  bool removed = true;
  while (removed) {
    removed = false;
    for (int ci = ncont - 1; ci >= 0; --ci) {
      Contour &k = contours[static_cast<size_t>(ci)];
      if (!k.active) continue;
      if (k.len == 0) {
        k.active = false;
        continue;
      }
      int r = k.r, c = k.c;
      for (int t = 0; t < k.len; ++t) {
        const int code = chain[static_cast<size_t>(k.off + t)];
        if (code != 5) {
          r += kDr[dir_of(code)];
          c += kDc[dir_of(code)];
        }
        pr[t] = r;
        pc[t] = c;
      }
      int whitened = 0, restored = 0;
      auto apply = [&](int t) {
        uint8_t &p = rowp[pr[t]][pc[t]];
        if (verdict[t]) {
          if (p != 1) ++whitened;
          p = 1;
        } else if (p == 2) {
          p = 0;
        }
      };
      for (int t = 0; t < k.len; ++t) {
        verdict[t] = deletable(get_pattern(rowp, rows, cols, pr[t], pc[t]));
        if (t >= 2) apply(t - 2);
      }
      for (int t = k.len >= 2 ? k.len - 2 : 0; t < k.len; ++t) apply(t);
      for (int t = 0; t < k.len; ++t) {
        uint8_t &p = rowp[pr[t]][pc[t]];
        if (p == 1 && connecting(get_pattern(rowp, rows, cols, pr[t], pc[t]))) {
          p = 0;
          ++restored;
        }
      }
      if (whitened == restored) {
        k.active = false;
        continue;
      }
      removed = true;
      bool found = false;
      static const int kSide[4][3] = {{0, 1, 8}, {0, -1, 2}, {1, 0, 10}, {-1, 0, 0}};
      for (int t = 0; t < k.len && !found; ++t) {
        if (rowp[pr[t]][pc[t]] != 1) continue;
        for (const auto &s : kSide) {
          const int nr = pr[t] + s[0], nc = pc[t] + s[1];
          if (is_white(rowp, rows, cols, nr, nc) || is_single_island(rowp, rows, cols, nr, nc))
            continue;
          k.r = nr;
          k.c = nc;
          k.state = s[2];
          found = true;
          break;
        }
      }
      if (!found) k.active = false;
    }
    fill = 0;
    for (int ci = ncont - 1; ci >= 0; --ci) {
      Contour &k = contours[static_cast<size_t>(ci)];
      if (!k.active) continue;
      k.off = fill;
      extract_contour(rowp, rows, cols, k.r, k.c, k.state, size, chain.data(), &fill);
      k.len = fill - k.off;
    }
  }
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c)
      if (rowp[r][c] == 2) rowp[r][c] = 0;
}

// Thins a copy of the picture both ways and compares, on both paths of
// the vector kernels (the neighbour patterns by byte tests and by vector
// compares).
void expect_same_thinning(const std::vector<uint8_t> &picture, int rows, int cols,
                          const char *what) {
  std::vector<uint8_t> b = picture;
  std::vector<uint8_t *> rb(static_cast<size_t>(rows));
  bal_images_1D_to_2D(b.data(), rows, cols, rb.data());
  reference_thin(rb.data(), rows, cols);
  for (int plain = 0; plain < 2; ++plain) {
    std::vector<uint8_t> a = picture;
    std::vector<uint8_t *> ra(static_cast<size_t>(rows));
    bal_images_1D_to_2D(a.data(), rows, cols, ra.data());
    const int previous = qx_simd_force_plain(plain);
    ASSERT_EQ(bal_contour_thin(ra.data(), rows, cols), 0) << what;
    qx_simd_force_plain(previous);
    EXPECT_EQ(a, b) << what << " " << rows << " x " << cols << (plain ? ", plain path" : ", vector path");
  }
}

std::vector<uint8_t> binarised(const std::vector<uint8_t> &grey) {
  std::vector<uint8_t> out(grey.size());
  for (size_t i = 0; i < grey.size(); ++i) out[i] = grey[i] < 128 ? 0 : 1;
  return out;
}

TEST(ContourThinning, PrintsComeOutAsTheChainWalkingThinningLeftThem) {
  // Ridges inside the picture, and ridges running off every edge.
  for (const auto &[rows, cols] : {std::pair{300, 300}, std::pair{120, 120}, std::pair{197, 197},
                                   std::pair{88, 88}, std::pair{57, 131}, std::pair{131, 57}}) {
    for (double fill : {0.7, 1.6}) {
      for (double degrees : {0.0, 30.0, 90.0, 135.0}) {
        expect_same_thinning(binarised(imggen::finger(rows, cols, 7 + fill, degrees, fill)), rows,
                             cols, "print");
      }
    }
  }
}

TEST(ContourThinning, NoiseAndSmallPicturesComeOutTheSame) {
  std::mt19937 rng(20261210);
  for (int rows : {4, 5, 6, 9, 16, 33}) {
    for (int cols : {1, 2, 3, 4, 7, 16, 31}) {
      for (int black_percent : {20, 50, 80, 100}) {
        std::vector<uint8_t> p(static_cast<size_t>(rows) * cols);
        for (auto &v : p) v = static_cast<int>(rng() % 100) < black_percent ? 0 : 1;
        expect_same_thinning(p, rows, cols, "noise");
      }
    }
  }
  // Pixels already marked as under test (2) count as black and end as 0.
  std::vector<uint8_t> marked(40 * 40);
  for (auto &v : marked) v = static_cast<uint8_t>(rng() % 3);
  expect_same_thinning(marked, 40, 40, "marked");
  // Any byte other than 1 is black: every value, mostly white (1) so that
  // contours form among them.
  std::vector<uint8_t> bytes(37 * 45);
  for (auto &v : bytes) v = rng() % 2 ? 1 : static_cast<uint8_t>(rng());
  expect_same_thinning(bytes, 37, 45, "every byte value");
  expect_same_thinning(std::vector<uint8_t>(50 * 70, 1), 50, 70, "white");
  expect_same_thinning(std::vector<uint8_t>(3 * 9, 0), 3, 9, "three rows");
}

// A comb of one-pixel teeth is traced down and up every tooth: its
// contour holds more pixels than the picture has, the chain storage fills
// up and the contour is cut where it ends.  A checkerboard and a ladder
// besides.
TEST(ContourThinning, ContoursBeyondTheChainStorageAreCutTheSameWay) {
  for (const auto &[rows, cols] : {std::pair{9, 9}, std::pair{41, 41}, std::pair{30, 61},
                                   std::pair{61, 31}, std::pair{12, 101}}) {
    // Black teeth in the even columns, hanging from a black top row; then
    // the same teeth standing on a thick block that needs thinning.
    std::vector<uint8_t> p(static_cast<size_t>(rows) * cols);
    for (int r = 0; r < rows; ++r)
      for (int c = 0; c < cols; ++c) p[static_cast<size_t>(r) * cols + c] = r > 0 && c % 2 == 1;
    expect_same_thinning(p, rows, cols, "comb");
    for (int r = 0; r < rows; ++r)
      for (int c = 0; c < cols; ++c)
        p[static_cast<size_t>(r) * cols + c] = r < rows - 6 && c % 2 == 1;
    expect_same_thinning(p, rows, cols, "comb on a block");
  }
  for (int side : {8, 9, 40}) {
    std::vector<uint8_t> p(static_cast<size_t>(side) * side);
    for (int r = 0; r < side; ++r)
      for (int c = 0; c < side; ++c) p[static_cast<size_t>(r) * side + c] = (r + c) % 2;
    expect_same_thinning(p, side, side, "checkerboard");
    for (int r = 0; r < side; ++r)
      for (int c = 0; c < side; ++c)
        p[static_cast<size_t>(r) * side + c] = (r % 3 == 2 && c % 4 != 0) ? 1 : 0;
    expect_same_thinning(p, side, side, "ladder");
  }
}

}  // namespace
